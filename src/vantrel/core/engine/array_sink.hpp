// The package face's listener of a kernel run: settings fixed before the run
// (so the bar loop needs no interpreter) and nothing reported while it runs;
// the trade log collects what the package shows.
#pragma once

#include "pyref.hpp"
#include "run_sink.hpp"

namespace vantrel::engine {

class ArraySink final : public kernel::RunSink {
public:
    ArraySink(bool retain_cost, bool periodically_rebalance, bool stop_trading_next_period)
        : retain_cost_(retain_cost),
          periodically_rebalance_(periodically_rebalance),
          stop_trading_next_period_(stop_trading_next_period) {}

    bool retain_cost_when_rebalance() override { return retain_cost_; }
    bool periodically_rebalance() override { return periodically_rebalance_; }
    bool stop_trading_next_period() override { return stop_trading_next_period_; }

    // Rows longer than the kernel sums itself are summed by NumPy, as the
    // documented module does, so both faces agree to the bit; that takes the
    // interpreter back for the call. `saved` is the thread state the caller
    // released the interpreter with.
    void release_point(PyThreadState** saved) { saved_ = saved; }
    // For a run on a thread of a batch's pool, which holds no interpreter:
    // such a sum takes it through the thread's own state, and the error it
    // may raise is kept here, to be raised for this run once the batch ends.
    void run_on_any_thread() { any_thread_ = true; }
    Ref& failure() { return failure_; }
    double long_abs_weight_sum(const double* weights, std::size_t n) override;

private:
    bool retain_cost_;
    bool periodically_rebalance_;
    bool stop_trading_next_period_;
    PyThreadState** saved_ = nullptr;
    bool any_thread_ = false;
    Ref failure_;
};

}  // namespace vantrel::engine
