// The five native functions through which the engine drives one analysis
// session. The void functions report a failure by leaving a Python error set;
// end_analysis returns NULL then.
#pragma once

#include "exvalo_api.hpp"

#include <map>

namespace vantrel::exvalo {

void start_analysis(PyArrayObject* trade_prices, PyArrayObject* close_prices, std::map<int, int> column_map,
                    int n_columns, double fee_ratio, double tax_ratio, int window, int window_step) noexcept;
void record_date(int bar) noexcept;
void record_entry(int sid, double weight, int full_entry) noexcept;
void record_exit(int sid, int full_exit) noexcept;
PyObject* end_analysis(std::map<int, double>& positions) noexcept;

}  // namespace vantrel::exvalo
