"""The executor's own cost: what `run_local` and `lower` spend per task beyond the user's
functions, with functions so trivial that nothing else is left to measure.

    python bench/bench_executor.py [--quick] [--nodes 20000] [--partitions 16] [--repeat 5]
                                   [--lower-partitions 100000 1000000] [--seed 5] [--profile]

Run by hand; the test command never runs it. Needs dask for the baseline column.

1. Running. A seeded pipeline of about --nodes recorded nodes on --partitions partitions
   (sources, chains of operations, derived features, fan-outs, exchanges and joins,
   broadcasts of single values, reductions), reduced with store.reduce(). Every function
   returns its input or a one-element list, so the run is almost all executor. run_local's
   time is split into planning (make_plan), building the task list (build_tasks) and
   executing it; its own cost per task is

       (its time - the time spent inside user functions) / the tasks it runs.

   Time inside user functions is not clocked during the run (a clock around every call
   would cost more than the calls): one extra run with counting wrappers counts the calls of
   each function, and each function's cost per call is measured alone with timeit on
   arguments like the run's; their products, summed, are the user time. The count of
   calls is exact; the per-call cost includes the call itself, so it errs towards the
   executor's favour by a few tens of nanoseconds per call.

   Baseline: dask's synchronous scheduler (dask.local.get_sync) executing the very task
   list run_local executes, and, end to end, lower(...).compute("sync"), whose dask-form
   graph makes each exchange piece a task of its own.

2. Lowering at scale. A source of N partitions (each of --lower-partitions), a chain of
   operations and a reduction, reduced: lower()'s time per task and the tracemalloc peak of
   building the graph (measured in a run of its own, since tracing slows the build), per
   task. Baseline: the least a dask graph of the same tasks costs, a
   dict of one 3-tuple per partition and the same combine tree, built by hand.

Times are the calling thread's CPU time, the least of --repeat rounds that each measure every
figure once, so that other work on a shared machine counts as little as it can. --quick
shrinks everything for development. --profile runs cProfile on both parts instead of the
table and prints the hot spots in the package.

Prints the machine's load, then one table: figure, value, baseline measured in the same run,
ratio, target.
"""

from __future__ import annotations

import argparse
import cProfile
import gc
import os
import pstats
import random
import sys
import time
import timeit
import tracemalloc
from collections import Counter
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import korvane_core
from korvane.run import Registry, lower, run_local
from korvane.run.local import execute
from korvane.run.plan import make_plan
from korvane.run.tasks import TaskGraph, build_tasks

if TYPE_CHECKING:
    from korvane_core import DescriptorFields

COMMUTATIVE = ["add", "mul", "maximum", "minimum"]
MAX_HEADS = 24
SPLIT_EVERY = 8
OWN_TARGET_US = 20.0
LOWER_TARGET_US = 10.0
LOWER_TARGET_BYTES = 500.0


# What the nodes do: as little as a function can.

def read(params: Any, i: int) -> list[int]:
    return [i]


def unary(params: Any, part: Any) -> Any:
    return part


def binary(params: Any, left: Any, right: Any = None) -> Any:
    return left


def step(params: Any, part: Any) -> int:
    return 1


def combine(params: Any, partials: list[Any]) -> Any:
    return partials[0]


def split(params: Any, part: Any, n: int) -> list[Any]:
    return [part] * n


def concat(params: Any, pieces: list[Any]) -> Any:
    return pieces[0]


def join(params: Any, left: Any, right: Any) -> Any:
    return left


def load(descriptor: Any) -> int:
    return 0


def apply(payload: Any, params: Any, part: Any) -> Any:
    return part


# Each registered function, with arguments like the ones the run gives it, for timing a call.
FUNCTIONS: dict[str, tuple[Callable[..., Any], tuple[Any, ...]]] = {
    "read": (read, ({"parts": 16}, 3)),
    "unary": (unary, ({"col": "x"}, [3])),
    "binary": (binary, ({}, [3], [4])),
    "step": (step, ({"axis": 0}, [3])),
    "combine": (combine, ({"axis": 0}, [1] * SPLIT_EVERY)),
    "split": (split, ({"key": "k"}, [3], 16)),
    "concat": (concat, ({"key": "k"}, [[3]] * 16)),
    "join": (join, ({"on": "k"}, [3], [4])),
    "load": (load, ({},)),
    "apply": (apply, (0, {"batch": 64}, [3])),
}


