#include "backtest_arguments.hpp"

#include "argument_binding.hpp"

#include <climits>

#include <numpy/ndarrayobject.h>

namespace vantrel::binding {

namespace {

constexpr const char* kNames[] = {
    "price_values",
    "close_values",
    "high_values",
    "low_values",
    "open_values",
    "price_index",
    "price_columns",
    "pos_values",
    "pos_index",
    "pos_columns",
    "resample",
    "fee_ratio",
    "tax_ratio",
    "stop_loss",
    "take_profit",
    "trail_stop",
    "trail_stop_activation",
    "touched_exit",
    "position_limit",
    "retain_cost_when_rebalance",
    "stop_trading_next_period",
    "exvalo_window",
    "exvalo_window_step",
    "periodically_rebalance",
    "delisting_bars",
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

bool truthy(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }

kernel::Matrix<double> matrix(const Buffer& b) {
    return {b.data(), b.shape(0), b.shape(1), b.stride(0), b.stride(1)};
}

template <class T>
kernel::Vector<T> vector(const Buffer& b) {
    return {b.data(), b.shape(0), b.stride(0)};
}

}  // namespace

void convert_arguments(const char* function, PyObject* args, PyObject* kwargs,
                       const ArgumentDefaults& defaults, BacktestArgs& a) {
    PyObject* v[kCount];
    bind_arguments(function, args, kwargs, kNames, kCount, kRequired, v);
    kernel::RunOptions& o = a.in.options;

    o.fee_ratio = v[11] ? to_double(v[11]) : 0.001425;
    o.tax_ratio = v[12] ? to_double(v[12]) : 0.003;
    a.stop_loss = v[13] ? v[13] : defaults.stop_loss;
    a.take_profit = v[14] ? v[14] : defaults.take_profit;
    o.trail_stop = v[15] ? to_double(v[15]) : defaults.trail_stop;
    o.trail_stop_activation = v[16] ? to_double(v[16]) : 0.0;
    o.touched_exit = v[17] ? truthy(v[17]) : false;
    o.position_limit = v[18] ? to_double(v[18]) : 1.0;
    o.retain_cost_when_rebalance = v[19] ? truthy(v[19]) : false;
    a.stop_trading_next_period = v[20] ? v[20] : Py_True;
    o.excursion_window = v[21] ? to_int32(v[21]) : 0;
    o.excursion_window_step = v[22] ? to_int32(v[22]) : 1;
    a.periodically_rebalance = v[23] ? truthy(v[23]) : true;
    if (v[24] != nullptr && v[24] != Py_None) {
        a.delisting_buf.acquire(v[24], 1, Elem::i64);
        a.in.delisting_bars = vector<int64_t>(a.delisting_buf);
        a.in.has_delisting_bars = true;
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

    if (o.touched_exit && !(a.high_buf.held() && a.low_buf.held() && a.open_buf.held())) {
        raise(PyExc_ValueError, "touched_exit requires high_values, low_values and open_values");
    }

    a.in.price_values = matrix(a.price_buf);
    a.in.close_values = matrix(a.close_buf);
    if (a.high_buf.held()) a.in.high_values = matrix(a.high_buf);
    if (a.low_buf.held()) a.in.low_values = matrix(a.low_buf);
    if (a.open_buf.held()) a.in.open_values = matrix(a.open_buf);
    a.in.price_index = vector<int64_t>(a.price_index_buf);
    a.price_columns = View1<PyObject*>(a.price_columns_buf);
    a.in.pos_values = matrix(a.pos_values_buf);
    a.in.pos_index = vector<int64_t>(a.pos_index_buf);
    a.pos_columns = View1<PyObject*>(a.pos_columns_buf);
    a.resample = vector<int64_t>(a.resample_buf);
}

}  // namespace vantrel::binding
