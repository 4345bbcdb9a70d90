"""A pool of worker processes that each load the sweep once and run one variant at a time.

Owning the processes (rather than using ``concurrent.futures``) lets the pool
do what a sweep needs: it always knows which variant a worker is running, so
a worker that dies (a crash, the out-of-memory killer, a memory cap) fails
exactly that variant; a variant past its ``timeout`` is stopped by killing
its worker; and every lost worker is replaced by a fresh one.
"""

from __future__ import annotations

import collections
import contextlib
import multiprocessing
import os
import pickle
import signal
import time
from collections.abc import Callable
from multiprocessing.connection import wait

from .job import Outcome, SweepJob, Variant, describe, format_bytes

__all__ = ["DIED", "run_processes"]

DIED = "BrokenProcessPool: the worker process ended abruptly while running this variant"
_START_FAILURES = 3  # workers in a row that die before they are ready: the sweep cannot run


def _worker(connection, blob: bytes, max_memory: int | None, batched: bool = False) -> None:
    """A worker process: load the job, report ready, then run the chunks it is sent until told to stop."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the parent's to handle
    try:
        job: SweepJob = pickle.loads(blob)
        del blob
        if max_memory is not None:
            _cap_memory(max_memory)
            job.memory_cap = max_memory
    except Exception as error:
        connection.send(("failed", describe(error)))
        return
    try:
        connection.send(("ready", os.getpid()))
        while True:
            chunk = connection.recv()
            if chunk is None:
                return
            if batched:  # one native batch; the outcomes follow each other
                for finished in job.run_many(chunk):
                    connection.send(finished)
                continue
            for number, params, weights_key in chunk:
                connection.send((number, job.run(params, weights_key)))
    except (EOFError, OSError):  # the parent is gone (killed, or it stopped the sweep): nothing to report to
        return


def _cap_memory(limit: int) -> None:
    import resource

    in_use = _address_space()
    if in_use is not None and in_use >= limit:
        raise MemoryError(
            f"max_memory of {format_bytes(limit)} is below the {format_bytes(in_use)} the worker process "
            "already uses with the sweep's data loaded"
        )
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))


def _address_space() -> int | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


class _Worker:
    def __init__(self, context, blob: bytes, max_memory: int | None, batched: bool = False) -> None:
        self.connection, child = context.Pipe()
        self.process = context.Process(target=_worker, args=(child, blob, max_memory, batched), daemon=True)
        self.process.start()
        child.close()
        self.ready = False
        self.failure = ""  # why the worker could not load the job
        self.chunk: collections.deque[Variant] = collections.deque()
        self.started = 0.0  # when the variant at the head of the chunk started

    @property
    def current(self) -> int:
        return self.chunk[0][0]

    def give(self, chunk: list[Variant]) -> None:
        self.connection.send(chunk)
        self.chunk.extend(chunk)
        self.started = time.monotonic()

    def kill(self) -> None:
        if self.process.is_alive():
            self.process.kill()
        self.process.join(10)
        self.connection.close()

    def stop(self) -> None:
        with contextlib.suppress(OSError):
            self.connection.send(None)


def run_processes(
    job: SweepJob,
    chunks: list[list[Variant]],
    collect: Callable[[list], None],
    workers: int,
    *,
    blob: bytes,
    timeout: float | None = None,
    max_memory: int | None = None,
    batched: bool = False,
) -> None:
    """Run every chunk on ``workers`` processes; each variant gets an outcome through ``collect``.
    ``batched``: each chunk is one native batch (its variants cannot be timed one by one)."""
    # Fresh interpreters rather than forks: the caller may run threads (a Dask
    # client, a GUI) that a fork would copy in an inconsistent state.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    context = multiprocessing.get_context(method)
    pending = collections.deque(chunks)
    pool: list[_Worker] = []
    start_failures = 0
    try:
        while pending or any(worker.chunk for worker in pool):
            while len(pool) < min(workers, len(pending) + sum(bool(w.chunk) for w in pool)):
                pool.append(_Worker(context, blob, max_memory, batched))
            for worker in pool:
                if worker.ready and not worker.chunk and pending:
                    chunk = pending.popleft()
                    try:
                        worker.give(chunk)
                    except Exception as error:  # a parameter that cannot be pickled
                        worker.chunk.clear()
                        collect([(number, Outcome(error=describe(error))) for number, *_ in chunk])
            now = time.monotonic()
            deadlines = [worker.started + timeout - now for worker in pool if worker.chunk and timeout is not None]
            waiting = max(0.0, min(deadlines)) if deadlines else None
            ready = set(wait([w.connection for w in pool] + [w.process.sentinel for w in pool], waiting))
            for worker in list(pool):
                lost = None
                if worker.connection in ready:
                    try:
                        while worker.connection.poll():
                            message = worker.connection.recv()
                            lost = _receive(worker, message, collect)
                            if lost:
                                break
                    except (EOFError, OSError):
                        lost = "died"
                elif worker.process.sentinel in ready:
                    lost = "died"
                elif worker.chunk and timeout is not None and time.monotonic() - worker.started >= timeout:
                    lost = "timeout"
                if lost is None:
                    continue
                pool.remove(worker)
                worker.kill()
                if lost == "failed" or not worker.ready:
                    start_failures += 1
                    if start_failures >= _START_FAILURES:
                        _fail_everything(pending, pool, collect, _start_failure(worker, lost))
                        return
                    continue
                start_failures = 0
                if worker.chunk:
                    number = worker.chunk.popleft()[0]
                    collect([(number, Outcome(error=_loss(lost, timeout, max_memory)))])
                    if worker.chunk:
                        pending.appendleft(list(worker.chunk))
    except BaseException:
        for worker in pool:
            worker.process.kill()
        raise
    finally:
        for worker in pool:
            worker.stop()
        for worker in pool:
            worker.process.join(10)
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join(10)
            worker.connection.close()


def _receive(worker: _Worker, message, collect) -> str | None:
    """Handle one message from a worker; a reason to drop the worker, or None."""
    if isinstance(message[0], str):
        kind, value = message
        if kind == "ready":
            worker.ready = True
            return None
        worker.failure = value
        return "failed"
    number, outcome = message
    worker.chunk.popleft()
    worker.started = time.monotonic()
    collect([(number, outcome)])
    return None


def _start_failure(worker: _Worker, lost: str) -> str:
    if lost == "failed":
        return f"RuntimeError: the worker could not load the sweep's data: {worker.failure}"
    return f"RuntimeError: worker processes end before they are ready (exit code {worker.process.exitcode})"


def _fail_everything(pending, pool, collect, reason: str) -> None:
    for worker in pool:
        if worker.chunk:
            collect([(number, Outcome(error=reason)) for number, *_ in worker.chunk])
            worker.chunk.clear()
    while pending:
        collect([(number, Outcome(error=reason)) for number, *_ in pending.popleft()])


def _loss(lost: str, timeout: float | None, max_memory: int | None) -> str:
    if lost == "timeout":
        return (
            f"TimeoutError: the variant ran longer than the timeout of {timeout:g} s; "
            "its worker process was stopped and replaced"
        )
    if max_memory is not None:
        return f"{DIED} (worker processes are capped at {format_bytes(max_memory)} by max_memory)"
    return DIED
