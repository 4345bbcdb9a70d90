"""Plain-Python statement of the excursion statistics of one trade, for
comparing the native analysis against on many inputs."""

import math

import numpy as np

UNSIGNED = 2**64


def _unsigned(x):
    return x if x >= 0 else UNSIGNED + x


def _put(out, offset, record):
    for k, value in enumerate(record):
        i = offset + k
        if i < 0:
            i += len(out)
        if not 0 <= i < len(out):
            raise IndexError("Out of bounds on buffer access (axis 0)")
        out[i] = value


def excursion_statistics(trade, close, pc, entry_bar, exit_bar, is_long, full_entry,
                         full_exit, fee, tax, window, step):
    end_bar = exit_bar
    if entry_bar + window > end_bar:
        end_bar = entry_bar + window
    if end_bar >= trade.shape[0]:
        end_bar = trade.shape[0] - 1
    if end_bar - entry_bar + 1 < 0:
        raise OverflowError("can't convert negative value to size_t")

    pe = float(trade[entry_bar, pc])
    ce = float(close[entry_bar, pc])
    if pe == 0:
        raise ZeroDivisionError("float division")
    v = ce / pe if is_long else 2 - ce / pe
    if full_entry:
        v = (1 - fee) * v
    value, trough_at = [v], [0]
    peak, trough = [1.0 if 1.0 > v else v], [1.0 if v > 1.0 else v]
    drawdown, gain = [v - 1 if v - 1 < 0 else 0.0], [1.0 if v > 1.0 else 0.0]

    prev = float(close[entry_bar, pc])
    for j, bar in enumerate(range(entry_bar + 1, end_bar + 1)):
        c = float(close[bar, pc])
        if not math.isnan(c):
            if prev == 0:
                raise ZeroDivisionError("float division")
            ratio = c / prev
            prev = c
            if not math.isnan(ratio):
                v = v * ratio if is_long else 2 - (2 - v) * ratio
        peak.append(v if v > peak[j] else peak[j])
        if trough[j] > v:
            trough.append(v)
            trough_at.append(j)
        else:
            trough.append(trough[j])
            trough_at.append(trough_at[j])
        d = v / peak[-1] - 1
        drawdown.append(d if drawdown[j] > d else drawdown[j])
        gain.append(gain[j] + 1 if not math.isnan(c) and v > 1.0 else gain[j])
        value.append(v)

    exit_at = min(len(value) - 1, _unsigned(exit_bar - entry_bar))
    if full_exit:
        if entry_bar != end_bar and len(value) == 1:
            raise UnboundLocalError("local variable 'ith' referenced before assignment")
        if exit_at > 0:
            px = float(trade[entry_bar + exit_at, pc])
            cx = float(close[entry_bar + exit_at, pc])
            if cx == 0:
                raise ZeroDivisionError("float division")
            x = value[exit_at]
            value[exit_at] = (px / cx) * x if is_long else 2 - ((2 - x) * px) / cx
        value[exit_at] = value[exit_at] * (1 - fee - tax)

    if step == 0:
        raise ZeroDivisionError("integer division or modulo by zero")
    if step == -1 and window - 1 == -(2**31):
        raise OverflowError("value too large to perform division")
    out = np.empty(((window - 1) // step) * 6 + 12)
    out.fill(-1)

    def record(p):
        return [trough[p] - 1, peak[p] - 1, peak[trough_at[p]] - 1, drawdown[p], gain[p],
                value[p] - 1]

    m = min(_unsigned(window), len(value))
    for s, p in enumerate(range(0, m, step)):
        _put(out, 6 * s, record(p))
    _put(out, len(out) - 6, record(exit_at))
    return out
