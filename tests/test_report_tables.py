"""The tables behind the tear sheet, against values worked out by hand on small inputs."""

import itertools

import numpy as np
import pandas as pd
import pytest
from matplotlib.backends.backend_agg import FigureCanvasAgg

from vantrel import BacktestResult
from vantrel._report import analysis
from vantrel._report.charts import equity_figure, log_ticks, yearly_figure


def test_drawdown_episodes_measure_falls_from_the_running_peak_over_several_bars():
    index = pd.bdate_range("2024-01-01", periods=8)
    # 1.2 -> 1.0 -> 0.9 is one fall of 25% over two bars (no single bar falls more than 16.7%);
    # back above 1.2 at 1.3, then a second fall to 1.1 that has not recovered by the end.
    equity = pd.Series([1.0, 1.2, 1.0, 0.9, 1.0, 1.3, 1.1, 1.17], index=index)
    table = analysis.drawdown_episodes(equity)
    assert list(table["peak"]) == [index[1], index[5]]
    assert list(table["trough"]) == [index[3], index[6]]
    assert table.loc[0, "recovery"] == index[5] and pd.isna(table.loc[1, "recovery"])
    assert table["depth"].tolist() == pytest.approx([0.9 / 1.2 - 1, 1.1 / 1.3 - 1])
    assert table["bars"].tolist() == [4, 2]  # peak to recovery; peak to the last bar when under water
    assert table["days"].tolist() == [6, 2]  # Tuesday 2 Jan to Monday 8 Jan; Monday 8 to Wednesday 10
    assert len(analysis.drawdown_episodes(equity, top=1)) == 1
    assert analysis.drawdown_episodes(equity.cummax()).empty


def test_calendar_returns_compound_from_the_previous_period_end():
    index = pd.DatetimeIndex(["2023-12-28", "2023-12-29", "2024-01-15", "2024-01-31", "2024-03-01"])
    equity = pd.Series([1.0, 1.1, 0.99, 1.21, 1.331], index=index)
    monthly = analysis.period_returns(equity, "M")
    assert monthly.to_dict() == pytest.approx({(2023, 12): 0.1, (2024, 1): 0.1, (2024, 3): 0.1})
    table = analysis.monthly_table(equity)
    assert list(table.index) == [2023, 2024] and list(table.columns[[0, 11, 12]]) == ["Jan", "Dec", "Year"]
    assert table.loc[2024, "Jan"] == pytest.approx(0.1) and np.isnan(table.loc[2024, "Feb"])
    assert table["Year"].tolist() == pytest.approx([0.1, 1.331 / 1.1 - 1])
    with pytest.raises(ValueError, match='period must be "M" or "Y", got \'Q\''):
        analysis.period_returns(equity, "Q")


def test_exposure_and_sector_weights_follow_the_records_held_at_each_close():
    index = pd.bdate_range("2024-01-01", periods=5)
    trades = pd.DataFrame(
        {
            "stock": ["A", "B", "A"],
            "entry_date": [index[1], index[2], index[3]],
            "exit_date": [index[3], pd.NaT, index[4]],  # A is re-sized on bar 3; B is still open
            "weight": [0.5, -0.25, 0.25],
        }
    )
    table = analysis.exposure(trades, index)
    assert table["long"].tolist() == [0.0, 0.5, 0.5, 0.25, 0.0]
    assert table["short"].tolist() == [0.0, 0.0, 0.25, 0.25, 0.25]
    assert table["net"].tolist() == [0.0, 0.5, 0.25, 0.0, -0.25]
    assert table["holdings"].tolist() == [0, 1, 2, 2, 1]
    sectors = analysis.sector_weights(trades, index, pd.Series({"A": "Tech"}))
    assert list(sectors.columns) == ["Tech", "(no sector)"]
    assert sectors["Tech"].tolist() == [0.0, 0.5, 0.5, 0.25, 0.0]
    assert sectors["(no sector)"].tolist() == [0.0, 0.0, 0.25, 0.25, 0.25]


