"""The functions tasks run: one partition (or one single value) of one node at a time.

They are module-level functions of a recipe, a partition number and input values, so that any
scheduler can ship them to worker processes by reference. Each names its node (and
partition) on every exception that user code raises.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from korvane.run.errors import blamed_on
from korvane.run.payloads import PROCESS_PAYLOADS

if TYPE_CHECKING:
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
    with blamed_on(where(recipe.node, partition)):
        return recipe.impl.read(recipe.params, partition)


def stage_members(recipe: StageRecipe, last: int, partition: int | None,
                  inputs: tuple[Any, ...]) -> Any:
    """The value of member `last` on one partition. Only the members it reads run: a member
    of single values is computed without the stage's partitioned inputs, so the partitioned
    members before it must not run there."""
    values: dict[int, Any] = {}
    for index in members_read_by(recipe, last):
        member = recipe.members[index]
        args = [values[k] if is_member else inputs[k] for is_member, k in member.refs]
        if len(recipe.members) == 1:
            what = where(recipe.node, partition)
        else:
            what = f"member {index} ({member.label}) of {where(recipe.node, partition)}"
        with blamed_on(what):
            values[index] = member.fn(member.params, *args)
    return values[last]


def members_read_by(recipe: StageRecipe, last: int) -> list[int]:
    """Member `last` and the members it reads, directly or not, in stage order."""
    needed = {last}
    for index in range(last, -1, -1):
        if index in needed:
            needed.update(k for is_member, k in recipe.members[index].refs if is_member)
    return sorted(needed)


def run_stage(recipe: StageRecipe, partition: int | None, *inputs: Any) -> Any:
    """The stage's value on one partition: its last member's, as fusion guarantees."""
    return stage_members(recipe, len(recipe.members) - 1, partition, inputs)


def run_stage_member(recipe: StageRecipe, member: int, partition: int | None, *inputs: Any) -> Any:
    return stage_members(recipe, member, partition, inputs)


def reduce_step(recipe: ReductionRecipe, partition: int | None, *inputs: Any) -> Any:
    with blamed_on(where(recipe.node, partition)):
        return recipe.impl.step(recipe.params, *inputs)


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


def concat_pieces(recipe: ExchangeRecipe, partition: int, splits: list[list[Any]]) -> Any:
    """Output partition `partition`: its piece of every input partition, in input order."""
    with blamed_on(where(recipe.node, partition)):
        return recipe.impl.concat(recipe.params, [pieces[partition] for pieces in splits])


def run_join(recipe: JoinRecipe, partition: int | None, *inputs: Any) -> Any:
    with blamed_on(where(recipe.node, partition)):
        return recipe.fn(recipe.params, *inputs)


def run_external(recipe: ExternalRecipe, partition: int | None, *inputs: Any) -> Any:
    key = (recipe.registry_token, *recipe.descriptor.values())
    with blamed_on(f"{recipe.node}, loading its payload"):
        payload = PROCESS_PAYLOADS.get(key, lambda: recipe.impl.load(recipe.descriptor),
                                       recipe.payloads)
    with blamed_on(where(recipe.node, partition)):
        return recipe.impl.apply(payload, recipe.params, *inputs)
