"""Recording a large pipeline from Python: korvane_core.GraphStore against a
pure-Python interning table.

Workload: 1,000 sources, then 999,000 add_op calls, each a new node with one
input and two params (an int and a float): ops form chains, one per source,
each op taking the previous op of a random chain as its input.

Baseline: the same calls interning tuples in a dict, keyed by
(kind, name, sorted params, inputs), ids handed out densely; both sides hand
out the same ids.

Rows, both sides timed in this process, in alternating order:
  - new node: the op loop on a fresh store (every call adds a node), against
    the loop interning every key into a fresh dict;
  - node already present: the same loop again on the filled store (every
    call returns an existing id), against the same interning function on the
    filled dict (every call builds its key and finds it).
Each loop is the plain Python `for` around the call, as a user writes it.
Times are CPU time of this process per call, best of --repeat repetitions,
which keeps other processes on the machine out of the figure better than
wall-clock time. The baseline runs with the cyclic garbage collector on, as
Python programs do; it walks the growing table of key tuples, which is about
half of the baseline's cost for new nodes, so a line shows the baseline with
the collector off as well.

Memory: the growth of the peak resident set while recording the new nodes
(the peak is reset after the workload is generated), per stored node, each
side in a fresh process; for the store that is its arena, index and
allocator overhead, for the baseline the dict, the key tuples and the id ints.

Run: PYTHONPATH=build-dev python3 bench/bench_build.py
"""
import argparse
import gc
import json
import os
import random
import subprocess
import sys
import time

SOURCES = 1_000
CALLS = 999_000
NAMES = ["map", "filter", "project", "join_keys", "scale", "cast", "hash", "window"]


def workload(seed=7):
    """Source params, then op calls as (name, inputs, params); every op is new."""
    rng = random.Random(seed)
    sources = [{"shard": i, "path": f"/data/part-{i:04d}"} for i in range(SOURCES)]
    chain_tail = list(range(SOURCES))
    calls = []
    for k in range(CALLS):
        chain = rng.randrange(SOURCES)
        calls.append((NAMES[k % len(NAMES)], [chain_tail[chain]],
                      {"alpha": k, "beta": (k % 17) * 0.25}))
        chain_tail[chain] = SOURCES + k
    return sources, calls


class StoreSide:
    label = "GraphStore"

    def __init__(self, sources):
        import korvane_core

        self.store = korvane_core.GraphStore()
        for params in sources:
            self.store.add_source("src", params)

    def run(self, calls):
        add_op = self.store.add_op
        start = time.process_time_ns()
        for name, inputs, params in calls:
            add_op(name, inputs, params)
        return time.process_time_ns() - start

    def size(self):
        return self.store.node_count()

    def record(self, name, inputs, params):
        return self.store.add_op(name, inputs, params)


class DictSide:
    label = "dict baseline"

    def __init__(self, sources):
        self.table = table = {}

        def intern(kind, name, params, inputs):
            key = (kind, name, tuple(sorted(params.items())), tuple(inputs))
            node = table.get(key)
            if node is None:
                node = table[key] = len(table)
            return node

        self.intern = intern
        for params in sources:
            intern("source", "src", params, ())

    def run(self, calls):
        intern = self.intern
        start = time.process_time_ns()
        for name, inputs, params in calls:
            intern("op", name, params, inputs)
        return time.process_time_ns() - start

    def size(self):
        return len(self.table)

    def record(self, name, inputs, params):
        return self.intern("op", name, params, inputs)


class DictSideWithoutGc(DictSide):
    """The baseline with the cyclic collector off while it runs: how much of
    its cost is the collector walking the growing table of tuples."""

    label = "dict baseline, gc off"

    def run(self, calls):
        gc.disable()
        try:
            return super().run(calls)
        finally:
            gc.enable()


SIDES = {"store": StoreSide, "baseline": DictSide, "baseline_gc_off": DictSideWithoutGc}


