"""What goes wrong before a pipeline runs, and how failures while it runs are attributed."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass


@dataclass(frozen=True)
class NodeInfo:
    """Who a message is about: a node's id, kind and label."""

    id: int
    kind: str
    label: str

    def __str__(self) -> str:
        return f"node {self.id} ({self.kind}: {self.label})"


class PlanError(ValueError):
    """A store that cannot run with a registry, found before anything runs."""

    def __init__(self, node: NodeInfo, problem: str) -> None:
        super().__init__(f"{node}: {problem}")
        self.node = node


class MissingImplementation(PlanError):
    """The registry has no implementation for a node (or for a member of a stage)."""


class UnknownExternalKind(MissingImplementation):
    """An external node whose descriptor's kind the registry does not know."""


class PartitionMismatch(PlanError):
    """Inputs that must line up partition by partition have different partition counts."""


class NotCoPartitioned(PartitionMismatch):
    """A join whose inputs are not known to be partitioned alike: partition i of one input
    would not meet every row of the others that shares its keys."""


class NothingToCompute(ValueError):
    """A run asked for no value: no outputs given, and none marked in the store."""


@contextmanager
def blamed_on(what: str) -> Iterator[None]:
    """Adds a note naming the node (and partition) to an exception raised by user code, so
    that it says where it came from on every scheduler (notes travel with pickled
    exceptions)."""
    try:
        yield
    except Exception as error:
        error.add_note(f"while running {what}")
        raise


class CacheError(Exception):
    """A value the result cache cannot store with its codec, named by its cache key."""


class CacheNotWritable(OSError):
    """The result cache's location cannot be written; raised before anything runs."""
