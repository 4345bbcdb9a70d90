#include "session_state.hpp"

namespace vantrel::exvalo {

Session session;

namespace {

// Globals of the module and the builtins behind them, owned for the life of
// the process.
PyObject* module_globals = nullptr;
PyObject* builtins = nullptr;

PyObject* empty_array(int ndim, int type) {
    npy_intp dims[2] = {0, 0};
    return check(PyArray_EMPTY(ndim, dims, type, 0));
}

}  // namespace

void init_session(PyObject* module) {
    PyObject* globals = check(PyModule_GetDict(module));
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    Ref trade_prices = Ref::steal(empty_array(2, NPY_DOUBLE));
    Ref close_prices = Ref::steal(empty_array(2, NPY_DOUBLE));
    Ref entry = Ref::steal(empty_array(1, NPY_INTP));
    Ref position = Ref::steal(empty_array(1, NPY_DOUBLE));
    Ref entry_flags = Ref::steal(empty_array(1, NPY_INTP));

    rebind(module_globals, Py_NewRef(globals));
    rebind(builtins, Py_NewRef(check(PyModule_GetDict(builtins_module.get()))));
    rebind(session.trade_prices, trade_prices.release());
    rebind(session.close_prices, close_prices.release());
    session.column_map.clear();
    session.fee_ratio = 0.0;
    session.tax_ratio = 0.0;
    session.window = 0;
    session.window_step = 0;
    session.current_bar = 0;
    rebind(session.entry, entry.release());
    rebind(session.position, position.release());
    rebind(session.entry_flags, entry_flags.release());
}

Ref module_global(GlobalName& name) { return lookup_global(module_globals, builtins, name); }

void append(PyObject* target, PyObject* item) {
    if (PyList_CheckExact(target)) {
        check_status(PyList_Append(target, item));
        return;
    }
    Ref name = Ref::steal(PyUnicode_FromString("append"));
    Ref ignored = Ref::steal(PyObject_CallMethodOneArg(target, name.get(), item));
}

}  // namespace vantrel::exvalo
