"""Parameter sweeps: the variants, the routes that run them (threads, processes, any Executor,
a Dask cluster), the durable store and the table of results."""

from .run import sweep
from .walk_forward import walk_forward

__all__ = ["sweep", "walk_forward"]