def registry(wrap: Callable[[str, Callable[..., Any]], Callable[..., Any]] | None = None) -> Registry:
    """The registry of trivial functions; `wrap(name, fn)` replaces each (to count calls)."""
    fn = {name: (wrap(name, f) if wrap else f) for name, (f, _) in FUNCTIONS.items()}
    r = Registry()
    r.source("read", partitions=lambda params: int(params["parts"]))(fn["read"])
    r.op("map")(fn["unary"])
    r.op("mix")(fn["unary"])
    r.op("scale")(fn["unary"])
    for name in [*COMMUTATIVE, "sub"]:
        r.op(name)(fn["binary"])
    r.reduction("sum", step=fn["step"], combine=fn["combine"], split_every=SPLIT_EVERY)
    r.exchange(split=fn["split"], concat=fn["concat"])
    r.join(fn["join"])
    r.external("model", load=fn["load"], apply=fn["apply"])
    return r


def counting_registry() -> tuple[Registry, Counter[str]]:
    calls: Counter[str] = Counter()

    def wrap(name: str, f: Callable[..., Any]) -> Callable[..., Any]:
        def counted(*args: Any) -> Any:
            calls[name] += 1
            return f(*args)
        return counted
    return registry(wrap), calls


def per_call_seconds() -> dict[str, float]:
    """Each function's cost per call, called directly: the best of a few timeit rounds."""
    costs = {}
    for name, (f, args) in FUNCTIONS.items():
        timer = timeit.Timer("f(*args)", timer=time.thread_time, globals={"f": f, "args": args})
        number, _ = timer.autorange()
        costs[name] = min(timer.repeat(5, number)) / number
    return costs


def user_seconds(calls: Counter[str], costs: dict[str, float]) -> float:
    return sum(count * costs[name] for name, count in calls.items())


# The pipelines.

def generate(nodes: int, partitions: int, seed: int) -> tuple[korvane_core.GraphStore, list[int]]:
    """About `nodes` recorded nodes, and its outputs: the shape of bench_run.py's pipelines
    (chains of operations, derived features, fan-outs, commutative combinations of branches,
    exchanges and joins, models, dead branches, reductions as outputs), plus now and then a
    reduction's result broadcast back into a branch."""
    rng = random.Random(seed)
    s = korvane_core.GraphStore()
    heads: list[int] = []
    outputs: list[int] = []
    tables = 0

    def read_table() -> None:
        nonlocal tables
        heads.append(s.add_source("read", {"table": tables, "parts": partitions}))
        tables += 1

    def op(h: int) -> int:
        if rng.random() < 0.2:
            return s.add_op("mix", [h], {"col": rng.choice("xyz")})
        return s.add_op("map", [h], {"col": rng.choice("xyz"), "arg": rng.randrange(4)})

    def shuffled(h: int) -> int:
        return s.add_exchange([h], {"key": "k"})

    for _ in range(3):
        read_table()
    while s.node_count() < nodes:
        if len(heads) < 3 or rng.random() < 0.01:
            read_table()
            continue
        i = rng.randrange(len(heads))
        h = heads[i]
        r = rng.random()
        if r < 0.12:
            heads[i] = s.add_op(rng.choice([*COMMUTATIVE, "sub"]), [op(h), op(h)])
        elif r < 0.64 or len(heads) > MAX_HEADS and r < 0.9:
            node = op(h)
            if rng.random() < 0.05:
                heads.append(node)
            else:
                heads[i] = node
        elif r < 0.76:
            j = rng.randrange(len(heads))
            name = rng.choice(COMMUTATIVE)
            heads[i] = s.add_op(name, [h, heads[j]])
            if rng.random() < 0.4:
                heads.append(s.add_op(name, [heads[j], h]))
        elif r < 0.80:
            # A total broadcast back: an operation on a reduction's result, then combined
            # with every partition.
            total = s.add_op("scale", [s.add_reduction("sum", [op(h)], {"axis": 0})])
            heads[i] = s.add_op("mul", [h, total])
        elif r < 0.84:
            outputs.append(s.add_reduction("sum", [heads.pop(i)], {"axis": 0}))
        elif r < 0.86:
            heads[i] = shuffled(h)
        elif r < 0.89:
            j = rng.randrange(len(heads))
            heads[i] = s.add_join([shuffled(h), shuffled(heads[j])], {"on": "k"})
        elif r < 0.91:
            model: DescriptorFields = {"kind": "model", "content_hash": f"h{rng.randrange(4)}",
                                       "framework": "none", "version": "1", "io_schema": "x"}
            heads[i] = s.add_external(model, [h], {"batch": 64})
        elif r < 0.93:
            dead = h
            for _ in range(rng.randrange(2, 8)):
                dead = op(dead)
        else:
            heads[i] = op(h)
    outputs.extend(s.add_reduction("sum", [h], {"axis": 0}) for h in heads)
    return s, outputs


