// Moving money between cash and holdings: one stock to a target value
// (set_position) and a whole weight row (rebalance).
#include "pairwise_sum.hpp"
#include "run.hpp"

#include <cmath>

namespace vantrel::kernel {

namespace {

// Long rows are summed by the sink: array libraries split them differently.
constexpr std::size_t kNativeSumLimit = 8192;

double entry_weight(double target_value, double weight_base) {
    if (weight_base == 0.0) {
        KernelError e(KernelError::Kind::zero_weight_base);
        e.value = target_value;
        throw e;
    }
    return target_value / weight_base;
}

}  // namespace

double RunSink::long_abs_weight_sum(const double* weights, std::size_t n) {
    std::vector<double> magnitudes(n);
    for (std::size_t i = 0; i < n; ++i) magnitudes[i] = std::fabs(weights[i]);
    return pairwise_sum(magnitudes.data(), static_cast<std::ptrdiff_t>(n));
}

double abs_weight_sum(RunSink& sink, const std::vector<double>& weights) {
    const std::size_t n = weights.size();
    if (n > kNativeSumLimit) return sink.long_abs_weight_sum(weights.data(), n);
    std::vector<double> magnitudes(n);
    for (std::size_t i = 0; i < n; ++i) magnitudes[i] = std::fabs(weights[i]);
    return pairwise_sum(magnitudes.data(), static_cast<std::ptrdiff_t>(n));
}

double set_position(Run& run, int sid, double target_value, double cash, bool verify_held, bool drop_flat,
                    double weight_base, const ExitFill& fill) {
    Holdings& positions = run.s.positions;
    RunSink& sink = run.sink;
    TradeLog* log = run.log;
    const int bar = run.s.current_bar;
    const double fee_ratio = run.in.options.fee_ratio;
    const double tax_ratio = run.in.options.tax_ratio;

    auto found = positions.find(sid);
    const bool present = found != positions.end();
    const bool held = !verify_held || present;
    const bool holding = present && found->second != 0.0;
    const bool opening = target_value != 0.0;

    // Notifications first: a failure there leaves the money untouched.
    enum class Event { none, entry, exit, rebase, resize } event = Event::none;
    double weight = 0.0;
    if (!holding && opening) {
        weight = entry_weight(target_value, weight_base);
        sink.entered(sid, weight, 1);
        event = Event::entry;
    } else if (holding && !opening) {
        sink.exited(sid, 1);
        if (log) log->analyse(sid, bar, 1);
        event = Event::exit;
    } else if (holding && opening) {
        event = Event::resize;
        if (!sink.retain_cost_when_rebalance() && sink.periodically_rebalance()) {
            sink.exited(sid, 0);
            if (log) log->analyse(sid, bar, 0);
            weight = entry_weight(target_value, weight_base);
            sink.entered(sid, weight, 0);
            event = Event::rebase;
        }
    }

    Booking b;
    const double cash_before = cash;
    if (target_value == 0.0) {
        if (held) {
            double& value = positions[sid];  // a missing key reads as 0 and is inserted
            const double v = value;
            cash = cash + (v - std::fabs(v) * (fee_ratio + tax_ratio));
            if (drop_flat) {
                positions.erase(sid);
            } else {
                value = 0.0;
            }
            b.value_before = v;
            b.fee = std::fabs(v) * fee_ratio;
            b.tax = std::fabs(v) * tax_ratio;
        }
    } else {
        double& value = positions[sid];  // inserts 0 when not held
        const double before = value;
        const double amount = target_value - value;
        const bool buying = amount > 0.0;
        const bool growing = (target_value >= 0.0 && amount > 0.0) || (target_value <= 0.0 && amount < 0.0);
        const double cost =
            growing ? std::fabs(amount) * fee_ratio : std::fabs(amount) * (fee_ratio + tax_ratio);
        if (buying) {
            cash = cash - amount;
            value = value + (amount - cost);
        } else {
            cash = cash + (-amount - cost);
            value = value + amount;
        }
        b.value_before = before;
        b.value_after = value;
        b.amount = amount;
        b.growing = growing;
        b.fee = std::fabs(amount) * fee_ratio;
        b.tax = growing ? 0.0 : std::fabs(amount) * tax_ratio;
        if (drop_flat && value == 0.0) positions.erase(sid);
    }

    if (log != nullptr && event != Event::none) {
        b.cash_change = cash - cash_before;
        // The price the holding is valued at: this bar's trading price once
        // the walk has seen it, else the latest one before. (A column past the
        // price matrix has none; reading its prices raises elsewhere.)
        const std::size_t col = static_cast<std::size_t>(run.in.price_col[sid]);
        const std::vector<double>& marks = run.s.rebalance_prices;
        const double mark = col < marks.size() ? marks[col] : std::nan("");
        switch (event) {
            case Event::entry: {
                // Read for the log only: a cell outside the matrix raises where the
                // run itself reads it, not here.
                const double price = run.in.price_values.get(run.s.bar, run.in.price_col[sid]);
                log->entered(sid, bar, weight, target_value, price, b);
                break;
            }
            case Event::exit:
                log->exited(sid, bar, fill.reason, std::isnan(fill.price) ? mark : fill.price, b);
                break;
            case Event::rebase: log->rebased(sid, bar, weight, target_value, mark, b); break;
            case Event::resize: log->resized(sid, b); break;
            case Event::none: break;
        }
    }
    return cash;
}

double rebalance(Run& run, const std::vector<double>& weights, double cash) {
    const Holdings& positions = run.s.positions;
    double total = cash;
    for (const auto& [sid, value] : positions) total += value;
    double denominator = abs_weight_sum(run.sink, weights);
    if (1.0 > denominator) denominator = 1.0;
    double ratio = total / denominator;
    if (std::isnan(ratio)) ratio = 1.0;
    const double cap = total * run.in.options.position_limit;
    const int n = static_cast<int>(weights.size());
    // Which columns are held; each call below changes only its own column,
    // which the loop has then passed.
    std::vector<char> held(static_cast<std::size_t>(n), 0);
    for (const auto& [sid, value] : positions) {
        if (sid >= 0 && sid < n) held[sid] = 1;
    }
    // A zero weight times a finite ratio is a zero target, which the cap leaves
    // at zero unless the cap is negative (a portfolio worth less than nothing):
    // then, for a stock not held, it is no trade at all.
    const bool zero_stays_zero = std::isfinite(ratio) && !(0.0 > cap);
    for (int sid = 0; sid < n; ++sid) {
        if (zero_stays_zero && weights[sid] == 0.0 && !held[sid]) continue;
        double target = weights[sid] * ratio;
        if (std::fabs(target) > cap) target = cap * (target > 0.0 ? 1.0 : -1.0);
        // Closing a stock that is not held changes nothing: skip the call.
        if (target == 0.0 && !held[sid]) continue;
        cash = set_position(run, sid, target, cash, true, true, total);
    }
    return cash;
}

}  // namespace vantrel::kernel
