"""Command-line options that several commands share."""

from __future__ import annotations

__all__ = ["add_cost_options"]


def add_cost_options(parser) -> None:
    parser.add_argument(
        "--fee-ratio",
        type=float,
        default=0.0,
        help="fee on every trade, a fraction of the value traded (default %(default)s: none; e.g. 0.001425)",
    )
    parser.add_argument(
        "--tax-ratio",
        type=float,
        default=0.0,
        help="tax on every sale, a fraction of the value sold (default %(default)s: none; e.g. 0.003)",
    )
