"""Process-tree helpers (Linux /proc) shared by the sweep benchmark and the sweep tests."""

from __future__ import annotations

import os


def descendants(pid: int) -> list[int]:
    """Every process below ``pid``."""
    found, stack = [], [pid]
    while stack:
        parent = stack.pop()
        try:
            tasks = os.listdir(f"/proc/{parent}/task")
        except FileNotFoundError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{parent}/task/{task}/children") as children:
                    kids = [int(k) for k in children.read().split()]
            except FileNotFoundError:
                continue
            found += kids
            stack += kids
    return found
