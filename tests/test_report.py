import base64
import pickle
import re

import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure

from vantrel import BacktestResult
from vantrel._trades import portfolio_table, trade_table


@pytest.fixture
def result():
    index = pd.bdate_range("2022-01-03", periods=120)
    equity = pd.Series(np.exp(np.cumsum(np.random.default_rng(3).normal(0.001, 0.01, 120))), index=index)
    equity.iloc[0] = 1.0
    records = [["<b>X</b>", 0, 0, 0, 0, 0.5, 10, 2, 12], ["B", 0, -1, 0, -1, -0.25, 115, 5, -1]]
    excursions = [np.array([-0.05, 0.1, 0.02, -0.08, 6.0, 0.04]), np.array([-0.12, 0.03, 0.03, -0.14, 2.0, -0.09])]
    trades = trade_table(records, excursions, index, ["<b>X</b>", "B"], touched_exit=False, window=0, step=1)
    portfolio = portfolio_table(
        {"actions": {1: "sl"}, "weights": {0: 0.5, 1: -0.25}, "next_weights": {0: 0.5},
         "weight_time": 0, "next_weight_time": 1}, ["<b>X</b>", "B"], index[:2])
    return BacktestResult(equity, trades, portfolio, {"rebalance": "ME"})


def test_report_is_one_self_contained_html_file(result, tmp_path):
    path = result.report(tmp_path / "sub" / "report.html", title="Test & report")
    page = path.read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>") and page.rstrip().endswith("</html>")
    assert "<title>Test &amp; report</title>" in page
    assert "Sharpe ratio" in page and f"{result.stats['total_return']:.2%}" in page
    images = re.findall(r'src="data:image/png;base64,([A-Za-z0-9+/=]+)"', page)
    assert len(images) == 2
    assert all(base64.b64decode(i).startswith(b"\x89PNG\r\n\x1a\n") for i in images)
    assert "&lt;b&gt;X&lt;/b&gt;" in page and "<b>X</b>" not in page  # labels are escaped
    assert "src=\"http" not in page and "<script" not in page


def test_plots_are_figures_with_their_panels(result):
    equity = result.plot()
    assert isinstance(equity, Figure) and len(equity.axes) == 2
    scatter = result.plot("excursions")
    assert len(scatter.axes[0].collections) == 2  # winners and losers
    with pytest.raises(ValueError, match="plot kind"):
        result.plot("pie")


def test_result_series_and_pickling(result):
    assert result.returns.index[0] == result.equity.index[1]
    assert result.returns.iloc[0] == pytest.approx(result.equity.iloc[1] / result.equity.iloc[0] - 1)
    assert (result.drawdown <= 0).all()
    clone = pickle.loads(pickle.dumps(result))
    pd.testing.assert_series_equal(clone.stats, result.stats)
    pd.testing.assert_frame_equal(clone.trades, result.trades)
    assert "total return" in repr(result)


def test_trade_table_turns_bars_into_dates_and_samples_into_columns():
    index = pd.bdate_range("2024-01-01", periods=10)
    window_records = [["A", 0, 0, 0, 0, 0.4, 3, 4, 7], ["B", 0, -1, 0, -1, 0.6, 3, 7, -1]]
    # window 5, step 2: samples at offsets 0, 2, 4, then the exit record
    first = np.arange(24, dtype=float)
    second = np.concatenate([np.arange(6.0), np.arange(6.0) + 6, np.full(6, -1.0), np.arange(6.0) + 18])
    table = trade_table(window_records, [first, second], index, ["A", "B"], touched_exit=False, window=5, step=2)
    assert list(table.loc[0, ["entry_date", "exit_date", "entry_signal_date", "exit_signal_date"]]) == [
        index[4], index[7], index[3], index[6]]
    assert pd.isna(table.loc[1, "exit_date"]) and pd.isna(table.loc[1, "exit_signal_date"])
    assert table.loc[0, "return"] == 23.0 and table.loc[0, "adverse_excursion"] == 18.0
    assert table.loc[0, "return_2"] == 11.0 and table.loc[0, "drawdown_4"] == 15.0
    # B entered on bar 7 of 10: offset 4 falls after the data end, so it is missing, not -1
    assert table.loc[1, "return_2"] == 11.0 and np.isnan(table.loc[1, "return_4"])
    touched = trade_table(window_records, [first, second], index, ["A", "B"], touched_exit=True, window=5, step=2)
    assert touched.loc[0, "exit_signal_date"] == index[7]


def test_portfolio_table_names_stocks_and_dates():
    table = portfolio_table(
        {"actions": {2: "enter", 0: "sl_"}, "weights": {0: 0.3}, "next_weights": {2: 0.5},
         "weight_time": -1, "next_weight_time": 1},
        ["A", "B", "C"], pd.DatetimeIndex(["2024-01-31", "2024-02-29"]))
    assert list(table.index) == ["A", "C"]
    assert list(table["weight"]) == [0.3, 0.0] and list(table["next_weight"]) == [0.0, 0.5]
    assert list(table["action"]) == ["sl_", "enter"]
    assert pd.isna(table.attrs["weight_date"])
    assert table.attrs["next_weight_date"] == pd.Timestamp("2024-02-29")
