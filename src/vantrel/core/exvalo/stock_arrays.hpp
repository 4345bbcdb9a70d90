// Element `sid` of a per-stock session array (entry, position, entry_flags)
// with NumPy's item semantics: a negative index counts from the end, one past
// the end raises NumPy's IndexError. A plain 1-D array of the expected element
// type is accessed in place; anything else a consumer may have bound through
// the published variables goes through the array's own item access.
#pragma once

#include "exvalo_numpy.hpp"
#include "pyref.hpp"

#include <cstdint>
#include <cstring>

namespace vantrel::exvalo {

namespace stock_array_detail {

// Address of element `sid`, or NULL when the array needs item access.
inline char* element(PyArrayObject* a, int sid, int type_num, bool writing) {
    PyObject* o = reinterpret_cast<PyObject*>(a);
    if (o == nullptr || !PyArray_CheckExact(o) || PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != type_num ||
        !PyArray_ISALIGNED(a) || !PyArray_ISNOTSWAPPED(a) || (writing && !PyArray_ISWRITEABLE(a))) {
        return nullptr;
    }
    const npy_intp n = PyArray_DIM(a, 0);
    const npy_intp k = sid < 0 ? sid + n : sid;
    if (k < 0 || k >= n) {
        PyErr_Format(PyExc_IndexError, "index %d is out of bounds for axis 0 with size %zd", sid,
                     static_cast<Py_ssize_t>(n));
        throw PyErrorSet{};
    }
    return PyArray_BYTES(a) + k * PyArray_STRIDE(a, 0);
}

inline Ref get_item(PyArrayObject* a, int sid) {
    Ref key = Ref::steal(PyLong_FromLong(sid));
    return Ref::steal(PyObject_GetItem(reinterpret_cast<PyObject*>(a), key.get()));
}

inline void set_item(PyArrayObject* a, int sid, PyObject* value) {
    Ref key = Ref::steal(PyLong_FromLong(sid));
    check_status(PyObject_SetItem(reinterpret_cast<PyObject*>(a), key.get(), value));
}

}  // namespace stock_array_detail

// a[sid] as the object NumPy returns (a NumPy scalar for an array).
inline Ref stock_item(PyArrayObject* a, int sid, int type_num) {
    if (char* p = stock_array_detail::element(a, sid, type_num, false)) {
        return Ref::steal(PyArray_Scalar(p, PyArray_DESCR(a), reinterpret_cast<PyObject*>(a)));
    }
    return stock_array_detail::get_item(a, sid);
}

// a[sid] read in place into `out`; false when the array needs item access.
template <class T>
inline bool read_stock_value(PyArrayObject* a, int sid, int type_num, T& out) {
    const char* p = stock_array_detail::element(a, sid, type_num, false);
    if (p == nullptr) return false;
    std::memcpy(&out, p, sizeof out);
    return true;
}

// a[sid] = value, for an integer-typed array.
inline void set_stock_int(PyArrayObject* a, int sid, long value) {
    if (char* p = stock_array_detail::element(a, sid, NPY_INT64, true)) {
        const int64_t v = value;
        std::memcpy(p, &v, sizeof v);
        return;
    }
    Ref boxed = Ref::steal(PyLong_FromLong(value));
    stock_array_detail::set_item(a, sid, boxed.get());
}

// a[sid] = value, for a float64 array.
inline void set_stock_double(PyArrayObject* a, int sid, double value) {
    if (char* p = stock_array_detail::element(a, sid, NPY_DOUBLE, true)) {
        std::memcpy(p, &value, sizeof value);
        return;
    }
    Ref boxed = Ref::steal(PyFloat_FromDouble(value));
    stock_array_detail::set_item(a, sid, boxed.get());
}

}  // namespace vantrel::exvalo
