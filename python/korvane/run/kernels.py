"""The functions tasks run: one partition (or one single value) of one node at a time.

They are module-level functions of a recipe, a partition number and input values, so that any
scheduler can ship them to worker processes by reference. Each names its node (and
partition) on every exception that user code raises.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeAlias

from korvane.run.caching import EntryVanished
from korvane.run.errors import CacheError, blame, blamed_on
from korvane.run.payloads import PROCESS_PAYLOADS

if TYPE_CHECKING:
    from korvane.run.caching import Entry, LoadRecipe
    from korvane.run.errors import NodeInfo
    from korvane.run.plan import (
        ExchangeRecipe,
        ExternalRecipe,
        JoinRecipe,
        ReductionRecipe,
        SourceRecipe,
        StageRecipe,
    )


def where(node: NodeInfo, partition: int | None) -> str:
    return str(node) if partition is None else f"{node}, partition {partition}"


def read_partition(recipe: SourceRecipe, partition: int) -> Any:
    try:
        return recipe.impl.read(recipe.params, partition)
    except Exception as error:
        blame(error, where(recipe.node, partition))


@dataclass(frozen=True, eq=False)
class StageSplit:
    """A stage whose members of single values (`once`) run in a task of their own."""

    recipe: StageRecipe
    once: tuple[int, ...]


def stage_members(recipe: StageRecipe, last: int, partition: int | None,
                  inputs: tuple[Any, ...], given: dict[int, Any] | None = None) -> Any:
    """The value of member `last` on one partition. Only the members it reads run: a member
    of single values is computed without the stage's partitioned inputs, so the partitioned
    members before it must not run there. Members in `given` have their values already."""
    first = recipe.inputs
    slots: list[Any] = [*inputs, *([None] * len(recipe.members))]
    members = recipe.members
    for index in recipe.reads(last):
        if given is not None and index in given:
            slots[first + index] = given[index]
            continue
        member = members[index]
        try:
            slots[first + index] = member.fn(member.params, *[slots[k] for k in member.refs])
        except Exception as error:
            blame(error, member_where(recipe, index, partition))
    return slots[first + last]


def member_where(recipe: StageRecipe, index: int, partition: int | None) -> str:
    """Names a stage's member in messages (a stage of one member as its node)."""
    members = recipe.members
    if len(members) == 1:
        return where(recipe.node, partition)
    return f"member {index} ({members[index].label}) of {where(recipe.node, partition)}"


def run_stage(recipe: StageRecipe, partition: int | None, *inputs: Any) -> Any:
    """The stage's value on one partition: its last member's, as fusion guarantees."""
    return stage_members(recipe, len(recipe.members) - 1, partition, inputs)


def run_stage_once(split: StageSplit, *inputs: Any) -> dict[int, Any]:
    """The values of a stage's members of single values, computed once for all partitions."""
    values: dict[int, Any] = {}
    for index in split.once:
        values[index] = stage_members(split.recipe, index, None, inputs, values)
    return values


def run_stage_given(split: StageSplit, partition: int | None, once: dict[int, Any],
                    *inputs: Any) -> Any:
    return stage_members(split.recipe, len(split.recipe.members) - 1, partition, inputs, once)


def run_stage_member(recipe: StageRecipe, member: int, partition: int | None, *inputs: Any) -> Any:
    return stage_members(recipe, member, partition, inputs)


def reduce_step(recipe: ReductionRecipe, partition: int | None, *inputs: Any) -> Any:
    try:
        return recipe.impl.step(recipe.params, *inputs)
    except Exception as error:
        blame(error, where(recipe.node, partition))


def reduce_combine(recipe: ReductionRecipe, partials: list[Any]) -> Any:
    with blamed_on(f"{recipe.node}, combining {len(partials)} partial results"):
        return recipe.impl.combine(recipe.params, partials)


def reduce_finish(recipe: ReductionRecipe, partials: list[Any]) -> Any:
    """The last combine of the tree, and the finish."""
    merged = reduce_combine(recipe, partials)
    if recipe.impl.finish is None:
        return merged
    with blamed_on(f"{recipe.node}, finishing"):
        return recipe.impl.finish(recipe.params, merged)