def repetition(side_class, sources, calls):
    """(ns per new-node call, ns per present-node call) for one fresh side."""
    gc.collect()
    side = side_class(sources)
    fresh = side.run(calls)
    expected = SOURCES + len(calls)
    if side.size() != expected:
        raise SystemExit(f"{side.label}: {side.size()} nodes after the new calls, expected {expected}")
    present = side.run(calls)
    if side.size() != expected:
        raise SystemExit(f"{side.label}: the repeated calls added nodes")
    return fresh / len(calls), present / len(calls), side


def check_same_ids(store, baseline, calls):
    """Both sides must hand out the same ids, so they do the same work."""
    rng = random.Random(11)
    for name, inputs, params in rng.sample(calls, 1_000):
        if store.record(name, inputs, params) != baseline.record(name, inputs, params):
            raise SystemExit("the store and the baseline disagree about an id")


def timing(repeat):
    sources, calls = workload()
    gc.collect()
    gc.freeze()  # the workload stays alive; keep the collector off it
    results = {side: [] for side in SIDES}
    for r in range(repeat):
        # Alternate which side goes first, so drift in the machine's state
        # does not favour one of them.
        order = list(SIDES) if r % 2 == 0 else list(reversed(SIDES))
        kept = {}
        for name in order:
            fresh, present, kept[name] = repetition(SIDES[name], sources, calls)
            results[name].append((fresh, present))
        if r == 0:
            check_same_ids(kept["store"], kept["baseline"], calls)
            check_same_ids(kept["store"], kept["baseline_gc_off"], calls)
        del kept
    return results, len(calls)


def reset_peak_rss():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not found")


def memory_child(side_name):
    """Peak resident bytes per stored node while recording the new nodes."""
    sources, calls = workload()
    gc.collect()
    gc.freeze()
    reset_peak_rss()
    before = rss_kib("VmRSS")
    side = SIDES[side_name](sources)
    side.run(calls)
    peak = rss_kib("VmHWM")
    return {"bytes_per_node": (peak - before) * 1024 / side.size()}


def memory(side_name):
    result = subprocess.run([sys.executable, __file__, "--memory-side", side_name], check=True,
                            capture_output=True, text=True)
    return json.loads(result.stdout)["bytes_per_node"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-memory", action="store_true", help="skip the memory row")
    parser.add_argument("--memory-side", choices=["store", "baseline"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_side:
        print(json.dumps(memory_child(args.memory_side)))
        return

    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    results, calls = timing(args.repeat)
    best = {side: [min(r[i] for r in runs) for i in range(2)] for side, runs in results.items()}
    print(f"{SOURCES} sources + {calls} add_op calls (one input, two params) -> "
          f"{SOURCES + calls} nodes; CPU ns per call, best of {args.repeat}")
    print(f"{'measure':<30}{'GraphStore':>12}{'dict baseline':>15}{'ratio':>10}   target")
    rows = [("add_op, new node", 0), ("add_op, node already present", 1)]
    for label, i in rows:
        store, baseline = best["store"][i], best["baseline"][i]
        print(f"{label:<30}{store:>12.0f}{baseline:>15.0f}{baseline / store:>9.2f}x   >= 3x faster")
    if not args.no_memory:
        store, baseline = memory("store"), memory("baseline")
        print(f"{'peak bytes per node':<30}{store:>12.0f}{baseline:>15.0f}"
              f"{baseline / store:>9.2f}x   >= 2x smaller")
    off = best["baseline_gc_off"]
    print(f"the baseline with the cyclic GC off: new node {off[0]:.0f} ns "
          f"({off[0] / best['store'][0]:.2f}x the store), present {off[1]:.0f} ns "
          f"({off[1] / best['store'][1]:.2f}x)")
    print("ratios per repetition (new, present): " + ", ".join(
        f"{b[0] / s[0]:.2f}/{b[1] / s[1]:.2f}" for s, b in zip(results["store"], results["baseline"])))
    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
