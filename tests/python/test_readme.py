"""The README's tour runs as written."""
import doctest
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


@pytest.mark.thread_unsafe(reason="doctest swaps sys.stdout for the whole process")
def test_readme_examples():
    result = doctest.testfile(str(README), module_relative=False, encoding="utf-8",
                              optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    assert result.attempted > 40
    assert result.failed == 0
