// The pending Python exception as an object, cleared from the thread, so a
// batch can hand each failed run its own error in place of a result.
#pragma once

#include "pyref.hpp"

namespace vantrel::engine {

inline Ref raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal_or_null(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return Ref{};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal_or_null(value);
#endif
}

}  // namespace vantrel::engine
