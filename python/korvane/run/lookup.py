"""Where a recorded node's value is after a reduction: through the reduced store's node map,
in a run of the reduced store."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from korvane.run.labels import node_label

if TYPE_CHECKING:
    from korvane_core import GraphStore

    from korvane.run.plan import MemberRequest
    from korvane.run.results import Results


class NodeDropped(LookupError):
    """The reduction dropped the node: no output needs it, so no run of the reduced store
    computes it."""


def landing_of(original: GraphStore, reduced: GraphStore, node_id: int) -> tuple[int, int | None]:
    """Where node `node_id` of `original` landed in `reduced`: (reduced node id, member
    index or None)."""
    node_map = reduced.node_map()
    if len(node_map) != original.node_count():
        raise ValueError(f"the reduced store's node map has {len(node_map)} entries for "
                         f"{original.node_count()} nodes: it was not reduced from this store")
    if not 0 <= node_id < len(node_map):
        raise ValueError(f"no node with id {node_id}")
    landing = node_map[node_id]
    if landing is None:
        label = node_label(original.nodes()[node_id])
        raise NodeDropped(f"node {node_id} ({label}) was dropped by the reduction: "
                          f"no output needs it")
    return landing


def last_member(reduced: GraphStore, stage: int) -> int:
    node = reduced.nodes()[stage]
    assert node["kind"] == "stage"
    return node["n_members"] - 1


def requests_for(original: GraphStore, reduced: GraphStore,
                 node_ids: Sequence[int]) -> tuple[list[int], list[MemberRequest]]:
    """The outputs and stage members to run `reduced` for, so that the values of these nodes
    of `original` can be looked up with `value_of`. A node that is a stage's last member is
    the stage's own value and needs no member request."""
    outputs: list[int] = []
    members: list[MemberRequest] = []
    for node_id in node_ids:
        node, member = landing_of(original, reduced, node_id)
        if member is not None and member != last_member(reduced, node):
            if (node, member) not in members:
                members.append((node, member))
        elif node not in outputs:
            outputs.append(node)
    return outputs, members


def value_of(original: GraphStore, reduced: GraphStore, node_id: int, results: Results) -> Any:
    """The value of node `node_id` of `original`, from a run of `reduced`: the reduced node it
    landed on, or, for a stage member, the member's value, which the run must have been
    asked for (see `requests_for`)."""
    node, member = landing_of(original, reduced, node_id)
    if member is not None and member != last_member(reduced, node):
        return results.member(node, member)
    if node not in results:
        raise KeyError(f"node {node_id} landed on node {node} of the reduced store, which the "
                       f"run did not compute (run it with outputs including {node})")
    return results[node]
