#include "queries.hpp"

#include "argument_binding.hpp"
#include "array_view.hpp"
#include "module_state.hpp"

#include "numpy_api.hpp"

namespace vantrel::simora {

using binding::bind_arguments;
using binding::raise_argument_type;

namespace {

GlobalName exvalo_name("exvalo");
GlobalName datetime_name("datetime");

// An optional typed view of a query argument: a NumPy array or None.
struct OptionalView {
    Buffer buffer;
    bool present = false;
};

void view_argument(PyObject* o, const char* name, Elem elem, OptionalView& out) {
    if (o == Py_None) return;
    if (!PyArray_Check(o)) raise_argument_type(name, "numpy.ndarray", o);
    out.buffer.acquire(o, 1, elem);
    out.present = true;
}

[[noreturn]] void raise_none_subscript() { raise(PyExc_TypeError, "'NoneType' object is not subscriptable"); }

Py_ssize_t item_as_index(PyObject* trade, Py_ssize_t i) {
    Ref item = Ref::steal(PySequence_GetItem(trade, i));
    const Py_ssize_t v = PyNumber_AsSsize_t(item.get(), PyExc_OverflowError);
    if (v == -1) check_pending();
    return v;
}

PyObject* build_record(const OptionalView& columns, const OptionalView& index, bool touched_exit,
                       PyObject* trade, PyObject* position) {
    const Py_ssize_t sid = item_as_index(trade, 0);
    const Py_ssize_t entry_bar = item_as_index(trade, 1);
    const Py_ssize_t exit_bar = item_as_index(trade, 2);
    auto timestamp = [&](Py_ssize_t bar) -> PyObject* {
        if (!index.present) raise_none_subscript();
        return check(PyLong_FromLongLong(View1<int64_t>(index.buffer)[bar]));
    };
    const bool open = exit_bar == -1;

    Ref record = Ref::steal(PyList_New(9));
    if (!columns.present) raise_none_subscript();
    PyObject* name = View1<PyObject*>(columns.buffer)[sid];
    PyList_SET_ITEM(record.get(), 0, Py_NewRef(name ? name : Py_None));
    PyList_SET_ITEM(record.get(), 1, timestamp(entry_bar));
    PyList_SET_ITEM(record.get(), 2, open ? check(PyLong_FromLong(-1)) : timestamp(exit_bar));
    PyList_SET_ITEM(record.get(), 3, timestamp(entry_bar - 1));
    PyList_SET_ITEM(record.get(), 4,
                    open ? check(PyLong_FromLong(-1)) : timestamp(touched_exit ? exit_bar : exit_bar - 1));
    PyList_SET_ITEM(record.get(), 5, Py_NewRef(position));
    Py_ssize_t period = 0;
    if (open) {
        if (!index.present) raise_none_subscript();
        period = View1<int64_t>(index.buffer).size() - entry_bar;
    } else {
        period = exit_bar - entry_bar;
    }
    PyList_SET_ITEM(record.get(), 6, check(PyLong_FromSsize_t(period)));
    PyList_SET_ITEM(record.get(), 7, check(PyLong_FromSsize_t(entry_bar)));
    PyList_SET_ITEM(record.get(), 8, check(PyLong_FromSsize_t(exit_bar)));
    return record.release();
}

}  // namespace

PyObject* get_trade_stocks(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"pos_columns", "price_index", "touched_exit"};
    try {
        PyObject* v[3];
        bind_arguments("get_trade_stocks", args, kwargs, names, 3, 3, v);
        const bool touched_exit = truthy(v[2]);
        OptionalView columns, index;
        view_argument(v[0], "pos_columns", Elem::object, columns);
        view_argument(v[1], "price_index", Elem::i64, index);

        Ref exvalo = global(exvalo_name);
        Ref trades = Ref::steal(PyObject_GetAttrString(exvalo.get(), "trades"));
        Ref positions = Ref::steal(PyObject_GetAttrString(exvalo.get(), "trade_positions"));
        Ref records = Ref::steal(PyList_New(0));
        Ref it = Ref::steal(PyObject_GetIter(trades.get()));
        Py_ssize_t i = 0;
        while (Ref trade = Ref::steal_or_null(PyIter_Next(it.get()))) {
            Ref position = Ref::steal(PySequence_GetItem(positions.get(), i));
            Ref record = Ref::steal(build_record(columns, index, touched_exit, trade.get(), position.get()));
            check_status(PyList_Append(records.get(), record.get()));
            ++i;
        }
        check_pending();
        PyObject* operations = state().stock_operations;
        return Py_BuildValue("(OO)", records.get(), operations);
    } catch (const PyErrorSet&) {
        return nullptr;
    }
}

PyObject* get_stock_operations(PyObject*, PyObject*) { return PyDict_Copy(state().stock_operations); }

PyObject* ioft(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"v"};
    try {
        PyObject* v[1];
        bind_arguments("ioft", args, kwargs, names, 1, 1, v);
        Ref seconds;
        if (PyFloat_CheckExact(v[0])) {
            seconds = Ref::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(v[0]) / 1e9));
        } else if (PyLong_CheckExact(v[0])) {
            const double ns = PyLong_AsDouble(v[0]);
            if (ns == -1.0) check_pending();
            seconds = Ref::steal(PyFloat_FromDouble(ns / 1e9));
        } else {
            Ref divisor = Ref::steal(PyFloat_FromDouble(1e9));
            seconds = Ref::steal(PyNumber_TrueDivide(v[0], divisor.get()));
        }
        Ref module = global(datetime_name);
        Ref type = Ref::steal(PyObject_GetAttrString(module.get(), "datetime"));
        return PyObject_CallMethod(type.get(), "fromtimestamp", "O", seconds.get());
    } catch (const PyErrorSet&) {
        return nullptr;
    }
}

}  // namespace vantrel::simora
