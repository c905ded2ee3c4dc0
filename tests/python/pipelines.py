"""Seeded pipeline generators shared by the golden-digest test and the benchmarks.

The golden digests (golden_digests.py) are the SHA-256 of reductions of these
graphs, so every generator here is frozen: changing what one records changes
the graph and breaks the digests. Add a new generator instead.

Each generator records through a Recorder and returns the output ids. Only
seeded random.Random draws (random, randrange, choice) and plain integer
arithmetic decide what is recorded, so a seed gives the same graph on every
CPython version; nothing depends on hash or set order.
"""
import random

COMMUTATIVE = ['add', 'mul', 'maximum', 'minimum', 'and', 'or', 'eq', 'ne']
CHAIN_OPS = ['map', 'filter', 'project', 'cast', 'fillna', 'rename']
IDENTITIES = [('add', 0.0, 'r'), ('add', 0.0, 'l'), ('mul', 1.0, 'r'), ('mul', 1.0, 'l')]
ADD_ZERO = {'scalar': 0.0, 'side': 'r'}
MAX_HEADS = 64


class Recorder:
    """Records into a store; `after_add(store)` runs after every recording call
    (a test steps an IncrementalReducer there). Subclasses may mirror each node
    elsewhere (the reduce benchmark builds a task graph alongside)."""

    def __init__(self, store, after_add=None):
        self.store = store
        self._after_add = after_add

    def _added(self, node, inputs, label):
        if self._after_add is not None:
            self._after_add(self.store)
        return node

    def source(self, name, params):
        return self._added(self.store.add_source(name, params), [], name)

    def op(self, name, inputs, params=None):
        return self._added(self.store.add_op(name, inputs, params), inputs, name)

    def reduction(self, name, inputs, params=None):
        return self._added(self.store.add_reduction(name, inputs, params), inputs, name)

    def exchange(self, inputs, params):
        return self._added(self.store.add_exchange(inputs, params), inputs, 'exchange')

    def join(self, inputs, params):
        return self._added(self.store.add_join(inputs, params), inputs, 'join')

    def external(self, descriptor, inputs, params):
        return self._added(self.store.add_external(descriptor, inputs, params), inputs,
                           'external')


def realistic(b, size, seed):
    """A seeded pipeline of about `size` nodes.

    Up to 64 branches grow at once. Each step extends one: mostly map/filter
    style operations with parameters, and now and then a fan-out (the old head
    stays in use), a commutative combination of two branches (sometimes also
    built with its operands swapped), an identity operation, a
    non-commutative subtraction, a reduction, an exchange, a join behind
    exchanges, or a model call. Too many open branches are unioned. Branches
    end in a write that is an output; some branches are abandoned and never
    reach one (dead code)."""
    rng = random.Random(seed)
    heads = []
    outputs = []
    models = [dict(kind='model', content_hash=f'sha256:{k:064x}', framework='torch',
                   version='2.3', io_schema='f32[batch,128]->f32[batch,10]',
                   preprocessing_ref=None if k % 3 else f'prep-{k}') for k in range(12)]
    count = 0

    def new_source():
        heads.append(b.source('read', {'path': f's3://bucket/table-{count}/', 'format': 'parquet'}))

    def finish(h):
        outputs.append(b.reduction('write', [h], {'path': f'out/{len(outputs)}'}))

    def pick():
        return rng.randrange(len(heads))

    def chain_op(h):
        return b.op(rng.choice(CHAIN_OPS), [h], {'fn': f'udf_{rng.randrange(40)}',
                                                  'arg': rng.randrange(6)})

    while b.store.node_count() < size:
        count = b.store.node_count()
        if len(heads) < 2 or rng.random() < 0.015:
            new_source()
            continue
        i = pick()
        h = heads[i]
        if len(heads) > MAX_HEADS:
            # Too many open branches: union two of them.
            other = heads.pop(pick() if len(heads) > 1 else 0)
            if other != h:
                heads[heads.index(h)] = b.op('union', [h, other], {'distinct': False})
            continue
        r = rng.random()
        if r < 0.62:
            node = chain_op(h)
            if rng.random() < 0.06:
                heads.append(node)  # fan-out: the old head keeps a second consumer
            else:
                heads[i] = node
        elif r < 0.72:
            j = pick()
            name = rng.choice(COMMUTATIVE)
            node = b.op(name, [h, heads[j]])
            if rng.random() < 0.3:
                twin = b.op(name, [heads[j], h])  # a commuted duplicate
                node = b.op('concat', [node, twin])
            heads[i] = node
        elif r < 0.75:
            name, scalar, side = rng.choice(IDENTITIES)
            heads[i] = b.op(name, [h], {'scalar': scalar, 'side': side})
        elif r < 0.77:
            heads[i] = b.op('sub', [h, heads[pick()]])
        elif r < 0.81:
            heads[i] = b.reduction(rng.choice(['sum', 'mean', 'count']), [h], {'axis': 0})
        elif r < 0.84:
            heads[i] = b.exchange([h], {'scheme': 'hash', 'partitions': 64})
        elif r < 0.87:
            j = pick()
            left = b.exchange([h], {'scheme': 'hash', 'key': 'id'})
            right = b.exchange([heads[j]], {'scheme': 'hash', 'key': 'id'})
            heads[i] = b.join([left, right], {'how': 'inner', 'on': 'id'})
        elif r < 0.89:
            heads[i] = b.external(rng.choice(models), [h], {'batch': 32})
        elif r < 0.90:
            # A dead branch: a few steps that no output will need.
            node = h
            for _ in range(rng.randrange(3, 20)):
                node = chain_op(node)
        elif r < 0.9007:
            finish(heads.pop(i))
        else:
            heads[i] = chain_op(h)
    for h in heads:
        finish(h)
    return outputs