def test_exit_reasons_count_wins_returns_and_holding_per_reason():
    reasons = ["stop_loss", "take_profit", "trailing_stop", "rebalance", "delisting", "open"]
    trades = pd.DataFrame(
        {
            "exit_reason": pd.Categorical(
                ["rebalance", "stop_loss", "rebalance", "rebalance", "stop_loss"], categories=reasons
            ),
            "return": [0.10, -0.10, -0.02, 0.04, -0.12],
            "bars_held": [20, 3, 21, 19, 5],
            "profit": [0.005, -0.005, -0.001, 0.002, -0.006],
        }
    )
    table = analysis.exit_reasons(trades)
    assert list(table.index) == ["stop_loss", "rebalance"]  # category order; reasons with no trade left out
    assert table["trades"].tolist() == [2, 3]
    assert table["win_rate"].tolist() == pytest.approx([0.0, 2 / 3])
    assert table["mean_return"].tolist() == pytest.approx([-0.11, 0.04])
    assert table["mean_bars_held"].tolist() == pytest.approx([4.0, 20.0])
    assert table["profit"].tolist() == pytest.approx([-0.011, 0.006])
    assert analysis.exit_reasons(trades.drop(columns="exit_reason")) is None


def test_rolling_risk_windows_span_the_months_asked_for():
    index = pd.bdate_range("2020-01-01", "2021-12-31")  # about 261 bars a year
    returns = np.where(np.arange(len(index)) % 2, 0.01, -0.005)
    equity = pd.Series(np.cumprod(1 + returns), index=index)
    rolling = analysis.rolling_risk(equity, months=(6, 12))
    per_year = analysis.bars_per_year(index)
    for months in (6, 12):
        window = round(months / 12 * per_year)
        assert rolling[f"volatility_{months}m"].first_valid_index() == equity.index[window]
        tail = equity.pct_change().iloc[-window:]
        assert rolling[f"volatility_{months}m"].iloc[-1] == pytest.approx(tail.std() * np.sqrt(per_year))
        assert rolling[f"sharpe_{months}m"].iloc[-1] == pytest.approx(tail.mean() / tail.std() * np.sqrt(per_year))


def test_log_axis_labels_are_round_values_that_never_overprint():
    assert log_ticks(0.7, 1.6) == [0.7, 0.8, 0.9, 1.0, 1.2, 1.5]
    assert log_ticks(0.5, 40.0) == [0.5, 1.0, 2.0, 5.0, 10.0, 20.0]  # the finer set would need 12
    assert log_ticks(1.0012, 1.0041) == [1.002, 1.003, 1.004]  # narrower than 1 to 1.2: as a linear axis
    index = pd.bdate_range("2020-01-01", periods=400)
    for values in (np.linspace(0.6, 3.0, 400), np.geomspace(0.2, 60.0, 400), np.linspace(0.98, 1.01, 400)):
        result = BacktestResult(pd.Series(values, index=index), pd.DataFrame(), pd.DataFrame())
        fig = equity_figure(result)
        FigureCanvasAgg(fig).draw()
        ax = fig.axes[0]
        labels = [
            t
            for t in ax.yaxis.get_majorticklabels() + ax.yaxis.get_minorticklabels()
            if t.get_text() and t.get_visible() and ax.get_ylim()[0] <= t.get_position()[1] <= ax.get_ylim()[1]
        ]
        boxes = sorted((t.get_window_extent() for t in labels), key=lambda b: b.y0)
        assert len(boxes) >= 2
        assert all(lower.y1 <= upper.y0 for lower, upper in itertools.pairwise(boxes)), [t.get_text() for t in labels]


@pytest.mark.parametrize("years, shown", [(3, [2016, 2017, 2018]), (33, list(range(2020, 2049, 5)))])
def test_yearly_labels_are_thinned_to_round_years_that_never_overprint(years, shown):
    index = pd.date_range("2016-01-04", periods=years * 12, freq="ME")
    result = BacktestResult(pd.Series(np.linspace(1.0, 2.0, len(index)), index=index), pd.DataFrame(), pd.DataFrame())
    fig = yearly_figure(result)
    FigureCanvasAgg(fig).draw()
    labels = [t for t in fig.axes[0].get_xticklabels() if t.get_visible()]
    assert [int(t.get_text()) for t in labels] == shown
    boxes = [t.get_window_extent() for t in labels]
    assert all(left.x1 < right.x0 for left, right in itertools.pairwise(boxes))
