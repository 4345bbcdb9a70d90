"""Charts as PNG: bytes for files, data URIs for self-contained pages."""

from __future__ import annotations

import base64
import io

__all__ = ["figure_png", "png_data_uri"]


def figure_png(fig, *, dpi: int = 100) -> bytes:
    """A matplotlib Figure as PNG bytes."""
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=dpi)
    return buffer.getvalue()


def png_data_uri(fig, *, dpi: int = 100) -> str:
    return "data:image/png;base64," + base64.b64encode(figure_png(fig, dpi=dpi)).decode("ascii")
