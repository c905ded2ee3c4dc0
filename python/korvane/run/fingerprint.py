"""Fingerprints of nodes: 32-byte digests that are equal when two nodes compute the same
value the same way, in any store, process or machine, and differ otherwise; the keys of the
result cache.

A node's fingerprint is a digest of what decides its value: its kind and name, its
parameters in typed canonical form (canonical.py), an external's payload descriptor, its
partition count, the fingerprints of its inputs, and the identity of the implementation
that computes it (identity.py), with, for a source registered with `fingerprint=`, what
that function says identifies the data behind the parameters.

Equivalence is the reduction's, so that a store as recorded and any reduction of it give
the same fingerprints to corresponding nodes, and so that the same computation recorded in
another order, or among other pipelines, gets the same fingerprints:

- the eight commutative operations (an op named add, mul, and, or, eq, ne, maximum or
  minimum, with no parameters and two inputs) see their two input fingerprints sorted;
- an identity operation (add with exactly scalar=0.0 and side "r" or "l", mul with exactly
  scalar=1.0 and a side, on one input) is its input: it has its input's fingerprint, and its
  own implementation plays no part, as the reduction drops it;
- a stage is the operations fused into it: each member is fingerprinted as the operation it
  was, on the fingerprints its references point to (a stage input's, an earlier member's),
  and the stage's fingerprint is its last member's. Member fingerprints are kept for members
  asked for by value.

Partition counts come from the caller (the plan works them out), as they are part of what a
value is; a stage member's is the one its partitioned operands share, as for the operation
it was.

A node is not cacheable when the identity of its implementation cannot be had (see
identity.py), when its source's `fingerprint` gives a value with no stable form, when the
registry lacks its implementation, or when it reads a node that is not cacheable; its
fingerprint is then None, and one UncacheableWarning per run names each node that is the
cause (the nodes downstream of it are listed with their reason, without a warning).
"""

from __future__ import annotations

import functools
import hashlib
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from korvane.run.canonical import Unencodable, canonical_params, encode, float_bits
from korvane.run.errors import NodeInfo, blamed_on
from korvane.run.identity import Identities, Unidentifiable, described, implementation_identity
from korvane.run.labels import member_label, node_label
from korvane.run.cone import needed

if TYPE_CHECKING:
    from korvane_core import DescriptorDict, StageNodeDict

    from korvane.run.labels import NodeDict
    from korvane.run.plan import MemberRequest
    from korvane.run.registry import Params, Registry

__all__ = ["Fingerprints", "UncacheableWarning", "canonical_params", "fingerprints",
           "implementation_identity"]

# Part of every fingerprint: changing how fingerprints are made changes this, so that no
# cache serves results under keys made the old way.
FORMAT = "korvane-fingerprint-2"
FORMAT_BYTES = FORMAT.encode()

COMMUTATIVE = frozenset({"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"})
IDENTITY_SCALARS = {"add": float_bits(0.0), "mul": float_bits(1.0)}


class UncacheableWarning(UserWarning):
    """A node whose results cannot be cached: it has no fingerprint."""


class Uncacheable(Exception):
    """Why a node has no fingerprint."""


class Fingerprints(Mapping[int, bytes | None]):
    """A mapping from node id to fingerprint (None: not cacheable), for the requested nodes
    and everything they read; stage members by `member(stage, index)`; `uncacheable` says
    why each node without a fingerprint has none, and `causes` names, once each, the nodes
    that are themselves the reason."""

    def __init__(self, nodes: dict[int, bytes | None], members: dict[MemberRequest, bytes | None],
                 uncacheable: dict[int, str], causes: Sequence[str] = ()) -> None:
        self._nodes = nodes
        self.members = members
        self.uncacheable = uncacheable
        self.causes = tuple(causes)

    def __getitem__(self, node_id: int) -> bytes | None:
        return self._nodes[node_id]

    def __iter__(self) -> Iterator[int]:
        return iter(self._nodes)

    def __len__(self) -> int:
        return len(self._nodes)

    def member(self, stage: int, index: int) -> bytes | None:
        return self.members[stage, index]


def fingerprints(nodes: Sequence[NodeDict], registry: Registry,
                 partitions: Mapping[int, int | None], ids: Iterable[int], *,
                 warn: bool = True) -> Fingerprints:
    """The fingerprints of the nodes `ids` of a store (given as `store.nodes()`) and of every
    node and stage member they read, with the partition count of each of those nodes (None
    for a single value). Warns UncacheableWarning once for each node that is itself the
    reason it has no fingerprint. A source's `fingerprint` function runs here; what it
    raises propagates, with a note naming the node. Without `warn`, the warnings are left to
    the caller: `causes` has their messages."""
    run = Fingerprinting(nodes, registry, partitions)
    for i in needed(nodes, list(ids)):
        run.node(nodes[i])
    if warn:
        for message in run.causes:
            warnings.warn(message, UncacheableWarning, stacklevel=2)
    return Fingerprints(run.nodes, run.members, run.reasons, run.causes)


