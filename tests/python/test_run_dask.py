"""Running stores on dask: the threaded scheduler and a two-worker distributed cluster compute
what a local run computes, for stores as recorded and reduced; failures and external
payloads behave there as they do locally."""
import importlib.util
import logging
import os
import sys
import threading
import uuid
from pathlib import Path

import pytest
from hypothesis import given

import korvane_core
from evaluator_registry import evaluator_registry, pipelines, run_settings
from optional_deps import require
from korvane.run import (
    Registry,
    RemoteError,
    UnpicklableValue,
    landing_of,
    lower,
    requests_for,
    run_local,
    value_of,
)

dask_optimization = require('dask.optimization')
dask_threaded = require('dask.threaded')

MODEL = dict(kind='model', content_hash='h', framework='fw', version='1', io_schema='io')


@pytest.fixture(scope='module')
def client():
    """Two worker processes on the loopback interface, shared by the module's tests."""
    distributed = require('distributed')
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host='127.0.0.1',
                                  dashboard_address='127.0.0.1:0', silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        yield client


def optimized_by_dask(lowered):
    """The lowered graph after dask's own low-level optimization: culling and linear fusion."""
    keys = [k for target in lowered.keys() for k in (target if isinstance(target, list) else [target])]
    culled, dependencies = dask_optimization.cull(lowered.graph, keys)
    fused, _ = dask_optimization.fuse_linear(culled, keys, dependencies=dependencies)
    return fused


@run_settings(40)
@given(pipelines())
def test_threaded_runs_agree_with_local_runs(pipeline):
    store, outputs = pipeline
    registry = evaluator_registry()
    recorded = run_local(store, registry, outputs)
    assert dict(lower(store, registry, outputs).compute('threads')) == dict(recorded)
    # Unfused, then fused by dask's own optimizer (the benchmark's baseline).
    lowered = lower(store, registry, outputs, fuse=False)
    computed = dask_threaded.get(optimized_by_dask(lowered), lowered.keys())
    assert dict(lowered.results(computed)) == dict(recorded)
    for maximal in (False, True):
        reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
        wanted, members = requests_for(store, reduced, outputs)
        results = lower(reduced, registry, wanted, members=members).compute('threads')
        for o in outputs:
            assert value_of(store, reduced, o, results) == recorded[o]


@pytest.mark.thread_unsafe(reason='shares one cluster')
# The cluster's own threads use the random module while hypothesis draws an example.
@pytest.mark.filterwarnings('ignore::hypothesis.errors.HypothesisDeprecationWarning')
@run_settings(8)
@given(pipeline=pipelines(max_nodes=15))
def test_cluster_runs_agree_with_local_runs(client, pipeline):
    store, outputs = pipeline
    registry = evaluator_registry()
    recorded = run_local(store, registry, outputs)
    for maximal in (False, True):
        reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
        results = lower(reduced, registry).compute(client)
        for o in outputs:
            assert results[landing_of(store, reduced, o)[0]] == recorded[o]


def numbers():
    registry = Registry()
    registry.source('nums', partitions=lambda params: params['parts'])(
        lambda params, i: list(range(i * 4, i * 4 + 4)))
    registry.op('check')(lambda params, part: part if part[0] < 8 else 1 / 0)
    registry.reduction('sum', step=lambda params, part: sum(part), combine=lambda params, xs: sum(xs))
    registry.external('model', load=lambda descriptor: (os.getpid(), uuid.uuid4().hex),
                      apply=lambda payload, params, part: [payload] * len(part))
    return registry


@pytest.mark.thread_unsafe(reason='shares one cluster')
def test_user_errors_reach_the_client_with_their_note(client):
    store = korvane_core.GraphStore()
    checked = store.add_op('check', [store.add_source('nums', {'parts': 4})])
    total = store.add_reduction('sum', [checked])
    reduced, _ = store.reduce(outputs=[total])
    with pytest.raises(ZeroDivisionError) as caught:
        lower(reduced, numbers()).compute(client)
    (note,) = caught.value.__notes__
    assert note in ('while running node 1 (stage: Stage[1 members: check]), partition 2',
                    'while running node 1 (stage: Stage[1 members: check]), partition 3')


def unpicklable_registry():
    """Ops whose exception or value on partition 1 cannot be pickled. Defined here, so that
    they travel by value to worker processes."""
    class Refusal(Exception):
        def __init__(self, code, reason):   # unpickling calls it with the message alone
            super().__init__(f'refused {code}: {reason}')

    class Held(Exception):
        def __init__(self, message):
            super().__init__(message)
            self.lock = threading.Lock()

    def fail(params, part):
        if part == [1]:
            raise Refusal(7, 'no') if params['how'] == 'args' else Held('held a lock')
        return part
    registry = Registry()
    registry.source('nums', partitions=lambda params: 2)(lambda params, i: [i])
    registry.op('fail')(fail)
    registry.op('lock')(lambda params, part: threading.Lock() if part == [1] else part)
    return registry


