"""Large-input benchmark: one store of 10,000,000 nodes built, serialized,
deserialized and reduced, with the time of each phase and the peak resident
memory of the process after it, per node.

Run from the repository root after building (tools/dev_build.sh):

    PYTHONPATH=build-dev python bench/bench_large.py [--nodes 10000000]

The graph repeats a block of ten nodes: a source, an operation on it, a sum
and its commuted twin, an identity addition, a product, a negation, a
reduction, an exchange and a join that ties the block to the previous one.
The joins form one chain through the whole store, so the last join (the one
output) needs every node, and every pass walks a ten-million-node graph
whose dependency chain is a million joins deep. Nothing is kept on the
Python side but the ids of the current and previous block.

Prints one table: phase, seconds, peak resident memory of the process so
far, and that peak per node; the baseline row is the interpreter with the
module imported and no store.
"""
import argparse
import gc
import resource
import time

import korvane_core

BLOCK = 10
ADD_ZERO = {"scalar": 0.0, "side": "r"}


def peak_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def build(blocks):
    store = korvane_core.GraphStore()
    add_source, add_op = store.add_source, store.add_op
    previous = None
    for i in range(blocks):
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
    return store, previous


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nodes", type=int, default=10_000_000)
    args = parser.parse_args()
    blocks = max(1, args.nodes // BLOCK)
    nodes = blocks * BLOCK

    rows = [("baseline (module imported)", 0.0, peak_bytes())]

    def phase(name, work):
        gc.collect()
        start = time.perf_counter()
        result = work()
        rows.append((name, time.perf_counter() - start, peak_bytes()))
        return result

    store, last = phase("build", lambda: build(blocks))
    assert store.node_count() == nodes, store.node_count()
    blob = phase("serialize", store.serialize)
    copy = phase("deserialize", lambda: korvane_core.GraphStore.deserialize(blob))
    assert copy.node_count() == nodes
    assert phase("serialize again", copy.serialize) == blob, "round trip changed the bytes"
    del copy
    blob_size = len(blob)
    del blob
    reduced, report = phase("reduce", lambda: store.reduce(outputs=[last]))
    assert report["input_nodes"] == nodes and report["reachable_nodes"] == nodes, report
    assert reduced.node_count() == report["reduced_nodes"]

    baseline = rows[0][2]
    print(f"korvane_core {korvane_core.version()}: {nodes:,} nodes, blob {blob_size:,} bytes "
          f"({blob_size / nodes:.1f} per node)")
    print("reduce report: " + ", ".join(f"{k}={v:,}" for k, v in sorted(report.items())))
    print()
    print(f"{'phase':<28}{'seconds':>10}{'peak RSS (MiB)':>16}{'peak B/node':>13}{'over baseline B/node':>22}")
    for name, seconds, peak in rows:
        print(f"{name:<28}{seconds:>10.2f}{peak / 2**20:>16.0f}{peak / nodes:>13.1f}"
              f"{(peak - baseline) / nodes:>22.1f}")


if __name__ == "__main__":
    main()
