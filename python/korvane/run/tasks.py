"""A plan as tasks, in dask's task-graph form, which the local runner runs too.

Policies, before the code:

- Layers. Every node becomes one or more layers: a layer is one task per partition (or a
  single task for a single value) that all call the same function with the same recipe.
  A source reads, a stage, join or external runs per partition, a reduction has a layer of
  per-partition steps, a tree of combines and a finishing task, and an exchange has a layer
  of splits and one of concatenations.

- Fusion. A layer whose every task has exactly one reader, the same partition of one other
  layer, runs inside that reader: a source's read inside the stage that alone consumes it,
  a stage inside the reduction step or exchange split that alone consumes it, an exchange's
  output partition inside the join that alone reads it. Such a task would always run just
  before its reader, on the same partition, so a task of its own would only add scheduling
  and a hand-over; nothing is computed twice. Layers that gather (a combine, a
  concatenation) take nobody in through their gathered list, so reduction trees stay trees
  and partitions keep running in parallel. Fusion is decided per layer, not per task, so
  that a graph of a million partitions costs a few tuples per task to build.

- Flat programs. A fused task runs a `Program`: a flat sequence of steps, each reading the
  task's inputs or earlier steps' results by position, never a task nested in a task. A
  chain of any length runs in one Python frame, so depth never meets the interpreter's
  recursion limit, here or in any dask scheduler. A step's result is released as soon as
  the last step that reads it has run. A stage's members are steps of their own, each a
  direct call of the user's function (see programs.py).

- Exchanges move each piece once. On dask, each input partition is split once, each piece
  is a task of its own (run where its split is), and output partition j concatenates only
  the pieces j: a worker receives the pieces it needs and never a whole split. When
  n_in x n_out pieces would be too many tasks (above `DIRECT_PIECES`), the exchange runs in
  rounds of at most `FAN_OUT` pieces per split (a staged exchange): each round routes rows
  by one digit of their destination partition, so the task count stays near
  n x rounds x fan-out. A local run has no workers to spare traffic between, and keeps the
  cheaper shape: each concatenation picks its pieces out of the whole splits.

- Single values are computed once. Members of a stage that read single values only (an
  operation on a reduction's result) run in one task of their own whose result every
  partition of the stage is given, as they run once in the store as recorded.

- Arguments. A task is a tuple (function, *arguments); an argument that is a str or a tuple
  is a key, a list is a list of keys, and anything else is a value passed as it is. Values
  are never str, tuple or list (recipes, programs, partition numbers and None), so both the
  local runner and dask tell keys from values without looking anything up.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, TypeAlias

from korvane.run import kernels, programs
from korvane.run.caching import LoadRecipe
from korvane.run.plan import (
    ExchangeRecipe,
    ExternalRecipe,
    ForwardRecipe,
    JoinRecipe,
    ReductionRecipe,
    SourceRecipe,
    StageRecipe,
)
from korvane.run.programs import run_program

if TYPE_CHECKING:
    from korvane.run.caching import Entry
    from korvane.run.plan import MemberRequest, Plan, Step

Key: TypeAlias = str | tuple[str, int] | tuple[str, int, int]
Task: TypeAlias = tuple[Any, ...]
# Where a node's value is: one key for a single value, one key per partition otherwise.
Target: TypeAlias = Key | list[Key]

# Above this many pieces an exchange runs in rounds; each split then makes at most FAN_OUT.
DIRECT_PIECES = 16_384
FAN_OUT = 32


# A layer's inputs, each a function of the partition a task computes:
#   ("part", name)         the same partition of layer `name`: (name, p)
#   ("one", key)           a single value: key
#   ("keys", keys)         a fixed list of keys
#   ("pieces", name, n)    piece p of each of n splits: [(name, i, p) for i < n]
#   ("all", name, n)       every partition of layer `name`: [(name, i) for i < n]
#   ("each", lists)        a list of keys of its own per partition: lists[p]
Input: TypeAlias = tuple[Any, ...]


@dataclass(eq=False)
class Layer:
    name: str
    # Tasks keyed (name, p) for p < count; one task keyed `name` when None.
    count: int | None
    fn: Callable[..., Any]
    # Called as fn(*consts, p, *inputs) when with_partition, else fn(*consts, *inputs).
    consts: tuple[Any, ...]
    with_partition: bool
    inputs: list[Input]
    # Layers fused into this one, in dependency order; set by fusion.
    fused: list[Layer] = field(default_factory=list)
    # The layer that runs this one inside its own tasks; set by fusion.
    host: Layer | None = None


@dataclass
class TaskGraph:
    # In dask's form and in dependency order: every task follows the tasks it reads.
    tasks: dict[Key, Task] = field(default_factory=dict)
    outputs: dict[int, Target] = field(default_factory=dict)
    members: dict[MemberRequest, Target] = field(default_factory=dict)

    def wanted(self) -> set[Key]:
        """The keys whose values a run returns."""
        keys: set[Key] = set()
        for target in [*self.outputs.values(), *self.members.values()]:
            keys.update(target if isinstance(target, list) else [target])
        return keys


def partitioned_members(recipe: StageRecipe, partitioned_inputs: list[bool]) -> list[bool]:
    """Per member of a stage: whether it reads a partitioned input, directly or through the
    members before it."""
    partitioned = list(partitioned_inputs)
    for member in recipe.members:
        partitioned.append(any(partitioned[slot] for slot in member.refs))
    return partitioned[recipe.inputs:]


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


@dataclass(frozen=True)
class Located:
    """Where a node's value is: the layer (or forwarded layer) that computes it."""

    name: str
    count: int | None


