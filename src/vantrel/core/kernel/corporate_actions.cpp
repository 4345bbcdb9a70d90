// Splits and cash dividends on their bars, before anything trades: a split
// multiplies the shares held and ordered (the kernel marks split-adjusted
// prices, so no value jumps); a dividend pays cash per share to the holders
// at the previous close (a short pays it).
#include "execution.hpp"
#include "fill_model.hpp"

#include <cmath>

namespace vantrel::kernel {

namespace {

template <class F>
void for_each_stock(const ExecutionState& x, int col, F&& f) {
    for (int k = x.column_start[static_cast<std::size_t>(col)];
         k < x.column_start[static_cast<std::size_t>(col) + 1]; ++k) {
        f(x.column_stocks[static_cast<std::size_t>(k)]);
    }
}

// The shares of a holding: counted in capital mode; in fractional weights
// its value over the quoted price it is valued at.
double shares_held(const Run& run, int sid, int col, double value) {
    const ExecutionState& x = *run.exec;
    if (run.in.exec.capital_mode()) return x.shares[static_cast<std::size_t>(sid)];
    double mark = run.s.rebalance_prices[static_cast<std::size_t>(col)];
    if (!(mark > 0.0) && run.s.bar > 0) mark = last_price(run.in.price_values, col, run.s.bar - 1);
    if (!(mark > 0.0)) return 0.0;
    const double f = x.split_factor.empty() ? 1.0 : x.split_factor[static_cast<std::size_t>(col)];
    return value / (mark / f);
}

void pay_dividend(Run& run, int col, double per_share) {
    RunState& s = run.s;
    const ExecutionState& x = *run.exec;
    for_each_stock(x, col, [&](int sid) {
        auto held = s.positions.find(sid);
        if (held == s.positions.end() || held->value == 0.0) return;
        const double amount = per_share * shares_held(run, sid, col, held->value) / x.unit;
        if (amount == 0.0 || std::isnan(amount)) return;
        s.cash = s.cash + amount;
        if (run.log != nullptr) run.log->income(sid, CostKind::dividends, amount);
        if (run.fills != nullptr) run.fills->add(s.current_bar, CostKind::dividends, amount);
    });
}

}  // namespace

void apply_corporate_actions(Run& run) {
    ExecutionState& x = *run.exec;
    const ExecutionInputs& e = run.in.exec;
    const Index bar = run.s.bar;
    // Splits before the run only set the factors: nothing was held yet.
    const MarketEvents& splits = e.splits;
    for (; x.next_split < splits.size() && splits.bars[x.next_split] <= bar; ++x.next_split) {
        const int col = static_cast<int>(splits.columns[x.next_split]);
        const double ratio = splits.amounts[x.next_split];
        x.split_factor[static_cast<std::size_t>(col)] *= ratio;
        if (splits.bars[x.next_split] != bar) continue;
        for_each_stock(x, col, [&](int sid) {
            x.shares[static_cast<std::size_t>(sid)] *= ratio;
            x.orders.split(sid, ratio);
            auto held = run.s.positions.find(sid);
            if (run.log != nullptr && held != run.s.positions.end() && held->value != 0.0) {
                run.log->split(sid, shares_held(run, sid, col, held->value));
            }
        });
    }
    const MarketEvents& dividends = e.dividends;
    for (; x.next_dividend < dividends.size() && dividends.bars[x.next_dividend] <= bar; ++x.next_dividend) {
        if (dividends.bars[x.next_dividend] != bar) continue;
        pay_dividend(run, static_cast<int>(dividends.columns[x.next_dividend]),
                     dividends.amounts[x.next_dividend]);
    }
}

}  // namespace vantrel::kernel
