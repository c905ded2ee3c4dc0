"""Recording nodes: ids, deduplication, conversions and argument errors."""
import collections.abc
import math
import struct

import pytest
from hypothesis import given, strategies as st

import korvane_core
from korvane_core import GraphStore, IncrementalReducer, PayloadDescriptor


def params_of(store, node_id):
    return store.nodes()[node_id]["params"]


def raises_with_note(exc_type, message, note, call):
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == [f"while processing '{note}'"]
    return info.value


def test_version():
    assert korvane_core.version() == "0.0.7"


# --- ids and deduplication -------------------------------------------------


def test_same_source_twice_is_one_node(store):
    assert store.add_source("s") == 0
    assert store.add_source("s") == 0
    assert store.node_count() == 1


def test_ids_are_dense_in_first_insertion_order(store):
    ids = [store.add_source(name) for name in "abcab"]
    assert ids == [0, 1, 2, 0, 1]
    assert store.add_op("f", [2, 0]) == 3


def test_empty_params_and_none_are_the_same_node(store):
    assert store.add_source("s", {}) == store.add_source("s", None) == store.add_source("s")


def test_dict_subclass_is_accepted(store):
    class Params(dict):
        def items(self):  # the dict's own storage is read, not overridden views
            raise AssertionError("not called")

    assert store.add_source("s", Params(a=1)) == store.add_source("s", {"a": 1})
    assert store.add_source("s", collections.OrderedDict(a=1)) == 0


def test_inputs_are_ordered_and_keep_repeats(store):
    store.add_source("a")
    store.add_source("b")
    ids = {store.add_op("f", [0, 0]), store.add_op("f", [0]), store.add_op("f", [0, 1]),
           store.add_op("f", [1, 0])}
    assert len(ids) == 4
    assert store.nodes()[2]["inputs"] == [0, 0]


def test_kinds_with_equal_fields_are_different_nodes(store):
    store.add_source("a")
    assert store.add_op("f", [0]) != store.add_reduction("f", [0])
    assert store.add_exchange([0]) != store.add_join([0])
    assert store.node_count() == 5


def test_boundaries_accept_any_number_of_inputs(store):
    for name in "abc":
        store.add_source(name)
    assert store.add_exchange([]) == 3
    assert store.add_join([0, 1, 2]) == 4
    assert store.add_exchange(inputs=[0], params={"scheme": "hash"}) == 5
    kinds = [n["kind"] for n in store.nodes()]
    assert kinds[3:] == ["exchange", "join", "exchange"]


def test_keyword_arguments_bind_like_positional_ones(store):
    store.add_source(name="s", params={"a": 1})
    assert store.add_op(params=None, inputs=[0], name="f") == store.add_op("f", [0])


def test_unknown_input_id_is_refused_and_nothing_recorded(store):
    store.add_source("s")
    with pytest.raises(ValueError, match=r"^no node with id 5$") as info:
        store.add_op("f", [5])
    assert not getattr(info.value, "__notes__", None)
    assert store.node_count() == 1


def test_first_offending_input_is_reported(store):
    for name in "abc":
        store.add_source(name)
    with pytest.raises(ValueError, match=r"^no node with id 7$"):
        store.add_op("f", [0, 7, 9])
    with pytest.raises(ValueError, match=r"^no node with id 3$"):
        store.add_join([3])  # the id the node itself would get
    with pytest.raises(ValueError, match=r"^no node with id 18446744073709551615$"):
        store.add_external({"kind": "k", "content_hash": "h", "framework": "f",
                            "version": "v", "io_schema": "i"}, [2**64 - 1])
    assert store.node_count() == 3


# --- name conversion ---------------------------------------------------------


def test_name_must_be_a_str(store):
    raises_with_note(TypeError, "'int' object is not an instance of 'str'", "name",
                     lambda: store.add_source(3))
    raises_with_note(TypeError, "'None' is not an instance of 'str'", "name",
                     lambda: store.add_op(None, []))
    raises_with_note(TypeError, "'bytes' object is not an instance of 'str'", "name",
                     lambda: store.add_reduction(b"r", []))
    assert store.node_count() == 0


