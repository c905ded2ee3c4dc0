"""From a store and a registry to a checked plan: the nodes the requested values need, each
with its implementation's description and its partition count.

Everything that can be known before running is checked here, so that a store that cannot
run fails before any user code reads data: missing implementations, partition counts that
do not line up, shapes the execution model has no meaning for.
"""

from __future__ import annotations

import hashlib
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeAlias

from korvane.run.errors import (
    MissingImplementation,
    NodeInfo,
    PartitionMismatch,
    PlanError,
    UnknownExternalKind,
    blamed_on,
)
from korvane.run.labels import key_words, member_label, node_label
from korvane.run.payloads import distinct_payloads

if TYPE_CHECKING:
    from korvane_core import DescriptorDict, GraphStore, StageNodeDict

    from korvane.run.labels import NodeDict
    from korvane.run.registry import (
        ExchangeImpl,
        ExternalImpl,
        Params,
        ReductionImpl,
        Registry,
        SourceImpl,
    )

# A member of a stage asked for by (stage node id, member index).
MemberRequest: TypeAlias = tuple[int, int]


# What a task needs to know about its node, implementations included: a task carries its
# own functions, so that tasks depend on nothing but their inputs and chains of them stay
# fusable by a scheduler's optimizer. Compared by identity (eq=False): they are hashable, so
# a scheduler that looks task arguments up among its keys finds none of them.

@dataclass(frozen=True, eq=False)
class Recipe:
    node: NodeInfo


@dataclass(frozen=True, eq=False)
class SourceRecipe(Recipe):
    params: Params
    impl: SourceImpl


@dataclass(frozen=True, eq=False)
class MemberRecipe:
    fn: Callable[..., Any]
    params: Params
    label: str
    # Per argument: (True, j) for member j's value, (False, k) for the stage's input k.
    refs: tuple[tuple[bool, int], ...]


@dataclass(frozen=True, eq=False)
class StageRecipe(Recipe):
    """A stage, or a single operation of an unreduced store as a stage of one member."""

    members: tuple[MemberRecipe, ...]


@dataclass(frozen=True, eq=False)
class ReductionRecipe(Recipe):
    params: Params
    impl: ReductionImpl


@dataclass(frozen=True, eq=False)
class ExchangeRecipe(Recipe):
    params: Params
    partitions: int
    impl: ExchangeImpl


@dataclass(frozen=True, eq=False)
class JoinRecipe(Recipe):
    params: Params
    fn: Callable[..., Any]


@dataclass(frozen=True, eq=False)
class ExternalRecipe(Recipe):
    descriptor: DescriptorDict
    params: Params
    impl: ExternalImpl
    # Loaded payloads are cached per process under the registry's token and the descriptor.
    registry_token: str
    # How many distinct payloads the plan uses: the cache keeps at least that many.
    payloads: int = 1


@dataclass(frozen=True)
class Step:
    """One node of the plan."""

    recipe: Recipe
    inputs: tuple[int, ...]
    # The node's partition count; None when its value is a single value (a reduction's, or
    # anything computed from single values only).
    partitions: int | None
    # The count its partitioned inputs share (single inputs are broadcast); None when all
    # its inputs are single values, or it has none.
    input_partitions: int | None
    # Task keys read "{words}[-{role}]-{node id}-{graph token}", such as
    # "exchange-split-7-5f0c2a1e9b7d4e6a": readable, and the same for the same graph.
    key_words: str
    key_end: str

    def key(self, role: str | None = None) -> str:
        return "-".join([self.key_words, *([role] if role else []), self.key_end])


@dataclass(frozen=True)
class Plan:
    # In id order, which is dependency order; only the nodes the requests need.
    steps: dict[int, Step]
    outputs: tuple[int, ...]
    members: tuple[MemberRequest, ...]
    # Ends every task key of this graph (see graph_token).
    token: str


