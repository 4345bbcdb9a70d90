"""Thread stress: many threads sweeping many variants at once give exactly the rows of a sequential run.

CI also runs this file in the ThreadSanitizer build of the native modules.
"""

import pandas as pd

import vantrel
from conftest import requires_engine
from sweep_helpers import deadline, momentum, tiny_market

pytestmark = requires_engine


def test_eight_threads_give_the_rows_and_curves_of_one():
    market = tiny_market()
    grid = {
        "top": [3, 8],
        "stop_loss": [0.05, 0.2],
        "take_profit": [None, 0.1],
        "touched_exit": [False, True],
        "trade_at": ["close", "open"],
        "trail_stop": [None, 0.08],
        "excursion_window": 6,
        "excursion_window_step": 2,
    }
    options = {"rebalance": "W-FRI", "fee_ratio": 0.001, "tax_ratio": 0.002}
    with deadline(300):
        threaded = vantrel.sweep(
            market, grid, strategy=momentum, options=options, executor="threads", workers=8, keep_equity=True
        )
    alone = vantrel.sweep(market, grid, strategy=momentum, options=options, workers=1, keep_equity=True)
    assert len(threaded) == 64 and threaded.table["error"].isna().all()
    pd.testing.assert_frame_equal(threaded.table, alone.table)
    pd.testing.assert_frame_equal(threaded.equity, alone.equity)
