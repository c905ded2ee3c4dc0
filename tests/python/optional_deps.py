"""The executor's optional dependencies (dask, distributed, pandas), for the tests that need
them: imported only where they are installed and leave the interpreter as it is.

On a free-threaded interpreter, importing an extension module that does not declare it runs
without the GIL turns the GIL on for the whole process, and every later test would run with
it. Where that would happen, the tests that need these modules skip instead, saying so.
"""
import functools
import importlib
import importlib.util
import subprocess
import sys
import sysconfig

import pytest

FREE_THREADED = bool(sysconfig.get_config_var('Py_GIL_DISABLED'))


@functools.cache
def enables_the_gil(modules):
    code = f"import sys; import {', '.join(modules)}; print(sys._is_gil_enabled())"
    done = subprocess.run([sys.executable, '-c', code], capture_output=True, text=True, timeout=300)
    return done.stdout.strip() != 'False'


def require(*modules):
    """The first of `modules`, imported, after all of them; or a skip saying why not."""
    for name in modules:
        if importlib.util.find_spec(name.split('.')[0]) is None:
            pytest.skip(f"{name} is not installed (the 'dask' extra; the 'bench' extra adds pandas)",
                        allow_module_level=True)
    if FREE_THREADED and enables_the_gil(modules):
        pytest.skip(f"importing {', '.join(modules)} turns the GIL on in this free-threaded "
                    f"interpreter, which would take the rest of the suite off the free-threaded path",
                    allow_module_level=True)
    loaded = [importlib.import_module(name) for name in modules]
    return loaded[0]


def optional(*modules):
    """`modules`, imported, where all of them are installed and importing them leaves the
    interpreter as it is; else None. For tests that cover more where more is installed."""
    if any(importlib.util.find_spec(name.split('.')[0]) is None for name in modules):
        return None
    if FREE_THREADED and enables_the_gil(modules):
        return None
    return [importlib.import_module(name) for name in modules]
