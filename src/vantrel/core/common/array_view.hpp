// Typed strided views over the caller's buffers: no copies, element type and
// number of dimensions checked when the view is taken, every read bounds
// checked with the same IndexError a typed buffer view raises.
#pragma once

#include "pyref.hpp"

#include <cstdint>
#include <cstring>

namespace vantrel {

[[noreturn]] inline void raise_out_of_bounds(int axis) {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
    throw PyErrorSet{};
}

// Negative indices count from the end; anything else outside raises.
inline Py_ssize_t checked_index(Py_ssize_t i, Py_ssize_t size, int axis) {
    if (i < 0) i += size;
    if (i < 0 || i >= size) raise_out_of_bounds(axis);
    return i;
}

enum class Elem { f64, i64, object };

namespace detail {

inline const char* elem_name(Elem e) {
    switch (e) {
        case Elem::f64: return "double";
        case Elem::i64: return "int64_t";
        case Elem::object: return "Python object";
    }
    return "?";
}

// C name of a buffer format code, as a buffer-type mismatch reports it.
inline const char* format_name(char code) {
    switch (code) {
        case 'c': return "char";
        case 'b': return "signed char";
        case 'B': return "unsigned char";
        case '?': return "bool";
        case 'h': return "short";
        case 'H': return "unsigned short";
        case 'i': return "int";
        case 'I': return "unsigned int";
        case 'l': return "long";
        case 'L': return "unsigned long";
        case 'q': return "long long";
        case 'Q': return "unsigned long long";
        case 'e': return "half";
        case 'f': return "float";
        case 'd': return "double";
        case 'g': return "long double";
        case 'O': return "Python object";
        default: return nullptr;
    }
}

inline bool format_matches(const char* fmt, Py_ssize_t itemsize, Elem e) {
    if (fmt == nullptr) fmt = "B";
    if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
    if (fmt[0] == '\0' || fmt[1] != '\0') return false;
    switch (e) {
        case Elem::f64: return fmt[0] == 'd' && itemsize == 8;
        case Elem::i64: return (fmt[0] == 'l' || fmt[0] == 'q') && itemsize == 8;
        case Elem::object: return fmt[0] == 'O' && itemsize == sizeof(PyObject*);
    }
    return false;
}

}  // namespace detail

// A held buffer of an object (released with the view). Read only: the engine
// never writes into the caller's arrays.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    // Takes the buffer of `obj` and checks dimensions and element type.
    void acquire(PyObject* obj, int ndim, Elem elem) {
        release();
        check_status(PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO));
        held_ = true;
        if (view_.ndim != ndim) {
            PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                         ndim, view_.ndim);
            throw PyErrorSet{};
        }
        if (!detail::format_matches(view_.format, view_.itemsize, elem)) {
            const char* fmt = view_.format ? view_.format : "B";
            const char* bare = (*fmt == '@' || *fmt == '=' || *fmt == '<') ? fmt + 1 : fmt;
            const char* got = (bare[0] != '\0' && bare[1] == '\0') ? detail::format_name(bare[0]) : nullptr;
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%s'",
                         detail::elem_name(elem), got ? got : fmt);
            throw PyErrorSet{};
        }
    }

    void release() {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }

    bool held() const { return held_; }
    const char* data() const { return static_cast<const char*>(view_.buf); }
    Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
    Py_ssize_t stride(int axis) const { return view_.strides[axis]; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// One-dimensional typed view.
template <class T>
class View1 {
public:
    View1() = default;
    explicit View1(const Buffer& b) : data_(b.data()), size_(b.shape(0)), stride_(b.stride(0)) {}

    Py_ssize_t size() const { return size_; }
    T operator[](Py_ssize_t i) const {
        T value;
        std::memcpy(&value, data_ + checked_index(i, size_, 0) * stride_, sizeof(T));
        return value;
    }

private:
    const char* data_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t stride_ = 0;
};

}  // namespace vantrel
