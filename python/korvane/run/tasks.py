"""A plan as tasks: one per partition of each node (a reduction's combine tree and an
exchange's split and concatenation as their own layers), with keys any dask scheduler
accepts; then each task with a single reader fused into it. Local execution runs these same tasks, so every
scheduler computes the same thing in the same shape.
"""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, TypeAlias

from korvane.run import kernels
from korvane.run.plan import (
    ExchangeRecipe,
    ExternalRecipe,
    JoinRecipe,
    ReductionRecipe,
    SourceRecipe,
    StageRecipe,
)

if TYPE_CHECKING:
    from korvane.run.plan import MemberRequest, Plan, Step

Key: TypeAlias = str | tuple[str, int] | tuple[str, int, int]
# Where a node's value is: one key for a single value, one key per partition otherwise.
Target: TypeAlias = Key | list[Key]


@dataclass(frozen=True, slots=True)
class Ref:
    """A task argument that is another task's result."""

    key: Key


@dataclass(frozen=True, slots=True)
class Task:
    fn: Callable[..., Any]
    # Plain values, Refs, Tasks run inline (fused), or lists of Refs and Tasks.
    args: tuple[Any, ...]

    def dependencies(self) -> Iterator[Key]:
        for arg in self.args:
            yield from dependencies_of(arg)

    def inlining(self, key: Key, task: Task) -> Task:
        """This task with `task` run in place of its reference to `key`."""
        return replace(self, args=tuple(inlined(arg, key, task) for arg in self.args))


def dependencies_of(arg: Any) -> Iterator[Key]:
    if isinstance(arg, Ref):
        yield arg.key
    elif isinstance(arg, Task):
        yield from arg.dependencies()
    elif isinstance(arg, list):
        for item in arg:
            yield from dependencies_of(item)


def inlined(arg: Any, key: Key, task: Task) -> Any:
    if isinstance(arg, Ref) and arg.key == key:
        return task
    if isinstance(arg, list):
        return [inlined(item, key, task) for item in arg]
    return arg


@dataclass
class TaskGraph:
    # In dependency order: every task follows the tasks it reads.
    tasks: dict[Key, Task] = field(default_factory=dict)
    outputs: dict[int, Target] = field(default_factory=dict)
    members: dict[MemberRequest, Target] = field(default_factory=dict)

    def wanted(self) -> set[Key]:
        """The keys whose values a run returns."""
        keys: set[Key] = set()
        for target in [*self.outputs.values(), *self.members.values()]:
            keys.update(target if isinstance(target, list) else [target])
        return keys


def fuse_single_readers(graph: TaskGraph) -> None:
    """Runs a task inside its reader when it has exactly one: a source's partition read
    inside the stage that alone consumes it, a stage's partition inside the reduction step
    or exchange split that alone consumes it, an exchange's output partition inside the join
    that alone reads it. Such a task always runs just before its reader, on the same
    partition, so a task of its own would only add scheduling and a hand-over; nothing is
    computed twice. This is the default fusion rule again, now for the partition-local work
    of boundary nodes. Tasks that gather a list (the combines of a reduction, the
    concatenations of an exchange) take no one in, so that reduction trees stay trees and
    partitions keep running in parallel. The fused task keeps the reader's key."""
    wanted = graph.wanted()
    readers: defaultdict[Key, list[Key]] = defaultdict(list)
    for key, task in graph.tasks.items():
        for dependency in task.dependencies():
            readers[dependency].append(key)
    for key in list(graph.tasks):
        if key in wanted or len(readers[key]) != 1:
            continue
        (reader,) = readers[key]
        if Ref(key) not in graph.tasks[reader].args:
            continue   # read from inside a list: a gathering task
        # The fused task's own inputs come earlier and are decided already: who reads them
        # now does not matter any more.
        graph.tasks[reader] = graph.tasks[reader].inlining(key, graph.tasks.pop(key))


def argument(target: Target, partition: int | None) -> Ref:
    """An input's value for one partition: its partition, or its single value broadcast."""
    if isinstance(target, list):
        assert partition is not None
        return Ref(target[partition])
    return Ref(target)


