"""Market data: a deterministic synthetic market, and loaders for the user's own files."""

from __future__ import annotations

import glob
import re
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

from ._checks import when
from .market import Market

__all__ = ["load_long", "load_market", "load_ticker_files", "read_wide", "synthetic_market"]

SECTORS = (
    "Energy",
    "Materials",
    "Industrials",
    "Consumer Discretionary",
    "Consumer Staples",
    "Health Care",
    "Financials",
    "Information Technology",
    "Communication",
    "Utilities",
    "Real Estate",
)


def synthetic_market(
    n_stocks: int = 300, n_days: int = 1500, *, n_sectors: int = 10, start: str = "2016-01-04", seed: int = 7
) -> Market:
    """A reproducible market of ``n_stocks`` stocks over ``n_days`` business days.

    Daily log returns combine a market factor with volatility clustering, a
    sector factor and a stock-specific part, all Student-t distributed (fat
    tails), plus a slowly drifting per-stock trend so that momentum exists
    to be found. Open, high, low and close are consistent (low <= open, close
    <= high). Some stocks list late, some delist (with delisting dates set),
    some are suspended for a few days (NaN prices, resuming with a gap).
    The same arguments always give the same market.
    """
    if n_stocks < 1 or n_days < 2:
        raise ValueError("a synthetic market needs at least 1 stock and 2 days")
    if not 1 <= n_sectors <= len(SECTORS):
        raise ValueError(f"n_sectors must be between 1 and {len(SECTORS)}")
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(start, periods=n_days, name="date")
    labels = pd.Index([f"S{i:03d}" for i in range(n_stocks)], name="stock")
    sector_of = rng.integers(0, n_sectors, n_stocks)

    log_returns = _factor_returns(rng, n_days, n_stocks, n_sectors, sector_of)
    close = rng.uniform(10.0, 200.0, n_stocks) * np.exp(np.cumsum(log_returns, axis=0))
    overnight = 0.3 * log_returns + rng.normal(0.0, 0.002, log_returns.shape)
    previous_close = np.vstack([close[:1] / np.exp(log_returns[:1]), close[:-1]])
    open_ = previous_close * np.exp(overnight)
    spread = np.abs(rng.normal(0.0, 0.008, (2, *log_returns.shape)))
    high = np.maximum(open_, close) * np.exp(spread[0])
    low = np.minimum(open_, close) * np.exp(-spread[1])

    missing = _missing_bars(rng, n_days, n_stocks)
    frames = {}
    for name, raw in (("close", close), ("open", open_), ("high", high), ("low", low)):
        values = np.round(raw, 4)
        values[missing] = np.nan
        frames[name] = pd.DataFrame(values, index=dates, columns=labels)
    return Market(
        frames["close"],
        open=frames["open"],
        high=frames["high"],
        low=frames["low"],
        delisting="infer",
        sectors=pd.Series([SECTORS[s] for s in sector_of], index=labels, name="sector"),
    )


def _factor_returns(rng, n_days, n_stocks, n_sectors, sector_of) -> np.ndarray:
    def fat(df, shape, scale):
        # Student-t scaled to the given standard deviation.
        return rng.standard_t(df, shape) * scale / np.sqrt(df / (df - 2.0))

    shocks = fat(5, n_days, 1.0)
    market = np.empty(n_days)
    variance = 1e-4
    for t in range(n_days):  # GARCH(1,1): calm and turbulent spells
        market[t] = 0.0003 + np.sqrt(variance) * shocks[t]
        variance = 2e-6 + 0.08 * (market[t] - 0.0003) ** 2 + 0.9 * variance
    sector = fat(4, (n_days, n_sectors), 0.007)
    beta = rng.uniform(0.6, 1.4, n_stocks)
    loading = rng.uniform(0.5, 1.2, n_stocks)
    idio_vol = rng.uniform(0.01, 0.03, n_stocks)
    # The +vol^2/2 keeps the expected simple return of a volatile stock from sinking.
    idio = fat(4, (n_days, n_stocks), 1.0) * idio_vol + 0.5 * idio_vol**2
    trend = np.empty((n_days, n_stocks))
    trend[0] = rng.normal(0.0, 0.0008, n_stocks)
    steps = rng.normal(0.0, 0.00006, (n_days, n_stocks))
    for t in range(1, n_days):  # persistent drift: winners tend to keep winning for a while
        trend[t] = 0.995 * trend[t - 1] + steps[t]
    returns = market[:, None] * beta + sector[:, sector_of] * loading + idio + trend
    return np.clip(returns, -0.5, 0.5)


