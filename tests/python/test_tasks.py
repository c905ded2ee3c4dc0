"""The shape of the tasks a store lowers to: exchanges that move each piece once (in rounds
when there are many), chains of any depth as flat programs, and single values computed once."""
import pytest
from hypothesis import given
from hypothesis import strategies as st

import korvane_core
from evaluator_registry import run_settings
from optional_deps import require
from korvane.run import DaskGraph, Registry, lower, run_local
from korvane.run import kernels, programs, tasks
from korvane.run.plan import make_plan
from korvane.run.tasks import build_tasks

MODEL = dict(kind='model', content_hash='h', framework='fw', version='1', io_schema='io')


def rows_registry(calls=None):
    """Partitions are lists of ints; an exchange sends row x to partition x % n."""
    calls = [] if calls is None else calls
    registry = Registry()
    registry.source('rows', partitions=lambda params: params['parts'])(
        lambda params, i: list(range(i, params['n'], params['parts'])))
    registry.exchange(split=lambda params, part, n: [[x for x in part if x % n == j] for j in range(n)],
                      concat=lambda params, pieces: [x for piece in pieces for x in piece])
    registry.op('inc')(lambda params, part: [x + 1 for x in part])
    registry.join(lambda params, left, right: [a + b for a, b in zip(left, right)])
    registry.external('model', load=lambda descriptor: 1,
                      apply=lambda payload, params, part: [x + payload for x in part])
    registry.reduction('sum', step=lambda params, part: sum(part),
                       combine=lambda params, partials: sum(partials))

    @registry.op('scale')
    def scale(params, total):
        calls.append(total)
        return total * 10

    registry.op('plus')(lambda params, part, k: [x + k for x in part])
    return registry


def exchanged(n_in, n_out, rows=60):
    store = korvane_core.GraphStore()
    src = store.add_source('rows', {'n': rows, 'parts': n_in})
    moved = store.add_exchange([store.add_op('inc', [src])], {'partitions': n_out})
    return store, store.add_op('inc', [moved])


def program_fns(task):
    """The functions a task calls, those of a fused program included."""
    if task[0] is tasks.run_program:
        return [step[0] for step in task[1].steps]
    return [task[0]]


def keys_read(task):
    return [key for arg in task[1:] if isinstance(arg, (str, tuple, list))
            for key in (arg if isinstance(arg, list) else [arg])]


@run_settings(30)
@given(st.integers(1, 6), st.integers(1, 6), st.booleans())
def test_a_concatenation_reads_only_its_own_pieces(n_in, n_out, reduce_first):
    store, out = exchanged(n_in, n_out)
    if reduce_first:
        store, _ = store.reduce(outputs=[out])
        out = store.outputs()[0]
    registry = rows_registry()
    graph = lower(store, registry, [out]).graph
    splits = {key for key, task in graph.items() if kernels.split_partition in program_fns(task)}
    pieces = {key: task for key, task in graph.items() if task[0] is kernels.take}
    assert len(splits) == n_in and len(pieces) == n_in * n_out
    for key, task in graph.items():
        read = keys_read(task)
        if task[0] is kernels.take:
            assert len(read) == 1 and read[0] in splits
        else:
            assert not set(read) & splits   # nobody else reads a whole split
        if kernels.concat_pieces in program_fns(task):
            assert len(read) == n_in and set(read) <= pieces.keys()
            assert len({pieces[k][2] for k in read}) == 1   # all pieces of one partition
    expected = run_local(store, registry, [out])[out]
    assert sorted(sum(expected, [])) == list(range(2, 62))
    assert lower(store, registry, [out]).compute('sync')[out] == expected


@run_settings(40)
@given(st.integers(1, 30), st.integers(1, 30))
def test_staged_exchanges_give_the_direct_exchanges_values(n_in, n_out):
    store, out = exchanged(n_in, n_out, rows=90)
    registry = rows_registry()
    built = tasks.build_tasks(make_plan(store, registry, [out]), direct_pieces=4, fan_out=3)
    graph = built.tasks
    staged = n_in * n_out > 4 and max(n_in, n_out) > 3
    picks = [task for task in graph.values() if task[0] is kernels.take]
    if staged:
        n = max(n_in, n_out)
        rounds = 1
        while 3 ** rounds < n:
            rounds += 1
        # Every task gathers at most fan_out groups; the pick count stays near n x rounds x 3.
        assert all(len(arg) <= 3 for task in graph.values() for arg in task[1:]
                   if isinstance(arg, list))
        assert len(picks) <= 3 ** rounds * rounds * 3
    else:
        assert len(picks) == n_in * n_out
    staged_run = DaskGraph(graph, built.outputs, built.members).compute('sync')
    assert staged_run[out] == run_local(store, registry, [out])[out]


def deep_chain(kind, length, parts=2):
    store = korvane_core.GraphStore()
    src = store.add_source('rows', {'n': 8, 'parts': parts})
    node = src
    for k in range(length):
        if kind == 'external':
            node = store.add_external(MODEL, [node], {'k': k})
        elif kind == 'join':
            node = store.add_join([node, src], {'k': k})
        else:
            node = store.add_op('inc', [node], {'k': k})
    return store, node


