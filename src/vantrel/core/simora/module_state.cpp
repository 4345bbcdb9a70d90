#include "module_state.hpp"

namespace vantrel::simora {

ModuleState& state() {
    static ModuleState s;
    return s;
}

Ref global(GlobalName& name) { return lookup_global(state().globals, state().builtins, name); }

bool setting_is_true(GlobalName& name) { return truthy(global(name).get()); }

}  // namespace vantrel::simora
