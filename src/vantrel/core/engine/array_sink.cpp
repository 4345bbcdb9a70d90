#include "array_sink.hpp"

#include "numpy_abs_sum.hpp"
#include "raised_exception.hpp"

namespace vantrel::engine {

namespace {

double numpy_abs_sum(const double* weights, std::size_t n) {
    return binding::numpy_abs_sum(weights, n, [] { return Ref::steal(PyImport_ImportModule("numpy")); });
}

}  // namespace

double ArraySink::long_abs_weight_sum(const double* weights, std::size_t n) {
    if (any_thread_) {
        const PyGILState_STATE held = PyGILState_Ensure();
        double total = 0.0;
        try {
            total = numpy_abs_sum(weights, n);
        } catch (const PyErrorSet&) {
            failure_ = raised_exception();
        }
        PyGILState_Release(held);
        if (failure_) throw PyErrorSet{};
        return total;
    }
    if (saved_ == nullptr || *saved_ == nullptr) return numpy_abs_sum(weights, n);
    PyEval_RestoreThread(*saved_);
    *saved_ = nullptr;
    double total = 0.0;
    bool failed = false;
    try {
        total = numpy_abs_sum(weights, n);
    } catch (const PyErrorSet&) {
        failed = true;  // the error stays set on this thread
    }
    *saved_ = PyEval_SaveThread();
    if (failed) throw PyErrorSet{};
    return total;
}

}  // namespace vantrel::engine
