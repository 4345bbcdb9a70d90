"""The readable table of a benchmark run."""

from __future__ import annotations


def _ms(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds * 1e3:,.2f}"


def _mib(memory: dict) -> str:
    return "-" if "added_bytes" not in memory else f"{memory['added_bytes'] / 2**20:,.1f}"


def markdown(report: dict) -> str:
    m = report["machine"]
    out = [
        f"# Benchmark results: {m['machine']}, {report['date']}",
        "",
        f"`{report['command']}`",
        "",
        f"- CPU: {m['cpu']} ({m['cores']} cores usable), kernel {m['kernel']}",
        f"- Python {m['python']}, NumPy {m['numpy']}, compiler: {m['compiler']}",
        f"- vantrel {m['vantrel']}",
        f"- valid (every run matched its reference hashes): **{report['valid']}**",
        "",
        "## Engine, per workload and strategy",
        "",
        "| workload | strategy | median ms | IQR/median | min–max ms | ns per held stock-bar "
        "| trades | trades/s | peak MiB added | x NumPy read | gate |",
        "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|---|",
    ]
    for name, w in report["workloads"].items():
        read = w["numpy_read"]["median_s"]
        for r in w["strategies"]:
            ns = r["ns_per_held_stock_bar"]
            out.append(
                f"| {name} ({w['bars']}x{w['stocks']}) | {r['strategy']} | {_ms(r['median_s'])} "
                f"| {r['iqr_rel']:.1%} | {_ms(r['min_s'])}–{_ms(r['max_s'])} "
                f"| {'-' if ns is None else format(ns, ',.0f')} | {r['trades']:,} "
                f"| {r['trades_per_s']:,.0f} | {_mib(r['memory'])} "
                f"| {r['median_s'] / read:,.2f} | {r['gate']} |"
            )
    out += [
        "",
        "## Baselines on the same data (monthly top-50 book)",
        "",
        "| workload | NumPy read of prices ms | NumPy vectorised equity ms | engine, same book "
        "without stops ms | vectorbt ms | vectorbt / engine | final value agreement (no fees) |",
        "|---|--:|--:|--:|--:|--:|---|",
    ]
    for name, w in report["workloads"].items():
        p = w.get("peer", {})
        theirs = p.get("vectorbt", {})
        agree = p.get("agreement")
        speedup = f"{p['speedup']:,.1f}x" if "speedup" in p else "-"
        agreement = f"{agree['relative_difference']:.1e} relative" if agree else "-"
        out.append(
            f"| {name} | {_ms(w['numpy_read']['median_s'])} "
            f"| {_ms(w['numpy_equity']['median_s'])} "
            f"| {_ms(p['ours']['median_s']) if p else '-'} "
            f"| {_ms(theirs.get('median_s')) if 'median_s' in theirs else theirs.get('error', '-')} "
            f"| {speedup} | {agreement} |"
        )
    if "peer_status" in report:
        out += ["", f"vectorbt: {report['peer_status']}"]
    if "scaling" in report:
        out += [
            "",
            "## Scaling (monthly top-k, close-mode stop): one size doubled at a time",
            "",
            "| axis | factor | bars | universe | held | median ms | time / base "
            "| held stock-bars / base | gate |",
            "|---|--:|--:|--:|--:|--:|--:|--:|---|",
        ]
        base_held = report["scaling"][0]["held_stock_bars"]
        for p in report["scaling"]:
            out.append(
                f"| {p['axis']} | {p['factor']} | {p['bars']} | {p['universe']} | {p['held']} "
                f"| {_ms(p['median_s'])} | {p['ratio_to_base']:.2f} "
                f"| {p['held_stock_bars'] / base_held:.2f} | {p['gate']} |"
            )
    if report["gate_failures"]:
        out += ["", "## Invalid results", ""] + [f"- {f}" for f in report["gate_failures"]]
    return "\n".join(out) + "\n"
