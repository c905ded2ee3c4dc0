"""The functions tasks run: one partition (or one single value) of one node at a time.

They are module-level functions of plain arguments so that any scheduler can ship them to
worker processes by reference. Each names its node (and partition) on every exception that
user code raises.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from korvane.run.errors import blamed_on

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
    from korvane.run.registry import Registry


def where(node: NodeInfo, partition: int | None) -> str:
    return str(node) if partition is None else f"{node}, partition {partition}"


def read_partition(spec: SourceSpec, registry: Registry, partition: int) -> Any:
    impl = registry.source_impl(spec.name)
    assert impl is not None
    with blamed_on(where(spec.node, partition)):
        return impl.read(spec.params, partition)


def stage_members(spec: StageSpec, registry: Registry, last: int, partition: int | None,
                  inputs: tuple[Any, ...]) -> Any:
    """Runs members 0 to `last` on one partition; the value of member `last`."""
    values: list[Any] = []
    for index, member in enumerate(spec.members[:last + 1]):
        fn = registry.op_impl(member.name)
        assert fn is not None
        args = [values[k] if is_member else inputs[k] for is_member, k in member.refs]
        if len(spec.members) == 1:
            what = where(spec.node, partition)
        else:
            what = f"member {index} ({member.label}) of {where(spec.node, partition)}"
        with blamed_on(what):
            values.append(fn(member.params, *args))
    return values[-1]


def run_stage(spec: StageSpec, registry: Registry, partition: int | None, *inputs: Any) -> Any:
    """The stage's value on one partition: its last member's, as fusion guarantees."""
    return stage_members(spec, registry, len(spec.members) - 1, partition, inputs)


def run_stage_member(spec: StageSpec, registry: Registry, member: int, partition: int | None,
                     *inputs: Any) -> Any:
    return stage_members(spec, registry, member, partition, inputs)


def reduce_step(spec: ReductionSpec, registry: Registry, partition: int | None,
                *inputs: Any) -> Any:
    impl = registry.reduction_impl(spec.name)
    assert impl is not None
    with blamed_on(where(spec.node, partition)):
        return impl.step(spec.params, *inputs)


def reduce_combine(spec: ReductionSpec, registry: Registry, partials: list[Any]) -> Any:
    impl = registry.reduction_impl(spec.name)
    assert impl is not None
    with blamed_on(f"{spec.node}, combining {len(partials)} partial results"):
        return impl.combine(spec.params, partials)


def reduce_finish(spec: ReductionSpec, registry: Registry, partials: list[Any]) -> Any:
    """The last combine of the tree, and the finish."""
    impl = registry.reduction_impl(spec.name)
    assert impl is not None
    merged = reduce_combine(spec, registry, partials)
    if impl.finish is None:
        return merged
    with blamed_on(f"{spec.node}, finishing"):
        return impl.finish(spec.params, merged)


def split_partition(spec: ExchangeSpec, registry: Registry, partition: int, data: Any) -> list[Any]:
    impl = registry.exchange_impl()
    assert impl is not None
    with blamed_on(f"{where(spec.node, partition)}, splitting"):
        pieces = list(impl.split(spec.params, data, spec.partitions))
        if len(pieces) != spec.partitions:
            raise ValueError(f"split gave {len(pieces)} pieces for {spec.partitions} "
                             f"output partitions")
    return pieces


def concat_pieces(spec: ExchangeSpec, registry: Registry, partition: int,
                  splits: list[list[Any]]) -> Any:
    """Output partition `partition`: its piece of every input partition, in input order."""
    impl = registry.exchange_impl()
    assert impl is not None
    with blamed_on(where(spec.node, partition)):
        return impl.concat(spec.params, [pieces[partition] for pieces in splits])


def run_join(spec: JoinSpec, registry: Registry, partition: int | None, *inputs: Any) -> Any:
    fn = registry.join_impl()
    assert fn is not None
    with blamed_on(where(spec.node, partition)):
        return fn(spec.params, *inputs)


def run_external(spec: ExternalSpec, registry: Registry, partition: int | None,
                 *inputs: Any) -> Any:
    impl = registry.external_impl(spec.descriptor["kind"])
    assert impl is not None
    with blamed_on(f"{spec.node}, loading its payload"):
        payload = registry.payload(spec.descriptor)
    with blamed_on(where(spec.node, partition)):
        return impl.apply(payload, spec.params, *inputs)
