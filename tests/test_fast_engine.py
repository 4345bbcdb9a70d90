"""The package's array entry to the engine (vantrel.core._engine) against the documented
modules, bit for bit, and its trade log against the equity it booked.

VANTREL_DIFF_SCENARIOS sets the number of random scenarios (default 300).
"""

import os

import numpy as np
import pytest

from engine_builders import arrays, package_run, positional, ts
from reference.outcomes import same_array, same_float
from reference.scenarios import make_scenario

_engine = pytest.importorskip("vantrel.core._engine")
from vantrel.core import exvalo, simora  # noqa: E402

SCENARIOS = int(os.environ.get("VANTREL_DIFF_SCENARIOS", "300"))
EXIT_FIELDS = (
    "adverse_excursion",
    "favourable_excursion",
    "favourable_before_adverse",
    "drawdown",
    "profitable_bars",
    "excursion_return",
)


def statistics(record) -> np.ndarray:
    """A log record's excursion statistics in exvalo's layout: samples, then the exit."""
    samples = record["samples"].ravel() if "samples" in record.dtype.names else np.empty(0)
    return np.concatenate([samples, [record[f] for f in EXIT_FIELDS]])


# The documented module's labels of the pending actions the array entry names.
DOCUMENTED_ACTIONS = {
    "enter": "enter",
    "exit": "exit",
    "hold": "hold",
    "take_profit": "tp",
    "stop_loss": "sl",
    "take_profit_enter": "tp_enter",
    "stop_loss_enter": "sl_enter",
    "took_profit": "tp_",
    "stopped_out": "sl_",
}


def portfolio_as_operations(out) -> dict:
    p = out.portfolio
    return {
        "actions": {i: DOCUMENTED_ACTIONS[_engine.ACTIONS[a]] for i, a in enumerate(p["action"]) if a},
        "weights": {i: float(w) for i, w in enumerate(p["weight"]) if p["has_weight"][i]},
        "next_weights": {i: float(w) for i, w in enumerate(p["next_weight"]) if p["has_next_weight"][i]},
        "weight_time": out.weight_row,
        "next_weight_time": out.next_weight_row,
    }


def face_differences(scenario) -> list[str]:
    """What differs between the faces on a scenario the documented module runs. Its
    refusals are its own (the array entry is held to its checks elsewhere); inputs
    whose shapes do not fit together, which it reads only as far as a run gets, the
    array entry refuses before it starts; and it tests flags once, not at every use."""
    if "edge=truthy_objects" in scenario.notes:
        return []
    try:
        values = simora.backtest_(*scenario.args, **scenario.kwargs)
    except Exception:
        return []
    try:
        out = package_run(*scenario.args, **scenario.kwargs)
    except (TypeError, ValueError) as exc:
        if str(exc).startswith("run: ") and (scenario.fault is not None or "edge=no_bars" in scenario.notes):
            return []
        return [f"the array entry raised {type(exc).__name__}: {exc}"]

    found = []
    if not same_array(values, out.values):
        found.append("value series differ")
    log = out.trades
    if len(log) != len(exvalo.trades):
        return [*found, f"{len(log)} log records != {len(exvalo.trades)} exvalo trades"]
    for k, (record, trade, weight, stats) in enumerate(
        zip(log, exvalo.trades, exvalo.trade_positions, exvalo.exvalo, strict=True)
    ):
        if [int(record[f]) for f in ("stock", "entry_bar", "exit_bar")] != [int(v) for v in trade]:
            found.append(f"record {k}: {record[['stock', 'entry_bar', 'exit_bar']]} != {trade}")
        elif not same_float(record["weight"], weight):
            found.append(f"record {k}: weight {record['weight']!r} != {weight!r}")
        elif not same_array(statistics(record), stats):
            found.append(f"record {k}: statistics {statistics(record)} != {stats}")
        if found:
            break
    operations = simora.get_stock_operations()
    fast_operations = portfolio_as_operations(out)
    for key, value in operations.items():
        other = fast_operations[key]
        if key == "actions":  # an array of actions has no insertion order
            same = value == other
        elif isinstance(value, dict):
            same = list(value) == list(other) and all(same_float(value[k], other[k]) for k in value)
        else:
            same = value == other
        if not same:
            found.append(f"{key}: {value!r} != {other!r}")
    return found


