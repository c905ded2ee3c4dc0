"""What an installation provides: a wheel tagged for this interpreter, a module that leaves a
free-threaded interpreter without the GIL, and the command-line package."""
import importlib.metadata
import os
import subprocess
import sys
import sysconfig

import pytest

import korvane_core

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def installed_distribution():
    try:
        return importlib.metadata.distribution("korvane-core")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("korvane-core is not installed here (a development build)")


def test_wheel_tag_fits_this_interpreter():
    wheel = installed_distribution().read_text("WHEEL") or ""
    tags = [line.split(":", 1)[1].strip() for line in wheel.splitlines()
            if line.startswith("Tag:")]
    version = f"cp{sys.version_info.major}{sys.version_info.minor}"
    abi = version + ("t" if FREE_THREADED else "")
    assert len(tags) == 1
    python_tag, abi_tag, platform_tag = tags[0].split("-")
    assert (python_tag, abi_tag) == (version, abi)
    if FREE_THREADED:  # cp313t on the free-threaded 3.13 the tests run on
        assert abi_tag.endswith("t")
    assert platform_tag == sysconfig.get_platform().replace("-", "_").replace(".", "_")


def test_distribution_installs_the_module_stubs_and_the_command():
    files = {str(path) for path in installed_distribution().files or []}
    assert "korvane_core.pyi" in files
    assert "korvane_core-stubs/__init__.pyi" in files
    assert {"korvane/__init__.py", "korvane/__main__.py", "korvane/cli.py",
            "korvane/py.typed"} <= files
    assert any(path.startswith("korvane_core.") and path.endswith(".so") for path in files)
    scripts = installed_distribution().entry_points.select(group="console_scripts")
    assert [(e.name, e.value) for e in scripts] == [("korvane", "korvane.cli:main")]


# Imports the module, checks the GIL, then uses every class and checks again. A module that
# did not declare Py_mod_gil would make the interpreter enable the GIL at import (with a
# RuntimeWarning, which -W error would turn into a failure before the first check).
USE_EVERY_CLASS = """
import sys
import korvane_core as k
print(sys._is_gil_enabled())
g = k.GraphStore()
d = k.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1", io_schema="x")
s = g.add_source("s", {"p": 1})
a = g.add_op("f", [s], {"w": 0.5})
r = g.add_reduction("sum", [a])
e = g.add_external(d, [r])
x = g.add_exchange([e], {"scheme": "hash"})
j = g.add_join([x, s])
g.add_external(dict(kind=d.kind, content_hash="h", framework="f", version="1", io_schema="x"), [j])
copy = k.GraphStore.deserialize(g.serialize(outputs=[j]))
reduced, report = copy.reduce(maximal_fusion=True)
copy.cone(outputs=[j]).nodes(); copy.reduce_incremental(); copy.reduction_report()
reduced.nodes(); reduced.outputs(); reduced.node_map(); reduced.to_dot(); g.node_count()
reducer = k.IncrementalReducer()
reducer.step(copy); reducer.watermark(); reducer.total_work(); reducer.canonical_count()
reducer.finalize(copy, outputs=[j])
k.version()
print(sys._is_gil_enabled())
"""


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_gil_stays_disabled_after_import_and_use_of_every_class():
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    env["PYTHONPATH"] = os.path.dirname(korvane_core.__file__)
    done = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", USE_EVERY_CLASS],
                          capture_output=True, text=True, timeout=120, env=env)
    assert (done.returncode, done.stdout.split()) == (0, ["False", "False"]), done.stderr
    assert not sys._is_gil_enabled()  # nor in this process, which imported it for the tests


def test_extension_file_is_built_for_this_interpreter():
    # A free-threaded interpreter loads only extensions built for its ABI (cpython-313t-...).
    assert korvane_core.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
