"""Reading a store back: nodes(), outputs(), node_map() and to_dot()."""
import threading

import pytest

from blob_builder import load, op, source, stage
from korvane_core import GraphStore

EMPTY_DOT = "digraph korvane {\n}\n"


def test_empty_store(store):
    assert store.nodes() == []
    assert store.outputs() == []
    assert store.node_map() == []
    assert store.to_dot() == EMPTY_DOT


def test_node_dicts_have_keys_in_order(store):
    store.add_source("s", {"k": 1.0})
    store.add_op("f", [0], {"b": True, "a": "x"})
    store.add_reduction("r", [1, 0])
    store.add_exchange([2], {"scheme": "hash"})
    store.add_join([0, 3])
    nodes = store.nodes()
    assert nodes == [
        {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "s", "params": {"k": 1.0}},
        {"id": 1, "output": False, "inputs": [0], "kind": "op", "name": "f",
         "params": {"a": "x", "b": True}},
        {"id": 2, "output": False, "inputs": [1, 0], "kind": "reduction", "name": "r", "params": {}},
        {"id": 3, "output": False, "inputs": [2], "kind": "exchange", "name": "",
         "params": {"scheme": "hash"}},
        {"id": 4, "output": False, "inputs": [0, 3], "kind": "join", "name": "", "params": {}},
    ]
    for node in nodes:
        assert list(node) == ["id", "output", "inputs", "kind", "name", "params"]
    assert list(nodes[1]["params"]) == ["a", "b"]


def test_views_are_fresh_copies(store):
    store.add_source("s", {"a": 1})
    first = store.nodes()
    first[0]["params"]["a"] = 2
    first[0]["inputs"].append(7)
    first.clear()
    store.outputs().append(0)
    store.node_map().append(None)
    assert store.nodes()[0]["params"] == {"a": 1} and store.nodes()[0]["inputs"] == []
    assert store.outputs() == [] and store.node_map() == []
    assert store.nodes() is not store.nodes()


def test_dot_of_a_small_graph(store):
    store.add_source("s")
    store.add_op("f", [0])
    store.add_op("g", [0, 0], {"n": -0.0, "t": "a\"b"})
    assert store.to_dot() == (
        "digraph korvane {\n"
        '  n0 [label="Source s"];\n'
        '  n1 [label="Op f"];\n'
        '  n2 [label="Op g {n=-0, t=\\"a\\\\\\"b\\"}"];\n'
        "  n0 -> n1;\n"
        "  n0 -> n2;\n"
        "  n0 -> n2;\n"
        "}\n"
    )


def test_dot_escapes_labels_but_not_token_characters(store):
    store.add_source('a"b\\c|d;e\nf')
    assert store.to_dot() == 'digraph korvane {\n  n0 [label="Source a\\"b\\\\c|d;e\nf"];\n}\n'


def test_dot_lists_all_vertices_before_edges(store):
    store.add_source("a")
    store.add_join([0, 0, 0])
    store.add_source("b")
    lines = store.to_dot().splitlines()
    assert lines[1:4] == ['  n0 [label="Source a"];', '  n1 [label="Join"];', '  n2 [label="Source b"];']
    assert lines[4:] == ["  n0 -> n1;"] * 3 + ["}"]


def test_dot_of_every_labelled_kind(store):
    store.add_external({"kind": "k", "content_hash": "abc", "framework": "fw", "version": "2",
                        "io_schema": "ignored", "preprocessing_ref": "ignored"}, [])
    store.add_exchange([0], {"scheme": "hash"})
    store.add_reduction("sum", [1], {"big": 1e21, "small": 1e-7})
    labels = [line.split('"', 1)[1].rsplit('"', 1)[0] for line in store.to_dot().splitlines()[1:4]]
    assert labels == [
        "External k:abc [fw 2]",
        'Exchange {scheme=\\"hash\\"}',
        "Reduction sum {big=1000000000000000000000, small=0.0000001}",
    ]


# --- stores read from blobs: outputs, stages ---------------------------------


def test_outputs_and_doublecircle_from_a_blob():
    store = load([source("s"), op("f", [0]), op("g", [0])], outputs=[2, 1, 2])
    assert store.outputs() == [2, 1]
    assert [n["output"] for n in store.nodes()] == [False, True, True]
    assert store.to_dot().splitlines()[1:4] == [
        '  n0 [label="Source s"];',
        '  n1 [label="Op f", shape=doublecircle];',
        '  n2 [label="Op g", shape=doublecircle];',
    ]


def test_stage_node_view():
    members = [("op|f|a=i1", [("input", 0)]), ("red|g%7Cx|s=sa%3Bb", [("member", 0), ("input", 1)])]
    store = load([source("s"), source("t"), stage([0, 1], members)], outputs=[2])
    node = store.nodes()[2]
    assert list(node) == ["id", "output", "inputs", "kind", "name", "params", "n_members", "members"]
    assert node["kind"] == "stage" and node["name"] == "" and node["params"] == {}
    assert node["n_members"] == 2
    assert node["members"] == [
        {"kind": "op", "name": "f", "params": {"a": 1}, "inputs": [("input", 0)]},
        {"kind": "red", "name": "g|x", "params": {"s": "a;b"}, "inputs": [("member", 0), ("input", 1)]},
    ]
    assert [list(m) for m in node["members"]] == [["kind", "name", "params", "inputs"]] * 2
    assert '  n2 [label="Stage[2 members]", shape=doublecircle];' in store.to_dot()


def test_unparseable_stage_member_token():
    store = load([source("s"), stage([0], [("src|x\"y", [("input", 0)])])])
    with pytest.raises(ValueError) as info:
        store.nodes()
    assert str(info.value) == 'unparseable stage member token "src|x\\"y"'
    assert store.node_count() == 2


def test_node_map_of_a_cone():
    store = GraphStore()
    store.add_source("a")
    store.add_source("b")
    store.add_op("f", [1])
    try:
        cone = store.cone(outputs=[2])
    except NotImplementedError:
        pytest.skip("GraphStore.cone is not available in this build")
    assert cone.node_map() == [None, (0, None), (1, None)]
    assert store.node_map() == []


# --- consistency under concurrent additions ----------------------------------


def test_nodes_is_consistent_while_another_thread_adds(store):
    store.add_source("root")
    stop = threading.Event()

    def writer():
        previous = 0
        i = 0
        while not stop.is_set() and i < 20000:
            previous = store.add_op("f", [previous], {"i": i})
            i += 1

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for _ in range(50):
            nodes = store.nodes()
            assert [n["id"] for n in nodes] == list(range(len(nodes)))
            assert all(i < n["id"] for n in nodes for i in n["inputs"])
            assert len(nodes) <= store.node_count()
    finally:
        stop.set()
        thread.join()
