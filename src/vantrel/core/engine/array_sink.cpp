#include "array_sink.hpp"

#include <algorithm>

#include <numpy/ndarrayobject.h>

namespace vantrel::engine {

namespace {

double numpy_abs_sum(const double* weights, std::size_t n) {
    npy_intp length = static_cast<npy_intp>(n);
    Ref array = Ref::steal(PyArray_SimpleNew(1, &length, NPY_FLOAT64));
    std::copy(weights, weights + n,
              static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    Ref absolute = Ref::steal(PyObject_CallMethod(np.get(), "abs", "O", array.get()));
    Ref total = Ref::steal(PyObject_CallMethod(np.get(), "sum", "O", absolute.get()));
    const double v = PyFloat_AsDouble(total.get());
    if (v == -1.0) check_pending();
    return v;
}

}  // namespace

double ArraySink::long_abs_weight_sum(const double* weights, std::size_t n) {
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
