// vantrel.core._engine: the package's own entry to the backtest kernel. It
// keeps no run state, so any number of threads may run backtests at once;
// each run releases the interpreter for its bar loop.
// This translation unit owns the module's NumPy API table.
#undef NO_IMPORT_ARRAY
#include "outputs.hpp"
#include "run_entry.hpp"

#include <cmath>
#include <limits>

#include <numpy/ndarrayobject.h>

namespace vantrel::engine {

namespace {

PyMethodDef function_defs[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_VARARGS | METH_KEYWORDS,
     "run(price_values, close_values, high_values, low_values, open_values, price_index, "
     "price_columns, pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, "
     "tax_ratio=0.003, stop_loss=1.0, take_profit=inf, trail_stop=inf, "
     "trail_stop_activation=0.0, touched_exit=False, position_limit=1.0, "
     "retain_cost_when_rebalance=False, stop_trading_next_period=True, exvalo_window=0, "
     "exvalo_window_step=1, periodically_rebalance=True, delisting_bars=None)\n--\n\n"
     "Run one backtest with backtest_'s arguments and defaults, without module state and "
     "with the interpreter released for the bar loop. Returns a dict: 'values' (the value "
     "series, as backtest_ returns it), 'trades' (the trade log, a structured array), "
     "'portfolio' (one record per stock: weight, next_weight, has_weight, has_next_weight, "
     "action), 'weight_row' and 'next_weight_row'."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    try {
        if (PyArray_ImportNumPyAPI() < 0) throw PyErrorSet{};
        EngineState& es = engine_state();
        Ref stops = Ref::steal(PyImport_ImportModule("vantrel._stops"));
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        Py_XSETREF(es.stops_globals, Py_NewRef(check(PyModule_GetDict(stops.get()))));
        es.builtins = check(PyModule_GetDict(builtins.get()));
        Py_XSETREF(es.default_stop_loss, check(PyFloat_FromDouble(1.0)));
        const double inf = std::numeric_limits<double>::infinity();
        Py_XSETREF(es.default_take_profit, check(PyFloat_FromDouble(inf)));
        es.default_trail_stop = inf;
        check_status(PyModule_AddObjectRef(module, "EXIT_REASONS", exit_reason_names().get()));
        check_status(PyModule_AddObjectRef(module, "ACTIONS", action_names().get()));
        return 0;
    } catch (const PyErrorSet&) {
        return -1;
    }
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "The package's GIL-free entry to the backtest kernel: arrays in, arrays out.",
    0,
    function_defs,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vantrel::engine

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&vantrel::engine::module_def); }
