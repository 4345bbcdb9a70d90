"""The Figure every chart is drawn on: a matplotlib Figure that also draws itself in a notebook.

Charts are made without pyplot (no GUI backend, nothing kept alive by a global
registry), so a notebook's inline backend never sees them and would show only
``<Figure size 1000x520 with 2 Axes>``. ``_repr_png_`` lets IPython draw them
anyway. With ``%matplotlib inline`` active IPython's own Figure printer takes
precedence over ``_repr_png_`` and draws the chart once, as for any Figure.
"""

from __future__ import annotations

from matplotlib.figure import Figure

from .images import figure_png

__all__ = ["Chart"]


class Chart(Figure):
    """A :class:`matplotlib.figure.Figure` that a notebook draws as PNG without ``%matplotlib inline``."""

    def _repr_png_(self) -> bytes:
        return figure_png(self)
