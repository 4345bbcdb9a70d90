// The package face's results as NumPy arrays: the trade log and the fills as
// structured arrays with named fields, the costs per bar (bars x kinds), and
// the final portfolio as one record per stock.
#pragma once

#include "fill_log.hpp"
#include "final_portfolio.hpp"
#include "pyref.hpp"
#include "trade_log.hpp"

namespace vantrel::engine {

Ref trade_log_array(const kernel::TradeLog& log);
Ref portfolio_array(const kernel::FinalPortfolio& portfolio);
Ref fills_array(const kernel::FillLog& log);
Ref costs_array(const kernel::FillLog& log);

// Names of the exit reasons, actions, fill reasons and cost kinds, indexed by
// their codes.
Ref exit_reason_names();
Ref action_names();
Ref fill_reason_names();
Ref cost_kind_names();

}  // namespace vantrel::engine
