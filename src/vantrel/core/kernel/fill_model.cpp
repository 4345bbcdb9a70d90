#include "fill_model.hpp"

#include <array>
#include <cmath>
#include <limits>

namespace vantrel::kernel {

namespace {

// Rounded quotes may sit a hair off the limit price.
constexpr double kLimitTolerance = 1e-6;

double split_factor(const Run& run, int col) {
    const std::vector<double>& f = run.exec->split_factor;
    return f.empty() ? 1.0 : f[static_cast<std::size_t>(col)];
}

// A close at or beyond the previous close's limit on the side of the trade.
bool at_limit(const Run& run, int col, bool buying) {
    const double limit = run.in.exec.price_limit;
    const Index bar = run.s.bar;
    const double close = run.in.close_values(bar, col);
    if (std::isnan(close)) return false;
    const double previous = bar > 0 ? last_price(run.in.close_values, col, bar - 1) : std::nan("");
    if (std::isnan(previous)) return false;
    if (buying) return close >= previous * (1.0 + limit) * (1.0 - kLimitTolerance);
    return close <= previous * (1.0 - limit) * (1.0 + kLimitTolerance);
}

}  // namespace

double last_price(const Matrix<double>& prices, int col, Index bar) {
    for (Index b = bar; b >= 0; --b) {
        const double p = prices(b, col);
        if (!std::isnan(p)) return p;
    }
    return std::nan("");
}

bool can_trade(const Run& run, int col, double price, bool buying) {
    const ExecutionInputs& e = run.in.exec;
    if (std::isnan(price)) return false;
    if (e.has_volume()) {
        const double v = e.volume(run.s.bar, col);
        if (!(v > 0.0)) return false;  // suspended, or volume unknown
    }
    return !(e.price_limit > 0.0 && at_limit(run, col, buying));
}

double volume_room(const Run& run, int col, double traded) {
    const ExecutionInputs& e = run.in.exec;
    if (!(e.participation > 0.0)) return std::numeric_limits<double>::infinity();
    const double quoted = e.volume(run.s.bar, col) * split_factor(run, col);
    const double room = e.participation * quoted - traded;
    return room > 0.0 ? room : 0.0;
}

namespace {

// The return of bar `b` from its close and the one before (NaN: none).
double bar_return(double close, double before) {
    return !std::isnan(close) && !std::isnan(before) && before != 0.0 ? close / before - 1.0 : std::nan("");
}

void prefetch_column(const Matrix<double>& m, int col, Index first, Index end) {
    if (first < 0) first = 0;
    if (end > m.rows()) end = m.rows();
    if (first >= end) return;
    // A prefetch never faults: the cells are stepped to without checks.
    std::uintptr_t cell =
        m.row_address(first) + static_cast<std::uintptr_t>(col) * static_cast<std::uintptr_t>(m.col_stride());
    const auto step = static_cast<std::uintptr_t>(m.row_stride());
    for (Index b = first; b < end; ++b, cell += step) __builtin_prefetch(reinterpret_cast<const void*>(cell));
}

}  // namespace

Liquidity liquidity(const Run& run, int col, ImpactWindow& w) {
    const Index bar = run.s.bar;
    Liquidity liq;
    if (w.stats_end == bar) {
        liq.sigma = w.sigma;
        liq.volume = w.volume;
        liq.known = w.known;
        return liq;
    }
    w.stats_end = bar;
    w.known = false;
    // The bars before `bar`, oldest first, read only now that the stock
    // fills: the column's cells lie a row apart each, so they are all asked
    // for before the first is used.
    const Index first = bar - ImpactWindow::kBars > 0 ? bar - ImpactWindow::kBars : 0;
    const Matrix<double>& close = run.in.close_values;
    const Matrix<double>& volumes = run.in.exec.volume;
    prefetch_column(close, col, first > 0 ? first - 1 : 0, bar);
    prefetch_column(volumes, col, first, bar);
    // Read along the columns without a check per cell when they lie inside.
    const Index from = first > 0 ? first - 1 : 0;
    const auto closes = close.column(col, from, bar - 1);
    const auto traded = volumes.column(col, first, bar - 1);
    const bool direct = bar > first && closes.data != nullptr && traded.data != nullptr;
    std::array<double, ImpactWindow::kBars> returns;  // the first n are set
    int n = 0;
    double volume = 0.0;
    int counted = 0;
    double before = first > 0 ? (direct ? closes[0] : close(first - 1, col)) : std::nan("");
    auto take = [&](double c, double v) {
        const double r = bar_return(c, before);
        if (!std::isnan(r)) returns[static_cast<std::size_t>(n++)] = r;
        if (!std::isnan(v)) {
            volume += v;
            ++counted;
        }
        before = c;
    };
    if (direct) {
        for (Index b = first; b < bar; ++b) take(closes[b - from], traded[b - first]);
    } else {
        for (Index b = first; b < bar; ++b) {
            const double c = close(b, col);  // read before the volume: either read may raise
            take(c, volumes(b, col));
        }
    }
    if (n < 2 || counted == 0 || !(volume > 0.0)) return liq;
    double mean = 0.0;
    for (int i = 0; i < n; ++i) mean += returns[static_cast<std::size_t>(i)];
    mean /= n;
    double squares = 0.0;
    for (int i = 0; i < n; ++i) {
        const double d = returns[static_cast<std::size_t>(i)] - mean;
        squares += d * d;
    }
    liq.sigma = std::sqrt(squares / (n - 1));
    liq.volume = volume / counted * split_factor(run, col);
    liq.known = true;
    w.sigma = liq.sigma;
    w.volume = liq.volume;
    w.known = true;
    return liq;
}

void prefetch_next_bar(const Run& run) {
    const RunState& s = run.s;
    const RunInputs& in = run.in;
    const ExecutionInputs& e = in.exec;
    const Index next = s.bar + 1;
    if (next >= in.price_index.size()) return;
    auto cell = [](const Matrix<double>& m, Index row, int col) {
        const std::uintptr_t address = m.row_address(row);
        if (address != 0) {
            const auto offset =
                static_cast<std::uintptr_t>(col) * static_cast<std::uintptr_t>(m.col_stride());
            __builtin_prefetch(reinterpret_cast<const void*>(address + offset));
        }
    };
    // What a fill on the next bar reads beyond the holdings walk's cells: the
    // volume, the close before it, and the impact model's new bar.
    auto fill_cells = [&](int col) {
        cell(in.close_values, s.bar, col);
        if (!e.has_volume()) return;
        cell(e.volume, next, col);
        cell(e.volume, s.bar, col);
    };
    for (const Order& o : run.exec->orders) {
        if (o.filled()) continue;
        const int col = in.price_col[o.sid];
        cell(in.price_values, next, col);
        cell(in.close_values, next, col);
        fill_cells(col);
    }
    if (!s.rebalance_pending || s.pos_row >= in.pos_values.rows()) return;
    // The next bar's rebalance orders every stock of its row and every holding.
    const Index first = next - ImpactWindow::kBars - 1 > 0 ? next - ImpactWindow::kBars - 1 : 0;
    auto window = [&](int col) {
        fill_cells(col);
        if (!(e.impact > 0.0)) return;
        for (Index b = first; b < next; ++b) {
            cell(in.close_values, b, col);
            cell(e.volume, b, col);
        }
    };
    const Index n = std::min<Index>(in.pos_values.cols(), static_cast<Index>(in.price_col.size()));
    const MatrixRow<double> weights = in.pos_values.row_view(s.pos_row);
    for (Index sid = 0; sid < n; ++sid) {
        if (weights[sid] != 0.0) window(in.price_col[sid]);
    }
    for (const auto& [sid, value] : s.positions) {
        if (sid < n && weights[sid] == 0.0) window(in.price_col[sid]);
    }
}

double impact_rate(const Run& run, const Liquidity& liq, double shares) {
    const double k = run.in.exec.impact;
    if (!(k > 0.0) || !liq.known || !(shares > 0.0)) return 0.0;
    return k * liq.sigma * std::sqrt(shares / liq.volume);
}

}  // namespace vantrel::kernel
