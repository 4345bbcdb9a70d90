#include "documented_sink.hpp"

#include "numpy_abs_sum.hpp"

namespace vantrel::simora {

namespace {

GlobalName org_np_name("org_np");
GlobalName retain_cost_name("RETAIN_COST_WHEN_REBALANCE");
GlobalName resample_name("RESAMPLE");

}  // namespace

void DocumentedSink::bar_started(int bar) {
    state().exvalo.record_date(bar);
    check_pending();
}

void DocumentedSink::entered(int sid, double weight, int full) {
    state().exvalo.record_entry(sid, weight, full);
    check_pending();
}

void DocumentedSink::exited(int sid, int full) {
    state().exvalo.record_exit(sid, full);
    check_pending();
}

bool DocumentedSink::retain_cost_when_rebalance() { return setting_is_true(retain_cost_name); }

bool DocumentedSink::periodically_rebalance() { return setting_is_true(resample_name); }

// org_np.sum(org_np.abs(weights)), as the documented rebalance computes it.
double DocumentedSink::long_abs_weight_sum(const double* weights, std::size_t n) {
    return binding::numpy_abs_sum(weights, n, [] { return global(org_np_name); });
}

}  // namespace vantrel::simora
