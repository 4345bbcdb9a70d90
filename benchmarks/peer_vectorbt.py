"""Runs a benchmark workload on vectorbt in every faithful configuration; executed in
vectorbt's own venv.

Usage: python peer_vectorbt.py WORKLOAD.npz REPEATS [CONFIG,...]

Reads the workload the runner wrote. A rebalanced book comes as trading prices,
closes, target-percent orders (NaN off the rebalance bars) and the fee; every
order configuration computes the same thing: a cash-sharing book of all stocks,
orders at the open of the rebalance bars sized as a percentage of the value at
that open, sells before buys, valued at the close on every bar. A book with stops
comes as entry signals, entry values, highs and lows and the stop levels; the
signal configurations buy at the open and leave at a stop level touched within a
bar (or at the open when it gaps through). A stop sweep comes as that book with
several stop-loss levels (``sl_stops``); the sweep configurations give one value
series per level, in one broadcast call or in a call per level. Every configuration's output is the
whole value series. Prints one JSON object: per configuration the first call (JIT
compile included when the numba cache is empty), the median and spread of the
steady calls, and the final value with the fee and without it.
"""

from __future__ import annotations

import json
import statistics
import sys
import time
from collections.abc import Callable

import numpy as np

_t0 = time.perf_counter()
import vectorbt as vbt  # noqa: E402
from numba import njit  # noqa: E402
from vectorbt.portfolio import nb as pnb  # noqa: E402
from vectorbt.portfolio.enums import Direction, SizeType  # noqa: E402

IMPORT_S = time.perf_counter() - _t0
# A configuration's steady calls stop early once they have used this much time: the
# slowest ones take tens of seconds per call on the large workload.
TIME_BUDGET_S = 20.0


def rust_version() -> str | None:
    try:
        import vectorbt_rust
    except ImportError:
        return None
    return vectorbt_rust.__version__


class Workload:
    def __init__(self, archive) -> None:
        self.open = archive["open"]
        self.close = archive["close"]
        if "entries" in archive:
            self.entries = archive["entries"]
            self.size = archive["size"]
            self.high = archive["high"]
            self.low = archive["low"]
            self.sl_stop = float(archive["sl_stop"])
            self.tp_stop = float(archive["tp_stop"])
            self.sl_stops = archive.get("sl_stops", None)
            return
        self.orders = archive["orders"]
        self.rebalance = np.isfinite(self.orders).any(axis=1)
        # One row of targets per rebalance bar, and the row of every bar (-1: none).
        self.targets = np.ascontiguousarray(self.orders[self.rebalance])
        self.row_of_bar = np.full(self.orders.shape[0], -1, dtype=np.int64)
        self.row_of_bar[self.rebalance] = np.arange(self.targets.shape[0])
        # Orders happen only on rebalance bars, for stocks held before or targeted there.
        self.max_orders = 2 * int(np.count_nonzero(self.targets)) + 1


# --- from_orders: vectorbt's order-array route ---------------------------------------


def _from_orders(w: Workload, fee: float, engine: str, **how) -> np.ndarray:
    portfolio = vbt.Portfolio.from_orders(
        close=w.close,
        price=w.open,
        fees=fee,
        init_cash=1.0,
        min_size=0.0,
        cash_sharing=True,
        group_by=True,
        engine=engine,
        max_orders=w.max_orders,
        **how,
    )
    return np.asarray(portfolio.value())


def orders_nan_auto(w: Workload, fee: float, engine: str) -> np.ndarray:
    """NaN (no order) off the rebalance bars; vectorbt sorts every bar's orders."""
    return _from_orders(w, fee, engine, size=w.orders, size_type="targetpercent", call_seq="auto")


def orders_zero_auto(w: Workload, fee: float, engine: str) -> np.ndarray:
    """Zero-amount orders off the rebalance bars, so the per-bar sort has nothing to move."""
    size = np.where(np.isfinite(w.orders), w.orders, 0.0)
    size_type = np.where(w.rebalance, SizeType.TargetPercent, SizeType.Amount)[:, None]
    return _from_orders(w, fee, engine, size=size, size_type=size_type, call_seq="auto")


