"""GraphStore.reduce, cone, reduce_incremental and reduction_report."""
import threading
import time

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvane_core
from evaluator import evaluate, output_values, value_at

ADD_ZERO_RIGHT = {'scalar': 0.0, 'side': 'r'}
REPORT_KEYS = {'input_nodes', 'reachable_nodes', 'canonical_nodes', 'stages', 'reduced_nodes',
               'boundary_nodes'}


def state(store):
    return store.nodes(), store.outputs(), store.node_map()


def chain(store, length=3):
    """source -> op1 -> ... -> op{length}; returns the ids."""
    ids = [store.add_source('s')]
    for k in range(length):
        ids.append(store.add_op(f'f{k}', [ids[-1]]))
    return ids


def diamond(store):
    """a feeds b and c, which both feed d."""
    s = store.add_source('s')
    a = store.add_op('a', [s])
    b = store.add_op('b', [a])
    c = store.add_op('c', [a])
    d = store.add_op('d', [b, c])
    return s, a, b, c, d


def member_names(node):
    return [m['name'] for m in node['members']]


# ---------------------------------------------------------------------------
# The four methods

def test_reduce_forms_agree(store):
    s, a, b, c, d = diamond(store)
    cone = store.cone(outputs=[d, b])  # a store with marked outputs
    first, report = cone.reduce()
    second, second_report = cone.reduce(outputs=None)
    third, third_report = cone.reduce_incremental()
    assert isinstance(first, korvane_core.GraphStore)
    assert set(report) == REPORT_KEYS and all(type(v) is int for v in report.values())
    assert state(first) == state(second) == state(third)
    assert report == second_report == third_report == cone.reduction_report()
    assert first is not second and first is not cone


def test_reduce_leaves_the_store_unchanged(store):
    ids = chain(store)
    cone = store.cone(outputs=[ids[-1]])
    before = state(cone)
    cone.reduce()
    cone.reduce(outputs=[ids[1]], maximal_fusion=True)
    cone.cone(outputs=[0])
    cone.reduction_report(outputs=[])
    assert state(cone) == before


def test_store_without_marks_reduces_to_nothing(store):
    chain(store)
    reduced, report = store.reduce()
    assert reduced.node_count() == 0
    assert report == dict.fromkeys(REPORT_KEYS, 0) | {'input_nodes': 4}
    assert reduced.node_map() == [None] * 4


def test_empty_output_list(store):
    chain(store)
    reduced, report = store.reduce(outputs=[])
    assert reduced.nodes() == [] and reduced.outputs() == []
    assert report == dict.fromkeys(REPORT_KEYS, 0) | {'input_nodes': 4}


def test_chain_fuses_into_one_stage(store):
    ids = chain(store)
    reduced, report = store.reduce(outputs=[ids[-1]])
    nodes = reduced.nodes()
    assert [n['kind'] for n in nodes] == ['source', 'stage']
    assert nodes[1]['n_members'] == 3 and nodes[1]['params'] == {}
    assert [m['inputs'] for m in nodes[1]['members']] == [[('input', 0)], [('member', 0)],
                                                          [('member', 1)]]
    assert reduced.outputs() == [1]
    assert reduced.node_map() == [(0, None), (1, 0), (1, 1), (1, 2)]
    assert report == {'input_nodes': 4, 'reachable_nodes': 4, 'canonical_nodes': 4, 'stages': 1,
                      'reduced_nodes': 2, 'boundary_nodes': 1}


def test_maximal_fusion_joins_a_fan_out(store):
    s, a, b, c, d = diamond(store)
    single, single_report = store.reduce(outputs=[d])
    maximal, maximal_report = store.reduce(outputs=[d], maximal_fusion=True)
    assert [member_names(n) for n in single.nodes()[1:]] == [['a'], ['b', 'c', 'd']]
    assert single.nodes()[2]['inputs'] == [1]
    assert [member_names(n) for n in maximal.nodes()[1:]] == [['a', 'b', 'c', 'd']]
    assert (single_report['stages'], maximal_report['stages']) == (2, 1)
    # The report always uses the single-use rule.
    assert store.reduction_report(outputs=[d]) == single_report
    with pytest.raises(TypeError, match="unexpected keyword argument 'maximal_fusion'"):
        store.reduction_report(maximal_fusion=True)


