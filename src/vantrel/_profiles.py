"""Market profiles: named bundles of execution options and costs for :func:`vantrel.backtest`.

(A private module: the package exposes ``vantrel.profile`` and ``vantrel.profiles``,
and a public module named ``profiles`` would shadow the function of that name. It
imports nothing heavy, so the command line can list the profiles in its help.)

A profile is a plain dict of backtest keyword options, so it applies as
``vantrel.backtest(weights, market, **vantrel.profile("us_equities"))`` and
its numbers can be read, changed or swept like any others. Each number is
either an exchange's or regulator's published rule (with the year it is
stated for here; rules change, check them for your period) or, where no
rule exists (slippage), a stated assumption.
"""

from __future__ import annotations

from types import MappingProxyType

__all__ = ["EXECUTION_OPTIONS", "profile", "profiles"]

# The backtest options a profile may set or a caller may override in one.
EXECUTION_OPTIONS = (
    "fee_ratio",
    "tax_ratio",
    "capital",
    "lot_size",
    "min_fee",
    "slippage",
    "impact",
    "participation",
    "price_limit",
    "cash_rate",
    "borrow_rate",
    "leverage",
    "margin_rate",
)

# Every option at the backtest's own default: no friction at all.
_OFF = MappingProxyType(
    {
        "fee_ratio": 0.0,
        "tax_ratio": 0.0,
        "capital": None,
        "lot_size": 1,
        "min_fee": 0.0,
        "slippage": 0.0,
        "impact": 0.0,
        "participation": None,
        "price_limit": None,
        "cash_rate": 0.0,
        "borrow_rate": 0.0,
        "leverage": 1.0,
        "margin_rate": 0.0,
    }
)

# name -> (one line for profiles(), the options that differ from _OFF)
_PROFILES = {
    "frictionless": (
        "fractional weights filled at the bar's price, no costs, no limits (the backtest's defaults)",
        {},
    ),
    "us_equities": (
        (
            "US-listed stocks: whole shares from 1,000,000 of capital, 0.05% slippage, no commission, "
            "no price limits, no sales tax"
        ),
        {"capital": 1_000_000.0, "lot_size": 1, "slippage": 0.0005},
    ),
    "asia_board_lot_1000_limit_10": (
        (
            "board lots of 1,000 shares from 10,000,000 of capital, a 10% daily price limit, 0.1425% commission "
            "with a minimum of 20 per fill, 0.3% tax on sales, 0.1% slippage (Taiwan Stock Exchange rules)"
        ),
        {
            "capital": 10_000_000.0,
            "lot_size": 1000,
            "price_limit": 0.10,
            "fee_ratio": 0.001425,
            "min_fee": 20.0,
            "tax_ratio": 0.003,
            "slippage": 0.001,
        },
    ),
    "asia_board_lot_100_limit_10": (
        (
            "board lots of 100 shares from 1,000,000 of capital, a 10% daily price limit, 0.03% commission "
            "with a minimum of 5 per fill, 0.05% tax on sales, 0.1% slippage (Shanghai and Shenzhen main-board rules)"
        ),
        {
            "capital": 1_000_000.0,
            "lot_size": 100,
            "price_limit": 0.10,
            "fee_ratio": 0.0003,
            "min_fee": 5.0,
            "tax_ratio": 0.0005,
            "slippage": 0.001,
        },
    ),
}


