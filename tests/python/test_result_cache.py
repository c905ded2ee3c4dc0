"""Runs with a result cache: equivalent pipelines hit without running user code, a change
misses exactly downstream of itself, and faults of the cache never give a wrong value."""
import tempfile
import threading
import warnings
from pathlib import Path

import pytest

import korvane_core
from optional_deps import require
from korvane.run import Cache, CacheError, CacheNotWritable, Registry, lower, run_local
from korvane.run.cone import needed
from korvane.run.fingerprint import UncacheableWarning


def counting_registry(calls, bump=1):
    """Partitions are lists of ints; every call of user code is counted. Each implementation
    says its version: the functions hold the list of calls, whose contents would otherwise
    be part of what identifies them."""
    registry = Registry()
    record = calls.append

    @registry.source('nums', partitions=lambda params: params['parts'], version='1')
    def nums(params, i):
        record('nums')
        return list(range(i * 4, i * 4 + 4))

    def op(name, fn, version='1'):
        def run(params, *parts):
            record(name)
            return fn(params, *parts)
        registry.op(name, version=version)(run)

    op('add', lambda params, a, b: [x + y for x, y in zip(a, b)])
    op('scale', lambda params, a: [x * params['by'] for x in a])
    op('bump', lambda params, a: [x + bump for x in a], version=f'bump-{bump}')
    registry.reduction('sum', step=lambda params, part: record('sum') or sum(part),
                       combine=lambda params, partials: sum(partials), version='1')
    return registry


def pipeline(store=None, *, order=0, commuted=False, identity=False, by=3):
    """total = sum(add(scale(nums), bump(nums))), recorded several equivalent ways."""
    store = korvane_core.GraphStore() if store is None else store
    src = store.add_source('nums', {'parts': 3})
    if order:
        bumped = store.add_op('bump', [src])
        scaled = store.add_op('scale', [src], {'by': by})
    else:
        scaled = store.add_op('scale', [src], {'by': by})
        bumped = store.add_op('bump', [src])
    if identity:
        scaled = store.add_op('add', [scaled], {'scalar': 0.0, 'side': 'r'})
    both = store.add_op('add', [bumped, scaled] if commuted else [scaled, bumped])
    return store, store.add_reduction('sum', [both])


def other_pipeline(store):
    src = store.add_source('nums', {'parts': 2})
    store.add_reduction('sum', [store.add_op('scale', [src], {'by': 7})])


@pytest.fixture
def where():
    """A directory of the test body's own: under pytest-run-parallel the threads running one
    test share its fixtures, and caches they shared would see each other's entries."""
    with tempfile.TemporaryDirectory() as directory:
        yield lambda: Path(tempfile.mkdtemp(dir=directory))


def variants():
    yield 'as first recorded', pipeline()
    yield 'recorded in another order', pipeline(order=1)
    yield 'add commuted', pipeline(commuted=True)
    yield 'an identity inserted', pipeline(identity=True)
    store = korvane_core.GraphStore()
    other_pipeline(store)
    yield 'among other pipelines', pipeline(store, order=1, commuted=True)


def test_equivalent_pipelines_hit_every_output_without_running_user_code(where):
    require('dask.threaded')
    cache = Cache(where())
    calls = []
    registry = counting_registry(calls)
    store, total = pipeline()
    expected = run_local(store, registry, [total], cache=cache)[total]
    assert calls and expected == run_local(store, registry, [total])[total]
    for name, (variant, out) in variants():
        reduced, _ = variant.reduce(outputs=[out])
        for run in (lambda: run_local(variant, registry, [out], cache=cache)[out],
                    lambda: lower(variant, registry, [out], cache=cache).compute('threads')[out],
                    lambda: list(run_local(reduced, registry, cache=cache).values())[0]):
            calls.clear()
            assert run() == expected, name
            assert calls == [], name


