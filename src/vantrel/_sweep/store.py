"""The on-disk store of a sweep: every finished variant is written as it arrives.

One SQLite file (the standard library's ``sqlite3``) in write-ahead-log mode:
appending a row is one short transaction, a reader never blocks the writer,
and a process killed at any moment leaves every committed row intact. Only
the parent process writes; workers never touch the file.

Two tables:

``meta``
    ``name``/``value`` pairs: the layout, the vantrel version, the market's
    fingerprint, the sweep's fingerprint (its variants' keys in order), the
    parameter names and how each statistic column is typed.
``results``
    One row per finished variant: ``variant`` (its number in the sweep),
    ``key`` (the variant's fingerprint), the parameters, the statistics,
    ``error``, ``seconds`` (wall time of the variant) and, when equity curves
    are kept, ``equity_start`` (bar number of the first value) and ``equity``
    (the float64 values).
``sweep`` (a view)
    The finished rows laid out like ``SweepResult.table``: variant,
    parameters, statistics, error. Read it with
    ``pd.read_sql("SELECT * FROM sweep", sqlite3.connect(path), index_col="variant")``.

The values read back reconstruct each variant's outcome exactly: numbers keep
their type and bits, dates their time zone.
"""

from __future__ import annotations

import json
import math
import numbers
import sqlite3
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from .job import Outcome

__all__ = ["StoreIdentity", "StoreMismatch", "SweepStore", "grid_values"]

LAYOUT = "1"
_FIXED = ("variant", "key", "error", "seconds", "equity_start", "equity")


class StoreMismatch(ValueError):
    """The store was written by another sweep; its rows must not be mixed in."""


@dataclass(frozen=True)
class StoreIdentity:
    """What a store's rows were computed from."""

    version: str  # of vantrel
    market: str  # market fingerprint
    source: str  # the strategy's name or the fixed weights' fingerprint
    options: str  # the shared backtest options, as text
    sweep: str  # fingerprint of every variant key, in order (covers grid and options)
    parameters: tuple[str, ...]
    variants: int
    grid: str = "{}"  # each parameter's values as the store's cells show them (see ``grid_values``), as JSON


