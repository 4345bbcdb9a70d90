// One bar through the execution layer, phase by phase. The order is the
// one docs/execution.md describes ("How a fill is decided"); keep the two
// in step.
#include "execution.hpp"
#include "fill_model.hpp"

#include <cmath>

namespace vantrel::kernel {

void prepare_execution(const RunInputs& in, ExecutionState& x) {
    const ExecutionInputs& e = in.exec;
    const int stocks = in.n_columns();
    x.shares.assign(static_cast<std::size_t>(stocks), 0.0);
    if (e.splits.size() > 0) x.split_factor.assign(static_cast<std::size_t>(in.price_values.cols()), 1.0);
    x.unit = e.capital_mode() ? e.capital : 1.0;
    x.min_fee = e.capital_mode() ? e.min_fee / e.capital : 0.0;
    if (e.impact > 0.0) x.windows.assign(static_cast<std::size_t>(stocks), ImpactWindow{});
    if (!e.has_events()) return;
    // Stocks by price column, in stock order.
    const std::size_t columns = static_cast<std::size_t>(in.price_values.cols());
    x.column_start.assign(columns + 1, 0);
    for (const int col : in.price_col) ++x.column_start[static_cast<std::size_t>(col) + 1];
    for (std::size_t c = 0; c < columns; ++c) x.column_start[c + 1] += x.column_start[c];
    x.column_stocks.assign(static_cast<std::size_t>(stocks), 0);
    std::vector<int> next(x.column_start.begin(), x.column_start.end() - 1);
    for (int sid = 0; sid < stocks; ++sid) {
        x.column_stocks[static_cast<std::size_t>(next[static_cast<std::size_t>(in.price_col[sid])]++)] = sid;
    }
}

void finish_executed_bar(Run& run) {
    if (run.in.exec.orders) prefetch_next_bar(run);
}

void run_executed_bar(Run& run) {
    RunState& s = run.s;
    const ExecutionInputs& e = run.in.exec;
    accrue_financing(run);
    if (e.has_events()) apply_corporate_actions(run);
    if (!e.orders) {
        // No trading option: trades are what they are without the layer.
        walk_holdings(run);
        run_deferred_exits(run);
        hand_over_exits(s);
        if (s.rebalance_pending) apply_rebalance(run);
        if (s.has_delisting) close_delisted(run);
        value_portfolio(run);
        return;
    }
    walk_holdings_executed(run);  // marks, trackers, stop tests; touched exits become orders
    run_deferred_exits(run);      // close-mode stops of the previous bar become orders
    hand_over_exits(s);
    if (s.rebalance_pending) {
        apply_rebalance(run);  // replaces every order
    } else {
        fill_carried_orders(run);
    }
    if (s.has_delisting) {
        close_delisted(run);
        // Orders in stocks delisted by now can never fill.
        for (Order& o : run.exec->orders) {
            const int64_t delisted = run.in.delisting_bars[o.sid];
            if (delisted >= 0 && delisted <= s.bar) o.remaining = 0.0;
        }
    }
    run.exec->orders.purge();
    if (e.capital_mode()) {
        value_portfolio_executed(run);
    } else {
        value_portfolio(run);
    }
}

std::vector<std::pair<double, double>> closing_marks(const Run& run) {
    const RunState& s = run.s;
    const ExecutionState& x = *run.exec;
    std::vector<std::pair<double, double>> out;
    out.reserve(s.positions.size());
    for (const auto& [sid, value] : s.positions) {
        const int col = run.in.price_col[sid];
        const double price = run.in.price_values(s.bar, col);
        const double close = run.in.close_values(s.bar, col);
        const double mark = s.rebalance_prices[static_cast<std::size_t>(col)];
        if (run.in.exec.capital_mode()) {
            if (std::isnan(close)) {
                out.emplace_back(value, raw_price(run, sid, mark));
            } else {
                out.emplace_back(
                    x.shares[static_cast<std::size_t>(sid)] * raw_price(run, sid, close) / x.unit,
                    raw_price(run, sid, close));
            }
        } else {
            const bool marked = !(std::isnan(price) || std::isnan(close));
            out.emplace_back(marked ? (value * close) / price : value,
                             raw_price(run, sid, marked ? close : mark));
        }
    }
    return out;
}

}  // namespace vantrel::kernel
