// The Python errors that the kernel's excursion errors stand for, as the
// documented analysis raises them. Shared by every module that runs the
// excursion analysis.
#pragma once

#include "array_view.hpp"
#include "kernel_error.hpp"

#include <exception>
#include <new>

namespace vantrel {

[[noreturn]] inline void raise_excursion_error(const kernel::KernelError& e) {
    using Kind = kernel::KernelError::Kind;
    switch (e.kind) {
        case Kind::float_division: raise(PyExc_ZeroDivisionError, "float division");
        case Kind::unbound_loop_bar:
            raise(PyExc_UnboundLocalError, "local variable 'ith' referenced before assignment");
        case Kind::negative_span: raise(PyExc_OverflowError, "can't convert negative value to size_t");
        case Kind::zero_window_step: raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        case Kind::window_overflow: raise(PyExc_OverflowError, "value too large to perform division");
        case Kind::out_of_bounds: raise_out_of_bounds(e.axis);
        case Kind::item_out_of_range:
            // NumPy's words for an index past an axis, as item access gives them.
            PyErr_Format(PyExc_IndexError, "index %lld is out of bounds for axis %d with size %lld",
                         static_cast<long long>(e.index), e.axis, static_cast<long long>(e.size));
            throw PyErrorSet{};
        // NumPy's own words for the array it could not make.
        case Kind::negative_length: raise(PyExc_ValueError, "negative dimensions are not allowed");
        default: raise(PyExc_SystemError, "unexpected kernel error");
    }
}

// Runs the body of a Python-callable entry and turns whatever it throws into
// a Python error and NULL: nothing thrown in C++ may reach the interpreter.
template <class Body>
PyObject* python_entry(Body&& body) noexcept {
    try {
        return body();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const kernel::KernelError& e) {
        // Raised outside a run's bar loop (which maps its own): no labels needed.
        try {
            raise_excursion_error(e);
        } catch (const PyErrorSet&) {
        }
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

}  // namespace vantrel
