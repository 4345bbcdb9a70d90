"""The vectorbt comparison, run in a separate interpreter when its venv exists."""

from __future__ import annotations

import json
import os
import subprocess
import tempfile
from pathlib import Path

import numpy as np

from benchmarks.market import Market
from benchmarks.order_schedule import target_percent_orders
from benchmarks.strategies import Strategy

VBT_PYTHON = Path(os.environ.get("VANTREL_VBT_PYTHON", "/work/venvs/vbt/bin/python"))
SCRIPT = Path(__file__).with_name("peer_vectorbt.py")
AGREEMENT_RTOL = 1e-9


def available() -> bool:
    return VBT_PYTHON.exists()


def run_vectorbt(market: Market, strategy: Strategy, fee: float, repeats: int) -> dict:
    """Times vectorbt on `strategy` and returns its figures and final values."""
    with tempfile.TemporaryDirectory(prefix="vantrel-bench-") as tmp:
        archive = Path(tmp) / "workload.npz"
        np.savez(
            archive,
            open=market.open,
            close=market.close,
            orders=target_percent_orders(market, strategy),
            fee=np.float64(fee),
        )
        done = subprocess.run(
            [str(VBT_PYTHON), str(SCRIPT), str(archive), str(repeats)],
            capture_output=True, text=True, timeout=3600,
        )
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr else "failed"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def agreement(ours: float, theirs: float) -> dict:
    relative = abs(ours - theirs) / abs(ours)
    return {"ours": ours, "vectorbt": theirs, "relative_difference": relative,
            "agrees": bool(relative <= AGREEMENT_RTOL)}
