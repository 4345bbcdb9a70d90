import base64
import io
import pickle
import re

import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure

from vantrel import BacktestResult
from vantrel._backtest.trade_log import portfolio_table, trade_table


def engine_arrays(n_trades: int, n_stocks: int):
    """Empty trade-log and portfolio arrays of the engine's own record types."""
    from vantrel.core import _engine

    out = _engine.run(**_one_stock_call())
    return np.zeros(n_trades, out.trades.dtype), np.zeros(n_stocks, out.portfolio.dtype)


def _one_stock_call() -> dict:
    one = np.ones((3, 1))
    stamps = np.arange(3, dtype=np.int64)
    return dict(
        prices=one,
        close=one,
        bar_dates=stamps,
        weights=one[:1],
        weight_dates=stamps[:1],
        stock_columns=np.zeros(1, dtype=np.int64),
        calendar=stamps,
    )


@pytest.fixture
def result():
    index = pd.bdate_range("2022-01-03", periods=120)
    equity = pd.Series(np.exp(np.cumsum(np.random.default_rng(3).normal(0.001, 0.01, 120))), index=index)
    equity.iloc[0] = 1.0
    log, holdings = engine_arrays(2, 2)
    log["stock"], log["entry_bar"], log["exit_bar"] = [0, 1], [2, 5], [12, -1]
    log["side"], log["weight"], log["round_trip"] = [1, -1], [0.5, -0.25], [0, 1]
    log["exit_reason"] = [4, 0]
    for field, values in zip(
        (
            "adverse_excursion",
            "favourable_excursion",
            "favourable_before_adverse",
            "drawdown",
            "profitable_bars",
            "excursion_return",
        ),
        ([-0.05, -0.12], [0.1, 0.03], [0.02, 0.03], [-0.08, -0.14], [6.0, 2.0], [0.04, -0.09]),
        strict=True,
    ):
        log[field] = values
    log["return"] = [0.04, -0.09]
    trades = trade_table(log, index, ["<b>X</b>", "B"], touched_exit=False, window=0, step=1)
    holdings["weight"], holdings["has_weight"] = [0.5, -0.25], True
    holdings["next_weight"], holdings["has_next_weight"] = [0.5, 0.0], [True, False]
    holdings["action"] = [0, 5]  # "sl" for B
    portfolio = portfolio_table(holdings, 0, 1, ["<b>X</b>", "B"], index[:2])
    return BacktestResult(equity, trades, portfolio, {"rebalance": "ME"})


SECTIONS = (
    "settings",
    "statistics",
    "equity",
    "drawdowns",
    "returns",
    "rolling",
    "distribution",
    "exposure",
    "excursions",
    "portfolio",
    "trades",
)
EXIT_REASONS = ["stop_loss", "take_profit", "trailing_stop", "rebalance", "delisting", "open"]


def with_benchmark_and_exits(result):
    """The fixture's result as a run against a benchmark, its trades labelled with exit reasons."""
    from vantrel.stats import performance_stats

    result.benchmark = (result.equity * 0 + np.linspace(1.0, 1.1, len(result.equity))).rename("index fund")
    result.benchmark_stats = performance_stats(result.benchmark)
    result.trades["exit_reason"] = pd.Categorical(["stop_loss", "open"], categories=EXIT_REASONS)
    return result


def test_report_is_one_self_contained_html_file(result, tmp_path):
    path = result.report(tmp_path / "sub" / "report.html", title="Test & report")
    page = path.read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>") and page.rstrip().endswith("</html>")
    assert "<title>Test &amp; report</title>" in page
    assert "Sharpe ratio" in page and f"{result.stats['total_return']:.2%}" in page
    for section in SECTIONS:
        assert f'<section id="{section}">' in page, section
    assert 'id="exits"' in page and 'id="sectors"' not in page  # no sectors known
    assert "benchmark" not in page.split('id="statistics"')[1].split("</section>")[0]
    assert f"<td>Start</td>\n      <td>{result.equity.index[0].date()}</td>" in page  # the dates beside the numbers
    images = re.findall(r'src="data:image/png;base64,([A-Za-z0-9+/=]+)"', page)
    assert len(images) == 7
    assert all(base64.b64decode(i).startswith(b"\x89PNG\r\n\x1a\n") for i in images)
    assert "&lt;b&gt;X&lt;/b&gt;" in page and "<b>X</b>" not in page  # labels are escaped
    assert not re.search(r'(src|href)="(https?:)?//', page)  # nothing to fetch
    assert "00:00:00" not in page  # daily dates print without a time
    # Every trade, in full, in the embedded CSV.
    csv = re.search(r'href="data:text/csv;base64,([A-Za-z0-9+/=]+)"', page).group(1)
    trades = pd.read_csv(io.BytesIO(base64.b64decode(csv)))
    assert list(trades.columns) == list(result.trades.columns) and len(trades) == len(result.trades)


