// What a caller of the kernel sees while a run is in progress, in order: the
// start of every bar, every entry and exit as the excursion session is told
// of it, and the settings the run reads at the moment it needs them. The
// kernel calls these and does not know who listens; an exception thrown by a
// listener ends the run and reaches the caller unchanged.
#pragma once

#include <cstddef>

namespace vantrel::kernel {

class RunSink {
public:
    virtual ~RunSink() = default;

    virtual void bar_started(int /*bar*/) {}
    // `weight` is the target value over the portfolio value; `full` is 1 for a
    // trade out of nothing, 0 for a holding re-based at a rebalance.
    virtual void entered(int /*sid*/, double /*weight*/, int /*full*/) {}
    // `full` is 1 for a holding closed to nothing, 0 for a re-based one.
    virtual void exited(int /*sid*/, int /*full*/) {}

    // Read whenever a continuing holding is re-sized, first the one, then the
    // other only when the first is false.
    virtual bool retain_cost_when_rebalance() = 0;
    virtual bool periodically_rebalance() = 0;
    // Read wherever a stop exit meets a rebalance.
    virtual bool stop_trading_next_period() = 0;

    // Sum of absolute weights for rows longer than the kernel sums itself
    // (pairwise summation is split differently by different array libraries
    // above one buffer). The default sums the whole row pairwise.
    virtual double long_abs_weight_sum(const double* weights, std::size_t n);
};

}  // namespace vantrel::kernel