def even_groups(keys: list[Key], most: int) -> list[list[Key]]:
    """As few groups of at most `most` keys as can be, of sizes that differ by at most one:
    no combine task is left with a lone partial to pass on."""
    count = -(-len(keys) // most)
    size, extra = divmod(len(keys), count)
    groups = []
    start = 0
    for g in range(count):
        end = start + size + (1 if g < extra else 0)
        groups.append(keys[start:end])
        start = end
    return groups


def partitioned_member(recipe: StageRecipe, index: int, partitioned_inputs: list[bool]) -> bool:
    """Whether member `index` of a stage reads a partitioned input, directly or through the
    members before it."""
    partitioned: list[bool] = []
    for member in recipe.members[:index + 1]:
        partitioned.append(any(partitioned[k] if is_member else partitioned_inputs[k]
                               for is_member, k in member.refs))
    return partitioned[index]


class Builder:
    def __init__(self, plan: Plan) -> None:
        self.plan = plan
        self.graph = TaskGraph()
        self.targets: dict[int, Target] = {}

    def add(self, key: Key, fn: Callable[..., Any], *args: Any) -> Key:
        self.graph.tasks[key] = Task(fn, args)
        return key

    def per_partition(self, step: Step, fn: Callable[..., Any], *leading: Any,
                      role: str | None = None) -> Target:
        """One task per partition, each reading that partition of every input (single
        values broadcast); one task in all for a single-valued node."""
        inputs = [self.targets[i] for i in step.inputs]
        name = step.key(role)
        if step.input_partitions is None:
            return self.add(name, fn, *leading, None, *(argument(t, None) for t in inputs))
        return [self.add((name, p), fn, *leading, p, *(argument(t, p) for t in inputs))
                for p in range(step.input_partitions)]

    def source(self, step: Step, recipe: SourceRecipe) -> Target:
        assert step.partitions is not None
        return [self.add((step.key(), p), kernels.read_partition, recipe, p)
                for p in range(step.partitions)]

    def reduction(self, step: Step, recipe: ReductionRecipe) -> Target:
        """Per-partition steps, then a tree of combines; the root also finishes."""
        partials = self.per_partition(step, kernels.reduce_step, recipe, role="step")
        level = partials if isinstance(partials, list) else [partials]
        depth = 0
        while len(level) > recipe.impl.split_every:
            depth += 1
            level = [self.add((step.key("combine"), depth, j), kernels.reduce_combine, recipe,
                              [Ref(k) for k in group])
                     for j, group in enumerate(even_groups(level, recipe.impl.split_every))]
        return self.add(step.key(), kernels.reduce_finish, recipe, [Ref(k) for k in level])

    def exchange(self, step: Step, recipe: ExchangeRecipe) -> Target:
        """Each input partition split once; each output partition concatenates its pieces."""
        (source,) = step.inputs
        inputs = self.targets[source]
        assert isinstance(inputs, list)
        splits = [Ref(self.add((step.key("split"), p), kernels.split_partition, recipe, p, Ref(key)))
                  for p, key in enumerate(inputs)]
        return [self.add((step.key(), j), kernels.concat_pieces, recipe, j, splits)
                for j in range(recipe.partitions)]

    def node(self, step: Step) -> Target:
        recipe = step.recipe
        if isinstance(recipe, SourceRecipe):
            return self.source(step, recipe)
        if isinstance(recipe, StageRecipe):
            return self.per_partition(step, kernels.run_stage, recipe)
        if isinstance(recipe, ReductionRecipe):
            return self.reduction(step, recipe)
        if isinstance(recipe, ExchangeRecipe):
            return self.exchange(step, recipe)
        if isinstance(recipe, JoinRecipe):
            return self.per_partition(step, kernels.run_join, recipe)
        assert isinstance(recipe, ExternalRecipe)
        return self.per_partition(step, kernels.run_external, recipe)

    def member(self, stage: int, index: int) -> Target:
        """A stage member other than the last has no task of its own: these tasks run the
        stage's members up to it. A member that reads single values only (an operation on a
        reduction's result, fused with what reads it) is a single value, as it was when
        recorded: one task, given the stage's single inputs."""
        step = self.plan.steps[stage]
        assert isinstance(step.recipe, StageRecipe)
        if index == len(step.recipe.members) - 1:
            return self.targets[stage]
        inputs = [self.targets[i] for i in step.inputs]
        if not partitioned_member(step.recipe, index, [isinstance(t, list) for t in inputs]):
            args = [None if isinstance(t, list) else Ref(t) for t in inputs]
            return self.add(step.key(f"member{index}"), kernels.run_stage_member, step.recipe,
                            index, None, *args)
        return self.per_partition(step, kernels.run_stage_member, step.recipe, index,
                                  role=f"member{index}")

    def build(self) -> TaskGraph:
        for i, step in self.plan.steps.items():
            self.targets[i] = self.node(step)
        self.graph.outputs = {i: self.targets[i] for i in self.plan.outputs}
        self.graph.members = {(s, k): self.member(s, k) for s, k in self.plan.members}
        return self.graph


def build_tasks(plan: Plan, fuse: bool = True) -> TaskGraph:
    graph = Builder(plan).build()
    if fuse:
        fuse_single_readers(graph)
    return graph
