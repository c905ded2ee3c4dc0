"""Blob throughput against pickle, on one 1,000,000-node store.

Writes: GraphStore.serialize versus pickle.dumps (protocol 5) of the same nodes
as tuples. Reads: GraphStore.deserialize (which validates and interns every
node) versus pickle.loads of those tuples followed by interning them into a
dict. Each figure is the best of several runs, measured in this one process.

    PYTHONPATH=build-dev python3 bench/bench_blob.py [node_count]
"""

import gc
import pickle
import sys
import time

from korvane_core import GraphStore

NODES = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
RUNS = 5


def build(n):
    """A pipeline-shaped store and the same nodes as plain tuples."""
    g = GraphStore()
    tuples = []

    def record(kind, name, params, inputs):
        items = tuple(sorted(params.items()))
        tuples.append((kind, name, items, tuple(inputs)))

    sources = []
    for i in range(max(1, n // 1000)):
        params = {"path": f"s3://bucket/part-{i:05d}.parquet", "columns": 12}
        sources.append(g.add_source("read_parquet", params))
        record("source", "read_parquet", params, ())
    prev = sources[0]
    while g.node_count() < n:
        i = g.node_count()
        choice = i % 10
        if choice < 6:
            params = {"scalar": float(i % 97) * 0.5, "side": "r"}
            node = g.add_op("add" if choice % 2 else "mul", [prev], params)
            record("op", "add" if choice % 2 else "mul", params, [prev])
        elif choice < 8:
            other = sources[i % len(sources)]
            params = {"how": "inner", "k": i}
            node = g.add_op("merge", [prev, other], params)
            record("op", "merge", params, [prev, other])
        elif choice == 8:
            params = {"axis": 0, "skipna": True}
            node = g.add_reduction("sum", [prev], params)
            record("reduction", "sum", params, [prev])
        else:
            params = {"scheme": "hash", "partitions": i % 64}
            node = g.add_exchange([prev], params)
            record("exchange", "", params, [prev])
        prev = node
    assert g.node_count() == len(tuples) == n
    return g, tuples


def best(fn):
    """Best wall-clock and best CPU time of RUNS calls, garbage collection off."""
    walls, cpus = [], []
    for _ in range(RUNS):
        gc.collect()
        gc.disable()
        try:
            wall, cpu = time.perf_counter(), time.process_time()
            result = fn()
            walls.append(time.perf_counter() - wall)
            cpus.append(time.process_time() - cpu)
        finally:
            gc.enable()
        del result
    return min(walls), min(cpus)


def intern_all(tuples):
    ids = {}
    for node in tuples:
        ids.setdefault(node, len(ids))
    return ids


def main():
    g, tuples = build(NODES)
    blob = g.serialize()
    pickled = pickle.dumps(tuples, protocol=5)
    assert GraphStore.deserialize(blob).serialize() == blob

    ser, dumps = best(g.serialize), best(lambda: pickle.dumps(tuples, protocol=5))
    de, loads = best(lambda: GraphStore.deserialize(blob)), best(lambda: intern_all(pickle.loads(pickled)))

    mb = len(blob) / 1e6
    print(f"{NODES:,} nodes; blob {mb:.1f} MB, pickle {len(pickled) / 1e6:.1f} MB; best of {RUNS}")
    # Wall-clock is what a caller sees; CPU time is also shown because on a
    # shared machine it is the steadier of the two.
    for clock, i in (("wall", 0), ("cpu", 1)):
        print(f"\n{clock + ' clock':<30}{'korvane':>14}{'pickle':>14}{'ratio':>8}{'target':>8}")
        print(f"{'write (MB/s of blob)':<30}{mb / ser[i]:>14,.0f}{mb / dumps[i]:>14,.0f}"
              f"{dumps[i] / ser[i]:>7.1f}x{'10x':>8}")
        print(f"{'write (ms)':<30}{ser[i] * 1e3:>14.1f}{dumps[i] * 1e3:>14.1f}")
        print(f"{'read + intern (nodes/s)':<30}{NODES / de[i]:>14,.0f}{NODES / loads[i]:>14,.0f}"
              f"{loads[i] / de[i]:>7.1f}x{'3x':>8}")
        print(f"{'read + intern (ms)':<30}{de[i] * 1e3:>14.1f}{loads[i] * 1e3:>14.1f}")
        print(f"{'write throughput (GB/s)':<30}{mb / ser[i] / 1e3:>14.2f}{'':>14}{'':>8}{'1':>8}")


if __name__ == "__main__":
    main()
