"""Plain-text rendering of a store for ``korvane inspect``."""

from __future__ import annotations

from collections import Counter
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, TypeAlias

if TYPE_CHECKING:
    from korvane_core import (
        DescriptorDict,
        ExternalNodeDict,
        MemberDict,
        PlainNodeDict,
        StageNodeDict,
    )

    NodeDict: TypeAlias = PlainNodeDict | ExternalNodeDict | StageNodeDict
    ParamDict: TypeAlias = dict[str, int | float | bool | str]

# The order in which kinds are counted: the order of the node model.
KINDS = ("source", "op", "reduction", "external", "stage", "exchange", "join")

HEADER = ("id", "out", "kind", "name", "params", "inputs")


def shown(text: str) -> str:
    """Text from a file, safe to print: control characters (a line feed, a terminal escape)
    are written as escapes, so each node stays on one line and cannot drive the terminal."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def format_params(params: ParamDict) -> str:
    """key=value pairs with Python literals, so 1, 1.0, True and '1' stay distinguishable."""
    return ", ".join(f"{shown(key)}={value!r}" for key, value in params.items())


def format_descriptor(descriptor: DescriptorDict) -> str:
    fields = [f"framework={descriptor['framework']!r}", f"version={descriptor['version']!r}",
              f"io_schema={descriptor['io_schema']!r}"]
    if descriptor["preprocessing_ref"] is not None:
        fields.append(f"preprocessing_ref={descriptor['preprocessing_ref']!r}")
    return "payload: " + ", ".join(fields)


def plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def summary(nodes: Sequence[NodeDict], outputs: Sequence[int]) -> list[str]:
    """The lines above the table: totals, counts by kind, outputs."""
    counts: Counter[str] = Counter(node["kind"] for node in nodes)
    members = sum(node["n_members"] for node in nodes if node["kind"] == "stage")
    by_kind = []
    for kind in KINDS:
        if counts[kind]:
            extra = f" ({plural(members, 'member')})" if kind == "stage" else ""
            by_kind.append(f"{counts[kind]} {kind}{extra}")
    return [
        f"{plural(len(nodes), 'node')}, {plural(len(outputs), 'output')}",
        "kinds: " + (", ".join(by_kind) if by_kind else "none"),
        "outputs: " + (", ".join(str(i) for i in outputs) if outputs else "none"),
    ]


def member_ref(stage: StageNodeDict, ref: tuple[str, int]) -> str:
    """A member's argument in the table's id notation: a node id, or stage.member."""
    what, index = ref
    if what == "member":
        return f"{stage['id']}.{index}"
    if index < len(stage["inputs"]):
        return str(stage["inputs"][index])
    return f"input {index}?"  # only a hand-made blob can point past the stage's inputs


def member_row(stage: StageNodeDict, index: int, member: MemberDict) -> tuple[str, ...]:
    refs = ", ".join(member_ref(stage, ref) for ref in member["inputs"])
    return (f"  {stage['id']}.{index}", "", f"  {member['kind']}", shown(member["name"]),
            format_params(member["params"]), refs)


def node_row(node: NodeDict) -> tuple[str, ...]:
    if node["kind"] == "external":
        name = shown(f"{node['descriptor']['kind']}:{node['descriptor']['content_hash']}")
    elif node["kind"] == "stage":
        name = plural(node["n_members"], "member")
    else:
        name = shown(node["name"])
    return (str(node["id"]), "*" if node["output"] else "", node["kind"], name,
            format_params(node["params"]), ", ".join(str(i) for i in node["inputs"]))


def table(nodes: Iterable[NodeDict]) -> list[str]:
    """One row per node; stage members indented under their stage, payload details under
    external nodes."""
    # (row, detail line or None): detail lines do not take part in the column widths.
    rows: list[tuple[tuple[str, ...], str | None]] = [(HEADER, None)]
    for node in nodes:
        detail = format_descriptor(node["descriptor"]) if node["kind"] == "external" else None
        rows.append((node_row(node), detail))
        if node["kind"] == "stage":
            rows.extend((member_row(node, i, m), None) for i, m in enumerate(node["members"]))
    widths = [max(len(row[col]) for row, _ in rows) for col in range(len(HEADER) - 1)]
    name_column = sum(widths[:3]) + 2 * 3
    lines = []
    for row, detail in rows:
        cells = [cell.ljust(width) for cell, width in zip(row, widths)] + [row[-1]]
        lines.append("  ".join(cells).rstrip())
        if detail is not None:
            lines.append(" " * name_column + detail)
    return lines