def test_str_subclass_and_unusual_names_are_taken_as_text(store):
    class Name(str):
        def __str__(self):
            return "other"

    assert store.add_source(Name("s")) == store.add_source("s")
    for name in ["", "a|b;c=d%", "\u00e9\u4e2d\U0001f600", "nul\0byte"]:
        node_id = store.add_source(name)
        assert store.nodes()[node_id]["name"] == name


def test_bad_name_is_reported_before_bad_inputs(store):
    raises_with_note(TypeError, "'int' object is not an instance of 'str'", "name",
                     lambda: store.add_op(1, "not inputs"))


def test_unencodable_name_fails_cleanly(store):
    with pytest.raises(UnicodeEncodeError) as info:
        store.add_source("\ud800")
    assert info.value.__notes__ == ["while processing 'name'"]


# --- inputs conversion -------------------------------------------------------


class RegisteredSequence:
    """A Sequence by registration only, without the C-level sequence protocol."""

    def __init__(self, items):
        self._items = list(items)

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


collections.abc.Sequence.register(RegisteredSequence)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("inputs", [
    [0, 1], (0, 1), range(2), b"\x00\x01", RegisteredSequence([0, 1]), [Index(0), True],
])
def test_accepted_input_sequences(store, inputs):
    store.add_source("a")
    store.add_source("b")
    assert store.add_op("f", inputs) == 2
    assert store.add_op("f", [0, 1]) == 2


@pytest.mark.parametrize("inputs, message", [
    ("01", "Can't extract `str` to `Vec`"),
    ({0, 1}, "'set' object is not an instance of 'Sequence'"),
    ({0: 0}, "'dict' object is not an instance of 'Sequence'"),
    (iter([0]), "'list_iterator' object is not an instance of 'Sequence'"),
    ((i for i in [0]), "'generator' object is not an instance of 'Sequence'"),
    (0, "'int' object is not an instance of 'Sequence'"),
    (None, "'NoneType' object is not an instance of 'Sequence'"),
    ([0, 1.0], "'float' object cannot be interpreted as an integer"),
    ([0, "1"], "'str' object cannot be interpreted as an integer"),
])
def test_refused_inputs_carry_the_argument_note(store, inputs, message):
    store.add_source("a")
    store.add_source("b")
    raises_with_note(TypeError, message, "inputs", lambda: store.add_op("f", inputs))
    raises_with_note(TypeError, message, "inputs", lambda: store.add_exchange(inputs))
    assert store.node_count() == 2


@pytest.mark.parametrize("bad_id", [-1, 2**64, -(2**70)])
def test_input_ids_outside_u64_raise_overflow(store, bad_id):
    with pytest.raises(OverflowError) as info:
        store.add_join([bad_id])
    assert info.value.__notes__ == ["while processing 'inputs'"]


def test_inputs_error_from_user_index_propagates(store):
    class Broken:
        def __index__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError) as info:
        store.add_exchange([Broken()])
    assert info.value.__notes__ == ["while processing 'inputs'"]


def test_list_mutated_while_converting_is_read_consistently(store):
    store.add_source("a")
    inputs = [0]

    class Grow:
        def __index__(self):
            inputs.extend([0] * 100)
            return 0

    inputs.append(Grow())
    assert store.nodes() and store.add_op("f", inputs) == 1
    assert store.nodes()[1]["inputs"] == [0, 0]


# --- params conversion -------------------------------------------------------


def test_bool_int_and_float_params_are_distinct(store):
    ids = [store.add_source("s", {"x": v}) for v in (True, 1, 1.0)]
    assert len(set(ids)) == 3
    values = [params_of(store, i)["x"] for i in ids]
    assert [type(v) for v in values] == [bool, int, float]


def test_int_beyond_int64_becomes_float(store):
    node = store.add_source("s", {"x": 2**63})
    value = params_of(store, node)["x"]
    assert type(value) is float and value == 9.223372036854776e18
    assert store.add_source("s", {"x": 2**63}) == node
    assert store.add_source("s", {"x": 9.223372036854776e18}) == node
    low = store.add_source("s", {"x": -(2**63)})
    assert params_of(store, low)["x"] == -(2**63)
    assert type(params_of(store, low)["x"]) is int