def rule_heavy(b, size, seed):
    """About `size` nodes, most of them additions, products and identity
    operations over a shared pool of values, so that commute-add, commute-mul
    and identity-0 each match more than a thousand times in one iteration and
    the scheduler bans them (again and again at 100k nodes). A fifth of the
    combinations are also built with their operands swapped, and identities
    are stacked on identities."""
    rng = random.Random(seed)
    values = [b.source('read', {'part': k}) for k in range(40)]
    outputs = []
    while b.store.node_count() < size:
        r = rng.random()
        x = values[rng.randrange(len(values))]
        if r < 0.55:
            y = values[rng.randrange(len(values))]
            name = rng.choice(['add', 'add', 'add', 'mul', 'mul', 'maximum', 'sub'])
            node = b.op(name, [x, y])
            if rng.random() < 0.2:
                twin = b.op(name, [y, x])
                node = b.op('pair', [node, twin])
        elif r < 0.75:
            name, scalar, side = IDENTITIES[0] if rng.random() < 0.7 else rng.choice(IDENTITIES)
            node = b.op(name, [x], {'scalar': scalar, 'side': side})
        elif r < 0.95:
            node = b.op(rng.choice(CHAIN_OPS), [x], {'k': rng.randrange(8)})
        else:
            node = b.reduction('sum', [x], {'axis': rng.randrange(2)})
        values.append(node)
        if len(values) > 400:
            # Old values leave the pool; some of them are written out.
            gone = values.pop(rng.randrange(len(values) - 200))
            if rng.random() < 0.1:
                outputs.append(b.reduction('write', [gone], {'slot': len(outputs)}))
    outputs.append(b.reduction('write', values[-3:], {'slot': len(outputs)}))
    return outputs


def towers(b, size):
    """Long single-path structures, a quarter of `size` each: a chain of
    identity additions each on the previous one, a tower of additions each
    built twice with swapped operands, a fan-out chain in which every link
    also feeds a side operation, and a plain operation chain. No randomness."""
    length = max(1, size // 4)
    outputs = []
    base = b.source('read', {'path': 'identity'})
    node = base
    for _ in range(length):
        node = b.op('add', [node], ADD_ZERO)
    outputs.append(b.reduction('write', [node], {'slot': 0}))

    other = b.source('read', {'path': 'tower'})
    node = b.source('read', {'path': 'tower-base'})
    for _ in range(length // 3):
        left = b.op('add', [node, other])
        right = b.op('add', [other, node])
        node = b.op('mul', [left, right])
    outputs.append(b.reduction('write', [node], {'slot': 1}))

    node = b.source('read', {'path': 'fan-out'})
    for k in range(length // 2):
        side = b.op('probe', [node], {'k': k % 7})
        node = b.op('step', [node, side])
    outputs.append(b.reduction('write', [node], {'slot': 2}))

    node = b.source('read', {'path': 'chain'})
    for k in range(length):
        node = b.op('map', [node], {'k': k % 5})
    outputs.append(b.reduction('write', [node, base], {'slot': 3}))
    return outputs
