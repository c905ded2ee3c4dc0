"""The type stubs: they agree with the built module (stubtest), accept the ways the module is
meant to be used, and reject the misuses the module refuses."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import korvane_core

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the 'test' extra)")

pytestmark = pytest.mark.thread_unsafe(
    reason="runs mypy in child processes sharing one cache; more threads would only run more "
           "copies")

REPO = Path(__file__).resolve().parents[2]
SOURCE_STUB = REPO / "python" / "korvane_core.pyi"
MODULE_DIR = Path(korvane_core.__file__).parent
INSTALLED = "site-packages" in MODULE_DIR.parts


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """Runs of mypy sharing one cache. An installed module is checked as users get it, with
    the stubs found by mypy itself; a development build gets the source stub through MYPYPATH."""
    root = tmp_path_factory.mktemp("typing")
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if not INSTALLED:
        stubs = root / "stubs"
        stubs.mkdir()
        shutil.copy(SOURCE_STUB, stubs / "korvane_core.pyi")
        env.update(MYPYPATH=str(stubs), PYTHONPATH=str(MODULE_DIR))
    cache = root / "cache"

    def run(*args, cwd=root):
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                               str(cache), "--no-error-summary", *map(str, args)],
                              capture_output=True, text=True, env=env, cwd=cwd, timeout=600)

    run.root = root
    run.env = env
    return run


def errors_by_line(output, path):
    found = {}
    for line in output.splitlines():
        match = re.match(rf"{re.escape(str(path))}:(\d+): error: (.*)", line)
        if match:
            found.setdefault(int(match[1]), []).append(match[2])
    return found


def test_stubtest_finds_no_mismatch(mypy_env):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "korvane_core"],
                          capture_output=True, text=True, env=mypy_env.env, timeout=600,
                          cwd=mypy_env.root)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubs_are_installed_next_to_the_module_and_as_a_stub_package():
    if not INSTALLED:
        pytest.skip("korvane_core is not installed here (a development build)")
    # Next to the module for editors and other checkers; the stub package is where mypy looks.
    for installed in (MODULE_DIR / "korvane_core.pyi",
                      MODULE_DIR / "korvane_core-stubs" / "__init__.pyi"):
        assert installed.read_text() == SOURCE_STUB.read_text()


def test_examples_and_the_command_line_tool_pass_strict(mypy_env):
    done = mypy_env(*sorted((REPO / "examples").glob("*.py")), REPO / "python" / "korvane")
    assert done.returncode == 0, done.stdout + done.stderr


USES = '''
from typing import TYPE_CHECKING, Literal, assert_type

import korvane_core as kc

if TYPE_CHECKING:
    from korvane_core import DescriptorDict, MemberDict, ReductionReport

store = kc.GraphStore()
src = store.add_source("read", {"path": "p", "n": 1, "x": 0.5, "flag": True})
assert_type(src, int)
f = store.add_op("f", (src,), None)
store.add_op("g", range(1))
store.add_op("h", b"\\x00")  # bytes are a sequence of ints
store.add_reduction(name="sum", inputs=[f])
store.add_exchange([f], params={"scheme": "hash"})
store.add_join(inputs=[f, src])
desc = kc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v",
                            io_schema="i")
assert_type(desc.preprocessing_ref, str | None)
assert_type(desc.io_schema, str)
store.add_external(desc, [f])
store.add_external({"kind": "k", "content_hash": "h", "framework": "f", "version": "v",
                    "io_schema": "i"}, [f])
store.add_external({"kind": "k", "content_hash": "h", "framework": "f", "version": "v",
                    "io_schema": "i", "preprocessing_ref": None}, [f])
assert_type(store.node_count(), int)

# What the views give back can be recorded again.
for node in store.nodes():
    assert_type(node["id"], int)
    assert_type(node["output"], bool)
    assert_type(node["inputs"], list[int])
    if node["kind"] == "external":
        assert_type(node["descriptor"], DescriptorDict)
        store.add_external(node["descriptor"], node["inputs"], node["params"])
    elif node["kind"] == "stage":
        assert_type(node["n_members"], int)
        for member in node["members"]:
            assert_type(member, MemberDict)
            assert_type(member["kind"], Literal["op", "red"])
            assert_type(member["inputs"], list[tuple[Literal["input", "member"], int]])
    elif node["kind"] == "source":
        store.add_source(node["name"], node["params"])
    else:
        store.add_op(node["name"], node["inputs"], node["params"])

assert_type(store.outputs(), list[int])
assert_type(store.to_dot(), str)
reduced, report = store.reduce(maximal_fusion=True, outputs=[f])
assert_type(reduced, kc.GraphStore)
assert_type(report, ReductionReport)
assert_type(report["boundary_nodes"], int)
assert_type(reduced.node_map(), list[tuple[int, int | None] | None])
assert_type(store.reduce_incremental(outputs=None), tuple[kc.GraphStore, ReductionReport])
assert_type(store.reduction_report(), ReductionReport)
assert_type(store.cone(outputs=[f]), kc.GraphStore)
blob = store.serialize([f])
assert_type(blob, bytes)
store.serialize(outputs=None)
assert_type(kc.GraphStore.deserialize(blob), kc.GraphStore)
assert_type(store.deserialize(data=blob), kc.GraphStore)

reducer = kc.IncrementalReducer()
assert_type(reducer.step(store), int)
assert_type(reducer.watermark() + reducer.total_work() + reducer.canonical_count(), int)
assert_type(reducer.finalize(store, maximal_fusion=False, outputs=(f,)),
            tuple[kc.GraphStore, ReductionReport])
assert_type(kc.version(), str)
'''

# Each line marked "# error" must be reported, and no other line.
MISUSES = '''
import korvane_core as kc

store = kc.GraphStore()
desc = kc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v",
                            io_schema="i")
reducer = kc.IncrementalReducer()
store.add_op("f", "01")  # error
store.add_op("f", [1.5])  # error
store.add_op("f", {0, 1})  # error
store.add_source("s", [("a", 1)])  # error
store.add_source("s", {"a": None})  # error
store.add_source("s", {1: 2})  # error
store.add_source(b"s")  # error
store.add_exchange("e", [0])  # error
store.add_external({"kind": "k"}, [0])  # error
store.add_external("k", [0])  # error
store.reduce(True)  # error
store.reduce(maximal_fusion=1)  # error
store.cone()  # error
store.cone(outputs="12")  # error
store.reduction_report(maximal_fusion=True)  # error
store.serialize("0")  # error
report = store.reduction_report()
report["stage"]  # error
kc.PayloadDescriptor("k", "h", "f", "v", "i")  # error
kc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v")  # error
desc.kind = "x"  # error
reducer.step(42)  # error
reducer.finalize(store, True)  # error
kc.GraphStore(0)  # error
for node in store.nodes():
    node["descriptor"]  # error
    if node["kind"] == "stage":
        node["members"][0]["token"]  # error


class MyStore(kc.GraphStore):  # error
    pass
'''


def test_intended_uses_type_check(mypy_env):
    path = mypy_env.root / "uses.py"
    path.write_text(USES)
    done = mypy_env(path.name)
    assert done.returncode == 0, done.stdout + done.stderr


def test_misuses_are_reported_line_by_line(mypy_env):
    path = mypy_env.root / "misuses.py"
    path.write_text(MISUSES)
    done = mypy_env(path.name)
    expected = {number for number, line in enumerate(MISUSES.splitlines(), start=1)
                if line.endswith("# error")}
    reported = errors_by_line(done.stdout, path.name)
    assert set(reported) == expected, done.stdout