@pytest.mark.parametrize('kind, length', [('join', 400), ('op', 400), ('external', 500)])
def test_deep_chains_run_on_every_scheduler(kind, length):
    require('dask.threaded')
    registry = rows_registry()
    store, out = deep_chain(kind, length)
    expected = run_local(store, registry, [out])[out]
    reduced, _ = store.reduce(outputs=[out])
    for scheduler in ('sync', 'threads'):
        assert lower(store, registry, [out]).compute(scheduler)[out] == expected
        assert list(lower(reduced, registry).compute(scheduler).values()) == [expected]


@pytest.mark.slow
@pytest.mark.thread_unsafe(reason='a chain of 100,000 nodes, once is enough')
def test_a_chain_of_a_hundred_thousand_boundary_nodes_runs_locally_and_on_dask():
    require('dask.threaded')
    registry = rows_registry()
    store, out = deep_chain('external', 100_000, parts=1)
    expected = [list(range(100_000, 100_008))]
    assert run_local(store, registry, [out])[out] == expected
    assert lower(store, registry, [out]).compute('sync')[out] == expected


def test_a_single_value_fused_into_a_partitioned_stage_is_computed_once():
    calls = []
    registry = rows_registry(calls)
    store = korvane_core.GraphStore()
    src = store.add_source('rows', {'n': 16, 'parts': 8})
    scaled = store.add_op('scale', [store.add_reduction('sum', [src])])
    shifted = store.add_op('plus', [src, scaled])
    reduced, _ = store.reduce(outputs=[shifted])
    (stage,) = [n for n in reduced.nodes() if n['kind'] == 'stage']
    assert [m['name'] for m in stage['members']] == ['scale', 'plus']
    expected = run_local(store, registry, [shifted])[shifted]
    assert calls == [120]
    for run in (lambda: run_local(reduced, registry),
                lambda: lower(reduced, registry).compute('threads')):
        calls.clear()
        assert list(run().values()) == [expected]
        assert calls == [120]


class Box:
    """A value that counts how many of its kind are alive."""
    alive = 0

    def __init__(self, n):
        self.n = n
        Box.alive += 1

    def __del__(self):
        Box.alive -= 1


@pytest.mark.thread_unsafe(reason='counts live values process-wide')
def test_a_fused_stage_keeps_only_the_values_still_to_be_read():
    most = []
    registry = Registry()
    registry.source('box', partitions=lambda params: 2)(lambda params, i: Box(i))

    def step(params, *boxes):
        most.append(Box.alive)
        return Box(sum(box.n for box in boxes) + 1)
    registry.op('step')(step)
    store = korvane_core.GraphStore()
    node = store.add_source('box')
    chain = [node]
    for k in range(300):
        # Now and then a member reads the value of ten members back as well.
        inputs = [chain[-1], chain[-10]] if k % 10 == 9 else [chain[-1]]
        chain.append(store.add_op('step', inputs, {'k': k}))
    expected = [box.n for box in run_local(store, registry, [chain[-1]])[chain[-1]]]
    reduced, _ = store.reduce(outputs=[chain[-1]])
    assert [n['kind'] for n in reduced.nodes()] == ['source'] + ['stage'] * 30
    graph = build_tasks(make_plan(reduced, registry), pieces=False)
    assert len(graph.tasks) == 2   # everything fused: one program per partition
    most.clear()
    (boxes,) = run_local(reduced, registry).values()
    assert [box.n for box in boxes] == expected
    # While a member runs: its input, perhaps the value ten back, the other partition's
    # result; never the chain.
    assert len(most) == 600 and max(most) <= 4


@run_settings(60)
@given(st.data())
def test_a_program_calls_every_step_with_its_consts_partition_and_slots(data):
    """Kernel steps of any const count, with and without the partition, and member steps,
    reading any earlier slots (each read slot dropped after its last reader)."""
    inputs = data.draw(st.integers(0, 3))
    assembler = programs.Assembler(inputs)
    expected = [('input', k) for k in range(inputs)]
    for k in range(data.draw(st.integers(1, 8))):
        refs = tuple(data.draw(st.lists(st.integers(0, len(expected) - 1), max_size=3))
                     if expected else [])

        def fn(*args, k=k):
            return (k, args)
        if data.draw(st.booleans()):
            consts = tuple(f'c{j}' for j in range(data.draw(st.integers(0, 2))))
            with_partition = data.draw(st.booleans())
            assembler.call(fn, consts, with_partition, refs)
            args = (*consts, *(['p'] if with_partition else []), *[expected[r] for r in refs])
        else:
            assembler.member(fn, {'k': k}, list(refs), None, k)
            args = ({'k': k}, *[expected[r] for r in refs])
        expected.append((k, args))
    program = assembler.program()
    assert programs.run_program(program, 'p', *expected[:inputs]) == expected[-1]
