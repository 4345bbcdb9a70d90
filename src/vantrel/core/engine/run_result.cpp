#include "run_result.hpp"

namespace vantrel::engine {

namespace {

PyStructSequence_Field fields[] = {
    {"values", "portfolio value per bar, 1.0 until the first weight row is visible"},
    {"trades", "the trade log: one structured record per trade record"},
    {"portfolio", "per stock: weight, next_weight, has_weight, has_next_weight, action"},
    {"weight_row", "the weight row the latest rebalance applied (-1: none)"},
    {"next_weight_row", "the weight row in force at the end"},
    {"fills", "one structured record per fill: bar, stock, side, reason, shares, price, value and its costs"},
    {"costs", "costs paid and income received per bar, bars x COST_KINDS, in units of the initial capital"},
    {nullptr, nullptr},
};

PyStructSequence_Desc description = {
    "vantrel.core._engine.RunResult",
    "What one run of the array entry returns, by name.",
    fields,
    7,
};

}  // namespace

PyObject* make_run_result_type() {
    return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&description));
}

Ref run_result(PyObject* type, PyObject* values, PyObject* trades, PyObject* portfolio, int weight_row,
               int next_weight_row, PyObject* fills, PyObject* costs) {
    Ref result = Ref::steal(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type)));
    PyStructSequence_SetItem(result.get(), 0, Py_NewRef(values));
    PyStructSequence_SetItem(result.get(), 1, Py_NewRef(trades));
    PyStructSequence_SetItem(result.get(), 2, Py_NewRef(portfolio));
    PyStructSequence_SetItem(result.get(), 3, check(PyLong_FromLong(weight_row)));
    PyStructSequence_SetItem(result.get(), 4, check(PyLong_FromLong(next_weight_row)));
    PyStructSequence_SetItem(result.get(), 5, Py_NewRef(fills));
    PyStructSequence_SetItem(result.get(), 6, Py_NewRef(costs));
    return result;
}

}  // namespace vantrel::engine
