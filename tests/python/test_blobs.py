"""Blobs: writing a store to its canonical bytes and reading it back."""

import math
import random
import struct
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

from blob_builder import SOURCE, STAGE, inputs, op, source, stage, text, u32
from korvane_core import GraphStore, PayloadDescriptor

TRUNCATED = "truncated korvane IR blob"
BAD_MAGIC = "not a korvane IR blob (bad magic/version)"
BAD_UTF8 = "invalid utf-8 in korvane IR blob"


# Field-level pieces the record builders do not cover (malformed blobs).


def u8(v):
    return bytes([v])


def u64(v):
    return struct.pack("<Q", v)


def raw_text(data):
    return u32(len(data)) + data


def header(n):
    return b"KIR1" + u32(n)


def outputs(*ids):
    return u32(len(ids)) + b"".join(u64(i) for i in ids)


def source_with_params(name, raw_params):
    return u8(SOURCE) + text(name) + raw_params


def descriptor(ref=None):
    return PayloadDescriptor(kind="model", content_hash="sha256:00", framework="torch",
                             version="2.1", io_schema="{}", preprocessing_ref=ref)


def every_kind_store():
    """A store with every node kind reachable from Python and every parameter kind."""
    g = GraphStore()
    s = g.add_source("src", {"path": "a/ü.csv", "rows": -42, "fast": True, "slow": False,
                             "scale": 0.5})
    pos = g.add_op("add", [s, s], {"c": 0.0})
    neg = g.add_op("add", [s, s], {"c": -0.0})
    nan = g.add_op("mul", [pos], {"c": math.nan})
    red = g.add_reduction("sum", [nan, neg])
    e1 = g.add_external(descriptor("prep"), [red])
    e2 = g.add_external(descriptor(""), [red])
    e3 = g.add_external(descriptor(), [red, s], {"k": 1})
    ex = g.add_exchange([e1], {"scheme": "hash"})
    g.add_join([ex, e2, e3])
    g.add_join([])
    return g


def stage_blob():
    """Two sources and a stage over them whose members use input and member references."""
    return (header(3) + source("a") + source("b")
            + stage([0, 1], [("op|neg", [("input", 1)]),
                             ("op|add", [("member", 0), ("input", 0)]),
                             ("red|sum", [("member", 1), ("member", 0)])])
            + outputs(2))


def blobs():
    return [every_kind_store().serialize([10, 3, 10]), stage_blob(),
            GraphStore().serialize(), header(1) + source("s") + outputs(0)]


# ---------------------------------------------------------------------------
# Layout and round trips


def test_worked_example_and_empty_store_bytes():
    g = GraphStore()
    assert g.serialize() == bytes.fromhex("4b495231 00000000 00000000")
    assert g.add_source("s") == 0
    assert g.serialize([0]) == bytes.fromhex(
        "4b495231 01000000 00 0100000073 00000000 01000000 0000000000000000")
    empty = GraphStore.deserialize(b"KIR1" + bytes(8))
    assert empty.node_count() == 0 and empty.outputs() == []


def test_round_trip_keeps_ids_nodes_and_bytes():
    g = every_kind_store()
    blob = g.serialize([9, 0])
    back = GraphStore.deserialize(blob)
    assert back.node_count() == g.node_count()

    def unmarked(nodes):
        return [{k: v for k, v in n.items() if k != "output"} for n in nodes]

    # repr, because a NaN parameter never compares equal to itself.
    assert repr(unmarked(back.nodes())) == repr(unmarked(g.nodes()))
    assert back.outputs() == [9, 0]
    assert back.serialize() == blob


def test_stage_nodes_round_trip():
    blob = stage_blob()
    g = GraphStore.deserialize(blob)
    assert g.serialize() == blob
    node = g.nodes()[2]
    assert node["kind"] == "stage" and node["n_members"] == 3
    assert [m["inputs"] for m in node["members"]] == [
        [("input", 1)], [("member", 0), ("input", 0)], [("member", 1), ("member", 0)]]


def test_float_parameters_keep_their_bits():
    g = GraphStore()
    g.add_source("s", {"x": 0.0})
    g.add_source("s", {"x": -0.0})
    g.add_source("s", {"x": float.fromhex("0x1.0000000000001p-1022")})
    blob = g.serialize()
    assert g.node_count() == 3
    assert blob.count(struct.pack("<d", -0.0)) == 1
    params = [n["params"]["x"] for n in GraphStore.deserialize(blob).nodes()]
    assert [math.copysign(1, p) for p in params[:2]] == [1, -1]
    assert params[2] == float.fromhex("0x1.0000000000001p-1022")
    # A NaN payload other than the quiet one is kept as written.
    odd_nan = u64(0x7FF0000000000123)
    blob = header(1) + source_with_params("s", u32(1) + text("x") + u8(1) + odd_nan) + outputs()
    assert GraphStore.deserialize(blob).serialize() == blob


