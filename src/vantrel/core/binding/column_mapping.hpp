// Matching position columns to price columns by label, and the message for a
// price the engine cannot trade at.
#pragma once

#include "array_view.hpp"

#include <map>

namespace vantrel::binding {

// sid -> price column for every position column whose label (compared as
// UTF-8 bytes) names a price column; for duplicated price labels the last
// column wins.
std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns);

[[noreturn]] void raise_invalid_trade_price(double price, PyObject* stock, int row);

}  // namespace vantrel::binding
