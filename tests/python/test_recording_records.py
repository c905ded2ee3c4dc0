"""What recording stores: the records of the blob format, byte for byte.

Recording converts its arguments straight into packed records. These tests
encode the expected records independently (blob_builder) from a model of the
conversion rules and compare them with what the store serializes, and check
that records recorded this way and records read from a blob are one node.
"""
import math
import struct
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

import blob_builder as bb
from korvane_core import GraphStore, PayloadDescriptor

INT64 = (-(2**63), 2**63 - 1)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyInt(int):
    pass


class MyStr(str):
    pass


def float_of_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_of(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def model_value(value):
    """The value a param converts to, as a plain bool, int, float or str."""
    if type(value) is bool:
        return value
    if isinstance(value, (int, Index)):
        number = value.__index__()
        return number if INT64[0] <= number <= INT64[1] else float(number)
    if isinstance(value, float):
        return value
    return str(value)


def identity(value):
    """Equality of param values: floats by bits with every NaN alike."""
    if isinstance(value, float):
        return ("f", 0x7FF8000000000000 if math.isnan(value) else bits_of(value))
    return (type(value).__name__, value)


def entries_of(params):
    converted = sorted(((k, model_value(v)) for k, v in params.items()), key=lambda e: e[0].encode())
    return converted, tuple((k, identity(v)) for k, v in converted)


DESCRIPTOR = ("model", "h1", "torch", "2.1", "f32->f32")

names = st.one_of(st.sampled_from(["", "f", "a|b;c=d%", "\u00e9\u4e2d\U0001f600", "nul\0byte"]), st.text(max_size=6))
values = st.one_of(
    st.booleans(),
    st.integers(*INT64),
    st.sampled_from([INT64[0], INT64[1], 0, -1, 1, 2**63, 2**64 + 1, -(2**63) - 1, 10**300]),
    st.floats(),
    st.sampled_from([0.0, -0.0, math.inf, -math.inf]),
    st.integers(0, 2**64 - 1).map(lambda b: float_of_bits(b | 0x7FF0000000000001)),  # NaN payloads
    st.text(max_size=5),
    st.integers(*INT64).map(MyInt),
    st.integers(-(2**70), 2**70).map(Index),
    st.text(max_size=3).map(MyStr),
)
params = st.dictionaries(st.text(max_size=4), values, max_size=5)
calls = st.lists(st.tuples(
    st.sampled_from(["source", "op", "reduction", "exchange", "join", "external"]),
    names,
    st.lists(st.integers(0, 30), max_size=4),
    st.sampled_from([list, tuple]),
    params,
    st.sampled_from([None, "", "prep"]),
    st.booleans(),
), max_size=25)


def record_call(store, kind, name, ids, container, params, prep, as_object):
    inputs = container(ids)
    if kind == "source":
        return store.add_source(name, params)
    if kind in ("op", "reduction"):
        return getattr(store, "add_" + kind)(name, inputs, params)
    if kind == "external":
        if as_object:
            descriptor = PayloadDescriptor(**dict(zip(
                ("kind", "content_hash", "framework", "version", "io_schema"), DESCRIPTOR)),
                preprocessing_ref=prep)
        else:
            descriptor = dict(zip(("kind", "content_hash", "framework", "version", "io_schema",
                                   "preprocessing_ref"), DESCRIPTOR + (prep,)), extra="ignored")
        return store.add_external(descriptor, inputs, params)
    return getattr(store, "add_" + kind)(inputs, params)


def expected_record(kind, name, ids, entries, prep):
    if kind == "source":
        return bb.source(name, entries)
    if kind == "op":
        return bb.op(name, ids, entries)
    if kind == "reduction":
        return bb.reduction(name, ids, entries)
    if kind == "external":
        return bb.external(DESCRIPTOR + (prep,), ids, entries)
    return getattr(bb, kind)(ids, entries)


@settings(max_examples=300, deadline=None)
@given(calls)
def test_recorded_records_are_the_blob_records(calls):
    store = GraphStore()
    records, ids_by_key, replay = [], {}, []
    for kind, name, ids, container, params, prep, as_object in calls:
        ids = [i % (len(records) + 1) for i in ids]  # mostly valid, the count itself is not
        if kind == "source":
            ids = []
        if any(i >= len(records) for i in ids):
            with pytest.raises(ValueError, match=f"^no node with id {next(i for i in ids if i >= len(records))}$"):
                record_call(store, kind, name, ids, container, params, prep, as_object)
            continue
        entries, identity_key = entries_of(params)
        key = (kind, name if kind in ("source", "op", "reduction") else "",
               prep if kind == "external" else None, tuple(ids), identity_key)
        if key not in ids_by_key:
            ids_by_key[key] = len(records)
            records.append(expected_record(kind, name, ids, entries, prep))
        node = record_call(store, kind, name, ids, container, params, prep, as_object)
        assert node == ids_by_key[key]
        replay.append(((kind, name, ids, container, params, prep, as_object), node))
    assert store.serialize() == bb.blob(records)

    # A store read from the bytes knows every recorded node: records from a
    # blob and records packed from arguments hash and compare alike.
    reread = GraphStore.deserialize(bb.blob(records))
    for call, node in replay:
        assert record_call(reread, *call) == node
    assert reread.node_count() == len(records)


def test_numpy_scalars_record_like_their_python_values():
    np = pytest.importorskip("numpy")
    store = GraphStore()
    node = store.add_source("s", {"i": np.int64(-3), "u": np.uint64(2**64 - 1), "f": np.float32(0.5),
                                  "d": np.float64(-0.0), "b": np.bool_(True)})
    entries = sorted({"i": -3, "u": float(2**64 - 1), "f": 0.5, "d": -0.0, "b": 1.0}.items())
    assert store.serialize() == bb.blob([bb.source("s", entries)])
    assert store.add_op("f", np.array([0, 0], dtype=np.uint32)) == node + 1


def test_many_inputs_and_params_past_the_inline_room():
    store = GraphStore()
    store.add_source("s")
    ids = [0] * 40
    params = {f"k{i:02d}": i for i in reversed(range(40))}
    node = store.add_op("f", ids, params)
    assert store.add_op("f", tuple(ids), dict(sorted(params.items()))) == node
    assert store.serialize() == bb.blob([bb.source("s"), bb.op("f", ids, sorted(params.items()))])


def test_inputs_convert_in_order_when_a_list_mixes_item_kinds(store):
    for name in "ab":
        store.add_source(name)
    assert store.add_op("f", [0, Index(1), True, MyInt(0)]) == 2
    assert store.nodes()[2]["inputs"] == [0, 1, 1, 0]
    for bad, error, message in [([0, 1, -1], OverflowError, "can't convert negative int to unsigned"),
                                ([0, Index(1), 2**64], OverflowError, "int too big to convert"),
                                ([0, 1.5, -1], TypeError, "'float' object cannot be interpreted as an integer")]:
        with pytest.raises(error) as info:
            store.add_op("f", bad)
        assert str(info.value) == message
        assert info.value.__notes__ == ["while processing 'inputs'"]
    assert store.node_count() == 3


def test_unencodable_text_in_params_fails_cleanly(store):
    for params in ({"\ud800": 1}, {"k": "\udfff"}):
        with pytest.raises(UnicodeEncodeError) as info:
            store.add_source("s", params)
        assert not getattr(info.value, "__notes__", None)
    assert store.node_count() == 0


def test_params_changed_while_converting_give_the_dict_as_it_was(store):
    params = {"a": None, "b": 1}

    class Rewrites:
        def __index__(self):
            params.clear()
            params["z"] = "late"
            return 5

    params["a"] = Rewrites()
    node = store.add_source("s", params)
    assert store.nodes()[node]["params"] == {"a": 5, "b": 1}


def test_recording_from_inside_a_conversion(store):
    """A conversion that records a node itself gets its own id; the outer call is unharmed."""
    store.add_source("root")
    inner_ids = []

    class Records:
        def __index__(self):
            inner_ids.append(store.add_op("inner", [0], {"depth": 1}))
            return 0

    outer = store.add_op("outer", [Records(), 0], {"k": Records(), "s": "text"})
    assert inner_ids == [1, 1] and outer == 2
    assert store.serialize() == bb.blob([bb.source("root"), bb.op("inner", [0], [("depth", 1)]),
                                         bb.op("outer", [0, 0], [("k", 0), ("s", "text")])])


def test_params_and_inputs_changed_by_other_threads():
    """Each node is one consistent state of its arguments, never a mix or a crash."""
    store = GraphStore()
    store.add_source("s")
    params = {"a": 0, "b": 0}
    inputs = [0]
    stop = threading.Event()

    def mutate():
        n = 0
        while not stop.is_set():
            n += 1
            params["a"] = n
            params["b"] = n  # a reader may see a == b or a == b + 1, one state at a time
            if n % 2:
                inputs.append(0)
            else:
                inputs.pop()

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    writer = threading.Thread(target=mutate)
    writer.start()
    try:
        for _ in range(3000):
            store.add_op("f", inputs, params)
    finally:
        stop.set()
        writer.join()
        sys.setswitchinterval(previous)
    for node in store.nodes()[1:]:
        assert node["params"]["a"] - node["params"]["b"] in (0, 1)
        assert node["inputs"] in ([0], [0, 0])
