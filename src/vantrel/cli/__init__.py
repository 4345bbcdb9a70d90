"""The ``vantrel`` command line: ``vantrel demo``, ``vantrel run`` and ``vantrel sweep``."""

from __future__ import annotations

import argparse
import sys

from .._version import __version__
from .demo import add_demo_command
from .run import add_run_command
from .sweep import add_sweep_command

__all__ = ["main"]


def main(argv=None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    try:
        return args.handler(args)
    except (ValueError, TypeError, FileNotFoundError) as error:
        print(f"vantrel {args.command}: error: {error}", file=sys.stderr)
        return 2


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vantrel", description="Backtest stock-portfolio strategies.")
    parser.add_argument("--version", action="version", version=f"vantrel {__version__}")
    commands = parser.add_subparsers(dest="command")
    add_demo_command(commands)
    add_run_command(commands)
    add_sweep_command(commands)
    return parser