@pytest.mark.parametrize('change', ['parameter', 'input', 'version'])
def test_a_change_misses_exactly_on_its_downstream_cone(where, change):
    calls = []
    cache = Cache(where())
    store, total = pipeline()
    every = list(range(store.node_count()))
    run_local(store, counting_registry(calls), [total], cache=cache, cache_nodes=every)
    registry = counting_registry(calls)
    if change == 'parameter':
        edited, total = pipeline(by=4)
        changed = 1
    elif change == 'input':
        edited = korvane_core.GraphStore()
        src = edited.add_source('nums', {'parts': 3})
        scaled = edited.add_op('scale', [src], {'by': 3})
        bumped = edited.add_op('bump', [scaled])     # reads scale now, not the source
        total = edited.add_reduction('sum', [edited.add_op('add', [scaled, bumped])])
        changed = bumped
    else:
        edited, total = pipeline()
        registry = counting_registry(calls, bump=2)
        changed = 2
    nodes = edited.nodes()
    downstream = {i for i in range(len(nodes)) if changed in needed(nodes, [i])}
    calls.clear()
    results = run_local(edited, registry, [total], cache=cache,
                        cache_nodes=list(range(edited.node_count())))
    assert set(results.stored) == downstream
    assert not set(results.loaded) & downstream
    # Only the changed node and what reads it ran; everything above it was read back.
    ran = {nodes[i].get('name') for i in downstream} | {'sum'}
    assert calls and set(calls) <= ran and 'nums' not in calls
    assert results[total] == run_local(edited, registry, [total])[total]


def test_a_bad_cache_fails_before_user_code_and_a_bad_value_names_its_node(where):
    tmp_path = where()
    calls = []
    registry = counting_registry(calls)
    store, total = pipeline()
    blocked = tmp_path / 'a-file'
    blocked.write_text('not a directory')
    with pytest.raises(CacheNotWritable, match=str(blocked)):
        run_local(store, registry, [total], cache=Cache(blocked / 'cache'))
    assert calls == []
    # A value the codec cannot store: the run fails naming the node and partition, and
    # returns nothing.
    registry.op('lock')(lambda params, part: threading.Lock())
    locked = store.add_op('lock', [store.add_source('nums', {'parts': 3})])
    with pytest.raises(CacheError, match=rf'^node {locked} \(op: Op lock\), partition \d: '):
        run_local(store, registry, [locked], cache=Cache(tmp_path / 'cache'))


def test_damaged_and_vanished_entries_are_computed_again(where):
    require('dask.threaded')
    cache = Cache(where())
    calls = []
    registry = counting_registry(calls)
    store, total = pipeline()
    expected = run_local(store, registry, [total], cache=cache)[total]
    (entry,) = [p for p in Path(cache.location).rglob('*.kvc')]
    entry.write_bytes(entry.read_bytes()[:-3] + b'xyz')
    calls.clear()
    assert run_local(store, registry, [total], cache=cache)[total] == expected
    assert calls and cache.stats()['corrupt'] == 1
    # Planned as a hit, gone by the time it runs (another process evicted it): planned again.
    lowered = lower(store, registry, [total], cache=cache)
    assert lowered.loaded == (total,)
    cache.clear()
    assert lowered.compute('threads')[total] == expected


def test_runs_sharing_a_cache_at_once_get_the_right_values(where):
    require('dask.threaded')
    cache = Cache(where())
    registry = counting_registry([])
    stores = [pipeline(by=by) for by in (2, 3, 2, 3, 5, 5)]
    expected = [run_local(store, registry, [total])[total] for store, total in stores]
    got = [None] * len(stores)

    def run(k):
        store, total = stores[k]
        got[k] = lower(store, registry, [total], cache=cache,
                       cache_nodes='boundaries').compute('threads')[total]
    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(stores))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert got == expected


@pytest.mark.thread_unsafe(reason='catch_warnings changes the whole process')
def test_an_uncacheable_node_is_named_once_and_computed(where):
    cache = Cache(where())
    calls = []
    registry = counting_registry(calls)
    lock = threading.Lock()
    # No version, and a closure over a lock, which has no stable form.
    registry.op('scale')(lambda params, part: [x * params['by'] for x in part] if lock else part)
    store, total = pipeline()
    for _ in range(2):
        calls.clear()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter('always')
            results = run_local(store, registry, [total], cache=cache)
        assert [str(w.message) for w in caught if w.category is UncacheableWarning] == \
            [next(str(w.message) for w in caught)]
        assert 'node 1 (op: Op scale {by=3})' in str(caught[0].message)
        assert results.loaded == results.stored == () and 'nums' in calls
