"""The korvane command, run as users run it: in a child process, on files."""
import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from blob_builder import blob, op, source, stage
from korvane_core import GraphStore

REPO = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.thread_unsafe(
    reason="runs the command in child processes; more threads would only run more copies")


def child_environment():
    """The child must import the same korvane_core as this process, and the korvane package
    from the installation if there is one, else from the source tree."""
    import korvane_core
    paths = [str(Path(korvane_core.__file__).parent)]
    if importlib.util.find_spec("korvane") is None:
        paths.append(str(REPO / "python"))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    return env


ENV = child_environment()


def korvane(*args, env=None):
    done = subprocess.run([sys.executable, "-m", "korvane", *map(str, args)],
                          capture_output=True, text=True, env=env or ENV, timeout=120)
    assert "Traceback" not in done.stderr, done.stderr
    return done


def fails_with(done, status, message):
    assert done.returncode == status, (done.stdout, done.stderr)
    assert message in done.stderr
    assert done.stdout == ""


def pipeline():
    """Every kind a user records, a dead node, and an op (id 3) that feeds two ops."""
    s = GraphStore()
    events = s.add_source("read", {"path": "e.parquet", "n": 1, "x": 1.0, "flag": True, "s": "1"})
    users = s.add_source("users")
    a = s.add_op("a", [events])
    b = s.add_op("b", [a])
    c = s.add_op("c", [b], {"k": 2})
    d = s.add_op("d", [b])
    both = s.add_op("add", [c, d])
    shuffled = s.add_exchange([both], {"scheme": "hash"})
    joined = s.add_join([shuffled, users])
    scored = s.add_external(dict(kind="onnx", content_hash="h1", framework="ort", version="1",
                                 io_schema="f32", preprocessing_ref="pre"), [joined])
    total = s.add_reduction("sum", [scored], {"axis": 0})
    s.add_op("unused", [users])
    return s, total


@pytest.fixture
def saved(tmp_path):
    """(path of the saved pipeline, its store read back, the output id)"""
    store, total = pipeline()
    path = tmp_path / "pipeline.kir"
    path.write_bytes(store.serialize(outputs=[total]))
    return path, GraphStore.deserialize(path.read_bytes()), total


def report_lines(text):
    return {key: int(value) for key, value in re.findall(r"^(\w+_nodes|stages)\s+(\d+)$", text,
                                                          re.M)}


# --- inspect ------------------------------------------------------------------------------

