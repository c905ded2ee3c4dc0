"""Short human-readable names of nodes, for error messages and task keys."""

from __future__ import annotations

import functools
import re
from typing import TYPE_CHECKING, TypeAlias

if TYPE_CHECKING:
    from korvane_core import ExternalNodeDict, MemberDict, PlainNodeDict, StageNodeDict

    NodeDict: TypeAlias = PlainNodeDict | ExternalNodeDict | StageNodeDict
    ParamDict: TypeAlias = dict[str, int | float | bool | str]


def params_text(params: ParamDict) -> str:
    # Python literals, so that 1, 1.0, True and '1' stay distinguishable in a message.
    return "{" + ", ".join(f"{key}={value!r}" for key, value in params.items()) + "}"


def with_params(text: str, params: ParamDict) -> str:
    return f"{text} {params_text(params)}" if params else text


def member_label(member: MemberDict) -> str:
    kind = "Op" if member["kind"] == "op" else "Reduction"
    return with_params(f"{kind} {member['name']}", member["params"])


def node_label(node: NodeDict) -> str:
    """What the node does, as a user recorded it: "Op filter {'column': 'ts'}"."""
    if node["kind"] == "stage":
        names = " -> ".join(member["name"] for member in node["members"])
        return f"Stage[{node['n_members']} members: {names}]"
    if node["kind"] == "external":
        descriptor = node["descriptor"]
        return with_params(f"External {descriptor['kind']}:{descriptor['content_hash']} "
                           f"[{descriptor['framework']} {descriptor['version']}]", node["params"])
    if node["kind"] in ("exchange", "join"):
        return with_params(node["kind"].capitalize(), node["params"])
    return with_params(f"{node['kind'].capitalize()} {node['name']}", node["params"])


def key_words(node: NodeDict) -> str:
    """The readable start of a node's task keys: its kind and name (or external kind), such as
    "op-filter". Dask groups tasks by this start in its dashboard and progress bars."""
    if node["kind"] == "external":
        words = ["external", node["descriptor"]["kind"]]
    elif node["kind"] in ("source", "op", "reduction"):
        words = [node["kind"], node["name"]]
    else:
        words = [node["kind"]]
    return "-".join([readable(word) for word in words])


UNREADABLE = re.compile(r"[^A-Za-z0-9_.]+")


# A plan asks for the same few names once per node.
@functools.lru_cache(maxsize=1024)
def readable(word: str) -> str:
    """Dashes separate the words of a key; names keep only characters that read well there."""
    return UNREADABLE.sub("_", word) or "_"
