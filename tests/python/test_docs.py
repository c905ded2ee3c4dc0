"""The documented surface: attributes, text signatures and docstrings, exactly."""
import inspect

import pytest

import korvane_core

# name: (text signature, docstring body or None when it is empty)
DOCUMENTATION = {
    'version': (
        '()',
        None,
    ),
    'GraphStore': (
        '()',
        'Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n'
        'share across threads under the GIL and free-threaded 3.14t).'
    ),
    'GraphStore.add_source': (
        '($self, name, params=None)',
        None,
    ),
    'GraphStore.add_op': (
        '($self, name, inputs, params=None)',
        None,
    ),
    'GraphStore.add_reduction': (
        '($self, name, inputs, params=None)',
        None,
    ),
    'GraphStore.add_exchange': (
        '($self, inputs, params=None)',
        "Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's identity is its\n"
        '`scheme` ParamMap (`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`.'
    ),
    'GraphStore.add_join': (
        '($self, inputs, params=None)',
        'Record a `Join` boundary (plan M40 §2.1). Two inputs `[left, right]`; identity is its\n'
        '`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i]["kind"] == "join"`.'
    ),
    'GraphStore.add_external': (
        '($self, descriptor, inputs, params=None)',
        None,
    ),
    'GraphStore.node_count': (
        '($self)',
        None,
    ),
    'GraphStore.nodes': (
        '($self)',
        'Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n'
        '`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n'
        '(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n'
        '`descriptor` dict for external nodes and `n_members` for stage nodes.'
    ),
    'GraphStore.outputs': (
        '($self)',
        'The marked output node ids, in mark order (what an IR evaluator returns, in order).'
    ),
    'GraphStore.node_map': (
        '($self)',
        '§8.2(i): for each node of the arena this store was REDUCED FROM, where it landed here —\n'
        '`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that\n'
        "arena's node id. Empty for a store that did not come out of a reduction."
    ),
    'GraphStore.to_dot': (
        '($self)',
        None,
    ),
    'GraphStore.serialize': (
        '($self, outputs=None)',
        'Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n'
        'the serializable IR — not cloudpickle — is the canonical durable representation). With\n'
        '`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n'
        'property of the compile request); the default keeps the marks-based behavior.'
    ),
    'GraphStore.deserialize': (
        '(data)',
        'Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n'
        '`serialize` of the result is byte-identical to the input (plan M8 determinism gate).'
    ),
    'GraphStore.reduce': (
        '($self, *, maximal_fusion=False, outputs=None)',
        'Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n'
        'RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n'
        'to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n'
        'pinned by the frozen M4 suite).'
    ),
    'GraphStore.cone': (
        '($self, *, outputs)',
        'opt_level=0 (M6): the 1:1 cone of `outputs` — DCE without the rewrites — as a fresh store\n'
        'marked with `outputs`; its `node_map` sends each kept id to `(cone id, None)`.'
    ),
    'GraphStore.reduce_incremental': (
        '($self, *, outputs=None)',
        'One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n'
        'step-by-step reduction while building, use `IncrementalReducer`.'
    ),
    'GraphStore.reduction_report': (
        '($self, *, outputs=None)',
        'The reduction report for the current graph, without keeping the reduced store.'
    ),
    'PayloadDescriptor': (
        '(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)',
        'Reproducibility metadata an External node carries (participates in the structural hash).'
    ),
    'IncrementalReducer': (
        '()',
        'Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being built; each\n'
        '`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n'
        'commutativity dedup, hash-consing — the same sound rules the EggEngine runs), so a concise\n'
        'canonical form is maintained while building and `finalize` does one linear pass instead of a\n'
        'whole-history optimization. `total_work()` counts nodes processed across all steps — it equals\n'
        'the node count of the store, no matter how many steps fed it (the incrementality witness).'
    ),
    'IncrementalReducer.step': (
        '($self, store)',
        'Consume the nodes recorded in `store` since the last step. Returns how many were processed\n'
        '(the delta size). The reducer must always be fed the same store.'
    ),
    'IncrementalReducer.watermark': (
        '($self)',
        "How many of the store's nodes have been consumed so far."
    ),
    'IncrementalReducer.total_work': (
        '($self)',
        'Cumulative nodes processed across all steps (== watermark: each node touched once).'
    ),
    'IncrementalReducer.canonical_count': (
        '($self)',
        'Size of the maintained canonical form.'
    ),
    'IncrementalReducer.finalize': (
        '($self, store, *, maximal_fusion=False, outputs=None)',
        'Finish: consume any remaining delta, then reduce the maintained canonical form against the\n'
        "store's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks\n"
        'ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`.'
    ),
}



def resolve(dotted):
    obj = korvane_core
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("name", sorted(DOCUMENTATION))
def test_text_signature_and_docstring(name):
    signature, body = DOCUMENTATION[name]
    obj = resolve(name)
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == body


@pytest.mark.parametrize("name, shown", [
    ("version", "()"),
    ("GraphStore", "()"),
    ("PayloadDescriptor",
     "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"),
    ("IncrementalReducer", "()"),
    ("GraphStore.add_op", "(self, /, name, inputs, params=None)"),
    ("GraphStore.deserialize", "(data)"),
    ("GraphStore.reduce", "(self, /, *, maximal_fusion=False, outputs=None)"),
    ("GraphStore.cone", "(self, /, *, outputs)"),
    ("IncrementalReducer.finalize", "(self, /, store, *, maximal_fusion=False, outputs=None)"),
])
def test_inspect_signature(name, shown):
    assert str(inspect.signature(resolve(name))) == shown


def test_bound_method_signatures_drop_self():
    store = korvane_core.GraphStore()
    assert str(inspect.signature(store.add_external)) == "(descriptor, inputs, params=None)"
    assert str(inspect.signature(store.nodes)) == "()"
    assert str(inspect.signature(store.deserialize)) == "(data)"
    parameters = inspect.signature(store.reduction_report).parameters
    assert parameters["outputs"].kind is inspect.Parameter.KEYWORD_ONLY


def test_deserialize_is_a_static_method():
    assert isinstance(inspect.getattr_static(korvane_core.GraphStore, "deserialize"), staticmethod)


def test_module_attributes_in_order():
    public = [name for name in vars(korvane_core) if not name.startswith("__")]
    assert public == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
    assert korvane_core.__doc__ == ""


def test_classes_belong_to_the_module_and_have_no_instance_dict():
    instances = [korvane_core.GraphStore(), korvane_core.IncrementalReducer(),
                 korvane_core.PayloadDescriptor(kind="k", content_hash="h", framework="f",
                                                version="v", io_schema="i")]
    for obj in instances:
        assert type(obj).__module__ == "korvane_core"
        assert not hasattr(obj, "__dict__")


def test_internal_error_is_a_base_exception_but_not_an_attribute():
    found = [cls for cls in BaseException.__subclasses__()
             if cls.__module__ == "korvane_core" and cls.__name__ == "InternalError"]
    assert len(found) == 1
    assert not issubclass(found[0], Exception)
    assert not hasattr(korvane_core, "InternalError")
