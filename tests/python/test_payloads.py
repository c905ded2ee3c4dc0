"""The cache of loaded external payloads: one load per payload and process however many
threads need it, no load waiting behind another, loads that run pipelines, a bound that holds
what a plan needs, and payloads that live no longer than their registry."""
import gc
import threading
import weakref

import pytest

import korvane_core
from korvane.run import PayloadCycle, Registry, drop_payloads, run_local, set_payload_limit
from korvane.run.payloads import PayloadCache

MODEL = dict(kind='model', content_hash='h', framework='fw', version='1', io_schema='io')


def finishing(fn, *args):
    """fn(*args), run in a thread of its own, so that a deadlock fails the test instead of
    hanging it."""
    outcome = []

    def target():
        try:
            outcome.append((True, fn(*args)))
        except BaseException as error:
            outcome.append((False, error))
    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(60)
    assert not thread.is_alive(), f'{fn.__name__} deadlocked'
    ok, value = outcome[0]
    if not ok:
        raise value
    return value


def scoring_registry(load):
    registry = Registry()
    registry.source('nums', partitions=lambda params: params['parts'])(lambda params, i: [i])
    registry.external('model', load=load, apply=lambda payload, params, part: part)
    return registry


def scoring(models, parts=1):
    """A source of `parts` partitions through one external per content hash in `models`."""
    store = korvane_core.GraphStore()
    node = store.add_source('nums', {'parts': parts})
    for content_hash in models:
        node = store.add_external(dict(MODEL, content_hash=content_hash), [node])
    return store, node


def test_a_load_holds_up_only_those_who_need_its_payload():
    cache = PayloadCache()
    cache.get(('t', 'kept'), lambda: 'kept')
    loading, release = threading.Event(), threading.Event()
    attempts = []

    def slow():
        attempts.append(len(attempts))
        loading.set()
        release.wait()
        if len(attempts) == 1:
            raise OSError('the first load fails')
        return 'slow'

    outcomes = []

    def need_slow():
        try:
            outcomes.append(cache.get(('t', 'slow'), slow))
        except OSError as error:
            outcomes.append(error)
    threads = [threading.Thread(target=need_slow, daemon=True) for _ in range(4)]
    try:
        for thread in threads:
            thread.start()
        loading.wait()
        # While one payload loads, a kept payload is served and another one loads.
        assert finishing(cache.get, ('t', 'kept'), lambda: 'reloaded') == 'kept'
        assert finishing(cache.get, ('t', 'other'), lambda: 'other') == 'other'
    finally:
        release.set()
    for thread in threads:
        thread.join(60)
    # The failed load is not kept: those waiting for it load again, once.
    assert len(attempts) == 2
    assert sorted(map(str, outcomes)) == ['slow', 'slow', 'slow', 'the first load fails']


def test_loads_may_run_pipelines_but_not_need_their_own_payload():
    registry = scoring_registry(lambda descriptor: descriptor['content_hash'])
    pipelines = {}

    def load(descriptor):
        store, node = pipelines[descriptor['content_hash']]
        return run_local(store, registry, [node])[node]
    registry.external('nested', load=load, apply=lambda payload, params, part: payload)

    def pipeline(kind, content_hash):
        store = korvane_core.GraphStore()
        return store, store.add_external(dict(MODEL, kind=kind, content_hash=content_hash),
                                         [store.add_source('nums', {'parts': 3})])
    pipelines['outer'] = pipeline('model', 'inner')   # loading 'outer' needs the model 'inner'
    pipelines['loop'] = pipeline('nested', 'loop')    # loading 'loop' needs 'loop'
    store, outer = pipeline('nested', 'outer')
    assert finishing(run_local, store, registry, [outer])[outer] == [[[0], [1], [2]]] * 3
    store, loop = pipeline('nested', 'loop')
    with pytest.raises(PayloadCycle, match='needs itself') as caught:
        finishing(run_local, store, registry, [loop])
    assert caught.value.__notes__[-1] == (f'while running node {loop} (external: External '
                                          f'nested:loop [fw 1]), loading its payload')


def test_loads_that_need_each_other_from_two_threads_fail_instead_of_waiting():
    cache = PayloadCache()
    both_loading = threading.Barrier(2, timeout=30)
    started = set()

    def loader(mine, other):
        def load():
            if mine not in started:
                started.add(mine)
                both_loading.wait()
            return cache.get(('t', other), loader(other, mine))
        return load

    errors = {}

    def need(mine, other):
        try:
            cache.get(('t', mine), loader(mine, other))
        except Exception as error:
            errors[mine] = error
    threads = [threading.Thread(target=need, args=pair, daemon=True) for pair in [('a', 'b'), ('b', 'a')]]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads), 'deadlocked'
    assert {name: type(error) for name, error in errors.items()} == {'a': PayloadCycle, 'b': PayloadCycle}


@pytest.mark.thread_unsafe(reason='sets the limit of the process cache and empties it')
def test_the_cache_keeps_what_a_plan_needs_and_the_limit_set():
    loads = []
    registry = scoring_registry(lambda descriptor: loads.append(descriptor['content_hash']))
    drop_payloads()
    # Nine models over sixteen partitions: each loads once, whatever the limit.
    nine = [f'm{k}' for k in range(9)]
    store, node = scoring(nine, parts=16)
    run_local(store, registry, [node])
    assert sorted(loads) == nine
    previous = set_payload_limit(8)
    try:
        for limit in (1, 2, 3):
            set_payload_limit(limit)
            drop_payloads()
            loads.clear()
            for model in ['a', 'b', 'c', 'a']:
                store, node = scoring([model])
                run_local(store, registry, [node])
            assert loads == (['a', 'b', 'c'] if limit >= 3 else ['a', 'b', 'c', 'a']), limit
        with pytest.raises(ValueError, match='at least 0'):
            set_payload_limit(-1)
    finally:
        set_payload_limit(previous)


@pytest.mark.thread_unsafe(reason='empties the process cache')
def test_payloads_live_no_longer_than_their_registry():
    class Model:
        pass
    store, node = scoring(['h'])

    def model_kept(action):
        """Whether the model loaded for a run is alive after action(registries), once
        nothing else holds the registry."""
        models = []
        registries = [scoring_registry(lambda descriptor: models.append(Model()) or models[-1])]
        run_local(store, registries[0], [node])
        model = weakref.ref(models.pop())
        action(registries)
        gc.collect()
        return model() is not None

    assert model_kept(lambda registries: None)   # kept while the registry lives
    assert not model_kept(lambda registries: registries[0].drop_payloads())
    assert not model_kept(lambda registries: drop_payloads())
    assert not model_kept(lambda registries: registries.clear())   # the registry collected
