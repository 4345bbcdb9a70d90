"""Import of the engine: its namespace, import-time defaults and the binding to exvalo."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vantrel import _stops
from vantrel.core import simora

NAMESPACE = [
    "org_np",
    "exvalo",
    "StopTable",
    "stop_table",
    "datetime",
    "RETAIN_COST_WHEN_REBALANCE",
    "RESAMPLE",
    "get_stock_operations",
    "normalize_weight",
    "ioft",
    "backtest_",
    "get_trade_stocks",
]


def python(code: str) -> str:
    """Run code in a fresh interpreter and return what it printed."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_namespace_is_created_in_order():
    assert [n for n in vars(simora) if n in NAMESPACE] == NAMESPACE
    import datetime

    from vantrel.core import exvalo

    assert simora.org_np is np
    assert simora.exvalo is exvalo
    assert simora.datetime is datetime
    assert simora.StopTable is _stops.StopTable
    assert simora.stop_table is _stops.stop_table


def test_fresh_import_state():
    out = python("""
        from vantrel.core import simora
        print(simora.RETAIN_COST_WHEN_REBALANCE is False, simora.RESAMPLE is None,
              simora.get_stock_operations() == {})
    """)
    assert out == "True True True"


def test_importing_again_gives_the_same_module_without_rerunning_it():
    out = python("""
        from vantrel.core import simora
        simora.RESAMPLE = "kept"
        import importlib
        again = importlib.import_module("vantrel.core.simora")
        print(again is simora, again.RESAMPLE)
    """)
    assert out == "True kept"


def test_defaults_are_fixed_at_import():
    # A take-profit read from a rebound numpy.inf (5.0) would fire on the
    # eightfold rise of bar 3 and close the trade on bar 4.
    out = python("""
        import numpy
        from vantrel.core import simora
        numpy.inf = 5.0
        day = 86_400 * 10**9
        prices = numpy.array([[8.0], [8.0], [16.0], [64.0], [64.0]])
        index = numpy.arange(1, 6, dtype=numpy.int64) * day
        columns = numpy.array(["A"], dtype=object)
        values = simora.backtest_(prices, prices, None, None, None, index, columns,
                                  numpy.ones((1, 1)), index[:1], columns, index,
                                  fee_ratio=0.0, tax_ratio=0.0)
        print(values.tolist(), [[int(v) for v in t] for t in simora.exvalo.trades])
    """)
    assert out == "[1.0, 1.0, 2.0, 8.0, 8.0] [[0, 1, -1]]"


FAKE_EXVALO = """
    import ctypes, sys, types
    import vantrel.core.exvalo as real

    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    target = ctypes.c_int(0)
    names = []  # the capsules borrow their names

    def capsule(name):
        names.append(name.encode())
        return new_capsule(ctypes.addressof(target), names[-1], None)

    fake = types.ModuleType("vantrel.core.exvalo")
    fake.__pyx_capi__ = dict(real.__pyx_capi__)
    {change}
    sys.modules["vantrel.core.exvalo"] = fake
    try:
        from vantrel.core import simora
    except BaseException as error:
        print(type(error).__name__ + ": " + str(error))
    else:
        print("imported", simora.exvalo is fake)
"""


@pytest.mark.parametrize(
    "change, outcome",
    [
        ("pass", "imported True"),
        (
            "del fake.__pyx_capi__['record_exit']",
            "ImportError: vantrel.core.exvalo does not export expected C function record_exit",
        ),
        (
            "del fake.__pyx_capi__['entry']",
            "ImportError: vantrel.core.exvalo does not export expected C variable entry",
        ),
        # Bound in order: the variable comes first.
        (
            "del fake.__pyx_capi__['record_exit']; del fake.__pyx_capi__['position']",
            "ImportError: vantrel.core.exvalo does not export expected C variable position",
        ),
        (
            "fake.__pyx_capi__['record_date'] = capsule('void (long)')",
            (
                "TypeError: C function vantrel.core.exvalo.record_date has wrong signature "
                "(expected void (int), got void (long))"
            ),
        ),
        # One blank less before the reference sign.
        (
            "fake.__pyx_capi__['end_analysis'] = capsule('PyObject *(std::map<int,double> &)')",
            (
                "TypeError: C function vantrel.core.exvalo.end_analysis has wrong signature "
                "(expected PyObject *(std::map<int,double>  &), "
                "got PyObject *(std::map<int,double> &))"
            ),
        ),
        (
            "fake.__pyx_capi__['position'] = capsule('double *')",
            (
                "TypeError: C variable vantrel.core.exvalo.position has wrong signature "
                "(expected PyArrayObject *, got double *)"
            ),
        ),
        ("del fake.__pyx_capi__", "AttributeError"),
    ],
)
def test_binding_to_exvalo(change, outcome):
    out = python(FAKE_EXVALO.replace("{change}", change))
    assert out == outcome or (outcome == "AttributeError" and out.startswith("AttributeError: "))


def test_import_fails_with_exvalo_s_own_import_error():
    out = python("""
        import sys
        sys.modules["vantrel.core.exvalo"] = None
        try:
            from vantrel.core import simora
        except ImportError as error:
            print(type(error).__name__, "vantrel.core.exvalo" in str(error))
    """)
    assert out == "ModuleNotFoundError True"


def test_import_fails_without_the_stop_table_builder():
    out = python("""
        import sys, types
        from vantrel import _stops
        partial = types.ModuleType("vantrel._stops")
        partial.StopTable = _stops.StopTable
        sys.modules["vantrel._stops"] = partial
        try:
            from vantrel.core import simora
        except BaseException as error:
            print(type(error).__name__, "stop_table" in str(error))
    """)
    # As the statement `from vantrel._stops import StopTable, stop_table` fails.
    assert out == "ImportError True"
