"""Fingerprints: typed and collision-free parameters, equal across processes and hash seeds,
blind to what a reduction removes, and changed exactly downstream of a change."""
import functools
import itertools
import math
import os
import struct
import subprocess
import sys
import textwrap
import threading
import warnings

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import korvane_core
from evaluator_registry import apply_op, evaluator_registry, pipelines, run_settings
from korvane.run import Registry
from korvane.run.canonical import encode
from korvane.run.fingerprint import (
    COMMUTATIVE,
    UncacheableWarning,
    canonical_params,
    fingerprints,
    implementation_identity,
    is_identity,
)
from korvane.run.plan import make_plan, needed

DESCRIPTOR_KEYS = ('kind', 'content_hash', 'framework', 'version', 'io_schema', 'preprocessing_ref')


def of_store(store, registry, outputs):
    plan = make_plan(store, registry, outputs)
    counts = {i: step.partitions for i, step in plan.steps.items()}
    return fingerprints(store.nodes(), registry, counts, outputs)


def recorded_again(store, node, inputs, params):
    kind = node['kind']
    if kind == 'source':
        return store.add_source(node['name'], params)
    if kind == 'external':
        descriptor = {key: node['descriptor'][key] for key in DESCRIPTOR_KEYS}
        return store.add_external(descriptor, inputs, params)
    if kind in ('exchange', 'join'):
        return getattr(store, f'add_{kind}')(inputs, params)
    add = store.add_op if kind == 'op' else store.add_reduction
    return add(node['name'], inputs, params)


def with_sinks(store, outputs):
    """The outputs and every node no other reads: a store's whole cone, fused as a run would."""
    read = {k for node in store.nodes() for k in node['inputs']}
    return sorted(set(outputs) | set(range(store.node_count())) - read)


def single_member_in_partitioned_stage():
    """sub(neg(sum(a)), a): neg, a single value, fuses with sub, a partitioned one."""
    store = korvane_core.GraphStore()
    a = store.add_source('a', {'parts': 2})
    negated = store.add_op('neg', [store.add_reduction('sum', [a])])
    return store, [store.add_op('sub', [negated, a])]


def downstream(nodes, start):
    cone = {start}
    for node in nodes[start + 1:]:
        if cone & set(node['inputs']):
            cone.add(node['id'])
    return cone


# Parameters: typed, collision-free, NaNs alike.

def nan(bits):
    return struct.unpack('>d', struct.pack('>Q', bits))[0]


NANS = st.integers(1, 2**52 - 1).flatmap(lambda payload: st.sampled_from(
    [nan(0x7ff0000000000000 | payload), nan(0xfff0000000000000 | payload)]))
# Short texts over a tiny alphabet, so that the boundaries between fields are easy to confuse.
TEXTS = st.text(alphabet='as\x00\x01é', max_size=3)
VALUES = st.sampled_from([0, 1, -1, 2**64, True, False, 1.0, 0.0, -0.0, '1']) | NANS \
    | st.floats() | st.integers() | TEXTS
PARAMS = st.dictionaries(TEXTS, VALUES, max_size=3)
TYPED_ONES = [1, 1.0, True, '1', 0.0, -0.0, nan(0x7ff8000000000000)]


def typed(params):
    def value(v):
        if isinstance(v, float):
            return 'float', 'nan' if math.isnan(v) else struct.pack('>d', v)
        return type(v).__name__, v
    return {key: value(v) for key, v in params.items()}


@run_settings(100)
@given(PARAMS, PARAMS, TEXTS, NANS)
def test_parameters_are_typed_and_collision_free(a, b, key, any_nan):
    registry = Registry()
    registry.source('s', partitions=lambda params: 1)(lambda params, i: i)
    variants = [a, b, dict(reversed(a.items())),
                *({**a, key: value} for value in [*TYPED_ONES, any_nan])]
    store = korvane_core.GraphStore()
    ids = [store.add_source('s', params) for params in variants]
    prints = of_store(store, registry, ids)
    for (left, i), (right, j) in itertools.combinations(zip(variants, ids), 2):
        same = typed(left) == typed(right)
        assert (canonical_params(left) == canonical_params(right)) == same
        assert (prints[i] == prints[j]) == same
    # No encoding is a proper prefix of another: a sequence of them reads back one way only.
    encodings = {encode(value) for value in [*a, *a.values(), *b, *b.values(), key, any_nan]}
    assert not any(x != y and y.startswith(x) for x in encodings for y in encodings)


