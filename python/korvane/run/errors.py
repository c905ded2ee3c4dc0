"""What goes wrong before a pipeline runs, and how failures while it runs are attributed.

An exception raised by user code gets a note naming the node (and partition) it ran for, and
is raised on as itself, so that callers can catch their own types. Exceptions travel between
processes pickled (a process pool returns them, a cluster sends them to the client), notes
included; one that does not survive pickling would arrive as something else, or break the
pool, so it is replaced where it was raised, on every scheduler alike, by a RemoteError that
keeps its type's name, message, traceback and notes, chained from it where it was raised (the
chain is cut where it would travel: see crossing.py).
"""

from __future__ import annotations

import importlib
import pickle
import traceback
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import NoReturn


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


class PayloadCycle(RuntimeError):
    """An external's payload whose load needs that same payload, which would wait forever."""


class UnpicklableValue(TypeError):
    """A node's value that must travel between processes and cannot be pickled."""


class RemoteError(Exception):
    """An exception of user code that does not survive pickling, as one that does: its type's
    qualified name, its message and its formatted traceback, with its notes. Raised in its
    place (and chained from it) on every scheduler."""

    def __init__(self, type_name: str, message: str, traceback_text: str) -> None:
        super().__init__(type_name, message, traceback_text)
        self.type_name = type_name
        self.message = message
        self.traceback_text = traceback_text

    def __str__(self) -> str:
        return f"{self.type_name}: {self.message}" if self.message else self.type_name

    @classmethod
    def standing_in_for(cls, error: BaseException) -> RemoteError:
        kind = type(error)
        try:
            message = str(error)
        except Exception:
            message = "(its message could not be made)"
        remote = cls(f"{kind.__module__}.{kind.__qualname__}", message,
                     "".join(traceback.format_exception(error)))
        for note in getattr(error, "__notes__", ()):
            if isinstance(note, str):
                remote.add_note(note)
        return remote


def pickle_dumps() -> Callable[[object], bytes]:
    """What schedulers pickle with: cloudpickle (which dask brings), else pickle."""
    try:
        module = importlib.import_module("cloudpickle")
    except ImportError:
        return pickle.dumps
    dumps: Callable[[object], bytes] = module.dumps
    return dumps


def survives_pickling(error: BaseException) -> bool:
    try:
        pickle.loads(pickle_dumps()(error))
    except Exception:
        return False
    return True


def blame(error: Exception, what: str) -> NoReturn:
    """Raises `error`, caught from user code, with a note saying where it came from (see
    blamed_on); for the hot paths of tasks, where a context manager per call costs more than
    the call."""
    error.add_note(f"while running {what}")
    if not isinstance(error, RemoteError) and not survives_pickling(error):
        raise RemoteError.standing_in_for(error) from error
    raise error


@contextmanager
def blamed_on(what: str) -> Iterator[None]:
    """Adds a note naming the node (and partition) to an exception raised by user code, so
    that it says where it came from on every scheduler (notes travel with pickled
    exceptions); one that does not survive pickling is replaced by a RemoteError."""
    try:
        yield
    except Exception as error:
        error.add_note(f"while running {what}")
        # A RemoteError from a nested run travels once its chain is cut (see crossing.py).
        if not isinstance(error, RemoteError) and not survives_pickling(error):
            raise RemoteError.standing_in_for(error) from error
        raise


class CacheError(Exception):
    """A value the result cache cannot store with its codec, named by its cache key."""


class CacheNotWritable(OSError):
    """The result cache's location cannot be written; raised before anything runs."""