def orders_presorted(w: Workload, fee: float, engine: str) -> np.ndarray:
    """The order of calls computed once, outside: on a rebalance bar, stocks whose target
    weight falls go first (exits first of all), those whose weight rises go last. The
    sort sees target weights, not the drifted holdings, so it is only right while the
    cash freed before each buy covers it; the agreement check says whether it was."""
    n_bars, n_stocks = w.orders.shape
    call_seq = np.broadcast_to(np.arange(n_stocks, dtype=np.int64), (n_bars, n_stocks)).copy()
    previous = np.zeros(n_stocks)
    for bar in np.flatnonzero(w.rebalance):
        target = w.orders[bar]
        call_seq[bar] = np.argsort(target - previous, kind="stable")
        previous = target
    return _from_orders(w, fee, engine, size=w.orders, size_type="targetpercent", call_seq=call_seq)


# --- order functions: vectorbt's callback route, restricted to the rebalance bars -------


@njit(cache=True)
def _value_at_open(c, open_):
    # Size the targets on the value at this bar's open, as from_orders does when the
    # valuation price is the order price.
    for col in range(c.from_col, c.to_col):
        c.last_val_price[col] = open_[c.i, col]


@njit(cache=True)
def _pre_segment_sorted(c, open_, targets, row_of_bar, order_value_out):
    _value_at_open(c, open_)
    pnb.sort_call_seq_nb(
        c,
        targets[row_of_bar[c.i]],
        np.asarray(SizeType.TargetPercent),
        np.asarray(Direction.Both),
        order_value_out[: c.to_col - c.from_col],
        ctx_select=False,
    )
    return ()


@njit(cache=True)
def _target_order(c, open_, targets, row_of_bar, fee):
    return pnb.order_nb(
        size=targets[row_of_bar[c.i], c.col],
        price=open_[c.i, c.col],
        size_type=SizeType.TargetPercent,
        direction=Direction.Both,
        fees=fee,
    )


@njit(cache=True)
def _record_value(c, out):
    out[c.i] = c.last_value[c.group]


def order_func(w: Workload, fee: float, engine: str) -> np.ndarray:
    """from_order_func: segments only on rebalance bars, sells sorted first in the
    pre-segment callback, the value recorded after every bar by a post-segment callback."""
    out = np.full(w.close.shape[0], np.nan)
    order_value = np.empty(w.close.shape[1])
    vbt.Portfolio.from_order_func(
        w.close,
        _target_order,
        w.open,
        w.targets,
        w.row_of_bar,
        fee,
        init_cash=1.0,
        cash_sharing=True,
        group_by=True,
        segment_mask=w.rebalance[:, None],
        pre_segment_func_nb=_pre_segment_sorted,
        pre_segment_args=(w.open, w.targets, w.row_of_bar, order_value),
        call_post_segment=True,
        post_segment_func_nb=_record_value,
        post_segment_args=(out,),
        fill_pos_record=False,
        max_orders=w.max_orders,
    )
    return out


@njit(cache=True)
def _pre_segment_sparse(c, open_, targets, row_of_bar, plan, plan_len, order_value):
    """Lists the stocks to trade (held or targeted), sells first, by approximate order value."""
    _value_at_open(c, open_)
    value = pnb.get_group_value_ctx_nb(c)
    row = targets[row_of_bar[c.i]]
    n = 0
    for col in range(c.from_col, c.to_col):
        if c.last_position[col] != 0.0 or row[col] != 0.0:
            plan[n] = col
            order_value[n] = row[col] * value - c.last_position[col] * c.last_val_price[col]
            n += 1
    order = np.argsort(order_value[:n], kind="mergesort")
    plan[:n] = plan[:n][order]
    plan_len[0] = n
    return ()


@njit(cache=True)
def _flex_target_order(c, open_, targets, row_of_bar, plan, plan_len, fee):
    if c.call_idx >= plan_len[0]:
        return -1, pnb.order_nothing_nb()
    col = plan[c.call_idx]
    return col, pnb.order_nb(
        size=targets[row_of_bar[c.i], col],
        price=open_[c.i, col],
        size_type=SizeType.TargetPercent,
        direction=Direction.Both,
        fees=fee,
    )


def _flex_arguments(w: Workload):
    n_stocks = w.close.shape[1]
    return (np.empty(n_stocks, dtype=np.int64), np.zeros(1, dtype=np.int64), np.empty(n_stocks))


