"""What one computation on a cluster cost: wall time, bytes moved between workers, where
each result was made, and the workers' peak resident memory.

Bytes moved are distributed's own count of task results one worker sent another
(`Worker.transfer_outgoing_bytes_total`, summed over the workers, less the results sent to
the client), plus the shards of dask's p2p shuffle sent to other workers, which travel
outside task transfers (dask.dataframe's merges shuffle that way; korvane never does). Task
results count at the size distributed measures them (`sizeof`), the same measure as the
ideal below; p2p shards at their serialized size.

Placements are recorded by a scheduler plugin as each result reaches memory (worker, size,
inputs), so nothing has to stay in the cluster for the measurement and the memory figures
are those of the computation alone. From them, the exchange's ideal: the results of an
exchange's own tasks (a split today, a piece in the new lowering) that a task on another
worker reads, each counted once per worker it must go to.

Memory is each worker process's resident set, sampled every 50 ms from this process: the
largest any worker reached, and the largest rise of one worker over its own resident set
when the computation started.
"""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import psutil
from distributed import Client, SchedulerPlugin, WorkerPlugin

# key -> (worker address, nbytes, keys of its inputs)
Placements = dict[Any, tuple[str, int, tuple[Any, ...]]]


class PlacementRecorder(SchedulerPlugin):
    name = "bench-exchange-placements"

    def __init__(self) -> None:
        self.scheduler: Any = None
        self.placements: Placements = {}

    async def start(self, scheduler: Any) -> None:
        self.scheduler = scheduler

    def transition(self, key: Any, start: str, finish: str, *args: Any, **kwargs: Any) -> None:
        if finish != "memory" or self.scheduler is None:
            return
        task = self.scheduler.tasks.get(key)
        if task is None or not task.who_has:
            return
        worker = next(iter(task.who_has)).address
        self.placements[key] = (worker, task.nbytes, tuple(d.key for d in task.dependencies))


def take_placements(dask_scheduler: Any) -> Placements:
    """Run on the scheduler: the placements recorded since the last call."""
    recorder = dask_scheduler.plugins[PlacementRecorder.name]
    placements, recorder.placements = recorder.placements, {}
    return placements


class PeerShardCounter(WorkerPlugin):
    """Counts the bytes of p2p shuffle shards this worker sends to other workers (shards it
    sends itself go through the same buffer and are left out). Wraps the comm buffer's
    process step, which receives each batch with its destination and size; where the
    installed distributed has no such step, `worker.bench_p2p_sent` stays None."""

    name = "bench-exchange-p2p-bytes"

    def setup(self, worker: Any) -> None:
        worker.bench_p2p_sent = 0
        try:
            from distributed.shuffle._comms import CommShardsBuffer
        except ImportError:
            worker.bench_p2p_sent = None
            return
        original = CommShardsBuffer.process
        if getattr(original, "counts_peer_bytes", False):
            return

        async def process(buffer: Any, address: str, shards: Any, size: int) -> None:
            if address != worker.address and worker.bench_p2p_sent is not None:
                worker.bench_p2p_sent += size
            await original(buffer, address, shards, size)
        process.counts_peer_bytes = True  # type: ignore[attr-defined]
        CommShardsBuffer.process = process  # type: ignore[method-assign]


def sent_by_worker(dask_worker: Any) -> tuple[int, int | None]:
    return dask_worker.transfer_outgoing_bytes_total, dask_worker.bench_p2p_sent


def instrument(client: Client) -> list[int]:
    """Installs both recorders; returns the worker processes' ids."""
    client.register_plugin(PlacementRecorder())
    client.register_plugin(PeerShardCounter())
    return sorted(client.run(os.getpid).values())


class PeakMemory:
    """The resident sets of the processes while the block ran: the largest any had, and the
    largest rise of one over its own at the start."""

    def __init__(self, pids: list[int], interval: float = 0.05) -> None:
        self.processes = [psutil.Process(pid) for pid in pids]
        self.interval = interval
        self.start = [process.memory_info().rss for process in self.processes]
        self.peaks = list(self.start)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)

    def sample(self) -> None:
        while True:
            for i, process in enumerate(self.processes):
                self.peaks[i] = max(self.peaks[i], process.memory_info().rss)
            if self.stop.wait(self.interval):
                return

    @property
    def peak(self) -> int:
        return max(self.peaks)

    @property
    def rise(self) -> int:
        return max(peak - start for peak, start in zip(self.peaks, self.start))

    def __enter__(self) -> PeakMemory:
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop.set()
        self.thread.join()


@dataclass
class Run:
    value: Any
    wall: float
    moved: int
    p2p_counted: bool
    peak_rss: int
    rss_rise: int
    placements: Placements


def measured(client: Client, pids: list[int], compute: Callable[[], tuple[Any, list[Any]]]) -> Run:
    """Runs `compute`, which returns its value and the keys whose results the client got."""
    client.run_on_scheduler(take_placements)
    before = client.run(sent_by_worker).values()
    with PeakMemory(pids) as memory:
        start = time.perf_counter()
        value, result_keys = compute()
        wall = time.perf_counter() - start
    after = client.run(sent_by_worker).values()
    placements = client.run_on_scheduler(take_placements)
    to_client = sum(placements[k][1] for k in result_keys if k in placements)
    tasks = sum(a[0] for a in after) - sum(b[0] for b in before)
    p2p_counted = all(a[1] is not None for a in after)
    p2p = sum(a[1] or 0 for a in after) - sum(b[1] or 0 for b in before)
    return Run(value, wall, tasks - to_client + p2p, p2p_counted, memory.peak, memory.rise,
               placements)


# The roles of an exchange's own tasks, in either lowering.
EXCHANGE_ROLES = ("split", "piece", "route", "pick")


def exchange_internal(key: Any) -> bool:
    """A key of an exchange's own tasks: "exchange-<role>-...", as against an output
    partition's "exchange-<node>-<token>" or "exchange-<fingerprint>"."""
    name = key[0] if isinstance(key, tuple) else key
    words = str(name).split("-")
    return words[0] == "exchange" and len(words) >= 3 and words[1] in EXCHANGE_ROLES


def exchange_role(key: Any) -> str:
    name = key[0] if isinstance(key, tuple) else key
    return str(name).split("-")[1]


def exchange_bytes_changing_worker(placements: Placements) -> int:
    """The bytes of exchange results that tasks on other workers read: each such result
    counted once per worker that needs it. Where pieces are tasks of their own, only the
    pieces count: a piece runs where its split is, and a split that dask moves to run a
    piece elsewhere is traffic beyond the ideal, not part of it."""
    pieces = any(exchange_internal(k) and exchange_role(k) == "piece" for k in placements)
    needed: set[tuple[Any, str]] = set()
    total = 0
    for worker, _, inputs in placements.values():
        for key in inputs:
            if not exchange_internal(key) or key not in placements:
                continue
            if pieces and exchange_role(key) != "piece":
                continue
            home, nbytes, _ = placements[key]
            if home != worker and (key, worker) not in needed:
                needed.add((key, worker))
                total += nbytes
    return total
