import os
import sys

import pytest

import korvane_core

# The test command's runs are reproducible: each property test draws the same examples every
# time and no example database carries over. Run elsewhere, they explore. The thread tests
# also run in an environment without hypothesis (the ThreadSanitizer interpreter's).
try:
    from hypothesis import settings
except ImportError:
    settings = None
if settings is not None:
    settings.register_profile("ci", derandomize=True, database=None)
    if os.environ.get("CI"):
        settings.load_profile("ci")


@pytest.fixture
def frequent_switches():
    """The interpreter's thread switch interval at its shortest for the test's duration."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


@pytest.fixture
def store():
    return korvane_core.GraphStore()


def full_descriptor(**overrides):
    fields = dict(kind="k", content_hash="abc", framework="fw", version="2", io_schema="x")
    fields.update(overrides)
    return fields


@pytest.fixture
def descriptor_fields():
    return full_descriptor()

