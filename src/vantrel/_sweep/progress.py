"""A one-line progress display with rate and ETA, on stderr so stdout stays the results."""

from __future__ import annotations

import sys
import time

__all__ = ["ProgressLine"]


def _clock(seconds: float) -> str:
    seconds = round(seconds)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


class ProgressLine:
    """Rewrites one line on a terminal; elsewhere (a log file) prints a line every few seconds."""

    def __init__(
        self, total: int, *, enabled: bool | None = None, stream=None, label: str = "sweep", already: int = 0
    ) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.terminal = bool(getattr(self.stream, "isatty", lambda: False)())
        self.enabled = self.terminal if enabled is None else enabled
        self.total, self.done, self.label = total, already, label
        self.already = already  # done before this run (a resumed sweep): not part of the rate
        self.started = self.shown_at = time.monotonic()
        self.interval = 0.1 if self.terminal else 5.0

    def advance(self, count: int = 1) -> None:
        self.done += count
        now = time.monotonic()
        if self.enabled and (now - self.shown_at >= self.interval or self.done == self.total):
            self.shown_at = now
            self._show(now)

    def close(self) -> None:
        if self.enabled and self.terminal:
            self.stream.write("\n")
            self.stream.flush()

    def text(self, now: float) -> str:
        elapsed = now - self.started
        rate = (self.done - self.already) / elapsed if elapsed > 0 else 0.0
        eta = _clock((self.total - self.done) / rate) if rate > 0 else "?"
        share = self.done / self.total if self.total else 1.0
        return (
            f"{self.label} {self.done}/{self.total} {share:4.0%}  {rate:.2f} variants/s  "
            f"elapsed {_clock(elapsed)}  ETA {eta}"
        )

    def _show(self, now: float) -> None:
        line = self.text(now)
        self.stream.write(f"\r{line}\x1b[K" if self.terminal else line + "\n")
        self.stream.flush()
