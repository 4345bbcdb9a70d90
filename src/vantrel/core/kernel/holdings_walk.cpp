// First half of a bar: mark-to-market, return trackers and stop exits of the
// held stocks, and the close-mode stops of the previous bar.
#include "execution.hpp"
#include "fill_model.hpp"
#include "run.hpp"

#include <algorithm>
#include <cmath>

namespace vantrel::kernel {

namespace {

// Stop levels in units of the return since entry (1 = the entry price), and
// whether the trailing stop set the level on the stop-loss side (the lower
// level of a long, the upper level of a short).
struct Levels {
    double upper;
    double lower;
    bool long_side = false;
    bool trailing = false;

    ExitReason reason_at_upper(bool stop_loss_side) const {
        return reason(stop_loss_side, trailing && !long_side);
    }
    ExitReason reason_at_lower(bool stop_loss_side) const {
        return reason(stop_loss_side, trailing && long_side);
    }

private:
    static ExitReason reason(bool stop_loss_side, bool trailing) {
        if (!stop_loss_side) return ExitReason::take_profit;
        return trailing ? ExitReason::trailing_stop : ExitReason::stop_loss;
    }
};

// The rows one bar reads: the held stocks' cells of each price matrix and
// the stop thresholds in force.
struct BarRows {
    MatrixRow<double> price, close, high, low, open, sl, tp;

