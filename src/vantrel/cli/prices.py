"""The ``--prices`` of ``vantrel run`` and ``prices =`` of a sweep file: one path, whatever its shape."""

from __future__ import annotations

from pathlib import Path

__all__ = ["load_prices"]


def load_prices(path, *, ticker: str | None = None, **options):
    """A Market from a folder or glob of per-ticker files, one per-ticker file, or a long file.

    A file is long when it has a ticker column (ticker, symbol, ...), unless
    ``ticker`` (a pattern of the file name) is given; ``options`` go to the loader.
    """
    from ..datasets import _has_ticker_column, _is_glob, load_long, load_ticker_files

    if _is_glob(path) or Path(path).is_dir():
        return load_ticker_files(str(path), ticker=ticker, **options)
    path = Path(path)
    if not path.exists():
        raise FileNotFoundError(f"no such file or directory: {path}")
    if ticker is not None or not _has_ticker_column(path):
        return load_ticker_files(path, ticker=ticker, **options)
    return load_long(path, **options)