def test_both_faces_agree_on_random_scenarios():
    failures = []
    for seed in range(SCENARIOS):
        scenario = make_scenario(seed)
        found = face_differences(scenario)
        if found:
            failures.append(f"{scenario.describe()}: {'; '.join(found[:3])}")
    assert not failures, f"{len(failures)} of {SCENARIOS} differ:\n" + "\n".join(failures[:10])


def test_profits_add_up_to_the_final_equity():
    checked = 0
    for seed in range(SCENARIOS):
        scenario = make_scenario(seed, fault_share=0.0)
        if any(float(scenario.kwargs.get(k, 0.0)) >= 1.0 for k in ("fee_ratio", "tax_ratio")):
            continue  # a cost of 100% leaves a holding worth exactly nothing, never exited
        try:
            out = package_run(*scenario.args, **scenario.kwargs)
        except Exception:
            continue  # edge scenarios the engine refuses
        values = out.values
        if not len(values) or not np.isfinite(values).all():
            continue
        assert 1.0 + out.trades["profit"].sum() == pytest.approx(values[-1], rel=1e-12, abs=1e-12), scenario.describe()
        checked += 1
    assert checked > SCENARIOS // 2


# --- Round trips out of cash and back ------------------------------------------------------


def ohlc_market(n_bars=600, seed=3):
    """One stock's consistent open, high, low and close over business-day-like bars."""
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0.0, 0.02, n_bars)))
    open_ = np.r_[100.0, close[:-1]] * np.exp(rng.normal(0.0, 0.01, n_bars))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.012, n_bars)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.012, n_bars)))
    return open_, high, low, close