def test_report_shows_costs_benchmark_exit_reasons_and_sectors(result, tmp_path):
    result = with_benchmark_and_exits(result)
    result.settings.update(fee_ratio=0.001425, tax_ratio=0.003)
    page = result.report(tmp_path / "report.html", sectors=pd.Series({"<b>X</b>": "Tech"})).read_text()
    assert "Costs: fee 0.1425% of the value of every trade, tax 0.3% of the value of every sale." in page
    settings = page.split('id="settings"')[1]
    assert settings.index("fee per trade") < settings.index("rebalance")  # costs first
    stats = page.split('id="statistics"')[1].split("</section>")[0]
    assert "<th>benchmark</th>" in stats and f"{result.benchmark_stats['total_return']:.2%}" in stats
    exits = page.split('id="exits"')[1].split("</section>")[0]
    rows = re.findall(r"<tr>\s*<td>([a-z ]+)</td>\s*<td>(\d+)</td>\s*<td>([-\d.]+%)</td>", exits)
    assert rows == [("stop loss", "1", "100.0%"), ("open", "1", "0.0%")]
    assert 'id="sectors"' in page and 'alt="sector weights chart"' in page
    # The exit table counts round trips, the excursion chart trade records: each says which.
    assert "<th>exit reason</th>\n      <th>round trips</th>" in exits
    assert (
        "One point per trade record (2; a holding re-sized at a rebalance starts a new one); the exit table "
        "counts the 2 round trips, each joining a position&#39;s records." in page
    )
    legend = [text.get_text() for text in result.plot("excursions").axes[0].get_legend().get_texts()]
    assert legend == ["winning trade records (1)", "losing trade records (1)"]
    result.settings.update(take_profit="none", trail_stop=float("inf"))
    assert "<td>take_profit</td>\n      <td>none</td>" in result.report(tmp_path / "stops.html").read_text()
    assert "<td>trail_stop</td>\n      <td>none</td>" in (tmp_path / "stops.html").read_text()
    with pytest.raises(ValueError) as pdf:
        result.report(tmp_path / "report.pdf")
    assert str(pdf.value) == (
        f"the report is one HTML page: give a path ending in .html or .htm, got {str(tmp_path / 'report.pdf')!r} "
        "(a browser prints the page to PDF)"
    )
    assert not (tmp_path / "report.pdf").exists()
    assert (
        "Costs: none (no fee, no tax)."
        in BacktestResult(result.equity, result.trades, result.portfolio, {"fee_ratio": 0.0, "tax_ratio": 0.0})
        .report(tmp_path / "free.html")
        .read_text()
    )


def with_costs(result):
    """The fixture's result as a run with capital and slippage that paid costs and earned a dividend."""
    days = pd.to_datetime(["2022-01-04", "2022-03-01", "2023-02-01"])
    kinds = dict(fees=[0.001, 0.0005, 0.002], taxes=[0, 0.003, 0], slippage=[0.0002, 0.0001, 0])
    kinds.update(impact=0.0, borrow=0.0, margin_interest=0.0, cash_interest=[0, 0, 0.0004], dividends=[0, 0.01, 0])
    result.costs = pd.DataFrame(kinds, index=days, dtype=float)
    result.fills = pd.DataFrame({"side": ["buy", "buy", "sell"], "reason": ["rebalance", "carried", "stop_loss"]})
    result.settings.update(
        fee_ratio=0.0, tax_ratio=0.003, capital=1_000_000.0, lot_size=1000, slippage=0.0005, participation=None
    )
    return result