# Equal in every process.

SCRIPT = textwrap.dedent('''
    import sys, korvane_core
    from korvane.run import Registry
    from korvane.run.plan import make_plan
    from korvane.run.fingerprint import fingerprints

    NAMES = frozenset(f"name{k}" for k in range(12))
    registry = Registry()
    registry.source("s", partitions=lambda params, *, least=2: max(least, params["n"]))(
        lambda params, i, names=NAMES: [i] if "name3" in names else [])

    def scaled(factor, columns):
        table = {c: factor for c in columns}
        def scale(params, part):
            return [x * table.get("name0", 1) for x in part if x not in {"a", "b", "c", "d", "e"}]
        return scale

    registry.op("scale")(scaled(2.5, set(NAMES)))
    registry.op("add")(lambda params, a, b: [x + y for x, y in zip(a, b)])
    registry.reduction("sum", step=lambda params, part: sum(part),
                       combine=lambda params, parts, start=(0, {"z": NAMES}): sum(parts))
    store = korvane_core.GraphStore()
    a = store.add_source("s", {"n": 3})
    total = store.add_reduction("sum", [store.add_op("add", [store.add_op("scale", [a]), a])])
    plan = make_plan(store, registry, [total])
    prints = fingerprints(store.nodes(), registry, {i: s.partitions for i, s in plan.steps.items()},
                          [total])
    print(list(NAMES)[:3], [None if p is None else p.hex() for p in prints.values()])
''')


@pytest.mark.thread_unsafe(reason='starts processes')
def test_fingerprints_are_equal_under_any_hash_seed(tmp_path):
    script = tmp_path / 'pipeline.py'
    script.write_text(SCRIPT)
    runs = []
    for seed in ('1', '2'):
        env = {**os.environ, 'PYTHONHASHSEED': seed, 'PYTHONPATH': os.pathsep.join(sys.path)}
        out = subprocess.run([sys.executable, str(script)], env=env, capture_output=True,
                             text=True, check=True).stdout
        order, prints = out.split('] ', 1)
        runs.append((order, prints))
    assert runs[0][0] != runs[1][0], 'the seeds should order the set differently'
    assert runs[0][1] == runs[1][1]
    assert 'None' not in runs[0][1]


# Blind to what a reduction removes.

@run_settings(60)
@given(pipelines(), st.data())
def test_equivalent_recordings_have_equal_fingerprints(pipeline, data):
    """Recorded in another order, commutative inputs swapped, identity operations inserted,
    among the nodes of another pipeline."""
    store, outputs = pipeline
    outputs = with_sinks(store, outputs)
    registry = evaluator_registry()
    nodes = store.nodes()
    other = korvane_core.GraphStore()
    where = {}
    pending = list(range(len(nodes)))
    while pending:
        ready = [i for i in pending if set(nodes[i]['inputs']) <= set(where)]
        node = nodes[data.draw(st.sampled_from(ready))]
        pending.remove(node['id'])
        if data.draw(st.booleans()):
            other.add_op('neg', [other.add_source('c', {'parts': 2, 'noise': len(where)})])
        inputs = [where[k] for k in node['inputs']]
        if node['kind'] == 'op' and node['name'] in COMMUTATIVE and not node['params'] \
                and len(inputs) == 2 and data.draw(st.booleans()):
            inputs.reverse()
        where[node['id']] = recorded_again(other, node, inputs, node['params'])
        if data.draw(st.integers(0, 3)) == 0:
            name = data.draw(st.sampled_from(['add', 'mul']))
            identity = {'scalar': 0.0 if name == 'add' else 1.0,
                        'side': data.draw(st.sampled_from('rl'))}
            where[node['id']] = other.add_op(name, [where[node['id']]], identity)
    before = of_store(store, registry, outputs)
    after = of_store(other, registry, [where[o] for o in outputs])
    assert None not in before.values()
    assert {i: after[where[i]] for i in before} == dict(before)


