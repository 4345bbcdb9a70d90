#include "run_arguments.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include <numpy/ndarrayobject.h>

namespace vantrel::engine {

namespace {

enum class Kind { matrix, dates, indices, number, flag, count };

struct Argument {
    const char* name;
    Kind kind;
    bool required;
};

// Every argument, by name; the order is the stub's.
constexpr Argument kArguments[] = {
    {"prices", Kind::matrix, true},
    {"close", Kind::matrix, true},
    {"bar_dates", Kind::dates, true},
    {"weights", Kind::matrix, true},
    {"weight_dates", Kind::dates, true},
    {"stock_columns", Kind::indices, true},
    {"calendar", Kind::dates, true},
    {"high", Kind::matrix, false},
    {"low", Kind::matrix, false},
    {"open", Kind::matrix, false},
    {"fee_ratio", Kind::number, false},
    {"tax_ratio", Kind::number, false},
    {"stop_loss", Kind::matrix, false},
    {"stop_loss_rows", Kind::indices, false},
    {"take_profit", Kind::matrix, false},
    {"take_profit_rows", Kind::indices, false},
    {"trail_stop", Kind::number, false},
    {"trail_stop_activation", Kind::number, false},
    {"touched_exit", Kind::flag, false},
    {"position_limit", Kind::number, false},
    {"retain_cost_when_rebalance", Kind::flag, false},
    {"stop_trading_next_period", Kind::flag, false},
    {"excursion_window", Kind::count, false},
    {"excursion_window_step", Kind::count, false},
    {"periodically_rebalance", Kind::flag, false},
    {"delisting_bars", Kind::indices, false},
};
constexpr int kCount = static_cast<int>(sizeof(kArguments) / sizeof(kArguments[0]));

// Positions in kArguments, for reading the values back.
enum Arg {
    prices,
    close,
    bar_dates,
    weights,
    weight_dates,
    stock_columns,
    calendar,
    high,
    low,
    open,
    fee_ratio,
    tax_ratio,
    stop_loss,
    stop_loss_rows,
    take_profit,
    take_profit_rows,
    trail_stop,
    trail_stop_activation,
    touched_exit,
    position_limit,
    retain_cost_when_rebalance,
    stop_trading_next_period,
    excursion_window,
    excursion_window_step,
    periodically_rebalance,
    delisting_bars,
};

[[noreturn]] void fail(PyObject* type, const std::string& message) { raise(type, message.c_str()); }

std::string text_of(PyObject* o) {
    Ref s = Ref::steal(PyObject_Str(o));
    const char* utf8 = PyUnicode_AsUTF8(s.get());
    if (utf8 == nullptr) throw PyErrorSet{};
    return utf8;
}

std::string shape_text(const Buffer& b, int ndim) {
    std::string out = "(";
    for (int axis = 0; axis < ndim; ++axis) {
        if (axis) out += ", ";
        out += std::to_string(b.shape(axis));
    }
    return out + (ndim == 1 ? ",)" : ")");
}

// A NumPy array of `ndim` dimensions of 8-byte floats or signed integers
// in native byte order, held in `buf`.
void take_array(PyObject* o, const char* name, int ndim, char kind, Buffer& buf) {
    const char* wanted = kind == 'f' ? "float64" : "int64";
    if (!PyArray_Check(o)) {
        fail(PyExc_TypeError, std::string("run: ") + name + " must be a " + std::to_string(ndim) + "-D " +
                                  wanted + " NumPy array, got " + Py_TYPE(o)->tp_name);
    }
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    PyArray_Descr* d = PyArray_DESCR(a);
    if (PyArray_NDIM(a) != ndim || d->kind != kind || PyArray_ITEMSIZE(a) != 8 ||
        !PyArray_ISNBO(d->byteorder)) {
        fail(PyExc_TypeError, std::string("run: ") + name + " must be a " + std::to_string(ndim) + "-D " +
                                  wanted + " array, got a " + std::to_string(PyArray_NDIM(a)) + "-D " +
                                  text_of(reinterpret_cast<PyObject*>(d)) + " array");
    }
    buf.acquire(o, ndim, kind == 'f' ? Elem::f64 : Elem::i64);
}

double number(PyObject* o, const char* name) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        fail(PyExc_TypeError, std::string("run: ") + name + " must be a number, got " + Py_TYPE(o)->tp_name);
    }
    return v;
}

int count(PyObject* o, const char* name) {
    Ref index = Ref::steal(PyNumber_Index(o));  // raises TypeError for a non-integer
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (v < INT_MIN || v > INT_MAX) fail(PyExc_OverflowError, std::string("run: ") + name + " is too large");
    return static_cast<int>(v);
}

