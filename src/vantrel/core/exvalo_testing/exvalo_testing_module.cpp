// vantrel.core._exvalo_testing: binds the native interface of
// vantrel.core.exvalo at import, exactly as the engine does, and wraps each
// native function for Python so that tests can drive an analysis session.
#include "exvalo_binding.hpp"
#include "pyref.hpp"

#include <climits>
#include <map>

namespace {

using vantrel::check;
using vantrel::check_pending;
using vantrel::PyErrorSet;
using vantrel::Ref;

vantrel::exvalo_api::Binding exvalo;

int to_int(PyObject* obj) {
    const long v = PyLong_AsLong(obj);
    if (v == -1) check_pending();
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        throw PyErrorSet{};
    }
    return static_cast<int>(v);
}

double to_double(PyObject* obj) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0) check_pending();
    return v;
}

template <class Value, class Convert>
std::map<int, Value> to_map(PyObject* dict, Convert convert) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "expected a dict");
        throw PyErrorSet{};
    }
    std::map<int, Value> out;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) out[to_int(key)] = convert(value);
    return out;
}

// None after a void native call, or the error it left.
PyObject* outcome() {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const PyErrorSet&) {
        return nullptr;
    }
}

PyObject* start_analysis(PyObject*, PyObject* args) {
    PyObject *trade_prices, *close_prices, *column_map;
    int n_columns, window, window_step;
    double fee_ratio, tax_ratio;
    if (!PyArg_ParseTuple(args, "OOOiddii:start_analysis", &trade_prices, &close_prices, &column_map,
                          &n_columns, &fee_ratio, &tax_ratio, &window, &window_step)) {
        return nullptr;
    }
    return guarded([&] {
        std::map<int, int> columns = to_map<int>(column_map, to_int);
        exvalo.start_analysis(reinterpret_cast<PyArrayObject*>(trade_prices),
                              reinterpret_cast<PyArrayObject*>(close_prices), columns, n_columns, fee_ratio,
                              tax_ratio, window, window_step);
        return outcome();
    });
}

PyObject* record_date(PyObject*, PyObject* args) {
    int bar;
    if (!PyArg_ParseTuple(args, "i:record_date", &bar)) return nullptr;
    exvalo.record_date(bar);
    return outcome();
}

PyObject* record_entry(PyObject*, PyObject* args) {
    int sid, full_entry;
    double weight;
    if (!PyArg_ParseTuple(args, "idi:record_entry", &sid, &weight, &full_entry)) return nullptr;
    exvalo.record_entry(sid, weight, full_entry);
    return outcome();
}

PyObject* record_exit(PyObject*, PyObject* args) {
    int sid, full_exit;
    if (!PyArg_ParseTuple(args, "ii:record_exit", &sid, &full_exit)) return nullptr;
    exvalo.record_exit(sid, full_exit);
    return outcome();
}

PyObject* end_analysis(PyObject*, PyObject* positions) {
    return guarded([&] {
        std::map<int, double> held = to_map<double>(positions, to_double);
        return exvalo.end_analysis(held);
    });
}

PyObject* current_array(PyArrayObject** variable) {
    PyObject* array = reinterpret_cast<PyObject*>(*variable);
    return Py_NewRef(array != nullptr ? array : Py_None);
}

PyObject* entry(PyObject*, PyObject*) { return current_array(exvalo.entry); }
PyObject* position(PyObject*, PyObject*) { return current_array(exvalo.position); }

PyMethodDef methods[] = {
    {"start_analysis", start_analysis, METH_VARARGS,
     "start_analysis(trade_prices, close_prices, column_map, n_columns, fee_ratio, tax_ratio, "
     "window, window_step)\n--\n\nOpen a session; column_map is a dict of int to int."},
    {"record_date", record_date, METH_VARARGS, "record_date(bar)\n--\n\nSet the current bar."},
    {"record_entry", record_entry, METH_VARARGS,
     "record_entry(sid, weight, full_entry)\n--\n\nRecord an entry at the current bar."},
    {"record_exit", record_exit, METH_VARARGS,
     "record_exit(sid, full_exit)\n--\n\nRecord an exit at the current bar."},
    {"end_analysis", end_analysis, METH_O,
     "end_analysis(positions)\n--\n\nRecord the trades still open; positions is a dict of int "
     "to float."},
    {"entry", entry, METH_NOARGS, "entry()\n--\n\nThe entry-bar array exvalo publishes now."},
    {"position", position, METH_NOARGS, "position()\n--\n\nThe entry-weight array exvalo publishes now."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) { return vantrel::exvalo_api::bind(exvalo); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_exvalo_testing",
    "Test support: the native interface of vantrel.core.exvalo, bound as a consumer binds it.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__exvalo_testing() { return PyModuleDef_Init(&module_def); }
