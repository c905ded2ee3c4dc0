"""How the rows of each value of a plan are partitioned, which joins that makes safe, and
which exchanges it makes redundant.

A join meets partition i of each input with partition i of the others, so it is right only
when rows with equal keys sit in equal partition numbers on every side. The store does not
say how anything is partitioned; the plan works it out from the registry, node by node in
id order, as a `Partitioning` per partitioned value:

- a source is partitioned like nothing else, unless its registration declares how it is;
- an exchange's output is partitioned as its strategy says for its parameters and count;
- an operation (or a stage member) and an external leave every row in the partition they
  found it in, so they keep their partitioned inputs' partitioning; unless registered with
  preserves_partitioning=False, or their partitioned inputs disagree (an operation zipping
  two differently partitioned values), and then their output is partitioned like nothing
  else;
- a join's output keeps the partitioning its inputs share (a broadcast join's, its first
  partitioned input's);
- a single value (a reduction's result) has none: it is passed whole wherever it is read.

A co-partitioned join is accepted when its partitioned inputs share one partitioning. A
node's own partitioning is shared only by what was computed from it partition by partition,
so a value may be joined with what was derived from it (the rows of partition i of each come
from partition i of the same value), but never with another value partitioned like nothing
else, even one of equal count. The rules err one way only: two values get equal
partitionings only when their rows are known to sit alike, so a join that happens to be
right (two sources laid out alike that do not say so) is refused until the registry says
so. Only joins are checked: an operation may zip whatever it likes.

An exchange whose input already sits where the exchange would put it, by the same strategy
and count and by every parameter the exchange is given (the column it hashes, say, even where
the strategy's scheme leaves it out for joins), would leave every row where it is, so the
plan reads its input instead (`ForwardRecipe`); only the order of rows within a partition
may differ from a real exchange. The store is never changed.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, TypeAlias

from korvane.run.errors import NodeInfo, NotCoPartitioned, PlanError, blamed_on
from korvane.run.partitioning import Partitioning, own_partitioning

if TYPE_CHECKING:
    from korvane.run.registry import Params, SourceImpl

# An input of a node: who it is, and how its value is partitioned (None: a single value).
Placed: TypeAlias = tuple[NodeInfo, Partitioning | None]


def source_partitioning(info: NodeInfo, impl: SourceImpl, params: Params,
                        count: int) -> Partitioning:
    """The source's declared partitioning, checked against its partition count; else its own."""
    if impl.partitioning is None:
        return own_partitioning(info.id, count)
    with blamed_on(f"{info}: finding its partitioning"):
        declared = impl.partitioning(params)
    if not isinstance(declared, Partitioning):
        raise PlanError(info, f"its partitioning function gave {type(declared).__name__} "
                              f"{declared!r}, not a Partitioning")
    if declared.count != count:
        raise PlanError(info, f"its declared partitioning is {declared}, but the source has "
                              f"{count} partitions")
    return declared


def distinct(partitionings: Sequence[Partitioning | None]) -> list[Partitioning]:
    """The different partitionings among these, in order, single values left out. Compared by
    equality alone: a declared scheme need not be hashable."""
    found: list[Partitioning] = []
    for partitioning in partitionings:
        if partitioning is not None and partitioning not in found:
            found.append(partitioning)
    return found


def kept_partitioning(node_id: int, inputs: Sequence[Partitioning | None], preserves: bool,
                      count: int | None) -> Partitioning | None:
    """The partitioning of a partition-local result: its partitioned inputs' when they agree
    and it preserves partitioning, else its own; None when it reads single values only."""
    found = distinct(inputs)
    if not found:
        return None
    if preserves and len(found) == 1:
        return found[0]
    assert count is not None
    return own_partitioning(node_id, count)


def stage_partitioning(node_id: int, members: Sequence[tuple[tuple[int, ...], bool]],
                       inputs: Sequence[Partitioning | None],
                       count: int | None) -> Partitioning | None:
    """Member by member, as the operations would be partitioned if they ran unfused, so that a
    store and its reduction agree on every join: the stage's value is its last member's.
    `members` gives each member's slots (the stage's inputs, then the members before it) and
    whether its operation preserves partitioning."""
    slots = list(inputs)
    own = None
    for refs, preserves in members:
        # kept_partitioning, without a list per member: a plan meets every member.
        found: Partitioning | None = None
        agree = True
        for slot in refs:
            partitioning = slots[slot]
            if partitioning is not None:
                if found is None:
                    found = partitioning
                elif partitioning is not found and partitioning != found:
                    agree = False
        if found is not None and not (preserves and agree):
            if own is None:
                assert count is not None
                own = own_partitioning(node_id, count)
            found = own
        slots.append(found)
    return slots[-1]


def joined_partitioning(info: NodeInfo, inputs: Sequence[Placed],
                        co_partitioned: bool) -> Partitioning | None:
    """The partitioning of a join's output, which also gives its partition count: the one its
    partitioned inputs share, or, for a broadcast join, its first partitioned input's. Raises
    NotCoPartitioned for a co-partitioned join whose partitioned inputs are not known to be
    partitioned alike, before anything runs."""
    found = distinct([partitioning for _, partitioning in inputs])
    if co_partitioned and len(found) > 1:
        raise NotCoPartitioned(info, not_co_partitioned(inputs))
    return found[0] if found else None


def not_co_partitioned(inputs: Sequence[Placed]) -> str:
    """Why the join is refused: each input and how it is partitioned, and the ways out."""
    listed: list[Placed] = []
    for placed in inputs:
        if placed not in listed:
            listed.append(placed)
    counts = [(who, p.count) for who, p in listed if p is not None]
    if len({count for _, count in counts}) > 1:
        first = "inputs must have equal partition counts: " + \
            ", ".join(f"node {who.id} has {count}" for who, count in counts)
    else:
        first = "its inputs are not known to be partitioned alike, so rows with equal keys " \
                "may sit in different partitions and never meet"
    lines = [f"  {who}: {'a single value, passed whole' if p is None else p}"
             for who, p in listed]
    fix = ("To join them, exchange every input with the same exchange strategy and partition "
           "count (registering the exchange with partitioning_params when only some of its "
           "parameters decide where rows go), declare a source's existing partitioning with "
           "partitioning= when registering it, or register a broadcast join with "
           "co_partitioned=False.")
    return "\n".join([first + ":", *lines, fix])
