// One backtest run: the bar loop and its phases over the run's inputs, state,
// sink and (when kept) trade log. The caller prepares the state (see
// prepare_state), runs the bars, then reads the state and the log.
#pragma once

#include "execution_state.hpp"
#include "fill_log.hpp"
#include "run_inputs.hpp"
#include "run_sink.hpp"
#include "run_state.hpp"
#include "trade_log.hpp"

#include <cmath>
#include <limits>
#include <optional>

namespace vantrel::kernel {

struct Run {
    const RunInputs& in;
    RunSink& sink;
    RunState& s;
    TradeLog* log = nullptr;  // null unless the trade log is kept
    // The execution layer's state, when any of its options is on (see
    // execution.hpp); null otherwise, and always for the documented modules.
    ExecutionState* exec = nullptr;
    FillLog* fills = nullptr;  // null unless fills are kept (with the trade log)
};

// Cash, trackers and reference prices of a fresh run, sized from the first
// rows of the position and price tables (the caller has checked they exist).
void prepare_state(const RunInputs& in, RunState& s, double* values);

// Every bar in order: bars before the first position row are valued at 1.0;
// every other bar runs the phases below. The trade log, when kept, also gets
// the trades still open after the last bar.
void run_bars(Run& run);

// The phases of one bar, in the order run_bars runs them.
void walk_holdings(Run& run);       // mark to market, trackers, stop tests, touched exits
void run_deferred_exits(Run& run);  // sell the close-mode stops of the previous bar
void hand_over_exits(RunState& s);  // queue this bar's close-mode stops for the next
void apply_rebalance(Run& run);     // the scheduled position row
void close_delisted(Run& run);      // stocks delisted at this bar
void value_portfolio(Run& run);     // cash plus holdings at this bar's close
void schedule_rebalance(Run& run);  // the next bar's row, and whether it rebalances

// How an exit fills: why it happened and at what price (NaN: at the price
// the holding is marked at).
struct ExitFill {
    ExitReason reason = ExitReason::rebalance;
    double price = std::numeric_limits<double>::quiet_NaN();
};

// Brings `sid` to `target_value`, charging the fee on every trade and the
// tax on trades that reduce or close; entries and exits are reported to the
// sink before any accounting. Returns the new cash balance.
double set_position(Run& run, int sid, double target_value, double cash, bool verify_held, bool drop_flat,
                    double weight_base = 1.0, const ExitFill& fill = {});

// Trades every stock to its weight of the portfolio value, capped at the
// position limit. Returns the new cash balance.
// `listed` holds, ascending, every column of `weights` that may be nonzero.
double rebalance(Run& run, const std::vector<double>& weights, const std::vector<int>& listed, double cash);

// Sum of absolute weights in NumPy's pairwise order (long rows: the sink's).
double abs_weight_sum(RunSink& sink, const std::vector<double>& weights);

// Whether trades go through the execution layer's orders.
inline bool works_orders(const Run& run) { return run.exec != nullptr && run.in.exec.orders; }

// A split-adjusted price of `sid` as it was quoted on the current bar.
inline double raw_price(const Run& run, int sid, double adjusted) {
    if (run.exec == nullptr || run.exec->split_factor.empty()) return adjusted;
    return adjusted / run.exec->split_factor[static_cast<std::size_t>(run.in.price_col[sid])];
}

// A missing (NaN) price is allowed; zero, negative or infinite is not.
inline void validate_trade_price(double price, int sid, int row) {
    // One range test for the common, valid price (false for NaN too).
    if (price > 0.0 && price <= std::numeric_limits<double>::max()) [[likely]]
        return;
    if (std::isnan(price)) return;
    throw KernelError::invalid_trade_price(price, sid, row);
}

}  // namespace vantrel::kernel
