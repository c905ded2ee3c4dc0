"""Running a partitioned pipeline on dask: the recorded store lowered to dask and optimized
by dask's own low-level optimizer, against the store reduced first and then lowered.

    python bench/bench_run.py [--nodes 1500] [--partitions 32] [--rows 100] [--seed 3] [--repeat 1]

Needs the package with the bench extra (dask, distributed, pandas). One run builds a seeded
pipeline of pandas partitions (thousands of recorded nodes, small partitions, so that the
cost of scheduling a task matters) and computes its outputs twice on a two-worker
LocalCluster (loopback only) and twice on the threaded scheduler:

  (a) baseline: lower the store as recorded, then dask.optimization.cull and fuse_linear;
  (b) reduce the store, then lower the reduced store (no dask optimization), with the
      default fusion rule and with maximal_fusion; and once with the default rule but
      without the lowering's fusion of single readers, a task per partition of every stage
      and boundary node.

Prints the machine's load, then one table: task counts, optimize time (cull + fuse_linear
for (a), reduce for (b)), compute time and their sum, each against (a) with the ratio.
Lowering is timed and shown apart. Results of (a) and (b) are checked to be equal.
"""

from __future__ import annotations

import argparse
import importlib
import logging
import os
import random
import sys
import time
from typing import Any

import numpy as np
import pandas as pd
from dask import optimization as dask_optimization
from dask.threaded import get as threaded_get
from distributed import Client, LocalCluster

import korvane_core
from korvane.run import Registry, landing_of, lower

VALUES = ["x", "y", "z"]
COMMUTATIVE = ["add", "mul", "maximum", "minimum"]
IDENTITIES = [("add", 0.0, "r"), ("add", 0.0, "l"), ("mul", 1.0, "r"), ("mul", 1.0, "l")]
MAX_HEADS = 24
# The (b) variants: their name, the reduction's fusion rule, and the lowering's own fusion.
VARIANTS = [("default fusion", False, True), ("maximal fusion", True, True),
            ("default fusion, a task per node", False, False)]


# What the nodes do. Partitions are small frames with a float key and three float values;
# every operation keeps that shape, so any operation can follow any other.

def read(params: Any, i: int) -> pd.DataFrame:
    rng = np.random.default_rng([params["seed"], params["table"], i])
    rows = params["rows"]
    frame = pd.DataFrame({"key": rng.integers(0, 1000, rows).astype(float)})
    for column in VALUES:
        frame[column] = rng.normal(size=rows)
    return frame


def elementwise(params: Any, frame: pd.DataFrame) -> pd.DataFrame:
    column, fn, arg = params["col"], params["fn"], params["arg"]
    values = frame[column]
    if fn == "scale":
        values = values * (1 + arg / 10)
    elif fn == "shift":
        values = values + arg
    elif fn == "clip":
        values = values.clip(-arg - 1, arg + 1)
    elif fn == "tanh":
        values = np.tanh(values / (arg + 1))
    else:
        values = values.round(arg)
    return frame.assign(**{column: values})


def mix(params: Any, frame: pd.DataFrame) -> pd.DataFrame:
    return frame.assign(**{params["into"]: frame[params["into"]] * 0.5 + frame[params["col"]] * 0.5})


def binary(name: str) -> Any:
    """Two frames combined row by row (as far as the shorter reaches); the key is the smaller
    of the two, so the commutative ones really are."""
    fn = {"add": np.add, "mul": np.multiply, "maximum": np.maximum, "minimum": np.minimum,
          "sub": np.subtract}[name]

    def combine(params: Any, left: pd.DataFrame, right: pd.DataFrame | None = None) -> pd.DataFrame:
        if right is None:  # an identity form: add or mul with a scalar
            return left.assign(**{c: fn(left[c].to_numpy(), params["scalar"]) for c in VALUES})
        rows = min(len(left), len(right))
        a, b = left.iloc[:rows], right.iloc[:rows]
        out = {"key": np.minimum(a["key"].to_numpy(), b["key"].to_numpy())}
        out.update({c: fn(a[c].to_numpy(), b[c].to_numpy()) for c in VALUES})
        return pd.DataFrame(out)
    return combine


def split(params: Any, frame: pd.DataFrame, n: int) -> list[pd.DataFrame]:
    bucket = frame["key"].to_numpy().astype(np.int64) % n
    return [frame[bucket == j] for j in range(n)]


def concat(params: Any, pieces: list[pd.DataFrame]) -> pd.DataFrame:
    return pd.concat(pieces, ignore_index=True)


def join(params: Any, left: pd.DataFrame, right: pd.DataFrame) -> pd.DataFrame:
    """A left join on the key against the right side's first row per key; the right values
    are added in where they match."""
    right = right.drop_duplicates("key")
    merged = left.merge(right, on="key", how="left", suffixes=("", "_r"))
    return pd.DataFrame({"key": merged["key"], **{c: merged[c] + merged[c + "_r"].fillna(0.0)
                                                 for c in VALUES}})


