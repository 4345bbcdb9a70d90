"""exvalo's import rules, its published native interface, and the consumer
binding that the engine and the test-support module share."""

import ctypes

import numpy as np
import pytest

from conftest import run_python
from vantrel.core import _exvalo_testing as session
from vantrel.core import exvalo

SIGNATURES = {
    "entry": b"PyArrayObject *",
    "position": b"PyArrayObject *",
    "start_analysis": b"void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
    "record_date": b"void (int)",
    "record_entry": b"void (int, double, int)",
    "record_exit": b"void (int, int)",
    "end_analysis": b"PyObject *(std::map<int,double>  &)",
}


def capsule_name(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    return get_name(capsule)


def test_capsules_in_binding_order_with_exact_names():
    capi = exvalo.__pyx_capi__
    assert list(capi) == list(SIGNATURES)
    assert {name: capsule_name(c) for name, c in capi.items()} == SIGNATURES


def test_module_namespace():
    assert exvalo.org_np is np
    assert [type(getattr(exvalo, n)) for n in ("trades", "trade_positions", "exvalo")] == [list] * 3
    assert not [n for n in dir(exvalo) if callable(getattr(exvalo, n))]


def test_variable_capsules_follow_the_current_arrays():
    session.start_analysis(None, None, {}, 4, 0.0, 0.0, 0, 1)
    entry, position = session.entry(), session.position()
    assert (entry.dtype, entry.shape, position.dtype, position.shape) == (np.dtype(int), (4,), np.dtype(float), (4,))
    session.record_date(3)
    session.record_entry(2, 0.5, 1)
    assert session.entry().tolist() == [0, 0, 3, 0]
    session.start_analysis(None, None, {}, 2, 0.0, 0.0, 0, 1)
    assert session.entry() is not entry and session.entry().tolist() == [0, 0]


FAKE_EXVALO = """
import ctypes, sys, types

new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
names = []

def capsule(name):
    names.append(name)  # a capsule keeps only a pointer to its name
    return new_capsule(1, name, None)

capi = {name: capsule(signature) for name, signature in %r.items()}
%s
fake = types.ModuleType("vantrel.core.exvalo")
if capi is not None:
    fake.__pyx_capi__ = capi
sys.modules["vantrel.core.exvalo"] = fake
try:
    import vantrel.core._exvalo_testing
    print("bound")
except Exception as error:
    print(type(error).__name__ + ": " + str(error))
"""

M = "vantrel.core.exvalo"


@pytest.mark.parametrize(
    "change, outcome",
    [
        ("pass", "bound"),
        ("capi = None", f"AttributeError: module '{M}' has no attribute '__pyx_capi__'"),
        ("del capi['record_exit']", f"ImportError: {M} does not export expected C function record_exit"),
        ("del capi['position']", f"ImportError: {M} does not export expected C variable position"),
        ("del capi['record_date']; del capi['entry']", f"ImportError: {M} does not export expected C variable entry"),
        (
            "capi['record_date'] = capsule(b'void (long)')",
            f"TypeError: C function {M}.record_date has wrong signature (expected void (int), got void (long))",
        ),
        (
            "capi['entry'] = capsule(b'PyArrayObject*')",
            f"TypeError: C variable {M}.entry has wrong signature (expected PyArrayObject *, got PyArrayObject*)",
        ),
        (
            "capi['end_analysis'] = capsule(b'PyObject *(std::map<int,double> &)')",
            (
                f"TypeError: C function {M}.end_analysis has wrong signature "
                "(expected PyObject *(std::map<int,double>  &), got PyObject *(std::map<int,double> &))"
            ),
        ),
        (
            "capi['record_entry'] = 5",
            (
                f"TypeError: C function {M}.record_entry has wrong signature "
                "(expected void (int, double, int), got (not a capsule))"
            ),
        ),
    ],
)
def test_consumer_binding(change, outcome):
    assert run_python(FAKE_EXVALO % (SIGNATURES, change)).strip() == outcome


def test_import_twice_keeps_the_module_and_its_lists():
    out = run_python("""
        import ctypes, sys, types
        from vantrel.core import exvalo
        lists = exvalo.trades
        del sys.modules["vantrel.core.exvalo"]
        import vantrel.core.exvalo as again
        print(again is exvalo, again.trades is lists)

        get_def = ctypes.pythonapi.PyModule_GetDef
        get_def.restype, get_def.argtypes = ctypes.c_void_p, [ctypes.py_object]
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.restype, exec_def.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_void_p]
        print(exec_def(exvalo, get_def(exvalo)), exvalo.trades is lists)
        try:
            exec_def(types.ModuleType("other"), get_def(exvalo))
        except RuntimeError as error:
            print(error)
    """)
    assert out.splitlines() == [
        "True True",
        "0 True",
        "Module 'exvalo' has already been imported. Re-initialisation is not supported.",
    ]


SUBINTERPRETER = """
import vantrel.core.exvalo
code = '''
try:
    import vantrel.core.exvalo
    outcome = "imported"
except ImportError as error:
    outcome = str(error)
with open(%r, "w") as out:
    out.write(outcome)
'''
try:
    import _interpreters as interpreters
    interpreters.exec(interpreters.create("legacy"), code)
except ImportError:
    import _xxsubinterpreters as interpreters
    interpreters.run_string(interpreters.create(isolated=False), code)
"""


def test_second_interpreter_is_refused(tmp_path):
    has_api = run_python("""
        import importlib.util
        print(any(importlib.util.find_spec(m) for m in ("_interpreters", "_xxsubinterpreters")))
    """)
    if has_api.strip() != "True":
        pytest.skip("no subinterpreter support in this Python")
    report = tmp_path / "outcome.txt"
    run_python(SUBINTERPRETER % str(report))
    assert report.read_text() == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )
