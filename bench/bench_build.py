"""Recording a large pipeline from Python: korvane_core.GraphStore against a
pure-Python interning table.

Workload: 1,000 sources and 999,000 op calls (1,000,000 recording calls in
all). Ops form chains, one per source: each op takes the previous op of its
chain and one random earlier node as inputs, and two params (an int and a
float). About 10% of the op calls repeat an earlier op exactly (with fresh
list and dict objects), so they must come back with the earlier id.

Baseline: the same calls interning tuples in a dict, keyed by
(kind, name, sorted params, inputs), ids handed out densely.

Each side runs in a fresh process. Time is the op loop only (ns per call,
best of --repeat runs). Memory is the growth of the process's peak resident
set while recording (the peak is reset after the workload is generated), per
distinct stored node; for the store that is its arena, index and allocator
overhead, for the baseline the dict, the key tuples and the id ints.

Run: PYTHONPATH=build-dev python3 bench/bench_build.py
"""
import argparse
import gc
import json
import random
import subprocess
import sys
import time

SOURCES = 1_000
CALLS = 1_000_000
DUPLICATE_SHARE = 0.10
NAMES = ["map", "filter", "project", "join_keys", "scale", "cast", "hash", "window"]


def workload(seed=7):
    """(sources, op calls, distinct node count); op calls are (name, inputs, params)."""
    rng = random.Random(seed)
    sources = [("src", {"shard": i, "path": f"/data/part-{i:04d}"}) for i in range(SOURCES)]
    chain_tail = list(range(SOURCES))
    distinct = SOURCES
    originals = []
    calls = []
    for k in range(CALLS - SOURCES):
        if originals and rng.random() < DUPLICATE_SHARE:
            name, inputs, params = originals[rng.randrange(len(originals))]
            calls.append((name, list(inputs), dict(params)))
            continue
        chain = rng.randrange(SOURCES)
        inputs = [chain_tail[chain], rng.randrange(distinct)]
        params = {"alpha": k, "beta": (k % 17) * 0.25}
        call = (NAMES[k % len(NAMES)], inputs, params)
        originals.append(call)
        calls.append(call)
        chain_tail[chain] = distinct
        distinct += 1
    return sources, calls, distinct


def reset_peak_rss():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not found")


def run_store(sources, calls):
    import korvane_core

    store = korvane_core.GraphStore()
    for name, params in sources:
        store.add_source(name, params)
    add_op = store.add_op
    start = time.perf_counter_ns()
    for name, inputs, params in calls:
        add_op(name, inputs, params)
    elapsed = time.perf_counter_ns() - start
    return elapsed, store.node_count(), store


def run_baseline(sources, calls):
    table = {}

    def intern(kind, name, params, inputs):
        key = (kind, name, tuple(sorted(params.items())), tuple(inputs))
        node = table.get(key)
        if node is None:
            node = table[key] = len(table)
        return node

    for name, params in sources:
        intern("source", name, params, ())
    start = time.perf_counter_ns()
    for name, inputs, params in calls:
        intern("op", name, params, inputs)
    elapsed = time.perf_counter_ns() - start
    return elapsed, len(table), table


def measure(side):
    sources, calls, distinct = workload()
    gc.collect()
    gc.freeze()  # the workload stays alive; keep the collector off it
    reset_peak_rss()
    before = rss_kib("VmRSS")
    elapsed, nodes, keep = (run_store if side == "store" else run_baseline)(sources, calls)
    peak = rss_kib("VmHWM")
    if nodes != distinct:
        raise SystemExit(f"{side}: {nodes} nodes, expected {distinct}")
    return {"ns_per_call": elapsed / len(calls), "bytes_per_node": (peak - before) * 1024 / nodes,
            "nodes": nodes, "calls": len(calls)}


def child(side):
    result = subprocess.run([sys.executable, __file__, "--side", side], check=True,
                            capture_output=True, text=True)
    return json.loads(result.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--side", choices=["store", "baseline"])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if args.side:
        print(json.dumps(measure(args.side)))
        return
    runs = {side: [child(side) for _ in range(args.repeat)] for side in ("store", "baseline")}
    best = {side: min(r["ns_per_call"] for r in rs) for side, rs in runs.items()}
    memory = {side: min(r["bytes_per_node"] for r in rs) for side, rs in runs.items()}
    nodes = runs["store"][0]["nodes"]
    calls = runs["store"][0]["calls"]
    print(f"{SOURCES} sources + {calls} add_op calls -> {nodes} distinct nodes "
          f"(best of {args.repeat} runs per side)")
    print(f"{'measure':<26}{'GraphStore':>12}{'dict baseline':>15}{'ratio':>10}   target")
    print(f"{'ns per add_op call':<26}{best['store']:>12.0f}{best['baseline']:>15.0f}"
          f"{best['baseline'] / best['store']:>9.2f}x   >= 3x faster")
    print(f"{'peak bytes per node':<26}{memory['store']:>12.0f}{memory['baseline']:>15.0f}"
          f"{memory['baseline'] / memory['store']:>9.2f}x   >= 2x smaller")


if __name__ == "__main__":
    main()
