// numpy.sum(numpy.abs(weights)) over a native row: how both faces sum weight
// rows too long for the kernel's own pairwise sum, so that they split the
// sum alike. `numpy` gives the module to call (looked up after the array is
// made, as the documented rebalance does).
#pragma once

#include "pyref.hpp"

#include <algorithm>
#include <cstddef>

#include <numpy/ndarrayobject.h>

namespace vantrel::binding {

template <class NumpyModule>
double numpy_abs_sum(const double* weights, std::size_t n, NumpyModule numpy) {
    npy_intp length = static_cast<npy_intp>(n);
    Ref array = Ref::steal(PyArray_SimpleNew(1, &length, NPY_FLOAT64));
    std::copy(weights, weights + n,
              static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
    Ref np = numpy();
    Ref absolute = Ref::steal(PyObject_CallMethod(np.get(), "abs", "O", array.get()));
    Ref total = Ref::steal(PyObject_CallMethod(np.get(), "sum", "O", absolute.get()));
    const double v = PyFloat_AsDouble(total.get());
    if (v == -1.0) check_pending();
    return v;
}

}  // namespace vantrel::binding