class Builder:
    def __init__(self, plan: Plan, pieces: bool, direct_pieces: int, fan_out: int,
                 stored: dict[int, Entry]) -> None:
        self.plan = plan
        # The nodes whose values are written to the cache as they are computed.
        self.stored = stored
        # Whether exchanges move pieces as tasks of their own (on dask) or concatenations
        # pick them out of whole splits (locally).
        self.pieces = pieces
        self.direct_pieces = direct_pieces
        self.fan_out = fan_out
        # Layers, and plain tasks in batches (a level of a reduction tree, say).
        self.layers: list[Layer | dict[Key, Task]] = []
        self.by_name: dict[str, Layer] = {}
        self.task_keys: set[Key] = set()
        # The layers that plain tasks read: a plain task takes no layer in (see fuse_layers).
        self.read_by_tasks: set[str] = set()
        self.located: dict[int, Located] = {}
        # Where each key's value is: nodes of equal fingerprints have equal keys, and are
        # computed once.
        self.by_key: dict[str, Located] = {}
        # The keys of layers' tasks, shared by the tasks that read them.
        self.keys = PartitionKeys()

    # Layers and plain tasks, in dependency order.

    def layer(self, name: str, count: int | None, fn: Callable[..., Any], consts: tuple[Any, ...],
              inputs: list[Input], with_partition: bool = True) -> Located:
        made = Layer(name, count, fn, consts, with_partition, inputs)
        self.layers.append(made)
        self.by_name[name] = made
        return Located(name, count)

    def task(self, key: Key, task: Task) -> None:
        last = self.layers[-1] if self.layers else None
        if isinstance(last, dict):
            last[key] = task
        else:
            self.layers.append({key: task})
        self.task_keys.add(key)

    def tasks(self, batch: dict[Key, Task]) -> None:
        """Plain tasks that no staged exchange looks for, many at a time: a reduction over a
        million partitions has a tree of 140,000 combines."""
        self.layers.append(batch)

    def read(self, located: Located) -> Input:
        """How a per-partition task of the same count reads a node's value."""
        return ("one", located.name) if located.count is None else ("part", located.name)

    def per_partition(self, step: Step, fn: Callable[..., Any], consts: tuple[Any, ...],
                      role: str | None = None) -> Located:
        """One task per partition, each reading that partition of every input (single
        values broadcast); one task in all for a single-valued node."""
        inputs = [self.read(self.located[i]) for i in step.inputs]
        return self.layer(step.key(role), step.input_partitions, fn, consts, inputs)

    # Nodes.

    def source(self, step: Step, recipe: SourceRecipe) -> Located:
        return self.layer(step.key(), step.partitions, kernels.read_partition, (recipe,), [])

    def stage(self, step: Step, recipe: StageRecipe) -> Located:
        located = [self.located[i] for i in step.inputs]
        partitioned_inputs = [where.count is not None for where in located]
        if step.input_partitions is None or \
                all(partitioned_inputs) and all(member.refs for member in recipe.members):
            # Every member reads a partitioned value: none is a single value.
            return self.per_partition(step, kernels.run_stage, (recipe,))
        partitioned = partitioned_members(recipe, partitioned_inputs)
        singles = [i for i, member in enumerate(recipe.members) if not partitioned[i]
                   and any(partitioned[j] and recipe.inputs + i in other.refs
                           for j, other in enumerate(recipe.members))]
        if not singles:
            return self.per_partition(step, kernels.run_stage, (recipe,))
        # The members of single values run once, and every partition is given their values.
        split = kernels.StageSplit(recipe, tuple(singles))
        once = self.layer(step.key("once"), None, kernels.run_stage_once, (split,),
                          singles_only(located), with_partition=False)
        inputs = [self.read(once), *(self.read(where) for where in located)]
        return self.layer(step.key(), step.input_partitions, kernels.run_stage_given,
                          (split,), inputs)

    def reduction(self, step: Step, recipe: ReductionRecipe) -> Located:
        """Per-partition steps, then a tree of combines; the root also finishes."""
        partials = self.per_partition(step, kernels.reduce_step, (recipe,), role="step")
        level: list[Key] = [partials.name] if partials.count is None else \
            self.keys(partials.name, partials.count)
        depth = 0
        if len(level) > recipe.impl.split_every:
            self.read_by_tasks.add(partials.name)
        while len(level) > recipe.impl.split_every:
            depth += 1
            name = step.key("combine")
            groups = even_groups(level, recipe.impl.split_every)
            level = [(name, depth, j) for j in range(len(groups))]
            self.tasks({key: (kernels.reduce_combine, recipe, group)
                        for key, group in zip(level, groups)})
        return self.layer(step.key(), None, kernels.reduce_finish, (recipe,), [("keys", level)],
                          with_partition=False)

    def join(self, step: Step, recipe: JoinRecipe) -> Located:
        if getattr(recipe, "co_partitioned", True) or step.input_partitions is None:
            return self.per_partition(step, kernels.run_join, (recipe,))
        # A broadcast join: partition p of its first partitioned input meets every other
        # partitioned input whole.
        inputs: list[Input] = []
        first = True
        for i in step.inputs:
            where = self.located[i]
            if where.count is None:
                inputs.append(("one", where.name))
            elif first:
                inputs.append(("part", where.name))
                first = False
            else:
                inputs.append(("all", where.name, where.count))
        return self.layer(step.key(), step.input_partitions, kernels.run_join, (recipe,), inputs)

    def exchange(self, step: Step, recipe: ExchangeRecipe) -> Located:
        (source,) = step.inputs
        where = self.located[source]
        assert where.count is not None
        n_in, n_out = where.count, recipe.partitions
        if self.pieces and n_in * n_out > self.direct_pieces and max(n_in, n_out) > self.fan_out:
            return self.staged_exchange(step, recipe, where)
        splits = self.layer(step.key("split"), n_in, kernels.split_partition, (recipe,),
                            [("part", where.name)])
        if not self.pieces:
            return self.layer(step.key(), n_out, kernels.concat_from_splits, (recipe,),
                              [("all", splits.name, n_in)])
        piece = step.key("piece")
        self.read_by_tasks.add(splits.name)
        pieces: dict[Key, Task] = {}
        for i, split_key in enumerate(self.keys(splits.name, n_in)):
            for j in range(n_out):
                pieces[(piece, i, j)] = (kernels.take, split_key, j)
        self.tasks(pieces)
        return self.layer(step.key(), n_out, kernels.concat_pieces, (recipe,),
                          [("pieces", piece, n_in)])

    def staged_exchange(self, step: Step, recipe: ExchangeRecipe, where: Located) -> Located:
        """Rows routed in rounds, one base-`fan_out` digit of their destination at a time.
        After round s, slot t holds the rows whose destination agrees with t in digits 0..s
        and whose input partition agrees with t in the digits above s."""
        assert where.count is not None
        n_in, n_out = where.count, recipe.partitions
        rounds = 1
        while self.fan_out ** rounds < max(n_in, n_out):
            rounds += 1
        fan_out = 2
        while fan_out ** rounds < max(n_in, n_out):
            fan_out += 1
        route = kernels.Route(recipe, fan_out)
        name = step.key("route")
        pick = step.key("pick")

        def holds(s: int, t: int) -> bool:
            """Whether slot t holds rows after round s (s = -1: before the first)."""
            low: int = fan_out ** (s + 1)
            return (t // low) * low < n_in and t % low < n_out

        slots = fan_out ** rounds
        self.read_by_tasks.add(where.name)
        for t in range(n_in):
            self.task((name, 0, t), (kernels.route_split, route, t, (where.name, t)))
        for s in range(rounds):
            unit = fan_out ** s
            # Round s's groups: slot u's group d goes to u with digit s replaced by d.
            for u in range(slots):
                if not holds(s - 1, u):
                    continue
                digit = (u // unit) % fan_out
                for d in range(fan_out):
                    if holds(s, u + (d - digit) * unit):
                        self.task((pick, s, u * fan_out + d), (kernels.take, (name, s, u), d))
            if s + 1 == rounds:
                break
            for t in range(slots):
                if holds(s, t):
                    self.task((name, s + 1, t), (kernels.route_merge, route, s + 1,
                                                 self.arrivals(pick, s, t, unit, fan_out)))
        unit = fan_out ** (rounds - 1)
        outputs = [self.arrivals(pick, rounds - 1, j, unit, fan_out) for j in range(n_out)]
        return self.layer(step.key(), n_out, kernels.concat_routed, (recipe,),
                          [("each", outputs)])

    def arrivals(self, pick: str, s: int, t: int, unit: int, fan_out: int) -> list[Key]:
        """The groups that reach slot t in round s: from every slot that differs from t in
        digit s only and held rows, their group digit_s(t)."""
        digit = (t // unit) % fan_out
        base = t - digit * unit
        keys: list[Key] = [(pick, s, (base + d * unit) * fan_out + digit) for d in range(fan_out)]
        return [key for key in keys if key in self.task_keys]

    def node(self, step: Step) -> Located:
        recipe = step.recipe
        if isinstance(recipe, SourceRecipe):
            return self.source(step, recipe)
        if isinstance(recipe, StageRecipe):
            return self.stage(step, recipe)
        if isinstance(recipe, ReductionRecipe):
            return self.reduction(step, recipe)
        if isinstance(recipe, ExchangeRecipe):
            return self.exchange(step, recipe)
        if isinstance(recipe, JoinRecipe):
            return self.join(step, recipe)
        if isinstance(recipe, ExternalRecipe):
            return self.per_partition(step, kernels.run_external, (recipe,))
        if isinstance(recipe, LoadRecipe):
            return self.layer(step.key(), step.partitions, kernels.load_entry, (recipe,), [])
        # An exchange found redundant: its value is its input's, unchanged.
        assert isinstance(recipe, ForwardRecipe), recipe
        (source,) = step.inputs
        return self.located[source]

    def member(self, stage: int, index: int) -> Located:
        """A stage member other than the last has no task of its own: these tasks run the
        stage's members up to it. A member that reads single values only (an operation on a
        reduction's result, fused with what reads it) is a single value, as it was when
        recorded: one task, given the stage's single inputs."""
        step = self.plan.steps[stage]
        assert isinstance(step.recipe, StageRecipe)
        if index == len(step.recipe.members) - 1:
            return self.located[stage]
        located = [self.located[i] for i in step.inputs]
        partitioned = partitioned_members(step.recipe, [w.count is not None for w in located])
        name = step.key(f"member{index}")
        if not partitioned[index]:
            return self.layer(name, None, kernels.run_stage_member, (step.recipe, index),
                              singles_only(located))
        return self.layer(name, step.input_partitions, kernels.run_stage_member,
                          (step.recipe, index), [self.read(w) for w in located])

    def kept(self, i: int, step: Step, located: Located) -> Located:
        """The node's value as the cache is given it: each partition is written as it is
        made, before anyone reads it."""
        keeping = kernels.Keeping(step.recipe.node, self.stored[i])
        return self.layer(step.key("keep"), located.count, kernels.store_entry, (keeping,),
                          [self.read(located)])

    def build(self, fuse: bool) -> TaskGraph:
        for i, step in self.plan.steps.items():
            key = step.key()
            if key in self.by_key:
                self.located[i] = self.by_key[key]
                continue
            located = self.node(step)
            if i in self.stored:
                located = self.kept(i, step, located)
            self.located[i] = self.by_key[key] = located
        outputs = {i: self.located[i] for i in self.plan.outputs}
        members = {(s, k): self.member(s, k) for s, k in self.plan.members}
        wanted = {where.name for where in [*outputs.values(), *members.values()]}
        if fuse:
            fuse_layers(self.layers, self.by_name, wanted, self.read_by_tasks)
        graph = TaskGraph()
        emit(self.layers, graph.tasks, self.keys)
        graph.outputs = {i: target(where) for i, where in outputs.items()}
        graph.members = {m: target(where) for m, where in members.items()}
        return graph


def singles_only(located: list[Located]) -> list[Input]:
    """The inputs of a task that reads a node's single inputs only: None for the others."""
    return [("one", where.name) if where.count is None else ("one", None) for where in located]


def target(where: Located) -> Target:
    if where.count is None:
        return where.name
    return [(where.name, p) for p in range(where.count)]


# Fusion.

def fuse_layers(entries: list[Layer | dict[Key, Task]], by_name: dict[str, Layer],
                wanted: set[str], read_by_tasks: set[str]) -> None:
    """Marks each layer that runs inside its single reader (see the module's policies).
    `read_by_tasks` names the layers that plain tasks read (never fusable), so that the plain
    tasks, a reduction tree's or an exchange's pieces, need not be looked through one by one."""
    reads: dict[str, int] = dict.fromkeys(read_by_tasks, 2)
    fusable_reader: dict[str, Layer] = {}
    for entry in entries:
        if not isinstance(entry, Layer):
            continue
        for spec in entry.inputs:
            tag = spec[0]
            if tag in ("part", "one") and spec[1] is not None:
                name = spec[1]
                producer = by_name.get(name)
                same_shape = producer is not None and producer.count == entry.count
                reads[name] = reads.get(name, 0) + (1 if same_shape else 2)
                fusable_reader[name] = entry
            elif tag in ("all", "keys", "pieces", "each"):
                for name in input_layer_names(spec):
                    reads[name] = reads.get(name, 0) + 2
    for entry in entries:
        if isinstance(entry, Layer) and entry.name not in wanted and reads.get(entry.name) == 1:
            entry.host = fusable_reader[entry.name]


def input_layer_names(spec: Input) -> set[str]:
    tag = spec[0]
    if tag == "all":
        return {spec[1]}
    if tag == "pieces":
        return set()   # pieces are plain tasks; their splits are counted through them
    keys = spec[1] if tag == "keys" else [k for keys in spec[1] for k in keys]
    return {k if isinstance(k, str) else k[0] for k in keys}


# Emission.

def emit(entries: list[Layer | dict[Key, Task]], tasks: dict[Key, Task],
         keys: PartitionKeys) -> None:
    """The tasks of every layer that is not fused into another (with the layers fused into
    it as one program), and every plain task, in dependency order."""
    # A host comes after the layers it takes in: from the end, each layer's outermost host
    # is known by the time the layer is reached.
    for entry in reversed(entries):
        if isinstance(entry, Layer) and entry.host is not None and entry.host.host is not None:
            entry.host = entry.host.host
    for entry in entries:
        if not isinstance(entry, Layer):
            tasks.update(entry)
            continue
        if entry.host is not None:
            entry.host.fused.append(entry)
            continue
        if entry.fused or entry.fn is kernels.run_stage:
            emit_program(entry, tasks, keys)
        else:
            emit_plain(entry, tasks, keys)


class PartitionKeys:
    """The keys (name, p) of a layer's tasks, made once and shared by the tasks they name
    and by every task that reads them: a million partitions make a million keys, not one
    per task and reader."""

    def __init__(self) -> None:
        self.made: dict[str, list[Key]] = {}

    def __call__(self, name: str, count: int) -> list[Key]:
        keys = self.made.get(name)
        if keys is None or len(keys) != count:
            keys = self.made[name] = [(name, p) for p in range(count)]
        return keys


def keys_for(spec: Input, p: int | None) -> Any:
    tag = spec[0]
    if tag == "part":
        return (spec[1], p)
    if tag == "one":
        return spec[1]
    if tag == "keys":
        return spec[1]
    if tag == "pieces":
        return [(spec[1], i, p) for i in range(spec[2])]
    if tag == "all":
        return [(spec[1], i) for i in range(spec[2])]
    assert tag == "each" and p is not None
    return spec[1][p]


def column(spec: Input, count: int, keys: PartitionKeys) -> Sequence[Any]:
    """What an input gives each partition p < count: keys_for(spec, p), for all p at once."""
    tag = spec[0]
    if tag == "part":
        return keys(spec[1], count)
    if tag in ("one", "keys"):
        return [spec[1]] * count
    if tag == "pieces":
        return [[(spec[1], i, p) for i in range(spec[2])] for p in range(count)]
    if tag == "all":
        # One list for every task: no task changes its arguments.
        return [keys(spec[1], spec[2])] * count
    assert tag == "each"
    lists: list[list[Key]] = spec[1]
    return lists


def emit_partitions(tasks: dict[Key, Task], name: str, count: int, head: tuple[Any, ...],
                    specs: list[Input], keys: PartitionKeys) -> None:
    """Task (name, p) for each p < count: head, p, then each input's keys for p. The common
    shapes (no inputs, one partitioned input) are kept cheap: a million partitions pass here."""
    # The partition numbers are the keys' own: no second int per task.
    own = keys(name, count)
    if not specs:
        for key in own:
            tasks[key] = head + (key[1],)
    elif len(specs) == 1 and specs[0][0] == "part":
        for key, read in zip(own, keys(specs[0][1], count)):
            tasks[key] = head + (key[1], read)
    else:
        for key, args in zip(own, zip(*[column(spec, count, keys) for spec in specs])):
            tasks[key] = head + (key[1], *args)


def emit_plain(layer: Layer, tasks: dict[Key, Task], keys: PartitionKeys) -> None:
    fn, consts, specs = layer.fn, layer.consts, layer.inputs
    if layer.count is None:
        args = [keys_for(spec, None) for spec in specs]
        lead = (None,) if layer.with_partition else ()
        tasks[layer.name] = (fn, *consts, *lead, *args)
        return
    emit_partitions(tasks, layer.name, layer.count, (fn, *consts), specs, keys)


def emit_program(root: Layer, tasks: dict[Key, Task], keys: PartitionKeys) -> None:
    """The root's tasks run the layers fused into it (in dependency order) and then its own
    step, as one flat program shared by all its partitions."""
    layers = [*root.fused, root]
    names = {layer.name for layer in layers}
    # Slots: the task's inputs (each distinct one once), then one per step.
    inputs: list[Input] = []
    input_slot: dict[Any, int] = {}
    for layer in layers:
        for spec in layer.inputs:
            if spec[0] in ("part", "one") and spec[1] in names:
                continue
            marker = spec_marker(spec)
            if marker not in input_slot:
                input_slot[marker] = len(inputs)
                inputs.append(spec)
    assembler = programs.Assembler(len(inputs))
    result_slot: dict[str, int] = {}
    for layer in layers:
        refs = tuple([result_slot[spec[1]] if spec[0] in ("part", "one") and spec[1] in names
                      else input_slot[spec_marker(spec)] for spec in layer.inputs])
        if layer.fn is kernels.run_stage:
            result_slot[layer.name] = stage_steps(assembler, layer.consts[0], refs)
        else:
            result_slot[layer.name] = assembler.call(layer.fn, layer.consts,
                                                     layer.with_partition, refs)
    program = assembler.program()
    if root.count is None:
        tasks[root.name] = (run_program, program, None,
                            *[keys_for(spec, None) for spec in inputs])
        return
    emit_partitions(tasks, root.name, root.count, (run_program, program), inputs, keys)


def stage_steps(assembler: programs.Assembler, recipe: StageRecipe,
                refs: tuple[int, ...]) -> int:
    """A stage's members that its value needs, a step each, given the slots of the stage's
    inputs: a member then costs a call of the user's function and little more. Returns the
    slot of the stage's value."""
    # The program's slot of each of the stage's slots: its inputs, then its members.
    where = [*refs, *([0] * len(recipe.members))]
    first = recipe.inputs
    members = recipe.members
    slot = 0
    for index in recipe.reads(len(members) - 1):
        member = members[index]
        slot = where[first + index] = assembler.member(
            member.fn, member.params, [where[r] for r in member.refs], recipe, index)
    return slot


def spec_marker(spec: Input) -> Any:
    if spec[0] in ("keys", "each"):
        return (spec[0], id(spec[1]))
    return spec


def build_tasks(plan: Plan, fuse: bool = True, pieces: bool = True,
                direct_pieces: int = DIRECT_PIECES, fan_out: int = FAN_OUT,
                stored: dict[int, Entry] | None = None) -> TaskGraph:
    return Builder(plan, pieces, direct_pieces, fan_out, stored or {}).build(fuse)