def test_numpy_bool_selects_the_rule(store):
    *_, d = diamond(store)
    assert state(store.reduce(outputs=[d], maximal_fusion=numpy.bool_(True))[0]) == \
        state(store.reduce(outputs=[d], maximal_fusion=True)[0])
    assert state(store.reduce(outputs=[d], maximal_fusion=numpy.bool_(False))[0]) == \
        state(store.reduce(outputs=[d])[0])


def test_explicit_outputs_with_repeats(store):
    s = store.add_source('s')
    f = store.add_op('f', [s])
    g = store.add_op('g', [s])
    reduced, _ = store.reduce(outputs=[g, s, g])
    assert [n['kind'] for n in reduced.nodes()] == ['source', 'stage']
    assert reduced.outputs() == [1, 0]
    assert reduced.node_map() == [(0, None), None, (1, 0)]
    assert reduced.reduce()[0].outputs() == [1, 0]


def test_commuted_duplicates_merge_and_their_outputs_land_once(store):
    a = store.add_source('a')
    b = store.add_source('b')
    ab = store.add_op('add', [a, b])
    ba = store.add_op('add', [b, a])
    reduced, report = store.reduce(outputs=[ab, ba])
    assert report['canonical_nodes'] == 3
    assert reduced.outputs() == [2]
    assert reduced.node_map()[ab] == reduced.node_map()[ba] == (2, 0)
    assert reduced.nodes()[2]['inputs'] == [0, 1]


def test_sub_is_not_commutative(store):
    a = store.add_source('a')
    b = store.add_source('b')
    ab = store.add_op('sub', [a, b])
    ba = store.add_op('sub', [b, a])
    reduced, report = store.reduce(outputs=[ab, ba])
    assert report['canonical_nodes'] == 4
    assert reduced.outputs() == [2, 3]


@pytest.mark.parametrize('name, params, vanishes', [
    ('add', {'scalar': 0.0, 'side': 'r'}, True),
    ('mul', {'scalar': 1.0, 'side': 'l'}, True),
    ('add', {'scalar': 0.0, 'side': 'r', 'extra': 1}, False),
    ('add', {'scalar': -0.0, 'side': 'r'}, False),
    ('add', {'scalar': 0, 'side': 'r'}, False),
])
def test_identity_operations(store, name, params, vanishes):
    s = store.add_source('s')
    f = store.add_op('f', [s])
    x = store.add_op(name, [f], params)
    g = store.add_op('g', [x])
    reduced, report = store.reduce(outputs=[g])
    assert report['canonical_nodes'] == (3 if vanishes else 4)
    stage = reduced.nodes()[1]
    assert member_names(stage) == (['f', 'g'] if vanishes else ['f', name, 'g'])
    if vanishes:
        assert reduced.node_map()[x] == reduced.node_map()[f]
    assert output_values(reduced) == output_values(store, [g])


def test_identity_needs_exactly_one_input(store):
    a = store.add_source('a')
    b = store.add_source('b')
    x = store.add_op('add', [a, b], ADD_ZERO_RIGHT)
    reduced, report = store.reduce(outputs=[x])
    assert report['canonical_nodes'] == 3
    assert reduced.node_map()[x] == (2, 0)


def test_cone(store):
    s = store.add_source('s')
    f = store.add_op('f', [s])
    store.add_op('g', [s])
    h = store.add_op('h', [f])
    cone = store.cone(outputs=[h, f, h])
    assert isinstance(cone, korvane_core.GraphStore)
    assert [(n['name'], n['inputs'], n['output']) for n in cone.nodes()] == \
        [('s', [], False), ('f', [0], True), ('h', [1], True)]
    assert cone.outputs() == [2, 1]
    assert cone.node_map() == [(0, None), (1, None), None, (2, None)]
    whole = store.cone(outputs=[3])
    assert [n['id'] for n in whole.nodes()] == [0, 1, 2]
    empty = store.cone(outputs=[])
    assert empty.node_count() == 0 and empty.node_map() == [None] * 4


# ---------------------------------------------------------------------------
# Boundary nodes whose public tokens collide stay apart

def descriptor(kind, content_hash, preprocessing_ref=None, io_schema='io'):
    return dict(kind=kind, content_hash=content_hash, framework='fw', version='1', io_schema=io_schema,
                preprocessing_ref=preprocessing_ref)


