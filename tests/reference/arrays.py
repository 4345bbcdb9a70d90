"""Argument checks and bounds-checked reads, as the engine's typed array views make them.

The engine reads its arrays through typed strided views: the element type and
the number of dimensions are checked when a view is taken, every element read
is bounds checked (a negative index counts from the end), and an out-of-range
read raises at the moment it is made.
"""

from __future__ import annotations

import numpy as np

# C names of buffer format codes, as a buffer-type mismatch reports them.
_FORMAT_NAMES = {
    "c": "char",
    "b": "signed char",
    "B": "unsigned char",
    "?": "bool",
    "h": "short",
    "H": "unsigned short",
    "i": "int",
    "I": "unsigned int",
    "l": "long",
    "L": "unsigned long",
    "q": "long long",
    "Q": "unsigned long long",
    "e": "half",
    "f": "float",
    "d": "double",
    "g": "long double",
    "O": "Python object",
}

# Element kinds the engine accepts: (C name, accepted format codes).
F64 = ("double", ("d",))
I64 = ("int64_t", ("l", "q"))
OBJ = ("Python object", ("O",))


def out_of_bounds(axis: int) -> IndexError:
    return IndexError(f"Out of bounds on buffer access (axis {axis})")


def check_buffer(obj, ndim: int, kind) -> None:
    """Dimensions first, then element type, with the buffer-check messages."""
    try:
        view = memoryview(obj)
    except TypeError:
        raise TypeError(f"a bytes-like object is required, not '{type(obj).__name__}'") from None
    if view.ndim != ndim:
        raise ValueError(f"Buffer has wrong number of dimensions (expected {ndim}, got {view.ndim})")
    fmt = view.format
    bare = fmt[1:] if fmt[:1] in ("@", "=", "<") else fmt
    name, codes = kind
    if bare not in codes or view.itemsize != 8:
        got = _FORMAT_NAMES.get(bare, fmt) if len(bare) == 1 else fmt
        raise ValueError(f"Buffer dtype mismatch, expected '{name}' but got '{got}'")


def check_array_argument(value, name: str, ndim: int, kind, allow_none: bool = False) -> None:
    if value is None and allow_none:
        return
    if not isinstance(value, np.ndarray):
        raise TypeError(f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {type(value).__name__})")
    check_buffer(value, ndim, kind)


def _checked(i: int, size: int, axis: int) -> int:
    if i < 0:
        i += size
    if i < 0 or i >= size:
        raise out_of_bounds(axis)
    return i


class Matrix:
    """Read-only 2-D view of a float64 or object array with checked reads."""

    __slots__ = ("n_cols", "n_rows", "rows")

    def __init__(self, array: np.ndarray) -> None:
        self.n_rows, self.n_cols = array.shape
        self.rows = array.tolist()

    def __call__(self, i: int, j: int):
        r = _checked(i, self.n_rows, 0)
        return self.rows[r][_checked(j, self.n_cols, 1)]

    def row(self, i: int) -> list:
        return self.rows[_checked(i, self.n_rows, 0)]


class Vector:
    """Read-only 1-D view with checked reads."""

    __slots__ = ("items", "size")

    def __init__(self, array) -> None:
        self.items = np.asarray(array).tolist()
        self.size = len(self.items)

    def __getitem__(self, i: int):
        return self.items[_checked(i, self.size, 0)]

    def __len__(self) -> int:
        return self.size

    def __iter__(self):
        return iter(self.items)
