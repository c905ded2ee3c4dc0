"""The functions tasks run: one partition (or one single value) of one node at a time.

They are module-level functions of a spec, a partition number and input values, so that any
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
        ExchangeSpec,
        ExternalSpec,
        JoinSpec,
        ReductionSpec,
        SourceSpec,
        StageSpec,
    )


def where(node: NodeInfo, partition: int | None) -> str:
    return str(node) if partition is None else f"{node}, partition {partition}"


def read_partition(spec: SourceSpec, partition: int) -> Any:
    with blamed_on(where(spec.node, partition)):
        return spec.impl.read(spec.params, partition)


def stage_members(spec: StageSpec, last: int, partition: int | None,
                  inputs: tuple[Any, ...]) -> Any:
    """Runs members 0 to `last` on one partition; the value of member `last`."""
    values: list[Any] = []
    for index, member in enumerate(spec.members[:last + 1]):
        args = [values[k] if is_member else inputs[k] for is_member, k in member.refs]
        if len(spec.members) == 1:
            what = where(spec.node, partition)
        else:
            what = f"member {index} ({member.label}) of {where(spec.node, partition)}"
        with blamed_on(what):
            values.append(member.fn(member.params, *args))
    return values[-1]


def run_stage(spec: StageSpec, partition: int | None, *inputs: Any) -> Any:
    """The stage's value on one partition: its last member's, as fusion guarantees."""
    return stage_members(spec, len(spec.members) - 1, partition, inputs)


def run_stage_member(spec: StageSpec, member: int, partition: int | None, *inputs: Any) -> Any:
    return stage_members(spec, member, partition, inputs)


def reduce_step(spec: ReductionSpec, partition: int | None, *inputs: Any) -> Any:
    with blamed_on(where(spec.node, partition)):
        return spec.impl.step(spec.params, *inputs)


def reduce_combine(spec: ReductionSpec, partials: list[Any]) -> Any:
    with blamed_on(f"{spec.node}, combining {len(partials)} partial results"):
        return spec.impl.combine(spec.params, partials)


def reduce_finish(spec: ReductionSpec, partials: list[Any]) -> Any:
    """The last combine of the tree, and the finish."""
    merged = reduce_combine(spec, partials)
    if spec.impl.finish is None:
        return merged
    with blamed_on(f"{spec.node}, finishing"):
        return spec.impl.finish(spec.params, merged)


def split_partition(spec: ExchangeSpec, partition: int, data: Any) -> list[Any]:
    with blamed_on(f"{where(spec.node, partition)}, splitting"):
        pieces = list(spec.impl.split(spec.params, data, spec.partitions))
        if len(pieces) != spec.partitions:
            raise ValueError(f"split gave {len(pieces)} pieces for {spec.partitions} "
                             f"output partitions")
    return pieces


def concat_pieces(spec: ExchangeSpec, partition: int, splits: list[list[Any]]) -> Any:
    """Output partition `partition`: its piece of every input partition, in input order."""
    with blamed_on(where(spec.node, partition)):
        return spec.impl.concat(spec.params, [pieces[partition] for pieces in splits])


def run_join(spec: JoinSpec, partition: int | None, *inputs: Any) -> Any:
    with blamed_on(where(spec.node, partition)):
        return spec.fn(spec.params, *inputs)


def run_external(spec: ExternalSpec, partition: int | None, *inputs: Any) -> Any:
    key = (spec.registry_token, *spec.descriptor.values())
    with blamed_on(f"{spec.node}, loading its payload"):
        payload = PROCESS_PAYLOADS.get(key, lambda: spec.impl.load(spec.descriptor))
    with blamed_on(where(spec.node, partition)):
        return spec.impl.apply(payload, spec.params, *inputs)
