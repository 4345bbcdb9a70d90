// vantrel.core.simora: module frame. Binds the excursion analysis' native
// interface and builds the namespace in a fixed order at import.
// This translation unit owns the module's NumPy API table.
#undef NO_IMPORT_ARRAY
#include "backtest.hpp"
#include "module_guard.hpp"
#include "module_state.hpp"
#include "normalize_weight.hpp"
#include "numpy_api.hpp"
#include "queries.hpp"

namespace vantrel::simora {

namespace {

ModuleGuard guard("simora");

template <class Fn>
PyCFunction as_cfunction(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef function_defs[] = {
    {"get_stock_operations", as_cfunction(get_stock_operations), METH_NOARGS,
     "get_stock_operations()\n--\n\nA shallow copy of the latest run's final-portfolio "
     "description: actions, weights, next_weights, weight_time, next_weight_time."},
    {"normalize_weight", as_cfunction(normalize_weight), METH_VARARGS | METH_KEYWORDS,
     "normalize_weight(weights, position_limit)\n--\n\nScale a dict of weights down to a total "
     "absolute weight of at most 1 and clip each to +/-position_limit, in place; returns it."},
    {"ioft", as_cfunction(ioft), METH_VARARGS | METH_KEYWORDS,
     "ioft(v)\n--\n\nThe naive local datetime of a nanosecond epoch timestamp."},
    {"backtest_", as_cfunction(backtest), METH_VARARGS | METH_KEYWORDS,
     "backtest_(price_values, close_values, high_values, low_values, open_values, price_index, "
     "price_columns, pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, "
     "tax_ratio=0.003, stop_loss=1.0, take_profit=inf, trail_stop=inf, "
     "trail_stop_activation=0.0, touched_exit=False, position_limit=1.0, "
     "retain_cost_when_rebalance=False, stop_trading_next_period=True, exvalo_window=0, "
     "exvalo_window_step=1, periodically_rebalance=True, delisting_bars=None)\n--\n\n"
     "Run one backtest and return the portfolio value of every bar (starting from 1.0 in cash)."},
    {"get_trade_stocks", as_cfunction(get_trade_stocks), METH_VARARGS | METH_KEYWORDS,
     "get_trade_stocks(pos_columns, price_index, touched_exit)\n--\n\nThe latest run's trade "
     "records with dates, and the final-portfolio description."},
};

void set_global(PyObject* module, const char* name, PyObject* value) {
    check_status(PyModule_AddObjectRef(module, name, value));
}

// `from <module> import <name>`: a missing name is an ImportError.
Ref import_from(PyObject* module, const char* name) {
    PyObject* value = PyObject_GetAttrString(module, name);
    if (value != nullptr) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
    PyErr_Clear();
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    PyObject* file = PyModule_GetFilenameObject(module);
    if (file == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U' (unknown location)", name,
                     module_name.get());
    } else {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U' (%U)", name, module_name.get(),
                     file);
        Py_DECREF(file);
    }
    throw PyErrorSet{};
}

void build_namespace(PyObject* module) {
    ModuleState& ms = state();
    ms.module = module;
    ms.globals = PyModule_GetDict(module);
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    ms.builtins = PyModule_GetDict(builtins.get());

    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    set_global(module, "org_np", numpy.get());
    Ref exvalo = Ref::steal(PyImport_ImportModule("vantrel.core.exvalo"));
    set_global(module, "exvalo", exvalo.get());
    {
        // One import statement binds both names.
        Ref stops = Ref::steal(PyImport_ImportModule("vantrel._stops"));
        Ref table_class = import_from(stops.get(), "StopTable");
        Ref builder = import_from(stops.get(), "stop_table");
        set_global(module, "StopTable", table_class.get());
        set_global(module, "stop_table", builder.get());
    }
    Ref datetime = Ref::steal(PyImport_ImportModule("datetime"));
    set_global(module, "datetime", datetime.get());
    set_global(module, "RETAIN_COST_WHEN_REBALANCE", Py_False);
    set_global(module, "RESAMPLE", Py_None);
    Py_XSETREF(ms.stock_operations, check(PyDict_New()));

    // backtest_ defaults are fixed now: later rebinding of numpy.inf changes nothing.
    Ref inf = Ref::steal(PyObject_GetAttrString(numpy.get(), "inf"));
    const double inf_value = PyFloat_AsDouble(inf.get());
    if (inf_value == -1.0) check_pending();
    Py_XSETREF(ms.default_stop_loss, check(PyFloat_FromDouble(1.0)));
    Py_XSETREF(ms.default_take_profit, inf.new_ref());
    ms.default_trail_stop = inf_value;

    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    for (PyMethodDef& def : function_defs) {
        Ref fn = Ref::steal(PyCFunction_NewEx(&def, module, module_name.get()));
        set_global(module, def.ml_name, fn.get());
    }
}

int exec_module(PyObject* module) {
    const int begin = guard.begin_exec(module);
    if (begin <= 0) return begin;
    try {
        if (PyArray_ImportNumPyAPI() < 0) throw PyErrorSet{};
        check_status(exvalo_api::bind(state().exvalo));
        build_namespace(module);
        return 0;
    } catch (const PyErrorSet&) {
        guard.abandon();
        return -1;
    }
}

PyObject* create_module(PyObject* module_spec, PyModuleDef*) { return guard.create(module_spec); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // Run state and results are process-wide: one run at a time, under the GIL.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "simora",
    "The backtest engine: backtest_ and the queries over its latest run.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vantrel::simora

PyMODINIT_FUNC PyInit_simora() { return PyModuleDef_Init(&vantrel::simora::module_def); }
