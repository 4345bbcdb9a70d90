// The execution layer: how a bar runs when any execution option is on. Every
// trade becomes an order in shares that fills as the fill model allows
// (prices, volume, limits, cash), with its costs booked by kind; cash earns or
// pays interest, shorts pay to borrow, and dividends and splits reach the
// holdings. The bar's phases and their order are in run_executed_bar.
#pragma once

#include "run.hpp"

#include <limits>
#include <utility>
#include <vector>

namespace vantrel::kernel {

// Sizes the layer's state for a fresh run (after prepare_state).
void prepare_execution(const RunInputs& in, ExecutionState& x);

// Every phase of one bar but the scheduling of the next rebalance; then,
// once it is scheduled, what the layer does to be ready for the next bar.
void run_executed_bar(Run& run);
void finish_executed_bar(Run& run);

// Interest on cash, margin interest on negative cash and borrow fees on
// shorts, for the calendar time since the previous bar of the run.
void accrue_financing(Run& run);

// This bar's splits (share counts and orders follow), then its dividends
// (cash per share held at the previous close).
void apply_corporate_actions(Run& run);

// The phases of a bar with orders.
void walk_holdings_executed(Run& run);
void value_portfolio_executed(Run& run);  // capital mode: shares x quoted closes

// A stop exit becomes an order for every share held, worked at once at
// `price` (split-adjusted: a touched level, a gapped open or the trading
// price). In the walk, a holding that is not sold in full is marked at
// `bar_price` again. Returns the new cash.
double exit_by_order(Run& run, int sid, ExitReason reason, double price, double cash, bool in_walk,
                     double bar_price = std::numeric_limits<double>::quiet_NaN());

// Works `order` on the current bar at `price` (split-adjusted): what the fill
// model allows, in whole lots and within the cash down to `floor` in capital
// mode; books it and carries the rest. Returns the new cash.
double work_order(Run& run, Order& order, double price, double cash, double floor, bool in_walk);

// The orders carried from earlier bars, worked at this bar's trading price.
void fill_carried_orders(Run& run);

// A delisted holding is sold in full on its delisting bar, whatever the
// volume and limits (its order, if any, is cancelled). Returns the new cash.
double close_by_delisting(Run& run, int sid, double cash);

// A rebalance's orders: every stock to its weight, in shares (whole lots in
// capital mode), worked at once; what does not fill is carried.
double execute_rebalance(Run& run, const std::vector<double>& weights, double cash);

// A fill to book: shares traded at a market price, what it costs beyond the
// fee and tax, and how it stands to the order it belongs to.
struct FillPlan {
    double shares = 0.0;  // signed: + bought, - sold
    double price = 0.0;   // quoted market price, before slippage and impact
    double slippage = 0.0;
    double impact = 0.0;     // fractions of the price
    bool completes = false;  // the order is filled with this
    bool closes = false;     // ... and leaves no holding
    // Fractional weights: the holding's value when the fill completes its
    // order on the bar it was decided (NaN: value + shares x price).
    double target_value = std::numeric_limits<double>::quiet_NaN();
    double weight_target = 0.0;  // over weight_base: the entry weight of a record it opens
    double weight_base = 1.0;
    bool may_rebase = false;
    bool drop_flat = true;
    FillReason reason = FillReason::rebalance;
    ExitReason exit_reason = ExitReason::rebalance;
};

// What the trades still open after the last bar are worth there, and the
// quoted price they are valued at, in the order of the holdings.
std::vector<std::pair<double, double>> closing_marks(const Run& run);

// Moves the money and shares of one fill and books it in the trade log and
// the fills. Returns the new cash.
double book_fill(Run& run, int sid, const FillPlan& plan, double cash);

}  // namespace vantrel::kernel