def _missing_bars(rng, n_days, n_stocks) -> np.ndarray:
    """Bars without prices: before a late listing, after a delisting, during suspensions.

    Suspensions end before the last bar, so trailing gaps are delistings only.
    """
    missing = np.zeros((n_days, n_stocks), dtype=bool)
    if n_days < 50:
        return missing
    for stock in range(n_stocks):
        listed = 0
        if rng.random() < 0.15:
            listed = int(rng.integers(1, int(n_days * 0.6)))
            missing[:listed, stock] = True
        if rng.random() < 0.08:
            missing[int(rng.integers(max(listed + 20, int(n_days * 0.3)), n_days - 1)) :, stock] = True
        if rng.random() < 0.10:
            for _ in range(rng.integers(1, 4)):
                begin = int(rng.integers(0, n_days - 2))
                missing[begin : min(begin + int(rng.integers(1, 21)), n_days - 1), stock] = True
    return missing


def read_wide(path, *, dayfirst: bool = False) -> pd.DataFrame:
    """Read a wide table (dates x stocks) from CSV (optionally compressed) or Parquet.

    CSV: the first column holds the dates; ``dayfirst=True`` reads dates such
    as 03/04/2024 as 3 April. Parquet: a DatetimeIndex, or a first column of
    dates.
    """
    path = Path(path)
    if _is_parquet(path):
        frame = pd.read_parquet(path)
        if not isinstance(frame.index, pd.DatetimeIndex):
            frame = frame.set_index(frame.columns[0])
    elif _is_csv(path):
        frame = pd.read_csv(path, index_col=0)
    else:
        raise ValueError(f"{path.name}: expected a .csv, .csv.gz or .parquet file")
    try:
        frame.index = _dates(frame.index, dayfirst)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{path.name}: the first column does not hold dates ({error})") from None
    frame.columns = frame.columns.astype(str)
    return frame


def load_market(
    close, *, open=None, high=None, low=None, delisting=None, dayfirst: bool = False, ohlc_tolerance: float | None = 0.0
) -> Market:
    """A Market from wide files of prices (paths); see :func:`read_wide`."""
    frames = {
        name: None if p is None else _wide_prices(p, dayfirst)
        for name, p in (("open", open), ("high", high), ("low", low))
    }
    return Market(_wide_prices(close, dayfirst), delisting=delisting, ohlc_tolerance=ohlc_tolerance, **frames)


def _wide_prices(path, dayfirst: bool) -> pd.DataFrame:
    """A wide table of one field, refusing the usual download of one ticker's fields.

    Its columns would otherwise pass for six stocks named Open, High, ..., Volume.
    """
    frame = read_wide(path, dayfirst=dayfirst)
    keys = {_key(column) for column in frame.columns}
    if "close" in keys and keys & {"open", "high", "low", "volume", *_ADJUSTED_NAMES}:
        path = Path(path)
        raise ValueError(
            f"{path.name} holds the prices of one ticker ({', '.join(frame.columns)}), not one field by stock "
            f"(dates x stocks): read it with load_ticker_files({str(path)!r}), which names the stock after the "
            f"file ({path.name.split('.')[0]}) or as ticker= says"
        )
    return frame


# Column names vendors use, compared in lower case with spaces and hyphens as "_".
_DATE_NAMES = ("date", "datetime", "timestamp", "time")
_TICKER_NAMES = ("ticker", "symbol", "stock", "code")
_FIELDS = ("open", "high", "low", "close", "volume")
_ADJUSTED_NAMES = ("adj_close", "adjusted_close", "adjclose")