def test_preprocessing_ref_absent_empty_and_set_are_kept():
    g = GraphStore()
    ids = [g.add_external(descriptor(ref), []) for ref in (None, "", "p")]
    assert len(set(ids)) == 3
    back = GraphStore.deserialize(g.serialize())
    assert [n["descriptor"]["preprocessing_ref"] for n in back.nodes()] == [None, "", "p"]


def test_default_none_and_explicit_outputs():
    marked = GraphStore.deserialize(header(3) + source("a") + source("b") + op("f", [0, 1])
                                    + outputs(2, 0))
    assert marked.outputs() == [2, 0]
    assert marked.serialize() == marked.serialize(None) == marked.serialize(outputs=None)
    assert marked.serialize([]).endswith(u32(0))
    given = marked.serialize([2, 0, 2])
    assert given.endswith(outputs(2, 0, 2))
    back = GraphStore.deserialize(given)
    assert back.outputs() == [2, 0]
    # Marked once, so its own blob differs from the one it was read from.
    assert back.serialize() != given
    assert back.serialize((2, 0, 2)) == given
    assert marked.serialize(range(3)).endswith(outputs(0, 1, 2))
    # bytes are a sequence of small ints.
    assert marked.serialize(b"\x00\x01").endswith(outputs(0, 1))


def test_trailing_bytes_are_ignored():
    blob = stage_blob()
    assert GraphStore.deserialize(blob + b"\xff trailing").serialize() == blob


def test_parameters_read_in_any_order_come_back_sorted():
    params = u32(3) + text("z") + u8(0) + u64(1) + text("b") + u8(2) + u8(9) + text("a") + u8(3) + text("x")
    written = header(1) + source_with_params("s", params) + outputs()
    g = GraphStore.deserialize(written)
    assert list(g.nodes()[0]["params"].items()) == [("a", "x"), ("b", True), ("z", 1)]
    assert g.serialize() == GraphStore.deserialize(g.serialize()).serialize()
    assert g.serialize() != written


def test_deserialize_is_static_and_takes_bytes_subclasses():
    class Blob(bytes):
        pass

    blob = stage_blob()
    assert GraphStore().deserialize(blob).serialize() == blob
    assert GraphStore.deserialize(Blob(blob)).serialize() == blob
    assert GraphStore.deserialize(data=blob).node_count() == 3


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["src", "op", "red", "ex", "join"]),
                          st.text(max_size=4),
                          st.dictionaries(st.text(max_size=3),
                                          st.one_of(st.integers(-2**63, 2**63 - 1),
                                                    st.floats(allow_nan=True), st.booleans(),
                                                    st.text(max_size=5)),
                                          max_size=3),
                          st.lists(st.integers(0, 1000), max_size=3)),
                max_size=12),
       st.lists(st.integers(0, 1000), max_size=4))
def test_any_built_store_round_trips(steps, chosen):
    g = GraphStore()
    for kind, name, params, picks in steps:
        n = g.node_count()
        ins = [p % n for p in picks] if n else []
        if kind == "src" or not n:
            g.add_source(name, params)
        elif kind == "op":
            g.add_op(name, ins, params)
        elif kind == "red":
            g.add_reduction(name, ins, params)
        elif kind == "ex":
            g.add_exchange(ins, params)
        else:
            g.add_join(ins, params)
    outs = [c % g.node_count() for c in chosen] if g.node_count() else []
    blob = g.serialize(outs)
    back = GraphStore.deserialize(blob)
    assert back.node_count() == g.node_count()
    assert back.outputs() == list(dict.fromkeys(outs))
    assert back.serialize(outs) == blob


# ---------------------------------------------------------------------------
# Errors


# Each kind of refusal reaches Python as its message; the reader's checks and
# their order are covered where the reader is tested directly.
@pytest.mark.parametrize("data, message", [
    (b"", TRUNCATED),
    (b"KIR2", BAD_MAGIC),
    (header(0xFFFFFFFF) + u32(0), TRUNCATED),
    (header(1) + u8(7), "invalid node tag 7"),
    (header(1) + source_with_params("s", u32(1) + text("k") + u8(4)), "invalid param tag 4"),
    (header(1) + u8(STAGE) + inputs([]) + u32(1) + text("t") + u32(1) + u8(2) + u32(0),
     "invalid stage-ref tag 2"),
    (header(1) + u8(SOURCE) + raw_text(b"\xff") + u32(0) + outputs(), BAD_UTF8),
    (header(4) + source("a") + source("b") + source("c") + op("f", [3]), "node reference 3 out of range"),
    (header(1) + source("a") + outputs(1), "node reference 1 out of range"),
    (header(2) + source("a") + stage([0], [("t", [("input", 1)])]) + outputs(),
     "node reference 1 out of range"),
    (header(3) + source("a") + source("b") + source("a") + outputs(),
     "duplicate node record 2 in korvane IR blob"),
])
def test_refused_blobs(data, message):
    with pytest.raises(ValueError) as info:
        GraphStore.deserialize(data)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("value", [memoryview(b"KIR1"), [75, 73, 82, 49], 12])
