"""Stress tests: many threads on the same objects at once.

On a free-threaded interpreter the threads run truly in parallel, through the module's own
locks and the interpreter's per-object critical sections; with the GIL they still interleave
at every switch (the interval is set to the smallest), so the same assertions hold and are
checked there too. Under a sanitizer (KORVANE_SANITIZED) the work is scaled down.
"""
import os
import random
import threading

import pytest

from korvane_core import GraphStore, IncrementalReducer, PayloadDescriptor
from thread_roles import run_roles

SANITIZED = bool(os.environ.get("KORVANE_SANITIZED"))


def scaled(count):
    return max(4, count // 8) if SANITIZED else count


# Thread switches as often as the interpreter allows, so that interleavings vary.
pytestmark = pytest.mark.usefixtures("frequent_switches")


def content(store):
    return store.nodes(), store.outputs(), store.node_map()


class Writers:
    """Counts writers down; readers loop until all are done."""

    def __init__(self, count):
        self.left = count
        self.lock = threading.Lock()
        self.done = threading.Event()

    def finished(self):
        with self.lock:
            self.left -= 1
            if self.left == 0:
                self.done.set()

    def wrap(self, work):
        def role():
            try:
                work()
            finally:
                self.finished()
        return role

    def reader(self, work):
        """Runs `work` repeatedly until the writers are done, and once more after."""
        def role():
            while not self.done.is_set():
                work()
            work()
        return role


# --- overlapping additions while every reader runs ------------------------------------------

DESCRIPTOR = dict(kind="model", content_hash="sha256:00", framework="fw", version="1",
                  io_schema="f32->f32")
SOURCES = 16


def layered_calls(layers, width):
    """The add calls by layer; call (k, j) takes inputs from layer k - 1 (layer 0: the sources).
    Every call carries (layer, j) in its params, so no two record equal nodes."""
    shared = PayloadDescriptor(**DESCRIPTOR)
    calls = []
    for k in range(1, layers + 1):
        layer = []
        for j in range(width):
            params = {"layer": k, "j": j}
            left, right = j % width, (j * 7 + 3) % width
            kind = j % 6
            if kind == 0:
                layer.append(("add_op", lambda p, j=j: (f"op{j % 5}", [p[0], p[1]]), params, (left, right)))
            elif kind == 1:
                layer.append(("add_reduction", lambda p: ("sum", [p[0]]), params, (left,)))
            elif kind == 2:
                layer.append(("add_exchange", lambda p: ([p[0]],), dict(params, scheme="hash"), (right,)))
            elif kind == 3:
                layer.append(("add_join", lambda p: ([p[0], p[1]],), params, (left, right)))
            elif kind == 4:
                # the shared descriptor object and an equal dict give one node
                descriptor = shared if j % 12 == 4 else dict(DESCRIPTOR)
                layer.append(("add_external", lambda p, d=descriptor: (d, [p[0]]), params, (left,)))
            else:
                layer.append(("add_op", lambda p: ("neg", [p[0]]), dict(params, w=0.5), (right,)))
        calls.append(layer)
    return calls


def test_overlapping_additions_with_readers_of_every_kind():
    store = GraphStore()
    store.add_source("src", {"i": 0})  # what every writer records first, for the readers
    layers, width, writers = 4, scaled(120), 4
    calls = layered_calls(layers, width)
    got = [dict() for _ in range(writers)]  # (layer, j) -> id, per writer
    blobs = []
    reducer = IncrementalReducer()
    steps = []
    progress = Writers(writers)

    def write(index):
        rng = random.Random(index)
        sources = {i: store.add_source("src", {"i": i}) for i in rng.sample(range(SOURCES), SOURCES)}
        previous = [sources[(j * 5) % SOURCES] for j in range(width)]
        for k, layer in enumerate(calls, start=1):
            order = list(range(width)) * 2  # every node recorded twice by every writer
            rng.shuffle(order)
            ids = [None] * width
            for j in order:
                method, arguments, params, picks = layer[j]
                node = getattr(store, method)(*arguments([previous[p] for p in picks]), params)
                assert ids[j] in (None, node)
                ids[j] = node
                got[index][k, j] = node
            previous = ids

    def serialize():
        blob = store.serialize()
        copy = GraphStore.deserialize(blob)
        assert copy.serialize() == blob
        if len(blobs) < 16:
            blobs.append(blob)

    def reduce():
        n = store.node_count()
        outputs = [n - 1, n // 2, 0]
        reduced, report = store.reduce(outputs=outputs)
        assert report["input_nodes"] <= store.node_count()
        assert len(reduced.outputs()) <= len(outputs)
        cone = store.cone(outputs=outputs)
        assert cone.node_count() <= n
        assert store.reduction_report(outputs=outputs)["input_nodes"] >= n

    def view():
        nodes = store.nodes()
        assert [node["id"] for node in nodes] == list(range(len(nodes)))
        assert all(i < node["id"] for node in nodes for i in node["inputs"])
        assert store.to_dot().count(" [label=") >= len(nodes)

    def step():
        steps.append(reducer.step(store))
        assert reducer.watermark() <= store.node_count()

    run_roles(*[progress.wrap(lambda i=i: write(i)) for i in range(writers)],
              progress.reader(serialize), progress.reader(reduce), progress.reader(view),
              progress.reader(step))

    # equal nodes got equal ids, in every writer
    for key in got[0]:
        assert len({g[key] for g in got}) == 1, key
    distinct = SOURCES + layers * width
    assert store.node_count() == distinct
    assert sorted(set(got[0].values())) == list(range(SOURCES, distinct))
    # every blob taken meanwhile is a prefix of the final store, byte for byte
    final = store.nodes()
    for blob in blobs:
        copy = GraphStore.deserialize(blob)
        assert copy.nodes() == final[:copy.node_count()]
        assert copy.serialize() == blob
    # the reducer consumed every node exactly once
    steps.append(reducer.step(store))
    assert reducer.watermark() == reducer.total_work() == sum(steps) == distinct
    outputs = list(range(distinct))
    assert content(reducer.finalize(store, outputs=outputs)[0]) == \
        content(store.reduce(outputs=outputs)[0])


# --- arguments that other threads change while they are passed ----------------------------

class Recorded:
    """A container changed one operation at a time by one thread, which notes every state."""

    def __init__(self, value, freeze):
        self.value = value
        self.freeze = freeze
        self.states = {freeze(value)}

    def note(self):
        self.states.add(self.freeze(self.value))


def test_arguments_changed_while_they_are_read():
    store = GraphStore()
    sources = [store.add_source("s", {"i": i}) for i in range(8)]
    params = Recorded({"a": 0, "b": "0"}, lambda d: frozenset(d.items()))
    inputs = Recorded([0, 1], tuple)
    descriptor = Recorded(dict(DESCRIPTOR), lambda d: frozenset(d.items()))
    changes, callers = scaled(20_000), 3
    progress = Writers(3)
    recorded = []  # (id, method)
    refused = []

    def change_params():
        rng = random.Random(1)
        d = params.value
        for step in range(changes):
            r = rng.random()
            if r < 0.35:
                d["a"] = step
            elif r < 0.7:
                d["b"] = str(step)
            elif r < 0.8:
                d["c"] = None  # a value no rule converts: TypeError while present
            elif r < 0.9:
                d["c"] = 1.5
            else:
                d.pop("c", None)
            params.note()

    def change_inputs():
        rng = random.Random(2)
        items = inputs.value
        for step in range(changes):
            r = rng.random()
            if r < 0.3 and len(items) < 5:
                items.append(rng.choice(sources))
            elif r < 0.6 and len(items) > 1:
                items.pop()
            elif r < 0.9:
                items[rng.randrange(len(items))] = rng.choice(sources)
            elif r < 0.95:
                items[0] = 10 ** 6  # an unknown id: ValueError while present
            else:
                items[-1] = "x"  # not an index: TypeError while present
            inputs.note()

    def change_descriptor():
        rng = random.Random(3)
        d = descriptor.value
        for step in range(changes):
            r = rng.random()
            if r < 0.4:
                d["kind"] = f"k{step % 7}"
            elif r < 0.8:
                d["version"] = str(step % 5)
            elif r < 0.9:
                d.pop("framework", None)  # a missing field: ValueError while absent
            else:
                d["framework"] = "fw"
            descriptor.note()

    def call():
        rng = random.Random()
        while not progress.done.is_set():
            method = rng.choice(["add_op", "add_join", "add_external"])
            try:
                if method == "add_op":
                    node = store.add_op("f", inputs.value, params.value)
                elif method == "add_join":
                    node = store.add_join(inputs.value, params.value)
                else:
                    node = store.add_external(descriptor.value, [sources[0]], params.value)
            except (TypeError, ValueError) as error:
                refused.append(str(error))
            else:
                recorded.append((node, method))

    run_roles(progress.wrap(change_params), progress.wrap(change_inputs),
              progress.wrap(change_descriptor), *[call] * callers)

    documented = {"param values must be int, float, bool, or str",
                  "no node with id 1000000",
                  "'str' object cannot be interpreted as an integer",
                  "descriptor missing required field 'framework'"}
    assert set(refused) <= documented
    nodes = store.nodes()
    for node_id, method in recorded:
        node = nodes[node_id]
        assert frozenset(node["params"].items()) in params.states
        if method == "add_external":
            fields = {k: v for k, v in node["descriptor"].items() if v is not None}
            assert frozenset(fields.items()) in descriptor.states
        else:
            assert tuple(node["inputs"]) in inputs.states
    assert recorded, "no call got through"


# --- shared descriptors, several reducers, one shared reducer -----------------------------

def test_one_descriptor_shared_by_threads():
    store = GraphStore()
    source = store.add_source("s")
    descriptor = PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="prep")
    rounds = scaled(3000)
    ids = []

    def use():
        for i in range(rounds):
            assert (descriptor.kind, descriptor.version, descriptor.preprocessing_ref) == \
                ("model", "1", "prep")
            node = store.add_external(descriptor, [source], {"i": i % 50})
            ids.append(node)
            if i % 10 == 0:  # an equal descriptor made meanwhile gives the same node
                twin = PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="prep")
                assert store.add_external(twin, [source], {"i": i % 50}) == node

    run_roles(*[use] * 6)
    assert sorted(set(ids)) == list(range(1, 51))
    assert store.node_count() == 51