def load_long(
    data,
    *,
    date: str | None = None,
    ticker: str | None = None,
    adjust: bool = True,
    dayfirst: bool = False,
    delisting=None,
    sectors=None,
    ohlc_tolerance: float | None = 0.0,
) -> Market:
    """A Market from prices in long format: one row per date and ticker.

    Parameters
    ----------
    data : DataFrame or path
        A table with a date column, a ticker column and field columns
        ``open``, ``high``, ``low``, ``close`` (only ``close`` is required),
        optionally ``volume`` (shares traded; other columns are ignored), or the path of such a
        table as CSV (optionally compressed) or Parquet. Column names match
        whatever their case, spaces or hyphens ("Adj Close" is ``adj_close``).
    date, ticker : str, optional
        The names of the date and ticker columns; by default the first of
        date/datetime/timestamp/time and of ticker/symbol/stock/code.
    adjust : bool
        When the data has an adjusted close (``adj_close``), scale open, high,
        low and close by adjusted close / close on every bar, so splits and
        dividends do not show as jumps. False keeps the prices as shipped.
    dayfirst : bool
        Read text dates such as 03/04/2024 as 3 April.
    delisting, sectors, ohlc_tolerance
        Passed to :class:`~vantrel.Market`.

    Returns
    -------
    Market
        Stocks sorted by ticker, on the sorted union of all dates; a ticker
        without a row on a date has NaN prices there.
    """
    where = "the long table"
    if not isinstance(data, pd.DataFrame):
        where = Path(data).name
        data = _read_table(Path(data))
    keys = _column_keys(data, where)
    date_column = _pick(keys, date, _DATE_NAMES, "date", where)
    ticker_column = _pick(keys, ticker, _TICKER_NAMES, "ticker", where)
    fields = _field_columns(keys, where)
    dates = _parse_dates(data[date_column], dayfirst, f"{where}, column {date_column!r}")
    tickers = data[ticker_column]
    if tickers.isna().any():
        raise ValueError(f"{where} has a row without a ticker (row {int(np.argmax(tickers.isna().to_numpy()))})")
    rows = pd.MultiIndex.from_arrays([dates, tickers.astype(str).to_numpy()], names=["date", "ticker"])
    if rows.has_duplicates:
        day, name = rows[rows.duplicated()][0]
        raise ValueError(f"{where} has more than one row for {name!r} on {when(day)}")
    table = pd.DataFrame({f: _numbers(data[c], c, where) for f, c in fields.items()}).set_axis(rows)
    wide = table.unstack("ticker").sort_index()
    frames = {f: wide[f].rename_axis(index=None, columns=None) for f in fields}
    return _market(frames, adjust, delisting, sectors, ohlc_tolerance)


def load_ticker_files(
    paths,
    *,
    ticker=None,
    adjust: bool = True,
    dayfirst: bool = False,
    delisting=None,
    sectors=None,
    ohlc_tolerance: float | None = 0.0,
) -> Market:
    """A Market from one price file per ticker: the usual OHLCV download.

    Parameters
    ----------
    paths : path, glob or list of paths
        A directory (every .csv, .csv.gz or .parquet file in it, by name; with
        a ``ticker`` pattern, those whose name it matches), a glob such as
        ``"data/ohlc_*.csv"`` (the same, of the files it matches), one file or
        a list of files. Each holds a date column (Date, Datetime, ...)
        and field columns Open, High, Low, Close (only Close is required) and
        optionally Volume and an adjusted close; rows in any date order. A
        file without Volume among files with it gives its stock NaN
        (unknown) volume.
    ticker : None, str or callable
        The ticker of a file: by default its name without suffixes
        (``AAPL.csv`` is ``AAPL``); a regular expression searched in that name
        whose first group is the ticker (``r"ohlc_(.+)"`` for
        ``ohlc_AAPL.csv``); or a function of the path.
    adjust, dayfirst, delisting, sectors, ohlc_tolerance
        As in :func:`load_long`.

    Returns
    -------
    Market
        Stocks in file order, on the sorted union of all files' dates; a
        stock has NaN prices on dates its file does not list.
    """
    pattern = _ticker_pattern(ticker)
    files = _files(paths)
    gathered = _is_glob(paths) or (isinstance(paths, (str, Path)) and Path(paths).is_dir())
    if pattern is not None and gathered:
        files = [f for f in files if pattern.search(f.name.split(".")[0])]
        if not files:
            raise ValueError(f"no file in {paths} matches the ticker pattern {ticker!r}")
    names = [_ticker_of(f, pattern or ticker) for f in files]
    repeated = pd.Index(names)[pd.Index(names).duplicated()]
    if len(repeated):
        raise ValueError(f"two files give the ticker {repeated[0]!r}; name them apart with ticker=")
    # A file that is no ticker's prices in a folder of them: say how to leave it out.
    hint = ""
    if gathered and ticker is None:
        folder = Path(paths).parent if _is_glob(paths) else Path(paths)
        hint = (
            "; to read only the ticker files, give a ticker= pattern that matches their names and captures the "
            f'ticker (ticker=r"ohlc_(.+)" for ohlc_AAPL.csv) or a glob such as "{folder / "ohlc_*.csv"}"'
        )
    columns: dict[str, dict[str, pd.Series]] = {}
    for path, name in zip(files, names, strict=True):
        data = _read_table(path)
        keys = _column_keys(data, path.name)
        date = next((keys[n] for n in _DATE_NAMES if n in keys), None)
        if date is None or "close" not in keys:
            missing = f"date column (looked for {', '.join(_DATE_NAMES)})" if date is None else "close column"
            raise ValueError(f"{path.name} has no {missing}; its columns are {list(keys.values())}{hint}")
        dates = _parse_dates(data[date], dayfirst, path.name)
        if dates.has_duplicates:
            raise ValueError(f"{path.name} has more than one row on {when(dates[dates.duplicated()][0])}{hint}")
        for field, column in _field_columns(keys, path.name).items():
            columns.setdefault(field, {})[name] = pd.Series(
                _numbers(data[column], column, path.name).to_numpy(), index=dates
            )
    for field, by_ticker in columns.items():
        if len(by_ticker) < len(files) and field != "volume":
            lacking = next(f for f, n in zip(files, names, strict=True) if n not in by_ticker)
            raise ValueError(f"{lacking.name} has no {field} column, unlike the other files{hint}")
    frames = {f: pd.DataFrame(by_ticker).sort_index() for f, by_ticker in columns.items()}
    return _market(frames, adjust, delisting, sectors, ohlc_tolerance)


