// Excursion statistics of one trade: a 1-D float64 array of six-value
// records, the window samples first and the exit record last.
#pragma once

#include "pyref.hpp"

namespace vantrel::exvalo {

// Analyses the trade of `sid` entered at `entry_bar` up to `exit_bar` (the
// session's current bar) on the session's matrices. `is_long` is tested for
// truth where the side matters; `full_entry` charges the entry fee,
// `full_exit` fills the exit at its execution price and charges the exit
// costs. Throws PyErrorSet.
Ref exvalo_analysis(int sid, int entry_bar, int exit_bar, PyObject* is_long, int full_entry, int full_exit);

}  // namespace vantrel::exvalo