@pytest.mark.parametrize('left, right', [
    (descriptor('a|b', 'c'), descriptor('a', 'b|c')),
    (descriptor('k', 'h'), descriptor('k', 'h', '-')),
    (descriptor('k', 'h', io_schema='x|-'), descriptor('k', 'h', '-|-', io_schema='x')),
])
def test_externals_with_colliding_tokens_stay_apart(store, left, right):
    s = store.add_source('s')
    x = store.add_external(left, [s])
    y = store.add_external(right, [s])
    j = store.add_join([x, y])
    reduced, report = store.reduce(outputs=[j])
    assert report['canonical_nodes'] == 4
    descriptors = [n['descriptor'] for n in reduced.nodes() if n['kind'] == 'external']
    assert descriptors == [left, right]
    assert output_values(reduced) == output_values(store, [j])


def test_stages_with_equal_member_counts_stay_apart(store):
    s = store.add_source('s')
    neg = store.add_op('neg', [s])
    absolute = store.add_op('abs', [s])
    reduced, _ = store.reduce(outputs=[neg, absolute])
    stages = [n for n in reduced.nodes() if n['kind'] == 'stage']
    assert [member_names(n) for n in stages] == [['neg'], ['abs']]
    assert stages[0]['inputs'] == stages[1]['inputs']
    again, report = reduced.reduce()
    assert state(again)[:2] == state(reduced)[:2]
    assert report['canonical_nodes'] == 3
    assert output_values(again) == output_values(store, [neg, absolute])


# ---------------------------------------------------------------------------
# Argument errors

def test_argument_errors(store):
    s = store.add_source('s')
    with pytest.raises(TypeError, match=r'^GraphStore\.reduce\(\) takes 0 positional arguments but 1 was given$'):
        store.reduce(True)
    with pytest.raises(TypeError, match=r"^GraphStore\.cone\(\) missing 1 required keyword argument: 'outputs'$"):
        store.cone()
    with pytest.raises(TypeError, match=r"^GraphStore\.reduce_incremental\(\) got an unexpected keyword argument 'x'$"):
        store.reduce_incremental(x=1)
    with pytest.raises(TypeError, match=r'^GraphStore\.cone\(\) takes 0 positional arguments but 1 was given$'):
        store.cone([s])


