// backtest_: run setup and the bar loop.
#include "backtest.hpp"

#include "backtest_arguments.hpp"
#include "bar_phases.hpp"
#include "column_mapping.hpp"
#include "module_state.hpp"
#include "stop_thresholds.hpp"

#include <cmath>

#include "numpy_api.hpp"

namespace vantrel::simora {

namespace {

void write_setting(const char* name, bool value) {
    check_status(PyDict_SetItemString(state().globals, name, value ? Py_True : Py_False));
}

// The first row of a matrix must exist: the working arrays are sized from it.
void require_first_row(const View2<double>& m) {
    if (m.rows() == 0) raise(PyExc_IndexError, "index 0 is out of bounds for axis 0 with size 0");
}

void bind_stop_table(const Ref& table, Buffer& values_buf, View2<double>& values,
                     Buffer& rows_buf, View1<int64_t>& rows) {
    Ref values_obj = Ref::steal(PyObject_GetAttrString(table.get(), "values"));
    values_buf.acquire(values_obj.get(), 2, Elem::f64);
    values = View2<double>(values_buf);
    Ref rows_obj = Ref::steal(PyObject_GetAttrString(table.get(), "rows"));
    rows_buf.acquire(rows_obj.get(), 1, Elem::i64);
    rows = View1<int64_t>(rows_buf);
}

// Each calendar timestamp marks the last bar dated at or before it; the scan
// never moves backwards.
void build_rebalance_mask(const BacktestArgs& a, RunState& s, Py_ssize_t n_bars) {
    s.rebalance_mask.assign(static_cast<size_t>(n_bars), 0);
    if (n_bars == 0) return;  // no bar to mark
    Py_ssize_t j = 0;
    const Py_ssize_t n = a.resample.size();
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int64_t d = a.resample[i];
        while (j + 1 < n_bars && a.price_index[j + 1] <= d) ++j;
        s.rebalance_mask[j] = 1;
    }
}

void setup(PyObject* args, PyObject* kwargs, BacktestArgs& a, RunState& s) {
    convert_arguments(args, kwargs, a);
    write_setting("RETAIN_COST_WHEN_REBALANCE", a.retain_cost_when_rebalance);
    write_setting("RESAMPLE", a.periodically_rebalance);
    s.cash = 1.0;
    s.column_map = map_columns(a.price_columns_obj, a.pos_columns_obj);
    s.price_col.assign(static_cast<size_t>(a.pos_columns.size()), 0);
    for (const auto& [sid, col] : s.column_map) s.price_col[sid] = col;

    const Py_ssize_t n_bars = a.price_index.size();
    npy_intp length = n_bars;
    s.value_series = Ref::steal(PyArray_EMPTY(1, &length, NPY_FLOAT64, 0));
    s.values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(s.value_series.get())));
    require_first_row(a.pos_values);
    s.cum_return.assign(static_cast<size_t>(a.pos_values.cols()), 1.0);
    s.max_cum_return = s.cum_return;
    s.min_cum_return = s.cum_return;
    require_first_row(a.price_values);
    s.rebalance_prices.assign(static_cast<size_t>(a.price_values.cols()), 1.0);

    if (a.has_delisting_bars) {
        for (Py_ssize_t i = 0; i < a.delisting_bars.size() && !s.has_delisting; ++i) {
            s.has_delisting = a.delisting_bars[i] >= 0;
        }
    }
    if (a.pos_values.cols() != a.pos_columns.size()) {
        raise(PyExc_ValueError, "Position values do not match position columns");
    }

    s.sl_table = stop_thresholds(a.stop_loss, a.price_index_obj, a.pos_columns_obj);
    s.tp_table = stop_thresholds(a.take_profit, a.price_index_obj, a.pos_columns_obj);
    bind_stop_table(s.sl_table, s.sl_values_buf, s.sl_values, s.sl_rows_buf, s.sl_rows);
    bind_stop_table(s.tp_table, s.tp_values_buf, s.tp_values, s.tp_rows_buf, s.tp_rows);

    a.trail_stop = std::fabs(a.trail_stop);
    a.trail_stop_activation = std::fabs(a.trail_stop_activation);
    build_rebalance_mask(a, s, n_bars);

    state().exvalo.start_analysis(reinterpret_cast<PyArrayObject*>(a.price_values_obj),
                                  reinterpret_cast<PyArrayObject*>(a.close_values_obj),
                                  s.column_map, static_cast<int>(a.pos_columns.size()),
                                  a.fee_ratio, a.tax_ratio, a.exvalo_window,
                                  a.exvalo_window_step);
    check_pending();
}

void run_bars(const BacktestArgs& a, RunState& s) {
    const Py_ssize_t n_bars = a.price_index.size();
    for (Py_ssize_t bar = 0; bar < n_bars; ++bar) {
        s.bar = bar;
        s.date = a.price_index[bar];
        if (s.date < a.pos_index[0]) {
            s.values[bar] = 1.0;  // still all cash before the first position row
            continue;
        }
        state().exvalo.record_date(static_cast<int>(bar));
        check_pending();
        s.sl_row = s.sl_rows[bar];
        s.tp_row = s.tp_rows[bar];

        walk_holdings(a, s);
        run_deferred_exits(a, s);
        hand_over_exits(s);
        if (s.rebalance_pending) apply_rebalance(a, s);
        if (s.has_delisting) close_delisted(a, s);
        value_portfolio(a, s);
        schedule_rebalance(a, s, n_bars);
    }
}

// The run creates no reference cycles, but its trade records would make the
// cyclic collector walk the ever longer result lists; it is paused for the
// run and restored after.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

}  // namespace

PyObject* backtest(PyObject*, PyObject* args, PyObject* kwargs) {
    CollectorPause pause;
    try {
        BacktestArgs a;
        RunState s;
        setup(args, kwargs, a, s);
        run_bars(a, s);
        assemble_result(a, s);
        return s.value_series.release();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

}  // namespace vantrel::simora
