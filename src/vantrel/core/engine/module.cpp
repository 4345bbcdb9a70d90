// vantrel.core._engine: the package's own entry to the backtest kernel. It
// keeps no run state, so any number of threads may run backtests at once;
// each run releases the interpreter for its bar loop.
// This translation unit owns the module's NumPy API table.
#undef NO_IMPORT_ARRAY
#include "batch_entry.hpp"
#include "outputs.hpp"
#include "run_entry.hpp"
#include "run_result.hpp"

#include <numpy/ndarrayobject.h>

namespace vantrel::engine {

namespace {

PyMethodDef function_defs[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_VARARGS | METH_KEYWORDS,
     "run(*, prices, close, bar_dates, weights, weight_dates, stock_columns, calendar, high=None, low=None, "
     "open=None, fee_ratio=0.0, tax_ratio=0.0, stop_loss=None, stop_loss_rows=None, take_profit=None, "
     "take_profit_rows=None, trail_stop=inf, trail_stop_activation=0.0, touched_exit=False, "
     "position_limit=1.0, retain_cost_when_rebalance=False, stop_trading_next_period=True, "
     "excursion_window=0, excursion_window_step=1, periodically_rebalance=True, delisting_bars=None, "
     "capital=None, lot_size=1.0, min_fee=0.0, slippage=0.0, impact=0.0, participation=None, "
     "price_limit=None, "
     "volume=None, cash_rate=0.0, borrow_rate=0.0, leverage=1.0, margin_rate=0.0, dividend_bars=None, "
     "dividend_columns=None, dividend_amounts=None, split_bars=None, split_columns=None, "
     "split_ratios=None)\n--\n\n"
     "Run one backtest on arrays, with the interpreter released for the bar loop. Prices are bars x price "
     "columns (float64), weights signal rows x stocks; stock_columns gives each stock's price column; "
     "dates are epoch nanoseconds (int64). A stop is a table of threshold rows x stocks with, per bar, the "
     "row in force. Shapes and dtypes are checked; values are taken as the package checked them, but for "
     "the execution options, whose values are checked too. Returns a RunResult."},
    {"run_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_batch)),
     METH_VARARGS | METH_KEYWORDS,
     "run_batch(shared, variants, *, threads=None)\n--\n\n"
     "Run many backtests in one call: each variant is the keyword arguments of run() in `shared` with its "
     "own dict of arguments on top (any argument may be overridden). Every variant is read and checked "
     "first, with stop levels, costs and the position limit checked as values too; the runs then share "
     "a pool of `threads` native threads (default: one per core) with the interpreter released, and no "
     "state. Returns a list in the order of `variants`: each variant's RunResult, or the exception it "
     "raised (a refused or failed variant does not stop the others)."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    try {
        if (PyArray_ImportNumPyAPI() < 0) throw PyErrorSet{};
        EngineState& es = engine_state();
        if (es.run_result_type == nullptr) es.run_result_type = check(make_run_result_type());
        check_status(PyModule_AddObjectRef(module, "RunResult", es.run_result_type));
        check_status(PyModule_AddObjectRef(module, "EXIT_REASONS", exit_reason_names().get()));
        check_status(PyModule_AddObjectRef(module, "ACTIONS", action_names().get()));
        check_status(PyModule_AddObjectRef(module, "FILL_REASONS", fill_reason_names().get()));
        check_status(PyModule_AddObjectRef(module, "COST_KINDS", cost_kind_names().get()));
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
