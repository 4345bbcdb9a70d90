"""Native core of vantrel: the backtest engine, the excursion analysis and a text utility."""
