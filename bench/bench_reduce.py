"""Reduction benchmark: GraphStore.reduce of realistic pipelines against the
build of an earlier commit, side by side in one run.

Build the earlier commit once (bench/build_baseline.sh, default 2330db9), then
run from the repository root after building (tools/dev_build.sh):

    PYTHONPATH=build-dev python bench/bench_reduce.py [--baseline build/baseline-2330db9/build]
        [--sizes 100000 1000000] [--seed 7] [--repeat 5]

Prints one table, each figure with its baseline and the ratio:

- reduce of the ~1M-node realistic pipeline (tests/python/pipelines.py), this
  build against the baseline build, alternating run by run; CPU time of the
  reducing thread and wall time, the ratio the median of the run pairs;
- reduce 1M / reduce 100k, for both builds (the 100k store gets five times
  as many rounds);
- extra resident memory while reducing the 1M store (peak during the
  reduction above the resident set before it, result store included), bytes
  per store node, each build in a fresh process;
- a chain of identity operations (add with scalar 0.0, side "r", each on the
  previous) of 5k to 100k, and the 100k chain against a realistic 100k reduce;
- two threads reducing two 1M stores against one thread reducing both, with
  the same comparison for sha256 as a control of the parallelism the machine
  had free;
- cone of the 1M store, and (with dask installed) cull + fuse_linear of the
  same graph as a task graph.

Report the machine load (uptime) with the figures: the machine should be quiet.
"""
import argparse
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sidebyside  # noqa: E402  (also puts the pipeline generators on the path)
import pipelines  # noqa: E402
import korvane_core  # noqa: E402
from parallel import CONTROL_FIGURE, hashing_control, in_threads, one_against_two  # noqa: E402

try:
    import dask.optimization as dask_optimization
except ImportError:  # the cone row then has no baseline
    dask_optimization = None

ADD_ZERO = {'scalar': 0.0, 'side': 'r'}


def _task(*args):  # what a task would run; the optimizers only look at the edges
    return None


class PipelineBuilder(pipelines.Recorder):
    """Records like the golden tests' generator and, if `tasks` is a dict, the
    same graph as a task graph alongside (one task per distinct node)."""

    def __init__(self, store, tasks=None):
        super().__init__(store)
        self.tasks = tasks

    def _added(self, node, inputs, label):
        if self.tasks is not None:
            key = f'n{node}'
            if key not in self.tasks:
                self.tasks[key] = (_task, label, *[f'n{i}' for i in inputs])
        return super()._added(node, inputs, label)


def generate(size, seed, module=korvane_core, with_tasks=False):
    """(store, outputs, task graph or None) of the realistic pipeline."""
    builder = PipelineBuilder(module.GraphStore(), {} if with_tasks else None)
    outputs = pipelines.realistic(builder, size, seed)
    return builder.store, outputs, builder.tasks


def identity_chain(module, n):
    store = module.GraphStore()
    node = store.add_source('s')
    for _ in range(n):
        node = store.add_op('add', [node], ADD_ZERO)
    return store, [node]


def copy_into(module, store, outputs):
    """The same store in another build's module (ids are kept)."""
    return module.GraphStore.deserialize(store.serialize(outputs=outputs))


def side_by_side(runs, repeat):
    """Runs each (name, fn) in turn, `repeat` rounds; per name the median cpu
    and wall seconds, and per name the per-round (cpu, wall) list."""
    samples = {name: [] for name, _ in runs}
    for _ in range(repeat):
        for name, fn in runs:
            cpu, wall, result = sidebyside.timed(fn)
            del result
            samples[name].append((cpu, wall))
    return samples


def median(samples, clock):
    return statistics.median(s[clock] for s in samples)


