"""Charts draw in a notebook with no magic command: a real notebook runs on a real kernel of
this very interpreter, and its output cells must hold the PNGs (once each, also with the inline
backend active)."""

import json
import pickle
import sys

import nbformat
import numpy as np
import pandas as pd
from matplotlib.figure import Figure
from nbconvert.preprocessors import ExecutePreprocessor

from vantrel import BacktestResult

SETUP = """
import sys
import vantrel
from vantrel.datasets import synthetic_market
from vantrel.demo import momentum_weights

def momentum(market, *, lookback, top):
    return momentum_weights(market.close, lookback=lookback, skip=5, top=top)

market = synthetic_market(12, 300, seed=3)
result = vantrel.backtest(momentum(market, lookback=40, top=4), market, rebalance="ME")
sweep = vantrel.sweep(market, {"lookback": [20, 40], "top": [3, 4]}, strategy=momentum, workers=1)
print(sys.executable, "matplotlib.pyplot" in sys.modules)
"""
CELLS = [
    SETUP,
    "result.plot()",
    "sweep.heatmap()",
    '%matplotlib inline\nresult.plot("yearly")',  # IPython's own Figure printer: still one image
    "import matplotlib.pyplot as plt\nsweep.heatmap('cagr')",
]


def executed(cells, tmp_path, monkeypatch):
    """The cells' outputs after a kernel of this interpreter ran them (a kernel description of its own)."""
    kernel_dir = tmp_path / "jupyter" / "kernels" / "this-python"
    kernel_dir.mkdir(parents=True)
    argv = [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"]
    (kernel_dir / "kernel.json").write_text(json.dumps({"argv": argv, "display_name": "this", "language": "python"}))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path / "jupyter"))
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path / "runtime"))
    monkeypatch.setenv("JUPYTER_PLATFORM_DIRS", "1")
    monkeypatch.delenv("MPLBACKEND", raising=False)
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(code) for code in cells])
    ExecutePreprocessor(kernel_name="this-python", timeout=300, startup_timeout=120).preprocess(
        notebook, {"metadata": {"path": str(tmp_path)}}
    )
    return [cell.outputs for cell in notebook.cells]


def test_charts_draw_once_in_a_notebook_without_a_magic_command(tmp_path, monkeypatch):
    setup, *charts = executed(CELLS, tmp_path, monkeypatch)
    assert [o.get("text") for o in setup] == [f"{sys.executable} False\n"]  # this interpreter, no pyplot yet
    for code, outputs in zip(CELLS[1:], charts, strict=True):
        images = [o for o in outputs if "image/png" in o.get("data", {})]
        assert len(images) == 1, (code, outputs)
        assert images[0]["data"]["image/png"].startswith("iVBORw0KGgo"), code  # base64 of the PNG signature


def test_charts_stay_figures_that_save_and_pickle(tmp_path):
    index = pd.bdate_range("2024-01-01", periods=30)
    equity = pd.Series(np.linspace(1.0, 1.2, 30), index=index)
    figure = BacktestResult(equity, pd.DataFrame(), pd.DataFrame()).plot("drawdown")
    assert isinstance(figure, Figure)
    figure.savefig(tmp_path / "drawdown.png")
    clone = pickle.loads(pickle.dumps(figure))
    assert type(clone) is type(figure)
    assert clone._repr_png_() == figure._repr_png_() == (tmp_path / "drawdown.png").read_bytes()