def alternating_book(n_bars, side, period=21):
    """Full weight and flat in turn every `period` bars: each trade is a round trip."""
    return {ts(b) + 1: [side if (b // period) % 2 == 0 else 0.0] for b in range(0, n_bars - 1, period)}


MODES = {
    "close": dict(),
    "stop-loss": dict(stop_loss=0.04),
    "take-profit": dict(take_profit=0.05),
    "trailing": dict(trail_stop=0.03, trail_stop_activation=0.02),
    "stop-loss-touched": dict(stop_loss=0.04, touched_exit=True),
    "take-profit-touched": dict(take_profit=0.05, stop_loss=0.06, touched_exit=True),
    "trailing-touched": dict(trail_stop=0.03, trail_stop_activation=0.02, touched_exit=True),
}


@pytest.mark.parametrize("trade_at", ["close", "open"])
@pytest.mark.parametrize("side", [1.0, -1.0], ids=["long", "short"])
@pytest.mark.parametrize("mode", list(MODES))
def test_round_trip_returns_are_what_the_equity_made(mode, side, trade_at):
    open_, high, low, close = ohlc_market()
    trading = open_ if trade_at == "open" else close
    args = arrays(trading, alternating_book(len(close), side), close=close, high=high, low=low, open=open_)
    out = package_run(*positional(args), fee_ratio=0.001425, tax_ratio=0.003, **MODES[mode])
    equity, log = out.values, out.trades
    closed = log[log["full_exit"]]
    assert len(closed) > 10
    if mode != "close":
        assert (closed["exit_reason"] != 4).sum() >= 3, "the stop never fired"
    for trip in np.unique(closed["round_trip"]):
        records = log[log["round_trip"] == trip]
        first, last = records[0], records[-1]
        booked = np.prod(1.0 + records["return"]) - 1.0
        made = equity[last["exit_bar"]] / equity[first["entry_bar"] - 1] - 1.0
        assert booked == pytest.approx(made, abs=1e-12), (trip, records)


# --- Fills and exit reasons on hand-made bars ----------------------------------------------

REASONS = {name: code for code, name in enumerate(_engine.EXIT_REASONS)}


def one_trade(prices, *, weight=1.0, high=None, low=None, open=None, close=None, **options):
    """Enter on bar 1 (signal before bar 0), never rebalanced again; the log's records."""
    args = arrays(prices, {ts(0) - 1: [weight]}, high=high, low=low, open=open, close=close)
    options.setdefault("fee_ratio", 0.0)
    options.setdefault("tax_ratio", 0.0)
    return package_run(*positional(args), **options).trades


def test_touched_exits_fill_at_the_level_or_the_gapped_open():
    prices = [100, 100, 100, 100]
    # The low touches the 10% stop inside the bar: sold at the level, 90.
    log = one_trade(
        prices,
        high=[100, 101, 101, 101],
        low=[100, 99, 88, 99],
        open=[100, 100, 98, 100],
        touched_exit=True,
        stop_loss=0.1,
    )
    assert log[0]["exit_bar"] == 2 and log[0]["exit_price"] == 90.0
    assert log[0]["exit_reason"] == REASONS["stop_loss"]
    assert log[0]["return"] == pytest.approx(-0.1, abs=1e-15)
    # The bar opens below the level: sold at the open, 85.
    log = one_trade(
        prices,
        high=[100, 101, 95, 101],
        low=[100, 99, 80, 99],
        open=[100, 100, 85, 100],
        touched_exit=True,
        stop_loss=0.1,
    )
    assert (log[0]["exit_price"], log[0]["exit_reason"]) == (85.0, REASONS["stop_loss"])
    assert log[0]["return"] == pytest.approx(-0.15, abs=1e-15)
    # Both levels inside one bar: sold at the upper level, a take-profit.
    log = one_trade(
        prices,
        high=[100, 101, 125, 101],
        low=[100, 99, 80, 99],
        open=[100, 100, 100, 100],
        touched_exit=True,
        stop_loss=0.1,
        take_profit=0.2,
    )
    assert (log[0]["exit_price"], log[0]["exit_reason"]) == (120.0, REASONS["take_profit"])


def test_short_exits_fill_on_the_other_side():
    prices = [100, 100, 100, 100]
    log = one_trade(
        prices,
        weight=-1.0,
        high=[100, 101, 112, 101],
        low=[100, 99, 95, 99],
        open=[100, 100, 100, 100],
        touched_exit=True,
        stop_loss=0.1,
    )
    assert log[0]["side"] == -1
    assert log[0]["exit_price"] == pytest.approx(110.0, rel=1e-15)  # 100 x (1 + 0.1)
    assert log[0]["exit_reason"] == REASONS["stop_loss"]
    assert log[0]["return"] == pytest.approx(-0.1, abs=1e-15)
    log = one_trade(
        prices,
        weight=-1.0,
        high=[100, 101, 101, 101],
        low=[100, 99, 70, 99],
        open=[100, 100, 100, 100],
        touched_exit=True,
        take_profit=0.2,
    )
    assert (log[0]["exit_price"], log[0]["exit_reason"]) == (80.0, REASONS["take_profit"])
    assert log[0]["return"] == pytest.approx(0.2, abs=1e-15)


def test_trailing_stops_are_told_from_stop_losses():
    # Up 20%, then down through the 5% trail from the best close: a trailing stop at 114.
    log = one_trade(
        [100, 100, 120, 110, 110],
        high=[100, 100, 120, 121, 110],
        low=[100, 100, 119, 110, 110],
        open=[100, 100, 119, 120, 110],
        touched_exit=True,
        stop_loss=0.5,
        trail_stop=0.05,
    )
    assert log[0]["exit_bar"] == 3
    assert log[0]["exit_price"] == pytest.approx(115.0, abs=1e-12)
    assert log[0]["exit_reason"] == REASONS["trailing_stop"]
    # In close mode the stop is seen at a close and sold on the next bar at its price.
    log = one_trade([100, 100, 120, 110, 105], stop_loss=0.5, trail_stop=0.05)
    assert (log[0]["exit_bar"], log[0]["exit_price"]) == (4, 105.0)
    assert log[0]["exit_reason"] == REASONS["trailing_stop"]


def test_rebalance_delisting_and_open_exits():
    prices = [[100, 50], [100, 50], [110, 55], [120, 60], [130, 65]]
    weights = {ts(0) - 1: [0.5, 0.5], ts(1) + 1: [0.0, 0.5]}  # traded on bars 1 and 3
    args = arrays(prices, weights)
    out = package_run(*positional(args), fee_ratio=0.0, tax_ratio=0.0)
    log = out.trades
    reasons = {int(r["stock"]): _engine.EXIT_REASONS[r["exit_reason"]] for r in log if r["full_exit"]}
    assert reasons == {0: "rebalance"}
    still_open = log[~log["full_exit"] & (log["exit_bar"] == -1)]
    assert [_engine.EXIT_REASONS[r] for r in still_open["exit_reason"]] == ["open"]
    assert still_open[0]["exit_price"] == 65.0  # valued at the last close
    delisted = package_run(
        *positional(args), fee_ratio=0.0, tax_ratio=0.0, delisting_bars=np.array([-1, 4], dtype=np.int64)
    ).trades
    last = delisted[delisted["stock"] == 1][-1]
    assert (_engine.EXIT_REASONS[last["exit_reason"]], last["exit_bar"], last["exit_price"]) == ("delisting", 4, 65.0)


def test_inputs_are_read_in_place_and_left_unchanged():
    open_, high, low, close = ohlc_market(60)
    args = arrays(close, alternating_book(60, 1.0, period=5), high=high, low=low, open=open_)
    # Read-only and strided views of the caller's memory are accepted as they are.
    wide = np.repeat(close[:, None], 3, axis=1)
    args["close_values"] = wide[:, 1:2]
    for value in args.values():
        if isinstance(value, np.ndarray):
            value.flags.writeable = False
    before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    out = package_run(*positional(args), touched_exit=True, stop_loss=0.03)
    assert len(out.trades) > 3
    for name, value in before.items():
        assert np.array_equal(args[name], value, equal_nan=value.dtype != object), name


def test_rows_longer_than_the_native_sum_agree_on_both_faces():
    # Above 8,192 stocks both faces hand the weight total to NumPy.
    rng = np.random.default_rng(4)
    n = 9_000
    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (4, n)), axis=0))
    args = arrays(
        prices, {ts(0) - 1: rng.normal(0, 1, n) * 10.0 ** rng.integers(-8, 0, n)}, columns=[f"S{i}" for i in range(n)]
    )
    values = simora.backtest_(*positional(args), fee_ratio=0.0, tax_ratio=0.0)
    out = package_run(*positional(args), fee_ratio=0.0, tax_ratio=0.0)
    assert same_array(values, out.values) and len(out.trades) > n // 2


