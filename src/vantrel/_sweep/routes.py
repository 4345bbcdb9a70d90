"""Where the variants run: this thread, threads of this process, worker processes, any Executor, or Dask.

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
import contextlib
import functools
import os
import queue
import threading
import uuid
from collections.abc import Callable

from .job import Outcome, PackedJob, SweepJob, Variant, describe, pack, run_chunk

__all__ = ["default_workers", "is_dask_client", "run_here", "run_on_dask", "run_on_executor", "run_threads"]

Chunk = list  # [(variant number, params, weights key), ...]
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


def _failed(chunk: Chunk, error: BaseException | str) -> list:
    outcome = Outcome(error=error if isinstance(error, str) else describe(error))
    return [(number, outcome) for number, *_ in chunk]


def run_here(job: SweepJob, chunks: list[Chunk], collect: Collect) -> None:
    for chunk in chunks:
        collect(run_chunk(job, chunk))


def run_threads(job: SweepJob, chunks: list[Chunk], collect: Collect, workers: int) -> None:
    """Threads of this process, sharing the job (the market is never copied).

    The threads are daemons: on Ctrl-C the pending chunks are dropped and the
    caller gets ``KeyboardInterrupt`` at once, while a variant already running
    finishes in the background (a thread cannot be stopped) and is discarded.
    """
    job.cache.capacity = max(job.cache.capacity, workers + 1)
    tasks: queue.SimpleQueue = queue.SimpleQueue()
    for chunk in chunks:
        tasks.put(chunk)
    finished: queue.Queue = queue.Queue()
    cancelled = threading.Event()

    def work() -> None:
        while not cancelled.is_set():
            try:
                chunk = tasks.get_nowait()
            except queue.Empty:
                return
            try:
                done = run_chunk(job, chunk)
            except BaseException as error:  # e.g. SystemExit from a strategy: that chunk's failure only
                done = _failed(chunk, error)
            finished.put(done)

    for number in range(min(workers, len(chunks))):
        threading.Thread(target=work, name=f"vantrel-sweep-{number}", daemon=True).start()
    try:
        for _ in chunks:
            collect(finished.get())
    finally:
        cancelled.set()


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


def run_on_executor(executor: cf.Executor, job: SweepJob, chunks: list[Chunk], collect: Collect) -> None:
    """Someone else's executor: its workers are unknown, so the job travels with each chunk."""
    # The same process needs nothing sent.
    same_process = isinstance(executor, cf.ThreadPoolExecutor)
    reference = job if same_process else PackedJob(uuid.uuid4().hex, pack(job))
    futures: dict[cf.Future, Chunk] = {}
    try:
        refused = _submit_all(executor, reference, chunks, futures)
        for chunk in _wait_all(futures, collect) + refused:
            collect(_failed(chunk, cf.BrokenExecutor("the executor broke before this variant finished")))
    except BaseException:
        for future in futures:
            future.cancel()
        raise


def run_bounded(job: SweepJob, chunk: list[Variant], timeout: float) -> tuple[list, list, str | None]:
    """A chunk on a Dask worker, each variant in a helper thread given ``timeout`` seconds.

    Returns the finished ``(number, outcome)`` pairs, the variants not run,
    and, when a variant overran, this worker's address: the thread cannot be
    stopped, so the caller restarts the worker and sends the rest elsewhere.
    """
    from distributed import get_worker

    done = []
    for position, (number, params, weights_key) in enumerate(chunk):
        box: list = []
        helper = threading.Thread(
            target=functools.partial(_run_into, box, job, params, weights_key),
            daemon=True,
            name=f"vantrel-sweep-variant-{number}",
        )
        helper.start()
        helper.join(timeout)
        if helper.is_alive():
            done.append(
                (
                    number,
                    Outcome(
                        error=(
                            f"TimeoutError: the variant ran longer than the timeout of {timeout:g} s; "
                            "its Dask worker was restarted"
                        )
                    ),
                )
            )
            return done, chunk[position + 1 :], get_worker().address
        done.append((number, box[0] if box else Outcome(error="RuntimeError: the variant ended without a result")))
    return done, [], None


def run_on_dask(client, job: SweepJob, chunks: list[Chunk], collect: Collect, *, timeout: float | None = None) -> None:
    """Scatter the job to every worker once; tasks refer to it by its future.

    Dask reruns the tasks of a worker that dies on the other workers, so a
    killed worker loses no variant; a variant that kills every worker it
    runs on fails with Dask's ``KilledWorker``.
    """
    from distributed import as_completed

    token = uuid.uuid4().hex
    shared = client.scatter(job, broadcast=True, hash=False)
    futures = {}
    everything = [shared]

    def submit(chunk: Chunk):
        key = f"vantrel-sweep-{token}-{len(everything)}"
        if timeout is None:
            future = client.submit(run_chunk, shared, chunk, key=key, pure=False)
        else:
            future = client.submit(run_bounded, shared, chunk, timeout, key=key, pure=False)
        futures[future] = chunk
        everything.append(future)
        return future

    pending = as_completed([submit(chunk) for chunk in chunks])
    try:
        for future in pending:
            chunk = futures.pop(future)
            if future.status != "finished":
                collect(_failed(chunk, _dask_error(future)))
            elif timeout is None:
                collect(future.result())
            else:
                done, rest, overran = future.result()
                collect(done)
                if overran is not None:
                    _restart(client, overran)
                if rest:
                    pending.add(submit(rest))
    finally:
        client.cancel(everything)


def _run_into(box: list, job, params, weights_key) -> None:
    box.append(job.run(params, weights_key))


def _restart(client, address: str) -> None:
    """Restart a worker whose thread cannot be stopped; its other tasks go elsewhere."""
    # A worker without a nanny cannot restart: it keeps the runaway thread.
    with contextlib.suppress(Exception):
        client.restart_workers([address], raise_for_error=False)


def _dask_error(future) -> BaseException:
    try:
        return future.exception()
    except (Exception, asyncio.CancelledError) as error:  # cancelled: the cancellation is the error
        return error