def load_model(descriptor: Any) -> np.ndarray:
    seed = int(descriptor["content_hash"].split(":")[1], 16)
    return np.random.default_rng(seed).normal(size=(3, 3)) / 3


def apply_model(weights: np.ndarray, params: Any, frame: pd.DataFrame) -> pd.DataFrame:
    scored = frame[VALUES].to_numpy() @ weights
    return frame.assign(**{c: scored[:, k] for k, c in enumerate(VALUES)})


def registry() -> Registry:
    r = Registry()
    r.source("read", partitions=lambda params: params["parts"])(read)
    r.op("map")(elementwise)
    r.op("mix")(mix)
    for name in COMMUTATIVE + ["sub"]:
        r.op(name)(binary(name))
    r.reduction("sum", step=lambda params, frame: frame[VALUES].sum(),
                combine=lambda params, partials: sum(partials[1:], partials[0]))
    r.exchange(split=split, concat=concat)
    r.join(join)
    r.external("model", load=load_model, apply=apply_model)
    return r


# The pipeline.

def generate(nodes: int, partitions: int, rows: int, seed: int) -> tuple[korvane_core.GraphStore, list[int]]:
    """A seeded pipeline of about `nodes` recorded nodes, and its outputs.

    A few tables are read; branches grow mostly by map-like operations with parameters and
    by derived features (two expressions of one frame combined), and now and then fan out,
    combine two branches commutatively (the same combination is sometimes written again with
    the operands swapped, elsewhere), apply an identity operation (adding 0.0, multiplying by
    1.0), shuffle by key and join, or run a model. Branches end in a sum, which is an output;
    some are abandoned (dead code)."""
    rng = random.Random(seed)
    s = korvane_core.GraphStore()
    heads: list[int] = []
    outputs: list[int] = []
    tables = 0

    def read_table() -> None:
        nonlocal tables
        heads.append(s.add_source("read", {"table": tables, "parts": partitions, "rows": rows,
                                           "seed": seed}))
        tables += 1

    def step(h: int) -> int:
        if rng.random() < 0.2:
            into, col = rng.sample(VALUES, 2)
            return s.add_op("mix", [h], {"into": into, "col": col})
        return s.add_op("map", [h], {"col": rng.choice(VALUES), "arg": rng.randrange(4),
                                      "fn": rng.choice(["scale", "shift", "clip", "tanh", "round"])})

    def shuffled(h: int) -> int:
        return s.add_exchange([h], {"scheme": "hash", "key": "key"})

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
            # A derived feature: two expressions of one frame, combined ("a = f(df);
            # b = g(df); df = a * b"), the commonest shape of dataframe code.
            heads[i] = s.add_op(rng.choice(COMMUTATIVE + ["sub"]), [step(h), step(h)])
        elif r < 0.64 or len(heads) > MAX_HEADS and r < 0.9:
            node = step(h)
            if rng.random() < 0.05:
                heads.append(node)      # fan-out: the old head keeps its place too
            else:
                heads[i] = node
        elif r < 0.76:
            j = rng.randrange(len(heads))
            name = rng.choice(COMMUTATIVE)
            heads[i] = s.add_op(name, [h, heads[j]])
            if rng.random() < 0.4:      # the same combination, written the other way round
                heads.append(s.add_op(name, [heads[j], h]))
        elif r < 0.80:
            name, scalar, side = rng.choice(IDENTITIES)
            heads[i] = s.add_op(name, [h], {"scalar": scalar, "side": side})
        elif r < 0.82:
            heads[i] = s.add_op("sub", [h, heads[rng.randrange(len(heads))]])
        elif r < 0.86:
            outputs.append(s.add_reduction("sum", [heads.pop(i)], {"axis": 0}))
        elif r < 0.88:
            heads[i] = shuffled(h)
        elif r < 0.91:
            j = rng.randrange(len(heads))
            heads[i] = s.add_join([shuffled(h), shuffled(heads[j])], {"how": "left", "on": "key"})
        elif r < 0.93:
            model = {"kind": "model", "content_hash": f"sha256:{rng.randrange(4):04x}",
                     "framework": "numpy", "version": "2", "io_schema": "x,y,z -> x,y,z"}
            heads[i] = s.add_external(model, [h], {"batch": 64})
        elif r < 0.95:
            dead = h                    # a branch nobody reads again
            for _ in range(rng.randrange(2, 8)):
                dead = step(dead)
        else:
            heads[i] = step(h)
    outputs.extend(s.add_reduction("sum", [h], {"axis": 0}) for h in heads)
    return s, outputs


# Measuring.

def timed(fn: Any) -> tuple[float, Any]:
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def flat_keys(lowered: Any) -> list[Any]:
    return [k for target in lowered.keys() for k in (target if isinstance(target, list) else [target])]


