"""The values a run computed: per output id, and per requested stage member."""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from korvane.run.plan import MemberRequest


class Results(Mapping[int, Any]):
    """A mapping from each output id to its value: a list of partitions, or one value for a
    reduction (and for anything computed from single values only). Requested stage members
    are read with `member(stage, index)`."""

    def __init__(self, outputs: dict[int, Any], members: dict[MemberRequest, Any]) -> None:
        self._outputs = outputs
        self._members = members

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