def wide(partitions: int, chain: int = 4) -> korvane_core.GraphStore:
    """A source of `partitions` partitions, a chain of operations and a reduction, reduced."""
    s = korvane_core.GraphStore()
    h = s.add_source("read", {"table": 0, "parts": partitions})
    for k in range(chain):
        h = s.add_op("map", [h], {"col": "x", "arg": k})
    total = s.add_reduction("sum", [h], {"axis": 0})
    reduced, _ = s.reduce(outputs=[total])
    return reduced


def floor_graph(partitions: int) -> dict[Any, Any]:
    """The least a dask graph of the wide pipeline's tasks costs: a 3-tuple per partition,
    then the same combine tree, by hand."""
    graph: dict[Any, Any] = {("part", p): (unary, None, p) for p in range(partitions)}
    level: list[Any] = [("part", p) for p in range(partitions)]
    depth = 0
    while len(level) > SPLIT_EVERY:
        depth += 1
        groups = [level[k:k + SPLIT_EVERY] for k in range(0, len(level), SPLIT_EVERY)]
        level = []
        for j, group in enumerate(groups):
            graph[("combine", depth, j)] = (combine, None, group)
            level.append(("combine", depth, j))
    graph["total"] = (combine, None, level)
    return graph


# Measuring.

class Clock:
    """The least thread CPU time of each figure over the rounds. Everything measured runs in
    the calling thread (dask's get_sync included), and its CPU time leaves out whatever else
    a shared machine runs; each round measures every figure once, so that a busy spell
    touches them all alike."""

    def __init__(self) -> None:
        self.best: dict[str, float] = {}

    def __call__(self, figure: str, fn: Callable[[], Any]) -> Any:
        gc.collect()
        start = time.thread_time()
        result = fn()
        spent = time.thread_time() - start
        self.best[figure] = min(spent, self.best.get(figure, spent))
        return result


