"""Parameter sweeps: the variants, the routes that run them (threads, processes, any Executor,
a Dask cluster), the durable store and the table of results."""

from .run import sweep

__all__ = ["sweep"]