def _market(frames: dict, adjust: bool, delisting, sectors, ohlc_tolerance) -> Market:
    adjusted = frames.pop("adj_close", None)
    volume = frames.pop("volume", None)
    if volume is not None:  # NaN (unknown) for stocks and dates without it
        volume = volume.reindex(index=frames["close"].index, columns=frames["close"].columns)
    if adjust and adjusted is not None:
        factor = adjusted / frames["close"]
        frames = {f: frame * factor for f, frame in frames.items()}
        if volume is not None:  # shares in the adjusted prices' units: the value traded stays what it was
            volume = volume / factor
    if volume is not None:
        frames["volume"] = volume
    frames = {f: frame.rename_axis(index=None) for f, frame in frames.items()}
    return Market(frames.pop("close"), delisting=delisting, sectors=sectors, ohlc_tolerance=ohlc_tolerance, **frames)


def _is_parquet(path: Path) -> bool:
    return bool(path.suffixes) and path.suffixes[-1].lower() in (".parquet", ".pq")


def _is_csv(path: Path) -> bool:
    return ".csv" in [s.lower() for s in path.suffixes]


def _read_table(path: Path) -> pd.DataFrame:
    """A table with its dates as a column, whether a Parquet file kept them as the index or not."""
    if _is_parquet(path):
        frame = pd.read_parquet(path)
        return frame if isinstance(frame.index, pd.RangeIndex) else frame.reset_index()
    if _is_csv(path):
        return pd.read_csv(path)
    raise ValueError(f"{path.name}: expected a .csv, .csv.gz or .parquet file")


def _has_ticker_column(path: Path) -> bool:
    """Whether a price file names a ticker on each row (a long table), rather than being one ticker's."""
    columns = pd.read_csv(path, nrows=0).columns if _is_csv(path) else _read_table(path).columns
    return any(_key(column) in _TICKER_NAMES for column in columns)


def _is_glob(paths) -> bool:
    """A path with wildcards (``*``, ``?``, ``[``) that names no existing file itself."""
    return isinstance(paths, (str, Path)) and bool(re.search(r"[*?[]", str(paths))) and not Path(paths).exists()


