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
        f"- vantrel {m['vantrel']}; array entry: {report.get('fast_engine', '-')}",
        (
            f"- load average at the start: {m.get('load_average', '-')}; at the end: "
            f"{m.get('load_average_at_end', '-')} (2 cores shared with other developers)"
        ),
        f"- valid (every run matched its reference hashes): **{report['valid']}**",
        "",
        "## Engine, per workload and strategy",
        "",
        (
            "| workload | strategy | median ms | IQR/median | min–max ms | ns per held stock-bar "
            "| trades | trades/s | peak MiB added | x NumPy read | gate |"
        ),
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
    out += end_to_end_tables(report)
    out += baseline_table(report)
    out += peer_tables(report)
    out += compile_table(report)
    if "peer_status" in report:
        out += ["", f"vectorbt: {report['peer_status']}"]
    out += target_lines(report)
    if "scaling" in report:
        out += [
            "",
            "## Scaling (monthly top-k, close-mode stop): one size doubled at a time",
            "",
            "| axis | factor | bars | universe | held | median ms | time / base | held stock-bars / base | gate |",
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


ROUTES = ("backtest_", "_engine", "_engine (column-major)", "vantrel.backtest")
BOOKS = {
    "monthly_top50": "monthly top-50, 10% stop, fees and tax",
    "monthly_top50_plain": "same book without stops and tax (what vectorbt runs)",
    "held_top50_touched_stops": "first top-50 bought and held, touched stop-loss 10% and take-profit 20%, no costs",
}
PEER_BOOKS = {
    "peer": (
        "vectorbt on the rebalanced book without stops and tax",
        (
            "Orders at the open of every rebalance bar, sized on the value at that open, sells "
            "first, one cash-sharing group."
        ),
    ),
    "peer_stops": (
        "vectorbt with stops: the held book with touched stop-loss and take-profit",
        (
            "`Portfolio.from_signals` with `sl_stop`/`tp_stop` on the fill price, tested on "
            "each later bar's open, high and low and filled at the level or the gapped open, "
            "as our touched exits. Its stops cannot express the rebalanced books (a stock "
            "resized at every rebalance, kept out after a stop until the weights change), "
            "so this book is bought once and held."
        ),
    ),
}


def end_to_end_tables(report: dict) -> list[str]:
    out = [
        "",
        "## Monthly top-50 book: engine alone and the whole user call",
        "",
        (
            "Each route takes turns with one NumPy read (`sum()`) of the trading-price matrix; "
            "ratios are to that read's median in the same run."
        ),
        "",
        (
            "`backtest_` and `_engine` get the workload's row-major matrices; `_engine "
            "(column-major)` gets the same prices in column-major order, as `vantrel.Market` "
            "holds them and so as `vantrel.backtest` passes them on."
        ),
        "",
        (
            "| workload | book | NumPy read ms | backtest_ ms | x read | _engine ms | x read "
            "| _engine column-major ms | x read | vantrel.backtest ms | x read | gates "
            "(backtest_ / _engine / column-major / vantrel.backtest) |"
        ),
        "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|",
    ]
    for name, w in report["workloads"].items():
        for book, b in w.get("end_to_end", {}).items():
            t, x = b["timings"], b["ratio_to_read"]
            cells = []
            for route in ROUTES:
                if route in t:
                    cells += [_ms(t[route]["median_s"]), f"{x[route]:,.2f}"]
                else:
                    cells += ["not built", "-"]
            gates = " / ".join(b["gates"].get(route, "-") for route in ROUTES)
            out.append(
                f"| {name} | {BOOKS.get(book, book)} | {_ms(t['numpy_read']['median_s'])} "
                f"| {' | '.join(cells)} | {gates} |"
            )
    return out


def baseline_table(report: dict) -> list[str]:
    out = [
        "",
        "## Baselines on the same data (monthly top-50 book)",
        "",
        "| workload | NumPy read of prices ms | NumPy vectorised equity ms (no stops, fees or drift) |",
        "|---|--:|--:|",
    ]
    for name, w in report["workloads"].items():
        out.append(f"| {name} | {_ms(w['numpy_read']['median_s'])} | {_ms(w['numpy_equity']['median_s'])} |")
    return out


def peer_tables(report: dict) -> list[str]:
    out = []
    for key in PEER_BOOKS:
        out += _peer_tables(report, key)
    return out


def _peer_tables(report: dict, key: str) -> list[str]:
    peers = {name: w[key] for name, w in report["workloads"].items() if key in w}
    if not peers:
        return []
    any_run = next((p["vectorbt"] for p in peers.values() if "configs" in p["vectorbt"]), {})
    title, what = PEER_BOOKS[key]
    out = [
        "",
        f"## {title}",
        "",
        what,
        "",
        (
            f"vectorbt {any_run.get('version', '?')}, numba {any_run.get('numba', '?')}, "
            f"vectorbt-rust {any_run.get('rust') or 'not installed'}. Every configuration computes "
            "the whole value series; it counts as faithful when its final value without fees agrees "
            "with ours to 1e-9 relative. The first call includes numba's compile; the first "
            "workload of the run starts from an empty numba cache."
        ),
        "",
        (
            "| workload | configuration | engine | median ms | first call s | steady calls "
            "| agreement (no fees) | agreement (fees) |"
        ),
        "|---|---|---|--:|--:|--:|--:|--:|",
    ]
    for name, p in peers.items():
        theirs = p["vectorbt"]
        if "error" in theirs:
            out.append(f"| {name} | failed: {theirs['error']} | | | | | | |")
            continue
        for cname, c in theirs["configs"].items():
            if "error" in c:
                out.append(f"| {name} | {cname} | | {c['error']} | | | | |")
                continue
            mark = " **(fastest)**" if cname == p.get("fastest") else ""
            agree = c["agreement"]
            agree_text = f"{agree['relative_difference']:.1e}" + ("" if agree["agrees"] else " NO")
            out.append(
                f"| {name} | {cname}{mark} | {c['engine']} | {_ms(c['median_s'])} "
                f"| {c['first_call_s']:,.2f} | {c['repeats']} | {agree_text} "
                f"| {c['agreement_with_fee']['relative_difference']:.1e} |"
            )
    out += [
        "",
        (
            "vectorbt's fastest faithful configuration against ours on the same book "
            "(time of vectorbt / time of ours; above 1 means we are faster):"
        ),
        "",
        "| workload | vectorbt fastest | ms | vs backtest_ | vs _engine | vs vantrel.backtest |",
        "|---|---|--:|--:|--:|--:|",
    ]
    for name, p in peers.items():
        for which, speedup in (("fastest", "speedup"), ("fastest_portfolio", "speedup_portfolio")):
            if not p.get(which):
                continue
            best = p["vectorbt"]["configs"][p[which]]
            ratios = [_times(p[speedup][r]) if r in p[speedup] else "-" for r in ROUTES]
            label = p[which] + (" (fastest with a Portfolio)" if which == "fastest_portfolio" else "")
            out.append(f"| {name} | {label} | {_ms(best['median_s'])} | {' | '.join(ratios)} |")
    return out


def compile_table(report: dict) -> list[str]:
    times = report.get("vectorbt_compile")
    if not times:
        return []
    out = [
        "",
        "## vectorbt's one-time compile",
        "",
        (
            "Each route alone in a fresh process with an empty numba cache, on S: its first call "
            "(numba's compile and one run) against a steady call. vantrel has no compile step."
        ),
        "",
        "| configuration | first call s | steady call ms | import of vectorbt s |",
        "|---|--:|--:|--:|",
    ]
    for name, t in times.items():
        if "error" in t:
            out.append(f"| {name} | {t['error']} | | |")
        else:
            out.append(f"| {name} | {t['first_call_s']:,.1f} | {_ms(t['steady_s'])} | {t['import_s']:.1f} |")
    return out


def target_lines(report: dict) -> list[str]:
    """The issue's three targets, as this run measured them."""
    w = report["workloads"]
    lines = []
    book = w.get("L", {}).get("end_to_end", {}).get("monthly_top50")
    if book:
        x = book["ratio_to_read"]
        if "_engine" in x:
            best = min(x["_engine"], x["_engine (column-major)"])
            lines.append(
                _target(
                    "L: _engine at most one NumPy read",
                    best <= 1.0,
                    f"{x['_engine']:.2f}x the read on row-major prices, "
                    f"{x['_engine (column-major)']:.2f}x on column-major ones (the package's layout)",
                )
            )
        lines.append(
            _target(
                "L: vantrel.backtest at most 1.5 NumPy reads",
                x["vantrel.backtest"] <= 1.5,
                f"{x['vantrel.backtest']:.2f}x the read",
            )
        )
    for name in ("M", "L"):
        p = w.get(name, {}).get("peer", {})
        if "speedup" in p:
            s = p["speedup"]["vantrel.backtest"]
            figure = f"{_times(s)} ({p['fastest']})"
            if "speedup_portfolio" in p:
                figure += (
                    f"; {_times(p['speedup_portfolio']['vantrel.backtest'])} against the "
                    f"fastest that builds a Portfolio ({p['fastest_portfolio']})"
                )
            lines.append(
                _target(
                    f"{name}: vantrel.backtest at least 30x vectorbt's fastest faithful configuration", s >= 30, figure
                )
            )
    return ["", "## Targets", "", *lines] if lines else []


def _times(ratio: float) -> str:
    return f"{ratio:,.0f}x" if ratio >= 10 else f"{ratio:.1f}x" if ratio >= 1 else f"{ratio:.2f}x"


def _target(what: str, met: bool, figure: str) -> str:
    return f"- {what}: **{'met' if met else 'not met'}**, {figure}"