def test_inspect_counts_outputs_and_one_row_per_node(saved):
    path, store, total = saved
    done = korvane("inspect", path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == f"{path}: 12 nodes, 1 output"
    assert lines[1] == "kinds: 2 source, 6 op, 1 reduction, 1 external, 1 exchange, 1 join"
    assert lines[2] == f"outputs: {total}"
    rows = {int(line.split()[0]): line for line in lines if re.match(r"\d+ ", line)}
    assert sorted(rows) == list(range(12))
    for node in store.nodes():
        row = rows[node["id"]].split()
        assert node["kind"] in row
        assert (row[1] == "*") == node["output"]
        if node["inputs"]:
            assert rows[node["id"]].endswith(", ".join(map(str, node["inputs"])))
    # Params keep their type: 1, 1.0, True and '1' are told apart.
    assert "flag=True, n=1, path='e.parquet', s='1', x=1.0" in rows[0]
    # An external node shows its payload on the line under it.
    external = lines[lines.index(rows[9]) + 1]
    assert external.split() == ["payload:", "framework='ort',", "version='1',",
                                "io_schema='f32',", "preprocessing_ref='pre'"]


def test_inspect_indents_stage_members_under_their_stage(tmp_path, saved):
    path, store, total = saved
    reduced, _ = store.reduce(maximal_fusion=True)
    reduced_path = tmp_path / "reduced.kir"
    reduced_path.write_bytes(reduced.serialize())
    done = korvane("inspect", reduced_path)
    assert done.returncode == 0, done.stderr
    assert "1 stage (5 members)" in done.stdout.splitlines()[1]
    table = done.stdout.split("\n\n", 1)[1].splitlines()
    (at,) = [i for i, line in enumerate(table) if " stage " in line]
    stage_id = int(table[at].split()[0])
    member_lines = table[at + 1:at + 6]
    assert all(line.startswith("  ") for line in member_lines)
    members = [line.split() for line in member_lines]
    assert [m[0] for m in members] == [f"{stage_id}.{i}" for i in range(5)]
    # Member arguments read as ids: the stage's outside input, or earlier members.
    source_id = table[at].split()[-1]
    assert [m[1:] for m in members] == [
        ["op", "a", source_id],
        ["op", "b", f"{stage_id}.0"],
        ["op", "c", "k=2", f"{stage_id}.1"],
        ["op", "d", f"{stage_id}.1"],
        ["op", "add", f"{stage_id}.2,", f"{stage_id}.3"],
    ]
    assert table[at + 6].split()[1] == "exchange"


def test_inspect_escapes_control_characters_from_the_file(tmp_path):
    store = GraphStore()
    store.add_op("x\x1b[2J\ny", [store.add_source("s")], {"k\n": "v\x07"})
    path = tmp_path / "names.kir"
    path.write_bytes(store.serialize())
    done = korvane("inspect", path)
    assert done.returncode == 0
    assert not any(c in done.stdout for c in "\x1b\x07")
    (row,) = [line for line in done.stdout.splitlines() if line.startswith("1 ")]
    assert row.split() == ["1", "op", "x\\x1b[2J\\ny", "k\\n='v\\x07'", "0"]


def test_inspect_of_an_empty_store(tmp_path):
    path = tmp_path / "empty.kir"
    path.write_bytes(GraphStore().serialize())
    done = korvane("inspect", path)
    assert done.returncode == 0
    assert done.stdout.splitlines()[:3] == [f"{path}: 0 nodes, 0 outputs", "kinds: none",
                                            "outputs: none"]


# --- dot ----------------------------------------------------------------------------------

def test_dot_writes_the_module_text(tmp_path, saved):
    path, store, _ = saved
    done = korvane("dot", path)
    assert done.returncode == 0
    assert done.stdout == store.to_dot()
    out = tmp_path / "graph.dot"
    assert korvane("dot", path, "-o", out).returncode == 0
    assert out.read_text() == store.to_dot()


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
@pytest.mark.parametrize("args, name, magic", [
    (["--format", "svg"], "g.out", b"<?xml"),
    ([], "g.svg", b"<?xml"),
    ([], "g.PNG", b"\x89PNG\r\n\x1a\n"),
    (["--format", "png"], "g.svg", b"\x89PNG\r\n\x1a\n"),  # an explicit format wins
])
def test_dot_renders_pictures(tmp_path, saved, args, name, magic):
    out = tmp_path / name
    done = korvane("dot", saved[0], "-o", out, *args)
    assert done.returncode == 0, done.stderr
    assert out.read_bytes().startswith(magic)


def test_dot_names_the_missing_program(tmp_path, saved):
    env = dict(ENV, PATH=str(tmp_path))  # no dot on this PATH
    out = tmp_path / "g.png"
    done = korvane("dot", saved[0], "--format", "png", "-o", out, env=env)
    fails_with(done, 1, "'dot' program from Graphviz")
    assert not out.exists()
    # DOT text needs no program.
    assert korvane("dot", saved[0], env=env).returncode == 0


# --- reduce and cone ----------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [
    ([], {}),
    (["--maximal-fusion"], {"maximal_fusion": True}),
    (["--outputs", "3,5"], {"outputs": [3, 5]}),
    (["--outputs", " 5 , 3,5"], {"outputs": [5, 3, 5]}),
    (["--outputs", ""], {"outputs": []}),
])
def test_reduce_writes_the_reduced_blob_and_prints_the_report(tmp_path, saved, args, kwargs):
    path, store, _ = saved
    out = tmp_path / "reduced.kir"
    done = korvane("reduce", path, "-o", out, *args)
    assert done.returncode == 0, done.stderr
    reduced, report = store.reduce(**kwargs)
    assert out.read_bytes() == reduced.serialize()
    assert report_lines(done.stdout) == report


def test_maximal_fusion_reaches_the_optimizer(tmp_path, saved):
    reports = []
    for args in ([], ["--maximal-fusion"]):
        done = korvane("reduce", saved[0], "-o", tmp_path / "r.kir", *args)
        reports.append(report_lines(done.stdout))
    assert reports[0]["stages"] > reports[1]["stages"]


