"""Thread benchmark: recording and reducing in two threads against one, on a free-threaded
interpreter, with the same figures from an interpreter with the GIL beside them.

Run with an interpreter that has the package installed (pip install .), for example the
free-threaded one of the test command, naming an interpreter with the GIL for the column
beside it:

    build/venv-3.13.5t/bin/python bench/bench_threads.py --gil-python build/venv-3.13.0/bin/python

Figures, each as one thread doing two jobs against two threads doing one each (the ratio is
the throughput of two threads relative to one; serial and parallel runs alternate, the
median is reported):

- recording: a job records --nodes nodes (a tree of parameterized ops under one source);
  two threads record into two stores, and into one shared store;
- reducing: a job reduces one realistic pipeline of --nodes nodes (bench_reduce's generator);
- the control: two sha256 digests of 64 MiB, which scale with free cores and nothing else.
"""
import argparse
import json
import os
import subprocess
import sys
import sysconfig

import korvane_core
from bench_reduce import generate
from parallel import CONTROL_FIGURE, hashing_control, in_threads, one_against_two

FREE_THREADED = bool(sysconfig.get_config_var('Py_GIL_DISABLED'))


def gil_enabled():
    check = getattr(sys, '_is_gil_enabled', None)
    return True if check is None else check()


def record(store, count, job):
    """`count` nodes: one source, then ops each taking an earlier node as input."""
    add_op = store.add_op
    ids = [store.add_source('read', {'job': job, 'path': f's3://bucket/{job}/'})]
    append = ids.append
    for i in range(1, count):
        append(add_op('map', [ids[i >> 1]], {'fn': 'udf', 'i': i, 'job': job}))
    return ids


def measure(nodes, repeat):
    rows = []  # (figure, parallel seconds, serial seconds, ratio)
    stores = {}

    def fresh(*names):
        def prepare():
            stores.clear()
            stores.update({name: korvane_core.GraphStore() for name in names})
        return prepare

    # Two stores: jobs 0 and 1 go to stores a and b.
    serial, parallel, ratio = one_against_two(
        lambda: (record(stores['a'], nodes, 0), record(stores['b'], nodes, 1)),
        lambda: in_threads(lambda: record(stores['a'], nodes, 0),
                           lambda: record(stores['b'], nodes, 1)),
        repeat, prepare=fresh('a', 'b'))
    rows.append((f'record 2 x {nodes:,} nodes, two stores', parallel, serial, ratio))
    # One store shared by both jobs (distinct nodes: 2 x nodes in the end).
    serial, parallel, ratio = one_against_two(
        lambda: (record(stores['s'], nodes, 0), record(stores['s'], nodes, 1)),
        lambda: in_threads(lambda: record(stores['s'], nodes, 0),
                           lambda: record(stores['s'], nodes, 1)),
        repeat, prepare=fresh('s'))
    assert stores['s'].node_count() == 2 * nodes
    rows.append((f'record 2 x {nodes:,} nodes, one shared store', parallel, serial, ratio))
    stores.clear()

    pipelines = [generate(nodes, 7 + k)[:2] for k in (1, 2)]
    serial, parallel, ratio = one_against_two(
        lambda: [store.reduce(outputs=outs) for store, outs in pipelines],
        lambda: in_threads(*[lambda store=store, outs=outs: store.reduce(outputs=outs)
                             for store, outs in pipelines]),
        repeat)
    rows.append((f'reduce 2 x {nodes:,} nodes, two stores', parallel, serial, ratio))
    del pipelines

    serial, parallel, ratio = hashing_control(repeat)
    rows.append((CONTROL_FIGURE, parallel, serial, ratio))
    return rows


def describe():
    return (f'{sys.implementation.name} {sys.version.split()[0]}'
            f'{" free-threaded" if FREE_THREADED else ""}, GIL {"on" if gil_enabled() else "off"}')


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--nodes', type=int, default=1_000_000, help='nodes per job')
    parser.add_argument('--repeat', type=int, default=3, help='serial/parallel pairs per figure')
    parser.add_argument('--gil-python', default=os.environ.get('KORVANE_GIL_PYTHON'),
                        help='an interpreter with the GIL (and the package) for the second '
                             'column; default $KORVANE_GIL_PYTHON, else none')
    parser.add_argument('--json', action='store_true', help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    rows = measure(args.nodes, args.repeat)
    if args.json:
        json.dump({'interpreter': describe(), 'rows': rows}, sys.stdout)
        return

    columns = [(describe(), rows)]
    if args.gil_python:
        # The same figures from the other interpreter, one after the other on this machine.
        done = subprocess.run([args.gil_python, os.path.abspath(__file__), '--json',
                               '--nodes', str(args.nodes), '--repeat', str(args.repeat)],
                              capture_output=True, text=True, check=True)
        other = json.loads(done.stdout)
        columns.append((other['interpreter'], [tuple(row) for row in other['rows']]))

    width = max(len(figure) for figure, *_ in rows) + 2
    print(f'{"":<{width}}' + ''.join(f'{name:>44}' for name, _ in columns))
    print(f'{"figure":<{width}}' + ''.join(f'{"two threads  one thread    ratio":>44}'
                                           for _ in columns))
    for i, (figure, *_) in enumerate(rows):
        line = f'{figure:<{width}}'
        for _, column in columns:
            _, parallel, serial, ratio = column[i]
            line += f'{parallel:>20.3f} s {serial:>9.3f} s {ratio:>8.2f}x'
        print(line)
    print('ratio: the throughput of two threads relative to one thread doing both jobs '
          '(median of alternating runs). The control shows the parallelism the machine had '
          'free meanwhile.')


if __name__ == '__main__':
    main()
