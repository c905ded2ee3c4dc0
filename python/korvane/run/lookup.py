"""Where a recorded node's value is after a reduction: through the reduced store's node map,
in a run of the reduced store.

A node map is a list of positions, and Results are values by node id; neither says by itself
which store it belongs to, and ids mean something only within one store. So a look-up checks
what a reduction guarantees before it answers: the recorded node and the node it landed on
are the same node (kind, name and parameters; the descriptor of an external; for a stage
member, the member's operation), reading the same values (the landings of its inputs, in any
order, since commuted operations land together); or the node is an identity operation and
landed with its operand. And the results must come from a run of that reduced store (they
carry its digest). Anything else raises ValueError saying what does not match, instead of
answering with the value of another node.
"""

from __future__ import annotations

import math
import operator
from collections import Counter
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, TypeAlias

from korvane.run.labels import member_label, node_label
from korvane.run.results import store_digest

if TYPE_CHECKING:
    from korvane_core import GraphStore, MemberDict

    from korvane.run.labels import NodeDict, ParamDict
    from korvane.run.plan import MemberRequest
    from korvane.run.results import Results

Landing: TypeAlias = tuple[int, int | None]
# Where a value is read from in the reduced store: a node's own value (None), or a member's.
Place: TypeAlias = tuple[int, int | None]

# The operations a reduction takes for their operand: x + 0.0 and x * 1.0, the constant on
# either side (the identities the README names).
IDENTITY_SCALARS = {"add": 0.0, "mul": 1.0}


class NodeDropped(LookupError):
    """The reduction dropped the node: no output needs it, so no run of the reduced store
    computes it."""


def node_id_of(node_id: object) -> int:
    """An id as an int: ints and integer types such as numpy's; anything else names no node."""
    if isinstance(node_id, bool):
        raise ValueError(f"no node with id {node_id!r}")
    try:
        return operator.index(node_id)  # type: ignore[arg-type]
    except TypeError:
        raise ValueError(f"no node with id {node_id!r}") from None


def is_identity(node: NodeDict) -> bool:
    if node["kind"] != "op" or len(node["inputs"]) != 1 or node["name"] not in IDENTITY_SCALARS:
        return False
    params = node["params"]
    scalar, side = params.get("scalar"), params.get("side")
    return (set(params) == {"scalar", "side"} and type(scalar) is float
            and scalar == IDENTITY_SCALARS[node["name"]] and math.copysign(1.0, scalar) > 0
            and side in ("r", "l"))


def typed_params(params: ParamDict) -> list[tuple[str, str, str]]:
    # 1, 1.0, True and "1" are different parameters, as are 0.0 and -0.0.
    return [(key, type(value).__name__, repr(value)) for key, value in params.items()]


def differences(node: NodeDict, target: NodeDict | MemberDict) -> str | None:
    """What tells `target` apart from `node` as recorded, or None."""
    if target["kind"] != node["kind"]:
        return f"is of kind {target['kind']!r}"
    if target["name"] != node["name"]:
        return f"is named {target['name']!r}"
    if typed_params(target["params"]) != typed_params(node["params"]):
        return "has other parameters"
    if node["kind"] == "external" and target.get("descriptor") != node["descriptor"]:
        return "has another descriptor"
    if node["kind"] == "stage" and target.get("members") != node["members"]:
        return "has other members"
    return None


