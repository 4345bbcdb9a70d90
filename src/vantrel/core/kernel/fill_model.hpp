// What the market allows a fill on one bar, and what it costs: a price and
// volume to trade on, the daily price limits, the participation cap, and the
// square-root impact from the volatility and average volume of the bars
// before the fill's own.
#pragma once

#include "impact_window.hpp"
#include "run.hpp"

namespace vantrel::kernel {

// Whether a stock's column can trade on the current bar on one side: a
// price, volume above 0 where volume is given, and a close off the limit.
bool can_trade(const Run& run, int col, double price, bool buying);

// Shares the participation cap still allows in the stock on the current bar
// (infinite without a cap), given `traded` shares already.
double volume_room(const Run& run, int col, double traded);

// Daily volatility of returns (the sample standard deviation) and average
// volume (in quoted shares) over the window before the current bar; `known`
// when there are two returns and some volume to compute them from. Computed
// at the stock's first fill of a bar and kept in `window` for the others.
struct Liquidity {
    double sigma = 0.0;
    double volume = 0.0;
    bool known = false;
};
Liquidity liquidity(const Run& run, int col, ImpactWindow& window);

// The square-root law's fraction of the price for `shares` (quoted).
double impact_rate(const Run& run, const Liquidity& liq, double shares);

// Asks for the cells the next bar's fills will read (the orders working,
// and the stocks of a rebalance due) a whole bar ahead, as the holdings walk
// does for the held ones.
void prefetch_next_bar(const Run& run);

// The latest price of a column on or before `bar` (NaN: none).
double last_price(const Matrix<double>& prices, int col, Index bar);

}  // namespace vantrel::kernel
