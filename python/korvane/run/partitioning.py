"""How a partitioned value is partitioned: which rows sit in which partition.

A join pairs partition i of each input with partition i of the others, which is right only
when its inputs put equal keys into equal partition numbers: when they are partitioned
alike. The store does not say how anything is partitioned; the plan works it out from the
registry (see plan.py) and refuses a join whose inputs are not known to be partitioned alike.

A `Partitioning` is a plain value compared by equality: two values are partitioned alike
exactly when their partitionings are equal. A source's partitioning is its own unless its
registration says otherwise; an exchange's is described by its strategy, the parameters
that matter to it and its output count, so that two exchanges that would put equal keys
in equal partitions have equal partitionings.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TypeAlias

# A parameter value tagged with its type, so that 1, 1.0, True and "1" stay apart.
TypedValue: TypeAlias = tuple[str, int | float | bool | str]


def typed(value: int | float | bool | str) -> TypedValue:
    return (type(value).__name__, value)


@dataclass(frozen=True)
class Partitioning:
    """`scheme` says how rows are assigned to partitions; `count` how many there are. Equal
    partitionings may be joined. `placement` says more, for an exchange: every parameter it
    was given, such as the column it hashed, which its scheme may leave out so that exchanges
    by l_orderkey and by o_orderkey agree for a join. An exchange is redundant only where its
    input's placement is its own too: data hashed by o_custkey is not where hashing it by
    o_orderkey would put it, however alike the two schemes."""

    scheme: tuple[object, ...]
    count: int
    placement: tuple[object, ...] = field(default=(), compare=False)

    def places_like(self, other: Partitioning) -> bool:
        """Whether rows partitioned so sit exactly where `other` would put them."""
        return self == other and self.placement == other.placement

    def __str__(self) -> str:
        unit = "partition" if self.count == 1 else "partitions"
        return f"{describe(self.scheme)} into {self.count} {unit}"


def describe(scheme: tuple[object, ...]) -> str:
    if scheme[:1] == ("node",):
        return f"its own partitioning (that of node {scheme[1]})"
    if scheme[:1] == ("exchange",):
        strategy, params = scheme[1], scheme[2]
        assert isinstance(params, tuple)
        shown = ", ".join(f"{key}={value!r}" for key, (_, value) in params)
        name = "the exchange" if strategy is None else f"the {strategy!r} exchange"
        return f"{name} {{{shown}}}" if shown else name
    return repr(scheme)


def own_partitioning(node_id: int, count: int) -> Partitioning:
    """The partitioning of a value partitioned like nothing else in the plan."""
    return Partitioning(("node", node_id), count)
