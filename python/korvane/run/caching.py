"""A plan with a result cache: which values are read from it, which are written to it, and
which tasks need not run at all.

Policies, before the code:

- Keys. A value is kept under its node's fingerprint (fingerprint.py) and its partition, so
  any equivalent pipeline, in any store, process or machine, finds it; a node with no
  fingerprint is never cached.
- What is kept. `cache_nodes="outputs"` keeps the requested outputs; "boundaries" those and
  every source, boundary node and stage the request needs (not the other operations of a
  store as recorded: their chains are cheap to run again from the nearest kept value); a
  list of node ids keeps those of them the request needs.
- What is read. Before any task runs, the plan asks the cache once which entries exist. A
  kept node whose every partition has an entry is loaded (one task per partition reads its
  entry), and every node that only loaded nodes needed drops out of the plan: a fully
  cached output reads no source. A stage whose members are asked for by value is always
  computed, since its members are not kept.
- When entries vanish. Another process may evict an entry between the look-up and the load
  (the cache has a size bound). The load then fails with EntryVanished, and the run plans
  again from a fresh look-up, at most a few times, and then without reading the cache.
- Where. Loads and stores run inside the tasks, on whichever worker runs them: no value
  passes through the client, and a worker writes what it computed, atomically (cache.py).
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Literal, TypeAlias

from korvane.run.cone import needed
from korvane.run.errors import CacheError
from korvane.run.fingerprint import UncacheableWarning
from korvane.run.plan import Recipe

if TYPE_CHECKING:
    from korvane_core import GraphStore

    from korvane.run.cache import Cache
    from korvane.run.labels import NodeDict
    from korvane.run.plan import Plan, Step

CacheNodes: TypeAlias = Literal["outputs", "boundaries"] | Sequence[int]

# How often a run plans again after entries vanished under it, before it reads no cache.
ATTEMPTS = 3


class EntryVanished(CacheError):
    """An entry the plan found was gone when its load ran."""


@dataclass(frozen=True, eq=False)
class Entry:
    """Where a node's values are kept: the cache, and the node's fingerprint in hex."""

    cache: Cache
    fingerprint: str


@dataclass(frozen=True, eq=False)
class LoadRecipe(Recipe):
    """A node whose every partition is read from the cache."""

    entry: Entry


@dataclass(frozen=True)
class CachePlan:
    plan: Plan
    # Node ids whose values the run reads from the cache, and those whose values it writes.
    loaded: tuple[int, ...]
    stored: dict[int, Entry]


def kept_nodes(plan: Plan, nodes: Sequence[NodeDict], cache_nodes: CacheNodes) -> list[int]:
    if cache_nodes == "outputs":
        return list(dict.fromkeys(plan.outputs))
    if cache_nodes == "boundaries":
        outputs = set(plan.outputs)
        return [i for i in plan.steps if nodes[i]["kind"] != "op" or i in outputs]
    if isinstance(cache_nodes, str):
        raise ValueError(f"cache_nodes must be 'outputs', 'boundaries' or a list of node ids, "
                         f"not {cache_nodes!r}")
    return [i for i in dict.fromkeys(int(i) for i in cache_nodes) if i in plan.steps]


def entry_keys(step: Step, fingerprint: str) -> list[tuple[str, int | None]]:
    if step.partitions is None:
        return [(fingerprint, None)]
    return [(fingerprint, p) for p in range(step.partitions)]


def with_cache(plan: Plan, store: GraphStore, cache: Cache, cache_nodes: CacheNodes = "outputs",
               *, read: bool = True) -> CachePlan:
    """The plan with cached values loaded and what only they needed dropped, and the nodes
    whose values the run keeps. Checks that the cache can be written before anything runs."""
    cache.check_writable()
    nodes = store.nodes()
    prints = plan.fingerprints
    assert prints is not None
    kept = kept_nodes(plan, nodes, cache_nodes)
    for message in prints.causes:
        warnings.warn(message, UncacheableWarning, stacklevel=3)
    entries = {i: Entry(cache, digest.hex()) for i in kept
               if (digest := prints[i]) is not None}
    asked_stages = {stage for stage, _ in plan.members}
    loaded: list[int] = []
    if read and entries:
        wanted = [key for i, entry in entries.items()
                  for key in entry_keys(plan.steps[i], entry.fingerprint)]
        present = cache.entries_present(wanted)
        loaded = [i for i, entry in entries.items() if i not in asked_stages and all(
            key in present for key in entry_keys(plan.steps[i], entry.fingerprint))]
    roots = [*plan.outputs, *(stage for stage, _ in plan.members)]
    cone = needed(nodes, roots, leaves=set(loaded))
    steps = {}
    for i in cone:
        step = plan.steps[i]
        if i in loaded:
            step = replace(step, recipe=LoadRecipe(step.recipe.node, entries[i]), inputs=(),
                           input_partitions=step.partitions)
        steps[i] = step
    stored = {i: entry for i, entry in entries.items() if i in steps and i not in loaded}
    return CachePlan(replace(plan, steps=steps), tuple(i for i in loaded if i in steps), stored)
