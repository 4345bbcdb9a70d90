"""Where the variants run: this process, a local process pool, any Executor, or a Dask cluster.

Every route hands each finished chunk to ``collect`` as ``[(variant number,
Outcome), ...]`` in completion order; the caller puts them back in input
order. A chunk whose task failed as a whole (a worker died, the data could not
be sent) becomes error outcomes, so every variant gets a row. On Ctrl-C (or
any other exception in the caller) the pending work is cancelled and the
exception propagates.
"""

from __future__ import annotations

import asyncio
import concurrent.futures as cf
import multiprocessing
import os
import uuid
from concurrent.futures.process import BrokenProcessPool
from typing import Callable

from .job import Outcome, PackedJob, SweepJob, describe, install, pack, run_chunk

__all__ = ["default_workers", "is_dask_client", "run_here", "run_local_pool", "run_on_executor", "run_on_dask"]

Chunk = list  # [(variant number, params), ...]
Collect = Callable[[list], None]


def default_workers() -> int:
    """The CPUs this process may use."""
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def is_dask_client(executor) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "scatter")


def _failed(chunk: Chunk, error: BaseException) -> list:
    outcome = Outcome(error=describe(error))
    return [(number, outcome) for number, _ in chunk]


def run_here(job: SweepJob, chunks: list[Chunk], collect: Collect) -> None:
    for chunk in chunks:
        collect(run_chunk(job, chunk))


def _submit_all(executor: cf.Executor, reference, chunks: list[Chunk], futures: dict) -> list[Chunk]:
    """Fill ``futures`` (future: chunk); return the chunks refused because the executor broke."""
    for number, chunk in enumerate(chunks):
        try:
            futures[executor.submit(run_chunk, reference, chunk)] = chunk
        except cf.BrokenExecutor:
            return chunks[number:]
    return []


def _wait_all(futures: dict, collect: Collect) -> list[Chunk]:
    """Collect every future; return the chunks lost because the executor broke (a worker died)."""
    lost = []
    for future in cf.as_completed(futures):
        error = future.exception()
        if isinstance(error, cf.BrokenExecutor):
            lost.append(futures[future])
        else:
            collect(_failed(futures[future], error) if error is not None else future.result())
    return lost


def run_local_pool(job: SweepJob, chunks: list[Chunk], collect: Collect, workers: int) -> None:
    """Process pools whose workers each load the job once, in their initializer.

    A worker that dies (a crash, the out-of-memory killer) breaks its pool and
    every variant not finished yet. Those run again on one worker, in order,
    where the variant running at a death is the one that caused it: it gets an
    error row and the rest go on in a new pool. Which rows fail therefore does
    not depend on the timing of the first pool.
    """
    token, blob = uuid.uuid4().hex, pack(job)
    pending, size = chunks, workers
    while pending:
        lost = sorted(_pool_pass(token, blob, pending, collect, size), key=lambda chunk: chunk[0][0])
        if lost and size == 1:
            collect(_failed(lost[0], BrokenProcessPool("the worker process ended abruptly while running this variant")))
            lost = lost[1:]
        pending, size = lost, 1


def _pool_pass(token: str, blob: bytes, chunks: list[Chunk], collect: Collect, workers: int) -> list[Chunk]:
    # Fresh interpreters rather than forks: the caller may run threads (a Dask
    # client, a GUI) that a fork would copy in an inconsistent state.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    pool = cf.ProcessPoolExecutor(
        workers, mp_context=multiprocessing.get_context(method), initializer=install, initargs=(token, blob),
    )
    try:
        # Start every worker before the first variant: a pool that starts them
        # on demand can start one just after another died, and then wait for
        # it forever when it shuts down.
        for _ in range(workers):
            pool.submit(int)
        futures = {}
        refused = _submit_all(pool, PackedJob(token), chunks, futures)
        lost = _wait_all(futures, collect) + refused
    except BaseException:
        _stop(pool)
        raise
    pool.shutdown(wait=True)
    return lost


def _stop(pool: cf.ProcessPoolExecutor) -> None:
    """Cancel what has not started and end the workers now, without waiting for running variants."""
    workers = list((pool._processes or {}).values())  # shutdown() forgets them
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14+
    if terminate is not None:
        terminate()
    else:
        pool.shutdown(wait=False, cancel_futures=True)
        for process in workers:
            process.terminate()
    for process in workers:
        process.join(timeout=10)


def run_on_executor(executor: cf.Executor, job: SweepJob, chunks: list[Chunk], collect: Collect) -> None:
    """Someone else's executor: its workers are unknown, so the job travels with each chunk."""
    if isinstance(executor, cf.ThreadPoolExecutor):
        reference = job  # same process: nothing to send (the engine runs one variant at a time)
    else:
        reference = PackedJob(uuid.uuid4().hex, pack(job))
    futures = {}
    try:
        refused = _submit_all(executor, reference, chunks, futures)
        for chunk in _wait_all(futures, collect) + refused:
            collect(_failed(chunk, cf.BrokenExecutor("the executor broke before this variant finished")))
    except BaseException:
        for future in futures:
            future.cancel()
        raise


def run_on_dask(client, job: SweepJob, chunks: list[Chunk], collect: Collect) -> None:
    """Scatter the job to every worker once; tasks refer to it by its future."""
    from distributed import as_completed

    token = uuid.uuid4().hex
    shared = client.scatter(job, broadcast=True, hash=False)
    futures = {
        client.submit(run_chunk, shared, chunk, key=f"vantrel-sweep-{token}-{number}", pure=False): chunk
        for number, chunk in enumerate(chunks)
    }
    try:
        for future in as_completed(futures):
            if future.status == "finished":
                collect(future.result())
            else:
                collect(_failed(futures[future], _dask_error(future)))
    finally:
        client.cancel([*futures, shared])


def _dask_error(future) -> BaseException:
    try:
        return future.exception()
    except (Exception, asyncio.CancelledError) as error:  # cancelled: the cancellation is the error
        return error