class NodeMap:
    """A recorded store, a store reduced from it and the node map between them, read once."""

    def __init__(self, original: GraphStore, reduced: GraphStore) -> None:
        self.original = original.nodes()
        self.reduced = reduced.nodes()
        self.landings = reduced.node_map()
        if not self.landings and self.original:
            raise ValueError("the reduced store has no node map: only a store made by reduce or "
                             "cone in this process has one (a store read from a blob, or "
                             "unpickled, leaves it behind); look landings up where it was reduced")
        if len(self.landings) != len(self.original):
            raise ValueError(f"the reduced store's node map has {len(self.landings)} entries for "
                             f"{len(self.original)} nodes: it was not reduced from this store")

    def landing(self, node_id: object) -> Landing:
        """Where node `node_id` of the recorded store landed, checked to be that node's."""
        node_id = node_id_of(node_id)
        if not 0 <= node_id < len(self.landings):
            raise ValueError(f"no node with id {node_id}")
        landing = self.landings[node_id]
        node = self.original[node_id]
        if landing is None:
            raise NodeDropped(f"node {node_id} ({node_label(node)}) was dropped by the "
                              f"reduction: no output needs it")
        problem = self.mismatch(node, landing)
        if problem is not None:
            raise ValueError(f"node {node_id} ({node_label(node)}) landed on {problem}: the "
                             f"reduced store was not reduced from this store")
        return landing

    def mismatch(self, node: NodeDict, landing: Landing) -> str | None:
        if is_identity(node) and self.landings[node["inputs"][0]] == landing:
            return None   # taken for its operand
        target_id, member = landing
        if not 0 <= target_id < len(self.reduced):
            return f"node {target_id}, which the reduced store does not have"
        target = self.reduced[target_id]
        if member is None:
            what = f"node {target_id} ({node_label(target)})"
            problem = differences(node, target)
            places: list[Place] = [(i, None) for i in target["inputs"]]
        else:
            if target["kind"] != "stage" or not 0 <= member < target["n_members"]:
                return f"member {member} of node {target_id}, which has no such member"
            stage_member = target["members"][member]
            what = f"member {member} ({member_label(stage_member)}) of node {target_id}"
            problem = differences(node, stage_member)
            places = [(target["inputs"][k], None) if source == "input" else (target_id, k)
                      for source, k in stage_member["inputs"]]
        if problem is None and Counter(places) != Counter(self.place(i) for i in node["inputs"]):
            problem = "reads other values"
        return None if problem is None else f"{what}, which {problem}"

    def place(self, node_id: int) -> Place | None:
        """Where the value of a recorded node is read from in the reduced store: a stage's
        last member is the stage's own value."""
        landing = self.landings[node_id]
        if landing is None:
            return None
        target_id, member = landing
        if member is not None and member == last_member(self.reduced, target_id):
            return (target_id, None)
        return landing


def last_member(nodes: Sequence[NodeDict], stage: int) -> int | None:
    node = nodes[stage] if 0 <= stage < len(nodes) else None
    if node is None or node["kind"] != "stage":
        return None
    return node["n_members"] - 1


def landing_of(original: GraphStore, reduced: GraphStore, node_id: int) -> tuple[int, int | None]:
    """Where node `node_id` of `original` landed in `reduced`: (reduced node id, member
    index or None). Raises NodeDropped for a node no output needs, ValueError when `reduced`
    was not reduced from `original`."""
    return NodeMap(original, reduced).landing(node_id)


def requests_for(original: GraphStore, reduced: GraphStore,
                 node_ids: Sequence[int]) -> tuple[list[int], list[MemberRequest]]:
    """The outputs and stage members to run `reduced` for, so that the values of these nodes
    of `original` can be looked up with `value_of`. A node that is a stage's last member is
    the stage's own value and needs no member request."""
    node_map = NodeMap(original, reduced)
    outputs: list[int] = []
    members: list[MemberRequest] = []
    for node_id in node_ids:
        node, member = node_map.landing(node_id)
        if member is not None and member != last_member(node_map.reduced, node):
            if (node, member) not in members:
                members.append((node, member))
        elif node not in outputs:
            outputs.append(node)
    return outputs, members


def check_computed_from(reduced: GraphStore, results: Results) -> None:
    if results.computed_from is None:
        raise ValueError("the results do not say which store they were computed from: pass the "
                         "Results of run_local, or of a DaskGraph's compute or results")
    if results.computed_from != store_digest(reduced):
        raise ValueError("the results were computed from another store than the reduced one: "
                         "pass a run of the reduced store itself (a run of the store as "
                         "recorded, or of another reduction, has other node ids)")


def value_of(original: GraphStore, reduced: GraphStore, node_id: int, results: Results) -> Any:
    """The value of node `node_id` of `original`, from a run of `reduced`: the reduced node it
    landed on, or, for a stage member, the member's value, which the run must have been
    asked for (see `requests_for`)."""
    node_map = NodeMap(original, reduced)
    node, member = node_map.landing(node_id)
    check_computed_from(reduced, results)
    if member is not None and member != last_member(node_map.reduced, node):
        return results.member(node, member)
    if node not in results:
        raise KeyError(f"node {node_id} landed on node {node} of the reduced store, which the "
                       f"run did not compute (run it with outputs including {node})")
    return results[node]
