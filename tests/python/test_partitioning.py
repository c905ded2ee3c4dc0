"""How the plan partitions values: joins of inputs not known to be partitioned alike are
refused before anything is read, exchanges into the partitioning their input already has are
skipped, and strategies are chosen by a parameter.

Rows are ints and a row's key is its value modulo KEYS. The joins really pair rows by key, so
a join that the plan accepts wrongly gives a different answer than joining the whole data."""
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

import korvane_core
from evaluator_registry import run_settings
from korvane.run import (
    MissingImplementation,
    NotCoPartitioned,
    PartitionMismatch,
    PlanError,
    Registry,
    landing_of,
    run_local,
)
from korvane.run.plan import ExchangeRecipe, ForwardRecipe, JoinRecipe, make_plan

KEYS = 4
# A joined row a * JOINED + b keeps b's key, hence a's.
JOINED = KEYS * 1000


def key(row):
    return row % KEYS


PLACE = {'hash': lambda k, n: k % n, 'range': lambda k, n: k * n // KEYS}


def scattered(n, parts, seed):
    """Rows 0..n-1 wherever a seed puts them: partitioned like nothing else, with rows x and
    x + KEYS, of one key, in different partitions (of 2 or 3)."""
    return [[x for x in range(n) if (x + x // KEYS + seed) % parts == p] for p in range(parts)]


def placed(n, parts, layout):
    return [[x for x in range(n) if PLACE[layout](key(x), parts) == p] for p in range(parts)]


def pairs(left, right):
    return [a * JOINED + b for a in left for b in right if key(a) == key(b)]


def keyed_registry(reads):
    registry = Registry()

    @registry.source('scattered', partitions=lambda params: params['parts'])
    def read_scattered(params, i):
        reads.append(i)
        return scattered(params['n'], params['parts'], params['seed'])[i]

    # A table laid out by key, and saying so.
    @registry.source('table', partitions=lambda params: params['parts'],
                     partitioning=lambda params: registry.exchange_partitioning(
                         {'strategy': params['layout'], 'by': 'key'}, params['parts']))
    def read_table(params, i):
        reads.append(i)
        return placed(params['n'], params['parts'], params['layout'])[i]

    registry.op('bump')(lambda params, part: [x + KEYS for x in part])   # keeps every key
    registry.op('shift', preserves_partitioning=False)(lambda params, part: [x + 1 for x in part])
    registry.op('merge')(lambda params, a, b: a + b)
    for strategy, matter in (('hash', ()), ('range', None)):
        # Hash exchanges agree whatever their key's name; range ones only on every parameter.
        registry.exchange(
            split=lambda params, part, n, place=PLACE[strategy]:
                [[x for x in part if place(key(x), n) == j] for j in range(n)],
            concat=lambda params, pieces: [x for piece in pieces for x in piece],
            strategy=strategy, partitioning_params=matter)
    registry.join(strategy='inner')(lambda params, left, right: pairs(left, right))

    @registry.join(strategy='broadcast', co_partitioned=False)
    def broadcast(params, part, whole):
        return pairs(part, [x for p in whole for x in p])
    return registry


def whole(store, node):
    """The node's rows computed on the whole data, without partitions."""
    n = store.nodes()[node]
    args = [whole(store, i) for i in n['inputs']]
    kind, params = n['kind'], n['params']
    if kind == 'source':
        return list(range(params['n']))
    if kind == 'exchange':
        return args[0]
    if kind == 'join':
        return pairs(*args)
    return {'bump': lambda a: [x + KEYS for x in a], 'shift': lambda a: [x + 1 for x in a],
            'merge': lambda a, b: a + b}[n['name']](*args)


def layout(partitions):
    """Which partitions each key's rows lie in."""
    where = {}
    for p, part in enumerate(partitions):
        for row in part:
            where.setdefault(key(row), set()).add(p)
    return where


@st.composite
def keyed_pipelines(draw):
    store = korvane_core.GraphStore()
    counts = {}

    def some_node():
        return draw(st.sampled_from(sorted(counts)))

    parts = st.sampled_from([2, 3, 1])   # few counts, so that values often meet at one
    for _ in range(draw(st.integers(1, 3))):
        count = draw(parts)
        if draw(st.booleans()):
            params = {'n': draw(st.integers(2, 9)), 'parts': count, 'seed': draw(st.integers(0, 2))}
            counts[store.add_source('scattered', params)] = count
        else:
            params = {'n': draw(st.integers(2, 9)), 'parts': count,
                      'layout': draw(st.sampled_from(sorted(PLACE)))}
            counts[store.add_source('table', params)] = count
    for _ in range(draw(st.integers(1, 8))):
        x = some_node()
        kind = draw(st.sampled_from(['exchange'] * 2 + ['bump', 'shift', 'merge'] + ['join'] * 3))
        if kind == 'exchange':
            params = {'strategy': draw(st.sampled_from(sorted(PLACE))),
                      'by': draw(st.sampled_from(['k', 'key']))}
            if draw(st.booleans()):
                params['partitions'] = draw(parts)
            counts.setdefault(store.add_exchange([x], params), params.get('partitions', counts[x]))
        elif kind in ('bump', 'shift'):
            counts.setdefault(store.add_op(kind, [x]), counts[x])
        elif kind == 'merge':
            y = draw(st.sampled_from([i for i in counts if counts[i] == counts[x]]))
            counts.setdefault(store.add_op('merge', [x, y]), counts[x])
        else:
            sides = [x, draw(st.sampled_from([x, some_node()]))]
            if draw(st.booleans()):
                # As a user would: both sides exchanged alike first (skipped where they are).
                alike = {'strategy': draw(st.sampled_from(sorted(PLACE))), 'by': 'key',
                         'partitions': draw(parts)}
                sides = [store.add_exchange([side], alike) for side in sides]
                for side in sides:
                    counts.setdefault(side, alike['partitions'])
            params = {'strategy': draw(st.sampled_from(['inner', 'broadcast']))}
            counts.setdefault(store.add_join(sides, params), counts[sides[0]])
    return store


@run_settings(200)
@given(keyed_pipelines())
def test_the_plan_accepts_only_joins_that_give_the_whole_datas_answer(store):
    reads = []
    registry = keyed_registry(reads)
    claims = []   # (partitioning, layout) of every value computed
    refused = set()
    for node in range(store.node_count()):
        reads.clear()
        try:
            plan = make_plan(store, registry, [node])
        except PartitionMismatch as error:
            # Only a join is ever refused here, and before anything is read.
            assert isinstance(error, NotCoPartitioned) and error.node.kind == 'join'
            with pytest.raises(NotCoPartitioned):
                run_local(store, registry, [node])
            assert reads == []
            refused.add(node)
            continue
        partitions = run_local(store, registry, [node])[node]
        if not any(row_aligned(s) for s in plan.steps.values()):
            assert sorted(row for part in partitions for row in part) == sorted(whole(store, node))
        step = plan.steps[node]
        assert len(partitions) == step.partitions == step.partitioning.count
        params = store.nodes()[node]['params']
        if store.nodes()[node]['kind'] == 'exchange':
            # Skipped or not, an exchange's rows sit where its strategy puts them.
            place = PLACE[params['strategy']]
            assert all(place(key(row), len(partitions)) == p
                       for p, part in enumerate(partitions) for row in part)
        claims.append((step.partitioning, layout(partitions)))
    # Values the plan says are partitioned alike have each key's rows in the same partitions.
    for partitioning, where in claims:
        for other, elsewhere in claims:
            if other == partitioning and partitioning.scheme[0] != 'node':
                assert all(where[k] == elsewhere[k] for k in where.keys() & elsewhere.keys())
    # The store's reduction, its operations fused into stages, accepts the same joins.
    joins = [node['id'] for node in store.nodes() if node['kind'] == 'join']
    if joins:
        reduced, _ = store.reduce(outputs=joins)
        for join in joins:
            landing = landing_of(store, reduced, join)[0]
            try:
                make_plan(reduced, registry, [landing])
                assert join not in refused
            except NotCoPartitioned:
                assert join in refused


def row_aligned(step):
    """A join of a value with what was computed from it, partition by partition: it pairs
    the rows that sit in one partition of that value, not all rows of a key."""
    return isinstance(step.recipe, JoinRecipe) and step.recipe.co_partitioned and \
        step.partitioning is not None and step.partitioning.scheme[0] == 'node'


def two_tables(layouts=('hash', 'range'), join='inner'):
    """Two 2-partition tables keyed differently, joined."""
    store = korvane_core.GraphStore()
    left = store.add_source('table', {'n': 4, 'parts': 2, 'layout': layouts[0]})
    right = store.add_source('table', {'n': 8, 'parts': 2, 'layout': layouts[1]})
    return store, left, right, store.add_join([left, right], {'strategy': join})


def test_tables_keyed_differently_are_not_joined_partition_by_partition():
    reads = []
    registry = keyed_registry(reads)
    store, left, right, joined = two_tables()
    # Partition by partition, the join would find 4 of the 8 pairs.
    split = [pairs(a, b) for a, b in zip(placed(4, 2, 'hash'), placed(8, 2, 'range'))]
    assert len(pairs(range(4), range(8))) == 8 and sum(map(len, split)) == 4
    with pytest.raises(NotCoPartitioned) as caught:
        run_local(store, registry, [joined])
    assert reads == []
    assert str(caught.value) == (
        f"node {joined} (join: Join {{strategy='inner'}}): its inputs are not known to be "
        "partitioned alike, so rows with equal keys may sit in different partitions and "
        "never meet:\n"
        f"  node {left} (source: Source table {{layout='hash', n=4, parts=2}}): the 'hash' "
        "exchange into 2 partitions\n"
        f"  node {right} (source: Source table {{layout='range', n=8, parts=2}}): the 'range' "
        "exchange {by='key', strategy='range'} into 2 partitions\n"
        "To join them, exchange every input with the same exchange strategy and partition count "
        "(registering the exchange with partitioning_params when only some of its parameters "
        "decide where rows go), declare a source's existing partitioning with partitioning= when "
        "registering it, or register a broadcast join with co_partitioned=False.")
    # Each way out gives the 8 pairs: tables laid out alike, a hash exchange (whose key's name
    # does not matter) of the range table, or a broadcast join.
    hashed = store.add_exchange([right], {'strategy': 'hash', 'by': 'user_id', 'partitions': 2})
    store.add_join([left, hashed], {'strategy': 'inner'})
    for fixed_store in (two_tables(('hash', 'hash'))[0], store, two_tables(join='broadcast')[0]):
        out = fixed_store.node_count() - 1
        result = run_local(fixed_store, registry, [out])[out]
        assert len(result) == 2 and sorted(sum(result, [])) == sorted(pairs(range(4), range(8)))


def test_own_partitionings_join_only_themselves_and_broadcast_joins_take_any_count():
    registry = keyed_registry([])
    store = korvane_core.GraphStore()
    src = store.add_source('scattered', {'n': 8, 'parts': 2, 'seed': 0})
    # A value and what was computed from it partition by partition are partitioned alike.
    bumped = store.add_op('bump', [src])
    aligned = store.add_join([src, bumped], {'strategy': 'inner'})
    assert make_plan(store, registry, [aligned]).steps[aligned].partitioning == \
        make_plan(store, registry, [src]).steps[src].partitioning
    # Another value partitioned like nothing else is not, even with as many partitions.
    other = store.add_source('scattered', {'n': 8, 'parts': 2, 'seed': 1})
    for refused in (store.add_join([bumped, other], {'strategy': 'inner'}),
                    store.add_join([src, store.add_op('shift', [src])], {'strategy': 'inner'})):
        with pytest.raises(NotCoPartitioned, match=r'into 2 partitions\n'):
            make_plan(store, registry, [refused])
    three, two = (store.add_exchange([src], {'strategy': 'hash', 'partitions': n}) for n in (3, 2))
    wide = store.add_join([three, two], {'strategy': 'broadcast'})
    step = make_plan(store, registry, [wide]).steps[wide]
    assert isinstance(step.recipe, JoinRecipe) and not step.recipe.co_partitioned
    assert step.partitions == step.input_partitions == 3
    assert step.partitioning == make_plan(store, registry, [three]).steps[three].partitioning


def test_exchanges_into_the_partitioning_they_have_are_skipped():
    registry = keyed_registry([])
    store = korvane_core.GraphStore()
    src = store.add_source('scattered', {'n': 8, 'parts': 3, 'seed': 1})
    table = store.add_source('table', {'n': 8, 'parts': 4, 'layout': 'hash'})

    def exchange(node, strategy='hash', partitions=4, by='key'):
        return store.add_exchange([node], {'strategy': strategy, 'by': by, 'partitions': partitions})

    hashed = exchange(src)
    skipped = [exchange(store.add_op('bump', [hashed])), exchange(table)]
    # Hashed by another column: as good for a join (only the count matters to hash
    # exchanges), but not where rows already are.
    needed = [exchange(hashed, by='k'), hashed, exchange(hashed, partitions=2),
              exchange(hashed, strategy='range'),
              exchange(store.add_op('shift', [hashed])), exchange(exchange(hashed, 'range'), by='k')]
    skipped.append(exchange(exchange(src, 'range'), 'range'))
    reduced, _ = store.reduce(outputs=skipped + needed)
    for s, outputs in ((store, skipped + needed), (reduced, reduced.outputs())):
        recipes = [make_plan(s, registry, [o]).steps[o].recipe for o in outputs]
        assert [type(r) for r in recipes] == \
            [ForwardRecipe] * len(skipped) + [ExchangeRecipe] * len(needed)


def test_strategies_are_chosen_by_a_parameter():
    registry = keyed_registry([])
    store = korvane_core.GraphStore()
    src = store.add_source('scattered', {'n': 8, 'parts': 2, 'seed': 0})
    by_hash = store.add_exchange([src], {'strategy': 'hash'})
    by_range = store.add_exchange([src], {'strategy': 'range'})
    results = run_local(store, registry, [by_hash, by_range])
    # The source's partitions are [0, 2, 5, 7] and [1, 3, 4, 6]; keys are rows modulo 4.
    assert results[by_hash] == [[0, 2, 4, 6], [5, 7, 1, 3]]
    assert results[by_range] == [[0, 5, 1, 4], [2, 7, 3, 6]]
    plan = make_plan(store, registry, [store.add_join([by_hash, by_range], {'strategy': 'broadcast'}),
                                       store.add_join([by_hash, by_hash], {'strategy': 'inner'})])
    assert [plan.steps[o].recipe.co_partitioned for o in plan.outputs] == [False, True]
    for node, problem in ((store.add_exchange([src], {'strategy': 'zigzag'}),
                           "no exchange strategy 'zigzag' (chosen by the parameter 'strategy'; "
                           "registered: 'hash', 'range')"),
                          (store.add_join([src, src]), "no default join strategy")):
        with pytest.raises(MissingImplementation, match=rf'^node {node} .*: {re.escape(problem)}'):
            make_plan(store, registry, [node])
    # A registry with one exchange and one join of no name: "strategy" is the user's own.
    plain = Registry()
    plain.source('scattered', partitions=lambda params: params['parts'])(
        lambda params, i: scattered(params['n'], params['parts'], params['seed'])[i])
    plain.exchange(split=lambda params, part, n: [[x for x in part if x % n == j] for j in range(n)],
                   concat=lambda params, pieces: sum(pieces, []))
    plain.join(lambda params, left, right: pairs(left, right))
    mine, yours = (store.add_exchange([src], {'strategy': name}) for name in ('mine', 'yours'))
    joined = store.add_join([mine, yours], {'strategy': 'mine'})
    with pytest.raises(NotCoPartitioned):   # every parameter of this exchange matters
        make_plan(store, plain, [joined])
    joined = store.add_join([mine, mine], {'strategy': 'mine'})
    assert sorted(sum(run_local(store, plain, [joined])[joined], [])) == sorted(pairs(range(8), range(8)))


def test_declared_partitionings_are_checked():
    registry = keyed_registry([])
    wrong = {'count': lambda params: registry.exchange_partitioning({'strategy': 'hash'}, 3),
             'type': lambda params: ('hash', 2),
             'raises': lambda params: registry.exchange_partitioning({'strategy': 'spiral'}, 2)}
    for name, partitioning in wrong.items():
        registry.source(name, partitions=lambda params: 2, partitioning=partitioning)(
            lambda params, i: [])
    store = korvane_core.GraphStore()
    for name, problem in (('count', "its declared partitioning is the 'hash' exchange into 3 "
                                    "partitions, but the source has 2 partitions$"),
                          ('type', r"its partitioning function gave tuple \('hash', 2\), not a "
                                   "Partitioning$")):
        node = store.add_source(name)
        with pytest.raises(PlanError, match=rf'^node {node} \(source: Source {name}\): {problem}'):
            make_plan(store, registry, [node])
    node = store.add_source('raises')
    with pytest.raises(LookupError, match="no exchange strategy 'spiral'") as caught:
        make_plan(store, registry, [node])
    assert caught.value.__notes__ == [f'while running node {node} (source: Source raises): '
                                      'finding its partitioning']
