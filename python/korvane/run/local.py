"""Running a store in the calling thread."""

from __future__ import annotations

from collections import Counter
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from korvane.run.plan import make_plan
from korvane.run.results import Results, store_digest
from korvane.run.tasks import Ref, Target, Task, build_tasks

if TYPE_CHECKING:
    from korvane_core import GraphStore

    from korvane.run.plan import MemberRequest
    from korvane.run.registry import Registry
    from korvane.run.tasks import Key, TaskGraph


def run_local(store: GraphStore, registry: Registry, outputs: Sequence[int] | None = None, *,
              members: Sequence[MemberRequest] = ()) -> Results:
    """Computes `outputs` (default: the store's marked outputs) and the requested stage
    members in this thread, visiting only the nodes they need, in dependency order.

    Works on any store, as recorded or reduced. Everything is checked before user code runs
    (PlanError); an exception from user code propagates with a note naming the node."""
    graph = build_tasks(make_plan(store, registry, outputs, members))
    values = execute(graph)
    return Results({i: gather(t, values) for i, t in graph.outputs.items()},
                   {m: gather(t, values) for m, t in graph.members.items()},
                   computed_from=store_digest(store))


def gather(target: Target, values: dict[Key, Any]) -> Any:
    return [values[k] for k in target] if isinstance(target, list) else values[target]


def execute(graph: TaskGraph) -> dict[Key, Any]:
    """Runs every task in order. A result is dropped once its last reader has run, unless it
    is wanted, so memory holds about one frontier of partitions, not the whole pipeline."""
    wanted = graph.wanted()
    readers: Counter[Key] = Counter()
    for task in graph.tasks.values():
        readers.update(task.dependencies())
    values: dict[Key, Any] = {}
    for key, task in graph.tasks.items():
        values[key] = run(task, values)
        for dependency in task.dependencies():
            readers[dependency] -= 1
            if readers[dependency] == 0 and dependency not in wanted:
                values.pop(dependency, None)
    return values


def run(task: Task, values: dict[Key, Any]) -> Any:
    return task.fn(*(resolve(arg, values) for arg in task.args))


def resolve(arg: Any, values: dict[Key, Any]) -> Any:
    if isinstance(arg, Ref):
        return values[arg.key]
    if isinstance(arg, Task):
        return run(arg, values)
    if isinstance(arg, list):
        return [resolve(item, values) for item in arg]
    return arg