@pytest.mark.parametrize("value", [10**400, None, [1], {"a": 1}, b"x", 1j, object()])
def test_unsupported_param_values(store, value):
    with pytest.raises(TypeError, match=r"^param values must be int, float, bool, or str$") as info:
        store.add_source("s", {"ok": 1, "bad": value})
    assert not getattr(info.value, "__notes__", None)
    assert store.node_count() == 0


def test_params_must_be_a_dict_or_none(store):
    for params in ([("a", 1)], (), "a=1", 0):
        with pytest.raises(TypeError, match=r"^params must be a dict or None$") as info:
            store.add_source("s", params)
        assert not getattr(info.value, "__notes__", None)


def test_param_keys_must_be_str(store):
    with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'str'$") as info:
        store.add_source("s", {1: 1})
    assert not getattr(info.value, "__notes__", None)


def test_float_identity_is_by_canonical_bits(store):
    pos = store.add_source("s", {"x": 0.0})
    neg = store.add_source("s", {"x": -0.0})
    assert pos != neg
    assert math.copysign(1.0, params_of(store, neg)["x"]) == -1.0
    quiet = store.add_source("s", {"x": float("nan")})
    payload = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000123))[0]
    assert math.isnan(payload)
    assert store.add_source("s", {"x": payload}) == quiet
    assert store.add_source("s", {"x": -float("nan")}) == quiet


def test_insertion_order_of_params_is_irrelevant(store):
    first = store.add_source("s", {"b": 1, "a": 2})
    assert store.add_source("s", {"a": 2, "b": 1}) == first
    assert list(params_of(store, first)) == ["a", "b"]


def test_params_sort_by_utf8_bytes(store):
    keys = ["\u00e9", "z", "Z", "", "a", "ab", "\U0001f600", "\uffff"]
    node = store.add_source("s", dict.fromkeys(keys, 0))
    assert list(params_of(store, node)) == sorted(keys, key=lambda k: k.encode())


def test_numeric_protocols_and_subclasses(store):
    class Floaty:
        def __float__(self):
            return 2.5

    class MyStr(str):
        pass

    class MyFloat(float):
        pass

    node = store.add_source("s", {"i": Index(7), "f": Floaty(), "s": MyStr("t"),
                                  "g": MyFloat(0.5), "big": Index(2**64)})
    params = params_of(store, node)
    assert params == {"big": float(2**64), "f": 2.5, "g": 0.5, "i": 7, "s": "t"}
    assert [type(params[k]) for k in ("big", "f", "g", "i", "s")] == [float, float, float, int, str]


def test_numpy_scalars_convert_through_their_protocols(store):
    np = pytest.importorskip("numpy")
    node = store.add_source("s", {"i": np.int64(3), "f": np.float32(0.5), "b": np.bool_(True)})
    params = params_of(store, node)
    assert params == {"b": 1.0, "f": 0.5, "i": 3}
    assert type(params["i"]) is int and type(params["f"]) is float


def test_param_conversion_does_not_swallow_interrupts(store):
    class Interrupting:
        def __index__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        store.add_source("s", {"x": Interrupting()})


param_values = st.one_of(
    st.booleans(), st.integers(-(2**63), 2**63 - 1), st.floats(allow_nan=False), st.text())


@given(st.dictionaries(st.text(), param_values, max_size=6))
def test_params_round_trip_through_nodes(params):
    store = GraphStore()
    node = store.add_source("s", params)
    reordered = dict(reversed(list(params.items())))
    assert store.add_source("s", reordered) == node
    shown = store.nodes()[node]["params"]
    assert list(shown) == sorted(params, key=lambda k: k.encode())
    for key, value in params.items():
        assert type(shown[key]) is type(value)
        if isinstance(value, float):
            assert struct.pack("<d", shown[key]) == struct.pack("<d", value)
        else:
            assert shown[key] == value


