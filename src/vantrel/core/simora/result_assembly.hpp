// After the last bar: close the analysis session and describe the final
// portfolio in the module's stock_operations dictionary.
#pragma once

#include "backtest_arguments.hpp"

namespace vantrel::simora {

void assemble_result(const binding::BacktestArgs& a, kernel::RunState& s);

}  // namespace vantrel::simora
