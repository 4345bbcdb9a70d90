// Process-wide state of the engine module: the module itself, the bound
// native interface of the excursion analysis, the latest run's final
// portfolio description, and small helpers that read module globals the way
// the module's Python-level names are read (at call time, by name).
#pragma once

#include "exvalo_binding.hpp"
#include "module_globals.hpp"
#include "pyref.hpp"

namespace vantrel::simora {

struct ModuleState {
    PyObject* module = nullptr;            // borrowed: lives as long as the process
    PyObject* globals = nullptr;           // the module's namespace dict (borrowed)
    PyObject* builtins = nullptr;          // the builtins' dict (borrowed)
    PyObject* stock_operations = nullptr;  // owned; replaced by every completed run
    exvalo_api::Binding exvalo;            // bound once at import
    // backtest_ defaults, fixed when the function is created at import
    PyObject* default_stop_loss = nullptr;
    PyObject* default_take_profit = nullptr;
    double default_trail_stop = 0.0;
};

ModuleState& state();

// Value of a module global (then a builtin) by name, as a new reference;
// NameError when neither exists.
Ref global(GlobalName& name);

// Python truth of an object; throws when the test raises.
inline bool truthy(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }

// Python truth of the module setting `name`, read at call time.
bool setting_is_true(GlobalName& name);

}  // namespace vantrel::simora