def build_randomly(store, seed, count):
    rng = random.Random(seed)
    ids = [store.add_source(f"s{i}") for i in range(4)]
    for _ in range(count):
        kind = rng.randrange(4)
        if kind == 0:
            ids.append(store.add_op("add", [rng.choice(ids)], {"scalar": 0.0, "side": "r"}))
        elif kind == 1:
            ids.append(store.add_op(rng.choice(["add", "mul"]), [rng.choice(ids), rng.choice(ids)]))
        elif kind == 2:
            ids.append(store.add_reduction("sum", [rng.choice(ids)], {"i": rng.randrange(3)}))
        else:
            ids.append(store.add_op("neg", [rng.choice(ids)], {"i": rng.randrange(5)}))


def test_several_reducers_on_one_store():
    store = GraphStore()
    reducers = [IncrementalReducer() for _ in range(3)]
    progress = Writers(3)

    def stepper(reducer):
        def work():
            before = reducer.watermark()
            reducer.step(store)
            assert before <= reducer.watermark() == reducer.total_work() <= store.node_count()
        return progress.reader(work)

    run_roles(*[progress.wrap(lambda seed=seed: build_randomly(store, seed, scaled(600)))
                for seed in range(3)],
              *[stepper(reducer) for reducer in reducers])
    outputs = list(range(store.node_count()))
    expected = content(store.reduce(outputs=outputs)[0])
    for reducer in reducers:
        assert reducer.watermark() == store.node_count()
        assert content(reducer.finalize(store, outputs=outputs)[0]) == expected


def test_one_reducer_shared_by_every_kind_of_call():
    store = GraphStore()
    store.add_source("s0")  # what every builder records first
    reducer = IncrementalReducer()
    progress = Writers(2)
    finals = []

    def counters():
        # each read is one consistent moment; the watermark only grows
        first = reducer.watermark()
        work = reducer.total_work()
        assert first <= work <= reducer.watermark()
        assert reducer.canonical_count() <= reducer.watermark()

    def finalize():
        n = store.node_count()
        reduced, _ = reducer.finalize(store, outputs=[n - 1])
        assert len(reduced.outputs()) == 1
        finals.append(reduced.node_count())

    run_roles(*[progress.wrap(lambda seed=seed: build_randomly(store, seed, scaled(600)))
                for seed in (10, 11)],
              progress.reader(lambda: reducer.step(store)), progress.reader(counters),
              progress.reader(finalize))
    reducer.step(store)
    assert reducer.watermark() == reducer.total_work() == store.node_count()
    outputs = list(range(store.node_count()))
    assert content(reducer.finalize(store, outputs=outputs)[0]) == \
        content(store.reduce(outputs=outputs)[0])
    assert finals