@pytest.mark.parametrize('call', [
    lambda st, o: st.reduce(outputs=o),
    lambda st, o: st.cone(outputs=o),
    lambda st, o: st.reduce_incremental(outputs=o),
    lambda st, o: st.reduction_report(outputs=o),
])
def test_output_conversion_errors(store, call):
    store.add_source('s')
    cases = [
        ('0', TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object is not an instance of 'Sequence'"),
        ({0}, TypeError, "'set' object is not an instance of 'Sequence'"),
        ([0, 'x'], TypeError, None),
        ([-1], OverflowError, None),
        ([2 ** 64], OverflowError, None),
    ]
    for outputs, error, message in cases:
        with pytest.raises(error) as caught:
            call(store, outputs)
        if message is not None:
            assert str(caught.value) == message
        assert caught.value.__notes__ == ["while processing 'outputs'"]
    with pytest.raises(ValueError, match='^no node with id 1$'):
        call(store, [0, 1, 7])
    assert call(store, range(1)) is not None
    assert call(store, (0,)) is not None


def test_maximal_fusion_must_be_a_bool(store):
    for value, name in [(1, 'int'), (None, 'None'), ('yes', 'str')]:
        with pytest.raises(TypeError) as caught:
            store.reduce(maximal_fusion=value)
        assert "is not an instance of 'bool'" in str(caught.value)
        assert caught.value.__notes__ == ["while processing 'maximal_fusion'"]
    # maximal_fusion is converted before outputs.
    with pytest.raises(TypeError) as caught:
        store.reduce(maximal_fusion=1, outputs='x')
    assert caught.value.__notes__ == ["while processing 'maximal_fusion'"]


# ---------------------------------------------------------------------------
# Threads: the reduction runs detached from the interpreter

def wide_store(width):
    store = korvane_core.GraphStore()
    s = store.add_source('s')
    outputs = []
    for k in range(width):
        x = store.add_op('map', [s], {'k': k})
        y = store.add_op('add', [x, s])
        z = store.add_op('add', [s, x])
        outputs.append(store.add_op('filter', [y, z]))
    return store, outputs


def test_other_threads_run_while_a_reduction_runs():
    store, outputs = wide_store(40_000)
    span = {}

    def reduce():
        span['start'] = time.perf_counter()
        store.reduce(outputs=outputs)
        span['end'] = time.perf_counter()

    worker = threading.Thread(target=reduce)
    stamps = []
    worker.start()
    while worker.is_alive():
        stamps.append(time.perf_counter())
    worker.join()
    # Had the reduction held the interpreter, this thread could not have run
    # in the middle of it at all.
    quarter = (span['end'] - span['start']) / 4
    inside = [t for t in stamps if span['start'] + quarter < t < span['end'] - quarter]
    assert len(inside) > 10


def test_concurrent_reductions_agree():
    store, outputs = wide_store(2_000)
    expected = state(store.reduce(outputs=outputs)[0])
    results = []

    def reduce():
        results.append(state(store.reduce(outputs=outputs)[0]))

    threads = [threading.Thread(target=reduce) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


# ---------------------------------------------------------------------------
# Properties on random pipelines

COMMUTATIVE = ['add', 'mul', 'and', 'or', 'eq', 'ne', 'maximum', 'minimum']
OTHER_OPS = ['sub', 'neg', 'map', 'filter']
PARAMS = [
    {}, {}, {}, {'k': 1}, {'k': 1.0}, {'k': True}, {'f': 'inc'}, {'f': 'a;b=c|d%'},
    {'scalar': 0.0, 'side': 'r'}, {'scalar': 0.0, 'side': 'l'},
    {'scalar': 1.0, 'side': 'r'}, {'scalar': 1.0, 'side': 'l'},
    {'scalar': 0.0, 'side': 'r', 'k': 1}, {'scalar': -0.0, 'side': 'l'}, {'scalar': 2.0, 'side': 'r'},
]
DESCRIPTORS = [descriptor('a|b', 'c'), descriptor('a', 'b|c'), descriptor('k', 'h'),
               descriptor('k', 'h', '-'), descriptor('k', 'h', '')]


@st.composite
def pipelines(draw, max_nodes=30):
    """Recording calls for a random pipeline, and an output list."""
    calls = []
    size = 0

    def add(call):
        nonlocal size
        calls.append(call)
        size += 1

    def some_input():
        # Mostly the latest nodes, so chains form.
        back = draw(st.integers(0, min(size - 1, 3)) | st.integers(0, size - 1))
        return size - 1 - back

    for _ in range(draw(st.integers(1, 3))):
        add(('add_source', draw(st.sampled_from(['a', 'b', 'c'])), draw(st.sampled_from(PARAMS[:8]))))
    for _ in range(draw(st.integers(0, max_nodes))):
        kind = draw(st.sampled_from(['unary'] * 4 + ['binary'] * 3 + ['commuted', 'identity', 'boundary']))
        if kind == 'unary':
            add(('add_op', draw(st.sampled_from(COMMUTATIVE + OTHER_OPS)), [some_input()],
                 draw(st.sampled_from(PARAMS))))
        elif kind == 'binary':
            add(('add_op', draw(st.sampled_from(COMMUTATIVE + OTHER_OPS)),
                 [some_input(), some_input()], draw(st.sampled_from(PARAMS[:4]))))
        elif kind == 'commuted':
            earlier = [c for c in calls if c[0] == 'add_op' and len(c[2]) == 2]
            if earlier:
                name, (x, y), params = draw(st.sampled_from(earlier))[1:]
                add(('add_op', name, [y, x], params))
        elif kind == 'identity':
            add(('add_op', draw(st.sampled_from(['add', 'mul'])), [some_input()],
                 draw(st.sampled_from(PARAMS[8:]))))
        else:
            which = draw(st.sampled_from(['add_reduction', 'add_exchange', 'add_join', 'add_external']))
            inputs = [some_input() for _ in range(draw(st.integers(1, 2)))]
            if which == 'add_reduction':
                add((which, draw(st.sampled_from(['sum', 'max'])), inputs, {}))
            elif which == 'add_external':
                add((which, draw(st.sampled_from(DESCRIPTORS)), inputs, {}))
            else:
                add((which, inputs, draw(st.sampled_from([{}, {'scheme': 'hash'}]))))
    outputs = draw(st.lists(st.integers(0, size - 1), max_size=5))
    return calls, outputs


def build(pipeline):
    """The store of a drawn pipeline, and its outputs as store ids. Calls name
    earlier calls; a call that repeats an earlier node gets that node's id."""
    calls, outputs = pipeline
    store = korvane_core.GraphStore()
    ids = []
    for method, *args in calls:
        args = [[ids[i] for i in a] if isinstance(a, list) else a for a in args]
        ids.append(getattr(store, method)(*args))
    return store, [ids[o] for o in outputs]


def reachable(store, outputs):
    nodes = store.nodes()
    live = set()
    stack = list(outputs)
    while stack:
        i = stack.pop()
        if i not in live:
            live.add(i)
            stack.extend(nodes[i]['inputs'])
    return live


def first_occurrences(items):
    seen = []
    for item in items:
        if item not in seen:
            seen.append(item)
    return seen


def check_reduction(store, outputs, reduced, report):
    nodes = reduced.nodes()
    node_map = reduced.node_map()
    original = evaluate(store)
    values = evaluate(reduced)

    # Soundness: every node lands where the same value is computed.
    live = reachable(store, outputs)
    assert len(node_map) == store.node_count()
    for i, landing in enumerate(node_map):
        if i not in live:
            assert landing is None
            continue
        node, member = landing
        assert node < len(nodes)
        if member is not None:
            assert nodes[node]['kind'] == 'stage' and member < nodes[node]['n_members']
        assert value_at(values, landing) == original[i][-1]
    # An output is always the last member of its stage, so the reduced
    # output node itself carries its value.
    assert reduced.outputs() == first_occurrences(node_map[o][0] for o in outputs)
    for o in outputs:
        node, member = node_map[o]
        assert member is None or member == nodes[node]['n_members'] - 1
        assert values[node][-1] == original[o][-1]

    # The report.
    kinds = [n['kind'] for n in nodes]
    assert 'op' not in kinds
    assert report['input_nodes'] == store.node_count()
    assert report['reachable_nodes'] == len(live)
    assert report['canonical_nodes'] <= report['reachable_nodes'] <= report['input_nodes']
    assert report['reduced_nodes'] == report['stages'] + report['boundary_nodes'] == len(nodes)
    assert report['stages'] == kinds.count('stage')


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pipelines(), st.booleans())
def test_reduction_properties(pipeline, maximal):
    store, outputs = build(pipeline)
    before = state(store)
    reduced, report = store.reduce(outputs=outputs, maximal_fusion=maximal)
    check_reduction(store, outputs, reduced, report)
    assert state(store) == before

    # Deterministic.
    again, again_report = store.reduce(outputs=outputs, maximal_fusion=maximal)
    assert state(again) == state(reduced) and again_report == report
    if not maximal:
        incremental, incremental_report = store.reduce_incremental(outputs=outputs)
        assert state(incremental) == state(reduced) and incremental_report == report
        assert store.reduction_report(outputs=outputs) == report

    # A reduced store is its own reduction: nothing merges, nothing fuses.
    twice, twice_report = reduced.reduce(maximal_fusion=maximal)
    assert state(twice)[:2] == state(reduced)[:2]
    assert twice.node_map() == [(i, None) for i in range(reduced.node_count())]
    assert twice_report['stages'] == 0
    assert twice_report['canonical_nodes'] == reduced.node_count()


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pipelines())
def test_cone_properties(pipeline):
    store, outputs = build(pipeline)
    cone = store.cone(outputs=outputs)
    live = sorted(reachable(store, outputs))
    node_map = cone.node_map()
    assert node_map == [(live.index(i), None) if i in live else None
                        for i in range(store.node_count())]
    original = store.nodes()
    for new_id, node in enumerate(cone.nodes()):
        old = original[live[new_id]]
        assert node['inputs'] == [live.index(i) for i in old['inputs']]
        assert {k: v for k, v in node.items() if k not in ('id', 'inputs', 'output')} == \
            {k: v for k, v in old.items() if k not in ('id', 'inputs', 'output')}
    assert cone.outputs() == first_occurrences(node_map[o][0] for o in outputs)

    # Reducing the cone against its marks is reducing the store against the outputs.
    from_cone, cone_report = cone.reduce()
    direct, direct_report = store.reduce(outputs=outputs)
    assert state(from_cone)[:2] == state(direct)[:2]
    assert {k: v for k, v in cone_report.items() if k != 'input_nodes'} == \
        {k: v for k, v in direct_report.items() if k != 'input_nodes'}
