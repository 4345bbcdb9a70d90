"""Benchmark suite of the backtest engine: workloads, baselines, runner."""
