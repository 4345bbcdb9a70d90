// run_batch(shared, variants, *, threads=None): many runs of the array entry
// in one call. Every variant is the shared arguments with its own overrides,
// read by the same reader as run() before anything runs; the runs then go to
// a pool of native threads with the interpreter released. Each variant gets
// its RunResult, or the exception it raised, in input order.
#pragma once

#include "pyref.hpp"

namespace vantrel::engine {

PyObject* run_batch(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::engine