def traced_peak(fn: Callable[[], Any]) -> tuple[int, int]:
    """(peak, retained) bytes allocated while `fn` runs, by tracemalloc, the result kept alive
    until both are read."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = fn()
        current, peak = tracemalloc.get_traced_memory()
        del result
    finally:
        tracemalloc.stop()
    return peak - before, current - before


def flat(graph: TaskGraph) -> list[Any]:
    keys: list[Any] = []
    for target in [*graph.outputs.values(), *graph.members.values()]:
        keys.extend(target if isinstance(target, list) else [target])
    return keys


class Table:
    """Rows printed as they are measured; the header before the first."""

    def __init__(self) -> None:
        self.started = False

    def row(self, figure: str, value: float, baseline: float | None, unit: str,
            target: str = "") -> None:
        if not self.started:
            print(f"\n{'figure':<64}  {'value':>12}  {'baseline':>12}  {'ratio':>7}  target")
            self.started = True

        def cell(x: float | None) -> str:
            if x is None:
                return "-"
            return f"{x:,.0f} {unit}" if unit in ("tasks", "B") else f"{x:.3f} {unit}"
        ratio = f"{value / baseline:.2f}x" if baseline else "-"
        print(f"{figure:<64}  {cell(value):>12}  {cell(baseline):>12}  {ratio:>7}  {target}",
              flush=True)


def load_average() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def running(table: Table, args: argparse.Namespace) -> None:
    from dask.local import get_sync

    store, outputs = generate(args.nodes, args.partitions, args.seed)
    reduced, _ = store.reduce(outputs=outputs)
    reg = registry()
    counted_reg, calls = counting_registry()
    run_local(reduced, counted_reg)
    costs = per_call_seconds()
    user = user_seconds(calls, costs)

    n_dask = len(lower(reduced, reg).graph)
    if dict(run_local(reduced, reg)) != dict(lower(reduced, reg).compute("sync")):
        raise SystemExit("run_local and dask's get_sync computed different values")
    clock = Clock()
    for _ in range(args.repeat):
        # Whole runs first, while nothing else is alive; then the phases, each with what a
        # run holds alive at that point (a live heap makes the garbage collector dearer).
        clock("run_local", lambda: run_local(reduced, reg))
        clock("lower + compute", lambda: lower(reduced, reg).compute("sync"))
        # As run_local plans with no cache: no fingerprints, since no key leaves the process.
        plan = clock("plan", lambda: make_plan(reduced, reg, fingerprinted=False))
        graph = clock("build", lambda: build_tasks(plan, pieces=False))
        del plan
        clock("execute", lambda: execute(graph))
        keys = flat(graph)
        clock("get_sync", lambda: get_sync(graph.tasks, keys))
        n = len(graph.tasks)
        del graph
    total_s, end_to_end_s = clock.best["run_local"], clock.best["lower + compute"]
    plan_s, build_s = clock.best["plan"], clock.best["build"]
    execute_s, dask_s = clock.best["execute"], clock.best["get_sync"]

    print(f"running: {store.node_count():,} recorded nodes, {reduced.node_count():,} reduced, "
          f"{len(outputs)} outputs, {args.partitions} partitions; {sum(calls.values()):,} user "
          f"calls, {user * 1e3:.1f} ms inside them (per call: "
          + ", ".join(f"{name} {costs[name] * 1e9:.0f} ns" for name in sorted(calls)) + ")")
    us = 1e6 / n
    table.row("tasks run: run_local's list / lower()'s dask form", n, n_dask, "tasks")
    table.row("own cost per task: run_local / plan + build + dask get_sync", (total_s - user) * us,
              (plan_s + build_s + dask_s - user) * us, "us", f"<= {OWN_TARGET_US:.0f} us")
    table.row("  planning: make_plan, per task", plan_s * us, None, "us")
    table.row("  building: build_tasks, per task", build_s * us, None, "us")
    table.row("  executing, own, per task / get_sync, same tasks", (execute_s - user) * us,
              (dask_s - user) * us, "us")
    table.row("run_local total / lower(...).compute('sync') total", total_s, end_to_end_s, "s")


def lowering(table: Table, args: argparse.Namespace) -> None:
    reg = registry()
    for partitions in args.lower_partitions:
        store = wide(partitions)
        clock = Clock()
        for _ in range(args.repeat):
            n = len(clock("lower", lambda: lower(store, reg)).graph)
            n_floor = len(clock("floor", lambda: floor_graph(partitions)))
        lower_s, floor_s = clock.best["lower"], clock.best["floor"]
        peak, retained = traced_peak(lambda: lower(store, reg))
        floor_peak, floor_retained = traced_peak(lambda: floor_graph(partitions))
        what = f"lower, {partitions:,} partitions"
        table.row(f"{what}: tasks / hand-built dict", n, n_floor, "tasks")
        table.row(f"{what}: time per task", lower_s * 1e6 / n, floor_s * 1e6 / n_floor, "us",
                  f"<= {LOWER_TARGET_US:.0f} us")
        table.row(f"{what}: peak memory per task", peak / n, floor_peak / n_floor, "B",
                  f"<= {LOWER_TARGET_BYTES:.0f} B")
        table.row(f"{what}: the graph's memory per task", retained / n, floor_retained / n_floor,
                  "B")


def profiled(args: argparse.Namespace) -> None:
    """cProfile of one run_local of the running pipeline and one lower() of the largest wide
    one: the package's functions by their own time."""
    store, outputs = generate(args.nodes, args.partitions, args.seed)
    reduced, _ = store.reduce(outputs=outputs)
    reg = registry()
    wide_store = wide(max(args.lower_partitions))
    for what, fn in [("run_local", lambda: run_local(reduced, reg)),
                     ("lower", lambda: lower(wide_store, reg))]:
        profile = cProfile.Profile()
        profile.runcall(fn)
        print(f"\n--- {what}: by own time")
        stats = pstats.Stats(profile)
        stats.sort_stats("tottime").print_stats("korvane/run", 25)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="everything shrunk, for development")
    parser.add_argument("--nodes", type=int, default=None)
    parser.add_argument("--partitions", type=int, default=16)
    parser.add_argument("--repeat", type=int, default=5, help="rounds; the best of each counts")
    parser.add_argument("--lower-partitions", type=int, nargs="+", default=None)
    parser.add_argument("--seed", type=int, default=5)
    parser.add_argument("--profile", action="store_true")
    args = parser.parse_args(argv)
    if args.nodes is None:
        args.nodes = 2_000 if args.quick else 20_000
    if args.lower_partitions is None:
        args.lower_partitions = [10_000, 100_000] if args.quick else [100_000, 1_000_000]
    if args.profile:
        profiled(args)
        return 0
    print(f"load average at start: {load_average()} ({os.cpu_count()} cores)")
    table = Table()
    running(table, args)
    lowering(table, args)
    print(f"\nload average at end: {load_average()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
