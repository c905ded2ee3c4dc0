"""From a store and a registry to a checked plan: the nodes the requested values need, each
with its implementation's description, its partition count and its partitioning.

Everything that can be known before running is checked here, so that a store that cannot
run fails before any user code reads data: missing implementations, partition counts that
do not line up, joins of inputs not known to be partitioned alike (see placement.py),
shapes the execution model has no meaning for, requests for nodes that do not exist.
"""

from __future__ import annotations

import hashlib
import operator
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, TypeAlias

from korvane.run.errors import (
    MissingImplementation,
    NodeInfo,
    NothingToCompute,
    PartitionMismatch,
    PlanError,
    UnknownExternalKind,
    blamed_on,
)
from korvane.run.cone import needed
from korvane.run.fingerprint import Fingerprints, fingerprints
from korvane.run.labels import key_words, member_label, node_label, with_params
from korvane.run.placement import (
    Placed,
    joined_partitioning,
    kept_partitioning,
    source_partitioning,
    stage_partitioning,
)
from korvane.run.registry import partitions_from_params
from korvane.run.payloads import distinct_payloads

if TYPE_CHECKING:
    from korvane_core import DescriptorDict, GraphStore, StageNodeDict

    from korvane.run.labels import NodeDict
    from korvane.run.partitioning import Partitioning
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


# Not frozen, unlike the recipes: a plan makes one per stage member, and a frozen dataclass
# costs twice as much to make. Nothing changes one once made.
@dataclass(eq=False, slots=True)
class MemberRecipe:
    fn: Callable[..., Any]
    params: Params
    # The operation's name: its label is made only for a message.
    name: str
    # The slot of each argument: k < the stage's input count is its input k, a slot past them
    # member k - input count's value (see StageRecipe.inputs).
    refs: tuple[int, ...]

    @property
    def label(self) -> str:
        return with_params(f"Op {self.name}", self.params)


@dataclass(frozen=True, eq=False)
class StageRecipe(Recipe):
    """A stage, or a single operation of an unreduced store as a stage of one member."""

    members: tuple[MemberRecipe, ...]
    # How many inputs the stage has: the members' slots follow them.
    inputs: int

    def reads(self, last: int) -> tuple[int, ...]:
        """Member `last` and the members it reads, directly or not, in stage order: worked
        out once per member asked for, not per partition."""
        known: dict[int, tuple[int, ...]] = self.__dict__.setdefault("_reads", {})
        found = known.get(last)
        if found is None and set(range(self.inputs, self.inputs + last)) <= \
                {slot for member in self.members[:last + 1] for slot in member.refs}:
            # Every member before `last` is read by a later one: all are needed.
            found = known[last] = tuple(range(last + 1))
        if found is None:
            first = self.inputs
            needed = [False] * (last + 1)
            needed[last] = True
            for index in range(last, -1, -1):
                if needed[index]:
                    for slot in self.members[index].refs:
                        if slot >= first:
                            needed[slot - first] = True
            found = known[last] = tuple(i for i, read in enumerate(needed) if read)
        return found


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
class ForwardRecipe(Recipe):
    """An exchange whose input already has the partitioning it would give: its value is its
    input's, unchanged, and it runs nothing."""


@dataclass(frozen=True, eq=False)
class JoinRecipe(Recipe):
    params: Params
    fn: Callable[..., Any]
    # True: partition i of every partitioned input, all partitioned alike. False (a broadcast
    # join): partition i of the first partitioned input, and every other partitioned input
    # whole, as the list of its partitions, whatever its count.
    co_partitioned: bool


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
    # The count its partitioned inputs share (single inputs are broadcast); a broadcast
    # join's first partitioned input's; None when all its inputs are single values, or it
    # has none.
    input_partitions: int | None
    # How its value's rows are partitioned (see placement.py); None for a single value.
    partitioning: Partitioning | None
    # Task keys read "{words}[-{role}]-{fingerprint}", such as
    # "exchange-split-5f0c2a1e9b7d4e6a...": readable, and the same wherever the same is
    # computed; "{words}[-{role}]-{node id}-{graph token}" for a node without a fingerprint.
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
    # Ends the task keys of nodes that have no fingerprint (see graph_token).
    token: str
    # What each node computes, in a form equal wherever the same is computed (the keys of
    # its tasks and of its cached values); None for a node that has none.
    fingerprints: Fingerprints | None = None


