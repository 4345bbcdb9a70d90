"""The one place that calls the native backtest engine.

The package runs the engine's array entry (``vantrel.core._engine``): it keeps no
state between runs and releases the GIL for the bar loop, so threads of one
process can run backtests side by side on shared, read-only market arrays.
Everything it is handed has been checked here already; it checks only shapes.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from vantrel.core._engine import RunResult


def run_engine(**arrays_and_options) -> RunResult:
    """One run of the array entry, with the keyword arguments its stub lists."""
    from vantrel.core import _engine

    return _engine.run(**arrays_and_options)


def run_engine_batch(variants: list[dict], *, threads: int | None = None) -> list[RunResult | BaseException]:
    """Many runs of the array entry in one call: the arguments all variants share
    (the same objects) are handed over once, each variant's own on top. Each gets
    its RunResult or the exception its run raised, in order."""
    from vantrel.core import _engine

    if not variants:
        return []
    first = variants[0]
    shared = {name: value for name, value in first.items() if all(v.get(name, _MISSING) is value for v in variants)}
    own = [{name: value for name, value in v.items() if name not in shared} for v in variants]
    # An argument only some variants give (a stop table) is left out of the others: the entry's default.
    return _engine.run_batch(shared, own, threads=threads)


_MISSING = object()


def exit_reason_names() -> tuple[str, ...]:
    """Exit reasons by code, as the engine names them."""
    from vantrel.core import _engine

    return _engine.EXIT_REASONS


def action_names() -> tuple[str, ...]:
    """Pending actions by code, as the engine names them (code 0: nothing pending)."""
    from vantrel.core import _engine

    return _engine.ACTIONS


def fill_reason_names() -> tuple[str, ...]:
    """Why fills happened, by code, as the engine names them."""
    from vantrel.core import _engine

    return _engine.FILL_REASONS


def cost_kind_names() -> tuple[str, ...]:
    """The columns of the engine's costs per bar."""
    from vantrel.core import _engine

    return _engine.COST_KINDS
