#include "run_entry.hpp"

#include "array_sink.hpp"
#include "final_portfolio.hpp"
#include "kernel_errors.hpp"
#include "outputs.hpp"
#include "run_setup.hpp"

#include <exception>

#include <numpy/ndarrayobject.h>

namespace vantrel::engine {

EngineState& engine_state() {
    static EngineState s;
    return s;
}

namespace {

bool truthy(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }

// Runs the bar loop with the interpreter released. Whatever the loop throws
// is carried back and rethrown once the interpreter is held again.
void run_released(kernel::Run& run, ArraySink& sink) {
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    sink.release_point(&saved);
    try {
        kernel::run_bars(run);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    sink.release_point(nullptr);
    if (failure) std::rethrow_exception(failure);
}

PyObject* run_call(PyObject* args, PyObject* kwargs) {
    EngineState& es = engine_state();
    binding::BacktestArgs a;
    binding::PreparedRun p;
    binding::convert_arguments("run", args, kwargs,
                               {es.default_stop_loss, es.default_take_profit, es.default_trail_stop}, a);
    binding::prepare_run(a, p, {es.stops_globals, es.builtins});
    a.in.options.keep_trade_log = true;

    const bool stop_trading_next_period = truthy(a.stop_trading_next_period);
    ArraySink sink(a.in.options.retain_cost_when_rebalance, a.periodically_rebalance,
                   stop_trading_next_period);
    kernel::TradeLog log(a.in, a.in.n_columns());
    kernel::Run run{a.in, sink, p.state, &log};
    try {
        run_released(run, sink);
    } catch (const kernel::KernelError& e) {
        binding::raise_kernel_error(e, a.pos_columns);
    }

    const kernel::FinalPortfolio portfolio = kernel::final_portfolio(a.in, p.state, stop_trading_next_period);
    Ref trades = trade_log_array(log);
    Ref holdings = portfolio_array(portfolio);
    Ref weight_row = Ref::steal(PyLong_FromLong(portfolio.weight_row));
    Ref next_weight_row = Ref::steal(PyLong_FromLong(portfolio.next_weight_row));
    return check(Py_BuildValue("{s:O,s:O,s:O,s:O,s:O}", "values", p.value_series.get(), "trades",
                               trades.get(), "portfolio", holdings.get(), "weight_row", weight_row.get(),
                               "next_weight_row", next_weight_row.get()));
}

}  // namespace

PyObject* run(PyObject*, PyObject* args, PyObject* kwargs) {
    return python_entry([&] { return run_call(args, kwargs); });
}

}  // namespace vantrel::engine
