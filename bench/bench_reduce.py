"""Reduction benchmark: reduce and cone of realistic pipelines at 100k and 1M
nodes, against culling and linear fusion of the same graph as a task graph.

Run from the repository root after building (tools/dev_build.sh), with the
bench extra (dask) installed in the interpreter that runs it:

    PYTHONPATH=build-dev python bench/bench_reduce.py [--sizes 100000 1000000] [--seed 7]

Prints one table: each figure, the baseline measured in the same run, and the
ratio. The baseline is dask.optimization.cull followed by fuse_linear on a
task graph with one task per store node and the same edges and outputs.
"""
import argparse
import random
import sys

import korvane_core
from parallel import CONTROL_FIGURE, hashing_control, in_threads, one_against_two, timed

try:
    import dask.optimization as dask_optimization
except ImportError:  # the table then shows no baseline
    dask_optimization = None

COMMUTATIVE = ['add', 'mul', 'maximum', 'minimum', 'and', 'or', 'eq', 'ne']
CHAIN_OPS = ['map', 'filter', 'project', 'cast', 'fillna', 'rename']
IDENTITIES = [('add', 0.0, 'r'), ('add', 0.0, 'l'), ('mul', 1.0, 'r'), ('mul', 1.0, 'l')]
MAX_HEADS = 64


def _task(*args):  # what a task would run; the optimizers only look at the edges
    return None


class PipelineBuilder:
    """Records a pipeline into a GraphStore and, in step, the same graph as a
    task graph (one task per distinct node)."""

    def __init__(self, with_tasks):
        self.store = korvane_core.GraphStore()
        self.tasks = {} if with_tasks else None

    def _task_for(self, node, inputs, label):
        if self.tasks is not None:
            key = f'n{node}'
            if key not in self.tasks:
                self.tasks[key] = (_task, label, *[f'n{i}' for i in inputs])
        return node

    def source(self, name, params):
        return self._task_for(self.store.add_source(name, params), [], name)

    def op(self, name, inputs, params=None):
        return self._task_for(self.store.add_op(name, inputs, params), inputs, name)

    def reduction(self, name, inputs, params=None):
        return self._task_for(self.store.add_reduction(name, inputs, params), inputs, name)

    def exchange(self, inputs, params):
        return self._task_for(self.store.add_exchange(inputs, params), inputs, 'exchange')

    def join(self, inputs, params):
        return self._task_for(self.store.add_join(inputs, params), inputs, 'join')

    def external(self, descriptor, inputs, params):
        return self._task_for(self.store.add_external(descriptor, inputs, params), inputs,
                              'external')


def generate(size, seed, with_tasks=True):
    """A seeded pipeline of about `size` nodes. Returns the builder and the
    output ids.

    Up to 64 branches grow at once. Each step extends one: mostly map/filter
    style operations with parameters, and now and then a fan-out (the old head
    stays in use), a commutative combination of two branches (sometimes also
    built with its operands swapped), an identity operation, a
    non-commutative subtraction, a reduction, an exchange, a join behind
    exchanges, or a model call. Too many open branches are unioned. Branches
    end in a write that is an output; some branches are abandoned and never
    reach one (dead code)."""
    rng = random.Random(seed)
    b = PipelineBuilder(with_tasks)
    heads = []
    outputs = []
    models = [dict(kind='model', content_hash=f'sha256:{k:064x}', framework='torch',
                   version='2.3', io_schema='f32[batch,128]->f32[batch,10]',
                   preprocessing_ref=None if k % 3 else f'prep-{k}') for k in range(12)]
    count = 0

    def new_source():
        nonlocal count
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
    return b, outputs


def dask_cull_fuse(tasks, outputs):
    keys = [f'n{o}' for o in outputs]
    culled, dependencies = dask_optimization.cull(tasks, keys)
    fused, _ = dask_optimization.fuse_linear(culled, keys, dependencies)
    return fused


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--sizes', type=int, nargs='+', default=[100_000, 1_000_000])
    parser.add_argument('--seed', type=int, default=7)
    parser.add_argument('--repeat', type=int, default=3)
    args = parser.parse_args(argv)

    rows = []  # (figure, value, baseline, ratio text)
    reduce_times = {}
    for size in args.sizes:
        builder, outputs = generate(size, args.seed, with_tasks=dask_optimization is not None)
        store = builder.store
        reduce_time, (reduced, report) = timed(lambda: store.reduce(outputs=outputs), args.repeat)
        cone_time, cone = timed(lambda: store.cone(outputs=outputs), args.repeat)
        reduce_times[size] = reduce_time
        baseline = None
        if builder.tasks is not None:
            baseline, fused = timed(lambda: dask_cull_fuse(builder.tasks, outputs), 1)
        n = store.node_count()
        print(f'# {n} nodes, {len(outputs)} outputs: {report}; '
              f'cone {cone.node_count()} nodes'
              + (f'; task graph after cull + fuse_linear: {len(fused)} tasks' if baseline else ''),
              file=sys.stderr)
        ratio = f'{baseline / reduce_time:.1f}x faster' if baseline else '-'
        rows.append((f'reduce, {n:,} nodes', reduce_time, baseline, ratio))
        ratio = f'{baseline / cone_time:.1f}x faster' if baseline else '-'
        rows.append((f'cone, {n:,} nodes', cone_time, baseline, ratio))
        del builder, store, reduced, cone

    if len(args.sizes) >= 2:
        small, large = min(args.sizes), max(args.sizes)
        growth = reduce_times[large] / reduce_times[small]
        rows.append((f'reduce {large:,} / reduce {small:,}', growth, large / small,
                     f'{growth / (large / small):.2f} of linear'))

    # Two threads reducing two stores against one thread reducing both.
    size = max(args.sizes)
    pairs = [generate(size, args.seed + k, with_tasks=False) for k in (1, 2)]

    def reduce_both_in_one_thread():
        for b, outs in pairs:
            b.store.reduce(outputs=outs)

    def reduce_in_two_threads():
        in_threads(*[lambda b=b, outs=outs: b.store.reduce(outputs=outs) for b, outs in pairs])

    serial, parallel, ratio = one_against_two(reduce_both_in_one_thread, reduce_in_two_threads,
                                              args.repeat)
    rows.append((f'2 x reduce {size:,}, two threads', parallel, serial,
                 f'{ratio:.2f}x the throughput of one thread'))
    # The same comparison for plain hashing, which scales with free cores and nothing
    # else: how much parallelism the machine offered meanwhile.
    serial, parallel, ratio = hashing_control(args.repeat)
    rows.append((CONTROL_FIGURE, parallel, serial, f'{ratio:.2f}x the throughput of one thread'))

    print(f'{"figure":<42} {"seconds":>10} {"baseline":>10}  ratio')
    for figure, value, baseline, ratio in rows:
        base = '-' if baseline is None else f'{baseline:.3f}'
        print(f'{figure:<42} {value:>10.3f} {base:>10}  {ratio}')
    print('baselines: dask cull + fuse_linear of the same graph (reduce, cone); linear growth '
          '(size ratio); one thread doing both (two threads). The control shows the parallelism '
          'the machine had free.')


if __name__ == '__main__':
    main()
