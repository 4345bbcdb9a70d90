// backtest_: the documented face of one kernel run. Setup in the documented
// order (settings, column map, working state, stop tables, calendar, the
// excursion session), the kernel's bar loop with the documented listener,
// then the result assembly into module state.
#include "backtest.hpp"

#include "documented_sink.hpp"
#include "kernel_errors.hpp"
#include "module_state.hpp"
#include "result_assembly.hpp"
#include "run_setup.hpp"

#include "numpy_api.hpp"

namespace vantrel::simora {

namespace {

void write_setting(const char* name, bool value) {
    check_status(PyDict_SetItemString(state().globals, name, value ? Py_True : Py_False));
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

PyObject* run(PyObject* args, PyObject* kwargs) {
    ModuleState& ms = state();
    binding::BacktestArgs a;
    binding::PreparedRun p;
    binding::convert_arguments("backtest_", args, kwargs,
                               {ms.default_stop_loss, ms.default_take_profit, ms.default_trail_stop}, a);
    write_setting("RETAIN_COST_WHEN_REBALANCE", a.in.options.retain_cost_when_rebalance);
    write_setting("RESAMPLE", a.periodically_rebalance);
    binding::prepare_run(a, p, {ms.globals, ms.builtins});

    ms.exvalo.start_analysis(reinterpret_cast<PyArrayObject*>(a.price_values_obj),
                             reinterpret_cast<PyArrayObject*>(a.close_values_obj), p.column_map,
                             static_cast<int>(a.pos_columns.size()), a.in.options.fee_ratio,
                             a.in.options.tax_ratio, a.in.options.excursion_window,
                             a.in.options.excursion_window_step);
    check_pending();

    DocumentedSink sink(a.stop_trading_next_period);
    kernel::Run run{a.in, sink, p.state};
    try {
        kernel::run_bars(run);
    } catch (const kernel::KernelError& e) {
        binding::raise_kernel_error(e, a.pos_columns);
    }
    assemble_result(a, p.state);
    return p.value_series.release();
}

}  // namespace

PyObject* backtest(PyObject*, PyObject* args, PyObject* kwargs) {
    CollectorPause pause;
    return python_entry([&] { return run(args, kwargs); });
}

}  // namespace vantrel::simora
