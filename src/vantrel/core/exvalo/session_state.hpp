// Process-wide state of the excursion-analysis session: what start_analysis
// sets, the bar being processed, the per-stock entry data, and access by name
// to the module's result lists.
#pragma once

#include "exvalo_numpy.hpp"
#include "module_globals.hpp"
#include "pyref.hpp"

#include <map>

namespace vantrel::exvalo {

struct Session {
    PyObject* trade_prices = nullptr;  // 2-D float64 array, or None
    PyObject* close_prices = nullptr;  // 2-D float64 array, or None
    std::map<int, int> column_map;     // stock id -> price column
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    int window = 0;
    int window_step = 0;
    int current_bar = 0;
    // Per stock id; `entry` and `position` are published by address, so a
    // consumer always sees the arrays bound right now.
    PyArrayObject* entry = nullptr;        // entry bar, default integer
    PyArrayObject* position = nullptr;     // entry weight, float64
    PyArrayObject* entry_flags = nullptr;  // full_entry flag, default integer
};

extern Session session;

// Gives the session its initial values (empty matrices and per-stock arrays)
// and remembers the module whose globals hold the result lists.
void init_session(PyObject* module);

// Replaces an owned slot with a new reference.
template <class T>
void rebind(T*& slot, PyObject* value) {
    T* old = slot;
    slot = reinterpret_cast<T*>(value);
    Py_XDECREF(reinterpret_cast<PyObject*>(old));
}

// The object bound to a module global at this moment (the lists are looked
// up at every use, so rebinding a module attribute redirects the results).
// Raises NameError when the name is not bound.
Ref module_global(GlobalName& name);

// Appends through the list's own append for a true list, otherwise through
// the object's `append` method.
void append(PyObject* target, PyObject* item);

}  // namespace vantrel::exvalo