# --- The array entry's own arguments ----------------------------------------------------


def entry_call(**changes) -> dict:
    """A valid array-entry call on 4 bars and 2 stocks, with some arguments changed."""
    prices = np.array([[10.0, 20.0], [11.0, 19.0], [12.0, 18.0], [13.0, 17.0]])
    call = dict(
        prices=prices,
        close=prices,
        bar_dates=np.arange(4, dtype=np.int64),
        weights=np.array([[0.5, 0.5]]),
        weight_dates=np.zeros(1, dtype=np.int64),
        stock_columns=np.array([0, 1], dtype=np.int64),
        calendar=np.arange(4, dtype=np.int64),
    )
    call.update(changes)
    return {k: v for k, v in call.items() if v is not ...}


@pytest.mark.parametrize(
    "changes, error, message",
    [
        (dict(close=np.ones((3, 2))), ValueError, "run: close has shape (3, 2), expected (4, 2): every price matrix"),
        (dict(bar_dates=np.arange(5)), ValueError, "run: bar_dates has shape (5,), expected (4,): one date per bar"),
        (dict(weight_dates=np.zeros(2, np.int64)), ValueError, "run: weight_dates has shape (2,), expected (1,)"),
        (dict(stock_columns=np.array([0, 2])), ValueError, "run: stock_columns[1] is 2, outside the 2 price columns"),
        (dict(weights=np.empty((0, 2))), ValueError, "run: weights has no rows"),
        (dict(weights=np.ones(2)), TypeError, "run: weights must be a 2-D float64 array, got a 1-D float64 array"),
        (dict(bar_dates=np.arange(4.0)), TypeError, "run: bar_dates must be a 1-D int64 array, got a 1-D float64"),
        (dict(prices=[[1.0]]), TypeError, "run: prices must be a 2-D float64 NumPy array, got list"),
        (dict(touched_exit=True), ValueError, "run: touched_exit needs high, low and open"),
        (dict(stop_loss=np.full((1, 2), 0.1)), ValueError, "run: stop_loss and stop_loss_rows go together"),
        (
            dict(stop_loss=np.full((2, 2), 0.1), stop_loss_rows=np.array([0, 1, 2, 0])),
            ValueError,
            "run: stop_loss_rows[2] is 2, outside the 2 threshold rows",
        ),
        (dict(calendar=...), TypeError, "run() missing required keyword argument 'calendar'"),
        (dict(resample=np.arange(4)), TypeError, "run() got an unexpected keyword argument 'resample'"),
        (dict(fee_ratio="0.1"), TypeError, "run: fee_ratio must be a number, got str"),
    ],
)
def test_the_array_entry_checks_shapes_and_types_up_front(changes, error, message):
    with pytest.raises(error) as raised:
        _engine.run(**entry_call(**changes))
    assert str(raised.value).startswith(message)


