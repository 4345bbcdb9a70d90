"""Worker processes start by importing the main script again: catch a script that would
start its sweep again in each of them, before any worker starts.

The sweep starts fresh interpreters (forkserver or spawn), and each one runs the main
script's top-level code as ``__mp_main__`` to find the strategy. Code under
``if __name__ == "__main__":`` does not run there; a sweep started outside it would be
started again in every worker, which multiprocessing refuses while the worker boots, and
the parent sees only a broken pipe. Whether the script does this can be read from the
caller's own frame: the main module's top-level line that is running, and whether it
lies under such a test.
"""

from __future__ import annotations

import ast
import os
import sys
import tokenize
from types import FrameType

__all__ = ["refuse_unguarded_main"]


def refuse_unguarded_main() -> None:
    """Raise RuntimeError when worker processes would run this sweep's call again."""
    path = _path_workers_rerun()
    if path is None:
        return
    line = _running_line(sys._getframe(1), path)
    if line is None or _guarded(path, line):
        return
    raise RuntimeError(
        f"vantrel.sweep runs its variants in worker processes, and each of them starts by importing the main "
        f"script ({path}) again: line {line}, which started this sweep, is not under "
        '`if __name__ == "__main__":`, so every worker would start the sweep again. Put the script\'s work '
        'under `if __name__ == "__main__":` (see "Safe importing of main module" in the multiprocessing '
        'documentation), or use executor="threads"'
    )


def _path_workers_rerun() -> str | None:
    """The main module's file when a spawned worker runs it again (as multiprocessing decides), else None."""
    main = sys.modules.get("__main__")
    module_spec = getattr(main, "__spec__", None)
    name = getattr(module_spec, "name", None)
    if name is not None:
        if name == "__main__" or name.endswith(".__main__"):  # a package's __main__: not run again
            return None
        path = getattr(module_spec, "origin", None)
    else:
        path = getattr(main, "__file__", None)
        if path is not None and os.path.splitext(os.path.basename(path))[0] == "ipython":
            return None
    return os.path.abspath(path) if isinstance(path, str) else None


def _running_line(frame: FrameType | None, path: str) -> int | None:
    """The line of the main script's top-level code that led to this call, if any."""
    main = sys.modules.get("__main__")
    while frame is not None:
        if (
            frame.f_code.co_name == "<module>"
            and frame.f_globals is getattr(main, "__dict__", None)
            and os.path.abspath(frame.f_code.co_filename) == path
        ):
            return frame.f_lineno
        frame = frame.f_back
    return None


def _guarded(path: str, line: int) -> bool:
    """Whether ``line`` lies in an ``if`` that tests ``__name__`` (unreadable source: assumed guarded)."""
    try:
        with tokenize.open(path) as source:
            tree = ast.parse(source.read(), path)
    except (OSError, SyntaxError, ValueError):
        return True
    return any(
        isinstance(node, ast.If)
        and node.lineno <= line <= (node.end_lineno or node.lineno)
        and any(isinstance(name, ast.Name) and name.id == "__name__" for name in ast.walk(node.test))
        for node in ast.walk(tree)
    )
