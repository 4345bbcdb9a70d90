// The documented module's listener of a kernel run: every entry, exit and bar
// goes to the excursion session through its capsules, and the settings are
// read the documented way, by name or by truth test at the moment of use. A
// Python error raised on the way ends the run as PyErrorSet.
#pragma once

#include "module_state.hpp"
#include "run_sink.hpp"

namespace vantrel::simora {

class DocumentedSink final : public kernel::RunSink {
public:
    explicit DocumentedSink(PyObject* stop_trading_next_period)
        : stop_trading_next_period_(stop_trading_next_period) {}

    void bar_started(int bar) override;
    void entered(int sid, double weight, int full) override;
    void exited(int sid, int full) override;
    bool retain_cost_when_rebalance() override;
    bool periodically_rebalance() override;
    bool stop_trading_next_period() override { return truthy(stop_trading_next_period_); }
    double long_abs_weight_sum(const double* weights, std::size_t n) override;

private:
    PyObject* stop_trading_next_period_;  // borrowed for the call
};

}  // namespace vantrel::simora
