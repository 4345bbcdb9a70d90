"""The root of a function known to change sign on an interval (Brent's method)."""

from __future__ import annotations

import math
from collections.abc import Callable

__all__ = ["bracketed_root"]


def bracketed_root(
    f: Callable[[float], float],
    low: float,
    high: float,
    *,
    f_low: float | None = None,
    f_high: float | None = None,
    xtol: float = 1e-12,
    most: int = 100,
) -> float:
    """A root of ``f`` between ``low`` and ``high``, where ``f`` changes sign.

    Brent (1973): inverse quadratic interpolation or the secant step where it
    stays inside the bracket and shrinks it fast enough, bisection otherwise;
    converges like the secant method on a smooth function and never slower
    than bisection. Stops when the bracket is narrower than ``xtol`` (plus a
    few ulps of the root) or ``f`` is exactly 0.
    """
    a, b = float(low), float(high)
    fa = f(a) if f_low is None else f_low
    fb = f(b) if f_high is None else f_high
    if fa == 0:
        return a
    if fb == 0:
        return b
    if math.copysign(1.0, fa) == math.copysign(1.0, fb):
        raise ValueError(f"f has the same sign at both ends of [{low}, {high}]")
    c, fc = a, fa
    d = e = b - a
    for _ in range(most):
        if math.copysign(1.0, fb) == math.copysign(1.0, fc):
            c, fc = a, fa
            d = e = b - a
        if abs(fc) < abs(fb):  # b is the best guess so far
            a, b, c = b, c, b
            fa, fb, fc = fb, fc, fb
        tolerance = 2.0 * 2.2e-16 * abs(b) + 0.5 * xtol
        half = 0.5 * (c - b)
        if abs(half) <= tolerance or fb == 0:
            return b
        if abs(e) >= tolerance and abs(fa) > abs(fb):
            s = fb / fa
            if a == c:  # secant
                p, q = 2.0 * half * s, 1.0 - s
            else:  # inverse quadratic interpolation
                q, r = fa / fc, fb / fc
                p = s * (2.0 * half * q * (q - r) - (b - a) * (r - 1.0))
                q = (q - 1.0) * (r - 1.0) * (s - 1.0)
            if p > 0:
                q = -q
            p = abs(p)
            if 2.0 * p < min(3.0 * half * q - abs(tolerance * q), abs(e * q)):
                e, d = d, p / q
            else:
                d = e = half
        else:
            d = e = half
        a, fa = b, fb
        b += d if abs(d) > tolerance else math.copysign(tolerance, half)
        fb = f(b)
    return b
