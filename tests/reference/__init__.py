"""An independent plain-Python reference of the backtest engine and its excursion
analysis, written for clarity and exact IEEE double results rather than speed."""

from .engine import Simora

__all__ = ["Simora"]
