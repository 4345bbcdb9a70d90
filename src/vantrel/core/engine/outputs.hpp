// The package face's results as NumPy arrays: the trade log as a structured
// array with named fields, and the final portfolio as one record per stock.
#pragma once

#include "final_portfolio.hpp"
#include "pyref.hpp"
#include "trade_log.hpp"

namespace vantrel::engine {

Ref trade_log_array(const kernel::TradeLog& log);
Ref portfolio_array(const kernel::FinalPortfolio& portfolio);

// Names of the exit reasons and actions, indexed by their codes.
Ref exit_reason_names();
Ref action_names();

}  // namespace vantrel::engine
