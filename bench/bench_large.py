"""Large-input benchmark: one store of 10,000,000 nodes built, serialized,
deserialized and reduced, with the time of each phase and the peak resident
memory of the process after it, per node; and reduce at 10M against reduce
at 1M of the same generator, for this build and an earlier one.

Run from the repository root after building (tools/dev_build.sh) and building
the earlier commit (bench/build_baseline.sh):

    PYTHONPATH=build-dev python bench/bench_large.py [--nodes 10000000]
        [--graph realistic|blocks] [--baseline build/baseline-2330db9/build]

--graph realistic (the default) records the seeded realistic pipeline of
tests/python/pipelines.py (seed 7), the one the reduce benchmark uses at 1M.
--graph blocks repeats a block of ten nodes: a source, an operation on it, a
sum and its commuted twin, an identity addition, a product, a negation, a
reduction, an exchange and a join that ties the block to the previous one, so
the joins form one chain through the whole store and the last join (the one
output) needs every node.

Prints two tables. Phases: seconds (CPU of this thread, and wall), peak
resident memory of the process so far, and that peak per node, against the
interpreter with the module imported and no store. Scaling: reduce of the
large store against reduce of the 1M store from the same generator, for this
build and the baseline build (each store reduced twice, the better run kept).

The rewrite engine stops at its 5-second limit on a slow enough machine; a
10M reduce that hits it merges less, so compare reports, not only times.
"""
import argparse
import gc
import os
import resource
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sidebyside  # noqa: E402  (also puts the pipeline generators on the path)
import pipelines  # noqa: E402
import korvane_core  # noqa: E402

BLOCK = 10
ADD_ZERO = {"scalar": 0.0, "side": "r"}
SMALL = 1_000_000


def peak_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def build_blocks(module, nodes):
    store = module.GraphStore()
    add_source, add_op = store.add_source, store.add_op
    previous = None
    for i in range(max(1, nodes // BLOCK)):
        a = add_source("events", {"shard": i})
        b = add_op("scale", [a], {"k": 2.0})
        c = add_op("add", [b, a])
        d = add_op("add", [a, b])
        e = add_op("add", [c], ADD_ZERO)
        f = add_op("mul", [e, d])
        g = add_op("neg", [f])
        h = store.add_reduction("sum", [g], {"axis": 0})
        x = store.add_exchange([h], {"scheme": "hash"})
        previous = store.add_join([x] if previous is None else [x, previous])
    return store, [previous]


def build_realistic(module, nodes):
    store = module.GraphStore()
    return store, pipelines.realistic(pipelines.Recorder(store), nodes, 7)


def best_reduce(store, outputs, runs=2):
    """(cpu, wall, report) of the better of `runs` reductions."""
    best = None
    for _ in range(runs):
        cpu, wall, (reduced, report) = sidebyside.timed(lambda: store.reduce(outputs=outputs))
        del reduced
        if best is None or cpu < best[0]:
            best = (cpu, wall, report)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nodes", type=int, default=10_000_000)
    parser.add_argument("--graph", choices=["realistic", "blocks"], default="realistic")
    parser.add_argument("--baseline", default=sidebyside.DEFAULT_BASELINE)
    args = parser.parse_args()
    build = build_realistic if args.graph == "realistic" else build_blocks

    rows = [("baseline (module imported)", 0.0, 0.0, peak_bytes())]

    def phase(name, work):
        gc.collect()
        cpu, wall, result = sidebyside.timed(work)
        rows.append((name, cpu, wall, peak_bytes()))
        return result

    store, outputs = phase("build", lambda: build(korvane_core, args.nodes))
    nodes = store.node_count()
    blob = phase("serialize", lambda: store.serialize(outputs=outputs))
    copy = phase("deserialize", lambda: korvane_core.GraphStore.deserialize(blob))
    assert copy.node_count() == nodes
    assert phase("serialize again", lambda: copy.serialize(outputs=outputs)) == blob, \
        "round trip changed the bytes"
    del copy
    reduced, report = phase("reduce", lambda: store.reduce(outputs=outputs))
    assert reduced.node_count() == report["reduced_nodes"]
    del reduced
    baseline = rows[0][3]
    print(f"korvane_core {korvane_core.version()}: {args.graph} graph, {nodes:,} nodes, blob "
          f"{len(blob):,} bytes ({len(blob) / nodes:.1f} per node); load {os.getloadavg()[0]:.2f}")
    print("reduce report: " + ", ".join(f"{k}={v:,}" for k, v in sorted(report.items())))
    print()
    print(f"{'phase':<28}{'cpu s':>9}{'wall s':>9}{'peak RSS (MiB)':>16}{'peak B/node':>13}"
          f"{'over baseline B/node':>22}")
    for name, cpu, wall, peak in rows:
        print(f"{name:<28}{cpu:>9.2f}{wall:>9.2f}{peak / 2**20:>16.0f}{peak / nodes:>13.1f}"
              f"{(peak - baseline) / nodes:>22.1f}")

    # Scaling: the same generator at 1M, and the earlier build on both.
    old = sidebyside.load_module(args.baseline)
    small_store, small_outputs = build(korvane_core, SMALL)
    scaling = []
    for name, module in (("this build", korvane_core), ("baseline build", old)):
        large = store if module is korvane_core else module.GraphStore.deserialize(blob)
        small = small_store if module is korvane_core else \
            module.GraphStore.deserialize(small_store.serialize(outputs=small_outputs))
        large_run = best_reduce(large, outputs)
        small_run = best_reduce(small, small_outputs)
        scaling.append((name, large_run, small_run))
        del large, small
    print()
    print(f"{'reduce':<16}{f'{nodes:,} cpu s':>16}{f'{SMALL:,} cpu s':>16}{'ratio':>8}"
          f"{'wall ratio':>12}   target <= 12   (the large reports follow)")
    for name, large_run, small_run in scaling:
        print(f"{name:<16}{large_run[0]:>16.2f}{small_run[0]:>16.3f}{large_run[0] / small_run[0]:>8.1f}"
              f"{large_run[1] / small_run[1]:>12.1f}")
    for name, large_run, _ in scaling:
        print(f"# {name}: " + ", ".join(f"{k}={v:,}" for k, v in sorted(large_run[2].items())))


if __name__ == "__main__":
    main()
