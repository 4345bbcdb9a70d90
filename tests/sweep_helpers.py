"""Strategies and guards shared by the sweep tests; strategies live in a module so worker processes can import them."""

import contextlib
import os
import signal
import sqlite3
import sys
import time
from pathlib import Path

import numpy

from vantrel.datasets import synthetic_market
from vantrel.demo import momentum_weights

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from benchmarks.processes import descendants  # noqa: F401  (re-exported for the tests)


def tiny_market():
    return synthetic_market(30, 300, seed=11)


def momentum(market, *, top=5, lookback=60):
    return momentum_weights(market.close, lookback=lookback, skip=5, top=top)


def unequal_pace(market, *, top=5, lookback=60, pause=0.0):
    """Momentum after a pause: later variants can finish before earlier ones."""
    time.sleep(pause)
    return momentum(market, top=top, lookback=lookback)


def choosy(market, *, top=5, lookback=60, fail=None):
    """Momentum, or one of the failures a variant can meet."""
    if fail == "raise":
        raise ArithmeticError("no momentum in a flat market")
    weights = momentum(market, top=top, lookback=lookback)
    if fail == "unpriced":  # a stock the market has no prices for
        weights["XYZ"] = 0.1
    return weights


def where_am_i(market):
    """Fails on purpose, reporting which process ran it and which market object it saw."""
    raise LookupError(f"{os.getpid()} {id(market)}")


def die(market, *, top=5, crash=False):
    if crash:
        os._exit(3)
    time.sleep(0.2)
    return momentum(market, top=top)


def slow(market, *, n):
    time.sleep(0.5)
    return momentum(market)


def paced(market, *, top=5, lookback=60, pause=0.0):
    """Momentum after a pause, counting its calls in this process."""
    paced.calls += 1
    time.sleep(pause)
    return momentum(market, top=top, lookback=lookback)


paced.calls = 0


def bounded(market, *, top=5, hang=False, hog=0):
    """Momentum, or a variant that never ends, or one that wants ``hog`` MiB at once."""
    while hang:
        pass
    if hog:
        numpy.ones(hog << 17)  # hog MiB of float64
    return momentum(market, top=top)


class Overtime(Exception):
    pass


@contextlib.contextmanager
def deadline(seconds):
    """Fail, rather than hang, when the block takes longer than ``seconds``."""

    def expire(signum, frame):
        raise Overtime(f"still running after {seconds} s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def stored(path) -> set:
    """Numbers of the variants in a sweep store (none while it does not exist yet)."""
    try:
        with contextlib.closing(sqlite3.connect(path)) as connection:
            return {row[0] for row in connection.execute("SELECT variant FROM results")}
    except sqlite3.OperationalError:
        return set()


def alive(pid):
    """Running, as opposed to gone or a zombie waiting to be reaped."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False
