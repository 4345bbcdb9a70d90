"""A heat map of one statistic of a sweep over two of its parameters."""

from __future__ import annotations

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

from .._checks import preview
from .figure import Chart

__all__ = ["heatmap_figure", "varied_parameters"]

# Statistics where lower is better get the reversed colour map, so green is always good.
_LOWER_IS_BETTER = {"annual_volatility", "avg_bars_held", "turnover"}


def varied_parameters(table: pd.DataFrame, parameters: list[str]) -> list[str]:
    """The parameters that take more than one value, in order."""
    varied = []
    for name in parameters:
        try:
            distinct = table[name].nunique(dropna=False)
        except TypeError:  # unhashable values such as per-stock stop Series
            continue
        if distinct > 1:
            varied.append(name)
    return varied


def heatmap_figure(
    table: pd.DataFrame, parameters: list[str], stat: str, x: str | None, y: str | None, *, agg: str = "mean"
) -> Figure:
    if stat not in table.columns:
        raise ValueError(f"no statistic {stat!r} in the sweep; statistics need at least one variant that ran")
    if x is None or y is None:
        varied = [name for name in varied_parameters(table, parameters) if name not in (x, y)]
        x = x if x is not None else (varied.pop(0) if varied else None)
        y = y if y is not None else (varied.pop(0) if varied else None)
        if x is None or y is None:
            raise ValueError("a heat map needs two parameters that take more than one value")
    missing = [name for name in (x, y) if name not in parameters]
    if missing:
        raise ValueError(f"no parameter {preview(missing)} in the sweep")
    ran = table[table["error"].isna()]
    values = pd.to_numeric(ran[stat], errors="coerce")
    grid = values.groupby([ran[y], ran[x]]).agg(agg).unstack(x)
    per_cell = int(ran.groupby([y, x]).size().max()) if len(ran) else 0

    fig = Chart(figsize=(1.0 + 0.9 * max(grid.shape[1], 4), 1.2 + 0.6 * max(grid.shape[0], 4)), layout="constrained")
    ax = fig.subplots()
    cells = grid.to_numpy(dtype=np.float64)
    finite = cells[np.isfinite(cells)]
    limits = (finite.min(), finite.max()) if finite.size else (0.0, 1.0)
    cmap = "RdYlGn_r" if stat in _LOWER_IS_BETTER else "RdYlGn"
    image = ax.imshow(
        np.ma.masked_invalid(cells), cmap=cmap, vmin=limits[0], vmax=limits[1], aspect="auto", origin="lower"
    )
    for (row, col), value in np.ndenumerate(cells):
        if np.isfinite(value):
            red, green, blue, _ = image.cmap(image.norm(value))
            dark = 0.299 * red + 0.587 * green + 0.114 * blue < 0.5  # perceived brightness of the cell
            ax.text(col, row, f"{value:.3g}", ha="center", va="center", fontsize=8, color="white" if dark else "black")
    ax.set_xticks(range(grid.shape[1]), [f"{v:g}" if isinstance(v, float) else str(v) for v in grid.columns])
    ax.set_yticks(range(grid.shape[0]), [f"{v:g}" if isinstance(v, float) else str(v) for v in grid.index])
    ax.set_xlabel(x)
    ax.set_ylabel(y)
    title = stat if per_cell <= 1 else f"{stat} ({agg} of up to {per_cell} variants per cell)"
    ax.set_title(title)
    fig.colorbar(image, ax=ax, label=stat)
    return fig
