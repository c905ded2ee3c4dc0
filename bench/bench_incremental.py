"""Incremental reduction while building: IncrementalReducer.step every 1,000
nodes of the realistic 1,000,000-node pipeline of bench_reduce.py, then
finalize, against one GraphStore.reduce of the finished store in the same run.

Run from the repository root after building (tools/dev_build.sh):

    PYTHONPATH=build-dev python bench/bench_incremental.py [--size 1000000] [--seed 7]

Prints one table: each figure, its baseline and the ratio. Targets: all steps
together at most 0.3x one full reduce; finalize at most 1.0x one full reduce;
a step of 1,000 new nodes on the 1M-node store at most 1.5x one on a
10k-node store (median of the twenty steps in each window).

Every figure is given twice: as the calling thread's CPU time, which other
processes on a shared machine do not inflate, and as wall-clock time.
"""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_reduce  # noqa: E402  (the pipeline generator)
import korvane_core  # noqa: E402

STEP_EVERY = 1_000
WINDOW = 20  # steps per window of the scaling figure


class SteppingBuilder(bench_reduce.PipelineBuilder):
    """Records like the reduce benchmark's builder, and feeds a reducer each
    time another STEP_EVERY nodes have been recorded, timing only the step."""

    def __init__(self, with_tasks):
        super().__init__(with_tasks=False)
        self.reducer = korvane_core.IncrementalReducer()
        self.next_step = STEP_EVERY
        self.steps = []  # (store size at the step, nodes consumed, cpu seconds, wall seconds)

    def _task_for(self, node, inputs, label):
        node = super()._task_for(node, inputs, label)
        if self.store.node_count() >= self.next_step:
            cpu, wall = time.thread_time(), time.perf_counter()
            consumed = self.reducer.step(self.store)
            cpu, wall = time.thread_time() - cpu, time.perf_counter() - wall
            self.steps.append((self.store.node_count(), consumed, cpu, wall))
            self.next_step += STEP_EVERY
        return node


def generate_stepping(size, seed):
    original = bench_reduce.PipelineBuilder
    bench_reduce.PipelineBuilder = SteppingBuilder
    try:
        return bench_reduce.generate(size, seed, with_tasks=False)
    finally:
        bench_reduce.PipelineBuilder = original


def timed(fn):
    """(cpu seconds, wall seconds, result) of one call."""
    cpu, wall = time.thread_time(), time.perf_counter()
    result = fn()
    return time.thread_time() - cpu, time.perf_counter() - wall, result


def median_step(steps, clock):
    return statistics.median(step[2 + clock] for step in steps)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--size', type=int, default=1_000_000)
    parser.add_argument('--seed', type=int, default=7)
    parser.add_argument('--repeat', type=int, default=3)
    args = parser.parse_args(argv)

    builder, outputs = generate_stepping(args.size, args.seed)
    store, reducer, steps = builder.store, builder.reducer, builder.steps
    n = store.node_count()

    # finalize leaves the reducer as it was, so both are repeated, alternating
    # so that neither always runs on memory the other has just given back;
    # the best run of each counts.
    finalize_runs, reduce_runs = [], []
    for _ in range(args.repeat):
        finalize_runs.append(timed(lambda: reducer.finalize(store, outputs=outputs)))
        reduce_runs.append(timed(lambda: store.reduce(outputs=outputs)))
    finalize_cpu = min(run[0] for run in finalize_runs)
    finalize_wall = min(run[1] for run in finalize_runs)
    reduce_cpu = min(run[0] for run in reduce_runs)
    reduce_wall = min(run[1] for run in reduce_runs)
    incremental, incremental_report = finalize_runs[-1][2]
    full, full_report = reduce_runs[-1][2]
    del finalize_runs[:-1], reduce_runs[:-1]

    if incremental.nodes() != full.nodes() or incremental.outputs() != full.outputs():
        print('# note: the two reduced stores differ', file=sys.stderr)
    assert reducer.total_work() == reducer.watermark() == n

    full_steps = [s for s in steps if s[1] == STEP_EVERY]
    small = [s for s in full_steps if s[0] >= 10_000][:WINDOW]
    large = full_steps[-WINDOW:]

    print(f'# {n:,} nodes, {len(outputs)} outputs, {len(steps)} steps; canonical form '
          f'{reducer.canonical_count():,} nodes', file=sys.stderr)
    print(f'# finalize report {incremental_report}', file=sys.stderr)
    print(f'# reduce report   {full_report}', file=sys.stderr)
    print(f'# slowest step: {max(s[2] for s in steps) * 1e3:.2f} ms cpu, '
          f'{max(s[3] for s in steps) * 1e3:.2f} ms wall', file=sys.stderr)

    rows = []
    for clock, name in ((0, 'cpu'), (1, 'wall')):
        reduce_time = (reduce_cpu, reduce_wall)[clock]
        step_total = sum(s[2 + clock] for s in steps)
        finalize_time = (finalize_cpu, finalize_wall)[clock]
        late, early = median_step(large, clock), median_step(small, clock)
        rows += [
            (f'all {len(steps)} steps ({name})', step_total, reduce_time, 0.3),
            (f'finalize ({name})', finalize_time, reduce_time, 1.0),
            (f'step at {large[0][0] // 1000:,}k-{large[-1][0] // 1000:,}k ({name})', late, early, 1.5),
        ]
    print(f'{"figure":<36} {"seconds":>10} {"baseline":>10} {"ratio":>7} {"target":>7}')
    for figure, value, baseline, target in rows:
        print(f'{figure:<36} {value:>10.4f} {baseline:>10.4f} {value / baseline:>7.3f} {target:>7.1f}')
    print(f'baselines: one GraphStore.reduce of the finished store, best of {args.repeat} (steps; '
          f'finalize, best of {args.repeat}); the median step at {small[0][0] // 1000}k-'
          f'{small[-1][0] // 1000}k nodes (step at 1M, median of {WINDOW})')


if __name__ == '__main__':
    main()
