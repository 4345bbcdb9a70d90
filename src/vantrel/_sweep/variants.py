"""The variants of a sweep: parameter sets from a grid, a list or a table, and who receives each parameter."""

from __future__ import annotations

import inspect
import itertools
from collections.abc import Iterable, Mapping

import numpy as np
import pandas as pd

from .._backtest import backtest
from .._checks import preview

__all__ = ["BACKTEST_OPTIONS", "check_parameter_names", "expand_variants", "split_parameters"]

# Every keyword option of ``backtest``: a parameter with one of these names goes
# to the engine, any other to the strategy.
BACKTEST_OPTIONS = frozenset(
    name for name, p in inspect.signature(backtest).parameters.items() if p.kind is p.KEYWORD_ONLY
)

# Values of a grid that are axes to combine; anything else (a number, a string,
# a per-stock Series of stop levels) is one fixed value.
_AXES = (list, tuple, range, np.ndarray)


def expand_variants(params) -> tuple[list[str], list[dict]]:
    """Parameter names and parameter sets, in order, from a grid, an iterable of dicts or a DataFrame.

    A grid (dict) combines its axes like ``itertools.product``: the first name
    varies slowest. A DataFrame gives one parameter set per row. The names are
    those of the grid or table even when they give no variant.
    """
    if isinstance(params, pd.DataFrame):
        names = list(params.columns)
        variants = [dict(zip(names, row, strict=True)) for row in params.itertuples(index=False, name=None)]
    elif isinstance(params, Mapping):
        names = list(params)
        axes = [_axis(name, params[name]) for name in names]
        variants = [dict(zip(names, combination, strict=True)) for combination in itertools.product(*axes)]
    elif isinstance(params, Iterable) and not isinstance(params, (str, bytes)):
        variants = []
        for number, variant in enumerate(params):
            if not isinstance(variant, Mapping):
                raise TypeError(f"parameter set {number} must be a dict, got {type(variant).__name__}")
            variants.append(dict(variant))
        names = list(dict.fromkeys(name for variant in variants for name in variant))
    else:
        raise TypeError(f"params must be a grid (dict), a list of dicts or a DataFrame, got {type(params).__name__}")
    bad = [repr(name) for name in names if not isinstance(name, str)]
    if bad:
        raise TypeError(f"parameter names must be strings, got {preview(bad, quote=False)}")
    return names, variants


def _axis(name: str, values) -> list:
    if not isinstance(values, _AXES):
        return [values]
    if isinstance(values, np.ndarray):
        if values.ndim != 1:
            raise ValueError(f"grid axis {name!r} must be one-dimensional, got shape {values.shape}")
        return values.tolist()
    return list(values)


def check_parameter_names(names: list[str], options: Mapping, strategy) -> None:
    """Refuse names that nothing would accept, before any variant runs.

    Bad values are the business of each variant (they become error rows); a
    name that neither the engine nor the strategy takes would fail every one.
    """
    unknown_options = [name for name in options if name not in BACKTEST_OPTIONS]
    if unknown_options:
        raise ValueError(f"options are not backtest options: {preview(unknown_options)}")
    others = [name for name in names if name not in BACKTEST_OPTIONS]
    if not others:
        return
    if strategy is None:
        raise ValueError(f"parameters that are not backtest options need a strategy to receive them: {preview(others)}")
    accepted = _keyword_names(strategy)
    if accepted is not None:
        refused = [name for name in others if name not in accepted]
        if refused:
            raise ValueError(f"the strategy does not take the parameters {preview(refused)}")


def _keyword_names(function) -> set[str] | None:
    """Names the function takes by keyword; None when it takes any (or cannot be inspected)."""
    try:
        parameters = list(inspect.signature(function).parameters.values())
    except (TypeError, ValueError):
        return None
    if any(p.kind is p.VAR_KEYWORD for p in parameters):
        return None
    return {p.name for p in parameters[1:] if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}


def split_parameters(variant: Mapping) -> tuple[dict, dict]:
    """(backtest options, strategy parameters) of one variant."""
    engine = {name: value for name, value in variant.items() if name in BACKTEST_OPTIONS}
    strategy = {name: value for name, value in variant.items() if name not in BACKTEST_OPTIONS}
    return engine, strategy
