"""What an installation provides: a wheel tagged for this interpreter, a module that leaves a
free-threaded interpreter without the GIL, and the command-line package."""
import importlib.metadata
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


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_import_keeps_the_gil_disabled():
    # An extension that does not declare it can run without the GIL makes the interpreter
    # enable it, with a RuntimeWarning; -W error turns that into a failure.
    done = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c",
                           "import sys, korvane_core; print(sys._is_gil_enabled())"],
                          capture_output=True, text=True, timeout=120,
                          env={"PYTHONPATH": str(korvane_core.__file__.rsplit("/", 1)[0])})
    assert (done.returncode, done.stdout.strip()) == (0, "False"), done.stderr
