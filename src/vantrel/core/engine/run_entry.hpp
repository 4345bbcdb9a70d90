// run(...): the package's entry to the kernel. Keyword arguments in the
// package's words, no module state, the bar loop with the interpreter
// released, and NumPy arrays back in a RunResult.
#pragma once

#include "pyref.hpp"

namespace vantrel::engine {

struct EngineState {
    PyObject* run_result_type = nullptr;  // owned
};

EngineState& engine_state();

PyObject* run(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::engine
