// Owned reference to a Python object, and the one C++ exception that means
// "a Python error is set". Every module uses these two and nothing else to
// manage references and propagate errors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vantrel {

// Thrown after a Python exception has been set; the Python-facing entry
// point catches it and returns NULL (or -1) to the interpreter.
struct PyErrorSet {};

// Throws PyErrorSet when `p` is NULL (the callee has set the error).
template <class T>
inline T* check(T* p) {
    if (p == nullptr) throw PyErrorSet{};
    return p;
}

// Throws PyErrorSet when a status code reports failure.
inline int check_status(int status) {
    if (status < 0) throw PyErrorSet{};
    return status;
}

// Throws PyErrorSet when a Python error is pending.
inline void check_pending() {
    if (PyErr_Occurred() != nullptr) throw PyErrorSet{};
}

// Sets a Python exception and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}

// Unique owner of one strong reference.
class Ref {
public:
    Ref() = default;
    // Takes ownership of a new reference; throws when it is NULL.
    static Ref steal(PyObject* p) { return Ref(check(p)); }
    // Takes ownership of a new reference that may be NULL.
    static Ref steal_or_null(PyObject* p) { return Ref(p); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }
    // A new strong reference to the same object.
    PyObject* new_ref() const {
        Py_XINCREF(p_);
        return p_;
    }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace vantrel