def make_plan(store: GraphStore, registry: Registry, outputs: Sequence[int] | None = None,
              members: Sequence[MemberRequest] = ()) -> Plan:
    """The checked plan for computing `outputs` (default: the store's marked outputs) and the
    requested stage members. Raises PlanError (or a subclass) naming the first node that
    cannot run, ValueError for ids that are not in the store."""
    nodes = store.nodes()
    wanted = list(store.outputs() if outputs is None else outputs)
    check_requests(nodes, wanted, members)
    cone = needed(nodes, [*wanted, *(stage for stage, _ in members)])
    check_implementations([nodes[i] for i in cone], registry)
    token = graph_token(store, wanted, members, registry)
    payloads = distinct_payloads(nodes[i] for i in cone)
    steps: dict[int, Step] = {}
    for i in cone:
        node = nodes[i]
        info = NodeInfo(i, node["kind"], node_label(node))
        shared = shared_count(info, node["inputs"], steps)
        count = partition_count(node, info, registry, shared)
        recipe = make_recipe(node, info, count, registry, payloads)
        steps[i] = Step(recipe, tuple(node["inputs"]), count, shared, key_words(node),
                        f"{i}-{token}")
    return Plan(steps, tuple(wanted), tuple(members), token)


def check_requests(nodes: Sequence[NodeDict], outputs: Sequence[int],
                   members: Sequence[MemberRequest]) -> None:
    for i in [*outputs, *(stage for stage, _ in members)]:
        if not 0 <= i < len(nodes):
            raise ValueError(f"no node with id {i}")
    for stage, index in members:
        node = nodes[stage]
        if node["kind"] != "stage" or not 0 <= index < node["n_members"]:
            raise ValueError(f"node {stage} has no member {index}")


def needed(nodes: Sequence[NodeDict], roots: Sequence[int]) -> list[int]:
    """The ids the roots depend on, roots included, ascending."""
    seen: set[int] = set()
    stack = list(roots)
    while stack:
        i = stack.pop()
        if i not in seen:
            seen.add(i)
            stack.extend(nodes[i]["inputs"])
    return sorted(seen)


def graph_token(store: GraphStore, outputs: Sequence[int], members: Sequence[MemberRequest],
                registry: Registry) -> str:
    """Keeps the task keys of different graphs apart, so that computations sharing one
    cluster never mistake each other's results, while one store lowered twice with one
    registry gets the same keys."""
    digest = hashlib.blake2b(store.serialize(outputs=list(outputs)), digest_size=8)
    digest.update(repr(sorted(members)).encode())
    digest.update(registry.token.encode())
    return digest.hexdigest()


def missing_implementation(node: NodeDict, registry: Registry) -> str | None:
    """What the registry lacks to run the node, or None."""
    if node["kind"] == "external":
        kind = node["descriptor"]["kind"]
        if registry.external_impl(kind) is None:
            return f"no implementation of the external kind {kind!r}"
    elif node["kind"] == "stage":
        for index, member in enumerate(node["members"]):
            if member["kind"] == "op" and registry.op_impl(member["name"]) is None:
                return (f"no implementation of the operation {member['name']!r} "
                        f"(member {index}: {member_label(member)})")
    elif node["kind"] == "exchange":
        if registry.exchange_impl(node["params"]) is None:
            return registry.missing_exchange(node["params"])
    elif node["kind"] == "join":
        if registry.join_impl(node["params"]) is None:
            return registry.missing_join(node["params"])
    else:
        lookup = {"source": registry.source_impl, "op": registry.op_impl,
                  "reduction": registry.reduction_impl}[node["kind"]]
        if lookup(node["name"]) is None:
            what = {"source": "source", "op": "operation", "reduction": "reduction"}
            return f"no implementation of the {what[node['kind']]} {node['name']!r}"
    return None


def check_implementations(nodes: Sequence[NodeDict], registry: Registry) -> None:
    """Raises for the first node the registry cannot run, with every other such node in the
    exception's notes, so that one attempt shows all that is missing."""
    problems: list[PlanError] = []
    for node in nodes:
        problem = missing_implementation(node, registry)
        if problem is not None:
            info = NodeInfo(node["id"], node["kind"], node_label(node))
            error_type = UnknownExternalKind if node["kind"] == "external" \
                else MissingImplementation
            problems.append(error_type(info, problem))
    if problems:
        first = problems[0]
        for other in problems[1:]:
            first.add_note(f"also: {other}")
        raise first


