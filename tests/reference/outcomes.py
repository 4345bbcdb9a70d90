"""Everything a backtest call leaves observable, captured from an engine module, and
the differences between two such captures (floats to the bit, NaN equal to NaN)."""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass

import numpy as np


@dataclass
class Outcome:
    error: tuple | None = None
    values: np.ndarray | None = None
    operations: dict | None = None
    settings: tuple | None = None
    trades: list | None = None
    trade_positions: list | None = None
    statistics: list | None = None
    records: list | None = None


def capture(engine, session, scenario) -> Outcome:
    """Run `scenario` on `engine` (a module-like object with backtest_, get_stock_operations
    and get_trade_stocks) whose excursion lists live on `session`."""
    try:
        values = engine.backtest_(*scenario.args, **scenario.kwargs)
    except Exception as exc:  # the error and what the failed run left behind are observable
        return Outcome(error=(type(exc), str(exc)), **_module_state(engine, session))
    touched = bool(scenario.kwargs.get("touched_exit", False))
    records, _ = engine.get_trade_stocks(scenario.args[9], scenario.args[5], touched)
    return Outcome(values=values, records=records, **_module_state(engine, session))


def _module_state(engine, session) -> dict:
    return dict(
        operations=engine.get_stock_operations(),
        settings=(engine.RETAIN_COST_WHEN_REBALANCE, engine.RESAMPLE),
        trades=[list(t) for t in session.trades],
        trade_positions=list(session.trade_positions),
        statistics=list(session.exvalo),
    )


def _bits(x: float) -> bytes:
    return struct.pack("<d", x)


def same_float(a, b) -> bool:
    a, b = float(a), float(b)
    return _bits(a) == _bits(b) or (math.isnan(a) and math.isnan(b))


def same_value(a, b, strict_types: bool = True) -> bool:
    if strict_types and type(a) is not type(b):
        return False
    if isinstance(a, (float, np.floating)) or isinstance(b, (float, np.floating)):
        return same_float(a, b)
    return bool(a == b)


def same_array(a, b) -> bool:
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    return all(same_float(x, y) for x, y in zip(a.tolist(), b.tolist(), strict=True))


def _diff_dict(name, a, b, out):
    if list(a) != list(b):
        out.append(f"{name} keys {list(a)} != {list(b)}")
        return
    for key in a:
        x, y = a[key], b[key]
        if isinstance(x, dict) and isinstance(y, dict):
            _diff_dict(f"{name}[{key!r}]", x, y, out)
        elif not same_value(x, y):
            out.append(f"{name}[{key!r}] {x!r} != {y!r}")


def _diff_rows(name, a, b, out, strict_types=True):
    if len(a) != len(b):
        out.append(f"{name}: {len(a)} != {len(b)} entries")
        return
    for i, (x, y) in enumerate(zip(a, b, strict=True)):
        if isinstance(x, np.ndarray) or isinstance(y, np.ndarray):
            ok = same_array(x, y)
        elif isinstance(x, list) and isinstance(y, list):
            ok = len(x) == len(y) and all(same_value(p, q, strict_types) for p, q in zip(x, y, strict=True))
        else:
            ok = same_value(x, y, strict_types)
        if not ok:
            out.append(f"{name}[{i}] {x!r} != {y!r}")
            return


def differences(native: Outcome, reference: Outcome) -> list[str]:
    """Readable differences, native first; empty when both calls agree."""
    out: list[str] = []
    if native.error != reference.error:
        out.append(f"error {native.error!r} != {reference.error!r}")
        return out
    if native.error is None and not same_array(native.values, reference.values):
        bad = [
            i
            for i, (x, y) in enumerate(zip(native.values.tolist(), reference.values.tolist(), strict=False))
            if not same_float(x, y)
        ]
        first = bad[0] if bad else None
        out.append(
            f"value series differ at {len(bad)} bars, first {first}: "
            f"{native.values[first]!r} != {reference.values[first]!r}"
            if bad
            else "value series shape/dtype differ"
        )
    if native.settings != reference.settings:
        out.append(f"settings {native.settings} != {reference.settings}")
    _diff_dict("stock_operations", native.operations, reference.operations, out)
    _diff_rows("trades", native.trades, reference.trades, out)
    _diff_rows("trade_positions", native.trade_positions, reference.trade_positions, out)
    _diff_rows("exvalo", native.statistics, reference.statistics, out)
    if native.error is None:
        _diff_rows("records", native.records, reference.records, out, strict_types=False)
    return out
