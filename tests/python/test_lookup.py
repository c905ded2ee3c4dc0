"""value_of answers only for the store that was reduced, from a run of the reduced store: any
other store, run or id is refused, never answered with another node's value."""
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

import korvane_core
from evaluator_registry import pipelines, run_settings
from optional_deps import require
from korvane.run import Registry, landing_of, lower, run_local, value_of


def recorded_again(store, changed):
    """The store recorded anew with one more parameter on node `changed`: the same ids, and
    one node that is not the same."""
    copy = korvane_core.GraphStore()
    for node in store.nodes():
        params = dict(node['params'], **({'moved': 1} if node['id'] == changed else {}))
        kind, inputs = node['kind'], node['inputs']
        if kind == 'source':
            copy.add_source(node['name'], params)
        elif kind == 'op':
            copy.add_op(node['name'], inputs, params)
        elif kind == 'reduction':
            copy.add_reduction(node['name'], inputs, params)
        elif kind == 'external':
            copy.add_external(node['descriptor'], inputs, params)
        elif kind == 'exchange':
            copy.add_exchange(inputs, params)
        else:
            copy.add_join(inputs, params)
    return copy


@run_settings(60)
@given(pipelines(), st.data())
def test_a_store_that_differs_in_a_node_gets_no_landing_for_it(pipeline, data):
    store, outputs = pipeline
    reduced, _ = store.reduce(outputs=outputs, maximal_fusion=data.draw(st.booleans()))
    live = [i for i, landing in enumerate(reduced.node_map()) if landing is not None]
    changed = data.draw(st.sampled_from(live))
    other = recorded_again(store, changed)
    assert other.node_count() == store.node_count()
    with pytest.raises(ValueError, match=rf'^node {changed} \(.*\) landed on .*, which .*: the '
                                         'reduced store was not reduced from this store$'):
        landing_of(other, reduced, changed)


def summing(parts):
    """nums -> double -> sum, reduced: node 2 of the reduced store is the sum."""
    store = korvane_core.GraphStore()
    doubled = store.add_op('double', [store.add_source('nums', {'parts': parts})])
    total = store.add_reduction('sum', [doubled])
    reduced, _ = store.reduce(outputs=[total])
    return store, reduced, total


def test_value_of_answers_only_from_a_run_of_the_reduced_store():
    registry = Registry()
    registry.source('nums', partitions=lambda params: params['parts'])(lambda params, i: [i, i + 1])
    registry.op('double')(lambda params, part: [2 * x for x in part])
    registry.reduction('sum', step=lambda params, part: sum(part), combine=lambda params, xs: sum(xs))
    store, reduced, total = summing(4)
    numpy = require('numpy')
    require('dask.local')
    for run in (run_local(reduced, registry), lower(reduced, registry).compute('sync')):
        assert value_of(store, reduced, numpy.int64(total), run) == 32
    # A store of the same shape has the same ids and other values.
    _, twin, _ = summing(2)
    for run in (run_local(twin, registry), lower(twin, registry).compute('sync'),
                run_local(store, registry, [2])):
        with pytest.raises(ValueError, match='computed from another store than the reduced one'):
            value_of(store, reduced, total, run)
    results = run_local(reduced, registry)
    for bad in (2.0, '2', None, True):
        with pytest.raises(ValueError, match=f'^no node with id {bad!r}$'):
            value_of(store, reduced, bad, results)
    with pytest.raises(ValueError, match='has no node map.*unpickled'):
        value_of(store, pickle.loads(pickle.dumps(reduced)), total, results)