def stage_recipe(node: StageNodeDict, info: NodeInfo, registry: Registry) -> StageRecipe:
    members = []
    for index, member in enumerate(node["members"]):
        if member["kind"] != "op":
            # Only a hand-made blob puts a reduction into a stage; a reduction is not
            # partition-local, so the stage would have no per-partition meaning.
            raise PlanError(info, f"member {index} ({member_label(member)}) is a reduction, "
                                  f"which cannot run inside a stage")
        op = registry.op_impl(member["name"])
        assert op is not None
        refs = tuple((what == "member", k) for what, k in member["inputs"])
        members.append(MemberRecipe(op.fn, member["params"], member_label(member), refs))
    return StageRecipe(info, tuple(members))


def make_recipe(node: NodeDict, info: NodeInfo, partitions: int | None,
              registry: Registry, payloads: int = 1) -> Recipe:
    """The node's recipe, with the implementations the registry has for it (every one of them
    is known to be there: check_implementations ran first)."""
    if node["kind"] == "stage":
        return stage_recipe(node, info, registry)
    if node["kind"] == "external":
        external = registry.external_impl(node["descriptor"]["kind"])
        assert external is not None
        return ExternalRecipe(info, node["descriptor"], node["params"], external, registry.token,
                              payloads)
    kind, name, params = node["kind"], node["name"], node["params"]
    if kind == "source":
        source = registry.source_impl(name)
        assert source is not None
        return SourceRecipe(info, params, source)
    if kind == "op":
        # An operation of an unreduced store runs as a stage of one member.
        op = registry.op_impl(name)
        assert op is not None
        refs = tuple((False, k) for k in range(len(node["inputs"])))
        return StageRecipe(info, (MemberRecipe(op.fn, params, info.label, refs),))
    if kind == "reduction":
        reduction = registry.reduction_impl(name)
        assert reduction is not None
        return ReductionRecipe(info, params, reduction)
    if kind == "join":
        join = registry.join_impl(params)
        assert join is not None
        return JoinRecipe(info, params, join.fn)
    exchange = registry.exchange_impl(params)
    assert kind == "exchange" and partitions is not None and exchange is not None, kind
    return ExchangeRecipe(info, params, partitions, exchange)


def valid_count(info: NodeInfo, what: str, count: Any) -> int:
    if not isinstance(count, int) or isinstance(count, bool) or count < 1:
        raise PlanError(info, f"{what} gave {count!r} partitions; a partition count is an "
                              f"int of at least 1")
    return count


def shared_count(info: NodeInfo, inputs: Sequence[int], steps: dict[int, Step]) -> int | None:
    """The partition count that the node's partitioned inputs agree on (single values are
    broadcast to every partition); None when every input is a single value."""
    counts = {i: steps[i].partitions for i in inputs if steps[i].partitions is not None}
    if len(set(counts.values())) > 1:
        listed = ", ".join(f"node {i} has {n}" for i, n in counts.items())
        raise PartitionMismatch(info, f"inputs must have equal partition counts: {listed}")
    return next(iter(counts.values()), None)


def partition_count(node: NodeDict, info: NodeInfo, registry: Registry,
                    shared: int | None) -> int | None:
    """The node's own partition count, given the count its inputs share."""
    kind = node["kind"]
    if kind == "source":
        impl = registry.source_impl(node["name"])
        assert impl is not None
        with blamed_on(f"{info}: counting its partitions"):
            count = impl.partitions(node["params"])
        return valid_count(info, "the source", count)
    if kind == "reduction":
        return None
    if kind == "exchange":
        return exchange_count(node, info, registry, shared)
    return shared


def exchange_count(node: NodeDict, info: NodeInfo, registry: Registry,
                   shared: int | None) -> int:
    inputs = node["inputs"]
    if len(inputs) != 1:
        raise PlanError(info, f"an exchange takes exactly one input, not {len(inputs)}")
    if shared is None:
        raise PlanError(info, f"its input, node {inputs[0]}, is a single value; an exchange "
                              f"redistributes partitions")
    impl = registry.exchange_impl(node["params"])
    assert impl is not None
    with blamed_on(f"{info}: counting its partitions"):
        count = impl.partitions(node["params"], shared)
    return valid_count(info, "the exchange", count)