    BarRows(const RunInputs& in, const RunState& s)
        : price(in.price_values.row_view(s.bar)),
          close(in.close_values.row_view(s.bar)),
          sl(in.sl_values.row_view(s.sl_row)),
          tp(in.tp_values.row_view(s.tp_row)) {
        if (in.options.touched_exit) {
            high = in.high_values.row_view(s.bar);
            low = in.low_values.row_view(s.bar);
            open = in.open_values.row_view(s.bar);
        }
    }
};

// A held stock's cells of the next bar are scattered along rows of row-major
// matrices: asking for them a whole bar ahead hides the memory latency that
// otherwise dominates the walk and the valuation.
class NextBar {
public:
    NextBar(const RunInputs& in, std::ptrdiff_t bar) {
        add(in.price_values, bar);
        add(in.close_values, bar);
        if (in.options.touched_exit) {
            add(in.high_values, bar);
            add(in.low_values, bar);
            add(in.open_values, bar);
        }
    }
    void prefetch(int col) const {
        // The trading and closing prices, which every walk reads, without a loop.
        if (count_ == 2) [[likely]] {
            __builtin_prefetch(reinterpret_cast<const void*>(rows_[0] + col * strides_[0]));
            __builtin_prefetch(reinterpret_cast<const void*>(rows_[1] + col * strides_[1]));
            return;
        }
        for (int k = 0; k < count_; ++k) {
            __builtin_prefetch(reinterpret_cast<const void*>(rows_[k] + col * strides_[k]));
        }
    }

private:
    void add(const Matrix<double>& m, std::ptrdiff_t bar) {
        const std::uintptr_t row = m.row_address(bar);
        if (row == 0) return;
        rows_[count_] = row;
        strides_[count_] = static_cast<std::uintptr_t>(m.col_stride());
        ++count_;
    }
    std::uintptr_t rows_[5] = {};
    std::uintptr_t strides_[5] = {};
    int count_ = 0;
};

// The trailing stop's settings, as the levels compare with them.
struct Trailing {
    double stop;
    double long_activation;   // the peak return at which it starts
    double short_activation;  // the trough return at which it starts
    explicit Trailing(const RunOptions& o)
        : stop(o.trail_stop),
          long_activation(o.trail_stop_activation + 1.0),
          short_activation(1.0 - o.trail_stop_activation) {}
};

// Inlined into the walk, which runs it for every held stock on every bar.
[[gnu::always_inline]] inline Levels stop_levels(const Trailing& t, double sl_cell, double tp_cell,
                                                 double peak, double trough, double entry_value) {
    const double sl = std::fabs(sl_cell);
    const double tp = std::fabs(tp_cell);
    Levels lv;
    if (entry_value > 0.0) {
        lv.long_side = true;
        lv.upper = tp + 1.0;
        lv.lower = 1.0 - sl;
        if (peak >= t.long_activation) {
            const double trailing = peak - t.stop;
            if (trailing > lv.lower) {
                lv.lower = trailing;
                lv.trailing = true;
            }
        }
    } else {
        lv.upper = sl + 1.0;
        if (trough <= t.short_activation) {
            const double trailing = trough + t.stop;
            if (trailing < lv.upper) {
                lv.upper = trailing;
                lv.trailing = true;
            }
        }
        lv.lower = 1.0 - tp;
    }
    return lv;
}

// A level reached within the bar closes the position at the level itself, or
// at the open when the bar opened beyond a level. Through the execution layer
// the exit is an order: what it cannot sell at once is carried.
template <bool Executed>
void touched_exit(Run& run, const BarRows& rows, int sid, int col, double& value, double price_ratio,
                  double entry_value, const Levels& lv, double price) {
    RunState& s = run.s;
    const double reference = s.rebalance_prices[col];
    const double base = s.cum_return[sid] / price_ratio;
    const double high_return = base * (rows.high[col] / reference);
    const double low_return = base * (rows.low[col] / reference);
    const double open_price = rows.open[col];
    const double open_return = base * (open_price / reference);

    const bool touched_low = low_return <= lv.lower;
    const bool touched_high = high_return >= lv.upper;
    const bool gapped = open_return >= lv.upper || open_return <= lv.lower;
    // A holding already closed to 0 has nothing left to sell.
    if (!(gapped || touched_high || touched_low) || value == 0.0) return;

    bool sold_high;
    double fill;
    if (gapped) {
        value = entry_value * open_return;
        sold_high = open_return >= lv.upper;
        fill = open_price;
    } else if (touched_high) {
        value = entry_value * lv.upper;
        sold_high = true;
        fill = reference * (lv.upper / base);
    } else {
        value = entry_value * lv.lower;
        sold_high = false;
        fill = reference * (lv.lower / base);
    }
    // Label by the level sold at: the upper level is a long's take-profit
    // and a short's stop-loss.
    const bool stop_loss_side = (sold_high && value < 0.0) || (!sold_high && value > 0.0);
    s.stopped_stocks.push_back(signed_id(sid, stop_loss_side));
    const ExitReason reason =
        sold_high ? lv.reason_at_upper(stop_loss_side) : lv.reason_at_lower(stop_loss_side);
    if constexpr (Executed) {
        s.cash = exit_by_order(run, sid, reason, fill, s.cash, true, price);
    } else {
        (void)price;
        s.cash = set_position(run, sid, 0.0, s.cash, false, false, 1.0, {reason, fill});
    }
}

// Close-mode test against the bar's close; the sale happens on the next bar.
[[gnu::always_inline]] inline void close_stop(RunState& s, int sid, double cum_return, double close,
                                              double price, double value, const Levels& lv) {
    const double close_return = cum_return * close / price;
    if (close_return >= lv.upper) {
        s.next_exits.push_back(signed_id(sid, value < 0.0));
        s.next_exit_reasons.push_back(lv.reason_at_upper(value < 0.0));
    } else if (close_return < lv.lower) {
        s.next_exits.push_back(signed_id(sid, value > 0.0));
        s.next_exit_reasons.push_back(lv.reason_at_lower(value > 0.0));
    }
}

// The walk, once without the execution layer (the documented arithmetic)
// and once through it: capital mode values holdings from their shares, and
// a holding leaving by a stop order is not tested again while it works.
template <bool Executed, bool Touched>
void walk(Run& run) {
    RunState& s = run.s;
    const RunInputs& in = run.in;
    const int row = static_cast<int>(s.bar);
    const BarRows rows(in, s);
    const NextBar next(in, s.bar + 1);
    const Trailing trailing(in.options);
    // The per-stock arrays are sized once per run; the loop keeps their
    // addresses rather than reloading them after every store.
    const int* const price_col = in.price_col.data();
    double* const cum_return = s.cum_return.data();
    double* const peak = s.max_cum_return.data();
    double* const trough = s.min_cum_return.data();
    double* const references = s.rebalance_prices.data();
    int* const moved = s.trackers_moved.data();
    for (auto& [sid, value] : s.positions) {
        const int col = price_col[sid];
        const double price = rows.price[col];
        validate_trade_price(price, sid, row);
        double& reference = references[col];
        if (std::isnan(reference)) reference = price;
        double price_ratio = price / reference;
        if (std::isnan(price_ratio)) price_ratio = 1.0;

        bool exiting = false;
        if constexpr (Executed) {
            const ExecutionState& x = *run.exec;
            if (in.exec.capital_mode() && !std::isnan(price)) {
                value = x.shares[static_cast<std::size_t>(sid)] * raw_price(run, sid, price) / x.unit;
            } else {
                value *= price_ratio;
            }
            exiting = !x.orders.empty() && x.orders.exiting(sid);
        } else {
            value *= price_ratio;
        }
        const double cum = cum_return[sid] * price_ratio;
        cum_return[sid] = cum;
        if (!moved[sid]) {
            moved[sid] = 1;
            s.moved_trackers.push_back(sid);
        }
        if (cum > peak[sid]) peak[sid] = cum;
        if (cum < trough[sid]) trough[sid] = cum;

        if (!exiting) {
            const double entry_value = value / cum;
            // Read in this order: either read may raise.
            const double sl = rows.sl[sid];
            const double tp = rows.tp[sid];
            const Levels lv = stop_levels(trailing, sl, tp, peak[sid], trough[sid], entry_value);
            if constexpr (Touched) {
                touched_exit<Executed>(run, rows, sid, col, value, price_ratio, entry_value, lv, price);
            } else {
                close_stop(s, sid, cum, rows.close[col], price, value, lv);
            }
        }
        if (!std::isnan(price)) reference = price;
        next.prefetch(col);
    }
}

}  // namespace

void walk_holdings(Run& run) {
    if (run.in.options.touched_exit) {
        walk<false, true>(run);
    } else {
        walk<false, false>(run);
    }
}

void walk_holdings_executed(Run& run) {
    if (run.in.options.touched_exit) {
        walk<true, true>(run);
    } else {
        walk<true, false>(run);
    }
}

void run_deferred_exits(Run& run) {
    RunState& s = run.s;
    for (std::size_t i = 0; i < s.due_exits.size(); ++i) {
        const int32_t exit = s.due_exits[i];
        const int sid = id_of(exit);
        if (s.rebalance_pending && !run.sink.stop_trading_next_period() &&
            run.in.pos_values(s.pos_row, sid) == 0.0) {
            continue;  // the rebalance of this bar closes it
        }
        auto held = s.positions.find(sid);
        if (held == s.positions.end() || held->value == 0.0) continue;
        if (works_orders(run)) {
            const double price = run.in.price_values(s.bar, run.in.price_col[sid]);
            s.cash = exit_by_order(run, sid, s.due_exit_reasons[i], price, s.cash, false);
        } else {
            s.cash = set_position(run, sid, 0.0, s.cash, false, true, 1.0, {s.due_exit_reasons[i]});
        }
        s.stopped_stocks.push_back(exit);
        s.reset_trackers(sid);
        // The walk of this bar may have queued the same stock again.
        auto again = std::find_if(s.next_exits.begin(), s.next_exits.end(),
                                  [exit](int32_t e) { return e == exit || e == -exit; });
        if (again != s.next_exits.end()) {
            s.next_exit_reasons.erase(s.next_exit_reasons.begin() + (again - s.next_exits.begin()));
            s.next_exits.erase(again);
        }
    }
}

void hand_over_exits(RunState& s) {
    s.due_exits.clear();
    s.due_exit_reasons.clear();
    if (!s.next_exits.empty()) {
        s.due_exits.swap(s.next_exits);
        s.due_exit_reasons.swap(s.next_exit_reasons);
    }
}

}  // namespace vantrel::kernel