def test_reduce_notes_a_file_without_outputs(tmp_path):
    store, _ = pipeline()
    path = tmp_path / "unmarked.kir"
    path.write_bytes(store.serialize())
    done = korvane("reduce", path, "-o", tmp_path / "r.kir")
    assert done.returncode == 0
    assert "marks no outputs" in done.stderr
    assert report_lines(done.stdout)["reduced_nodes"] == 0


def test_cone_writes_the_cone(tmp_path, saved):
    path, store, _ = saved
    out = tmp_path / "cone.kir"
    done = korvane("cone", path, "-o", out, "--outputs", "5,3")
    assert done.returncode == 0, done.stderr
    assert out.read_bytes() == store.cone(outputs=[5, 3]).serialize()
    assert "kept 4 of 12 nodes" in done.stdout


# --- bad input ----------------------------------------------------------------------------

@pytest.mark.parametrize("command", [["inspect"], ["dot"], ["reduce", "-o", "r.kir"],
                                     ["cone", "-o", "c.kir", "--outputs", "0"]])
def test_every_command_refuses_a_missing_file(tmp_path, command):
    missing = tmp_path / "missing.kir"
    done = korvane(command[0], missing, *command[1:])
    fails_with(done, 2, f"cannot read {missing}: No such file or directory")


@pytest.mark.parametrize("data, message", [
    (b"", "truncated korvane IR blob"),
    (b"PK\x03\x04not a blob", "not a korvane IR blob (bad magic/version)"),
    (blob([source("s"), op("f", [1])]), "node reference 1 out of range"),
    (blob([source("s"), b"\x07"]), "invalid node tag 7"),
])
def test_corrupt_blobs_print_the_module_message(tmp_path, data, message):
    path = tmp_path / "bad.kir"
    path.write_bytes(data)
    for command in (["inspect"], ["reduce", "-o", tmp_path / "r.kir"]):
        fails_with(korvane(command[0], path, *command[1:]), 2, f"{path}: {message}")
    assert not (tmp_path / "r.kir").exists()


def test_inspect_refuses_a_stage_member_that_does_not_parse(tmp_path):
    path = tmp_path / "bad-member.kir"
    path.write_bytes(blob([source("s"), stage([0], [("nonsense", [("input", 0)])])]))
    fails_with(korvane("inspect", path), 2, 'unparseable stage member token "nonsense"')


@pytest.mark.parametrize("command", ["reduce", "cone"])
def test_unknown_and_impossible_ids(tmp_path, saved, command):
    out = tmp_path / "out.kir"
    fails_with(korvane(command, saved[0], "-o", out, "--outputs", "1,12"), 2,
               "no node with id 12")
    fails_with(korvane(command, saved[0], "-o", out, "--outputs", str(2**64)), 2,
               "while processing 'outputs'")
    fails_with(korvane(command, saved[0], "-o", out, "--outputs", "1,-2"), 2,
               "not a node id: '-2'")
    assert not out.exists()


def test_usage_errors(tmp_path, saved):
    fails_with(korvane("cone", saved[0], "-o", tmp_path / "c.kir"), 2,
               "the following arguments are required: --outputs")
    fails_with(korvane("reduce", saved[0]), 2, "the following arguments are required: -o")
    fails_with(korvane("dot", saved[0], "--format", "pdf"), 2, "invalid choice: 'pdf'")
    fails_with(korvane(), 2, "required: COMMAND")


def test_unwritable_output(tmp_path, saved):
    out = tmp_path / "no-such-dir" / "r.kir"
    fails_with(korvane("reduce", saved[0], "-o", out), 2, f"cannot write {out}")


# --- entry points -------------------------------------------------------------------------

def test_version():
    done = korvane("--version")
    assert (done.returncode, done.stdout) == (0, "korvane 0.0.7\n")


def test_console_script_when_installed(saved):
    script = Path(sys.executable).parent / "korvane"
    if not script.exists():
        pytest.skip("the package is not installed in this interpreter's environment")
    done = subprocess.run([script, "inspect", saved[0]], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"{saved[0]}: 12 nodes")
