"""Seeded random backtest scenarios: a price table, a position table and options,
sometimes with one deliberate fault. The same seed always gives the same scenario."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from vantrel._stops import StopTable

DAY = 86_400 * 10**9
START = 1_600_000_000 * 10**9

FAULTS = (
    "bad_price",
    "stop_columns",
    "stop_rows_length",
    "stop_row_negative",
    "stop_row_too_big",
    "pos_columns_count",
    "none_array",
    "wrong_dtype",
    "wrong_ndim",
    "touched_without_ohlc",
    "short_close",
    "short_ohlc",
    "short_pos_values",
    "short_delisting",
    "extra_price_labels",
    "no_price_columns",
    "empty_pos_index",
    "window_step_zero",
    "empty_pos_values",
    "label_not_text",
    "stop_not_understood",
    "delisting_dtype",
    "bad_number",
    "bad_window",
)


@dataclass
class Scenario:
    seed: int
    args: list
    kwargs: dict
    notes: list = field(default_factory=list)
    fault: str | None = None

    def describe(self) -> str:
        prices = self.args[0]
        shape = prices.shape if isinstance(prices, np.ndarray) else None
        return f"seed={self.seed} prices={shape} fault={self.fault} {' '.join(self.notes)}"


class _Subclass(np.ndarray):
    """Array subclasses are arrays to the engine."""


def _pick(rng, options, p=None):
    return options[int(rng.choice(len(options), p=p))]


def _prices(rng, n_bars, n_cols, grid):
    if grid:
        # Multiples of 10 around 100 land returns exactly on levels such as 1.1 and 0.9.
        return 100.0 + 10.0 * rng.integers(-3, 4, size=(n_bars, n_cols))
    steps = rng.normal(0.0, _pick(rng, [0.01, 0.03, 0.08]), size=(n_bars, n_cols))
    prices = 100.0 * np.exp(np.cumsum(steps, axis=0))
    return np.round(prices, 2) if rng.random() < 0.5 else prices


def _with_nans(rng, table, share):
    table = table.copy()
    table[rng.random(table.shape) < share] = np.nan
    return table


def _ohlc(rng, price, close, grid):
    if grid:
        ref = np.where(np.isnan(close), price, close)
        open_ = np.where(rng.random(price.shape) < 0.5, ref, _prices(rng, *price.shape, True))
        high = np.fmax(np.fmax(open_, ref), ref + 10.0 * rng.integers(0, 3, size=price.shape))
        low = np.fmin(np.fmin(open_, ref), ref - 10.0 * rng.integers(0, 3, size=price.shape))
    else:
        ref = np.where(np.isnan(close), price, close)
        open_ = ref * (1 + rng.normal(0, 0.02, size=price.shape))
        high = np.fmax(open_, ref) * (1 + np.abs(rng.normal(0, 0.03, size=price.shape)))
        low = np.fmin(open_, ref) * (1 - np.abs(rng.normal(0, 0.03, size=price.shape)))
    if rng.random() < 0.2:  # inconsistent bars: high below the open, low above it
        swap = rng.random(price.shape) < 0.3
        high, low = np.where(swap, low, high), np.where(swap, high, low)
    return high, low, open_


def _weights(rng, n_rows, n_stocks):
    rows = []
    for _ in range(n_rows):
        if rows and rng.random() < 0.25:
            rows.append(rows[-1].copy())
            continue
        w = rng.normal(0.0, _pick(rng, [0.2, 0.5, 1.0]), size=n_stocks)
        if rng.random() < 0.5:
            w = np.abs(w)
        w[rng.random(n_stocks) < 0.3] = 0.0
        if rng.random() < 0.3:
            w = np.round(w, 1)
        rows.append(w)
    return np.array(rows, dtype=np.float64)


def _signal_dates(rng, bars, n_rows):
    n_bars = bars.size
    picked = np.sort(rng.choice(n_bars, size=min(n_rows, n_bars), replace=False))
    dates = bars[picked].copy()
    between = rng.random(dates.size) < 0.3
    dates[between] += DAY // 2  # signals between two bars
    if rng.random() < 0.15:
        dates[0] = bars[0] - 3 * DAY  # a signal before the first bar
    return np.sort(dates)


def _calendar(rng, bars, notes):
    mode = _pick(rng, ["every", "sparse", "shifted", "edges", "empty"], [0.4, 0.25, 0.15, 0.15, 0.05])
    notes.append(f"calendar={mode}")
    if mode == "every":
        return bars.copy()
    if mode == "empty":
        return np.empty(0, dtype=np.int64)
    dates = bars[rng.random(bars.size) < _pick(rng, [0.1, 0.3, 0.6])]
    if mode == "shifted":
        dates = dates + DAY // 3
    if mode == "edges":
        extra = [bars[0] - DAY, bars[-1] + DAY]
        dates = np.concatenate([dates, extra, dates[: rng.integers(0, dates.size + 1)]])
    return np.sort(dates).astype(np.int64)


def _stop(rng, n_bars, n_stocks, default, levels):
    kind = _pick(rng, ["default", "number", "per_stock", "per_bar", "table"], [0.3, 0.35, 0.15, 0.1, 0.1])
    if kind == "default":
        return default, kind
    if kind == "number":
        return _pick(rng, levels), kind
    if kind == "per_stock":
        return np.array([_pick(rng, levels) for _ in range(n_stocks)]), kind
    if kind == "per_bar":
        return rng.choice(np.array(levels, dtype=np.float64), size=(n_bars, n_stocks)), kind
    values = rng.choice(np.array(levels, dtype=np.float64), size=(3, n_stocks))
    return StopTable(values, rng.integers(0, 3, size=n_bars)), kind


def make_scenario(seed: int, fault_share: float = 0.15, edge_share: float = 0.3) -> Scenario:
    rng = np.random.default_rng(seed)
    notes: list[str] = []
    n_stocks = int(rng.integers(1, 9))
    n_bars = int(rng.integers(3, 81))
    grid = rng.random() < 0.4
    touched = rng.random() < 0.4
    notes.append(f"stocks={n_stocks} bars={n_bars} grid={grid} touched={touched}")

    pos_labels = [f"S{i}" for i in range(n_stocks)]
    price_labels = list(pos_labels)
    if rng.random() < 0.3:
        price_labels += ["X0", "X1"][: int(rng.integers(1, 3))]
    rng.shuffle(price_labels)
    if rng.random() < 0.15:
        price_labels.append(str(rng.choice(pos_labels)))  # duplicated label: last one wins
        notes.append("duplicate_label")
    if n_stocks > 1 and rng.random() < 0.1:
        pos_labels[int(rng.integers(n_stocks))] = "UNPRICED"  # priced from column 0
        notes.append("unpriced_column")
    n_cols = len(price_labels)

    bars = START + DAY * np.arange(n_bars, dtype=np.int64)
    price = _prices(rng, n_bars, n_cols, grid)
    close = price.copy() if rng.random() < 0.4 else _prices(rng, n_bars, n_cols, grid)
    if not grid and rng.random() < 0.5:
        close = price * (1 + rng.normal(0, 0.02, size=price.shape))
    nan_share = _pick(rng, [0.0, 0.0, 0.03, 0.15])
    price = _with_nans(rng, price, nan_share)
    close = _with_nans(rng, close, nan_share)
    high, low, open_ = _ohlc(rng, price, close, grid)
    if nan_share:
        high, low, open_ = (_with_nans(rng, t, nan_share / 2) for t in (high, low, open_))
    if rng.random() < 0.2:  # strided views of the caller's buffers
        price, close = np.asfortranarray(price), close[:, ::1].T.copy().T
        notes.append("strided")

    n_rows = int(rng.integers(1, min(n_bars, 12) + 1))
    pos_values = _weights(rng, n_rows, n_stocks)
    pos_index = _signal_dates(rng, bars, n_rows)
    resample = _calendar(rng, bars, notes)

    kwargs: dict = {}
    fees = _pick(rng, ["default", "zero", "random"])
    if fees == "zero":
        kwargs.update(fee_ratio=0.0, tax_ratio=0.0)
    elif fees == "random":
        kwargs.update(fee_ratio=float(rng.uniform(0, 0.01)), tax_ratio=float(rng.uniform(0, 0.01)))
    stop_loss, sl_kind = _stop(rng, n_bars, n_stocks, 1.0, [0.05, 0.1, 0.2, 0.3, -0.1, 1.0])
    take_profit, tp_kind = _stop(rng, n_bars, n_stocks, np.inf, [0.05, 0.1, 0.2, 0.5, np.inf])
    if sl_kind != "default":
        kwargs["stop_loss"] = stop_loss
    if tp_kind != "default":
        kwargs["take_profit"] = take_profit
    notes.append(f"sl={sl_kind} tp={tp_kind}")
    if rng.random() < 0.35:
        kwargs["trail_stop"] = _pick(rng, [0.05, 0.1, -0.1, 0.2])
        kwargs["trail_stop_activation"] = _pick(rng, [0.0, 0.05, 0.1, -0.1])
    if touched:
        kwargs["touched_exit"] = True
    if rng.random() < 0.3:
        kwargs["position_limit"] = _pick(rng, [0.2, 0.3, 0.5, 0.9])
    for name in ("retain_cost_when_rebalance", "stop_trading_next_period", "periodically_rebalance"):
        if rng.random() < 0.5:
            kwargs[name] = bool(rng.random() < 0.5)
    if rng.random() < 0.6:
        kwargs["exvalo_window"] = int(rng.integers(0, 12)) if rng.random() < 0.9 else n_bars + 5
        kwargs["exvalo_window_step"] = int(rng.integers(1, 4))
    if rng.random() < 0.25:
        delisting = np.full(n_stocks, -1, dtype=np.int64)
        chosen = rng.random(n_stocks) < 0.4
        delisting[chosen] = rng.integers(0, n_bars, size=int(chosen.sum()))
        kwargs["delisting_bars"] = delisting

    args = [
        price,
        close,
        high,
        low,
        open_,
        bars,
        np.array(price_labels, dtype=object),
        pos_values,
        pos_index,
        np.array(pos_labels, dtype=object),
        resample,
    ]
    if not touched and rng.random() < 0.5:
        args[2] = args[3] = args[4] = None
    scenario = Scenario(seed, args, kwargs, notes)
    if rng.random() < edge_share:
        _add_edge(rng, scenario)
    if rng.random() < fault_share:
        _inject_fault(rng, scenario)
    return scenario


EDGES = (
    "nan_weight",
    "inf_weight",
    "odd_stop_values",
    "negative_window",
    "negative_step",
    "truthy_objects",
    "loose_numbers",
    "unsorted_signals",
    "unsorted_calendar",
    "zero_close",
    "nan_reference_row",
    "delisting_at_rebalance",
    "leveraged",
    "no_bars",
    "unsorted_bars",
    "repeated_signal_dates",
    "read_only_subclass",
)


def _add_edge(rng, sc: Scenario) -> None:
    """Inputs the documented rules still define, though no sane caller sends them."""
    edge = _pick(rng, EDGES)
    sc.notes.append(f"edge={edge}")
    args, kwargs = sc.args, sc.kwargs
    n_bars, n_stocks = args[0].shape[0], args[7].shape[1]
    if edge in ("nan_weight", "inf_weight"):
        args[7] = args[7].copy()
        args[7][int(rng.integers(args[7].shape[0])), int(rng.integers(n_stocks))] = (
            np.nan if edge == "nan_weight" else _pick(rng, [np.inf, -np.inf])
        )
    elif edge == "odd_stop_values":
        levels = np.array([np.nan, 0.0, -0.0, np.inf, -0.2, 0.1, 2.0])
        kwargs[_pick(rng, ["stop_loss", "take_profit"])] = rng.choice(levels, size=(n_bars, n_stocks))
    elif edge == "negative_window":
        kwargs["exvalo_window"] = int(rng.integers(-4, 0))
        kwargs["exvalo_window_step"] = int(rng.integers(1, 4))
    elif edge == "negative_step":
        kwargs["exvalo_window"] = int(rng.integers(0, 8))
        kwargs["exvalo_window_step"] = int(rng.integers(-3, 0))
    elif edge == "truthy_objects":
        for name in (
            "stop_trading_next_period",
            "retain_cost_when_rebalance",
            "periodically_rebalance",
            "touched_exit",
        ):
            if name != "touched_exit" or args[2] is not None:
                kwargs[name] = _pick(rng, [0, 1, "", "yes", None, [], [0], 2.5])
    elif edge == "loose_numbers":
        kwargs["fee_ratio"] = _pick(rng, [0, 1, np.float32(0.001), np.int64(0)])
        kwargs["exvalo_window"] = _pick(rng, [3.7, -0.5, np.int32(4), True])
        kwargs["position_limit"] = _pick(rng, [1, np.float64(0.5), True])
    elif edge == "unsorted_signals":
        args[8] = rng.permutation(args[8])
    elif edge == "unsorted_calendar":
        args[10] = rng.permutation(np.concatenate([args[10], args[5][:3]]))
    elif edge == "zero_close":
        args[1] = args[1].copy()
        args[1][int(rng.integers(n_bars)), int(rng.integers(args[1].shape[1]))] = 0.0
    elif edge == "nan_reference_row":
        args[0] = args[0].copy()
        args[0][: n_bars // 2, int(rng.integers(args[0].shape[1]))] = np.nan
    elif edge == "delisting_at_rebalance":
        kwargs["delisting_bars"] = rng.integers(-1, n_bars, size=n_stocks).astype(np.int64)
        kwargs["stop_trading_next_period"] = False
    elif edge == "no_bars":
        args[5] = np.empty(0, dtype=np.int64)
        if rng.random() < 0.5:
            args[10] = np.empty(0, dtype=np.int64)
        for key in ("stop_loss", "take_profit"):
            if not isinstance(kwargs.get(key, 0.0), (int, float)):
                del kwargs[key]
    elif edge == "unsorted_bars":
        args[5] = args[5].copy()
        i, j = rng.integers(n_bars, size=2)
        args[5][[i, j]] = args[5][[j, i]]
    elif edge == "repeated_signal_dates":
        args[8] = np.sort(np.concatenate([args[8], args[8][: rng.integers(1, args[8].size + 1)]]))
        args[7] = np.vstack([args[7], args[7]])[: args[8].size]
    elif edge == "read_only_subclass":
        for i in (0, 1, 5, 7, 8, 10):
            view = args[i].view(_Subclass)
            view.flags.writeable = False
            args[i] = view
    elif edge == "leveraged":
        args[7] = args[7] * 3.0
        kwargs["position_limit"] = 2.0


def _inject_fault(rng, sc: Scenario) -> None:
    fault = _pick(rng, FAULTS)
    sc.fault = fault
    args, kwargs = sc.args, sc.kwargs
    price, pos_values = args[0], args[7]
    n_bars, n_stocks = price.shape[0], pos_values.shape[1]
    if fault == "bad_price":
        price = args[0] = price.copy()
        col = int(rng.integers(price.shape[1]))
        price[int(rng.integers(n_bars)) :, col] = _pick(rng, [0.0, -0.0, -5.0, np.inf, -np.inf])
    elif fault == "stop_columns":
        kwargs["stop_loss"] = StopTable(np.full((1, n_stocks + 1), 0.1), np.zeros(n_bars, np.int64))
    elif fault == "stop_rows_length":
        kwargs["take_profit"] = StopTable(np.full((1, n_stocks), 0.1), np.zeros(n_bars + 1, np.int64))
    elif fault in ("stop_row_negative", "stop_row_too_big"):
        table = StopTable(np.full((2, n_stocks), 0.1), np.zeros(n_bars, np.int64))
        rows = table.rows.copy()
        rows[int(rng.integers(n_bars))] = -1 if fault == "stop_row_negative" else 2
        table.rows = rows
        kwargs[_pick(rng, ["stop_loss", "take_profit"])] = table
    elif fault == "pos_columns_count":
        args[7] = np.hstack([pos_values, np.zeros((pos_values.shape[0], 1))])
    elif fault == "none_array":
        args[_pick(rng, [0, 1, 5, 6, 7, 8, 9, 10])] = None
    elif fault == "wrong_dtype":
        i = _pick(rng, [0, 1, 5, 7, 8, 10])
        args[i] = args[i].astype(np.float32 if args[i].dtype == np.float64 else np.int32)
    elif fault == "wrong_ndim":
        i = _pick(rng, [0, 1, 5, 8, 10])
        args[i] = args[i].reshape(-1) if args[i].ndim == 2 else args[i].reshape(1, -1)
    elif fault == "touched_without_ohlc":
        kwargs["touched_exit"] = True
        args[_pick(rng, [2, 3, 4])] = None
    elif fault == "short_close":
        args[1] = args[1][: int(rng.integers(1, n_bars))]
    elif fault == "short_ohlc":
        kwargs["touched_exit"] = True
        for i in (2, 3, 4):
            if args[i] is None:
                args[i] = args[0].copy()
        i = _pick(rng, [2, 3, 4])
        args[i] = args[i][: int(rng.integers(1, n_bars))]
    elif fault == "short_pos_values":
        if pos_values.shape[0] > 1:
            args[7] = pos_values[:-1]
        else:
            args[8] = np.append(args[8], args[8][-1] + 1)
    elif fault == "short_delisting":
        kwargs["delisting_bars"] = rng.integers(0, n_bars, size=max(n_stocks - 1, 0)).astype(np.int64)
    elif fault == "extra_price_labels":
        args[6] = np.array([*list(args[6]), "S0", "S1"], dtype=object)
    elif fault == "no_price_columns":
        args[0] = np.empty((n_bars, 0))
        args[1] = np.empty((n_bars, 0))
        for i in (2, 3, 4):
            if args[i] is not None:
                args[i] = np.empty((n_bars, 0))
        args[6] = np.empty(0, dtype=object)
    elif fault == "empty_pos_index":
        args[8] = np.empty(0, dtype=np.int64)
    elif fault == "window_step_zero":
        kwargs["exvalo_window_step"] = 0
    elif fault == "empty_pos_values":
        args[7] = np.empty((0, n_stocks))
    elif fault == "label_not_text":
        labels = list(args[_pick(rng, [6, 9])] if rng.random() < 0.5 else args[9])
        labels[int(rng.integers(len(labels)))] = _pick(rng, [7, b"S0", None])
        args[9] = np.array(labels, dtype=object)
    elif fault == "stop_not_understood":
        kwargs["stop_loss"] = _pick(rng, [[0.1], "0.1", np.array(["a"])])
    elif fault == "delisting_dtype":
        kwargs["delisting_bars"] = _pick(
            rng, [np.zeros(n_stocks, np.int32), np.zeros((1, n_stocks), np.int64), [0] * n_stocks]
        )
    elif fault == "bad_number":
        kwargs[_pick(rng, ["fee_ratio", "trail_stop", "position_limit"])] = _pick(rng, [None, "x", [1.0]])
    elif fault == "bad_window":
        kwargs[_pick(rng, ["exvalo_window", "exvalo_window_step"])] = _pick(rng, [None, "3", 2**31, -(2**31) - 1, [1]])
