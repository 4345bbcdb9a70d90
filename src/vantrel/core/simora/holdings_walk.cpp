// Mark-to-market, return trackers and stop exits of the held stocks.
#include "bar_phases.hpp"
#include "column_mapping.hpp"
#include "module_state.hpp"
#include "position_sizing.hpp"

#include <algorithm>
#include <cmath>

namespace vantrel::simora {

namespace {

struct Levels {
    double upper;
    double lower;
};

// Stop levels in units of the return since entry (1 = the entry price).
Levels stop_levels(const BacktestArgs& a, const RunState& s, int sid, double entry_value) {
    const double sl = std::fabs(s.sl_values(s.sl_row, sid));
    const double tp = std::fabs(s.tp_values(s.tp_row, sid));
    Levels lv;
    if (entry_value > 0.0) {
        lv.upper = tp + 1.0;
        lv.lower = 1.0 - sl;
        if (s.max_cum_return[sid] >= a.trail_stop_activation + 1.0) {
            const double trailing = s.max_cum_return[sid] - a.trail_stop;
            if (trailing > lv.lower) lv.lower = trailing;
        }
    } else {
        lv.upper = sl + 1.0;
        if (s.min_cum_return[sid] <= 1.0 - a.trail_stop_activation) {
            const double trailing = s.min_cum_return[sid] + a.trail_stop;
            if (trailing < lv.upper) lv.upper = trailing;
        }
        lv.lower = 1.0 - tp;
    }
    return lv;
}

// A level reached within the bar closes the position at the level itself, or
// at the open when the bar opened beyond a level.
void touched_exit(const BacktestArgs& a, RunState& s, int sid, int col, double& value,
                  double price_ratio, double entry_value, const Levels& lv) {
    const Py_ssize_t bar = s.bar;
    const double reference = s.rebalance_prices[col];
    const double base = s.cum_return[sid] / price_ratio;
    const double high_return = base * (a.high_values(bar, col) / reference);
    const double low_return = base * (a.low_values(bar, col) / reference);
    const double open_return = base * (a.open_values(bar, col) / reference);

    const bool touched_low = low_return <= lv.lower;
    const bool touched_high = high_return >= lv.upper;
    const bool gapped = open_return >= lv.upper || open_return <= lv.lower;
    // A holding already closed to 0 has nothing left to sell.
    if (!(gapped || touched_high || touched_low) || value == 0.0) return;

    bool sold_high;
    if (gapped) {
        value = entry_value * open_return;
        sold_high = open_return >= lv.upper;
    } else if (touched_high) {
        value = entry_value * lv.upper;
        sold_high = true;
    } else {
        value = entry_value * lv.lower;
        sold_high = false;
    }
    // Label by the level sold at: the upper level is a long's take-profit
    // and a short's stop-loss.
    const bool stop_loss_side = (sold_high && value < 0.0) || (!sold_high && value > 0.0);
    s.stopped_stocks.push_back(signed_id(sid, stop_loss_side));
    s.cash = set_position(s.positions, sid, 0.0, s.cash, {a.fee_ratio, a.tax_ratio}, false, false);
}

// Close-mode test against the bar's close; the sale happens on the next bar.
void close_stop(const BacktestArgs& a, RunState& s, int sid, int col, double value,
                const Levels& lv) {
    const Py_ssize_t bar = s.bar;
    const double close_return =
        s.cum_return[sid] * a.close_values(bar, col) / a.price_values(bar, col);
    if (close_return >= lv.upper) {
        s.next_exits.push_back(signed_id(sid, value < 0.0));
    } else if (close_return < lv.lower) {
        s.next_exits.push_back(signed_id(sid, value > 0.0));
    }
}

}  // namespace

void walk_holdings(const BacktestArgs& a, RunState& s) {
    const int row = static_cast<int>(s.bar);
    for (auto& [sid, value] : s.positions) {
        const int col = s.price_col[sid];
        const double price = a.price_values(s.bar, col);
        validate_trade_price(price, a.pos_columns, sid, row);
        double& reference = s.rebalance_prices[col];
        if (std::isnan(reference)) reference = price;
        double price_ratio = price / reference;
        if (std::isnan(price_ratio)) price_ratio = 1.0;

        value *= price_ratio;
        s.cum_return[sid] *= price_ratio;
        if (s.cum_return[sid] > s.max_cum_return[sid]) s.max_cum_return[sid] = s.cum_return[sid];
        if (s.cum_return[sid] < s.min_cum_return[sid]) s.min_cum_return[sid] = s.cum_return[sid];

        const double entry_value = value / s.cum_return[sid];
        const Levels lv = stop_levels(a, s, sid, entry_value);
        if (a.touched_exit) {
            touched_exit(a, s, sid, col, value, price_ratio, entry_value, lv);
        } else {
            close_stop(a, s, sid, col, value, lv);
        }
        if (!std::isnan(price)) reference = price;
    }
}

void run_deferred_exits(const BacktestArgs& a, RunState& s) {
    for (const int32_t exit : s.due_exits) {
        const int sid = id_of(exit);
        if (s.rebalance_pending && !truthy(a.stop_trading_next_period) &&
            a.pos_values(s.pos_row, sid) == 0.0) {
            continue;  // the rebalance of this bar closes it
        }
        auto held = s.positions.find(sid);
        if (held == s.positions.end() || held->second == 0.0) continue;
        s.cash = set_position(s.positions, sid, 0.0, s.cash, {a.fee_ratio, a.tax_ratio}, false, true);
        s.stopped_stocks.push_back(exit);
        s.reset_trackers(sid);
        // The walk of this bar may have queued the same stock again.
        auto again = std::find_if(s.next_exits.begin(), s.next_exits.end(),
                                  [exit](int32_t e) { return e == exit || e == -exit; });
        if (again != s.next_exits.end()) s.next_exits.erase(again);
    }
}

void hand_over_exits(RunState& s) {
    s.due_exits.clear();
    if (!s.next_exits.empty()) {
        s.due_exits.swap(s.next_exits);
    }
}

}  // namespace vantrel::simora
