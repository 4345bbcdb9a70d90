#include "run_entry.hpp"

#include "array_sink.hpp"
#include "final_portfolio.hpp"
#include "kernel_errors.hpp"
#include "outputs.hpp"
#include "run_arguments.hpp"
#include "run_job.hpp"
#include "run_result.hpp"

#include <exception>
#include <new>
#include <string>

#include <numpy/ndarrayobject.h>

namespace vantrel::engine {

EngineState& engine_state() {
    static EngineState s;
    return s;
}

namespace {

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

}  // namespace

// The kernel's errors in the package's words. (The package hands over checked
// prices, so these are the guards of a caller that did not.)
[[noreturn]] void raise_run_error(const kernel::KernelError& e) {
    using Kind = kernel::KernelError::Kind;
    switch (e.kind) {
        case Kind::invalid_trade_price: {
            Ref price = Ref::steal(PyFloat_FromDouble(e.value));
            PyErr_Format(PyExc_ValueError,
                         "run: the trading price of weights column %d on bar %d is %R: prices must be "
                         "positive and finite where present",
                         e.sid, e.row, price.get());
            throw PyErrorSet{};
        }
        case Kind::zero_weight_base:
            raise(PyExc_ZeroDivisionError,
                  "run: the portfolio is worth exactly 0 at a rebalance: no weight to size");
        default: raise_excursion_error(e);
    }
}

[[noreturn]] void raise_out_of_memory(const kernel::RunOptions& o, const kernel::TradeLog& log) {
    const auto per_record = static_cast<unsigned long long>(
                                kernel::excursion_length(o.excursion_window, o.excursion_window_step)) *
                            sizeof(double);
    PyErr_Format(PyExc_MemoryError,
                 "run: out of memory for the trade log: %zu records kept so far, each with %llu bytes of "
                 "excursion statistics (excursion_window=%d, excursion_window_step=%d); a shorter window, a "
                 "longer step or fewer trades need less",
                 log.records().size(), per_record, o.excursion_window, o.excursion_window_step);
    throw PyErrorSet{};
}

void prepare_job(RunJob& job) {
    kernel::RunInputs& in = job.a.in;
    npy_intp bars = in.price_index.size();
    job.values = Ref::steal(PyArray_EMPTY(1, &bars, NPY_FLOAT64, 0));
    kernel::prepare_state(
        in, job.state,
        static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(job.values.get()))));
    job.log = std::make_unique<kernel::TradeLog>(in, in.n_columns());
    job.fills = std::make_unique<kernel::FillLog>(in.price_index.size());
    if (in.exec.on) kernel::prepare_execution(in, job.execution);
}

ArraySink sink_for(const RunJob& job) {
    return ArraySink(job.a.in.options.retain_cost_when_rebalance, job.a.periodically_rebalance,
                     job.a.stop_trading_next_period);
}

kernel::Run run_of(RunJob& job, ArraySink& sink) {
    kernel::Run run{job.a.in, sink, job.state, job.log.get(), nullptr, job.fills.get()};
    if (job.a.in.exec.on) run.exec = &job.execution;
    return run;
}

Ref finish_job(RunJob& job) {
    kernel::RunInputs& in = job.a.in;
    Ref trades, holdings, fill_records, costs;
    try {
        trades = trade_log_array(*job.log);
        fill_records = fills_array(*job.fills);
        costs = costs_array(*job.fills);
    } catch (const kernel::KernelError& e) {
        raise_run_error(e);
    } catch (const std::bad_alloc&) {
        raise_out_of_memory(in.options, *job.log);
    }
    const kernel::FinalPortfolio portfolio =
        kernel::final_portfolio(in, job.state, job.a.stop_trading_next_period);
    holdings = portfolio_array(portfolio);
    return run_result(engine_state().run_result_type, job.values.get(), trades.get(), holdings.get(),
                      portfolio.weight_row, portfolio.next_weight_row, fill_records.get(), costs.get());
}

namespace {

PyObject* run_call(PyObject* args, PyObject* kwargs) {
    RunJob job;
    read_run_arguments(args, kwargs, job.a);
    prepare_job(job);
    ArraySink sink = sink_for(job);
    kernel::Run run = run_of(job, sink);
    try {
        run_released(run, sink);
    } catch (const kernel::KernelError& e) {
        raise_run_error(e);
    } catch (const std::bad_alloc&) {
        raise_out_of_memory(job.a.in.options, *job.log);
    }
    return finish_job(job).release();
}

}  // namespace

PyObject* run(PyObject*, PyObject* args, PyObject* kwargs) {
    return python_entry([&] { return run_call(args, kwargs); });
}

}  // namespace vantrel::engine
