"""One store shared by several threads."""
import random
import threading

import pytest

from korvane_core import GraphStore
from thread_roles import run_roles

THREADS = 6


# Thread switches as often as the interpreter allows, so that interleavings vary.
pytestmark = pytest.mark.usefixtures("frequent_switches")


def run_threads(target, count=THREADS):
    run_roles(*[lambda i=i: target(i) for i in range(count)])


def test_overlapping_additions_agree_on_ids():
    store = GraphStore()
    sources = 20
    for i in range(sources):
        store.add_source("src", {"i": i})
    # Every thread records the same 600 distinct ops (plus repeats) in its own order.
    specs = [(f"op{i % 7}", [i % sources, (i * 7) % sources], {"k": i % 10, "w": float(i % 3)})
             for i in range(600)]
    seen = [dict() for _ in range(THREADS)]

    def record(index):
        order = list(range(len(specs))) * 2
        random.Random(index).shuffle(order)
        for j in order:
            name, inputs, params = specs[j]
            node = store.add_op(name, inputs, params)
            assert seen[index].setdefault(j, node) == node

    run_threads(record)
    distinct = {(name, tuple(inputs), tuple(sorted(params.items()))) for name, inputs, params in specs}
    assert store.node_count() == sources + len(distinct)
    for j in range(len(specs)):
        assert len({seen[t][j] for t in range(THREADS)}) == 1
    ids = sorted(set(seen[0].values()))
    assert ids == list(range(sources, sources + len(distinct)))


def test_chains_built_concurrently_stay_topological():
    store = GraphStore()
    root = store.add_source("root")

    def chain(index):
        previous = root
        for step in range(300):
            # Threads with the same parity build identical chains.
            previous = store.add_op("step", [previous], {"parity": index % 2, "n": step})

    run_threads(chain)
    nodes = store.nodes()
    assert len(nodes) == 1 + 2 * 300
    assert all(i < n["id"] for n in nodes for i in n["inputs"])


def test_readers_run_alongside_writers():
    store = GraphStore()
    store.add_source("root")
    writers = THREADS // 2
    writers_left = [writers]
    lock = threading.Lock()
    done = threading.Event()

    def work(index):
        if index < writers:
            for i in range(2000):
                store.add_op("f", [i % 50], {"i": i, "w": index})
            with lock:
                writers_left[0] -= 1
                if writers_left[0] == 0:
                    done.set()
            return
        while not done.is_set():
            nodes = store.nodes()
            assert [n["id"] for n in nodes] == list(range(len(nodes)))
            assert all(i < n["id"] for n in nodes for i in n["inputs"])
            assert store.to_dot().count(" [label=") >= len(nodes)

    run_threads(work)
    assert store.node_count() == 1 + writers * 2000


def test_module_works_in_an_isolated_subinterpreter(tmp_path):
    try:
        import _interpreters as interpreters
    except ImportError:
        interpreters = pytest.importorskip("_xxsubinterpreters")
    out = tmp_path / "result.txt"
    code = (
        "import korvane_core as k\n"
        "g = k.GraphStore()\n"
        "g.add_source('s')\n"
        "g.add_op('f', [0], {'x': 1})\n"
        f"open({str(out)!r}, 'w').write(repr((k.version(), g.node_count(), g.nodes()[1]['params'])))\n"
    )
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)
    assert out.read_text() == "('0.0.7', 2, {'x': 1})"
    assert GraphStore().add_source("main") == 0
