// Excursion statistics of one trade: a sequence of six-value records, the
// window samples first and the exit record last. The algorithm is written
// once, over any price reader, side test and record sink, so that the
// documented module (which reads through the interpreter's item access and
// truth tests) and the package's array path compute the same numbers.
#pragma once

#include "excursion_state.hpp"
#include "kernel_error.hpp"
#include "strided.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace vantrel::kernel {

struct ExcursionSettings {
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    int window = 0;
    int window_step = 1;
};

// Integer division rounded towards minus infinity.
inline int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Position of the exit in the span: the exit bar, or the end of the span when
// that comes first. A negative distance compares as a huge unsigned one.
inline uint64_t exit_position(uint64_t positions, int exit_bar, int entry_bar) {
    return std::min<uint64_t>(positions - 1, static_cast<uint64_t>(int64_t{exit_bar} - entry_bar));
}

// Number of doubles in one trade's statistics: the window samples, then the
// exit record (and one spare record, as the layout has always had).
inline int64_t excursion_length(int window, int step) {
    if (step == 0) throw KernelError(KernelError::Kind::zero_window_step);
    const int64_t window_less_one = int64_t{window} - 1;
    if (step == -1 && window_less_one == INT32_MIN) {
        throw KernelError(KernelError::Kind::window_overflow);
    }
    return floor_div(window_less_one, step) * 6 + 12;
}

// Prices: rows() and operator()(row, col) -> double.
// Side: is_long(), asked each time the side matters.
// Records: allocate(length), length(), write(offset, record) with checked offsets.
// `samples` is working room, reused across trades by callers that analyse many.
// One pass over the span keeps the running statistics and takes the records
// at the window's sample positions and at the exit as it passes them.
template <class Prices, class Side, class Records>
void analyse_trade(const Prices& trade, const Prices& close, int pc, int entry_bar, int exit_bar,
                   const Side& side, int full_entry, int full_exit, const ExcursionSettings& settings,
                   Records& records, std::vector<std::array<double, 6>>& samples) {
    auto float_division = [] { return KernelError(KernelError::Kind::float_division); };

    // The span reaches at least `window` bars past the entry, within the data.
    int64_t end_bar = exit_bar;
    if (int64_t{entry_bar} + settings.window > end_bar) end_bar = int64_t{entry_bar} + settings.window;
    const int64_t n = trade.rows();
    if (end_bar >= n) end_bar = n - 1;

    const int64_t span = end_bar - entry_bar + 1;
    if (span < 0) throw KernelError(KernelError::Kind::negative_span);
    // Positions the pass visits: the entry, then every bar up to the end.
    const uint64_t positions = span > 1 ? static_cast<uint64_t>(span) : 1;
    const uint64_t exit_at = exit_position(positions, exit_bar, entry_bar);
    const int step = settings.window_step;
    // A negative window compares as a huge unsigned one and samples the whole span.
    const uint64_t sampled = std::min<uint64_t>(static_cast<uint64_t>(int64_t{settings.window}), positions);
    samples.clear();
    std::array<double, 6> exit_record{};
    double exit_value = 0.0;
    ExcursionState state;
    // The next position to sample: 0, step, 2 step, ... below `sampled`.
    uint64_t next_sample = step > 0 && sampled > 0 ? 0 : UINT64_MAX;
    auto visit = [&](uint64_t p) {
        if (p == next_sample) {
            samples.push_back(state.record());
            next_sample =
                p + static_cast<uint64_t>(step) < sampled ? p + static_cast<uint64_t>(step) : UINT64_MAX;
        }
        if (p == exit_at) {
            exit_record = state.record();
            exit_value = state.value();
        }
    };

    // Value at the entry close relative to the execution price.
    const double pe = trade(entry_bar, pc);
    const double ce = close(entry_bar, pc);
    if (pe == 0) throw float_division();
    double v = side.is_long() ? ce / pe : 2 - ce / pe;
    if (full_entry != 0) v = (1 - settings.fee_ratio) * v;
    state.start(v);
    visit(0);

    // Close to close; a bar without a close leaves the value as it was.
    double prev = close(entry_bar, pc);
    bool walked = false;
    uint64_t p = 0;
    // Arrays that can hand out a checked column are read along it directly.
    auto closes = [&] {
        if constexpr (requires { close.column(pc, int64_t{}, int64_t{}); }) {
            return close.column(pc, int64_t{entry_bar} + 1, end_bar);
        } else {
            return nullptr;
        }
    }();
    auto close_at = [&](int64_t ith) {
        if constexpr (!std::is_same_v<decltype(closes), std::nullptr_t>) {
            if (closes.data != nullptr) return closes[ith - entry_bar - 1];
        }
        return close(ith, pc);
    };
    for (int64_t ith = int64_t{entry_bar} + 1; ith <= end_bar; ++ith) {
        const double c = close_at(ith);
        const bool has_close = !std::isnan(c);
        if (has_close) {
            if (prev == 0) throw float_division();
            const double ratio = c / prev;
            prev = c;
            if (!std::isnan(ratio)) v = side.is_long() ? v * ratio : 2 - (2 - v) * ratio;
        }
        if (!state.extend(v, has_close && v > 1.0)) throw float_division();
        visit(++p);
        walked = true;
    }

    // A full exit is filled at the execution price of the exit bar and pays
    // the exit costs; the running extremes keep their close-based values.
    if (full_exit != 0) {
        if (entry_bar != end_bar && !walked) throw KernelError(KernelError::Kind::unbound_loop_bar);
        double x = exit_value;
        if (exit_at > 0) {
            const int64_t bar = int64_t{entry_bar} + static_cast<int64_t>(exit_at);
            const double px = trade(bar, pc);
            const double cx = close(bar, pc);
            if (cx == 0) throw float_division();
            x = side.is_long() ? (px / cx) * x : 2 - ((2 - x) * px) / cx;
        }
        x = x * (1 - settings.fee_ratio - settings.tax_ratio);
        exit_record[5] = x - 1;
        // A window sample at the exit position shows the filled value too.
        if (step > 0 && exit_at < sampled && exit_at % static_cast<uint64_t>(step) == 0) {
            samples[exit_at / static_cast<uint64_t>(step)][5] = x - 1;
        }
    }

    records.allocate(excursion_length(settings.window, step));
    int64_t offset = 0;
    for (const auto& record : samples) {
        records.write(offset, record);
        offset += 6;
    }
    records.write(records.length() - 6, exit_record);
}

template <class Prices, class Side, class Records>
void analyse_trade(const Prices& trade, const Prices& close, int pc, int entry_bar, int exit_bar,
                   const Side& side, int full_entry, int full_exit, const ExcursionSettings& settings,
                   Records& records) {
    std::vector<std::array<double, 6>> samples;
    analyse_trade(trade, close, pc, entry_bar, exit_bar, side, full_entry, full_exit, settings, records,
                  samples);
}

}  // namespace vantrel::kernel