def make_plan(store: GraphStore, registry: Registry, outputs: Sequence[int] | None = None,
              members: Sequence[MemberRequest] = (), *, fingerprinted: bool = True) -> Plan:
    """The checked plan for computing `outputs` (default: the store's marked outputs) and the
    requested stage members. Raises PlanError (or a subclass) naming the first node that
    cannot run, ValueError for ids that are not in the store, NothingToCompute when nothing
    is asked for. Without `fingerprinted` (a run in this process, with no cache, whose task
    keys nobody else sees) nodes are not fingerprinted and keys are plain node ids."""
    nodes = store.nodes()
    wanted = requested_outputs(store, nodes, outputs, members)
    asked = [member_request(nodes, request) for request in members]
    cone = needed(nodes, [*wanted, *(stage for stage, _ in asked)])
    check_implementations([nodes[i] for i in cone], registry)
    token = graph_token(store, wanted, asked, registry) if fingerprinted else "local"
    payloads = distinct_payloads(nodes[i] for i in cone)
    steps: dict[int, Step] = {}
    for i in cone:
        steps[i] = make_step(nodes[i], registry, steps, f"{i}-{token}", payloads)
    if not fingerprinted:
        return Plan(steps, tuple(wanted), tuple(asked), token)
    prints = fingerprints(nodes, registry, {i: step.partitions for i, step in steps.items()},
                          cone, warn=False)
    for i, step in steps.items():
        digest = prints[i]
        if digest is not None:
            # Equal work, equal keys, in any store and any process; and other work, other
            # keys, an edited implementation included.
            steps[i] = replace(step, key_end=digest.hex()[:32])
    return Plan(steps, tuple(wanted), tuple(asked), token, prints)


def make_step(node: NodeDict, registry: Registry, steps: dict[int, Step], key_end: str,
              payloads: int) -> Step:
    """The node's step, given the steps of its inputs."""
    info = NodeInfo(node["id"], node["kind"], node_label(node))
    inputs: list[Placed] = [(steps[i].recipe.node, steps[i].partitioning) for i in node["inputs"]]
    shared = input_count(node, info, registry, inputs)
    count = partition_count(node, info, registry, shared)
    recipe = make_recipe(node, info, count, registry, payloads)
    partitioning = output_partitioning(node, info, recipe, registry, count, inputs)
    placed = inputs[0][1] if inputs else None
    if isinstance(recipe, ExchangeRecipe) and placed is not None and partitioning is not None \
            and placed.places_like(partitioning):
        recipe = ForwardRecipe(info)
    assert (partitioning is None) == (count is None)
    assert partitioning is None or partitioning.count == count
    return Step(recipe, tuple(node["inputs"]), count, shared, partitioning, key_words(node),
                key_end)


def node_id(nodes: Sequence[NodeDict], given: Any) -> int:
    """A requested node's id as an int: any int-like value (a numpy integer, say) is one."""
    try:
        i = operator.index(given)
    except TypeError:
        raise ValueError(f"no node with id {given!r}") from None
    if not 0 <= i < len(nodes):
        raise ValueError(f"no node with id {i}")
    return i


def requested_outputs(store: GraphStore, nodes: Sequence[NodeDict],
                      outputs: Sequence[int] | None,
                      members: Sequence[MemberRequest]) -> list[int]:
    """The outputs to compute, as ints. A request for nothing at all is a mistake (most often
    a store built by hand, which marks no outputs), not an empty result."""
    if outputs is None:
        wanted = store.outputs()
        if not wanted and not members:
            raise NothingToCompute(
                "nothing to compute: the store marks no outputs (a store you build has none); "
                "pass outputs=[...], or run a store that marks them: one made by reduce or "
                "cone with outputs=[...], or read back from serialize(outputs=[...])")
        return wanted
    wanted = [node_id(nodes, i) for i in outputs]
    if not wanted and not members:
        raise NothingToCompute("nothing to compute: pass outputs=[...]")
    return wanted


