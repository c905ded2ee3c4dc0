"""The values a run computed: per output id, and per requested stage member; and which store
they were computed from, since node ids mean something only within one store."""

from __future__ import annotations

import hashlib

from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from korvane_core import GraphStore

    from korvane.run.plan import MemberRequest


class Results(Mapping[int, Any]):
    """A mapping from each output id to its value: a list of partitions, or one value for a
    reduction (and for anything computed from single values only). Requested stage members
    are read with `member(stage, index)`. `computed_from` identifies the store that was run
    (see `store_digest`); None when unknown."""

    def __init__(self, outputs: dict[int, Any], members: dict[MemberRequest, Any], *,
                 computed_from: str | None = None, loaded: tuple[int, ...] = (),
                 stored: tuple[int, ...] = ()) -> None:
        self._outputs = outputs
        self._members = members
        self.computed_from = computed_from
        # With a result cache: the nodes whose values were read from it, and those whose
        # values were written to it.
        self.loaded = loaded
        self.stored = stored

    def __getitem__(self, node_id: int) -> Any:
        return self._outputs[node_id]

    def __iter__(self) -> Iterator[int]:
        return iter(self._outputs)

    def __len__(self) -> int:
        return len(self._outputs)

    def member(self, stage: int, index: int) -> Any:
        try:
            return self._members[stage, index]
        except KeyError:
            raise KeyError(f"member {index} of node {stage} was not requested "
                           f"(run with members=[({stage}, {index})])") from None

    def __repr__(self) -> str:
        return f"Results(outputs={sorted(self._outputs)}, members={sorted(self._members)})"


def store_digest(store: GraphStore) -> str:
    """Identifies a store by its nodes (its blob without output marks): equal for equal
    stores, and so for a store and its copies."""
    return hashlib.blake2b(store.serialize(outputs=[]), digest_size=16).hexdigest()
