// Matching position columns to price columns by label, and the guard on the
// prices the engine trades at.
#pragma once

#include "array_view.hpp"

#include <cmath>
#include <map>

namespace vantrel::simora {

// sid -> price column for every position column whose label (compared as
// UTF-8 bytes) names a price column; for duplicated price labels the last
// column wins.
std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns);

[[noreturn]] void raise_invalid_trade_price(double price, PyObject* stock, int row);

// A missing (NaN) price is allowed; zero, negative or infinite is not.
inline void validate_trade_price(double price, const View1<PyObject*>& labels, int sid, int row) {
    if (std::isnan(price)) return;
    if (std::isinf(price) || price <= 0.0) raise_invalid_trade_price(price, labels[sid], row);
}

}  // namespace vantrel::simora
