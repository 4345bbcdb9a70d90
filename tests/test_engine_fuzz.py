"""Hostile calls never crash the engine: valid runs, mutated, must return or raise a Python exception.

Each case takes a seeded random scenario (sometimes with one of its own
deliberate faults) and applies one to three further mutations: views with odd
strides, other element types, shapes off by one, extreme numbers, labels that
are not text, out-of-range bars. Both engine entries get the same call. A
crash shows up as a dead test process (and, in the sanitizer build, as the
sanitizer's report of the bad access).

VANTREL_FUZZ_RUNS sets the number of cases (default 200; CI's sanitizer step
runs more); VANTREL_FUZZ_SEED replays one case.
"""

from __future__ import annotations

import os
import warnings

import numpy as np
import pytest

from engine_builders import package_arguments
from reference.scenarios import make_scenario
from vantrel._stops import StopTable
from vantrel.core import simora

try:
    from vantrel.core import _engine
except ImportError:  # a build without the package's own entry
    _engine = None

RUNS = int(os.environ.get("VANTREL_FUZZ_RUNS", "200"))
REPLAY = os.environ.get("VANTREL_FUZZ_SEED")
FIRST_SEED = 500_000  # clear of the seeds the differential test uses
BATCH = 50

MATRICES = (0, 1, 2, 3, 4, 7)  # price, close, high, low, open, weights
VECTORS = (5, 8, 10)  # price index, signal dates, calendar
LABELS = (6, 9)
EXTREMES = [0.0, -0.0, 5e-324, -1e308, 1e308, np.inf, -np.inf, np.nan]
BIG_INTS = [-1, -(2**31), 2**31, 2**62, -(2**63), 2**63 - 1]


def _pick(rng, options: list):
    return options[int(rng.integers(len(options)))]


