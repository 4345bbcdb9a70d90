"""What ``vantrel demo`` and ``vantrel run`` leave behind: the report, charts, tables, a printout."""

from __future__ import annotations

from pathlib import Path

__all__ = ["write_outputs"]


def write_outputs(result, out: Path, title: str) -> None:
    from .._report.formatting import stats_table
    from .._report.images import figure_png
    from ..stats import with_dates

    out.mkdir(parents=True, exist_ok=True)
    report = result.report(out / "report.html", title=title)
    for kind in ("equity", "excursions"):
        (out / f"{kind}.png").write_bytes(figure_png(result.plot(kind)))
    summary = with_dates(result.stats, result.dates)
    stats = summary.rename("value").to_frame()
    if result.benchmark_stats is not None:
        stats["benchmark"] = with_dates(result.benchmark_stats, result.benchmark_dates)
    stats.to_csv(out / "stats.csv", index_label="statistic")
    result.trades.to_csv(out / "trades.csv", index=False)
    result.round_trips().to_csv(out / "round_trips.csv", index=False)
    result.portfolio.to_csv(out / "portfolio.csv")
    _write_execution_tables(result, out)

    table = stats_table(summary)
    width = max(len(s) for s in table["statistic"])
    print(title)
    fee, tax = result.settings.get("fee_ratio", 0.0), result.settings.get("tax_ratio", 0.0)
    if fee == 0 and tax == 0:
        print("  costs: none (fee_ratio=0, tax_ratio=0)")
    else:
        print(
            f"  costs: fee_ratio={fee:g} ({fee * 100:g}% of every trade), "
            f"tax_ratio={tax:g} ({tax * 100:g}% of every sale)"
        )
    execution = _execution_line(result.settings)
    if execution:
        print(f"  execution: {execution}")
    if result.settings.get("benchmark") is not None:
        print(f"  benchmark: {result.settings['benchmark']}")
    for row in table.itertuples():
        print(f"  {row.statistic:<{width}}  {row.value}")
    print(f"\nReport: {report.resolve()}")
    print(f"Charts, statistics, trades, fills, costs and final portfolio: {out.resolve()}")


def _write_execution_tables(result, out: Path) -> None:
    """The fills and the costs by date, where the result records them."""
    import pandas as pd

    fills, costs = getattr(result, "fills", None), getattr(result, "costs", None)
    if isinstance(fills, pd.DataFrame):
        fills.to_csv(out / "fills.csv", index=False)
    if isinstance(costs, pd.DataFrame):
        costs.to_csv(out / "costs.csv", index_label="date")


def _execution_line(settings: dict) -> str:
    """The execution options that are on, as name=value (empty when all are off)."""
    from .._profiles import EXECUTION_OPTIONS, profile

    off = profile("frictionless")
    shown = []
    for name in EXECUTION_OPTIONS:
        value = settings.get(name, off[name])
        if name in ("fee_ratio", "tax_ratio") or value is None:
            continue
        if not isinstance(value, (int, float)):  # per stock, or rates by date
            shown.append(f"{name}={value if isinstance(value, str) else type(value).__name__}")
        elif value != off[name]:
            shown.append(
                f"{name}={int(value):,}" if float(value).is_integer() and value >= 1000 else f"{name}={value:g}"
            )
    return ", ".join(shown)
