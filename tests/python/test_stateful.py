"""Random sequences of calls over the whole Python surface, checked against a model.

The machine records nodes of every kind (with valid and invalid arguments),
round-trips the store through its blob, reduces it with both fusion rules and
explicit outputs, takes cones, and feeds an IncrementalReducer step by step.
The model is the list of node keys in id order; after every call the store
must show exactly those nodes, so ids stay dense and deduplicated and a
refused call changes nothing. Reductions are checked by report arithmetic,
node-map validity and the test evaluator: every node that an output needs
keeps its value where the node map says it landed.
"""
import math
import os

import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from evaluator import evaluate, value_at
from korvane_core import GraphStore, IncrementalReducer, PayloadDescriptor

REPORT_KEYS = {"input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
               "boundary_nodes"}
INT64 = range(-(1 << 63), 1 << 63)
IDENTITIES = [("add", {"scalar": 0.0, "side": "r"}), ("add", {"scalar": 0.0, "side": "l"}),
              ("mul", {"scalar": 1.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "l"})]

# A small pool of names makes repeats (and so deduplication and merging) common.
text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=3)
names = st.sampled_from(["s", "t", "add", "mul", "sub", "neg", "maximum", "and", "x|y", "k=%3B", ""]) | text
param_values = (st.booleans() | st.integers(-(1 << 64), 1 << 64) | st.sampled_from([0.0, -0.0, 1.0, "r", "l"])
                | st.floats() | text)
param_dicts = st.none() | st.dictionaries(st.sampled_from(["k", "scalar", "side", "é", "a;b"]) | text,
                                          param_values, max_size=3)
descriptor_fields = st.fixed_dictionaries(
    {"kind": st.sampled_from(["model", "table"]), "content_hash": st.sampled_from(["abc", "d|e"]),
     "framework": st.just("fw"), "version": st.sampled_from(["1", "2"]), "io_schema": st.just("x")},
    optional={"preprocessing_ref": st.none() | st.sampled_from(["", "-", "p"])})


def utf8_order(key):
    return key.encode("utf-8")


def canonical_value(value):
    """What the node model keeps of a parameter value: kind and bit pattern (all NaNs alike)."""
    if isinstance(value, bool):
        return ("b", value)
    if isinstance(value, int):
        if value in INT64:
            return ("i", value)
        value = float(value)
    if isinstance(value, float):
        return ("f", "nan" if math.isnan(value) else value.hex())
    return ("s", value)


def canonical_params(params, sort=False):
    keys = sorted(params, key=utf8_order) if sort else list(params)
    return tuple((k, canonical_value(params[k])) for k in keys)


def node_key(node):
    """The identity of a node as the read view shows it."""
    key = (node["kind"], node["name"], canonical_params(node["params"]), tuple(node["inputs"]))
    if "descriptor" in node:
        key += (tuple(node["descriptor"].values()),)
    if "members" in node:
        key += (tuple((m["kind"], m["name"], canonical_params(m["params"]), tuple(m["inputs"]))
                      for m in node["members"]),)
    return key


def content(store):
    """Nodes, outputs and node map, with parameters compared by bits (NaN equals NaN)."""
    return [node_key(n) for n in store.nodes()], store.outputs(), store.node_map()


def distinct(ids):
    return list(dict.fromkeys(ids))


def needed(nodes, outputs):
    """Every node that `outputs` reach through inputs."""
    seen, todo = set(), list(outputs)
    while todo:
        node = todo.pop()
        if node not in seen:
            seen.add(node)
            todo.extend(nodes[node]["inputs"])
    return seen


def check_result(store, result, report, wanted, input_nodes, dead_dropped=True):
    """A reduction of `store` against `wanted` keeps every needed node's value.

    A full reduction drops every node the outputs do not need; the incremental
    reducer may also land such a node, on the landing of a needed node that it
    merged with, and then its value must agree as well.
    """
    nodes, reduced = store.nodes(), result.nodes()
    reach = needed(nodes, wanted)
    node_map = result.node_map()
    assert len(node_map) == len(nodes)

    assert set(report) == REPORT_KEYS and all(type(v) is int for v in report.values())
    assert report["input_nodes"] == input_nodes
    assert report["reachable_nodes"] <= input_nodes
    assert report["canonical_nodes"] <= report["reachable_nodes"]
    assert report["reduced_nodes"] == len(reduced) == report["stages"] + report["boundary_nodes"]
    # Stage nodes of a reduced store that is reduced again are carried as boundaries.
    stage_nodes = sum(n["kind"] == "stage" for n in reduced)
    if any(n["kind"] == "stage" for n in nodes):
        assert report["stages"] <= stage_nodes
    else:
        assert report["stages"] == stage_nodes
    assert all(n["kind"] != "op" for n in reduced)

    values, reduced_values = evaluate(store), evaluate(result)
    needed_landings = set()
    for node, landing in enumerate(node_map):
        if landing is None:
            assert node not in reach
            continue
        assert node in reach or not dead_dropped
        target, member = landing
        assert 0 <= target < len(reduced)
        if member is not None:
            assert reduced[target]["kind"] == "stage" and 0 <= member < reduced[target]["n_members"]
        assert value_at(reduced_values, landing) == values[node][-1]
        if node in reach:
            needed_landings.add(landing)
    assert report["canonical_nodes"] == len(needed_landings)
    assert result.outputs() == distinct(node_map[o][0] for o in wanted)


class SurfaceMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.store = GraphStore()
        self.keys = []
        self.reducer = IncrementalReducer()

    # --- helpers -------------------------------------------------------------

    def adopt(self, store, same_nodes):
        """Continue with `store`; the reducer may go on only if it has the same nodes."""
        self.store = store
        self.keys = [node_key(n) for n in store.nodes()]
        if not same_nodes:
            self.reducer = IncrementalReducer()

    def some_ids(self, data, **sizes):
        """Node ids, now and then one or two past the last node."""
        n = len(self.keys)
        top = n + 1 if data.draw(st.integers(0, 9)) == 0 else n - 1
        if top < 0:
            return []
        return data.draw(st.lists(st.integers(0, top), **sizes))

    def record(self, call, key, inputs):
        """Makes one recording call and checks it against the model."""
        bad = [i for i in inputs if i >= len(self.keys)]
        if bad:
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == f"no node with id {bad[0]}"
            return
        expected = self.keys.index(key) if key in self.keys else len(self.keys)
        assert call() == expected
        if expected == len(self.keys):
            self.keys.append(key)

    def outputs_choice(self, data):
        """None (the store's marks), every node nothing consumes, or a few ids (unknown ones too)."""
        choice = data.draw(st.integers(0, 2))
        if choice == 0:
            return None
        if choice == 1:
            consumed = {i for key in self.keys for i in key[3]}
            return [i for i in range(len(self.keys)) if i not in consumed]
        return self.some_ids(data, max_size=4)

    # --- recording -----------------------------------------------------------

    def add_source(self, data):
        name, params = data.draw(names), data.draw(param_dicts)
        key = ("source", name, canonical_params(params or {}, sort=True), ())
        self.record(lambda: self.store.add_source(name, params), key, [])

    def add_op(self, data, kind):
        name, params = data.draw(names), data.draw(param_dicts)
        inputs = self.some_ids(data, max_size=3)
        if kind == "op" and data.draw(st.integers(0, 3)) == 0:
            name, params = data.draw(st.sampled_from(IDENTITIES))
        add = self.store.add_op if kind == "op" else self.store.add_reduction
        key = (kind, name, canonical_params(params or {}, sort=True), tuple(inputs))
        self.record(lambda: add(name, inputs, params), key, inputs)

    def add_boundary(self, data, kind):
        params = data.draw(param_dicts)
        inputs = self.some_ids(data, max_size=3)
        add = self.store.add_exchange if kind == "exchange" else self.store.add_join
        key = (kind, "", canonical_params(params or {}, sort=True), tuple(inputs))
        self.record(lambda: add(inputs=inputs, params=params), key, inputs)

    def add_external(self, data):
        fields, params = data.draw(descriptor_fields), data.draw(param_dicts)
        inputs = self.some_ids(data, max_size=2)
        descriptor = PayloadDescriptor(**fields) if data.draw(st.booleans()) else fields
        shown = tuple(fields.get(f) for f in ("kind", "content_hash", "framework", "version", "io_schema",
                                               "preprocessing_ref"))
        key = ("external", "", canonical_params(params or {}, sort=True), tuple(inputs), shown)
        self.record(lambda: self.store.add_external(descriptor, inputs, params), key, inputs)

    node_kinds = st.lists(st.sampled_from(["source", "op", "op", "op", "reduction", "exchange", "join",
                                            "external"]), min_size=1, max_size=8)

    @initialize(data=st.data(), kinds=node_kinds)
    def start(self, data, kinds):
        self.add_nodes(data, kinds)

    @rule(data=st.data(), kinds=node_kinds)
    def add_nodes(self, data, kinds):
        for kind in kinds:
            if kind == "source" or not self.keys:
                self.add_source(data)
            elif kind in ("op", "reduction"):
                self.add_op(data, kind)
            elif kind == "external":
                self.add_external(data)
            else:
                self.add_boundary(data, kind)

    @rule(data=st.data())
    def refused_call(self, data):
        n = len(self.keys)
        store, reducer = self.store, self.reducer
        counters = (reducer.watermark(), reducer.total_work(), reducer.canonical_count())
        fields = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "x"}
        calls = [
            (lambda: store.add_source(5), TypeError, "name"),
            (lambda: store.add_source(b"s"), TypeError, "name"),
            (lambda: store.add_source("\ud800"), UnicodeEncodeError, "name"),
            (lambda: store.add_source("s", [("k", 1)]), TypeError, None),
            (lambda: store.add_source("s", {"k": None}), TypeError, None),
            (lambda: store.add_source("s", {"k": 10 ** 400}), TypeError, None),
            (lambda: store.add_source("s", {1: 2}), TypeError, None),
            (lambda: store.add_op("f", "01"), TypeError, "inputs"),
            (lambda: store.add_op("f", {0}), TypeError, "inputs"),
            (lambda: store.add_op("f", [-1]), OverflowError, "inputs"),
            (lambda: store.add_op("f", [1 << 64]), OverflowError, "inputs"),
            (lambda: store.add_op(None, [0]), TypeError, "name"),
            (lambda: store.add_reduction("r", [n]), ValueError, None),
            (lambda: store.add_exchange([0, n + 5]), ValueError, None),
            (lambda: store.add_join([n], {"scheme": 1}), ValueError, None),
            (lambda: store.add_external(42, []), TypeError, None),
            (lambda: store.add_external({"kind": "k"}, []), ValueError, None),
            (lambda: store.add_external(dict(fields, version=None), []), TypeError, None),
            (lambda: store.add_external(fields, "x"), TypeError, "inputs"),
            (lambda: PayloadDescriptor(**dict(fields, kind=1)), TypeError, "kind"),
            (lambda: store.serialize(outputs=[n]), ValueError, None),
            (lambda: store.serialize(outputs="0"), TypeError, "outputs"),
            (lambda: GraphStore.deserialize(bytearray(store.serialize())), TypeError, "data"),
            (lambda: GraphStore.deserialize(b"KIR2" + store.serialize()[4:]), ValueError, None),
            (lambda: store.reduce(outputs=[n]), ValueError, None),
            (lambda: store.reduce(maximal_fusion=1), TypeError, "maximal_fusion"),
            (lambda: store.reduce(outputs=5), TypeError, "outputs"),
            (lambda: store.cone(outputs=[0, n]), ValueError, None),
            (lambda: store.cone(outputs="ab"), TypeError, "outputs"),
            (lambda: store.reduce_incremental(outputs=[n]), ValueError, None),
            (lambda: store.reduction_report(outputs=[n + 1]), ValueError, None),
            (lambda: reducer.step(42), TypeError, "store"),
            (lambda: reducer.finalize(store, outputs=[n]), ValueError, None),
            (lambda: reducer.finalize(store, maximal_fusion="yes"), TypeError, "maximal_fusion"),
            (lambda: reducer.finalize(None), TypeError, "store"),
        ]
        call, exc_type, note = data.draw(st.sampled_from(calls))
        with pytest.raises(exc_type) as info:
            call()
        if note is not None:
            assert getattr(info.value, "__notes__", None) == [f"while processing '{note}'"]
        assert (reducer.watermark(), reducer.total_work(), reducer.canonical_count()) == counters

    # --- persistence ---------------------------------------------------------

    @rule(data=st.data(), adopt=st.booleans())
    def round_trip(self, data, adopt):
        outputs = self.outputs_choice(data)
        if outputs is not None and any(o >= len(self.keys) for o in outputs):
            with pytest.raises(ValueError, match="^no node with id "):
                self.store.serialize(outputs)
            return
        blob = self.store.serialize(outputs)
        copy = GraphStore.deserialize(blob)
        assert [node_key(n) for n in copy.nodes()] == self.keys
        listed = self.store.outputs() if outputs is None else outputs
        assert copy.outputs() == distinct(listed)
        assert copy.serialize(outputs=listed) == blob
        cut = data.draw(st.integers(0, len(blob) - 1))
        with pytest.raises(ValueError, match="^truncated korvane IR blob$"):
            GraphStore.deserialize(blob[:cut])
        if adopt:
            # Same nodes under the same ids, now with marks: the reducer goes on.
            self.adopt(copy, same_nodes=True)

    # --- reduction -----------------------------------------------------------

    @rule(maximal=st.booleans(), data=st.data(), adopt=st.integers(0, 5))
    def reduce(self, maximal, data, adopt):
        outputs = self.outputs_choice(data)
        if outputs is not None and any(o >= len(self.keys) for o in outputs):
            bad = next(o for o in outputs if o >= len(self.keys))
            with pytest.raises(ValueError, match=f"^no node with id {bad}$"):
                self.store.reduce(maximal_fusion=maximal, outputs=outputs)
            return
        result, report = self.store.reduce(maximal_fusion=maximal, outputs=outputs)
        wanted = self.store.outputs() if outputs is None else outputs
        check_result(self.store, result, report, wanted, len(self.keys))
        again, again_report = self.store.reduce(maximal_fusion=maximal, outputs=outputs)
        assert content(again) == content(result) and again_report == report
        if not maximal:
            assert self.store.reduction_report(outputs=outputs) == report
            incremental, incremental_report = self.store.reduce_incremental(outputs=outputs)
            assert content(incremental) == content(result) and incremental_report == report
        if adopt == 0:
            # Go on building on the reduced graph, stage nodes and all.
            self.adopt(result, same_nodes=False)

    @rule(data=st.data())
    def cone(self, data):
        outputs = self.some_ids(data, max_size=4)
        if any(o >= len(self.keys) for o in outputs):
            with pytest.raises(ValueError, match="^no node with id "):
                self.store.cone(outputs=outputs)
            return
        cone = self.store.cone(outputs=outputs)
        nodes, kept = self.store.nodes(), cone.nodes()
        reach = sorted(needed(nodes, outputs))
        assert len(kept) == len(reach)
        expected_map = [None] * len(nodes)
        for position, node in enumerate(reach):
            expected_map[node] = (position, None)
        assert cone.node_map() == expected_map
        for position, node in enumerate(reach):
            moved = dict(nodes[node], inputs=[expected_map[i][0] for i in nodes[node]["inputs"]])
            assert node_key(kept[position]) == node_key(moved)
        assert cone.outputs() == distinct(expected_map[o][0] for o in outputs)

    # --- incremental reduction -----------------------------------------------

    @rule()
    def step(self):
        before = self.reducer.watermark()
        assert self.reducer.step(self.store) == len(self.keys) - before
        assert self.reducer.watermark() == self.reducer.total_work() == len(self.keys)
        assert self.reducer.canonical_count() <= len(self.keys)

    @rule(maximal=st.booleans(), data=st.data())
    def finalize(self, maximal, data):
        outputs = self.outputs_choice(data)
        before = self.reducer.watermark()
        if outputs is not None and any(o >= len(self.keys) for o in outputs):
            with pytest.raises(ValueError, match="^no node with id "):
                self.reducer.finalize(self.store, maximal_fusion=maximal, outputs=outputs)
            assert self.reducer.watermark() == before
            return
        result, report = self.reducer.finalize(self.store, maximal_fusion=maximal, outputs=outputs)
        assert self.reducer.watermark() == self.reducer.total_work() == len(self.keys)
        wanted = self.store.outputs() if outputs is None else outputs
        check_result(self.store, result, report, wanted, self.reducer.canonical_count(),
                     dead_dropped=False)
        expected, expected_report = self.store.reduce(maximal_fusion=maximal, outputs=outputs)
        for key in ("canonical_nodes", "stages", "boundary_nodes", "reduced_nodes"):
            assert report[key] == expected_report[key], key
        if needed(self.store.nodes(), wanted) == set(range(len(self.keys))):
            assert content(result)[:2] == content(expected)[:2]

    @rule()
    def to_dot(self):
        dot = self.store.to_dot()
        assert dot.startswith("digraph korvane {") and dot.rstrip().endswith("}")

    # --- after every call ------------------------------------------------------

    @invariant()
    def store_matches_the_model(self):
        nodes = self.store.nodes()
        assert self.store.node_count() == len(nodes) == len(self.keys)
        assert [n["id"] for n in nodes] == list(range(len(nodes)))
        assert [node_key(n) for n in nodes] == self.keys
        assert len(set(self.keys)) == len(self.keys)
        outputs = self.store.outputs()
        assert len(set(outputs)) == len(outputs) and all(0 <= o < len(nodes) for o in outputs)
        assert [n["output"] for n in nodes] == [i in outputs for i in range(len(nodes))]
        assert all(i < n["id"] for n in nodes for i in n["inputs"])

    @invariant()
    def reducer_counts_agree(self):
        watermark = self.reducer.watermark()
        assert self.reducer.total_work() == watermark <= len(self.keys)
        assert self.reducer.canonical_count() <= watermark


# The sanitized pass runs fewer, since every call costs more there.
_sanitized = bool(os.environ.get("KORVANE_SANITIZED"))
SurfaceMachine.TestCase.settings = settings(
    max_examples=15 if _sanitized else 60,
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
test_surface = SurfaceMachine.TestCase


def test_a_group_that_rebuilds_a_carried_stage_is_counted_once():
    # Building on a reduced store: the new operation fuses into exactly the
    # stage the store already holds, and the result store holds it once.
    store = GraphStore()
    store.add_op("f", [store.add_source("a")])
    reduced, _ = store.reduce(outputs=[1])
    again = reduced.add_op("f", [0])
    result, report = reduced.reduce(outputs=[1, again])
    assert [n["kind"] for n in result.nodes()] == ["source", "stage"]
    assert result.node_map() == [(0, None), (1, None), (1, 0)]
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"] == 2
    assert report["stages"] == 1
