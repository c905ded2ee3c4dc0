"""examples/cache.py runs as a script and shows what it says: an edit reruns only what it
changed, and the reordered, commuted variant is served whole from the cache."""
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "cache.py"

pytestmark = pytest.mark.thread_unsafe(reason="runs one child process; more threads would only "
                                              "run more copies")


def expected_outputs():
    """The example's two outputs before and after the edit, computed here in plain Python
    from its data."""
    found = importlib.util.spec_from_file_location("cache_example", EXAMPLE)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    params = example.READINGS
    clean = [x for i in range(params["parts"]) for x in example.read(params, i) if 0 <= x <= 150]
    peak = max(x + 10 for x in clean)
    before = sum(2 * x + x + 10 for x in clean)
    return (before, peak), (before + len(clean), peak)


def runs(output):
    """Per run: (total, peak, loaded, stored, user calls by function)."""
    found = re.findall(r"^(.*): total=(\d+) peak=(\d+)\n  loaded: (.*); stored: (.*)\n"
                       r"  user calls: (\d+) \((.*)\)$", output, re.MULTILINE)
    parsed = []
    for _, total, peak, loaded, stored, count, calls in found:
        by_function = {} if calls == "none" else {
            name: int(n) for name, n in (call.split() for call in calls.split(", "))}
        assert sum(by_function.values()) == int(count)
        parsed.append((int(total), int(peak), loaded, stored, by_function))
    return parsed


def test_the_example_reruns_only_what_the_edit_changed():
    done = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    cold, edited, variant = runs(done.stdout)
    before, after = expected_outputs()

    assert cold[:2] == before and cold[2:4] == ("none", "clean, peak, total")
    assert cold[4]["readings"] == 4 and cold[4]["clean"] == 4

    # The clean readings and the peak come from the cache: no read, no clean, no max.
    assert edited[:2] == after and edited[2:4] == ("clean, peak", "total")
    assert set(edited[4]) == {"scale", "shift", "add", "sum"}

    assert variant[:4] == (*after, "peak, total", "none") and variant[4] == {}
    # Every entry read was there: the clean readings' 4 partitions, then 1 + 2 outputs.
    stats = re.search(r"^cache\.stats\(\): (.*)$", done.stdout, re.MULTILINE)[1]
    assert "'hits': 7, 'misses': 0" in stats and "'corrupt': 0" in stats
