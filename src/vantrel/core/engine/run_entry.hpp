// run(...): the package's entry to the kernel. The documented backtest_
// arguments, no module state, the bar loop with the interpreter released,
// and NumPy arrays back.
#pragma once

#include "pyref.hpp"

namespace vantrel::engine {

struct EngineState {
    PyObject* stops_globals = nullptr;  // vantrel._stops' namespace (owned)
    PyObject* builtins = nullptr;       // borrowed
    PyObject* default_stop_loss = nullptr;
    PyObject* default_take_profit = nullptr;
    double default_trail_stop = 0.0;
};

EngineState& engine_state();

PyObject* run(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::engine