def test_deserialize_takes_only_bytes(value):
    with pytest.raises(TypeError) as info:
        GraphStore.deserialize(value)
    assert str(info.value) == f"'{type(value).__name__}' object is not an instance of 'bytes'"
    assert info.value.__notes__ == ["while processing 'data'"]


def test_serialize_checks_every_output_id():
    g = GraphStore()
    g.add_source("a")
    g.add_source("b")
    with pytest.raises(TypeError) as info:
        g.serialize([0, 1.0])
    assert info.value.__notes__ == ["while processing 'outputs'"]
    # The first unknown id in list order; ids are checked after conversion, so no note.
    with pytest.raises(ValueError) as info:
        g.serialize([1, 3, 2])
    assert str(info.value) == "no node with id 3"
    assert not getattr(info.value, "__notes__", None)
    with pytest.raises(ValueError, match="^no node with id 2$"):
        g.serialize(range(3))


# ---------------------------------------------------------------------------
# Hostile bytes


def mutate(rng, sources):
    blob = bytearray(rng.choice(sources))
    how = rng.randrange(5)
    if how == 0 and blob:  # flip a few bits
        for _ in range(rng.randint(1, 3)):
            blob[rng.randrange(len(blob))] ^= 1 << rng.randrange(8)
    elif how == 1:  # cut short
        del blob[rng.randrange(len(blob) + 1):]
    elif how == 2:  # splice two blobs at random points
        other = rng.choice(sources)
        blob = blob[:rng.randrange(len(blob) + 1)] + other[rng.randrange(len(other) + 1):]
    elif how == 3 and len(blob) >= 4:  # overwrite a count-sized field
        at = rng.randrange(len(blob) - 3)
        blob[at:at + 4] = u32(rng.choice([0, 1, 2, 255, 0xFFFF, 0xFFFFFFFF, rng.getrandbits(32)]))
    elif blob:  # insert or delete a byte
        at = rng.randrange(len(blob))
        if rng.random() < 0.5:
            del blob[at]
        else:
            blob.insert(at, rng.randrange(256))
    return bytes(blob)


def test_mutated_blobs_are_refused_or_round_trip():
    rng = random.Random(0x4B495231)
    sources = blobs()
    accepted = 0
    for _ in range(5000):
        data = mutate(rng, sources)
        try:
            g = GraphStore.deserialize(data)
        except ValueError:
            continue
        accepted += 1
        blob = g.serialize()
        assert GraphStore.deserialize(blob).serialize() == blob
    # The mutations must reach the accepting paths too, not only refusals.
    assert accepted > 100


# ---------------------------------------------------------------------------
# Threads


def big_blob(n):
    g = GraphStore()
    prev = g.add_source("s", {"k": 1})
    for i in range(n):
        prev = g.add_op("f", [prev], {"i": i})
    return g


@pytest.mark.skipif(not getattr(sys, "_is_gil_enabled", lambda: True)(),
                    reason="only observable with a global interpreter lock")
@pytest.mark.parametrize("call", ["serialize", "deserialize"])
def test_encoding_and_decoding_release_the_interpreter(call):
    g = big_blob(200_000)
    blob = g.serialize()
    work = (lambda: g.serialize()) if call == "serialize" else (lambda: GraphStore.deserialize(blob))

    def other_thread_ran_during_work():
        gate = threading.Lock()
        gate.acquire()
        ran = []

        def other():
            with gate:
                ran.append(1)

        t = threading.Thread(target=other)
        t.start()  # returns once `other` waits on the gate
        try:
            gate.release()
            work()
            return ran == [1]
        finally:
            t.join()

    old = sys.getswitchinterval()
    # With a huge switch interval the other thread can only run while this one
    # has let go of the interpreter. On a busy machine the other thread may
    # not be scheduled in time, so a few tries are allowed; holding the
    # interpreter throughout would fail them all.
    sys.setswitchinterval(1000)
    try:
        assert any(other_thread_ran_during_work() for _ in range(5))
    finally:
        sys.setswitchinterval(old)


def test_serialize_while_other_threads_add_nodes():
    g = GraphStore()
    g.add_source("root")
    stop = threading.Event()
    blobs_seen = []

    def writer(tag):
        i = 0
        while not stop.is_set() and i < 3000:
            g.add_op(tag, [g.node_count() - 1], {"i": i})
            i += 1

    def reader():
        for _ in range(50):
            blobs_seen.append(g.serialize([0]))

    threads = [threading.Thread(target=writer, args=(t,)) for t in ("a", "b")]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads[2:]:
        t.join()
    stop.set()
    for t in threads[:2]:
        t.join()
    for blob in blobs_seen:
        back = GraphStore.deserialize(blob)
        assert back.serialize([0]) == blob
