"""Running stores in this process: what a run computes, what it refuses before running, how
failures of user code are attributed, and where a recorded node's value is after a
reduction."""
import copy
import multiprocessing
import pickle
import threading

import pytest
from hypothesis import given

import korvane_core
from evaluator import output_values
from evaluator_registry import evaluator_registry, pipelines, run_settings
from optional_deps import require
from korvane.run import (
    MissingImplementation,
    NodeDropped,
    NotCoPartitioned,
    NothingToCompute,
    PartitionMismatch,
    PlanError,
    Registry,
    UnknownExternalKind,
    landing_of,
    lower,
    requests_for,
    run_local,
    value_of,
)

MODEL = dict(kind='model', content_hash='h', framework='fw', version='1', io_schema='io')


def number_registry(reads=None):
    """Partitions are lists of ints: source 'nums' has params['parts'] partitions of
    params['size'] numbers each."""
    registry = Registry()

    @registry.source('nums', partitions=lambda params: params['parts'])
    def nums(params, i):
        if reads is not None:
            reads.append(i)
        size = params.get('size', 4)
        return list(range(i * size, (i + 1) * size))

    registry.op('double')(lambda params, part: [2 * x for x in part])
    registry.op('inc')(lambda params, part: [x + 1 for x in part])
    registry.op('plus')(lambda params, part, other: [x + other for x in part])
    registry.op('zip_add')(lambda params, a, b: [x + y for x, y in zip(a, b)])
    registry.op('total')(lambda params, value: value * 10)
    registry.reduction('sum', step=lambda params, part: sum(part),
                       combine=lambda params, partials: sum(partials))
    registry.exchange(split=lambda params, part, n: [[x for x in part if x % n == j] for j in range(n)],
                      concat=lambda params, pieces: sorted(x for piece in pieces for x in piece))
    registry.join(lambda params, left, right: list(zip(left, right)))
    return registry


def chain(parts=4):
    """nums -> double -> inc -> sum."""
    store = korvane_core.GraphStore()
    src = store.add_source('nums', {'parts': parts})
    doubled = store.add_op('double', [src])
    inced = store.add_op('inc', [doubled])
    total = store.add_reduction('sum', [inced])
    return store, src, doubled, inced, total


# What a run computes.

def test_partitions_reductions_and_broadcast():
    registry = number_registry()
    store, src, doubled, inced, total = chain()
    shifted = store.add_op('plus', [src, total])   # a single value broadcast to every partition
    scaled = store.add_op('total', [total])        # single values only: a single value
    results = run_local(store, registry, [inced, total, shifted, scaled])
    assert results[inced] == [[2 * x + 1 for x in range(i * 4, i * 4 + 4)] for i in range(4)]
    assert results[total] == sum(2 * x + 1 for x in range(16)) == 256
    assert results[shifted][3] == [x + 256 for x in range(12, 16)]
    assert results[scaled] == 2560
    assert list(results) == [inced, total, shifted, scaled]


def test_only_the_cone_of_the_outputs_runs():
    reads = []
    registry = number_registry(reads)
    store, src, *_ = chain()
    other = store.add_source('nums', {'parts': 3, 'size': 1})
    store.add_op('double', [other])
    run_local(store, registry, [src])
    assert reads == [0, 1, 2, 3]


def test_exchange_partition_counts():
    registry = number_registry()
    store = korvane_core.GraphStore()
    src = store.add_source('nums', {'parts': 3})
    kept = store.add_exchange([src], {'scheme': 'mod'})
    two = store.add_exchange([src], {'scheme': 'mod', 'partitions': 2})
    results = run_local(store, registry, [kept, two])
    assert results[kept] == [[0, 3, 6, 9], [1, 4, 7, 10], [2, 5, 8, 11]]
    assert results[two] == [[0, 2, 4, 6, 8, 10], [1, 3, 5, 7, 9, 11]]


