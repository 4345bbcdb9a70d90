// The phases of one bar of the backtest, in the order the driver runs them,
// and the result assembly after the last bar.
#pragma once

#include "run_state.hpp"

namespace vantrel::simora {

// Holdings walk: mark every holding to this bar's trading price, advance its
// return trackers and test its stop levels (touched exits trade now,
// close-mode stops are queued for the next bar).
void walk_holdings(const BacktestArgs& a, RunState& s);

// Sell the close-mode stops found on the previous bar.
void run_deferred_exits(const BacktestArgs& a, RunState& s);

// Queue this bar's close-mode stops for the next bar.
void hand_over_exits(RunState& s);

// Apply the scheduled position row.
void apply_rebalance(const BacktestArgs& a, RunState& s);

// Close holdings of stocks delisted at this bar.
void close_delisted(const BacktestArgs& a, RunState& s);

// Cash plus holdings marked to this bar's close.
void value_portfolio(const BacktestArgs& a, RunState& s);

// Move to the latest position row dated strictly before the next bar and
// decide whether the next bar rebalances.
void schedule_rebalance(const BacktestArgs& a, RunState& s, Py_ssize_t n_bars);

// Close the analysis session and rebuild the final-portfolio description.
void assemble_result(const BacktestArgs& a, RunState& s);

}  // namespace vantrel::simora
