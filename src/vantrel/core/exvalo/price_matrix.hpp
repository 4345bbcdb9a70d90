// Reads `matrix[row, col]` from a session price matrix with NumPy's item
// semantics: negative indices count from the end, an index past the end
// raises NumPy's IndexError, the element becomes a double. A plain 2-D
// float64 array in native byte order is read in place; anything else (an
// array reshaped or retyped since start_analysis, a subclass) goes through
// the object's own item access.
#pragma once

#include "exvalo_numpy.hpp"
#include "pyref.hpp"

#include <cstring>

namespace vantrel::exvalo {

class PriceMatrix {
public:
    // Holds its own reference for the duration of one analysis.
    explicit PriceMatrix(PyObject* matrix) : matrix_(Ref::borrow(matrix)) {
        PyObject* m = matrix_.get();
        if (PyArray_CheckExact(m)) {
            auto* a = reinterpret_cast<PyArrayObject*>(m);
            if (PyArray_NDIM(a) == 2 && PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a)) {
                in_place_ = true;
                data_ = PyArray_BYTES(a);
                rows_ = PyArray_DIM(a, 0);
                cols_ = PyArray_DIM(a, 1);
                row_stride_ = PyArray_STRIDE(a, 0);
                col_stride_ = PyArray_STRIDE(a, 1);
            }
        }
    }

    // Length of the first axis, as `matrix.shape[0]` gives it.
    Py_ssize_t rows() const {
        if (in_place_) return rows_;
        PyObject* m = matrix_.get();
        if (m == Py_None) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
        if (PyArray_Check(m)) {
            auto* a = reinterpret_cast<PyArrayObject*>(m);
            if (PyArray_NDIM(a) == 0) raise(PyExc_IndexError, "tuple index out of range");
            return PyArray_DIM(a, 0);
        }
        Ref shape = Ref::steal(PyObject_GetAttrString(m, "shape"));
        Ref first = Ref::steal(PySequence_GetItem(shape.get(), 0));
        const Py_ssize_t n = PyNumber_AsSsize_t(first.get(), PyExc_OverflowError);
        check_pending();
        return n;
    }

    double operator()(Py_ssize_t row, Py_ssize_t col) const {
        if (!in_place_) return read_item(row, col);
        const Py_ssize_t r = numpy_index(row, rows_, 0);
        const Py_ssize_t c = numpy_index(col, cols_, 1);
        double value;
        std::memcpy(&value, data_ + r * row_stride_ + c * col_stride_, sizeof value);
        return value;
    }

private:
    static Py_ssize_t numpy_index(Py_ssize_t i, Py_ssize_t size, int axis) {
        const Py_ssize_t k = i < 0 ? i + size : i;
        if (k < 0 || k >= size) {
            PyErr_Format(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd", i, axis,
                         size);
            throw PyErrorSet{};
        }
        return k;
    }

    double read_item(Py_ssize_t row, Py_ssize_t col) const {
        Ref key = Ref::steal(Py_BuildValue("(nn)", row, col));
        Ref item = Ref::steal(PyObject_GetItem(matrix_.get(), key.get()));
        if (PyFloat_CheckExact(item.get())) return PyFloat_AS_DOUBLE(item.get());
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0) check_pending();
        return value;
    }

    Ref matrix_;
    bool in_place_ = false;
    const char* data_ = nullptr;
    Py_ssize_t rows_ = 0, cols_ = 0, row_stride_ = 0, col_stride_ = 0;
};

}  // namespace vantrel::exvalo
