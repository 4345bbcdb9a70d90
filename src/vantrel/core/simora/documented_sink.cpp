#include "documented_sink.hpp"

#include <algorithm>

#include "numpy_api.hpp"

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
    npy_intp length = static_cast<npy_intp>(n);
    Ref array = Ref::steal(PyArray_SimpleNew(1, &length, NPY_FLOAT64));
    std::copy(weights, weights + n,
              static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
    Ref np = global(org_np_name);
    Ref absolute = Ref::steal(PyObject_CallMethod(np.get(), "abs", "O", array.get()));
    Ref total = Ref::steal(PyObject_CallMethod(np.get(), "sum", "O", absolute.get()));
    const double v = PyFloat_AsDouble(total.get());
    if (v == -1.0) check_pending();
    return v;
}

}  // namespace vantrel::simora