def flex_order_func(w: Workload, fee: float, engine: str) -> np.ndarray:
    """from_order_func(flexible=True): as order_func, but only the held and targeted stocks
    get an order call, in a sells-first plan made once per rebalance bar."""
    out = np.full(w.close.shape[0], np.nan)
    plan, plan_len, order_value = _flex_arguments(w)
    vbt.Portfolio.from_order_func(
        w.close,
        _flex_target_order,
        w.open,
        w.targets,
        w.row_of_bar,
        plan,
        plan_len,
        fee,
        flexible=True,
        init_cash=1.0,
        cash_sharing=True,
        group_by=True,
        segment_mask=w.rebalance[:, None],
        pre_segment_func_nb=_pre_segment_sparse,
        pre_segment_args=(w.open, w.targets, w.row_of_bar, plan, plan_len, order_value),
        call_post_segment=True,
        post_segment_func_nb=_record_value,
        post_segment_args=(out,),
        fill_pos_record=False,
        max_orders=w.max_orders,
    )
    return out


def flex_simulate_nb(w: Workload, fee: float, engine: str) -> np.ndarray:
    """The same flexible simulation called directly on vectorbt's numba kernel, without
    building a Portfolio (no pandas wrapping of the inputs)."""
    out = np.full(w.close.shape[0], np.nan)
    plan, plan_len, order_value = _flex_arguments(w)
    n_bars, n_stocks = w.close.shape
    pnb.flex_simulate_nb(
        (n_bars, n_stocks),
        np.array([n_stocks], dtype=np.int64),
        np.array([1.0]),
        True,
        segment_mask=w.rebalance[:, None],
        call_post_segment=True,
        pre_segment_func_nb=_pre_segment_sparse,
        pre_segment_args=(w.open, w.targets, w.row_of_bar, plan, plan_len, order_value),
        post_segment_func_nb=_record_value,
        post_segment_args=(out,),
        flex_order_func_nb=_flex_target_order,
        flex_order_args=(w.open, w.targets, w.row_of_bar, plan, plan_len, fee),
        close=w.close,
        fill_pos_record=False,
        max_orders=w.max_orders,
    )
    return out


# --- from_signals: vectorbt's signal route, the one with stops ----------------------


def signals_with_stops(w: Workload, fee: float, engine: str) -> np.ndarray:
    """from_signals: entries at the open valued in cash, stop-loss and take-profit on the
    fill price, tested on each later bar's open, high and low, filled at the level (or the
    open when the bar gaps through it)."""
    portfolio = vbt.Portfolio.from_signals(
        close=w.close,
        entries=w.entries,
        exits=False,
        price=w.open,
        open=w.open,
        high=w.high,
        low=w.low,
        size=w.size,
        size_type="value",
        direction="longonly",
        sl_stop=w.sl_stop,
        tp_stop=w.tp_stop,
        stop_entry_price="fillprice",
        stop_exit_price="stopmarket",
        fees=fee,
        init_cash=1.0,
        cash_sharing=True,
        group_by=True,
        engine=engine,
    )
    return np.asarray(portfolio.value())


def signals_stop_sweep(w: Workload, fee: float, engine: str) -> np.ndarray:
    """from_signals once for every stop-loss level: the book's columns tiled once per
    level, each tile its own cash-sharing group with its level (vectorbt's broadcasting
    of a parameter), the others as in from_signals_stops."""
    levels = len(w.sl_stops)
    stocks = w.close.shape[1]

    def tiled(a):
        return np.tile(a, (1, levels))

    portfolio = vbt.Portfolio.from_signals(
        close=tiled(w.close),
        entries=tiled(w.entries),
        exits=False,
        price=tiled(w.open),
        open=tiled(w.open),
        high=tiled(w.high),
        low=tiled(w.low),
        size=np.tile(w.size, levels)[None, :],
        size_type="value",
        direction="longonly",
        sl_stop=np.repeat(w.sl_stops, stocks)[None, :],
        tp_stop=w.tp_stop,
        stop_entry_price="fillprice",
        stop_exit_price="stopmarket",
        fees=fee,
        init_cash=1.0,
        cash_sharing=True,
        group_by=np.repeat(np.arange(levels), stocks),
        engine=engine,
    )
    return np.asarray(portfolio.value())


def signals_stop_loop(w: Workload, fee: float, engine: str) -> np.ndarray:
    """from_signals_stops called once per stop-loss level."""
    out = []
    for level in w.sl_stops:
        w.sl_stop = float(level)
        out.append(signals_with_stops(w, fee, engine))
    return np.column_stack(out)


