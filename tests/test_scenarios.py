"""The scenario generator itself: deterministic, and faults only where it injects them."""

import numpy as np

from reference import Simora
from reference.scenarios import make_scenario


def test_a_seed_always_gives_the_same_scenario():
    a, b = make_scenario(11), make_scenario(11)
    assert a.kwargs.keys() == b.kwargs.keys()
    for x, y in zip(a.args, b.args, strict=True):
        assert (x is None and y is None) or np.array_equal(x, y, equal_nan=x.dtype.kind == "f")


def test_ordinary_scenarios_run_cleanly_and_trade():
    traded = 0
    for seed in range(150):
        scenario = make_scenario(seed, fault_share=0.0, edge_share=0.0)
        sim = Simora()
        values = sim.backtest_(*scenario.args, **scenario.kwargs)
        assert values.shape == (scenario.args[5].size,)
        traded += bool(sim.session.trades)
    assert traded > 100