def profile(name: str, **overrides) -> dict:
    """The execution options and costs of a named market profile.

    Parameters
    ----------
    name : str
        One of :func:`profiles`:

        ``"frictionless"``
            Every option at the backtest's default: fractional weights filled
            at the bar's price, no costs, no limits, no financing.
        ``"us_equities"``
            Stocks listed in the United States. ``capital`` 1,000,000 (a
            default of this profile, in the prices' currency; override it).
            ``lot_size`` 1: US exchanges trade any whole number of shares
            (100 shares is a round lot for quotes, odd lots trade too).
            ``fee_ratio`` 0 and ``min_fee`` 0: commission-free trading has
            been the retail brokers' common practice since 2019 (a practice,
            not a rule). ``tax_ratio`` 0: no transaction tax; the SEC's
            Section 31 fee on sales (27.80 dollars per million sold from May
            2024) and FINRA's trading activity fee are below 0.003% and left
            out. ``price_limit`` None: no daily limits; the Limit Up-Limit
            Down plan (2013) pauses trading within the day, which daily bars
            do not show. ``slippage`` 0.0005: an assumption, one minimum
            tick (0.01 dollar for shares from 1 dollar, Rule 612 of
            Regulation NMS, 2005) on a 20-dollar share.
        ``"asia_board_lot_1000_limit_10"``
            Taiwan Stock Exchange rules (as of 2024). ``capital`` 10,000,000
            (this profile's default, in the prices' currency). ``lot_size``
            1,000: the exchange's trading unit of one board lot (odd lots
            trade in a session of their own, not modelled). ``price_limit``
            0.10: the daily limit of 10% of the previous close, in force
            since 1 June 2015 (7% before). ``fee_ratio`` 0.001425: the
            ceiling on the brokerage commission, 0.1425% of the value traded
            (brokers often discount it). ``min_fee`` 20: the usual minimum
            commission of 20 per order (brokers' practice). ``tax_ratio``
            0.003: the securities transaction tax of 0.3% on sales of shares
            (the reduced rate for day trades is not modelled). ``slippage``
            0.001: an assumption, one tick (0.05 for prices from 10 to 50,
            the exchange's tick rule) on a share of 50.
        ``"asia_board_lot_100_limit_10"``
            Shanghai and Shenzhen stock exchanges, main boards (as of 2024).
            ``capital`` 1,000,000 (this profile's default). ``lot_size`` 100:
            buy orders are whole multiples of 100 shares (the exchanges'
            trading rules; an odd remainder may be sold, which a single lot
            size does not model). ``price_limit`` 0.10: the main boards'
            daily limit of 10% (in force since 16 December 1996; 5% for
            stocks under special treatment and 20% on the ChiNext and STAR
            boards are not modelled). ``fee_ratio`` 0.0003 and ``min_fee``
            5: the regulators' 2002 notice on commissions caps them at 0.3%
            of the value traded with a minimum of 5 yuan per trade; 0.03% is
            a common online rate (brokers' practice). ``tax_ratio`` 0.0005:
            stamp duty on sales, halved to 0.05% on 28 August 2023 (charged
            to sellers only since 19 September 2008). ``slippage`` 0.001: an
            assumption, one tick (0.01 yuan, the exchanges' rule) on a share
            of 10.
    **overrides
        Options to change or add, e.g. ``capital=5_000_000`` or
        ``participation=0.1``: any execution option or cost of
        :func:`vantrel.backtest` (``fee_ratio``, ``tax_ratio``, ``capital``,
        ``lot_size``, ``min_fee``, ``slippage``, ``impact``,
        ``participation``, ``price_limit``, ``cash_rate``, ``borrow_rate``,
        ``leverage``, ``margin_rate``). They are checked by the backtest.

    Returns
    -------
    dict
        A new dict of backtest keyword options, every execution option and
        cost included: ``vantrel.backtest(weights, market, **profile)``.

    Raises
    ------
    ValueError
        For an unknown profile name (the message lists the known ones).
    TypeError
        For an override that is not an execution option or cost.

    Notes
    -----
    No profile sets ``participation`` or ``impact``: both need the market's
    volume, which not every market has. Financing (``cash_rate``,
    ``borrow_rate``, ``margin_rate``) and ``leverage`` stay at their defaults
    too: they are the broker's terms, not the market's rules.
    """
    if not isinstance(name, str) or name not in _PROFILES:
        known = ", ".join(repr(n) for n in _PROFILES)
        raise ValueError(f"unknown profile {name!r}; the profiles are {known} (see vantrel.profiles())")
    unknown = [key for key in overrides if key not in EXECUTION_OPTIONS]
    if unknown:
        raise TypeError(
            f"profile() does not take {', '.join(map(repr, unknown))}: overrides are execution options and costs "
            f"({', '.join(EXECUTION_OPTIONS)})"
        )
    return {**_OFF, **_PROFILES[name][1], **overrides}


def profiles() -> dict[str, str]:
    """The known profiles: name -> one line saying what it models (see :func:`profile`)."""
    return {name: line for name, (line, _) in _PROFILES.items()}
