"""What the figures were measured on."""

from __future__ import annotations

import platform
import shutil
import subprocess
from pathlib import Path

import numpy as np


def _first_line(cmd: list[str]) -> str:
    if shutil.which(cmd[0]) is None:
        return "not found"
    done = subprocess.run(cmd, capture_output=True, text=True, check=False)
    return (done.stdout or done.stderr).strip().splitlines()[0]


def cpu_model() -> str:
    cpuinfo = Path("/proc/cpuinfo")
    if cpuinfo.exists():
        for line in cpuinfo.read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def git_revision(repo: Path) -> str:
    done = subprocess.run(
        ["git", "-C", str(repo), "describe", "--always", "--dirty"], capture_output=True, text=True, check=False
    )
    return done.stdout.strip() or "unknown"


def describe(repo: Path) -> dict[str, str]:
    import vantrel

    return {
        "machine": platform.node(),
        "cpu": cpu_model(),
        "cores": str(len(__import__("os").sched_getaffinity(0))),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "compiler": _first_line(["c++", "--version"]),
        "vantrel": f"{vantrel.__version__} ({git_revision(repo)})",
        # Other jobs on a shared machine move wall times; this says how busy it was.
        "load_average": load_average(),
    }


def load_average() -> str:
    try:
        return " / ".join(f"{x:.2f}" for x in __import__("os").getloadavg()) + " (1 / 5 / 15 min)"
    except OSError:
        return "unknown"
