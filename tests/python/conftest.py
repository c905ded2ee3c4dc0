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

