// One run of the array entry in three steps, so that a batch can run many:
// the arguments read and the value array made (interpreter held), the bar
// loop (interpreter released), and the result built (interpreter held).
#pragma once

#include "array_sink.hpp"
#include "execution.hpp"
#include "run_arguments.hpp"
#include "trade_log.hpp"

#include <memory>

namespace vantrel::engine {

struct RunJob {
    RunArguments a;
    Ref values;  // the value series, written by the run
    kernel::RunState state;
    std::unique_ptr<kernel::TradeLog> log;
    std::unique_ptr<kernel::FillLog> fills;
    kernel::ExecutionState execution;  // prepared when an execution option is on
};

// After read_run_arguments: the value array, the run's state, its logs and
// its execution state.
void prepare_job(RunJob& job);

// The listener a job's run reports to, with the job's settings.
ArraySink sink_for(const RunJob& job);

// The kernel's run of a prepared job, reporting to `sink`.
kernel::Run run_of(RunJob& job, ArraySink& sink);

// The RunResult of a finished job; raises what building it raises.
Ref finish_job(RunJob& job);

// What the bar loop threw, as the Python error the entry raises.
[[noreturn]] void raise_run_error(const kernel::KernelError& e);
[[noreturn]] void raise_out_of_memory(const kernel::RunOptions& o, const kernel::TradeLog& log);

}  // namespace vantrel::engine