def _files(paths) -> list[Path]:
    if _is_glob(paths):
        matched = (Path(p) for p in glob.glob(str(paths)))
        files = sorted(p for p in matched if p.is_file() and (_is_csv(p) or _is_parquet(p)))
        if not files:
            raise ValueError(f"no .csv, .csv.gz or .parquet file matches {paths}")
        return files
    if isinstance(paths, (str, Path)) and Path(paths).is_dir():
        files = sorted(p for p in Path(paths).iterdir() if p.is_file() and (_is_csv(p) or _is_parquet(p)))
        if not files:
            raise ValueError(f"{paths} holds no .csv, .csv.gz or .parquet files")
        return files
    files = [Path(paths)] if isinstance(paths, (str, Path)) else [Path(p) for p in paths]
    if not files:
        raise ValueError("no price files given")
    for f in files:
        if not f.is_file():
            raise FileNotFoundError(f"no such price file: {f}")
    return files


def _ticker_pattern(ticker) -> re.Pattern | None:
    """The compiled ``ticker=`` pattern; it must capture the ticker in a group."""
    if ticker is None or callable(ticker):
        return None
    if not isinstance(ticker, str):
        raise TypeError(f"ticker must be None, a pattern (str) or a function of the path, got {type(ticker).__name__}")
    try:
        pattern = re.compile(ticker)
    except re.error as error:
        raise ValueError(f"ticker pattern {ticker!r} is not a regular expression: {error}") from None
    if not pattern.groups:
        raise ValueError(
            f"ticker pattern {ticker!r} has no group: put the ticker's part of the file name in parentheses, "
            'e.g. ticker=r"ohlc_(.+)" reads AAPL from ohlc_AAPL.csv'
        )
    return pattern


def _ticker_of(path: Path, ticker) -> str:
    stem = path.name.split(".")[0]
    if ticker is None:
        return stem
    if callable(ticker):
        return str(ticker(path))
    found = ticker.search(stem)
    if found is None:
        raise ValueError(f"ticker pattern {ticker.pattern!r} does not match the file name {path.name}")
    return found.group(1)


def _key(name) -> str:
    return re.sub(r"[\s\-]+", "_", str(name).strip().lower())


def _column_keys(frame: pd.DataFrame, where: str) -> dict:
    keys: dict = {}
    for column in frame.columns:
        if _key(column) in keys:
            raise ValueError(f"{where} has two columns named {_key(column)!r}: {keys[_key(column)]!r} and {column!r}")
        keys[_key(column)] = column
    return keys


def _pick(keys: dict, given, names, what: str, where: str):
    if given is not None:
        if _key(given) not in keys:
            raise ValueError(f"{where} has no column {given!r}; its columns are {list(keys.values())}")
        return keys[_key(given)]
    for name in names:
        if name in keys:
            return keys[name]
    raise ValueError(f"{where} has no {what} column (looked for {', '.join(names)}); name it with {what}=")


def _field_columns(keys: dict, where: str) -> dict:
    fields = {f: keys[f] for f in _FIELDS if f in keys}
    if "close" not in fields:
        raise ValueError(f"{where} has no close column; its columns are {list(keys.values())}")
    adjusted = next((keys[k] for k in _ADJUSTED_NAMES if k in keys), None)
    if adjusted is not None:
        fields["adj_close"] = adjusted
    return fields


def _numbers(column: pd.Series, name, where: str) -> pd.Series:
    if pd.api.types.is_numeric_dtype(column.dtype) and not pd.api.types.is_bool_dtype(column.dtype):
        return column.astype(np.float64)
    numbers = pd.to_numeric(column, errors="coerce")
    bad = numbers.isna() & column.notna()
    if bad.any():
        at = int(np.argmax(bad.to_numpy()))
        raise ValueError(f"{where}: column {name!r} holds {column.iloc[at]!r} (row {at}), not a number")
    return numbers.astype(np.float64)


def _dates(values, dayfirst: bool) -> pd.DatetimeIndex:
    # Text that is not a date would warn about its format before failing, and
    # ISO dates warn under dayfirst although they read unambiguously.
    with warnings.catch_warnings(action="ignore", category=UserWarning):
        return pd.DatetimeIndex(pd.to_datetime(values, dayfirst=dayfirst), name=getattr(values, "name", None))


def _parse_dates(values, dayfirst: bool, where: str) -> pd.DatetimeIndex:
    try:
        dates = _dates(values, dayfirst)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{where}: the date column does not hold dates ({error})") from None
    if dates.hasnans:
        raise ValueError(f"{where}: a row has no date (row {int(np.argmax(dates.isna()))})")
    return dates
