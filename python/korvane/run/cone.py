"""The nodes some nodes depend on: the part of a store a request needs."""

from __future__ import annotations

from collections.abc import Container, Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from korvane.run.labels import NodeDict


def needed(nodes: Sequence[NodeDict], roots: Sequence[int],
           leaves: Container[int] = ()) -> list[int]:
    """The ids the roots depend on, roots included, ascending; the inputs of `leaves` are not
    followed (their values are had otherwise)."""
    seen: set[int] = set()
    stack = list(roots)
    while stack:
        i = stack.pop()
        if i not in seen:
            seen.add(i)
            if i not in leaves:
                stack.extend(nodes[i]["inputs"])
    return sorted(seen)
