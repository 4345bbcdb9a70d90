// The execution layer's state for one run: share counts, split factors, the
// order book and the cursors into the market's events.
#pragma once

#include "impact_window.hpp"
#include "order_book.hpp"
#include "strided.hpp"

#include <cstdint>
#include <vector>

namespace vantrel::kernel {

struct ExecutionState {
    // Capital mode: the shares held per stock, as quoted (splits multiply them).
    std::vector<double> shares;
    // Per price column, the product of its split ratios so far: the kernel
    // marks split-adjusted prices, and quoted = adjusted / factor. Empty
    // without splits (every factor is 1).
    std::vector<double> split_factor;
    OrderBook orders;
    // With impact: per stock, the impact model's look-back of its last fill.
    std::vector<ImpactWindow> windows;
    ImpactWindow& window(int sid) { return windows[static_cast<std::size_t>(sid)]; }
    // Capital mode: the capital; fractional weights: 1, a portfolio of one
    // unit of currency. shares x quoted price / unit is a value.
    double unit = 1.0;
    double min_fee = 0.0;  // in units of the initial capital
    Index next_dividend = 0, next_split = 0;
    // Financing accrues from the bar after the first bar of the run.
    bool started = false;
    int64_t previous_date = 0;
    Index previous_bar = 0;
    // The stocks of each price column (events are by column): those of
    // column c are column_stocks[column_start[c]] up to column_start[c + 1].
    std::vector<int> column_start, column_stocks;
};

}  // namespace vantrel::kernel