def test_reduction_combines_in_a_tree_and_finishes_once():
    calls = []
    registry = number_registry()
    registry.reduction('mean', step=lambda params, part: (sum(part), len(part)),
                       combine=lambda params, partials: calls.append(len(partials)) or
                       tuple(map(sum, zip(*partials))),
                       finish=lambda params, merged: merged[0] / merged[1], split_every=3)
    store = korvane_core.GraphStore()
    src = store.add_source('nums', {'parts': 10, 'size': 1})
    mean = store.add_reduction('mean', [src])
    assert run_local(store, registry, [mean])[mean] == 4.5
    # 10 partials -> 4 combines (3, 3, 2, 2) -> 2 combines (2, 2) -> the root (2).
    assert sorted(calls) == [2, 2, 2, 2, 2, 3, 3]


@pytest.mark.thread_unsafe(reason="the process keeps its last 8 payloads: copies of this test "
                                   "running at once evict one another's")
def test_external_payload_is_loaded_once_per_process_and_registry():
    loads = []
    registry = number_registry()
    registry.external('model', load=lambda descriptor: loads.append(descriptor['content_hash']) or 100,
                      apply=lambda payload, params, part: [x + payload for x in part])
    store = korvane_core.GraphStore()
    src = store.add_source('nums', {'parts': 8})
    scored = store.add_external(MODEL, [src])
    other = store.add_external(dict(MODEL, content_hash='h2'), [scored])
    threads = [threading.Thread(target=lambda: run_local(store, registry, [other])) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert run_local(store, registry, [other])[other][0] == [200, 201, 202, 203]
    assert sorted(loads) == ['h', 'h2']
    # A copy of the registry (as a worker gets it) is the same registry: no new load.
    run_local(store, copy.copy(registry), [other])
    assert sorted(loads) == ['h', 'h2']
    # Another registry loads its own.
    second = number_registry()
    second.external('model', load=lambda descriptor: loads.append('again') or 1,
                    apply=lambda payload, params, part: part)
    run_local(store, second, [scored])
    assert sorted(loads) == ['again', 'h', 'h2']


def test_store_outputs_are_the_default_and_nothing_is_not_an_answer():
    registry = number_registry()
    store, src, doubled, inced, total = chain()
    reduced, _ = store.reduce(outputs=[total])
    assert run_local(reduced, registry)[reduced.outputs()[0]] == 256
    # A store you build has no marks: a run of it must say what to compute.
    with pytest.raises(NothingToCompute, match=r'the store marks no outputs .*pass outputs=\[\.\.\.\]'):
        run_local(store, registry)
    with pytest.raises(NothingToCompute, match=r'^nothing to compute: pass outputs=\[\.\.\.\]$'):
        lower(reduced, registry, [])
    # Members alone are something to compute.
    assert run_local(reduced, registry, [], members=[(1, 0)]).member(1, 0)[0] == [0, 2, 4, 6]


# Tasks: one per partition of each stage and boundary node, with stable readable keys.

def test_reduced_store_lowers_to_fewer_tasks_with_readable_keys():
    registry = number_registry()
    store = korvane_core.GraphStore()
    doubled = store.add_op('double', [store.add_source('nums', {'parts': 4})])
    both = store.add_op('zip_add', [store.add_op('inc', [doubled]), store.add_op('double', [doubled])])
    total = store.add_reduction('sum', [both])
    reduced, _ = store.reduce(outputs=[total])   # stages [double] and [inc, double, zip_add]

    def tasks(s, **kw):
        return lower(s, registry, [s.node_count() - 1], **kw).graph

    # Per partition: read, double, inc, double, zip_add, step; and the root of the sum.
    assert len(tasks(store, fuse=False)) == 4 * 6 + 1
    # Single readers fused: read into double, inc and double into zip_add, that into the step;
    # the fan-out of the first double keeps two tasks per partition.
    assert len(tasks(store)) == 4 * 2 + 1
    # One task per partition of each node of the reduced store, and then one per partition.
    unfused = tasks(reduced, fuse=False)
    assert len(unfused) == 4 * 4 + 1
    assert len(tasks(reduced)) == 4 + 1
    assert tasks(reduced).keys() == tasks(reduced).keys()
    names = {key[0] if isinstance(key, tuple) else key for key in unfused}
    assert sorted(name.rsplit('-', 1)[0] for name in names) == \
        ['reduction-sum', 'reduction-sum-step', 'source-nums', 'stage', 'stage']
    assert all(len(name.rsplit('-', 1)[1]) == 32 for name in names)
    # A fused task keeps its reader's key.
    step_key = next(name for name in names if name.startswith('reduction-sum-step-'))
    assert set(tasks(reduced)) == {(step_key, p) for p in range(4)} | \
        {step_key.replace('-step-', '-')}
    # Keys say what is computed: equal work in another registry has equal keys, and an edited
    # implementation changes the keys of its node and of what reads it, and of nothing else.
    assert lower(reduced, number_registry(), fuse=False).graph.keys() == unfused.keys()
    edited = number_registry()
    edited.op('inc')(lambda params, part: [x + 2 for x in part])
    changed = names - {key[0] if isinstance(key, tuple) else key
                       for key in lower(reduced, edited, fuse=False).graph}
    assert sorted(name.rsplit('-', 1)[0] for name in changed) == \
        ['reduction-sum', 'reduction-sum-step', 'stage']


# Bad input: found before anything runs, naming the node.

def missing(kind):
    store = korvane_core.GraphStore()
    src = store.add_source('nums', {'parts': 2})
    if kind == 'source':
        node = store.add_source('csv', {'path': 'x'})
    elif kind == 'op':
        node = store.add_op('square', [src], {'k': 1})
    elif kind == 'reduction':
        node = store.add_reduction('median', [src])
    elif kind == 'external':
        node = store.add_external(dict(MODEL, kind='onnx'), [src], {'batch': 8})
    elif kind == 'exchange':
        node = store.add_exchange([src], {'scheme': 'hash'})
    else:
        node = store.add_join([src, src], {'on': 'id'})
    return store, node


@pytest.mark.parametrize('kind, label, error_type', [
    ('source', "Source csv {path='x'}", MissingImplementation),
    ('op', 'Op square {k=1}', MissingImplementation),
    ('reduction', 'Reduction median', MissingImplementation),
    ('external', 'External onnx:h [fw 1] {batch=8}', UnknownExternalKind),
    ('exchange', "Exchange {scheme='hash'}", MissingImplementation),
    ('join', "Join {on='id'}", MissingImplementation),
])
def test_missing_implementations_are_named(kind, label, error_type):
    reads = []
    store, node = missing(kind)
    registry = number_registry(reads)
    if kind in ('exchange', 'join'):
        registry = Registry()
        registry.source('nums', partitions=lambda params: 2)(lambda params, i: reads.append(i))
    for run in (run_local, lower):
        with pytest.raises(error_type) as caught:
            run(store, registry, [node])
        assert str(caught.value).startswith(f'node {node} ({kind}: {label}): ')
        assert caught.value.node.id == node
    assert reads == []


def test_every_missing_implementation_is_listed():
    store, src, doubled, inced, total = chain()
    reduced, _ = store.reduce(outputs=[total])
    with pytest.raises(MissingImplementation) as caught:
        run_local(reduced, Registry())
    assert "no implementation of the source 'nums'" in str(caught.value)
    # The stage names the member that has no implementation.
    assert caught.value.__notes__ == [
        "also: node 1 (stage: Stage[2 members: double -> inc]): no implementation of the "
        "operation 'double' (member 0: Op double); no implementation of the operation 'inc' "
        "(member 1: Op inc)",
        "also: node 2 (reduction: Reduction sum): no implementation of the reduction 'sum'"]


def test_partition_counts_must_line_up():
    registry = number_registry()
    store = korvane_core.GraphStore()
    two = store.add_source('nums', {'parts': 2})
    three = store.add_source('nums', {'parts': 3})
    for node in (store.add_op('plus', [two, three]), store.add_reduction('sum', [two, three])):
        with pytest.raises(PartitionMismatch, match=f'^node {node} .*: inputs must have equal '
                                                    'partition counts: node 0 has 2, node 1 has 3$'):
            run_local(store, registry, [node])
    # A join says so too, and then how each input is partitioned.
    joined = store.add_join([two, three])
    with pytest.raises(NotCoPartitioned, match=f'^node {joined} .*: inputs must have equal partition '
                                               'counts: node 0 has 2, node 1 has 3:\n  node 0 '):
        run_local(store, registry, [joined])
    # After exchanges of both into 2 partitions they line up.
    joined = store.add_join([store.add_exchange([two], {'partitions': 2}),
                             store.add_exchange([three], {'partitions': 2})])
    assert len(run_local(store, registry, [joined])[joined]) == 2


@pytest.mark.parametrize('build, problem', [
    (lambda s, src, total: s.add_exchange([total]), 'is a single value; an exchange redistributes'),
    (lambda s, src, total: s.add_exchange([src, src]), 'an exchange takes exactly one input, not 2'),
    (lambda s, src, total: s.add_source('nums', {'parts': 0}), 'the source gave 0 partitions'),
    (lambda s, src, total: s.add_source('nums', {'parts': True}), 'the source gave True partitions'),
    (lambda s, src, total: s.add_exchange([src], {'partitions': -1}), 'the exchange gave -1 partitions'),
    (lambda s, src, total: s.add_exchange([src], {'partitions': 4.0}), "'partitions' parameter must be an int, not 4.0$"),
    (lambda s, src, total: s.add_exchange([src], {'partitions': '4'}), "'partitions' parameter must be an int, not '4'$"),
    (lambda s, src, total: s.add_exchange([src], {'partitions': True}), "'partitions' parameter must be an int, not True$"),
])
def test_shapes_without_a_meaning_are_refused(build, problem):
    registry = number_registry()
    store, src, _, _, total = chain()
    node = build(store, src, total)
    with pytest.raises(PlanError, match=problem) as caught:
        run_local(store, registry, [node])
    assert caught.value.node.id == node and not hasattr(caught.value, '__notes__')


def test_requests_for_nodes_that_do_not_exist():
    registry = number_registry()
    store, src, doubled, inced, total = chain()
    reduced, _ = store.reduce(outputs=[total])
    with pytest.raises(ValueError, match='no node with id 9'):
        run_local(store, registry, [9])
    for wrong in (1.0, '1'):
        with pytest.raises(ValueError, match=f'^no node with id {wrong!r}$'):
            run_local(store, registry, [wrong])
        with pytest.raises(ValueError, match=f'^no node with id {wrong!r}$'):
            run_local(reduced, registry, members=[(wrong, 0)])
    with pytest.raises(ValueError, match="^node 1 has no member '0'$"):
        run_local(reduced, registry, members=[(1, '0')])
    with pytest.raises(ValueError, match='node 1 has no member 2'):
        run_local(reduced, registry, members=[(1, 2)])
    with pytest.raises(ValueError, match='node 0 has no member 0'):
        run_local(reduced, registry, members=[(0, 0)])


def test_numpy_integers_are_ids_and_counts():
    np = require('numpy')
    registry = number_registry()
    registry.source('np', partitions=lambda params: np.int64(params['parts']))(
        lambda params, i: [i])
    registry.exchange(split=lambda params, part, n: [part] + [[]] * (n - 1),
                      concat=lambda params, pieces: sum(pieces, []),
                      partitions=lambda params, count: np.int32(1), strategy='one')
    store, src, doubled, inced, total = chain()
    reduced, _ = store.reduce(outputs=[total])
    results = run_local(reduced, registry, [np.int64(2)], members=[(np.int32(1), np.int8(0))])
    assert list(results) == [2] and type(list(results)[0]) is int
    assert results[2] == 256 and results.member(1, 0)[1] == [8, 10, 12, 14]
    moved = store.add_exchange([store.add_source('np', {'parts': 3})], {'strategy': 'one'})
    assert run_local(store, registry, [moved])[moved] == [[0, 1, 2]]
    registry.source('yes', partitions=lambda params: np.bool_(True))(lambda params, i: [i])
    flagged = store.add_source('yes')
    with pytest.raises(PlanError, match='the source gave np.True_ partitions'):
        run_local(store, registry, [flagged])


# Failures of user code: propagated with a note naming the node and partition.

def failing(params, part):
    if part[0] >= 8:
        raise ZeroDivisionError('bad partition')
    return part


def test_user_errors_name_the_node_and_the_partition():
    registry = number_registry()
    registry.op('fail')(failing)
    store, src, doubled, inced, total = chain()
    broken = store.add_op('fail', [store.add_op('inc', [src])])
    with pytest.raises(ZeroDivisionError) as caught:
        run_local(store, registry, [broken])
    assert caught.value.__notes__ == [f'while running node {broken} (op: Op fail), partition 2']

    reduced, _ = store.reduce(outputs=[broken])
    with pytest.raises(ZeroDivisionError) as caught:
        run_local(reduced, registry)
    stage = reduced.outputs()[0]
    assert caught.value.__notes__ == [
        f'while running member 1 (Op fail) of node {stage} (stage: Stage[2 members: inc -> fail]), '
        'partition 2']


def test_split_must_give_a_piece_per_output_partition():
    registry = number_registry()
    registry.exchange(split=lambda params, part, n: [part], concat=lambda params, pieces: pieces)
    store, src, *_ = chain()
    moved = store.add_exchange([src], {'partitions': 2})
    with pytest.raises(ValueError, match='split gave 1 pieces for 2 output partitions') as caught:
        run_local(store, registry, [moved])
    assert caught.value.__notes__ == [f'while running node {moved} (exchange: Exchange {{partitions=2}}), '
                                      'partition 0, splitting']


# Where a recorded node's value is.

def test_values_of_recorded_nodes_through_the_node_map():
    registry = number_registry()
    store, src, doubled, inced, total = chain()
    preview = store.add_op('double', [inced], {'n': 1})
    reduced, _ = store.reduce(outputs=[total])
    assert landing_of(store, reduced, doubled) == (1, 0)
    outputs, members = requests_for(store, reduced, [src, doubled, inced, total])
    assert (outputs, members) == ([0, 1, 2], [(1, 0)])
    results = run_local(reduced, registry, outputs, members=members)
    recorded = run_local(store, registry, [src, doubled, inced, total])
    for node in (src, doubled, inced, total):
        assert value_of(store, reduced, node, results) == recorded[node]

    with pytest.raises(NodeDropped, match=rf'^node {preview} \(Op double {{n=1}}\) was dropped'):
        landing_of(store, reduced, preview)
    with pytest.raises(KeyError, match=r'member 0 of node 1 was not requested'):
        value_of(store, reduced, doubled, run_local(reduced, registry))
    with pytest.raises(KeyError, match='run it with outputs including 0'):
        value_of(store, reduced, src, run_local(reduced, registry))
    with pytest.raises(ValueError, match='not reduced from this store'):
        landing_of(chain()[0], reduced, 0)


def test_a_fused_member_of_single_values_stays_a_single_value():
    registry = number_registry()
    store, src, doubled, inced, total = chain()
    scaled = store.add_op('total', [total])           # single: 2560
    shifted = store.add_op('plus', [src, scaled])     # partitioned; fused with `scaled`
    reduced, _ = store.reduce(outputs=[shifted])
    stage, member = landing_of(store, reduced, scaled)
    assert member == 0 and landing_of(store, reduced, shifted) == (stage, 1)
    outputs, members = requests_for(store, reduced, [scaled])
    assert value_of(store, reduced, scaled, run_local(reduced, registry, outputs, members=members)) == 2560
    require('dask.threaded')
    results = lower(reduced, registry, outputs, members=members).compute('sync')
    assert value_of(store, reduced, scaled, results) == 2560


def test_a_member_of_single_values_after_partitioned_members_runs_alone():
    registry = number_registry()
    store = korvane_core.GraphStore()
    src = store.add_source('nums', {'parts': 2})
    doubled = store.add_op('double', [src])            # member 0: partitioned
    total = store.add_reduction('sum', [src])
    scaled = store.add_op('total', [total])             # member 1: single values only
    shifted = store.add_op('plus', [doubled, scaled])   # member 2, the stage's value
    reduced, _ = store.reduce(outputs=[shifted])
    assert landing_of(store, reduced, doubled)[1] == 0 and landing_of(store, reduced, scaled)[1] == 1
    outputs, members = requests_for(store, reduced, [doubled, scaled, shifted])
    results = run_local(reduced, registry, outputs, members=members)
    assert value_of(store, reduced, scaled, results) == 280
    assert value_of(store, reduced, doubled, results) == [[0, 2, 4, 6], [8, 10, 12, 14]]
    assert value_of(store, reduced, shifted, results)[1] == [288, 290, 292, 294]


@run_settings(60)
@given(pipelines(one_partition=True))
def test_one_partition_runs_compute_the_evaluators_values(pipeline):
    store, outputs = pipeline
    results = run_local(store, evaluator_registry(), outputs)
    got = [value[0] if isinstance(value, list) else value for value in (results[o] for o in outputs)]
    assert got == output_values(store, outputs)


@run_settings(80)
@given(pipelines())
def test_reduced_runs_agree_with_the_recorded_run(pipeline):
    store, outputs = pipeline
    registry = evaluator_registry()
    live = sorted({i for i, landing in enumerate(store.cone(outputs=outputs).node_map()) if landing})
    recorded = run_local(store, registry, live)
    for maximal in (False, True):
        reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
        marked = run_local(reduced, registry)
        for o in outputs:
            assert marked[landing_of(store, reduced, o)[0]] == recorded[o]
        # Every node an output needs, stage members included, through the node map.
        wanted, members = requests_for(store, reduced, live)
        results = run_local(reduced, registry, wanted, members=members)
        for node in live:
            assert value_of(store, reduced, node, results) == recorded[node]


# Stores travel as their blob.

def node_count(store):
    return store.node_count(), store.outputs()


@pytest.mark.thread_unsafe(reason='starts a process')
def test_stores_pickle_as_their_blob():
    store, *_, total = chain()
    reduced, _ = store.reduce(outputs=[total])
    copy = pickle.loads(pickle.dumps(reduced))
    assert copy.nodes() == reduced.nodes() and copy.outputs() == reduced.outputs()
    assert copy.serialize() == reduced.serialize()
    assert copy.node_map() == []   # the node map is not part of the blob
    with multiprocessing.get_context('spawn').Pool(1) as pool:
        assert pool.apply(node_count, (reduced,)) == (reduced.node_count(), reduced.outputs())


@pytest.mark.parametrize('register, message', [
    (lambda r: r.op('inc')(42), "the operation 'inc' must be callable, not int 42"),
    (lambda r: r.source('nums', partitions=4), 'partitions must be callable'),
    (lambda r: r.source('nums', partitions=len)('read'), "the read function of source 'nums' must be callable"),
    (lambda r: r.reduction('sum', step=sum, combine=None), 'combine must be callable'),
    (lambda r: r.exchange(split=None, concat=list), 'split must be callable'),
    (lambda r: r.join(strategy='broadcast', co_partitioned=False)([]), 'the join must be callable'),
    (lambda r: r.external('model', load=len, apply='apply'), 'apply must be callable'),
    (lambda r: r.reduction('sum', step=sum, combine=sum, split_every=2.5), 'split_every must be an int'),
    (lambda r: r.reduction('sum', step=sum, combine=sum, split_every='8'), 'split_every must be an int'),
    (lambda r: r.reduction('sum', step=sum, combine=sum, split_every=True), 'split_every must be an int'),
    (lambda r: r.reduction('sum', step=sum, combine=sum, split_every=1), 'split_every must be at least 2'),
    (lambda r: r.op('inc', version=2)(len), 'version must be a str or None'),
])
def test_registrations_are_checked_when_made(register, message):
    registry = Registry()
    with pytest.raises((TypeError, ValueError), match=message):
        register(registry)
    # Nothing was registered: a run still says what is missing.
    store = korvane_core.GraphStore()
    node = store.add_op('inc', [store.add_source('nums', {'parts': 1})])
    with pytest.raises(MissingImplementation):
        run_local(store, registry, [node])
    # numpy integers are ints wherever a count is one.
    np = require('numpy')
    registry.reduction('sum', step=sum, combine=sum, split_every=np.int64(3))
    assert registry.reduction_impl('sum').split_every == 3