bool flag(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }

kernel::Matrix<double> matrix(const Buffer& b) {
    return {b.data(), b.shape(0), b.shape(1), b.stride(0), b.stride(1)};
}

kernel::Vector<int64_t> vector(const Buffer& b) { return {b.data(), b.shape(0), b.stride(0)}; }

void require_shape(const Buffer& b, const char* name, int ndim, std::initializer_list<Py_ssize_t> shape,
                   const char* why) {
    int axis = 0;
    for (const Py_ssize_t want : shape) {
        if (b.shape(axis++) != want) {
            std::string expected = "(";
            int k = 0;
            for (const Py_ssize_t s : shape) expected += (k++ ? ", " : "") + std::to_string(s);
            expected += ndim == 1 ? ",)" : ")";
            fail(PyExc_ValueError, std::string("run: ") + name + " has shape " + shape_text(b, ndim) +
                                       ", expected " + expected + ": " + why);
        }
    }
}

// Every entry of an index vector lies in [0, size).
void require_indices(const kernel::Vector<int64_t>& v, const char* name, int64_t size, const char* what) {
    for (kernel::Index i = 0; i < v.size(); ++i) {
        const int64_t k = v[i];
        if (k < 0 || k >= size) {
            fail(PyExc_ValueError, std::string("run: ") + name + "[" + std::to_string(i) + "] is " +
                                       std::to_string(k) + ", outside the " + std::to_string(size) + " " +
                                       what);
        }
    }
}

}  // namespace

