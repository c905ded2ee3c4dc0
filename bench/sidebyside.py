"""Running today's module next to an earlier build in one benchmark run.

An earlier commit's extension is built outside the source tree by
bench/build_baseline.sh. Both builds define the same module (init function
PyInit_korvane_core), so the earlier one is loaded from its own file under
that name without entering sys.modules, and the two live side by side in one
process: their objects never mix, and timings of the two alternate.

Memory is measured in a fresh child process per figure (resident memory
freed by one run would otherwise be reused by the next), from a blob file
that both builds read.
"""
import glob
import importlib.machinery
import importlib.util
import json
import os
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
DEFAULT_BASELINE = os.path.join(ROOT, 'build', 'baseline-2330db9', 'build')

# The seeded generators the golden digests use (tests/python/pipelines.py).
sys.path.insert(0, os.path.join(ROOT, 'tests', 'python'))


def load_module(build_dir):
    """The korvane_core extension found in `build_dir`, loaded on its own."""
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    found = [path for suffix in suffixes for path in glob.glob(os.path.join(build_dir, 'korvane_core' + suffix))]
    if not found:
        raise SystemExit(f'no korvane_core extension in {build_dir} (run bench/build_baseline.sh)')
    spec = importlib.util.spec_from_file_location('korvane_core', found[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def module_dir(module):
    return os.path.dirname(os.path.abspath(module.__file__))


def timed(fn):
    """(thread cpu seconds, wall seconds, result) of one call. A reduction runs
    in the calling thread (detached from the interpreter), so the thread's CPU
    time counts it alone, whatever else the machine is running."""
    cpu, wall = time.thread_time(), time.perf_counter()
    result = fn()
    return time.thread_time() - cpu, time.perf_counter() - wall, result


def _rss(field):
    with open('/proc/self/status') as status:
        for line in status:
            if line.startswith(field + ':'):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field + ' not found')


def reduce_memory(build_dir, blob_path):
    """Extra resident bytes per store node while `build_dir`'s module reduces
    the store in `blob_path` against its marked outputs: the peak resident
    set during the reduction (result store included) above the resident set
    just before it, measured in a fresh process."""
    out = subprocess.run([sys.executable, __file__, '--memory-child', build_dir, blob_path],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)['bytes_per_node']


def _memory_child(build_dir, blob_path):
    import gc
    module = load_module(build_dir)
    with open(blob_path, 'rb') as f:
        store = module.GraphStore.deserialize(f.read())
    outputs = store.outputs()
    gc.collect()
    with open('/proc/self/clear_refs', 'w') as f:
        f.write('5')  # resets the peak resident set to the current one
    before = _rss('VmRSS')
    reduced = store.reduce(outputs=outputs)
    peak = _rss('VmHWM')
    del reduced
    print(json.dumps({'bytes_per_node': (peak - before) / store.node_count()}))


if __name__ == '__main__' and len(sys.argv) == 4 and sys.argv[1] == '--memory-child':
    _memory_child(sys.argv[2], sys.argv[3])