# --- argument errors of every callable ---------------------------------------


def _store_with_node():
    store = GraphStore()
    store.add_source("s")
    return store


ARGUMENT_ERRORS = [
    (lambda s: GraphStore(1), "GraphStore.__new__() takes 0 positional arguments but 1 was given"),
    (lambda s: GraphStore(x=1), "GraphStore.__new__() got an unexpected keyword argument 'x'"),
    (lambda s: s.add_source(), "GraphStore.add_source() missing 1 required positional argument: 'name'"),
    (lambda s: s.add_source("a", {}, 3),
     "GraphStore.add_source() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda s: s.add_source("a", name="b"), "GraphStore.add_source() got multiple values for argument 'name'"),
    (lambda s: s.add_source("a", param={}), "GraphStore.add_source() got an unexpected keyword argument 'param'"),
    (lambda s: s.add_op(), "GraphStore.add_op() missing 2 required positional arguments: 'name' and 'inputs'"),
    (lambda s: s.add_op("f"), "GraphStore.add_op() missing 1 required positional argument: 'inputs'"),
    (lambda s: s.add_op(inputs=[]), "GraphStore.add_op() missing 1 required positional argument: 'name'"),
    (lambda s: s.add_op("f", [], None, 1),
     "GraphStore.add_op() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda s: s.add_op("f", [], inputs=[]), "GraphStore.add_op() got multiple values for argument 'inputs'"),
    (lambda s: s.add_reduction("r"), "GraphStore.add_reduction() missing 1 required positional argument: 'inputs'"),
    (lambda s: s.add_exchange(), "GraphStore.add_exchange() missing 1 required positional argument: 'inputs'"),
    (lambda s: s.add_exchange([], None, None),
     "GraphStore.add_exchange() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda s: s.add_join(scheme={}), "GraphStore.add_join() got an unexpected keyword argument 'scheme'"),
    (lambda s: s.add_external(),
     "GraphStore.add_external() missing 2 required positional arguments: 'descriptor' and 'inputs'"),
    (lambda s: s.add_external({}, [], None, None),
     "GraphStore.add_external() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda s: PayloadDescriptor("k"), "PayloadDescriptor.__new__() takes 0 positional arguments but 1 was given"),
    (lambda s: PayloadDescriptor(),
     "PayloadDescriptor.__new__() missing 5 required keyword arguments: "
     "'kind', 'content_hash', 'framework', 'version', and 'io_schema'"),
    (lambda s: PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v"),
     "PayloadDescriptor.__new__() missing 1 required keyword argument: 'io_schema'"),
    (lambda s: PayloadDescriptor(kind="k", content_hash="h", framework="f"),
     "PayloadDescriptor.__new__() missing 2 required keyword arguments: 'version' and 'io_schema'"),
    (lambda s: PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v",
                                 io_schema="i", extra=1),
     "PayloadDescriptor.__new__() got an unexpected keyword argument 'extra'"),
    (lambda s: s.serialize([0], None), "GraphStore.serialize() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda s: s.serialize([0], outputs=[0]), "GraphStore.serialize() got multiple values for argument 'outputs'"),
    (lambda s: s.serialize(output=[0]), "GraphStore.serialize() got an unexpected keyword argument 'output'"),
    (lambda s: GraphStore.deserialize(), "GraphStore.deserialize() missing 1 required positional argument: 'data'"),
    (lambda s: s.deserialize(b"", b""), "GraphStore.deserialize() takes 1 positional arguments but 2 were given"),
    (lambda s: GraphStore.deserialize(blob=b""), "GraphStore.deserialize() got an unexpected keyword argument 'blob'"),
    (lambda s: s.reduce(True), "GraphStore.reduce() takes 0 positional arguments but 1 was given"),
    (lambda s: s.reduce(True, None), "GraphStore.reduce() takes 0 positional arguments but 2 were given"),
    (lambda s: s.reduce(maximal=True), "GraphStore.reduce() got an unexpected keyword argument 'maximal'"),
    (lambda s: s.cone(), "GraphStore.cone() missing 1 required keyword argument: 'outputs'"),
    (lambda s: s.cone([0]), "GraphStore.cone() takes 0 positional arguments but 1 was given"),
    (lambda s: s.reduce_incremental([0]), "GraphStore.reduce_incremental() takes 0 positional arguments but 1 was given"),
    (lambda s: s.reduce_incremental(maximal_fusion=True),
     "GraphStore.reduce_incremental() got an unexpected keyword argument 'maximal_fusion'"),
    (lambda s: s.reduction_report(maximal_fusion=False),
     "GraphStore.reduction_report() got an unexpected keyword argument 'maximal_fusion'"),
    (lambda s: IncrementalReducer(s), "IncrementalReducer.__new__() takes 0 positional arguments but 1 was given"),
    (lambda s: IncrementalReducer().step(), "IncrementalReducer.step() missing 1 required positional argument: 'store'"),
    (lambda s: IncrementalReducer().step(s, s), "IncrementalReducer.step() takes 1 positional arguments but 2 were given"),
    (lambda s: IncrementalReducer().step(s, store=s), "IncrementalReducer.step() got multiple values for argument 'store'"),
    (lambda s: IncrementalReducer().finalize(), "IncrementalReducer.finalize() missing 1 required positional argument: 'store'"),
    (lambda s: IncrementalReducer().finalize(s, True),
     "IncrementalReducer.finalize() takes 1 positional arguments but 2 were given"),
    (lambda s: IncrementalReducer().finalize(s, maximal=True),
     "IncrementalReducer.finalize() got an unexpected keyword argument 'maximal'"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS,
                         ids=[m.split(" ", 1)[0] + str(i) for i, (_, m) in enumerate(ARGUMENT_ERRORS)])
def test_argument_errors(call, message):
    store = _store_with_node()
    with pytest.raises(TypeError) as info:
        call(store)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
    assert store.node_count() == 1


def test_surplus_positionals_are_reported_before_bad_keywords(store):
    with pytest.raises(TypeError, match=r"takes from 2 to 3 positional arguments but 4 were given"):
        store.add_op("f", [], None, 1, bogus=1)


def test_first_bad_keyword_wins(store):
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'zz'"):
        store.add_op("f", zz=1, name="g")
    with pytest.raises(TypeError, match=r"got multiple values for argument 'name'"):
        store.add_op("f", name="g", zz=1)


def test_no_argument_methods_use_the_interpreter_check(store):
    for method in (store.node_count, store.nodes, store.outputs, store.node_map, store.to_dot,
                   korvane_core.version):
        with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
            method(1)


# --- conversions of the later methods' arguments ----------------------------


@pytest.mark.parametrize("call, exc_type, message, note", [
    (lambda s: s.serialize("01"), TypeError, "Can't extract `str` to `Vec`", "outputs"),
    (lambda s: s.serialize(5), TypeError, "'int' object is not an instance of 'Sequence'", "outputs"),
    (lambda s: s.serialize(outputs=[-1]), OverflowError, "can't convert negative int to unsigned", "outputs"),
    (lambda s: GraphStore.deserialize(bytearray(b"KIR1")), TypeError,
     "'bytearray' object is not an instance of 'bytes'", "data"),
    (lambda s: s.deserialize(data="KIR1"), TypeError, "'str' object is not an instance of 'bytes'", "data"),
    (lambda s: s.reduce(maximal_fusion=1), TypeError, "'int' object is not an instance of 'bool'",
     "maximal_fusion"),
    (lambda s: s.reduce(maximal_fusion=None), TypeError,
     "'NoneType' object is not an instance of 'bool'", "maximal_fusion"),
    (lambda s: s.reduce(outputs="0"), TypeError, "Can't extract `str` to `Vec`", "outputs"),
    (lambda s: s.cone(outputs={0}), TypeError, "'set' object is not an instance of 'Sequence'", "outputs"),
    (lambda s: s.cone(outputs=None), TypeError, "'NoneType' object is not an instance of 'Sequence'",
     "outputs"),
    (lambda s: s.reduce_incremental(outputs=[1.5]), TypeError,
     "'float' object cannot be interpreted as an integer", "outputs"),
    (lambda s: s.reduction_report(outputs=[2**64]), OverflowError, "int too big to convert", "outputs"),
    (lambda s: IncrementalReducer().step(42), TypeError, "'int' object is not an instance of 'GraphStore'",
     "store"),
    (lambda s: IncrementalReducer().finalize(store=None), TypeError,
     "'NoneType' object is not an instance of 'GraphStore'", "store"),
    (lambda s: IncrementalReducer().finalize(s, maximal_fusion="yes"), TypeError,
     "'str' object is not an instance of 'bool'", "maximal_fusion"),
    (lambda s: IncrementalReducer().finalize(s, outputs="0"), TypeError, "Can't extract `str` to `Vec`",
     "outputs"),
])
def test_later_methods_convert_their_arguments(call, exc_type, message, note):
    store = _store_with_node()
    raises_with_note(exc_type, message, note, lambda: call(store))
    assert store.node_count() == 1


# --- the objects themselves --------------------------------------------------


def test_objects_are_immutable_and_final(store):
    with pytest.raises(AttributeError):
        store.extra = 1
    with pytest.raises(AttributeError):
        store.__dict__
    for cls in (GraphStore, PayloadDescriptor, IncrementalReducer):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(TypeError):
            cls.new_attribute = 1


def test_sequence_subclasses_are_iterated(store):
    class Reversed(list):
        def __iter__(self):
            return iter(list(list.__iter__(self))[::-1])

    store.add_source("a")
    store.add_source("b")
    node = store.add_op("f", Reversed([0, 1]))
    assert store.nodes()[node]["inputs"] == [1, 0]


def test_numpy_booleans_pass_as_bool_arguments():
    np = pytest.importorskip("numpy")
    store = _store_with_node()
    # maximal_fusion converts first; the outputs error shows it was accepted.
    for flag in (np.bool_(True), np.bool_(False)):
        raises_with_note(TypeError, "Can't extract `str` to `Vec`", "outputs",
                         lambda: store.reduce(maximal_fusion=flag, outputs="0"))
        raises_with_note(TypeError, "Can't extract `str` to `Vec`", "outputs",
                         lambda: IncrementalReducer().finalize(store, maximal_fusion=flag, outputs="0"))
    raises_with_note(TypeError, "'int64' object is not an instance of 'bool'", "maximal_fusion",
                     lambda: store.reduce(maximal_fusion=np.int64(1)))


def _canonical(value):
    if isinstance(value, float):
        return ("f", struct.pack("<d", math.nan if math.isnan(value) else value))
    return (type(value).__name__, value)


recording_calls = st.lists(st.tuples(
    st.sampled_from(["source", "op", "reduction", "exchange", "join"]),
    st.sampled_from(["a", "b"]),
    st.lists(st.integers(0, 12), max_size=3),
    st.dictionaries(st.sampled_from(["x", "y"]),
                    st.one_of(st.booleans(), st.integers(-2, 2), st.sampled_from(
                        [0.0, -0.0, 1.0, math.nan, math.inf]), st.sampled_from(["", "s"])),
                    max_size=2),
), max_size=40)


@given(recording_calls)
def test_ids_match_a_model_of_interning(calls):
    store = GraphStore()
    model = {}
    for kind, name, inputs, params in calls:
        if kind == "source":
            inputs = []
        key = (kind, name if kind in ("source", "op", "reduction") else "", tuple(inputs),
               tuple(sorted((k, _canonical(v)) for k, v in params.items())))
        add = getattr(store, "add_" + kind)
        args = (name, params) if kind == "source" else (
            (name, inputs, params) if kind in ("op", "reduction") else (inputs, params))
        if any(i >= len(model) for i in inputs):
            with pytest.raises(ValueError, match=f"^no node with id {next(i for i in inputs if i >= len(model))}$"):
                add(*args)
        else:
            assert add(*args) == model.setdefault(key, len(model))
        assert store.node_count() == len(model)
