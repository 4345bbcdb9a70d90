// normalize_weight: the module function that shapes a weight dictionary.
#pragma once

#include "pyref.hpp"

namespace vantrel::simora {

// normalize_weight(weights, position_limit) -> weights: scales the values down
// to a total absolute weight of at most 1 (by the reciprocal of the total) and
// clips each to +/-position_limit, in place.
PyObject* normalize_weight(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::simora