def member_request(nodes: Sequence[NodeDict], request: MemberRequest) -> MemberRequest:
    given_stage, given_index = request
    stage = node_id(nodes, given_stage)
    node = nodes[stage]
    try:
        index = operator.index(given_index)
    except TypeError:
        raise ValueError(f"node {stage} has no member {given_index!r}") from None
    if node["kind"] != "stage" or not 0 <= index < node["n_members"]:
        raise ValueError(f"node {stage} has no member {index}")
    return stage, index


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
        lacking = [f"no implementation of the operation {member['name']!r} "
                   f"(member {index}: {member_label(member)})"
                   for index, member in enumerate(node["members"])
                   if member["kind"] == "op" and registry.op_impl(member["name"]) is None]
        if lacking:
            return "; ".join(lacking)
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
    first = len(node["inputs"])
    op_impl = registry.op_impl
    for index, member in enumerate(node["members"]):
        if member["kind"] != "op":
            # Only a hand-made blob puts a reduction into a stage; a reduction is not
            # partition-local, so the stage would have no per-partition meaning.
            raise PlanError(info, f"member {index} ({member_label(member)}) is a reduction, "
                                  f"which cannot run inside a stage")
        op = op_impl(member["name"])
        assert op is not None
        refs = tuple([k if what == "input" else first + k for what, k in member["inputs"]])
        members.append(MemberRecipe(op.fn, member["params"], member["name"], refs))
    return StageRecipe(info, tuple(members), first)


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
        arity = len(node["inputs"])
        return StageRecipe(info, (MemberRecipe(op.fn, params, name, tuple(range(arity))),),
                           arity)
    if kind == "reduction":
        reduction = registry.reduction_impl(name)
        assert reduction is not None
        return ReductionRecipe(info, params, reduction)
    if kind == "join":
        join = registry.join_impl(params)
        assert join is not None
        return JoinRecipe(info, params, join.fn, join.co_partitioned)
    exchange = registry.exchange_impl(params)
    assert kind == "exchange" and partitions is not None and exchange is not None, kind
    return ExchangeRecipe(info, params, partitions, exchange)


def valid_count(info: NodeInfo, what: str, count: Any) -> int:
    """The count as an int: any int-like value (a numpy integer, say) is one, a bool is not."""
    if not isinstance(count, bool):
        try:
            index = operator.index(count)
        except TypeError:
            pass
        else:
            if index >= 1:
                return index
    raise PlanError(info, f"{what} gave {count!r} partitions; a partition count is an int of "
                          f"at least 1")


def input_count(node: NodeDict, info: NodeInfo, registry: Registry,
                inputs: Sequence[Placed]) -> int | None:
    """The partition count the node's tasks run over: the count its partitioned inputs
    share (single values are broadcast), or a broadcast join's first partitioned input's;
    None when every input is a single value. A join's inputs must be partitioned alike."""
    if node["kind"] == "join":
        join = registry.join_impl(node["params"])
        assert join is not None
        joined = joined_partitioning(info, inputs, join.co_partitioned)
        return None if joined is None else joined.count
    counts = {who.id: p.count for who, p in inputs if p is not None}
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
    if impl.partitions is partitions_from_params:
        # Reads the node's own "partitions" parameter: a bad one is the store's mistake.
        try:
            count = partitions_from_params(node["params"], shared)
        except TypeError as error:
            raise PlanError(info, str(error)) from None
    else:
        with blamed_on(f"{info}: counting its partitions"):
            count = impl.partitions(node["params"], shared)
    return valid_count(info, "the exchange", count)


def output_partitioning(node: NodeDict, info: NodeInfo, recipe: Recipe, registry: Registry,
                        count: int | None, inputs: Sequence[Placed]) -> Partitioning | None:
    """How the node's value is partitioned (see placement.py)."""
    partitionings = [p for _, p in inputs]
    if node["kind"] == "stage":
        assert isinstance(recipe, StageRecipe)
        members = []
        for member in recipe.members:
            op = registry.op_impl(member.name)
            assert op is not None
            members.append((member.refs, op.preserves_partitioning))
        return stage_partitioning(info.id, members, partitionings, count)
    if node["kind"] == "external":
        external = registry.external_impl(node["descriptor"]["kind"])
        assert external is not None
        return kept_partitioning(info.id, partitionings, external.preserves_partitioning, count)
    kind, name, params = node["kind"], node["name"], node["params"]
    if kind == "source":
        source = registry.source_impl(name)
        assert source is not None and count is not None
        return source_partitioning(info, source, params, count)
    if kind == "op":
        op = registry.op_impl(name)
        assert op is not None
        return kept_partitioning(info.id, partitionings, op.preserves_partitioning, count)
    if kind == "reduction":
        return None
    if kind == "join":
        # input_count checked the join: its partitioned inputs share this one, unless it is a
        # broadcast join, whose first partitioned input's this is.
        return next((p for p in partitionings if p is not None), None)
    exchange = registry.exchange_impl(params)
    assert kind == "exchange" and exchange is not None and count is not None
    return exchange.partitioning(params, count)