def commutes(name: str, params: Params, inputs: int) -> bool:
    return name in COMMUTATIVE and not params and inputs == 2


def is_identity(name: str, params: Params, inputs: int) -> bool:
    if inputs != 1 or name not in IDENTITY_SCALARS or set(params) != {"scalar", "side"}:
        return False
    scalar, side = params["scalar"], params["side"]
    return type(scalar) is float and float_bits(scalar) == IDENTITY_SCALARS[name] \
        and type(side) is str and side in ("r", "l")


def node_digest(kind: str, name: str, params: Params, descriptor: DescriptorDict | None,
                count: int | None, inputs: Sequence[bytes], ordered: bool, identity: bytes,
                data: bytes | None) -> bytes:
    """Every field framed by its length (inputs are digests, of fixed length), so that no two
    nodes that differ in any field share the bytes hashed."""
    payload = b"n" if descriptor is None else descriptor_bytes(tuple(descriptor.items()))
    seen = list(inputs) if ordered else sorted(inputs)
    parts = [FORMAT_BYTES, kind.encode(), name.encode("utf-8", "surrogatepass"),
             params_bytes(params), payload, b"n" if count is None else encode(count),
             b"o" if ordered else b"u", identity, b"n" if data is None else encode(data)]
    framed = b"".join(len(part).to_bytes(8, "big") + part for part in parts)
    return hashlib.blake2b(framed + len(seen).to_bytes(8, "big") + b"".join(seen),
                           digest_size=32).digest()


# Parameters repeat across the nodes of a store (most have a few, shared by many nodes):
# their canonical bytes are kept by their typed items, a float by its bits (-0.0 and 0.0 are
# equal keys of a dict, and must not share bytes).
PARAMS_BYTES: dict[tuple[tuple[str, type, object], ...], bytes] = {}


def params_bytes(params: Params) -> bytes:
    try:
        key = tuple([(name, type(value), float_bits(value) if type(value) is float else value)
                     for name, value in params.items()])
        known = PARAMS_BYTES.get(key)
    except TypeError:
        return canonical_params(params)
    if known is None:
        known = canonical_params(params)
        if len(PARAMS_BYTES) > 65_536:
            PARAMS_BYTES.clear()
        PARAMS_BYTES[key] = known
    return known


@functools.lru_cache(maxsize=1024)
def descriptor_bytes(items: tuple[tuple[str, str | None], ...]) -> bytes:
    """Every descriptor field, a missing preprocessing_ref as None; externals of one model
    share it, and it is worked out once."""
    return encode({"preprocessing_ref": None, **dict(items)})