void read_run_arguments(PyObject* args, PyObject* kwargs, RunArguments& a) {
    if (PyTuple_GET_SIZE(args) != 0) fail(PyExc_TypeError, "run() takes keyword arguments only");
    PyObject* v[kCount] = {};
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
            if (name == nullptr) {
                PyErr_Clear();
                fail(PyExc_TypeError, "run() keywords must be strings");
            }
            int found = -1;
            for (int i = 0; i < kCount && found < 0; ++i) {
                if (std::strcmp(kArguments[i].name, name) == 0) found = i;
            }
            if (found < 0)
                fail(PyExc_TypeError, std::string("run() got an unexpected keyword argument '") + name + "'");
            v[found] = value == Py_None ? nullptr : value;
        }
    }
    for (int i = 0; i < kCount; ++i) {
        if (kArguments[i].required && v[i] == nullptr) {
            fail(PyExc_TypeError,
                 std::string("run() missing required keyword argument '") + kArguments[i].name + "'");
        }
    }

    Buffer* arrays[kCount] = {&a.prices,       &a.close,          &a.bar_dates,   &a.weights,
                              &a.weight_dates, &a.stock_columns,  &a.calendar,    &a.high,
                              &a.low,          &a.open,           nullptr,        nullptr,
                              &a.stop_loss,    &a.stop_loss_rows, &a.take_profit, &a.take_profit_rows};
    arrays[delisting_bars] = &a.delisting_bars;
    for (int i = 0; i < kCount; ++i) {
        if (v[i] == nullptr) continue;
        switch (kArguments[i].kind) {
            case Kind::matrix: take_array(v[i], kArguments[i].name, 2, 'f', *arrays[i]); break;
            case Kind::dates:
            case Kind::indices: take_array(v[i], kArguments[i].name, 1, 'i', *arrays[i]); break;
            default: break;
        }
    }

    kernel::RunOptions& o = a.in.options;
    o.fee_ratio = v[fee_ratio] ? number(v[fee_ratio], "fee_ratio") : 0.0;
    o.tax_ratio = v[tax_ratio] ? number(v[tax_ratio], "tax_ratio") : 0.0;
    o.trail_stop = std::fabs(v[trail_stop] ? number(v[trail_stop], "trail_stop")
                                           : std::numeric_limits<double>::infinity());
    o.trail_stop_activation =
        std::fabs(v[trail_stop_activation] ? number(v[trail_stop_activation], "trail_stop_activation") : 0.0);
    o.position_limit = v[position_limit] ? number(v[position_limit], "position_limit") : 1.0;
    o.touched_exit = v[touched_exit] && flag(v[touched_exit]);
    o.retain_cost_when_rebalance = v[retain_cost_when_rebalance] && flag(v[retain_cost_when_rebalance]);
    o.excursion_window = v[excursion_window] ? count(v[excursion_window], "excursion_window") : 0;
    o.excursion_window_step =
        v[excursion_window_step] ? count(v[excursion_window_step], "excursion_window_step") : 1;
    o.keep_trade_log = true;
    a.periodically_rebalance = !v[periodically_rebalance] || flag(v[periodically_rebalance]);
    a.stop_trading_next_period = !v[stop_trading_next_period] || flag(v[stop_trading_next_period]);

    // Shapes, once: bars x price columns for every price matrix, signal rows x
    // stocks for the weights, and the vectors that go with them.
    const Py_ssize_t bars = a.prices.shape(0), columns = a.prices.shape(1);
    const Py_ssize_t rows = a.weights.shape(0), stocks = a.weights.shape(1);
    const char* price_why = "every price matrix is bars x price columns, like prices";
    require_shape(a.close, "close", 2, {bars, columns}, price_why);
    for (const auto& [buf, name] : {std::pair{&a.high, "high"}, {&a.low, "low"}, {&a.open, "open"}}) {
        if (buf->held()) require_shape(*buf, name, 2, {bars, columns}, price_why);
    }
    if (o.touched_exit && !(a.high.held() && a.low.held() && a.open.held())) {
        fail(PyExc_ValueError, "run: touched_exit needs high, low and open");
    }
    if (bars == 0) fail(PyExc_ValueError, "run: prices has no bars");
    if (rows == 0) fail(PyExc_ValueError, "run: weights has no rows");
    require_shape(a.bar_dates, "bar_dates", 1, {bars}, "one date per bar of prices");
    require_shape(a.weight_dates, "weight_dates", 1, {rows}, "one date per row of weights");
    require_shape(a.stock_columns, "stock_columns", 1, {stocks}, "one price column per column of weights");
    require_indices(vector(a.stock_columns), "stock_columns", columns, "price columns");
    if (a.delisting_bars.held()) {
        require_shape(a.delisting_bars, "delisting_bars", 1, {stocks},
                      "one bar (or -1) per column of weights");
    }
    struct StopArgs {
        Buffer& values;
        Buffer& rows;
        const char* name;
        const char* rows_name;
    };
    for (const StopArgs& stop :
         {StopArgs{a.stop_loss, a.stop_loss_rows, "stop_loss", "stop_loss_rows"},
          StopArgs{a.take_profit, a.take_profit_rows, "take_profit", "take_profit_rows"}}) {
        if (stop.values.held() != stop.rows.held()) {
            fail(PyExc_ValueError,
                 std::string("run: ") + stop.name + " and " + stop.rows_name + " go together");
        }
        if (!stop.values.held()) continue;
        if (stop.values.shape(0) == 0)
            fail(PyExc_ValueError, std::string("run: ") + stop.name + " has no rows");
        require_shape(stop.values, stop.name, 2, {stop.values.shape(0), stocks},
                      "threshold rows x the columns of weights");
        require_shape(stop.rows, stop.rows_name, 1, {bars}, "the threshold row in force on each bar");
        require_indices(vector(stop.rows), stop.rows_name, stop.values.shape(0), "threshold rows");
    }

    kernel::RunInputs& in = a.in;
    in.price_values = matrix(a.prices);
    in.close_values = matrix(a.close);
    if (a.high.held()) in.high_values = matrix(a.high);
    if (a.low.held()) in.low_values = matrix(a.low);
    if (a.open.held()) in.open_values = matrix(a.open);
    in.price_index = vector(a.bar_dates);
    in.pos_values = matrix(a.weights);
    in.pos_index = vector(a.weight_dates);
    const kernel::Vector<int64_t> cols = vector(a.stock_columns);
    in.price_col.resize(static_cast<std::size_t>(stocks));
    for (Py_ssize_t sid = 0; sid < stocks; ++sid) in.price_col[sid] = static_cast<int>(cols[sid]);
    if (a.delisting_bars.held()) {
        in.delisting_bars = vector(a.delisting_bars);
        in.has_delisting_bars = true;
    }
    in.sl_values =
        a.stop_loss.held() ? matrix(a.stop_loss) : kernel::Matrix<double>(&a.no_stop_loss, 1, stocks, 0, 0);
    in.sl_rows =
        a.stop_loss.held() ? vector(a.stop_loss_rows) : kernel::Vector<int64_t>(&a.first_row, bars, 0);
    in.tp_values = a.take_profit.held() ? matrix(a.take_profit)
                                        : kernel::Matrix<double>(&a.no_take_profit, 1, stocks, 0, 0);
    in.tp_rows =
        a.take_profit.held() ? vector(a.take_profit_rows) : kernel::Vector<int64_t>(&a.first_row, bars, 0);
    a.calendar_dates = vector(a.calendar);
    in.rebalance_mask = kernel::rebalance_mask(in.price_index, a.calendar_dates);
}

}  // namespace vantrel::engine
