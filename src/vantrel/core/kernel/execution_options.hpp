// What the execution layer reads: capital and lots, the costs of a fill,
// liquidity, price limits, financing and corporate actions. All of it is off
// by default; a run with it off never enters the layer (the documented
// modules never set it). Views of the caller's arrays, as in RunInputs; a
// per-stock or per-bar setting given as one number is a zero-stride view.
#pragma once

#include "strided.hpp"

#include <cstdint>

namespace vantrel::kernel {

// Events on bars, sorted by bar: dividends (cash per share on the ex-date bar)
// or splits (new shares per old share on the bar the split takes effect).
struct MarketEvents {
    Vector<int64_t> bars, columns;  // the bar, and the price column
    Vector<double> amounts;
    Index size() const { return bars.size(); }
};

struct ExecutionInputs {
    // Any option below: the bars run through the execution layer.
    bool on = false;
    // A trading option (capital, slippage, impact, participation, price
    // limit): every trade is an order, filled as the fill model allows.
    bool orders = false;

    double capital = 0.0;        // currency; 0: fractional weights
    Vector<double> lot_size;     // per stock, shares per lot (capital mode)
    double min_fee = 0.0;        // per fill, in currency (capital mode)
    Vector<double> slippage;     // per stock, a fraction of the price
    double impact = 0.0;         // the square-root law's coefficient
    double participation = 0.0;  // largest share of a bar's volume; 0: no cap
    double price_limit = 0.0;    // daily limit as a fraction; 0: none
    // Shares traded per bar, split-adjusted like the prices (bars x price
    // columns); not given: rows() == 0.
    Matrix<double> volume;

    bool financing = false;      // cash, margin or borrow rates
    Vector<double> cash_rate;    // per bar, annual: the rate in force on that bar
    Vector<double> borrow_rate;  // per stock, annual
    bool borrows = false;        // any borrow rate above 0
    double margin_rate = 0.0;    // annual, on negative cash
    double leverage = 1.0;       // largest gross exposure over the portfolio value

    MarketEvents dividends, splits;

    bool capital_mode() const { return capital > 0.0; }
    bool has_volume() const { return volume.rows() > 0; }
    bool has_events() const { return dividends.size() > 0 || splits.size() > 0; }
};

}  // namespace vantrel::kernel
