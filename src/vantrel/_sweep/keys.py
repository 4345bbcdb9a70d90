"""Stable fingerprints: of a market, of a variant's parameters, of what a sweep computes.

A fingerprint is a BLAKE2b digest of a canonical byte encoding, so it is the
same in every process, on every run and on every machine: Python's ``hash``
is salted per process and pickles vary between versions. Numbers keep their
type and exact bits (``1`` and ``1.0`` differ, as do ``0.0`` and ``-0.0``).
"""

from __future__ import annotations

import datetime
import hashlib
import numbers
from collections.abc import Mapping

import numpy as np
import pandas as pd

__all__ = ["Unencodable", "fingerprint", "market_fingerprint"]

_DIGEST = 16  # bytes: 128 bits, far beyond any chance collision between variants


class Unencodable(TypeError):
    """A value with no stable encoding (an arbitrary object, a function)."""


def fingerprint(*parts) -> str:
    """Hex digest of the canonical encoding of ``parts``."""
    digest = hashlib.blake2b(digest_size=_DIGEST)
    for part in parts:
        _feed(digest, part)
    return digest.hexdigest()


def market_fingerprint(market) -> str:
    """Digest of a market's dates, labels, every price matrix it holds, its delisting dates,
    and its volume, dividends and splits when it has them.

    One pass over the price bytes (tens of milliseconds for a market of
    millions of prices); the matrices are hashed in place, not copied. A
    market without volume or corporate actions keeps the digest it had
    before markets could hold them, so existing stores still resume.
    """
    digest = hashlib.blake2b(digest_size=_DIGEST)
    _feed(digest, market.index)
    _feed(digest, market.columns)
    for kind in ("close", "open", "high", "low"):
        if market.has(kind):
            digest.update(kind.encode())
            _array(digest, market.values(kind))
    _feed(digest, market.delisting)
    if market.has("volume"):
        digest.update(b"volume")
        _array(digest, market.values("volume"))
    for kind in ("dividend_events", "split_events"):
        events = getattr(market, kind)
        if len(events):
            digest.update(kind.encode())
            for values in (events.bars, events.columns, events.amounts):
                _array(digest, values)
    return digest.hexdigest()


def _feed(digest, value) -> None:
    update = digest.update
    if value is None:
        update(b"N;")
    elif isinstance(value, (bool, np.bool_)):
        update(b"b1;" if value else b"b0;")
    elif isinstance(value, numbers.Integral):
        update(b"i%d;" % int(value))
    elif isinstance(value, (float, np.floating)):
        update(b"f" + float(value).hex().encode() + b";")
    elif isinstance(value, str):
        _bytes(digest, b"s", value.encode("utf-8", "surrogatepass"))
    elif isinstance(value, bytes):
        _bytes(digest, b"y", value)
    elif value is pd.NaT:
        update(b"T;")
    elif isinstance(value, (pd.Timestamp, datetime.datetime, datetime.date, np.datetime64)):
        stamp = pd.Timestamp(value)
        update(b"t%d:" % stamp.as_unit("ns").value)
        _feed(digest, None if stamp.tz is None else str(stamp.tz))
    elif isinstance(value, (pd.Timedelta, datetime.timedelta, np.timedelta64)):
        update(b"d%d;" % pd.Timedelta(value).as_unit("ns").value)
    elif isinstance(value, pd.DataFrame):
        update(b"F")
        _feed(digest, value.index)
        _feed(digest, value.columns)
        for position in range(value.shape[1]):  # column by column: mixed types keep their own bytes
            _array(digest, value.iloc[:, position].to_numpy())
    elif isinstance(value, pd.Series):
        update(b"S")
        _feed(digest, value.index)
        _array(digest, value.to_numpy())
    elif isinstance(value, pd.Index):
        update(b"I")
        _feed(digest, None if getattr(value, "tz", None) is None else str(value.tz))
        _array(digest, value.to_numpy())
    elif isinstance(value, np.ndarray):
        _array(digest, value)
    elif isinstance(value, (list, tuple)):
        update(b"L%d[" % len(value))
        for item in value:
            _feed(digest, item)
        update(b"]")
    elif isinstance(value, Mapping):
        # Order-free: a parameter set is the same whatever order its names came in.
        items = sorted((fingerprint(key), key, item) for key, item in value.items())
        update(b"M%d{" % len(items))
        for _, key, item in items:
            _feed(digest, key)
            _feed(digest, item)
        update(b"}")
    else:
        raise Unencodable(f"a {type(value).__name__} has no stable fingerprint")


def _bytes(digest, tag: bytes, data: bytes) -> None:
    digest.update(tag + b"%d:" % len(data))
    digest.update(data)


def _array(digest, values: np.ndarray) -> None:
    values = np.asarray(values)
    digest.update(b"A" + values.dtype.str.encode() + repr(values.shape).encode())
    if values.dtype.hasobject:
        for item in values.ravel():
            _feed(digest, item)
    else:
        digest.update(np.ascontiguousarray(values).reshape(-1).view(np.uint8))
