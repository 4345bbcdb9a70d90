#include "backtest_arguments.hpp"

#include "argument_binding.hpp"
#include "module_state.hpp"

#include <climits>

#include "numpy_api.hpp"

namespace vantrel::simora {

namespace {

constexpr const char* kNames[] = {
    "price_values", "close_values", "high_values", "low_values", "open_values",
    "price_index", "price_columns", "pos_values", "pos_index", "pos_columns",
    "resample", "fee_ratio", "tax_ratio", "stop_loss", "take_profit",
    "trail_stop", "trail_stop_activation", "touched_exit", "position_limit",
    "retain_cost_when_rebalance", "stop_trading_next_period", "exvalo_window",
    "exvalo_window_step", "periodically_rebalance", "delisting_bars",
};
constexpr Py_ssize_t kCount = sizeof(kNames) / sizeof(kNames[0]);
constexpr Py_ssize_t kRequired = 11;

double to_double(PyObject* o) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0) check_pending();
    return v;
}

// int() semantics for the window options: a float is truncated toward zero.
int to_int32(PyObject* o) {
    Ref number;
    if (PyLong_Check(o)) {
        number = Ref::borrow(o);
    } else if (Py_TYPE(o)->tp_as_number != nullptr && Py_TYPE(o)->tp_as_number->nb_int != nullptr) {
        number = Ref::steal(Py_TYPE(o)->tp_as_number->nb_int(o));
    } else {
        raise(PyExc_TypeError, "an integer is required");
    }
    const long v = PyLong_AsLong(number.get());
    if (v == -1) check_pending();
    if (v < INT_MIN || v > INT_MAX) raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int>(v);
}

void require_array(PyObject* o, const char* name, bool none_allowed) {
    if (o == Py_None && none_allowed) return;
    if (o == Py_None || !PyArray_Check(o)) raise_argument_type(name, "numpy.ndarray", o);
}

}  // namespace

void convert_arguments(PyObject* args, PyObject* kwargs, BacktestArgs& a) {
    PyObject* v[kCount];
    bind_arguments("backtest_", args, kwargs, kNames, kCount, kRequired, v);
    const ModuleState& ms = state();

    a.fee_ratio = v[11] ? to_double(v[11]) : 0.001425;
    a.tax_ratio = v[12] ? to_double(v[12]) : 0.003;
    a.stop_loss = v[13] ? v[13] : ms.default_stop_loss;
    a.take_profit = v[14] ? v[14] : ms.default_take_profit;
    a.trail_stop = v[15] ? to_double(v[15]) : ms.default_trail_stop;
    a.trail_stop_activation = v[16] ? to_double(v[16]) : 0.0;
    a.touched_exit = v[17] ? truthy(v[17]) : false;
    a.position_limit = v[18] ? to_double(v[18]) : 1.0;
    a.retain_cost_when_rebalance = v[19] ? truthy(v[19]) : false;
    a.stop_trading_next_period = v[20] ? v[20] : Py_True;
    a.exvalo_window = v[21] ? to_int32(v[21]) : 0;
    a.exvalo_window_step = v[22] ? to_int32(v[22]) : 1;
    a.periodically_rebalance = v[23] ? truthy(v[23]) : true;
    if (v[24] != nullptr && v[24] != Py_None) {
        a.delisting_buf.acquire(v[24], 1, Elem::i64);
        a.delisting_bars = View1<int64_t>(a.delisting_buf);
        a.has_delisting_bars = true;
    }

    for (int i = 0; i < kRequired; ++i) require_array(v[i], kNames[i], i >= 2 && i <= 4);

    a.price_values_obj = v[0];
    a.close_values_obj = v[1];
    a.price_index_obj = v[5];
    a.price_columns_obj = v[6];
    a.pos_columns_obj = v[9];
    a.price_buf.acquire(v[0], 2, Elem::f64);
    a.close_buf.acquire(v[1], 2, Elem::f64);
    Buffer* ohlc[] = {&a.high_buf, &a.low_buf, &a.open_buf};
    for (int i = 0; i < 3; ++i) {
        if (v[2 + i] != Py_None) ohlc[i]->acquire(v[2 + i], 2, Elem::f64);
    }
    a.price_index_buf.acquire(v[5], 1, Elem::i64);
    a.price_columns_buf.acquire(v[6], 1, Elem::object);
    a.pos_values_buf.acquire(v[7], 2, Elem::f64);
    a.pos_index_buf.acquire(v[8], 1, Elem::i64);
    a.pos_columns_buf.acquire(v[9], 1, Elem::object);
    a.resample_buf.acquire(v[10], 1, Elem::i64);

    if (a.touched_exit && !(a.high_buf.held() && a.low_buf.held() && a.open_buf.held())) {
        raise(PyExc_ValueError, "touched_exit requires high_values, low_values and open_values");
    }

    a.price_values = View2<double>(a.price_buf);
    a.close_values = View2<double>(a.close_buf);
    if (a.high_buf.held()) a.high_values = View2<double>(a.high_buf);
    if (a.low_buf.held()) a.low_values = View2<double>(a.low_buf);
    if (a.open_buf.held()) a.open_values = View2<double>(a.open_buf);
    a.price_index = View1<int64_t>(a.price_index_buf);
    a.price_columns = View1<PyObject*>(a.price_columns_buf);
    a.pos_values = View2<double>(a.pos_values_buf);
    a.pos_index = View1<int64_t>(a.pos_index_buf);
    a.pos_columns = View1<PyObject*>(a.pos_columns_buf);
    a.resample = View1<int64_t>(a.resample_buf);
}

}  // namespace vantrel::simora