class SweepStore:
    """An open store: rows already there, and appending new ones."""

    def __init__(
        self,
        path: Path,
        connection: sqlite3.Connection,
        parameters: Sequence[str],
        stats: dict[str, dict],
        dates: pd.DatetimeIndex,
    ) -> None:
        self.path = path
        self._dates = dates
        self._db = connection
        self._parameters = list(parameters)
        self._stats = stats  # statistic -> {"column": name in the table, "kind": how to read it back}
        self._columns = {row[1] for row in connection.execute("PRAGMA table_info(results)")}

    # -- opening ----------------------------------------------------------------------------------

    @classmethod
    def open(
        cls, path, identity: StoreIdentity, dates: pd.DatetimeIndex, *, resume: bool, overwrite: bool = False
    ) -> SweepStore:
        """Open (or create) the store at ``path`` for the sweep ``identity`` describes.

        With ``overwrite`` a store already there, of this sweep or another, is
        emptied and starts afresh (a file that is no sweep store is still refused).

        Raises
        ------
        StoreMismatch
            The store holds another sweep's rows (other market, grid, options,
            strategy or vantrel version).
        ValueError
            The file is not a sweep store, or it holds rows and neither ``resume``
            nor ``overwrite`` is True.
        """
        path = Path(path)
        if path.is_dir():
            raise ValueError(f"store must be a file path, not the folder {path}")
        reserved = sorted(set(identity.parameters) & set(_FIXED))
        if reserved:
            raise ValueError(f"parameter names {', '.join(map(repr, reserved))} are reserved by the sweep store")
        path.parent.mkdir(parents=True, exist_ok=True)
        connection = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        try:
            try:
                connection.execute("PRAGMA journal_mode=WAL")
                connection.execute("PRAGMA synchronous=NORMAL")  # committed rows survive a killed process
                connection.execute("PRAGMA busy_timeout=10000")
                tables = {row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            except sqlite3.DatabaseError as error:
                raise ValueError(f"{path} is not a vantrel sweep store ({error})") from None
            # No tables: a new file, or one whose creation was interrupted before it held anything.
            if tables and not {"meta", "results"} <= tables:
                raise ValueError(f"{path} is not a vantrel sweep store")
            if tables and not overwrite:
                meta = dict(connection.execute("SELECT name, value FROM meta"))
                _check_identity(path, meta, identity)
                held = connection.execute("SELECT count(*) FROM results").fetchone()[0]
                if held and not resume:
                    raise ValueError(
                        f"the store {path} already holds {held} finished variants of this sweep; "
                        f"resume it (resume=True, --resume), {_ELSEWHERE}"
                    )
                stats = json.loads(meta.get("stats", "{}"))
            else:
                _create(connection, identity, replace=bool(tables))
                stats = {}
        except BaseException:
            connection.close()
            raise
        return cls(path, connection, identity.parameters, stats, dates)

    def close(self) -> None:
        self._db.close()

    # -- reading ----------------------------------------------------------------------------------

    def finished(self, keys: Sequence[str], *, need_equity: bool) -> dict[int, Outcome]:
        """Outcomes already stored, by variant number (every number whose key has a row).

        With ``need_equity`` a row without its equity curve does not count:
        the variant runs again to produce it.
        """
        names = list(self._stats)
        columns = ", ".join(_quote(self._stats[name]["column"]) for name in names)
        select = f"SELECT key, error, seconds, equity_start, equity{', ' + columns if columns else ''} FROM results"
        by_key = {}
        for row in self._db.execute(select):
            key, error, seconds, start, equity = row[:5]
            if need_equity and error is None and equity is None:
                continue
            by_key[key] = self._outcome(names, row[5:], error, seconds, start, equity)
        return {number: by_key[key] for number, key in enumerate(keys) if key in by_key}

    def _outcome(self, names, values, error, seconds, start, equity) -> Outcome:
        if error is not None:
            return Outcome(error=error, seconds=seconds)
        stats = {name: _read(value, self._stats[name]) for name, value in zip(names, values, strict=True)}
        curve = None
        if equity is not None:
            numbers_ = np.frombuffer(equity, dtype="<f8").astype(np.float64)
            curve = pd.Series(numbers_, index=self._dates[start : start + len(numbers_)], name="equity")
        return Outcome(stats=stats, equity=curve, seconds=seconds)

    # -- writing ----------------------------------------------------------------------------------

    def write(self, rows: Iterable[tuple[int, str, dict, Outcome]]) -> None:
        """Append finished variants ``(number, key, parameters, outcome)`` in one transaction."""
        rows = list(rows)
        if not rows:
            return
        self._db.execute("BEGIN IMMEDIATE")
        try:
            for _, _, _, outcome in rows:
                if outcome.stats:
                    self._learn(outcome.stats)
            self._db.executemany(*self._records(rows))
            self._db.execute("COMMIT")
        except BaseException:
            self._db.execute("ROLLBACK")
            raise

    def _records(self, rows) -> tuple[str, list[tuple]]:
        names = list(self._stats)
        columns = [
            "variant",
            "key",
            *self._parameters,
            *(self._stats[n]["column"] for n in names),
            "error",
            "seconds",
            "equity_start",
            "equity",
        ]
        insert = (
            f"INSERT OR REPLACE INTO results ({', '.join(map(_quote, columns))}) "
            f"VALUES ({', '.join('?' * len(columns))})"
        )
        records = []
        for number, key, params, outcome in rows:
            stats = outcome.stats or {}
            equity_start = equity = None
            if outcome.equity is not None:
                equity_start = int(self._dates.searchsorted(outcome.equity.index[0])) if len(outcome.equity) else 0
                equity = np.ascontiguousarray(outcome.equity.to_numpy(), dtype="<f8").tobytes()
            records.append(
                (
                    number,
                    key,
                    *(_parameter_value(params.get(name)) for name in self._parameters),
                    *(_written(stats.get(name), self._stats[name]) for name in names),
                    outcome.error,
                    outcome.seconds,
                    equity_start,
                    equity,
                )
            )
        return insert, records

    def _learn(self, stats: dict) -> None:
        """Give each statistic seen for the first time its column, and settle its kind."""
        changed = False
        for name, value in stats.items():
            kind = _kind(value)
            column_type = self._stats.get(name)
            if column_type is None:
                column = name if name not in self._columns else f"stat:{name}"
                self._db.execute(f"ALTER TABLE results ADD COLUMN {_quote(column)}")  # untyped: keeps -0.0
                self._columns.add(column)
                self._stats[name] = column_type = {"column": column, "kind": kind}
                changed = True
            elif column_type["kind"] is None and kind is not None:
                column_type["kind"] = kind
                changed = True
            if kind == "date" and value is not pd.NaT and "unit" not in column_type:
                column_type["tz"] = None if value.tz is None else str(value.tz)
                column_type["unit"] = value.unit
                changed = True
        if changed:
            self._db.execute("INSERT OR REPLACE INTO meta VALUES ('stats', ?)", (json.dumps(self._stats),))
            _view(self._db, self._parameters, [column_type["column"] for column_type in self._stats.values()])


def _create(connection: sqlite3.Connection, identity: StoreIdentity, *, replace: bool = False) -> None:
    """The tables of a new store; with ``replace``, in place of the old ones in the same transaction."""
    parameters = "".join(f", {_quote(name)}" for name in identity.parameters)
    connection.execute("BEGIN IMMEDIATE")
    if replace:
        connection.execute("DROP VIEW IF EXISTS sweep")
        connection.execute("DROP TABLE meta")
        connection.execute("DROP TABLE results")
    connection.execute("CREATE TABLE meta (name TEXT PRIMARY KEY, value TEXT)")
    connection.execute(
        f"CREATE TABLE results (variant INTEGER NOT NULL, key TEXT PRIMARY KEY{parameters}, error TEXT, "
        "seconds REAL, equity_start INTEGER, equity BLOB)"
    )
    meta = dict(
        layout=LAYOUT,
        version=identity.version,
        market=identity.market,
        source=identity.source,
        options=identity.options,
        sweep=identity.sweep,
        parameters=json.dumps(list(identity.parameters)),
        variants=str(identity.variants),
        grid=identity.grid,
        stats="{}",
        created=pd.Timestamp.now(tz="UTC").isoformat(),
    )
    connection.executemany("INSERT INTO meta VALUES (?, ?)", meta.items())
    _view(connection, identity.parameters, [])
    connection.execute("COMMIT")


def _view(connection: sqlite3.Connection, parameters: Sequence[str], statistics: Sequence[str]) -> None:
    """``sweep``: the rows as ``SweepResult.table`` lays them out (variant, parameters, statistics, error)."""
    columns = ", ".join(map(_quote, ["variant", *parameters, *statistics, "error"]))
    connection.execute("DROP VIEW IF EXISTS sweep")
    connection.execute(f"CREATE VIEW sweep AS SELECT {columns} FROM results ORDER BY variant")


def _check_identity(path: Path, meta: dict, identity: StoreIdentity) -> None:
    def short(text):
        return str(text)[:12]

    if meta.get("layout") != LAYOUT:
        raise StoreMismatch(f"the store {path} has layout {meta.get('layout')!r}, which this vantrel cannot read")
    if meta.get("version") != identity.version:
        raise StoreMismatch(
            f"the store {path} was written by vantrel {meta.get('version')}, this is {identity.version}: "
            f"its results are not mixed in; {_ELSEWHERE}"
        )
    if meta.get("market") != identity.market:
        raise StoreMismatch(
            f"the store {path} was written for a different market (fingerprint {short(meta.get('market'))}, "
            f"this market {short(identity.market)}): its results are not mixed in; {_ELSEWHERE}"
        )
    if meta.get("source") != identity.source:
        raise StoreMismatch(
            f"the store {path} was written by a different strategy or weights ({meta.get('source')}, "
            f"now {identity.source}): its results are not mixed in; {_ELSEWHERE}"
        )
    if meta.get("options") != identity.options:
        raise StoreMismatch(
            f"the store {path} was written with different options ({meta.get('options')}, now {identity.options}): "
            f"its results are not mixed in; {_ELSEWHERE}"
        )
    if meta.get("sweep") != identity.sweep:
        raise StoreMismatch(
            f"the store {path} was written by a different grid ({_grid_change(meta, identity)}): "
            f"its results are not mixed in; {_ELSEWHERE}"
        )


# How every refusal of a store ends: the ways out.
_ELSEWHERE = "write to another store or replace it (overwrite=True, --overwrite)"


def grid_values(names: Sequence[str], variants: Sequence[dict]) -> str:
    """Each parameter's distinct values in first-seen order, as the store's cells show them (JSON)."""
    values: dict[str, list] = {name: [] for name in names}
    for variant in variants:
        for name in names:
            cell = _parameter_value(variant.get(name))
            if cell not in values[name]:
                values[name].append(cell)
    return json.dumps(values)


def _grid_change(meta: dict, identity: StoreIdentity) -> str:
    """What differs between the stored grid and this one: parameter names, then values by parameter."""
    before_names = json.loads(meta.get("parameters", "[]"))
    before_count, now_count = meta.get("variants"), identity.variants
    if "grid" not in meta:  # written before stores kept their values
        return (
            f"{before_count} variants of {', '.join(before_names) or 'no parameters'}; now {now_count} "
            f"of {', '.join(identity.parameters) or 'no parameters'}"
        )
    before, now = json.loads(meta["grid"]), json.loads(identity.grid)
    changes = []
    if list(before) != list(now):
        changes.append(f"parameters were {', '.join(before) or 'none'}, now {', '.join(now) or 'none'}")
    changes += [
        f"{name} was {_values_text(before[name])}, now {_values_text(now[name])}"
        for name in now
        if name in before and before[name] != now[name]
    ]
    if changes:
        return "; ".join(changes)
    # The same values, or values that only their fingerprints tell apart (such as per-stock Series).
    same = "the same parameter values as far as they show"
    if str(before_count) != str(now_count):
        return f"{before_count} variants, now {now_count}, of {same}"
    return f"{now_count} variants of {same}, combined, ordered or valued otherwise"


def _values_text(values: list, most: int = 8) -> str:
    shown = ", ".join(repr(v) if isinstance(v, str) else str(v) for v in values[:most])
    return shown if len(values) <= most else f"{shown}, ... ({len(values)} values)"


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _kind(value) -> str | None:
    if value is None:
        return None
    if value is pd.NaT or isinstance(value, pd.Timestamp):
        return "date"
    if isinstance(value, (bool, np.bool_)):
        return "bool"
    if isinstance(value, numbers.Integral):
        return "int"
    if isinstance(value, numbers.Real):
        return "float"
    if isinstance(value, str):
        return "text"
    return "repr"


def _written(value, column_type: dict):
    """A statistic as SQLite keeps it; ``_read`` turns it back into the same value."""
    if value is None or value is pd.NaT:
        return None
    kind = column_type["kind"]
    if kind == "date":
        return value.isoformat()
    if kind == "bool":
        return int(value)
    if kind == "int":
        return int(value)
    if kind == "float":
        value = float(value)
        return None if math.isnan(value) else value
    if kind == "text":
        return value
    return repr(value)


def _read(value, column_type: dict):
    kind = column_type["kind"]
    if kind == "float":
        return math.nan if value is None else float(value)
    if kind == "date":
        if value is None:
            return pd.NaT
        stamp = pd.Timestamp(value).as_unit(column_type.get("unit", "ns"))
        tz = column_type.get("tz")
        return stamp if tz is None else stamp.tz_convert(tz)
    if value is None:
        return None
    if kind == "bool":
        return bool(value)
    if kind == "int":
        return int(value)
    return value


def _parameter_value(value):
    """A parameter as a readable cell: numbers, text and dates as themselves, anything else described."""
    if value is None or isinstance(value, (str, bytes)):
        return value
    if isinstance(value, (bool, np.bool_)):
        return int(value)
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        value = float(value)
        return None if math.isnan(value) else value
    if isinstance(value, pd.Timestamp):
        return value.isoformat()
    if isinstance(value, (pd.Series, pd.DataFrame, np.ndarray, pd.Index)):
        return f"{type(value).__name__} of shape {getattr(value, 'shape', (len(value),))}"
    return repr(value)
