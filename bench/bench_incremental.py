"""Incremental reduction while building: IncrementalReducer.step every 1,000
nodes of the realistic 1,000,000-node pipeline (tests/python/pipelines.py),
then finalize, against one GraphStore.reduce of the finished store in the same
run; and the same finalize / reduce ratio for an earlier build, side by side.

Build the earlier commit once (bench/build_baseline.sh), then run from the
repository root after building (tools/dev_build.sh):

    PYTHONPATH=build-dev python bench/bench_incremental.py [--size 1000000] [--seed 7]
        [--baseline build/baseline-2330db9/build]

Prints one table: each figure, its baseline and the ratio. Targets: all steps
together at most 0.3x one full reduce; finalize at most 0.9x one full reduce;
a step of 1,000 new nodes on the 1M-node store at most 1.5x one on a
10k-node store (median of the twenty steps in each window).

Every figure is given twice: as the calling thread's CPU time, which other
processes on a shared machine do not inflate, and as wall-clock time.
"""
import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sidebyside  # noqa: E402  (also puts the pipeline generators on the path)
import pipelines  # noqa: E402
import korvane_core  # noqa: E402

STEP_EVERY = 1_000
WINDOW = 20  # steps per window of the scaling figure


class Stepper:
    """Feeds a reducer each time another STEP_EVERY nodes have been recorded,
    timing only the step."""

    def __init__(self, reducer):
        self.reducer = reducer
        self.next_step = STEP_EVERY
        self.steps = []  # (store size at the step, nodes consumed, cpu seconds, wall seconds)

    def __call__(self, store):
        if store.node_count() >= self.next_step:
            cpu, wall, consumed = sidebyside.timed(lambda: self.reducer.step(store))
            self.steps.append((store.node_count(), consumed, cpu, wall))
            self.next_step += STEP_EVERY


def median_step(steps, clock):
    return statistics.median(step[2 + clock] for step in steps)


def finalize_against_reduce(reducer, store, outputs, repeat):
    """Best (cpu, wall) of finalize and of reduce, alternating so that neither
    always runs on memory the other has just given back; and both results."""
    finalize_runs, reduce_runs = [], []
    for _ in range(repeat):
        finalize_runs.append(sidebyside.timed(lambda: reducer.finalize(store, outputs=outputs)))
        reduce_runs.append(sidebyside.timed(lambda: store.reduce(outputs=outputs)))
    best = [tuple(min(run[clock] for run in runs) for clock in (0, 1)) for runs in (finalize_runs, reduce_runs)]
    return best[0], best[1], finalize_runs[-1][2], reduce_runs[-1][2]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--size', type=int, default=1_000_000)
    parser.add_argument('--seed', type=int, default=7)
    parser.add_argument('--repeat', type=int, default=3)
    parser.add_argument('--baseline', default=sidebyside.DEFAULT_BASELINE)
    args = parser.parse_args(argv)

    store = korvane_core.GraphStore()
    reducer = korvane_core.IncrementalReducer()
    stepper = Stepper(reducer)
    outputs = pipelines.realistic(pipelines.Recorder(store, stepper), args.size, args.seed)
    steps = stepper.steps
    n = store.node_count()

    finalize, full, (incremental, incremental_report), (reduced, full_report) = \
        finalize_against_reduce(reducer, store, outputs, args.repeat)
    if incremental.nodes() != reduced.nodes() or incremental.outputs() != reduced.outputs():
        print('# note: the two reduced stores differ', file=sys.stderr)
    assert reducer.total_work() == reducer.watermark() == n

    # The earlier build, fed the finished store in one step (the canonical
    # form does not depend on how the steps were cut).
    old = sidebyside.load_module(args.baseline)
    old_store = old.GraphStore.deserialize(store.serialize(outputs=outputs))
    old_reducer = old.IncrementalReducer()
    old_reducer.step(old_store)
    old_finalize, old_full, _, _ = finalize_against_reduce(old_reducer, old_store, outputs, args.repeat)

    full_steps = [s for s in steps if s[1] == STEP_EVERY]
    small = [s for s in full_steps if s[0] >= 10_000][:WINDOW]
    large = full_steps[-WINDOW:]

    print(f'# {n:,} nodes, {len(outputs)} outputs, {len(steps)} steps; canonical form '
          f'{reducer.canonical_count():,} nodes; load {os.getloadavg()[0]:.2f}', file=sys.stderr)
    print(f'# finalize report {incremental_report}', file=sys.stderr)
    print(f'# reduce report   {full_report}', file=sys.stderr)

    rows = []
    for clock, name in ((0, 'cpu'), (1, 'wall')):
        reduce_time = full[clock]
        step_total = sum(s[2 + clock] for s in steps)
        late, early = median_step(large, clock), median_step(small, clock)
        rows += [
            (f'all {len(steps)} steps ({name})', step_total, reduce_time, 0.3),
            (f'finalize ({name})', finalize[clock], reduce_time, 0.9),
            (f'finalize, baseline build ({name})', old_finalize[clock], old_full[clock], None),
            (f'step at {large[0][0] // 1000:,}k-{large[-1][0] // 1000:,}k ({name})', late, early, 1.5),
        ]
    print(f'{"figure":<40} {"seconds":>10} {"baseline":>10} {"ratio":>7} {"target":>7}')
    for figure, value, baseline, target in rows:
        target_text = '-' if target is None else f'{target:.1f}'
        print(f'{figure:<40} {value:>10.4f} {baseline:>10.4f} {value / baseline:>7.3f} {target_text:>7}')
    print(f'baselines: one GraphStore.reduce of the finished store, best of {args.repeat} (steps; '
          f'finalize, best of {args.repeat}; for the baseline build, its own reduce); the median '
          f'step at {small[0][0] // 1000}k-{small[-1][0] // 1000}k nodes (step at 1M, median of {WINDOW})')


if __name__ == '__main__':
    main()
