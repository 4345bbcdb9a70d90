// vantrel.core.exvalo: the excursion-analysis session, driven natively by the
// engine through the capsules of __pyx_capi__. No Python-callable functions;
// the results are left in the module lists trades, trade_positions, exvalo.
// This translation unit owns the module's NumPy API table.
#undef NO_IMPORT_ARRAY
#include "exvalo_numpy.hpp"

#include "exvalo_api.hpp"
#include "module_guard.hpp"
#include "recording.hpp"
#include "session_state.hpp"

#include <cstring>

namespace {

using namespace vantrel;
namespace api = vantrel::exvalo_api;
namespace ex = vantrel::exvalo;

ModuleGuard guard("exvalo");

// The exported functions, typed as consumers bind them.
constexpr api::StartAnalysisFn start_analysis_fn = &ex::start_analysis;
constexpr api::RecordDateFn record_date_fn = &ex::record_date;
constexpr api::RecordEntryFn record_entry_fn = &ex::record_entry;
constexpr api::RecordExitFn record_exit_fn = &ex::record_exit;
constexpr api::EndAnalysisFn end_analysis_fn = &ex::end_analysis;

template <class Fn>
void* as_pointer(Fn fn) {
    static_assert(sizeof(Fn) == sizeof(void*));
    void* p;
    std::memcpy(&p, &fn, sizeof p);
    return p;
}

void publish(PyObject* capi, const char* name, void* pointer, const char* signature) {
    Ref capsule = Ref::steal(PyCapsule_New(pointer, signature, nullptr));
    check_status(PyDict_SetItemString(capi, name, capsule.get()));
}

// The dict of __pyx_capi__, created when the module has none yet.
Ref capi_dict(PyObject* module) {
    Ref existing = Ref::steal_or_null(PyObject_GetAttrString(module, api::kCapiAttribute));
    if (existing) return existing;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
    PyErr_Clear();
    Ref capi = Ref::steal(PyDict_New());
    check_status(PyObject_SetAttrString(module, api::kCapiAttribute, capi.get()));
    return capi;
}

void execute(PyObject* module) {
    check_status(_import_array());
    ex::init_session(module);

    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    check_status(PyObject_SetAttrString(module, "org_np", numpy.get()));
    for (const char* name : {"trades", "trade_positions", "exvalo"}) {
        Ref list = Ref::steal(PyList_New(0));
        check_status(PyObject_SetAttrString(module, name, list.get()));
    }

    Ref capi = capi_dict(module);
    publish(capi.get(), "entry", &ex::session.entry, api::kArraySignature);
    publish(capi.get(), "position", &ex::session.position, api::kArraySignature);
    publish(capi.get(), "start_analysis", as_pointer(start_analysis_fn), api::kStartAnalysisSignature);
    publish(capi.get(), "record_date", as_pointer(record_date_fn), api::kRecordDateSignature);
    publish(capi.get(), "record_entry", as_pointer(record_entry_fn), api::kRecordEntrySignature);
    publish(capi.get(), "record_exit", as_pointer(record_exit_fn), api::kRecordExitSignature);
    publish(capi.get(), "end_analysis", as_pointer(end_analysis_fn), api::kEndAnalysisSignature);
}

PyObject* create_module(PyObject* module_spec, PyModuleDef*) { return guard.create(module_spec); }

int exec_module(PyObject* module) {
    const int run = guard.begin_exec(module);
    if (run <= 0) return run;
    try {
        execute(module);
        return 0;
    } catch (const PyErrorSet&) {
        guard.abandon();
        return -1;
    }
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // One session per process, shared by every caller.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "exvalo",
    "Excursion analysis of the trades of a backtest, driven natively by the engine.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_exvalo() { return PyModuleDef_Init(&module_def); }
