"""What the thread benchmarks share: one thread doing two jobs against two threads doing one
each, measured alternately, and the hashing control that says how many cores were free.

Serial and parallel runs alternate, so a change in the machine's load affects both sides
alike; the ratio reported is the median of the pairs' ratios.
"""
import hashlib
import statistics
import threading
import time


def timed(fn, repeat=1):
    """Best wall time of `repeat` runs, and the last result."""
    best = float('inf')
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def in_threads(*jobs):
    """Runs each job in its own thread, all at once; re-raises the first error."""
    errors = []

    def run(job):
        try:
            job()
        except BaseException as error:  # surfaced below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(job,)) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def one_against_two(serial, parallel, repeat, prepare=None):
    """Alternate runs of `serial` (one thread doing both jobs) and `parallel` (two threads).
    `prepare`, if given, runs untimed before each run (fresh stores, say). Returns the median
    serial and parallel seconds and the median ratio serial / parallel (the throughput of two
    threads relative to one)."""
    pairs = []
    for _ in range(repeat):
        times = []
        for fn in (serial, parallel):
            if prepare is not None:
                prepare()
            times.append(timed(fn)[0])
        pairs.append(tuple(times))
    return (statistics.median(s for s, _ in pairs), statistics.median(p for _, p in pairs),
            statistics.median(s / p for s, p in pairs))


# The control: plain hashing, which scales with free cores and nothing else. sha256 over a
# large buffer runs in C without the interpreter (it releases the GIL where there is one).
_DATA = b'k' * (64 << 20)


def _digest():
    hashlib.sha256(_DATA).digest()


def hashing_control(repeat):
    """(serial, parallel, ratio) for two sha256 digests of 64 MiB: one thread against two."""
    return one_against_two(lambda: (_digest(), _digest()), lambda: in_threads(_digest, _digest),
                           repeat)


CONTROL_FIGURE = '2 x sha256 64 MiB, two threads (control)'