class Fingerprinting:
    """One run over a store's nodes, in id order (inputs first)."""

    def __init__(self, nodes: Sequence[NodeDict], registry: Registry,
                 partitions: Mapping[int, int | None]) -> None:
        self.registry = registry
        self.partitions = partitions
        self.identities = Identities()
        self.nodes: dict[int, bytes | None] = {}
        self.members: dict[MemberRequest, bytes | None] = {}
        self.reasons: dict[int, str] = {}
        self.causes: list[str] = []

    def count(self, node_id: int) -> int | None:
        if node_id not in self.partitions:
            raise ValueError(f"no partition count given for node {node_id}")
        count = self.partitions[node_id]
        if count is not None and (type(count) is not int or count < 1):
            raise ValueError(f"node {node_id} has the partition count {count!r}; a count is "
                             f"an int of at least 1, or None for a single value")
        return count

    def uncacheable(self, node: NodeDict, reason: str, cause: bool) -> None:
        self.nodes[node["id"]] = None
        self.reasons[node["id"]] = reason
        if cause:
            info = NodeInfo(node["id"], node["kind"], node_label(node))
            self.causes.append(f"{info} is not cacheable: {reason}")

    def node(self, node: NodeDict) -> None:
        if node["kind"] == "stage":
            self.stage(node)
            return
        count = self.count(node["id"])
        lost = next((k for k in node["inputs"] if self.nodes[k] is None), None)
        if lost is not None:
            self.uncacheable(node, f"it reads node {lost}, which is not cacheable", False)
            return
        descriptor = node["descriptor"] if node["kind"] == "external" else None
        inputs = [self.nodes[k] for k in node["inputs"]]
        try:
            self.nodes[node["id"]] = self.computation(
                node, node["kind"], node["name"], node["params"], descriptor, count, inputs)
        except Uncacheable as error:
            self.uncacheable(node, str(error), True)

    def stage(self, node: StageNodeDict) -> None:
        """Each member as the operation it was: on the fingerprints and counts its references
        point to; the stage is its last member. A member that does not read an uncacheable
        input keeps its fingerprint."""
        i = node["id"]
        self.count(i)
        outside = [(self.nodes[k], self.count(k)) for k in node["inputs"]]
        values: list[tuple[bytes | None, int | None]] = []
        problem = None
        for index, member in enumerate(node["members"]):
            operands = [values[k] if what == "member" else outside[k]
                        for what, k in member["inputs"]]
            kind = "op" if member["kind"] == "op" else "reduction"
            count = None if kind == "reduction" else \
                next((c for _, c in operands if c is not None), None)
            try:
                fingerprint = self.computation(node, kind, member["name"], member["params"],
                                               None, count, [value for value, _ in operands])
            except Uncacheable as error:
                fingerprint = None
                problem = problem or f"member {index} ({member_label(member)}): {error}"
            values.append((fingerprint, count))
            self.members[i, index] = fingerprint
        if values[-1][0] is not None:
            self.nodes[i] = values[-1][0]
        elif problem is not None:
            self.uncacheable(node, problem, True)
        else:
            lost = next(k for k in node["inputs"] if self.nodes[k] is None)
            self.uncacheable(node, f"it reads node {lost}, which is not cacheable", False)

    def computation(self, node: NodeDict, kind: str, name: str, params: Params,
                    descriptor: DescriptorDict | None, count: int | None,
                    inputs: Sequence[bytes | None]) -> bytes | None:
        """The fingerprint of a node, or of a member of the stage `node`: None when one of
        its inputs has none; raises Uncacheable when its own implementation has none."""
        if kind == "op" and is_identity(name, params, len(inputs)):
            return inputs[0]
        known = [value for value in inputs if value is not None]
        if len(known) < len(inputs):
            return None
        parts = implementation_parts(self.registry, kind, name, params, descriptor)
        try:
            identity = self.identities.identity(parts.functions, parts.version, parts.settings)
        except Unidentifiable as error:
            raise Uncacheable(f"its implementation has no identity: {error} (register it "
                              f"with version= to cache its results)") from None
        data = None if parts.data is None else data_identity(node, parts.data, params)
        ordered = not (kind == "op" and commutes(name, params, len(inputs)))
        return node_digest(kind, name, params, descriptor, count, known, ordered, identity, data)


def data_identity(node: NodeDict, fingerprint: Callable[[Params], Any], params: Params) -> bytes:
    """The canonical bytes of what a source's `fingerprint` says identifies its data."""
    with blamed_on(f"{NodeInfo(node['id'], node['kind'], node_label(node))}: "
                   f"fingerprinting its data"):
        data = fingerprint(params)
    try:
        return encode(data)
    except Unencodable:
        raise Uncacheable(f"its source's fingerprint gave {described(data)}, which has no "
                          f"stable form") from None


@dataclass(frozen=True)
class ImplementationParts:
    """What makes up a node's implementation, for its identity."""

    functions: tuple[Callable[..., Any] | None, ...]
    version: str | None
    # Registration settings that change values (how a reduction groups partials, what a join
    # is given).
    settings: tuple[Any, ...] = ()
    # A source's function that identifies its data.
    data: Callable[[Params], Any] | None = None


def implementation_parts(registry: Registry, kind: str, name: str, params: Params,
                         descriptor: DescriptorDict | None) -> ImplementationParts:
    """The registry's implementation of a node; raises Uncacheable when it has none."""
    if kind == "source":
        source = registry.source_impl(name)
        if source is not None:
            return ImplementationParts((source.read, source.partitions, source.partitioning),
                                       source.version, (), source.fingerprint)
    elif kind == "op":
        op = registry.op_impl(name)
        if op is not None:
            return ImplementationParts((op.fn,), op.version)
    elif kind == "reduction":
        reduction = registry.reduction_impl(name)
        if reduction is not None:
            return ImplementationParts((reduction.step, reduction.combine, reduction.finish),
                                       reduction.version, (reduction.split_every,))
    elif kind == "exchange":
        exchange = registry.exchange_impl(params)
        if exchange is None:
            raise Uncacheable(registry.missing_exchange(params))
        return ImplementationParts((exchange.split, exchange.concat, exchange.partitions),
                                   exchange.version, (exchange.strategy,))
    elif kind == "join":
        join = registry.join_impl(params)
        if join is None:
            raise Uncacheable(registry.missing_join(params))
        return ImplementationParts((join.fn,), join.version, (join.strategy, join.co_partitioned))
    elif kind == "external":
        assert descriptor is not None
        external = registry.external_impl(descriptor["kind"])
        if external is None:
            raise Uncacheable(f"no implementation of the external kind {descriptor['kind']!r}")
        return ImplementationParts((external.load, external.apply), external.version)
    raise Uncacheable(f"no implementation of the {kind} {name!r}")
