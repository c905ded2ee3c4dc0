"""Payload descriptors and external nodes."""
import pytest

from korvane_core import PayloadDescriptor

FIELDS = ("kind", "content_hash", "framework", "version", "io_schema")


def make(**overrides):
    fields = dict(kind="k", content_hash="abc", framework="fw", version="2", io_schema="x")
    fields.update(overrides)
    return fields


def test_properties_return_the_given_text():
    d = PayloadDescriptor(**make(preprocessing_ref="prep"))
    assert [getattr(d, f) for f in FIELDS] == ["k", "abc", "fw", "2", "x"]
    assert d.preprocessing_ref == "prep"
    assert PayloadDescriptor(**make()).preprocessing_ref is None
    assert PayloadDescriptor(**make(preprocessing_ref=None)).preprocessing_ref is None
    assert PayloadDescriptor(**make(preprocessing_ref="")).preprocessing_ref == ""


def test_descriptor_is_read_only_and_has_no_value_semantics():
    d = PayloadDescriptor(**make())
    for name in FIELDS + ("preprocessing_ref",):
        with pytest.raises(AttributeError):
            setattr(d, name, "other")
    with pytest.raises(AttributeError):
        d.extra = 1
    assert d != PayloadDescriptor(**make()) and d == d
    assert type(d).__eq__ is object.__eq__ and type(d).__hash__ is object.__hash__


@pytest.mark.parametrize("field", FIELDS + ("preprocessing_ref",))
def test_constructor_field_types(field):
    with pytest.raises(TypeError) as info:
        PayloadDescriptor(**make(**{field: 1}))
    assert str(info.value) == "'int' object is not an instance of 'str'"
    assert info.value.__notes__ == [f"while processing '{field}'"]


@pytest.mark.parametrize("field", FIELDS)
def test_required_fields_refuse_none(field):
    with pytest.raises(TypeError) as info:
        PayloadDescriptor(**make(**{field: None}))
    assert str(info.value) == "'None' is not an instance of 'str'"
    assert info.value.__notes__ == [f"while processing '{field}'"]


def test_object_and_dict_give_the_same_node(store):
    fields = make(preprocessing_ref="p")
    by_object = store.add_external(PayloadDescriptor(**fields), [])
    assert store.add_external(fields, []) == by_object
    assert store.add_external(descriptor=dict(fields, extra=[1]), inputs=()) == by_object
    assert store.node_count() == 1


def test_absent_and_empty_preprocessing_ref_are_different_nodes(store):
    absent = store.add_external(PayloadDescriptor(**make()), [])
    empty = store.add_external(PayloadDescriptor(**make(preprocessing_ref="")), [])
    assert absent != empty
    assert store.add_external(make(preprocessing_ref=None), []) == absent
    assert store.add_external(make(preprocessing_ref=""), []) == empty
    shown = [n["descriptor"]["preprocessing_ref"] for n in store.nodes()]
    assert shown == [None, ""]


def test_every_field_is_part_of_identity(store):
    base = store.add_external(make(), [])
    for field in FIELDS:
        assert store.add_external(make(**{field: "changed"}), []) != base
    assert store.node_count() == 1 + len(FIELDS)


def test_first_missing_field_is_named(store):
    fields = make()
    del fields["kind"], fields["version"]
    with pytest.raises(ValueError) as info:
        store.add_external(fields, [])
    assert str(info.value) == "descriptor missing required field 'kind'"
    assert not getattr(info.value, "__notes__", None)
    for missing in FIELDS:
        fields = make()
        del fields[missing]
        with pytest.raises(ValueError, match=f"^descriptor missing required field '{missing}'$"):
            store.add_external(fields, [])


def test_dict_field_types(store):
    with pytest.raises(TypeError, match=r"^'None' is not an instance of 'str'$") as info:
        store.add_external(make(kind=None), [])
    assert not getattr(info.value, "__notes__", None)
    with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'str'$"):
        store.add_external(make(preprocessing_ref=5), [])
    # A wrong type is reported in field order, ahead of a later missing field.
    fields = make(content_hash=b"x")
    del fields["io_schema"]
    with pytest.raises(TypeError, match=r"^'bytes' object is not an instance of 'str'$"):
        store.add_external(fields, [])
    assert store.node_count() == 0


@pytest.mark.parametrize("descriptor", [None, [], "k", ("k", "abc"), 3])
def test_descriptor_must_be_object_or_dict(store, descriptor):
    with pytest.raises(TypeError, match=r"^descriptor must be a PayloadDescriptor or dict$") as info:
        store.add_external(descriptor, [])
    assert not getattr(info.value, "__notes__", None)


def test_inputs_are_converted_before_the_descriptor(store):
    with pytest.raises(TypeError) as info:
        store.add_external(None, "bad")
    assert str(info.value) == "Can't extract `str` to `Vec`"
    assert info.value.__notes__ == ["while processing 'inputs'"]


def test_external_with_inputs_and_params(store):
    store.add_source("s")
    node = store.add_external(make(), [0, 0], {"b": 1, "a": "x"})
    entry = store.nodes()[node]
    assert list(entry) == ["id", "output", "inputs", "kind", "name", "params", "descriptor"]
    assert entry["inputs"] == [0, 0] and entry["kind"] == "external" and entry["name"] == ""
    assert list(entry["params"].items()) == [("a", "x"), ("b", 1)]
    assert list(entry["descriptor"].items()) == [
        ("kind", "k"), ("content_hash", "abc"), ("framework", "fw"), ("version", "2"),
        ("io_schema", "x"), ("preprocessing_ref", None)]
    with pytest.raises(ValueError, match=r"^no node with id 9$"):
        store.add_external(make(), [9])


def test_node_keeps_its_descriptor_after_the_object_is_gone(store):
    d = PayloadDescriptor(**make(kind="shared"))
    node = store.add_external(d, [])
    del d
    assert store.nodes()[node]["descriptor"]["kind"] == "shared"
    assert store.add_external(make(kind="shared"), []) == node
