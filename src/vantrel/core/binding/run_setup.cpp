#include "run_setup.hpp"

#include "column_mapping.hpp"
#include "kernel_errors.hpp"

#include <cmath>

#include <numpy/ndarrayobject.h>

namespace vantrel::binding {

namespace {

// The first row of a matrix must exist: the working state is sized from it.
void require_first_row(const kernel::Matrix<double>& m) {
    if (m.rows() == 0) raise(PyExc_IndexError, "index 0 is out of bounds for axis 0 with size 0");
}

void bind_stop_table(const Ref& table, Buffer& values_buf, kernel::Matrix<double>& values, Buffer& rows_buf,
                     kernel::Vector<int64_t>& rows) {
    Ref values_obj = Ref::steal(PyObject_GetAttrString(table.get(), "values"));
    values_buf.acquire(values_obj.get(), 2, Elem::f64);
    values = {values_buf.data(), values_buf.shape(0), values_buf.shape(1), values_buf.stride(0),
              values_buf.stride(1)};
    Ref rows_obj = Ref::steal(PyObject_GetAttrString(table.get(), "rows"));
    rows_buf.acquire(rows_obj.get(), 1, Elem::i64);
    rows = {rows_buf.data(), rows_buf.shape(0), rows_buf.stride(0)};
}

}  // namespace

void prepare_run(BacktestArgs& a, PreparedRun& p, const StopTableNames& stops) {
    kernel::RunInputs& in = a.in;
    p.column_map = map_columns(a.price_columns_obj, a.pos_columns_obj);
    in.price_col.assign(static_cast<size_t>(a.pos_columns.size()), 0);
    for (const auto& [sid, col] : p.column_map) in.price_col[sid] = col;

    npy_intp length = in.price_index.size();
    p.value_series = Ref::steal(PyArray_EMPTY(1, &length, NPY_FLOAT64, 0));
    double* values =
        static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(p.value_series.get())));
    require_first_row(in.pos_values);
    require_first_row(in.price_values);
    kernel::prepare_state(in, p.state, values);

    if (in.pos_values.cols() != a.pos_columns.size()) {
        raise(PyExc_ValueError, "Position values do not match position columns");
    }

    p.sl_table = stop_thresholds(a.stop_loss, a.price_index_obj, a.pos_columns_obj, stops);
    p.tp_table = stop_thresholds(a.take_profit, a.price_index_obj, a.pos_columns_obj, stops);
    bind_stop_table(p.sl_table, p.sl_values_buf, in.sl_values, p.sl_rows_buf, in.sl_rows);
    bind_stop_table(p.tp_table, p.tp_values_buf, in.tp_values, p.tp_rows_buf, in.tp_rows);

    in.options.trail_stop = std::fabs(in.options.trail_stop);
    in.options.trail_stop_activation = std::fabs(in.options.trail_stop_activation);
    in.rebalance_mask = kernel::rebalance_mask(in.price_index, a.resample);
}

void raise_kernel_error(const kernel::KernelError& e, const View1<PyObject*>& labels) {
    using Kind = kernel::KernelError::Kind;
    switch (e.kind) {
        case Kind::out_of_bounds: raise_out_of_bounds(e.axis);
        case Kind::invalid_trade_price: raise_invalid_trade_price(e.value, labels[e.sid], e.row);
        case Kind::zero_weight_base: {
            // The interpreter's own error for a float division by zero.
            Ref numerator = Ref::steal(PyFloat_FromDouble(e.value));
            Ref denominator = Ref::steal(PyFloat_FromDouble(0.0));
            Ref quotient = Ref::steal(PyNumber_TrueDivide(numerator.get(), denominator.get()));
            raise(PyExc_ZeroDivisionError, "float division by zero");
        }
        default: raise_excursion_error(e);
    }
}

}  // namespace vantrel::binding
