// The values a batch's variants give, checked before any of them runs: a
// table of variants is built in bulk, so a NaN or negative stop level, a
// cost that is not a finite fraction or a position limit that is not
// positive is refused by name, where the single entry takes the package's
// checked values as they are.
#pragma once

#include "run_arguments.hpp"

namespace vantrel::engine {

// Raises ValueError naming the first bad value.
void check_run_values(const RunArguments& a);

}  // namespace vantrel::engine