def pair_ratio(new, old, clock):
    return statistics.median(n[clock] / o[clock] for n, o in zip(new, old))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--baseline', default=sidebyside.DEFAULT_BASELINE,
                        help='build directory of the earlier module (bench/build_baseline.sh)')
    parser.add_argument('--sizes', type=int, nargs=2, default=[100_000, 1_000_000])
    parser.add_argument('--seed', type=int, default=7)
    parser.add_argument('--repeat', type=int, default=5)
    parser.add_argument('--chains', type=int, nargs='+', default=[5_000, 10_000, 20_000, 40_000, 100_000])
    parser.add_argument('--baseline-chain-max', type=int, default=20_000,
                        help='longest identity chain the baseline reduces (it grows quadratically)')
    args = parser.parse_args(argv)
    old = sidebyside.load_module(args.baseline)
    new = korvane_core
    print(f'# this build: {sidebyside.module_dir(new)}; baseline: {sidebyside.module_dir(old)}; '
          f'load {os.getloadavg()[0]:.2f}', file=sys.stderr)

    rows = []  # (figure, value, baseline, ratio text, target)
    small, large = args.sizes
    stores = {}
    for size in args.sizes:
        store, outputs, tasks = generate(size, args.seed,
                                         with_tasks=size == large and dask_optimization is not None)
        stores[size] = (store, outputs, copy_into(old, store, outputs), tasks)

    per_size = {}
    for size in args.sizes:
        store, outputs, old_store, _ = stores[size]
        # A small store reduces in a few hundredths of a second, where one
        # interruption shows; it gets more rounds (up to five times as many).
        rounds = args.repeat * max(1, min(5, large // size))
        samples = side_by_side([('new', lambda: store.reduce(outputs=outputs)),
                                ('old', lambda: old_store.reduce(outputs=outputs))], rounds)
        per_size[size] = samples
        n = store.node_count()
        for clock, label in ((0, 'cpu'), (1, 'wall')):
            rows.append((f'reduce {n:,} nodes ({label} s)', median(samples['new'], clock),
                         median(samples['old'], clock),
                         f'{pair_ratio(samples["new"], samples["old"], clock):.2f}',
                         '<= 0.5' if size == large else ''))
    for clock, label in ((0, 'cpu'), (1, 'wall')):
        growth = {name: median(per_size[large][name], clock) / median(per_size[small][name], clock)
                  for name in ('new', 'old')}
        rows.append((f'reduce {large:,} / {small:,} ({label})', growth['new'], growth['old'],
                     f'{growth["new"] / growth["old"]:.2f}', '<= 12x'))

    store, outputs, _, _ = stores[large]
    with tempfile.NamedTemporaryFile(suffix='.kir') as blob:
        blob.write(store.serialize(outputs=outputs))
        blob.flush()
        memory = {name: sidebyside.reduce_memory(sidebyside.module_dir(module), blob.name)
                  for name, module in (('new', new), ('old', old))}
    rows.append((f'extra memory reducing {store.node_count():,} (B/node)', memory['new'],
                 memory['old'], f'{memory["new"] / memory["old"]:.2f}', '<= 200'))

    realistic_small = median(per_size[small]['new'], 0)
    for n in args.chains:
        chain, chain_outputs = identity_chain(new, n)
        runs = [('new', lambda: chain.reduce(outputs=chain_outputs))]
        if n <= args.baseline_chain_max:
            old_chain = copy_into(old, chain, chain_outputs)
            runs.append(('old', lambda: old_chain.reduce(outputs=chain_outputs)))
        samples = side_by_side(runs, max(1, args.repeat // 2))
        value = median(samples['new'], 0)
        baseline = median(samples['old'], 0) if 'old' in samples else None
        rows.append((f'identity chain {n:,} (cpu s)', value, baseline,
                     f'{value / baseline:.2f}' if baseline else '-', ''))
        if n == max(args.chains):
            rows.append((f'identity chain {n:,} / realistic {small:,} (cpu)', value / realistic_small,
                         None, '-', '<= 2x'))

    rows += thread_rows(args, new)

    store, outputs, _, tasks = stores[large]
    cone_cpu = median(side_by_side([('new', lambda: store.cone(outputs=outputs))], args.repeat)['new'], 0)
    dask_time = None
    if tasks is not None:
        dask_time = sidebyside.timed(lambda: dask_cull_fuse(tasks, outputs))[1]
    rows.append((f'cone {store.node_count():,} nodes (cpu s; baseline dask wall)', cone_cpu, dask_time,
                 f'{dask_time / cone_cpu:.1f}x faster' if dask_time else '-', ''))

    print(f'{"figure":<52} {"value":>10} {"baseline":>10} {"ratio":>8}  target')
    for figure, value, baseline, ratio, target in rows:
        base = '-' if baseline is None else f'{baseline:.3f}'
        print(f'{figure:<52} {value:>10.3f} {base:>10} {ratio:>8}  {target}')
    print(f'baseline: the module built from {sidebyside.module_dir(old)} (reduce, memory, chains); '
          'the same figure for one thread (threads); dask cull + fuse_linear (cone). '
          f'Load average after the run: {os.getloadavg()[0]:.2f}')


def thread_rows(args, module):
    """Two threads reducing two stores against one thread reducing both, and
    the same for hashing, which scales with free cores and nothing else."""
    size = max(args.sizes)
    pairs = [generate(size, args.seed + k, module)[:2] for k in (1, 2)]

    def reduce_both_in_one_thread():
        for store, outputs in pairs:
            store.reduce(outputs=outputs)

    def reduce_in_two_threads():
        in_threads(*[lambda s=s, o=o: s.reduce(outputs=o) for s, o in pairs])

    rows = []
    for figure, (serial, parallel, ratio), target in [
            (f'2 x reduce {size:,}: two threads / one (wall)',
             one_against_two(reduce_both_in_one_thread, reduce_in_two_threads, args.repeat),
             '>= 1.8x'),
            (CONTROL_FIGURE, hashing_control(args.repeat), '')]:
        rows.append((figure, parallel, serial, f'{ratio:.2f}x', target))
    return rows


def dask_cull_fuse(tasks, outputs):
    keys = [f'n{o}' for o in outputs]
    culled, dependencies = dask_optimization.cull(tasks, keys)
    fused, _ = dask_optimization.fuse_linear(culled, keys, dependencies)
    return fused


if __name__ == '__main__':
    main()