@pytest.mark.thread_unsafe(reason='starts processes, shares one cluster')
@pytest.mark.parametrize('scheduler', ['local', 'processes', 'cluster'])
def test_what_cannot_be_pickled_is_named_on_every_scheduler(request, scheduler):
    if scheduler == 'cluster':
        scheduler = request.getfixturevalue('client')
    elif scheduler == 'processes':
        require('dask.multiprocessing')

    def compute(store, node):
        if scheduler == 'local':
            return run_local(store, unpicklable_registry(), [node])
        return lower(store, unpicklable_registry(), [node]).compute(scheduler)
    for how, type_name, message in [('args', 'Refusal', 'refused 7: no'), ('attribute', 'Held', 'held a lock')]:
        store = korvane_core.GraphStore()
        failing = store.add_op('fail', [store.add_source('nums')], {'how': how})
        with pytest.raises(RemoteError) as caught:
            compute(store, failing)
        error = caught.value
        assert error.type_name.endswith(f'.{type_name}') and error.message == message
        assert f'{type_name}: {message}' in error.traceback_text
        assert error.__notes__ == [f"while running node 1 (op: Op fail {{how='{how}'}}), partition 1"]
    if scheduler != 'local':   # values leave the process only on other schedulers
        store = korvane_core.GraphStore()
        locked = store.add_op('lock', [store.add_source('nums')])
        with pytest.raises(UnpicklableValue, match=r'^the value of node 1 \(op: Op lock\), '
                                                    r'partition 1 cannot be pickled'):
            compute(store, locked)


@pytest.mark.thread_unsafe(reason='shares one cluster')
def test_payloads_load_once_per_worker_process(client):
    store = korvane_core.GraphStore()
    scored = store.add_external(MODEL, [store.add_source('nums', {'parts': 16})])
    partitions = lower(store, numbers(), [scored]).compute(client)[scored]
    loads = {tuple(payload) for part in partitions for payload in part}
    workers = {pid for pid, _ in loads}
    assert len(loads) == len(workers) <= 2
    assert os.getpid() not in workers


def outputs_of(store):
    return store.node_count(), store.outputs()


@pytest.mark.thread_unsafe(reason='shares one cluster')
def test_stores_travel_to_workers(client):
    store = korvane_core.GraphStore()
    total = store.add_reduction('sum', [store.add_source('nums', {'parts': 2})])
    reduced, _ = store.reduce(outputs=[total])
    assert client.submit(outputs_of, reduced).result() == (2, [1])


@pytest.fixture(scope='module')
def example():
    """examples/run_on_dask.py as a module whose functions travel by value, as they do when it
    runs as a script."""
    require('pandas')
    cloudpickle = require('cloudpickle')
    path = Path(__file__).resolve().parents[2] / 'examples' / 'run_on_dask.py'
    found = importlib.util.spec_from_file_location('run_on_dask_example', path)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module
    found.loader.exec_module(module)
    cloudpickle.register_pickle_by_value(module)
    yield module
    cloudpickle.unregister_pickle_by_value(module)
    del sys.modules[found.name]


def check_example(example, scheduler):
    store, outputs = example.record()
    reduced, report = store.reduce(outputs=list(outputs.values()))
    assert report['stages'] < report['reachable_nodes'] < store.node_count()   # fused, previews dropped
    expected = example.in_pandas()
    results = lower(reduced, example.registry()).compute(scheduler)
    recorded = run_local(store, example.registry(), list(outputs.values()))
    for name, node in outputs.items():
        assert example.agree(results[landing_of(store, reduced, node)[0]], expected[name]), name
        assert example.agree(recorded[node], expected[name]), name


def test_example_equals_pandas_on_the_whole_data(example):
    check_example(example, 'threads')


@pytest.mark.thread_unsafe(reason='shares one cluster')
def test_example_on_the_cluster(client, example):
    check_example(example, client)


def split_killing_once(marker, params, part, n):
    """An exchange split whose first call, wherever it runs, kills its worker process."""
    if not os.path.exists(marker):
        with open(marker, 'w'):
            pass
        os._exit(1)
    return [[x for x in part if x % n == j] for j in range(n)]


@pytest.mark.thread_unsafe(reason='kills a worker of the shared cluster')
def test_a_worker_killed_during_an_exchange_changes_nothing(client, tmp_path):
    from functools import partial
    registry = numbers()
    registry.exchange(split=partial(split_killing_once, str(tmp_path / 'killed')),
                      concat=lambda params, pieces: sorted(x for piece in pieces for x in piece))
    store = korvane_core.GraphStore()
    moved = store.add_exchange([store.add_source('nums', {'parts': 4})], {'partitions': 3})
    total = store.add_reduction('sum', [moved])
    (tmp_path / 'killed').touch()
    expected = run_local(store, registry, [moved, total])
    (tmp_path / 'killed').unlink()
    results = lower(store, registry, [moved, total]).compute(client)
    assert (tmp_path / 'killed').exists()   # a worker did die
    assert dict(results) == dict(expected)


def double_killing_once(marker, params, part):
    if not os.path.exists(marker):
        with open(marker, 'w'):
            pass
        os._exit(1)
    return [2 * x for x in part]


@pytest.mark.thread_unsafe(reason='kills a worker of the shared cluster')
def test_a_worker_killed_while_caching_leaves_no_broken_entry(client, tmp_path):
    from functools import partial

    from korvane.run import Cache
    registry = numbers()
    registry.op('double', version='1')(partial(double_killing_once, str(tmp_path / 'killed')))
    store = korvane_core.GraphStore()
    doubled = store.add_op('double', [store.add_source('nums', {'parts': 4})])
    total = store.add_reduction('sum', [doubled])
    cache = Cache(tmp_path / 'cache')
    results = lower(store, registry, [doubled, total], cache=cache,
                    cache_nodes='boundaries').compute(client)
    assert (tmp_path / 'killed').exists()
    assert results[total] == 2 * sum(range(16))
    # Every entry the run left is whole: a second run reads them all, computes nothing.
    again = run_local(store, registry, [doubled, total], cache=Cache(tmp_path / 'cache'),
                      cache_nodes='boundaries')
    assert dict(again) == dict(results) and set(again.loaded) == {doubled, total}
