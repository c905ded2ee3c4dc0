"""A store as a dask task graph, computed by any dask scheduler: the threaded one, a process
pool, or a distributed cluster through its Client.

Building the graph needs nothing from dask; computing it does (the 'dask' extra).
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from korvane.run.caching import ATTEMPTS, EntryVanished, with_cache
from korvane.run.plan import make_plan
from korvane.run.crossing import stays_in_process, values_checked
from korvane.run.results import Results, store_digest
from korvane.run.tasks import Target, build_tasks

if TYPE_CHECKING:
    from korvane_core import GraphStore

    from korvane.run.cache import Cache
    from korvane.run.caching import CacheNodes
    from korvane.run.plan import MemberRequest
    from korvane.run.registry import Registry
    from korvane.run.tasks import Key


@dataclass(frozen=True)
class DaskGraph:
    """A lowered store: `graph` in dask's task-graph form, and where each requested value is.

    `graph` holds one task per partition of every boundary node and of every stage (or,
    for a store as recorded, of every operation), the steps and combine tree of each
    reduction, and the split layer of each exchange. Each task carries the functions it
    calls and depends on its inputs alone."""

    graph: dict[Key, Any]
    outputs: dict[int, Target]
    members: dict[MemberRequest, Target]
    # The lowered store's digest, which the Results carry (see value_of).
    computed_from: str | None = None
    # With a result cache: the nodes whose values are read from it, and those whose values
    # are written to it.
    loaded: tuple[int, ...] = ()
    stored: tuple[int, ...] = ()
    # Lowers the store again from a fresh look-up of the cache, for a run whose entries
    # vanished under it (given the attempt's number; the last reads no cache).
    again: Callable[[int], DaskGraph] | None = field(default=None, repr=False, compare=False)

    def keys(self) -> list[Target]:
        """What to compute: the output targets, then the member targets, each a key or a
        list of keys (dask's get returns the same nesting)."""
        return [*self.outputs.values(), *self.members.values()]

    def results(self, computed: Sequence[Any]) -> Results:
        """Results from the values a scheduler computed for `keys()`."""
        targets = self.keys()
        if len(computed) != len(targets):
            raise ValueError(f"{len(computed)} values computed for {len(targets)} targets")
        # Schedulers give a list of keys back as a tuple; partitions are a list everywhere.
        values = [list(value) if isinstance(target, list) else value
                  for target, value in zip(targets, computed)]
        outputs = dict(zip(self.outputs, values))
        members = dict(zip(self.members, values[len(self.outputs):]))
        return Results(outputs, members, computed_from=self.computed_from, loaded=self.loaded,
                       stored=self.stored)

    def compute(self, scheduler: Any = None) -> Results:
        """Computes the graph with `scheduler`: None for dask's default (a distributed Client
        that is set as default, else the threaded scheduler), a name such as "threads" or
        "sync", a Client, or a get function."""
        get = dask_get(scheduler)
        lowered = self
        for attempt in range(1, ATTEMPTS + 2):
            # Values that will cross processes are checked where they are made (crossing.py).
            graph = lowered.graph if stays_in_process(get) else values_checked(lowered.graph)
            try:
                return lowered.results(get(graph, lowered.keys()))
            except EntryVanished:
                if lowered.again is None or attempt > ATTEMPTS:
                    raise
                lowered = lowered.again(attempt)
        raise AssertionError("unreachable: the last attempt reads no cache")


def dask_get(scheduler: Any) -> Callable[..., Any]:
    """dask's get function for a scheduler. dask is imported here, on first use, so that
    the rest of the package works (and type-checks) where the extra is not installed."""
    try:
        dask_base = importlib.import_module("dask.base")
        dask_threaded = importlib.import_module("dask.threaded")
    except ImportError as error:
        raise ImportError("computing on dask needs dask: pip install korvane-core[dask]") \
            from error
    get: Callable[..., Any] = dask_base.get_scheduler(scheduler=scheduler) or dask_threaded.get
    return get


def lower(store: GraphStore, registry: Registry, outputs: Sequence[int] | None = None, *,
          members: Sequence[MemberRequest] = (), fuse: bool = True, cache: Cache | None = None,
          cache_nodes: CacheNodes = "outputs") -> DaskGraph:
    """The dask graph that computes `outputs` (default: the store's marked outputs) and the
    requested stage members. Any store lowers, as recorded or reduced; a reduced one gives
    fewer tasks, since each stage is one task per partition. Checks everything before a
    task exists (PlanError).

    With `fuse` (the default) a task with a single reader runs inside that reader, such as a
    source's read inside the stage that alone consumes it; without, every node keeps its
    own tasks (for dask's optimizer to fuse instead, say).

    With a `cache`, values found there are loaded by the tasks instead of computed, and the
    values of `cache_nodes` are written by the tasks that compute them (see caching.py)."""
    plan = make_plan(store, registry, outputs, members)
    digest = store_digest(store)

    def lowered(attempt: int) -> DaskGraph:
        if cache is None:
            tasks = build_tasks(plan, fuse)
            return DaskGraph(tasks.tasks, tasks.outputs, tasks.members, digest)
        cached = with_cache(plan, store, cache, cache_nodes, read=attempt < ATTEMPTS)
        tasks = build_tasks(cached.plan, fuse, stored=cached.stored)
        return DaskGraph(tasks.tasks, tasks.outputs, tasks.members, digest, cached.loaded,
                         tuple(cached.stored), None if attempt >= ATTEMPTS else lowered)
    return lowered(0)