def _mutate(rng, args: list, kwargs: dict) -> str:
    """One hostile change to a call, in place; returns what it did."""
    kind = rng.integers(12)
    i = int(rng.choice([k for k in MATRICES + VECTORS if isinstance(args[k], np.ndarray)] or [0]))
    a = args[i]
    if kind == 0 and isinstance(a, np.ndarray) and a.size:  # odd strides: reversed, or every other element
        args[i] = a[::-1] if rng.random() < 0.5 else np.repeat(a, 2, axis=0)[::2][: a.shape[0]]
        if a.ndim == 2 and rng.random() < 0.5:
            args[i] = args[i][:, ::-1]
        return f"arg {i} strided"
    if kind == 1 and isinstance(a, np.ndarray):
        dtype = rng.choice(["float32", "int64", "int8", "bool", "complex128", "object", "M8[ns]", "U3"])
        try:
            args[i] = a.astype(dtype)
        except (TypeError, ValueError):
            args[i] = np.zeros(a.shape, dtype=dtype)
        return f"arg {i} as {dtype}"
    if kind == 2 and isinstance(a, np.ndarray):  # one element more or less along an axis
        axis = int(rng.integers(a.ndim)) if a.ndim else 0
        if a.ndim and a.shape[axis] and rng.random() < 0.5:
            args[i] = np.delete(a, -1, axis=axis)
        elif a.ndim:
            args[i] = np.concatenate(
                [a, np.take(a, [0] if a.shape[axis] else [], axis=axis) if a.shape[axis] else np.zeros_like(a)],
                axis=axis,
            )
        return f"arg {i} resized"
    if kind == 3 and isinstance(a, np.ndarray):
        args[i] = _pick(rng, [np.float64(1.0), a.reshape(1, *a.shape), np.empty((0,) * max(a.ndim, 1))])
        return f"arg {i} reshaped"
    if kind == 4 and isinstance(a, np.ndarray) and a.size and a.dtype == np.float64:
        a = args[i] = a.copy()
        a.flat[rng.integers(a.size, size=max(1, a.size // 10))] = rng.choice(EXTREMES)
        return f"arg {i} extremes"
    if kind == 5 and isinstance(a, np.ndarray) and a.size and a.dtype == np.int64:
        a = args[i] = a.copy()
        a.flat[int(rng.integers(a.size))] = rng.choice(BIG_INTS)
        return f"arg {i} huge timestamp"
    if kind == 6:
        j = int(rng.choice(LABELS))
        labels = list(args[j]) if isinstance(args[j], np.ndarray) else []
        if labels:
            labels[int(rng.integers(len(labels)))] = _pick(
                rng, [1, None, b"S0", "\udcff", "S" * 10_000, "", "S0\x00", 2.5]
            )
        args[j] = np.array(labels + ([] if labels else ["S0"]), dtype=object)
        return f"labels {j}"
    if kind == 7:
        name = str(rng.choice(["exvalo_window", "exvalo_window_step"]))
        # No window the machine cannot hold (2**31 - 1 asks for 96 GiB per trade): under
        # AddressSanitizer an impossible allocation ends the process instead of raising MemoryError.
        kwargs[name] = int(rng.choice([-3, 0, 1, 7, 2**31, -(2**31), 2**62]))
        return f"{name}={kwargs[name]}"
    if kind == 8:
        n = int(rng.integers(0, 6))
        kwargs["delisting_bars"] = rng.choice(np.array([*BIG_INTS, 0, 3], dtype=np.int64), size=n)
        return "delisting bars out of range"
    if kind == 9:
        n_bars = args[5].size if isinstance(args[5], np.ndarray) else 0
        rows = rng.integers(-2, 4, size=max(0, n_bars + int(rng.integers(-1, 2)))).astype(np.int64)
        table = StopTable(np.full((2, 3), 0.1), np.zeros(0, dtype=np.int64))
        table.values = _pick(
            rng, [np.full((2, 3), 0.1), np.full((0, 3), 0.1), np.full((2, 0), 0.1), np.full((2, 3), np.nan)]
        )
        table.rows = rows
        kwargs[str(rng.choice(["stop_loss", "take_profit"]))] = table
        return "stop table rows out of range"
    if kind == 10:
        name = str(
            rng.choice(
                [
                    "fee_ratio",
                    "tax_ratio",
                    "trail_stop",
                    "trail_stop_activation",
                    "position_limit",
                    "stop_loss",
                    "take_profit",
                ]
            )
        )
        kwargs[name] = _pick(rng, [*EXTREMES, np.array(0.1), "0.1", None])
        return f"{name} extreme"
    args[int(rng.integers(len(args)))] = _pick(rng, [None, 0, "x", [], np.empty(0)])
    return "argument replaced"


def _case(seed: int):
    scenario = make_scenario(seed, fault_share=0.3, edge_share=0.3)
    rng = np.random.default_rng(seed)
    with warnings.catch_warnings(), np.errstate(all="ignore"):  # NaN cast to integers, on purpose
        warnings.simplefilter("ignore")
        done = [_mutate(rng, scenario.args, scenario.kwargs) for _ in range(int(rng.integers(1, 4)))]
    return scenario, done


def _call(entry, args, kwargs):
    try:
        result = entry(*args, **kwargs)
    except SystemError:  # a native function that failed without saying why, or succeeded with an error set
        raise
    except Exception:
        return None
    return result


def _check(seed: int) -> None:
    scenario, done = _case(seed)
    label = f"seed {seed}: {scenario.describe()}; {'; '.join(done)}"
    values = _call(simora.backtest_, scenario.args, scenario.kwargs)
    if values is not None:
        assert isinstance(values, np.ndarray) and values.dtype == np.float64 and values.ndim == 1, label
    if _engine is not None:
        rng = np.random.default_rng(seed)
        try:
            arguments = package_arguments(*scenario.args, **scenario.kwargs)
        except Exception:
            return  # not expressible as an array-entry call
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")  # casts of extreme values overflow, on purpose
            for _ in range(int(rng.integers(0, 3))):
                _mutate_entry_call(rng, arguments)
        out = _call(_engine.run, (), arguments)
        if out is not None:
            assert isinstance(out, _engine.RunResult) and isinstance(out.values, np.ndarray), label


def _mutate_entry_call(rng, kw: dict) -> None:
    """One hostile change to an array-entry call: indices out of range, shapes and dtypes
    off, arrays left out, NaN and infinite levels."""
    kind = int(rng.integers(6))
    columns = kw.get("stock_columns")
    if kind == 0 and isinstance(columns, np.ndarray) and columns.ndim == 1 and len(columns):
        width = kw["prices"].shape[-1] if isinstance(kw.get("prices"), np.ndarray) else 0
        kw["stock_columns"] = columns.copy()
        kw["stock_columns"][rng.integers(len(columns))] = _pick(rng, [-1, 2**31, width])
    elif kind == 1 and isinstance(kw.get("stop_loss_rows"), np.ndarray) and kw["stop_loss_rows"].ndim == 1:
        kw["stop_loss_rows"] = kw["stop_loss_rows"].copy()
        if len(kw["stop_loss_rows"]):
            kw["stop_loss_rows"][rng.integers(len(kw["stop_loss_rows"]))] = _pick(rng, [-1, 2**40])
    elif kind == 2:
        name = _pick(rng, ["bar_dates", "weight_dates", "stock_columns", "calendar", "delisting_bars"])
        if isinstance(kw.get(name), np.ndarray):
            kw[name] = kw[name][:-1] if rng.random() < 0.5 else kw[name].astype(_pick(rng, ["int32", "float64"]))
    elif kind == 3:
        name = _pick(rng, ["prices", "close", "weights", "stop_loss", "take_profit", "high"])
        array = kw.get(name)
        if isinstance(array, np.ndarray):
            kw[name] = _pick(rng, [array.T, array[..., :-1], array.ravel(), array.astype(np.float32)])
    elif kind == 4:
        kw.pop(_pick(rng, ["prices", "stop_loss_rows", "take_profit", "calendar"]), None)
    elif kind == 5:
        for name in ("stop_loss", "take_profit"):
            if isinstance(kw.get(name), np.ndarray) and kw[name].size:
                kw[name] = kw[name].copy()
                kw[name].flat[rng.integers(kw[name].size)] = _pick(rng, EXTREMES)


def _batches():
    if REPLAY is not None:
        return [(int(REPLAY), int(REPLAY) + 1)]
    return [(start, min(start + BATCH, FIRST_SEED + RUNS)) for start in range(FIRST_SEED, FIRST_SEED + RUNS, BATCH)]


@pytest.mark.parametrize("seeds", _batches(), ids=lambda seeds: f"seeds {seeds[0]}-{seeds[1] - 1}")
def test_hostile_calls_return_or_raise(seeds):
    for seed in range(*seeds):
        _check(seed)