def split_partition(recipe: ExchangeRecipe, partition: int, data: Any) -> list[Any]:
    with blamed_on(f"{where(recipe.node, partition)}, splitting"):
        pieces = list(recipe.impl.split(recipe.params, data, recipe.partitions))
        if len(pieces) != recipe.partitions:
            raise ValueError(f"split gave {len(pieces)} pieces for {recipe.partitions} "
                             f"output partitions")
    return pieces


def take(pieces: list[Any], index: int) -> Any:
    """One piece of a split: a task of its own, so that only this piece travels."""
    return pieces[index]


def concat_pieces(recipe: ExchangeRecipe, partition: int, pieces: list[Any]) -> Any:
    """Output partition `partition` from its piece of every input partition, in input order."""
    with blamed_on(where(recipe.node, partition)):
        return recipe.impl.concat(recipe.params, pieces)


def concat_from_splits(recipe: ExchangeRecipe, partition: int, splits: list[list[Any]]) -> Any:
    """The same, picking the pieces out of whole splits (where nothing travels)."""
    return concat_pieces(recipe, partition, [pieces[partition] for pieces in splits])


@dataclass(frozen=True, eq=False)
class Route:
    """An exchange run in rounds of `fan_out` groups per split."""

    recipe: ExchangeRecipe
    fan_out: int


# Between rounds, rows travel as groups: {output partition: [(input partition, piece), ...]}.
Group: TypeAlias = dict[int, list[tuple[int, Any]]]


def grouped(route: Route, digit: int, group: Group) -> list[Group]:
    """The group cut by one base-fan_out digit of the output partition."""
    unit = route.fan_out ** digit
    groups: list[Group] = [{} for _ in range(route.fan_out)]
    for j, pieces in group.items():
        groups[(j // unit) % route.fan_out][j] = pieces
    return groups


def route_split(route: Route, partition: int, data: Any) -> list[Group]:
    pieces = split_partition(route.recipe, partition, data)
    return grouped(route, 0, {j: [(partition, piece)] for j, piece in enumerate(pieces)})


def route_merge(route: Route, digit: int, arrivals: list[Group]) -> list[Group]:
    merged: Group = {}
    for group in arrivals:
        for j, pieces in group.items():
            merged.setdefault(j, []).extend(pieces)
    return grouped(route, digit, merged)


def concat_routed(recipe: ExchangeRecipe, partition: int, arrivals: list[Group]) -> Any:
    pieces = sorted((item for group in arrivals for item in group.get(partition, [])),
                    key=lambda item: item[0])
    return concat_pieces(recipe, partition, [piece for _, piece in pieces])


def run_join(recipe: JoinRecipe, partition: int | None, *inputs: Any) -> Any:
    try:
        return recipe.fn(recipe.params, *inputs)
    except Exception as error:
        blame(error, where(recipe.node, partition))


def run_external(recipe: ExternalRecipe, partition: int | None, *inputs: Any) -> Any:
    key = (recipe.registry_token, *recipe.descriptor.values())
    with blamed_on(f"{recipe.node}, loading its payload"):
        payload = PROCESS_PAYLOADS.get(key, lambda: recipe.impl.load(recipe.descriptor),
                                       recipe.payloads)
    with blamed_on(where(recipe.node, partition)):
        return recipe.impl.apply(payload, recipe.params, *inputs)


@dataclass(frozen=True, eq=False)
class Keeping:
    """A node whose values a run writes to the cache."""

    node: NodeInfo
    entry: Entry


def load_entry(recipe: LoadRecipe, partition: int | None) -> Any:
    found, value = recipe.entry.cache.load(recipe.entry.fingerprint, partition)
    if not found:
        raise EntryVanished(f"{where(recipe.node, partition)}: its cache entry was there when "
                            f"the run was planned, and is gone or damaged now")
    return value


def store_entry(keeping: Keeping, partition: int | None, value: Any) -> Any:
    """Writes the value and passes it on, so that whoever reads the node reads it after."""
    try:
        keeping.entry.cache.store(keeping.entry.fingerprint, partition, value)
    except CacheError as error:
        raise CacheError(f"{where(keeping.node, partition)}: {error}") from error
    return value
