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


def started(*calls):
    """Runs each call (fn, *args) in a thread of its own; the function returned waits for them
    and gives what each returned or raised. A deadlock fails the test instead of hanging it."""
    outcomes = [None] * len(calls)

    def run(i, fn, *args):
        try:
            outcomes[i] = fn(*args)
        except Exception as error:
            outcomes[i] = error
    threads = [threading.Thread(target=run, args=(i, *call), daemon=True) for i, call in enumerate(calls)]
    for thread in threads:
        thread.start()

    def joined():
        for thread in threads:
            thread.join(60)
        assert not any(thread.is_alive() for thread in threads), 'deadlocked'
        return outcomes
    return joined


def finishing(fn, *args):
    (outcome,) = started((fn, *args))()
    if isinstance(outcome, Exception):
        raise outcome
    return outcome


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

    waiting = started(*[(cache.get, ('t', 'slow'), slow)] * 4)
    try:
        loading.wait()
        # While one payload loads, a kept payload is served and another one loads.
        assert finishing(cache.get, ('t', 'kept'), lambda: 'reloaded') == 'kept'
        assert finishing(cache.get, ('t', 'other'), lambda: 'other') == 'other'
    finally:
        release.set()
    # The failed load is not kept: those waiting for it load again, once.
    assert sorted(map(str, waiting())) == ['slow', 'slow', 'slow', 'the first load fails']
    assert len(attempts) == 2


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
    first_loads = set()

    def loader(mine, other):
        def load():
            if mine not in first_loads:
                first_loads.add(mine)
                both_loading.wait()
            return cache.get(('t', other), loader(other, mine))
        return load

    outcomes = started((cache.get, ('t', 'a'), loader('a', 'b')),
                       (cache.get, ('t', 'b'), loader('b', 'a')))()
    assert [type(outcome) for outcome in outcomes] == [PayloadCycle, PayloadCycle]


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
