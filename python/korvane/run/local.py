"""Running a store in the calling thread.

The tasks are the ones a dask scheduler gets (see tasks.py), run in their order, which is
dependency order. A result is dropped as soon as its last reader has run, unless a run
returns it, so memory holds about one frontier of partitions rather than the whole pipeline.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from korvane.run.caching import ATTEMPTS, EntryVanished, with_cache
from korvane.run.plan import make_plan
from korvane.run.results import Results, store_digest
from korvane.run.tasks import build_tasks

if TYPE_CHECKING:
    from korvane_core import GraphStore

    from korvane.run.cache import Cache
    from korvane.run.caching import CacheNodes
    from korvane.run.plan import MemberRequest
    from korvane.run.registry import Registry
    from korvane.run.tasks import Key, Target, TaskGraph


def run_local(store: GraphStore, registry: Registry, outputs: Sequence[int] | None = None, *,
              members: Sequence[MemberRequest] = (), cache: Cache | None = None,
              cache_nodes: CacheNodes = "outputs") -> Results:
    """Computes `outputs` (default: the store's marked outputs) and the requested stage
    members in this thread, visiting only the nodes they need, in dependency order.

    Works on any store, as recorded or reduced. Everything is checked before user code runs
    (PlanError); an exception from user code propagates with a note naming the node.

    With a `cache`, values found there are read instead of computed, and the values of
    `cache_nodes` ("outputs", "boundaries" or a list of node ids) are written to it (see
    caching.py); `Results.loaded` and `Results.stored` say which."""
    plan = make_plan(store, registry, outputs, members, fingerprinted=cache is not None)
    digest = store_digest(store)
    for attempt in range(ATTEMPTS + 1):
        cached = None if cache is None else \
            with_cache(plan, store, cache, cache_nodes, read=attempt < ATTEMPTS)
        graph = build_tasks(plan if cached is None else cached.plan, pieces=False,
                            stored=None if cached is None else cached.stored)
        try:
            values = execute(graph)
        except EntryVanished:
            if attempt < ATTEMPTS:
                continue
            raise
        return Results({i: gather(t, values) for i, t in graph.outputs.items()},
                       {m: gather(t, values) for m, t in graph.members.items()},
                       computed_from=digest,
                       loaded=() if cached is None else cached.loaded,
                       stored=() if cached is None else tuple(cached.stored))
    raise AssertionError("unreachable: the last attempt reads no cache")


def gather(target: Target, values: dict[Key, Any]) -> Any:
    return [values[k] for k in target] if isinstance(target, list) else values[target]


def execute(graph: TaskGraph) -> dict[Key, Any]:
    """Runs every task in order and returns the values of the wanted keys."""
    wanted = graph.wanted()
    readers: dict[Any, int] = {}
    for task in graph.tasks.values():
        for arg in task[1:]:
            kind = type(arg)
            if kind is tuple or kind is str:
                readers[arg] = readers.get(arg, 0) + 1
            elif kind is list:
                for key in arg:
                    readers[key] = readers.get(key, 0) + 1
    for key in wanted:
        # Never dropped: one more reader than any task accounts for.
        readers[key] = readers.get(key, 0) + 1
    values: dict[Any, Any] = {}
    for key, task in graph.tasks.items():
        args = []
        for arg in task[1:]:
            kind = type(arg)
            if kind is tuple or kind is str:
                args.append(values[arg])
                left = readers[arg] - 1
                readers[arg] = left
                if not left:
                    del values[arg]
            elif kind is list:
                items = []
                for item in arg:
                    items.append(values[item])
                    left = readers[item] - 1
                    readers[item] = left
                    if not left:
                        del values[item]
                args.append(items)
            else:
                args.append(arg)
        values[key] = task[0](*args)
        del args
    return values