def test_the_array_entry_takes_keywords_only_and_names_its_results():
    with pytest.raises(TypeError, match=r"^run\(\) takes keyword arguments only$"):
        _engine.run(np.ones((4, 2)))
    out = _engine.run(**entry_call())
    assert isinstance(out, _engine.RunResult)
    assert out.values.tolist() == out[0].tolist() and len(out.trades) == 2 and out.weight_row == 0
    assert _engine.EXIT_REASONS[0] == "open" and _engine.ACTIONS[8:] == ("took_profit", "stopped_out")


@pytest.mark.skipif(
    any(runtime in os.environ.get("LD_PRELOAD", "") for runtime in ("libasan", "libtsan")),
    reason="a sanitizer's allocator ends the process on an impossible allocation",
)
def test_a_trade_log_too_large_for_memory_says_how_much_it_asked_for():
    with pytest.raises(
        MemoryError,
        match=r"^run: out of memory for the trade log: 0 records kept so far, each "
        r"with 48000000048 bytes of excursion statistics \(excursion_window=1000000000",
    ):
        _engine.run(**entry_call(excursion_window=10**9))


HOSTILE_VARIANTS = [
    (
        dict(stop_loss=np.full((1, 3), 0.1), stop_loss_rows=np.zeros(4, np.int64)),
        ValueError,
        "run: stop_loss has shape (1, 3), expected (1, 2): threshold rows x the columns of weights",
    ),
    (
        dict(stop_loss=np.full((1, 2), 0.1), stop_loss_rows=np.zeros(3, np.int64)),
        ValueError,
        "run: stop_loss_rows has shape (3,), expected (4,): the threshold row in force on each bar",
    ),
    (
        dict(stop_loss=np.array([[0.1, np.nan]]), stop_loss_rows=np.zeros(4, np.int64)),
        ValueError,
        "run: stop_loss[0, 1] is nan: stop levels are fractions from 0 up (inf for no stop)",
    ),
    (
        dict(take_profit=np.array([[-np.inf, 0.2]]), take_profit_rows=np.zeros(4, np.int64)),
        ValueError,
        "run: take_profit[0, 0] is -inf: stop levels are fractions from 0 up (inf for no stop)",
    ),
    (dict(fee_ratio=np.inf), ValueError, "run: fee_ratio is inf: costs are finite fractions from 0 up"),
    (dict(tax_ratio=-0.1), ValueError, "run: tax_ratio is -0.1: costs are finite fractions from 0 up"),
    (dict(trail_stop=np.nan), ValueError, "run: trail_stop is nan: a trailing stop is a number (inf for none)"),
    (dict(position_limit=0.0), ValueError, "run: position_limit is 0.0: a position limit is positive (inf for none)"),
    (dict(weights=np.ones((1, 3))), ValueError, "run: stock_columns has shape (2,), expected (3,)"),
    (dict(stops=0.1), TypeError, "run() got an unexpected keyword argument 'stops'"),
    ([("stop_loss", 0.1)], TypeError, "run_batch: variant 1 must be a dict of run() arguments, got list"),
]


@pytest.mark.parametrize("variant, error, message", HOSTILE_VARIANTS)
def test_a_batch_refuses_each_hostile_variant_by_name_and_runs_the_rest(variant, error, message):
    shared = entry_call()
    good = _engine.run_batch(shared, [{}], threads=1)[0]
    out = _engine.run_batch(shared, [{}, variant, {"fee_ratio": 0.0}], threads=2)
    assert type(out[1]) is error and str(out[1]).startswith(message)
    assert [r.values.tolist() for r in (out[0], out[2])] == [good.values.tolist()] * 2


def test_a_batch_refuses_what_is_not_a_batch():
    for call, error, message in [
        (lambda: _engine.run_batch([], []), TypeError, "run_batch() argument 1 must be dict, not list"),
        (lambda: _engine.run_batch({}, 3), TypeError, "run_batch: variants must be a sequence of dicts"),
        (lambda: _engine.run_batch({}, [], threads=0), ValueError, "run_batch: threads must be a positive integer"),
    ]:
        with pytest.raises(error) as raised:
            call()
        assert str(raised.value).startswith(message)
    assert _engine.run_batch(entry_call(), []) == []
