"""Regression guard: the engine's instruction counts on the S workload stay in budget.

Instruction counts under callgrind do not depend on the machine's load, so the
guard is not flaky; the budget allows several times the recorded count, so
only a change that makes the engine several times slower fails. After a
deliberate change of cost, re-record with `python -m benchmarks.callgrind --record`.
"""

import json
import shutil
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))

from benchmarks import callgrind  # noqa: E402

pytestmark = pytest.mark.skipif(
    not (callgrind.available() and shutil.which("callgrind_control")),
    reason="valgrind's callgrind is not installed",
)


def test_engine_stays_within_its_instruction_budget():
    budget = json.loads(callgrind.BUDGET.read_text())
    limit = budget["allowed_factor"]
    counts = callgrind.count_instructions(budget["workload"], list(budget["instructions"]))

    assert set(counts) == set(budget["instructions"]), "a guarded run left no profile"
    over = {
        name: f"{counts[name]:,} > {limit} x {recorded:,}"
        for name, recorded in budget["instructions"].items()
        if counts[name] > limit * recorded
    }
    assert not over, f"engine slower than its budget: {over}"
    # A count near zero would mean the profile missed the engine, not a fast engine.
    assert min(counts.values()) > 100_000