def test_report_breaks_the_costs_down_by_kind_and_year(result, tmp_path):
    result = with_costs(result)
    page = result.report(tmp_path / "report.html").read_text()
    section = page.split('<section id="costs">')[1].split("</section>")[0]
    rows = {
        year: re.findall(r"<td>([^<]*)</td>", cells)
        for year, cells in re.findall(r"<tr>\s*<td>(\w+)</td>(.*?)</tr>", section, re.S)
    }
    # fees, taxes, slippage, impact, borrow, margin, costs paid | interest on cash, dividends, income
    nothing = ["0.00%"] * 3
    assert rows == {
        "2022": ["0.15%", "0.30%", "0.03%", *nothing, "0.48%", "0.00%", "1.00%", "1.00%"],
        "2023": ["0.20%", "0.00%", "0.00%", *nothing, "0.20%", "0.04%", "0.00%", "0.04%"],
        "total": ["0.35%", "0.30%", "0.03%", *nothing, "0.68%", "0.04%", "1.00%", "1.04%"],
    }
    assert "(1,000,000; the total costs paid come to 6,800.00)" in section
    assert "3 fills: 1 rebalance, 1 carried, 1 stop loss (2 buys, 1 sale)." in section
    assert 'alt="costs by kind and year chart" src="data:image/png;base64,' in section
    assert page.index('href="#costs"') < page.index('href="#equity"')
    assert "Fees paid" not in page.split('id="statistics"')[1].split("</section>")[0]  # shown once, here
    assert "Costs: fee 0% of the value of every trade, tax 0.3% of the value of every sale, slippage 0.05% of " in page
    settings = dict(re.findall(r"<tr>\s*<td>([^<]+)</td>\s*<td>([^<]*)</td>", page.split('id="settings"')[1]))
    assert settings["lot size (shares)"] == "1,000" and settings["participation cap (of volume)"] == "off"
    assert settings["capital"] == "1,000,000" and settings["slippage per fill"] == "0.05%"
    assert (
        "Paid fees 0.35%, taxes 0.30%, slippage 0.03%; earned interest on cash 0.04%, dividends 1.00% of the "
        "initial capital." in result._repr_html_()
    )
    assert (
        'id="costs"'
        not in BacktestResult(result.equity, result.trades, result.portfolio).report(tmp_path / "old.html").read_text()
    )  # a result that does not record its costs


def test_plots_are_figures_with_their_panels(result):
    equity = result.plot()
    assert isinstance(equity, Figure) and len(equity.axes) == 2
    scatter = result.plot("excursions")
    assert len(scatter.axes[0].collections) == 2  # winners and losers
    with pytest.raises(ValueError, match="plot kind must be one of \"equity\", .*, got 'pie'"):
        result.plot("pie")
    with pytest.raises(ValueError, match="no sectors: pass sectors= or run on a Market with sectors"):
        result.plot("sectors")


def test_result_series_and_pickling(result):
    assert result.returns.index[0] == result.equity.index[1]
    assert result.returns.iloc[0] == pytest.approx(result.equity.iloc[1] / result.equity.iloc[0] - 1)
    assert (result.drawdown <= 0).all()
    clone = pickle.loads(pickle.dumps(result))
    pd.testing.assert_series_equal(clone.stats, result.stats)
    pd.testing.assert_frame_equal(clone.trades, result.trades)
    assert "total return" in repr(result)


def window_log():
    """Two records with samples at offsets 0, 2 and 4 (window 5, step 2), then the exit."""
    from vantrel.core import _engine

    dtype = _engine.run(**_one_stock_call(), excursion_window=5, excursion_window_step=2).trades.dtype
    log = np.zeros(2, dtype)
    log["stock"], log["entry_bar"], log["exit_bar"], log["weight"] = [0, 1], [4, 7], [7, -1], [0.4, 0.6]
    log["exit_reason"] = [2, 0]  # a take-profit, then one still open
    stats = [
        np.arange(24, dtype=float),
        np.concatenate([np.arange(6.0), np.arange(6.0) + 6, np.full(6, -1.0), np.arange(6.0) + 18]),
    ]
    for record, values in zip(log, stats, strict=True):
        record["samples"] = values[:18].reshape(3, 6)
        for k, field in enumerate(
            (
                "adverse_excursion",
                "favourable_excursion",
                "favourable_before_adverse",
                "drawdown",
                "profitable_bars",
                "excursion_return",
            )
        ):
            record[field] = values[18 + k]
    return log


