"""Values that travel between processes, checked where they are made.

On the threaded and the synchronous scheduler no value leaves the process, and none is
checked. On a process pool every task's value is pickled back to the caller; on a
distributed cluster, to the worker or client that reads it. A value that cannot be pickled
then fails far from where it was made: the pool's error names no task, and a cluster logs
the failure while the task waiting for the value never starts. So a graph computed on any
other scheduler has each task's value checked as soon as its task made it, and one that
cannot be pickled fails that task with an UnpicklableValue naming the node and partition.
A RemoteError (see errors.py) leaves such a task without its chain, which leads back to the
exception that could not be pickled.

The check is a pickling pass that writes nothing: large buffers (numpy arrays, and the
pandas and arrow data over them) are handed to it out of band and dropped, so it costs a walk
over the value's structure, not a copy of its data. Values that stay inside a fused task
never leave it and are not checked.
"""

from __future__ import annotations

import importlib
import pickle
from typing import TYPE_CHECKING, Any

from korvane.run.errors import NodeInfo, RemoteError, UnpicklableValue
from korvane.run.programs import Program

if TYPE_CHECKING:
    from collections.abc import Callable

    from korvane.run.tasks import Key


def stays_in_process(get: Callable[..., Any]) -> bool:
    """Whether a dask get function runs every task in this process."""
    for module_name, name in (("dask.threaded", "get"), ("dask.local", "get_sync")):
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            continue
        if get is getattr(module, name, None):
            return True
    return False


def values_checked(graph: dict[Key, Any]) -> dict[Key, Any]:
    """The graph with each task's value checked to pickle, for schedulers that move values
    between processes."""
    return {key: (checked, where(key, task), *task) for key, task in graph.items()}


def where(key: Key, task: tuple[Any, ...]) -> str:
    """The node and partition a task computes, from its recipe (a kernel's first argument)
    and its key ("{words}-...", partition)."""
    recipe = task[1] if len(task) > 1 else None
    if isinstance(recipe, Program):
        # A fused task's value is its last step's.
        recipe = recipe.recipe
    node = getattr(recipe, "node", None)
    if node is None:
        # A split stage's or a route's recipe is one level further in.
        node = getattr(getattr(recipe, "recipe", None), "node", None)
    if not isinstance(node, NodeInfo):
        return f"task {key!r}"
    if isinstance(key, tuple) and len(key) == 2:
        return f"{node}, partition {key[1]}"
    return str(node)


class Discarded:
    def write(self, data: Any) -> int:
        return len(data)


def check_pickles(value: Any, what: str) -> None:
    module: Any
    try:
        module = importlib.import_module("cloudpickle")
        pickler = module.CloudPickler
    except ImportError:
        pickler = pickle.Pickler
    try:
        pickler(Discarded(), protocol=5, buffer_callback=lambda buffer: None).dump(value)
    except Exception as error:
        # Raised in the worker, so it says what it can in its message: the cause does not
        # travel with it.
        raise UnpicklableValue(f"the value of {what} cannot be pickled, and it must travel "
                               f"between processes: {type(error).__name__}: {error}") from error


def checked(what: str, fn: Callable[..., Any], *args: Any) -> Any:
    try:
        value = fn(*args)
    except RemoteError as error:
        # Its chain leads back to what cannot be pickled, and a cluster pickles exceptions
        # with their chains.
        error.__cause__ = error.__context__ = None
        raise
    check_pickles(value, what)
    return value