def dask_optimized(lowered: Any) -> dict[Any, Any]:
    keys = flat_keys(lowered)
    culled, dependencies = dask_optimization.cull(lowered.graph, keys)
    fused, _ = dask_optimization.fuse_linear(culled, keys, dependencies=dependencies)
    return fused


def same(a: Any, b: Any) -> bool:
    return bool(np.allclose(a.to_numpy(), b.to_numpy(), rtol=1e-12, atol=1e-12, equal_nan=True))


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=1500)
    parser.add_argument("--partitions", type=int, default=32)
    parser.add_argument("--rows", type=int, default=100)
    parser.add_argument("--seed", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=1,
                        help="computations of each variant, alternating; the best time counts")
    args = parser.parse_args(argv)

    print(f"load average at start: {load()} ({os.cpu_count()} cores)")
    store, outputs = generate(args.nodes, args.partitions, args.rows, args.seed)
    # The registry's functions from this file imported as a module, as a deployment would have
    # them: workers (which get this directory on their path) import them by name instead of
    # receiving their code with every task.
    reg = importlib.import_module("bench_run").registry()

    # (a): the recorded store, lowered, then dask's cull + fuse_linear.
    lower_a, recorded = timed(lambda: lower(store, reg, outputs, fuse=False))
    optimize_a, graph_a = timed(lambda: dask_optimized(recorded))
    # (b): reduce, then lower; with each fusion rule, and once more without the lowering's
    # own fusion of single readers (a task per partition of every stage and boundary node),
    # to show what the reduction alone gives.
    variants = {}
    for rule, maximal, fuse in VARIANTS:
        optimize_b, (reduced, report) = timed(lambda: store.reduce(outputs=outputs,
                                                                   maximal_fusion=maximal))
        lower_b, lowered = timed(lambda: lower(reduced, reg, fuse=fuse))
        variants[rule] = (optimize_b, lower_b, reduced, report, lowered)
    report = variants[VARIANTS[0][0]][3]
    print(f"pipeline: {store.node_count()} recorded nodes, {len(outputs)} outputs, "
          f"{args.partitions} partitions of {args.rows} rows; reduced: {report}")
    print(f"tasks as recorded before dask's optimization: {len(recorded.graph)}")

    def results_a(get: Any) -> Any:
        return recorded.results(get(graph_a, recorded.keys()))

    def check(a: Any, rule: str, b: Any) -> None:
        reduced = variants[rule][2]
        for o in outputs:
            assert same(a[o], b[landing_of(store, reduced, o)[0]]), f"output {o} differs"

    # Rows are printed as they are measured: the cluster runs of a large pipeline take minutes.
    print(f"\n{'figure':<72}  {'(b)':>12}  {'(a) baseline':>12}  ratio", flush=True)

    def row(figure: str, value: float, baseline: float, unit: str = "s") -> None:
        if unit == "tasks":
            cells = f"{value:>12,.0f}  {baseline:>12,.0f}  {value / baseline:.2f}x the tasks"
        else:
            cells = f"{value:>10.3f} s  {baseline:>10.3f} s  {baseline / value:.2f}x faster"
        print(f"{figure:<72}  {cells}", flush=True)

    for rule in variants:
        optimize_b, lower_b, _, _, lowered = variants[rule]
        row(f"tasks, reduced ({rule})", len(lowered.graph), len(graph_a), "tasks")
        row(f"optimize: reduce ({rule}) / cull + fuse_linear", optimize_b, optimize_a)
        row(f"lower ({rule})", lower_b, lower_a)

    def compare(where: str, get: Any) -> None:
        """(a) and both (b)s, alternating `repeat` times so that a change of the machine's
        load meanwhile touches all alike; the best time of each."""
        best_a, best_b = float("inf"), {rule: float("inf") for rule in variants}
        for _ in range(args.repeat):
            compute_a, a = timed(lambda: results_a(get))
            best_a = min(best_a, compute_a)
            for rule in variants:
                compute_b, b = timed(lambda: variants[rule][4].compute(get))
                check(a, rule, b)
                best_b[rule] = min(best_b[rule], compute_b)
        for rule in variants:
            optimize_b, lower_b = variants[rule][:2]
            row(f"compute on {where} ({rule})", best_b[rule], best_a)
            row(f"optimize + compute on {where} ({rule})", optimize_b + best_b[rule],
                optimize_a + best_a)
            row(f"lower + optimize + compute on {where} ({rule})",
                lower_b + optimize_b + best_b[rule], lower_a + optimize_a + best_a)

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        # Warm the workers up (imports, the registry's functions) on a small graph.
        lower(store, reg, outputs[:1]).compute(client)
        compare("cluster", client.get)
    compare("threads", threaded_get)

    print(f"\nload average at end: {load()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