@run_settings(60)
@given(pipelines(), st.booleans())
@example(single_member_in_partitioned_stage(), False)
def test_a_store_and_its_reduction_have_equal_fingerprints(pipeline, maximal):
    store, outputs = pipeline
    outputs = with_sinks(store, outputs)
    registry = evaluator_registry()
    recorded = of_store(store, registry, outputs)
    reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
    fused = of_store(reduced, registry, reduced.outputs())
    for i in recorded:
        node, member = reduced.node_map()[i]
        assert (fused[node] if member is None else fused.member(node, member)) == recorded[i]


@pytest.mark.parametrize('build', [
    [lambda s, x: s.add_op('filter', [s.add_op('neg', [x])]),
     lambda s, x: s.add_op('neg', [s.add_op('filter', [x])])],
    [lambda s, x: s.add_op('sub', [s.add_op('neg', [x]), x]),
     lambda s, x: s.add_op('sub', [x, s.add_op('neg', [x])])],
    [lambda s, x: s.add_op('sub', [s.add_op('neg', [x]), s.add_op('filter', [x])]),
     lambda s, x: s.add_op('sub', [s.add_op('filter', [x]), s.add_op('neg', [x])])],
], ids=['member order', 'member and input refs', 'member refs'])
def test_stage_fingerprints_follow_member_order_and_references(build):
    registry = evaluator_registry()
    prints = []
    for record in build:
        store = korvane_core.GraphStore()
        out = record(store, store.add_source('a', {'parts': 2}))
        reduced, _ = store.reduce(outputs=[out])
        stage, member = reduced.node_map()[out]
        assert member is not None and reduced.nodes()[stage]['n_members'] >= 2
        prints.append(of_store(reduced, registry, [stage])[stage])
    assert prints[0] != prints[1]


# Changed exactly downstream of a change.

@run_settings(60)
@given(pipelines(), st.data())
def test_a_change_changes_exactly_its_downstream_cone(pipeline, data):
    store, outputs = pipeline
    outputs = with_sinks(store, outputs)
    registry = evaluator_registry()
    nodes = store.nodes()
    cone = needed(nodes, outputs)
    reading = any(nodes[i]['inputs'] for i in cone)
    change = data.draw(st.sampled_from(['param', 'version'] + ['input'] * reading))
    target = data.draw(st.sampled_from([i for i in cone
                                        if change != 'input' or nodes[i]['inputs']]))
    changed_registry = evaluator_registry()
    expected = downstream(nodes, target)
    if change == 'version':
        ops = [nodes[i] for i in cone if nodes[i]['kind'] == 'op']
        name = data.draw(st.sampled_from(sorted({op['name'] for op in ops} | {'neg'})))
        changed_registry.op(name, version='2')(functools.partial(apply_op, name))
        # Identity operations are their input: their implementation plays no part.
        expected = set().union(*[downstream(nodes, op['id']) for op in ops if op['name'] == name
                                 and not is_identity(name, op['params'], len(op['inputs']))])
    other = korvane_core.GraphStore()
    where = {}
    for node in nodes:
        inputs = [where[k] for k in node['inputs']]
        params = dict(node['params'])
        if node['id'] == target and change == 'param':
            params['zz'] = 1
        if node['id'] == target and change == 'input':
            inputs[0] = other.add_op('neg', [inputs[0]])
        where[node['id']] = recorded_again(other, node, inputs, params)
    before = of_store(store, registry, outputs)
    after = of_store(other, changed_registry, [where[o] for o in outputs])
    assert None not in before.values() and None not in after.values()
    assert {i for i in before if after[where[i]] != before[i]} == expected & set(cone)


# Implementations: their code and what it captured, or their version.

def compiled(source, name='fn'):
    namespace = {'__name__': 'fingerprinted', 'functools': functools}
    exec(textwrap.dedent(source), namespace)
    return namespace[name]


HELPER = 'def helper(x):\n    return x + {}\ndef fn(params, x):\n    return helper(x)\n'
SCALE = ('class Scale:\n    def __init__(self, k):\n        self.k = k\n'
         '    def __call__(self, params, x):\n        return x * self.k\n')


