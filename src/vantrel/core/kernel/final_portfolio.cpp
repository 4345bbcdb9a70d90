#include "final_portfolio.hpp"

#include <cmath>

namespace vantrel::kernel {

namespace {

// Scales the present weights down to a total absolute weight of at most the
// leverage (1 without the execution layer) and clips each to +/-limit, in
// stock order.
void normalize(std::vector<double>& w, const std::vector<uint8_t>& present, double limit, double leverage) {
    double sum = 0.0;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (present[i]) sum += std::fabs(w[i]);
    }
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (present[i] && sum > leverage) w[i] = w[i] * (leverage / sum);
    }
    const double negative_limit = -limit;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (!present[i]) continue;
        if (w[i] > limit) {
            w[i] = limit;
        } else if (w[i] < negative_limit) {
            w[i] = negative_limit;
        }
    }
}

void divide(std::vector<double>& w, const std::vector<uint8_t>& present, double total, double leverage) {
    const double scaled = leverage == 1.0 ? total : total / leverage;
    const double divisor = scaled > 1.0 ? scaled : 1.0;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (present[i]) w[i] = w[i] / divisor;
    }
}

}  // namespace

PendingStop pending_stop(const RunState& s, int sid) {
    for (const int32_t e : s.stopped_stocks) {
        if (id_of(e) == sid) return {true, true};
    }
    for (const int32_t e : s.due_exits) {
        if (id_of(e) == sid) {
            auto held = s.positions.find(sid);
            return {true, held != s.positions.end() && held->value != 0.0};
        }
    }
    return {};
}

FinalPortfolio final_portfolio(const RunInputs& in, const RunState& s, bool stop_trading_next_period) {
    const int n = in.n_columns();
    FinalPortfolio out;
    out.weights.assign(n, 0.0);
    out.next_weights.assign(n, 0.0);
    out.has_weight.assign(n, 0);
    out.has_next_weight.assign(n, 0);
    out.actions.assign(n, 0);
    out.weight_row = s.applied_pos_row;
    out.next_weight_row = s.pos_row;

    // Weights of the holdings the latest rebalance established.
    double weight_total = 0.0;
    for (const auto& [sid, value] : s.rebalance_positions) {
        const double w = in.pos_values(s.applied_pos_row, sid);
        out.weights[sid] = s.positions.count(sid) != 0 ? w : 0.0;
        out.has_weight[sid] = 1;
        weight_total += std::fabs(w);
    }
    // Rows are scaled down only beyond the leverage (1 without the layer).
    const double leverage = in.exec.leverage;
    divide(out.weights, out.has_weight, weight_total, leverage);

    // Weights of the next position row, without stocks whose stop is pending.
    const bool use_last = s.pos_row == s.applied_pos_row;
    const std::vector<double> next_row = use_last ? s.last_weights : in.pos_values.row(s.pos_row);
    double next_weight_total = 0.0;
    for (int sid = 0; sid < static_cast<int>(next_row.size()); ++sid) {
        const double w = next_row[sid];
        const PendingStop stop = stop_trading_next_period ? pending_stop(s, sid) : PendingStop{};
        if (!(stop.exited && s.rebalance_pending)) next_weight_total += std::fabs(w);
        if (stop.matched) continue;
        if (w != 0.0 && sid < n) {
            out.next_weights[sid] = w;
            out.has_next_weight[sid] = 1;
        }
    }
    divide(out.next_weights, out.has_next_weight, next_weight_total, leverage);
    normalize(out.weights, out.has_weight, in.options.position_limit, leverage);
    normalize(out.next_weights, out.has_next_weight, in.options.position_limit, leverage);

    auto set = [&](int sid, Action a) { out.actions[sid] = static_cast<uint8_t>(a); };
    // Actions of a rebalance still pending after the last bar.
    if (s.rebalance_pending) {
        for (int sid = 0; sid < n; ++sid) {
            const double w = in.pos_values(s.pos_row, sid);
            auto held = s.positions.find(sid);
            const double cur = held != s.positions.end() ? held->value : 0.0;
            if (cur == 0.0 && w != 0.0) {
                set(sid, Action::enter);
            } else if (cur != 0.0 && w == 0.0) {
                set(sid, Action::exit);
            } else if (cur != 0.0 && w != 0.0) {
                set(sid, Action::hold);
            }
        }
    }
    // Stop exits queued for the bar after the last one.
    for (const int32_t e : s.due_exits) {
        const bool take_profit = is_take_profit(e);
        const int key = id_of(e);
        if (stop_trading_next_period || s.date > in.pos_index[s.pos_row]) {
            set(key, take_profit ? Action::take_profit : Action::stop_loss);
        } else if (out.has_next_weight[key] && out.next_weights[key] != 0.0) {
            set(key, take_profit ? Action::take_profit_enter : Action::stop_loss_enter);
        }
    }
    // Stops since the latest rebalance.
    for (const int32_t e : s.stopped_stocks) {
        const int key = id_of(e);
        if (stop_trading_next_period || out.actions[key] == 0) {
            set(key, is_take_profit(e) ? Action::took_profit : Action::stopped_out);
        }
    }
    return out;
}

}  // namespace vantrel::kernel
