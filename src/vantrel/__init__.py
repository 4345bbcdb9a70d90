"""vantrel: research stock-portfolio strategies with a fast, bit-reproducible backtester."""

__version__ = "0.1.0"
