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
    if result.settings.get("benchmark") is not None:
        print(f"  benchmark: {result.settings['benchmark']}")
    for row in table.itertuples():
        print(f"  {row.statistic:<{width}}  {row.value}")
    print(f"\nReport: {report.resolve()}")
    print(f"Charts, statistics, trades and final portfolio: {out.resolve()}")