def test_trade_table_turns_bars_into_dates_and_samples_into_columns():
    index = pd.bdate_range("2024-01-01", periods=10)
    log = window_log()
    table = trade_table(log, index, ["A", "B"], touched_exit=False, window=5, step=2)
    assert list(table.loc[0, ["entry_date", "exit_date", "entry_signal_date", "exit_signal_date"]]) == [
        index[4],
        index[7],
        index[3],
        index[6],
    ]
    assert pd.isna(table.loc[1, "exit_date"]) and pd.isna(table.loc[1, "exit_signal_date"])
    assert list(table["exit_reason"]) == ["take_profit", "open"]
    assert table.loc[0, "excursion_return"] == 23.0 and table.loc[0, "adverse_excursion"] == 18.0
    assert table.loc[0, "return_2"] == 11.0 and table.loc[0, "drawdown_4"] == 15.0
    # B entered on bar 7 of 10: offset 4 falls after the data end, so it is missing, not -1
    assert table.loc[1, "return_2"] == 11.0 and np.isnan(table.loc[1, "return_4"])
    assert list(table["bars_held"]) == [3, 3]  # an open trade counts to the end of the data
    # A stop touched within the bar was decided on the exit bar itself.
    touched = trade_table(log, index, ["A", "B"], touched_exit=True, window=5, step=2)
    assert touched.loc[0, "exit_signal_date"] == index[7]


def test_portfolio_table_names_stocks_and_dates():
    _, holdings = engine_arrays(0, 3)
    holdings["weight"][0], holdings["has_weight"][0] = 0.3, True
    holdings["next_weight"][2], holdings["has_next_weight"][2] = 0.5, True
    holdings["action"] = [9, 0, 1]  # stopped out, none, enter
    table = portfolio_table(holdings, -1, 1, ["A", "B", "C"], pd.DatetimeIndex(["2024-01-31", "2024-02-29"]))
    assert list(table.index) == ["A", "C"]
    assert list(table["weight"]) == [0.3, 0.0] and list(table["next_weight"]) == [0.0, 0.5]
    assert list(table["action"]) == ["stopped_out", "enter"]
    assert pd.isna(table.attrs["weight_date"])
    assert table.attrs["next_weight_date"] == pd.Timestamp("2024-02-29")


def test_notebook_display_is_well_formed_html_with_stats_and_chart(result):
    import xml.etree.ElementTree as ET

    root = ET.fromstring(with_benchmark_and_exits(result)._repr_html_())
    cells = [td.text for td in root.iter("td")]
    assert cells[:3] == [
        "Total return",
        f"{result.stats['total_return']:.2%}",
        f"{result.benchmark_stats['total_return']:.2%}",
    ]
    assert [th.text for th in root.iter("th")] == [None, "strategy", "benchmark"]
    (image,) = root.iter("img")
    assert base64.b64decode(image.get("src").split(",", 1)[1]).startswith(b"\x89PNG")
    empty = BacktestResult(result.equity.iloc[:0], result.trades.iloc[:0], result.portfolio)
    ET.fromstring(empty._repr_html_())
    assert repr(empty) == "BacktestResult(no bars)"
    assert re.fullmatch(
        r"BacktestResult\(2022-01-03 to 2022-06-17, total return -?\d+\.\d\d%, CAGR .*, "
        r"Sharpe -?\d+\.\d\d, max drawdown -\d+\.\d\d%, 2 trades\)",
        repr(result),
    )


def test_sweep_notebook_display_shows_the_best_rows_and_a_heat_map():
    import xml.etree.ElementTree as ET

    from vantrel import SweepResult

    table = pd.DataFrame(
        {
            "top": [10, 10, 20, 20],
            "stop_loss": [0.05, 0.1, 0.05, 0.1],
            "total_return": [0.1, 0.3, np.nan, 0.2],
            "sharpe": [0.5, 1.5, np.nan, 1.0],
            "error": [None, None, "ValueError: <bad>", None],
        }
    )
    sweep = SweepResult(table, ["top", "stop_loss"])
    root = ET.fromstring(sweep._repr_html_())
    rows = [[td.text for td in tr.iter("td")] for tr in root.iter("tr")][1:]
    assert rows == [
        ["1", "10", "0.1", "30.00%", "1.50"],
        ["3", "20", "0.1", "20.00%", "1.00"],
        ["0", "10", "0.05", "10.00%", "0.50"],
    ]  # by Sharpe; the failed variant left out
    assert "SweepResult 4 variants, 1 failed; the best 3 by Sharpe ratio" in "".join(root.itertext())
    assert len(list(root.iter("img"))) == 1
    one_parameter = SweepResult(table[["top", "sharpe", "error"]], ["top"])
    assert not list(ET.fromstring(one_parameter._repr_html_()).iter("img"))  # nothing to map
    assert repr(sweep) == "SweepResult(4 variants, 1 failed)"
