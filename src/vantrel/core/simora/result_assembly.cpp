// After the last bar: close the analysis session and describe the final
// portfolio (current and next weights, and a pending action per stock).
#include "result_assembly.hpp"

#include "final_portfolio.hpp"
#include "module_state.hpp"

#include <cmath>
#include <map>

namespace vantrel::simora {

namespace {

GlobalName normalize_weight_name("normalize_weight");

Ref py_int(long v) { return Ref::steal(PyLong_FromLong(v)); }
Ref py_float(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
    check_status(PyDict_SetItem(dict, key, value));
}

void set_label(PyObject* actions, int sid, const char* label) {
    Ref key = py_int(sid);
    Ref text = Ref::steal(PyUnicode_InternFromString(label));
    set_item(actions, key.get(), text.get());
}

// Divides every value by `total` when it exceeds 1, else by 1.
void divide_values(PyObject* dict, double total) {
    Ref divisor = py_float(total > 1.0 ? total : 1.0);
    Ref keys = Ref::steal(PyDict_Keys(dict));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        PyObject* value = PyDict_GetItemWithError(dict, key);
        if (value == nullptr) check_pending();
        Ref quotient = Ref::steal(PyNumber_TrueDivide(value, divisor.get()));
        set_item(dict, key, quotient.get());
    }
}

// stock_operations[key] = normalize_weight(stock_operations[key], position_limit),
// with normalize_weight looked up by name at call time.
void normalize_entry(PyObject* operations, const char* key, double position_limit) {
    Ref normalize = global(normalize_weight_name);
    PyObject* weights = PyDict_GetItemString(operations, key);
    Ref limit = py_float(position_limit);
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(normalize.get(), weights, limit.get(), nullptr));
    check_status(PyDict_SetItemString(operations, key, result.get()));
}

bool value_is_nonzero(PyObject* value) {
    Ref zero = py_int(0);
    return check_status(PyObject_RichCompareBool(value, zero.get(), Py_NE)) != 0;
}

}  // namespace

void assemble_result(const binding::BacktestArgs& a, kernel::RunState& s) {
    using kernel::id_of;
    using kernel::is_take_profit;
    ModuleState& ms = state();
    // The session's interface takes an ordered map.
    std::map<int, double> positions;
    for (const auto& [sid, value] : s.positions) positions.emplace_hint(positions.end(), sid, value);
    Ref ended = Ref::steal(ms.exvalo.end_analysis(positions));

    Ref actions = Ref::steal(PyDict_New());
    Ref weights = Ref::steal(PyDict_New());
    Ref next_weights = Ref::steal(PyDict_New());
    Ref operations = Ref::steal(PyDict_New());
    check_status(PyDict_SetItemString(operations.get(), "actions", actions.get()));
    check_status(PyDict_SetItemString(operations.get(), "weights", weights.get()));
    check_status(PyDict_SetItemString(operations.get(), "next_weights", next_weights.get()));
    Py_XSETREF(ms.stock_operations, operations.new_ref());

    // Weights of the holdings the latest rebalance established.
    double weight_total = 0.0;
    for (const auto& [sid, value] : s.rebalance_positions) {
        const double w = a.in.pos_values(s.applied_pos_row, sid);
        Ref key = py_int(sid);
        if (s.positions.count(sid) != 0) {
            set_item(weights.get(), key.get(), py_float(w).get());
        } else {
            set_item(weights.get(), key.get(), py_int(0).get());
        }
        weight_total += std::fabs(w);
    }
    divide_values(weights.get(), weight_total);

    // Weights of the next position row, without stocks whose stop is pending.
    const bool use_last = s.pos_row == s.applied_pos_row;
    std::vector<double> row;
    if (!use_last) row = a.in.pos_values.row(s.pos_row);
    const std::vector<double>& next_row = use_last ? s.last_weights : row;
    double next_weight_total = 0.0;
    for (int sid = 0; sid < static_cast<int>(next_row.size()); ++sid) {
        const double w = next_row[sid];
        const kernel::PendingStop stop =
            truthy(a.stop_trading_next_period) ? kernel::pending_stop(s, sid) : kernel::PendingStop{};
        if (!(stop.exited && s.rebalance_pending)) next_weight_total += std::fabs(w);
        if (stop.matched) continue;
        if (w != 0.0) set_item(next_weights.get(), py_int(sid).get(), py_float(w).get());
    }

    check_status(PyDict_SetItemString(operations.get(), "weight_time", py_int(s.applied_pos_row).get()));
    check_status(PyDict_SetItemString(operations.get(), "next_weight_time", py_int(s.pos_row).get()));
    divide_values(next_weights.get(), next_weight_total);
    normalize_entry(operations.get(), "weights", a.in.options.position_limit);
    normalize_entry(operations.get(), "next_weights", a.in.options.position_limit);

    // Actions of a rebalance still pending after the last bar.
    if (s.rebalance_pending) {
        const Py_ssize_t n = a.in.pos_values.cols();
        for (int sid = 0; sid < n; ++sid) {
            const double w = a.in.pos_values(s.pos_row, sid);
            auto held = s.positions.find(sid);
            const double cur = held != s.positions.end() ? held->value : 0.0;
            if (cur == 0.0 && w != 0.0) {
                set_label(actions.get(), sid, "enter");
            } else if (cur != 0.0 && w == 0.0) {
                set_label(actions.get(), sid, "exit");
            } else if (cur != 0.0 && w != 0.0) {
                set_label(actions.get(), sid, "hold");
            }
        }
    }

    // Stop exits queued for the bar after the last one.
    for (const int32_t e : s.due_exits) {
        const bool take_profit = is_take_profit(e);
        const int key = id_of(e);
        if (truthy(a.stop_trading_next_period) || s.date > a.in.pos_index[s.pos_row]) {
            set_label(actions.get(), key, take_profit ? "tp" : "sl");
        } else {
            PyObject* next = PyDict_GetItemString(operations.get(), "next_weights");
            Ref k = py_int(key);
            PyObject* value = next ? PyObject_GetItem(next, k.get()) : nullptr;
            if (value == nullptr) {
                if (next != nullptr && !PyErr_ExceptionMatches(PyExc_KeyError)) throw PyErrorSet{};
                PyErr_Clear();
                continue;
            }
            Ref held = Ref::steal(value);
            if (value_is_nonzero(held.get())) {
                set_label(actions.get(), key, take_profit ? "tp_enter" : "sl_enter");
            }
        }
    }

    // Stops since the latest rebalance.
    for (const int32_t e : s.stopped_stocks) {
        const int key = id_of(e);
        bool write = truthy(a.stop_trading_next_period);
        if (!write) {
            Ref k = py_int(key);
            write = check_status(PyDict_Contains(actions.get(), k.get())) == 0;
        }
        if (write) set_label(actions.get(), key, is_take_profit(e) ? "tp_" : "sl_");
    }
}

}  // namespace vantrel::simora
