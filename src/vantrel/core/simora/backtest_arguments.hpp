// Conversion and checking of backtest_'s 25 arguments.
#pragma once

#include "run_state.hpp"

namespace vantrel::simora {

// Binds and converts the arguments: numbers and flags first, in argument
// order, then the array type tests, then the typed views.
void convert_arguments(PyObject* args, PyObject* kwargs, BacktestArgs& out);

}  // namespace vantrel::simora