@pytest.mark.parametrize('same, different', [
    ('def fn(p, x):\n    return x + 1', 'def fn(p, x):\n    return x + 2'),
    ('\n\ndef fn(p, x, k=1):\n    return x + k', 'def fn(p, x, k=1.0):\n    return x + k'),
    ('def fn(p, x, *, k=True):\n    return x', 'def fn(p, x, *, k=1):\n    return x'),
    ('def outer(c={"a": 1}):\n    def fn(p, x):\n        return c\n    return fn\nfn = outer()',
     'def outer(c={"a": 1.0}):\n    def fn(p, x):\n        return c\n    return fn\nfn = outer()'),
    (HELPER.format(1), HELPER.format(2)),
    ('def f(k, p, x):\n    return x + k\nfn = functools.partial(f, 1)',
     'def f(k, p, x):\n    return x + k\nfn = functools.partial(f, -1)'),
    (SCALE + 'fn = Scale(2)', SCALE + 'fn = Scale(3)'),
    (SCALE + 'fn = Scale(2).__call__', SCALE + 'fn = Scale(3).__call__'),
], ids=['code', 'default', 'keyword default', 'closure', 'global helper', 'partial', 'instance',
        'method'])
def test_implementation_identity_follows_code_and_captured_values(same, different):
    first = implementation_identity(compiled(same))
    assert first is not None and len(first) == 32
    assert implementation_identity(compiled('\n\n' + same)) == first   # moved, not changed
    assert implementation_identity(compiled(different)) != first
    versioned = implementation_identity(compiled(same), '1')
    assert implementation_identity(compiled(different), '1') == versioned != first


def test_unstable_captures_make_exactly_their_nodes_uncacheable():
    registry = evaluator_registry()
    lock = threading.Lock()
    registry.op('locked')(lambda params, x: x if lock else None)   # a closure over a lock
    registry.source('opaque', partitions=lambda params: 1, fingerprint=lambda params: object())(
        lambda params, i: 1)
    store = korvane_core.GraphStore()
    a = store.add_source('a', {'parts': 2})
    locked = store.add_op('locked', [a])
    after_locked = store.add_op('neg', [locked])
    mixed = store.add_op('sub', [after_locked, store.add_op('neg', [a])])
    opaque = store.add_source('opaque', {})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter('always')
        prints = of_store(store, registry, [mixed, opaque])
    assert sorted(str(w.message).split(' is not')[0] for w in caught
                  if w.category is UncacheableWarning) == \
        [f'node {locked} (op: Op locked)', f'node {opaque} (source: Source opaque)']
    assert 'lock object has no stable form' in prints.uncacheable[locked]
    assert {i for i, p in prints.items() if p is None} == {locked, after_locked, mixed, opaque}
    # Reduced, with the locked operation a stage of its own that another stage reads.
    reduced, _ = store.reduce(outputs=[mixed, opaque, locked])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter('always')
        fused = of_store(reduced, registry, reduced.outputs())
    assert len([w for w in caught if w.category is UncacheableWarning]) == 2
    landed = {reduced.node_map()[i][0] for i in (locked, mixed, opaque)}
    assert set(fused.uncacheable) == {i for i, p in fused.items() if p is None} == landed
    for i in prints:
        node, member = reduced.node_map()[i]
        assert (fused[node] if member is None else fused.member(node, member)) == prints[i]
    registry.op('locked', version='1')(lambda params, x: x if lock else None)
    assert None not in of_store(store, registry, [mixed]).values()


def test_a_sources_data_fingerprint_is_part_of_its_fingerprint():
    prints = []
    for etag in [('etag', 1), ('etag', 2), ('etag', 2)]:
        registry = evaluator_registry()
        registry.source('a', partitions=lambda params: params['parts'],
                        fingerprint=lambda params, etag=etag: etag + (params['parts'],))(
            lambda params, i: i)
        store = korvane_core.GraphStore()
        out = store.add_op('neg', [store.add_source('a', {'parts': 2})])
        prints.append(of_store(store, registry, [out])[out])
    assert prints[0] != prints[1] == prints[2]
