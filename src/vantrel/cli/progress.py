"""Numbered progress steps of the commands, on stderr."""

from __future__ import annotations

import sys
import time

__all__ = ["Progress"]


class Progress:
    """Numbered steps with elapsed time, on stderr so stdout stays the results."""

    def __init__(self, steps: int, quiet: bool = False) -> None:
        self.steps, self.done, self.quiet = steps, 0, quiet
        self.started = time.perf_counter()

    def __call__(self, message: str) -> None:
        self.done += 1
        if not self.quiet:
            elapsed = time.perf_counter() - self.started
            print(f"[{self.done}/{self.steps} {elapsed:5.1f}s] {message}", file=sys.stderr, flush=True)
