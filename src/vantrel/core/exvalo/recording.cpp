#include "recording.hpp"

#include "array_view.hpp"
#include "excursion_statistics.hpp"
#include "session_state.hpp"
#include "stock_arrays.hpp"

#include <climits>
#include <new>
#include <stdexcept>
#include <utility>

namespace vantrel::exvalo {

namespace {

// Runs `body`, turning every failure into a pending Python error: nothing
// thrown may cross the function pointers the engine calls through.
template <class Body>
void guarded(Body&& body) noexcept {
    try {
        body();
    } catch (const PyErrorSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    }
}

// None (or no object at all) stands for a matrix not given; anything else
// must be a 2-D float64 array.
PyObject* checked_matrix(PyArrayObject* argument, const char* name, Buffer& view) {
    PyObject* matrix = reinterpret_cast<PyObject*>(argument);
    if (matrix == nullptr || matrix == Py_None) return Py_None;
    if (!PyArray_Check(matrix)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected numpy.ndarray, got %.200s)", name,
                     Py_TYPE(matrix)->tp_name);
        throw PyErrorSet{};
    }
    view.acquire(matrix, 2, Elem::f64);
    return matrix;
}

GlobalName trades_name("trades");
GlobalName trade_positions_name("trade_positions");
GlobalName exvalo_name("exvalo");
GlobalName numpy_name("org_np");

void clear_list(GlobalName& name) {
    Ref list = module_global(name);
    Ref ignored = Ref::steal(PyObject_CallMethod(list.get(), "clear", nullptr));
}

// org_np.zeros(n, dtype=dtype), required to be an array.
PyObject* zeros(int n, PyTypeObject* dtype) {
    Ref np = module_global(numpy_name);
    Ref fn = Ref::steal(PyObject_GetAttrString(np.get(), "zeros"));
    Ref args = Ref::steal(Py_BuildValue("(i)", n));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "dtype", reinterpret_cast<PyObject*>(dtype)));
    Ref array = Ref::steal(PyObject_Call(fn.get(), args.get(), kwargs.get()));
    if (!PyArray_Check(array.get())) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(array.get())->tp_name,
                     PyArray_Type.tp_name);
        throw PyErrorSet{};
    }
    return array.release();
}

int as_int(const Ref& value) {
    Ref index = Ref::steal(PyNumber_Index(value.get()));
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1) check_pending();
    if (v < INT_MIN || v > INT_MAX) raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int>(v);
}

// The statistics of the trade of `sid` as entered, up to the current bar.
// Integer element of a per-stock array, as the analysis takes it.
int stock_int(PyArrayObject* a, int sid) {
    int64_t v = 0;
    if (!read_stock_value(a, sid, NPY_INT64, v)) return as_int(stock_item(a, sid, NPY_INT64));
    if (v < INT_MIN || v > INT_MAX) raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int>(v);
}

// Whether the entry weight is > 0 (NaN and 0 are not), as a boolean object.
Ref entry_is_long(int sid) {
    double weight = 0.0;
    if (read_stock_value(session.position, sid, NPY_DOUBLE, weight)) {
        return Ref::borrow(weight > 0.0 ? Py_True : Py_False);
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref position = stock_item(session.position, sid, NPY_DOUBLE);
    return Ref::steal(PyObject_RichCompare(position.get(), zero.get(), Py_GT));
}

Ref analyse_trade(int sid, int full_exit) {
    const int exit_bar = session.current_bar;
    const int entry_bar = stock_int(session.entry, sid);
    Ref is_long = entry_is_long(sid);
    const int full_entry = stock_int(session.entry_flags, sid);
    return exvalo_analysis(sid, entry_bar, exit_bar, is_long.get(), full_entry, full_exit);
}

// Appends the record of one trade to the three lists; `exit_bar` is -1 for
// a trade still open.
void record_trade(int sid, long exit_bar, int full_exit) {
    Ref trades = module_global(trades_name);
    Ref trade = Ref::steal(PyList_New(3));
    PyList_SET_ITEM(trade.get(), 0, check(PyLong_FromLong(sid)));
    PyList_SET_ITEM(trade.get(), 1, stock_item(session.entry, sid, NPY_INT64).release());
    PyList_SET_ITEM(trade.get(), 2, check(PyLong_FromLong(exit_bar)));
    append(trades.get(), trade.get());

    Ref trade_positions = module_global(trade_positions_name);
    append(trade_positions.get(), stock_item(session.position, sid, NPY_DOUBLE).get());

    Ref statistics = module_global(exvalo_name);
    append(statistics.get(), analyse_trade(sid, full_exit).get());
}

}  // namespace

void start_analysis(PyArrayObject* trade_prices, PyArrayObject* close_prices, std::map<int, int> column_map,
                    int n_columns, double fee_ratio, double tax_ratio, int window, int window_step) noexcept {
    guarded([&] {
        Buffer trade_view, close_view;
        PyObject* trade = checked_matrix(trade_prices, "trade_prices", trade_view);
        PyObject* close = checked_matrix(close_prices, "close_prices", close_view);

        rebind(session.trade_prices, Py_NewRef(trade));
        rebind(session.close_prices, Py_NewRef(close));
        session.column_map = std::move(column_map);
        session.window = window;
        session.window_step = window_step;
        clear_list(trades_name);
        clear_list(trade_positions_name);
        clear_list(exvalo_name);
        rebind(session.entry, zeros(n_columns, &PyLong_Type));
        rebind(session.position, zeros(n_columns, &PyFloat_Type));
        rebind(session.entry_flags, zeros(n_columns, &PyLong_Type));
        session.fee_ratio = fee_ratio;
        session.tax_ratio = tax_ratio;
    });
}

void record_date(int bar) noexcept { session.current_bar = bar; }

void record_entry(int sid, double weight, int full_entry) noexcept {
    guarded([&] {
        set_stock_int(session.entry, sid, session.current_bar);
        set_stock_double(session.position, sid, weight);
        set_stock_int(session.entry_flags, sid, full_entry);
    });
}

void record_exit(int sid, int full_exit) noexcept {
    guarded([&] { record_trade(sid, session.current_bar, full_exit); });
}

PyObject* end_analysis(std::map<int, double>& positions) noexcept {
    bool failed = true;
    guarded([&] {
        for (const auto& [sid, value] : positions) {
            if (value == 0) continue;  // NaN is a holding too
            record_trade(sid, -1, 0);
        }
        failed = false;
    });
    return failed ? nullptr : Py_NewRef(Py_None);
}

}  // namespace vantrel::exvalo