SWEEP_CONFIGS: dict[str, tuple[str, Callable[[Workload, float, str], np.ndarray]]] = {
    "from_signals_stop_sweep": ("numba", signals_stop_sweep),
    "from_signals_stop_sweep_rust": ("rust", signals_stop_sweep),
    "from_signals_stop_loop": ("numba", signals_stop_loop),
    "from_signals_stop_loop_rust": ("rust", signals_stop_loop),
}

SIGNAL_CONFIGS: dict[str, tuple[str, Callable[[Workload, float, str], np.ndarray]]] = {
    "from_signals_stops": ("numba", signals_with_stops),
    "from_signals_stops_rust": ("rust", signals_with_stops),
}

# name -> (engine, function). Rust runs only the order-array route (no callbacks).
CONFIGS: dict[str, tuple[str, Callable[[Workload, float, str], np.ndarray]]] = {
    "from_orders_nan_auto": ("numba", orders_nan_auto),
    "from_orders_nan_auto_rust": ("rust", orders_nan_auto),
    "from_orders_zero_auto": ("numba", orders_zero_auto),
    "from_orders_zero_auto_rust": ("rust", orders_zero_auto),
    "from_orders_presorted": ("numba", orders_presorted),
    "from_orders_presorted_rust": ("rust", orders_presorted),
    "from_order_func": ("numba", order_func),
    "from_order_func_flexible": ("numba", flex_order_func),
    "flex_simulate_nb": ("numba", flex_simulate_nb),
}


def run_config(name: str, w: Workload, fee: float, repeats: int) -> dict:
    engine, fn = {**CONFIGS, **SIGNAL_CONFIGS, **SWEEP_CONFIGS}[name]
    if engine == "rust" and rust_version() is None:
        return {"error": "vectorbt-rust is not installed"}
    try:
        start = time.perf_counter()
        fn(w, fee, engine)  # compiles the kernels (from the cache when it holds them)
        first = time.perf_counter() - start
        samples: list[float] = []
        spent = 0.0
        values = None
        while len(samples) < repeats and (not samples or spent < TIME_BUDGET_S):
            start = time.perf_counter_ns()
            values = fn(w, fee, engine)
            samples.append((time.perf_counter_ns() - start) * 1e-9)
            spent += samples[-1]
        no_fee = fn(w, 0.0, engine)
    except Exception as exc:  # a configuration this version cannot run is reported, not fatal
        return {"error": f"{type(exc).__name__}: {exc}".splitlines()[0]}
    samples.sort()
    return {
        "engine": engine,
        "description": " ".join(fn.__doc__.split()),
        "first_call_s": first,
        "median_s": statistics.median(samples),
        "min_s": samples[0],
        "max_s": samples[-1],
        "repeats": len(samples),
        "final_value_with_fee": float(np.ravel(values[-1])[0]),
        "final_value_no_fee": float(np.ravel(no_fee[-1])[0]),
        # A sweep's final value of every level, without the fee.
        **({"final_values_no_fee": [float(v) for v in np.ravel(no_fee[-1])]} if np.ndim(no_fee) == 2 else {}),
        "values_finite": bool(np.isfinite(values).all()),
    }


def main() -> None:
    path, repeats = sys.argv[1], int(sys.argv[2])
    with np.load(path) as archive:
        w = Workload(archive)
        fee = float(archive["fee"])
    if getattr(w, "sl_stops", None) is not None:
        known = SWEEP_CONFIGS
    else:
        known = SIGNAL_CONFIGS if hasattr(w, "entries") else CONFIGS
    asked = sys.argv[3].split(",") if len(sys.argv) > 3 and sys.argv[3] else list(known)
    # Names of the other route's configurations are for the other kind of workload.
    names = [n for n in asked if n in known]
    unknown = [n for n in asked if n not in CONFIGS and n not in SIGNAL_CONFIGS and n not in SWEEP_CONFIGS]
    if unknown:
        sys.exit(
            f"unknown vectorbt configuration(s): {', '.join(unknown)}; known: {', '.join([*CONFIGS, *SIGNAL_CONFIGS])}"
        )
    names = names or list(known)
    results = {}
    for name in names:
        results[name] = run_config(name, w, fee, repeats)
        print(f"{name}: {results[name]}", file=sys.stderr, flush=True)
    import numba

    print(
        json.dumps(
            {
                "version": vbt.__version__,
                "numba": numba.__version__,
                "rust": rust_version(),
                "import_s": IMPORT_S,
                "configs": results,
            }
        )
    )


if __name__ == "__main__":
    main()
