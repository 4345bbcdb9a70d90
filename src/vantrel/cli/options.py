"""Command-line options that several commands share."""

from __future__ import annotations

import argparse
from pathlib import Path

from .._profiles import EXECUTION_OPTIONS, profile, profiles

__all__ = ["add_cost_options", "add_execution_options", "execution_options", "file_parameters", "market_data_options"]

# Where ``argparse`` notes the options the user typed, so that a profile's value yields only to them.
_GIVEN = "explicit_options"


class _Given(argparse.Action):
    """Store the value, and note that the user gave it."""

    def __call__(self, parser, namespace, values, option_string=None):
        setattr(namespace, self.dest, values)
        setattr(namespace, _GIVEN, getattr(namespace, _GIVEN, frozenset()) | {self.dest})


def add_cost_options(parser) -> None:
    parser.add_argument(
        "--fee-ratio",
        type=float,
        default=0.0,
        action=_Given,
        help="fee on every trade, a fraction of the value traded (default %(default)s: none; e.g. 0.001425)",
    )
    parser.add_argument(
        "--tax-ratio",
        type=float,
        default=0.0,
        action=_Given,
        help="tax on every sale, a fraction of the value sold (default %(default)s: none; e.g. 0.003)",
    )


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


def _number_or_column(text: str, rows: str, read):
    """A number, or the one column of values of a two-column CSV file read by ``read``.

    Whatever goes wrong reading the file becomes an argument error that names
    the file and says why, not argparse's bare "invalid value".
    """
    try:
        return float(text)
    except ValueError:
        pass
    path = Path(text)
    if not path.is_file():
        raise argparse.ArgumentTypeError(f"expected a number or a CSV file of {rows} rows, got {text!r}")
    try:
        table = read(path)
    except (OSError, ValueError) as error:  # pandas' parser and decoding errors are ValueErrors
        reason = str(error).strip().removeprefix(f"{path.name}: ") or type(error).__name__
        raise argparse.ArgumentTypeError(f"{path.name}: not a CSV file of {rows} rows ({reason})") from None
    if table.shape[1] != 1:
        raise argparse.ArgumentTypeError(
            f"{path.name}: expected two columns ({rows.replace(',', ', ')}), found {table.shape[1] + 1}"
        )
    return table.iloc[:, 0]


def _read_by_stock(path):
    import pandas as pd

    table = pd.read_csv(path, index_col=0)
    table.index = table.index.astype(str)
    return table


def _read_by_date(path):
    from ..datasets import read_wide

    return read_wide(path)


def _per_stock(text: str):
    """A number, or a CSV file of two columns: stock, value (a per-stock Series)."""
    return _number_or_column(text, "stock,value", _read_by_stock)


def _dated(text: str):
    """A number, or a CSV file of two columns: date, rate (a dated Series)."""
    return _number_or_column(text, "date,rate", _read_by_date)


def add_execution_options(parser) -> None:
    """The execution options of ``vantrel.backtest`` as flags, and ``--profile`` to start from a bundle of them."""
    group = parser.add_argument_group(
        "execution",
        "Off by default (fractional weights at the bar's price). --profile NAME starts from a market profile; "
        "a flag given beside it overrides the profile's value. Per-stock values (--lot-size, --slippage, "
        "--borrow-rate) may be a CSV file of stock,value rows; --cash-rate a CSV file of date,rate rows.",
    )
    names = profiles()
    group.add_argument(
        "--profile",
        choices=list(names),
        metavar="NAME",
        help=f"a market profile: {', '.join(names)} (python -c 'import vantrel; print(vantrel.profiles())' "
        "says what each models)",
    )
    flags = (
        ("--capital", _number, "trade whole lots of shares from this capital, in the prices' currency"),
        ("--lot-size", _per_stock, "shares per board lot (with --capital; default 1)"),
        ("--min-fee", _number, "minimum fee per fill, in currency (with --capital)"),
        ("--slippage", _per_stock, "a fraction of the price paid on every fill, e.g. 0.0005"),
        ("--impact", _number, "square-root impact coefficient k (needs volume)"),
        ("--participation", _number, "most shares traded per bar, as a fraction of its volume, e.g. 0.1"),
        ("--price-limit", _number, "daily price limit, e.g. 0.1: no buy at limit-up, no sale at limit-down"),
        ("--cash-rate", _dated, "annual interest on positive cash, e.g. 0.03"),
        ("--borrow-rate", _per_stock, "annual fee on the value of short positions, e.g. 0.01"),
        ("--leverage", _number, "most absolute weight of a row (default 1)"),
        ("--margin-rate", _number, "annual interest on negative cash"),
    )
    for flag, kind, text in flags:
        metavar = "X" if kind is _number else "X|FILE"
        group.add_argument(flag, type=kind, action=_Given, metavar=metavar, help=text)


def execution_options(args) -> dict:
    """The costs and execution options for ``backtest``: the profile's, then every flag the user gave."""
    options = profile(args.profile) if getattr(args, "profile", None) else {}
    given: frozenset[str] = getattr(args, _GIVEN, frozenset())
    for name in EXECUTION_OPTIONS:
        value = getattr(args, name, None)
        if name in given or (name not in options and value is not None):
            options[name] = value
    return options


def market_data_options(parser) -> None:
    """Wide files of volume, dividends and splits beside the prices."""
    parser.add_argument("--volume", type=Path, help="shares traded per bar, dates x stocks (CSV or Parquet)")
    parser.add_argument(
        "--dividends", type=Path, help="cash dividends per share by ex-date, dates x stocks (prices are then raw)"
    )
    parser.add_argument("--splits", type=Path, help="split ratios (new shares per old share) by date, dates x stocks")


# Options that take one value per stock, or rates by date, as a table in a sweep file.
_PER_STOCK = ("lot_size", "slippage", "borrow_rate")
_DATED = ("cash_rate",)


def file_parameters(section: dict, table: str) -> dict:
    """The [options] or [grid] table of a sweep file as backtest keywords.

    ``profile = "NAME"`` in [options] spreads that profile's options (the
    table's own entries win); a table ``{A = 100, B = 1000}`` for a per-stock
    option becomes a Series by stock, and one of dates for ``cash_rate`` a
    Series by date. In [grid] a list of such tables is an axis of them.
    """
    section = dict(section)
    name = section.pop("profile", None)
    if name is not None and table != "options":
        shown = name[0] if isinstance(name, list) and name else name
        raise ValueError(
            f'[{table}] profile: a profile goes in [options] (profile = "{shown}"); '
            "sweep its options one by one in [grid]"
        )
    out = profile(name) if name is not None else {}
    for key, value in section.items():
        if table == "grid" and isinstance(value, list):
            out[key] = [_file_value(key, item) for item in value]
        else:
            out[key] = _file_value(key, value)
    return out


def _file_value(key: str, value):
    if not isinstance(value, dict) or key not in _PER_STOCK + _DATED:
        return value
    import numpy as np
    import pandas as pd

    try:
        series = pd.Series(value, dtype=float, name=key)
    except (TypeError, ValueError):
        raise ValueError(f"{key}: a table of numbers, e.g. {{A = 100, B = 1000}}, got {value!r}") from None
    if key in _DATED:
        dates = pd.to_datetime(series.index, errors="coerce", format="ISO8601")
        if dates.hasnans:
            bad = series.index[np.flatnonzero(dates.isna())[0]]
            raise ValueError(f'{key}: the table\'s keys must be dates such as "2024-01-31", got {bad!r}')
        series.index = dates
        series = series.sort_index()
    return series
