import pytest

import korvane_core


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


def pytest_configure(config):
    # pytest-run-parallel's marker, for runs without the plugin: tests that start processes
    # or clusters run in one thread.
    config.addinivalue_line("markers", "thread_unsafe(reason): runs in a single thread under pytest-run-parallel")
