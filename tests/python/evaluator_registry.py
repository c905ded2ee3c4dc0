"""The test-only evaluator's meaning of nodes as a registry, applied per partition, and random
pipelines that can run under it.

With one partition everywhere a run computes exactly the evaluator's values. With more,
partition i of a source is a different number and every other node applies the
evaluator's function per partition; exchanges cut and re-add, reductions add partial
results. Runs of a store and of its reductions must then agree, because the optimizer's
rewrites hold per partition.
"""
import os
from functools import partial

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from evaluator import PRIME, _opaque, evaluate_op
from korvane.run import Registry

BINARY = ['add', 'mul', 'sub', 'maximum', 'minimum', 'eq', 'ne', 'and', 'or']
OTHER = ['neg', 'filter', 'map']
REDUCTIONS = ['sum', 'max']
EXTERNAL_KINDS = ['model', 'udf']
SOURCES = ['a', 'b', 'c']


def run_settings(examples):
    """Hypothesis settings for runs of random pipelines: a quarter of the examples in the
    sanitized pass, where every call costs more."""
    sanitized = bool(os.environ.get('KORVANE_SANITIZED'))
    return settings(max_examples=max(2, examples // 4) if sanitized else examples, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


def partitions(params):
    return params.get('parts', 1)


def read(name, params, i):
    if partitions(params) == 1:
        return _opaque('source', name, params)
    return _opaque('source', name, params, i)


def apply_op(name, params, *args):
    return evaluate_op('op', name, params, list(args))


def step(name, params, *args):
    return evaluate_op('reduction', name, params, list(args))


def add_up(params, values):
    return sum(values) % PRIME


def split(params, value, n):
    if n == 1:
        return [_opaque('exchange', params, [value])]
    return [_opaque('piece', params, value, j) for j in range(n)]


def join(params, *args):
    return _opaque('join', params, list(args))


def load(descriptor):
    return dict(descriptor)


def apply_external(payload, params, *args):
    return _opaque('external', payload, params, list(args))


def evaluator_registry():
    registry = Registry()
    for name in SOURCES:
        registry.source(name, partitions=partitions)(partial(read, name))
    for name in BINARY + OTHER:
        registry.op(name)(partial(apply_op, name))
    for name in REDUCTIONS:
        registry.reduction(name, step=partial(step, name), combine=add_up, split_every=3)
    registry.exchange(split=split, concat=add_up)
    registry.join(join)
    for kind in EXTERNAL_KINDS:
        registry.external(kind, load=load, apply=apply_external)
    return registry


def descriptor(kind, content_hash):
    return dict(kind=kind, content_hash=content_hash, framework='fw', version='1', io_schema='io')


UNARY_PARAMS = [{}, {'k': 1}, {'k': 1.0}, {'f': 'inc'},
                {'scalar': 0.0, 'side': 'r'}, {'scalar': 1.0, 'side': 'l'}, {'scalar': 2.0, 'side': 'r'}]
IDENTITIES = [('add', {'scalar': 0.0, 'side': 'r'}), ('add', {'scalar': 0.0, 'side': 'l'}),
              ('mul', {'scalar': 1.0, 'side': 'r'}), ('mul', {'scalar': 1.0, 'side': 'l'})]
DESCRIPTORS = [descriptor('model', 'h1'), descriptor('model', 'h2'), descriptor('udf', 'h1')]


@st.composite
def pipelines(draw, max_nodes=25, one_partition=False):
    """A store that runs under the evaluator registry, and its outputs. Inputs that meet at a
    node have equal partition counts or are single values (reduction results). A join's
    partitioned inputs are first exchanged alike; every other exchange has a salt of its own,
    so that none is ever into the partitioning its input has: such an exchange is skipped,
    and the evaluator's exchange is no identity."""
    import korvane_core

    store = korvane_core.GraphStore()
    counts = {}  # node id -> partition count, None for a single value
    salts = iter(range(1 << 30))

    def record(node, count):
        counts.setdefault(node, count)
        return node

    def some_node():
        ids = sorted(counts)
        # Mostly recent nodes, so chains form.
        back = draw(st.integers(0, min(len(ids) - 1, 3)) | st.integers(0, len(ids) - 1))
        return ids[len(ids) - 1 - back]

    def partner(node):
        """A node that can meet `node`: same partition count, or one side single."""
        fits = [i for i in counts if None in (counts[i], counts[node]) or counts[i] == counts[node]]
        return draw(st.sampled_from(fits))

    def shared(*inputs):
        return next((counts[i] for i in inputs if counts[i] is not None), None)

    parts = st.just(1) if one_partition else st.integers(1, 3)
    for _ in range(draw(st.integers(1, 3))):
        count = draw(parts)
        record(store.add_source(draw(st.sampled_from(SOURCES)), {'parts': count}), count)
    for _ in range(draw(st.integers(0, max_nodes))):
        kind = draw(st.sampled_from(['unary'] * 4 + ['binary'] * 3 + ['commuted', 'identity', 'boundary', 'boundary']))
        x = some_node()
        if kind == 'unary':
            record(store.add_op(draw(st.sampled_from(BINARY + OTHER)), [x], draw(st.sampled_from(UNARY_PARAMS))),
                   counts[x])
        elif kind in ('binary', 'commuted'):
            y = partner(x)
            name = draw(st.sampled_from(BINARY + OTHER))
            record(store.add_op(name, [x, y]), shared(x, y))
            if kind == 'commuted':
                record(store.add_op(name, [y, x]), shared(x, y))
        elif kind == 'identity':
            name, params = draw(st.sampled_from(IDENTITIES))
            record(store.add_op(name, [x], params), counts[x])
        else:
            which = draw(st.sampled_from(['reduction', 'exchange', 'join', 'external']))
            if which == 'reduction':
                inputs = draw(st.sampled_from([[x], [x, partner(x)]]))
                record(store.add_reduction(draw(st.sampled_from(REDUCTIONS)), inputs), None)
            elif which == 'exchange' and counts[x] is not None:
                params = draw(st.sampled_from([{'scheme': 'hash'}] if one_partition else
                                              [{'scheme': 'hash'}, {'scheme': 'hash', 'partitions': 2}]))
                params['salt'] = next(salts)
                record(store.add_exchange([x], params), params.get('partitions', counts[x]))
            elif which == 'join':
                y = partner(x)
                alike = {'scheme': 'hash', 'salt': next(salts)}
                sides = [i if counts[i] is None else record(store.add_exchange([i], alike), counts[i])
                         for i in (x, y)]
                record(store.add_join(sides, {'on': 'id'}), shared(x, y))
            elif which == 'external':
                record(store.add_external(draw(st.sampled_from(DESCRIPTORS)), [x], {}), counts[x])
    outputs = draw(st.lists(st.sampled_from(sorted(counts)), min_size=1, max_size=4))
    return store, outputs
