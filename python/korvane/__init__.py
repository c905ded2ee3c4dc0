"""Command-line tools for serialized korvane IR files.

Run ``korvane --help`` (or ``python -m korvane --help``) for the commands: ``inspect``,
``dot``, ``reduce`` and ``cone``.
"""

from korvane.cli import main

__all__ = ["main"]
