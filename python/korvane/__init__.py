"""The korvane package: command-line tools for serialized korvane IR files, and running
recorded pipelines (``korvane.run``).

Run ``korvane --help`` (or ``python -m korvane --help``) for the commands: ``inspect``,
``dot``, ``reduce`` and ``cone``.

Importing the package makes GraphStore objects picklable (as their blob; see
``korvane.pickling``), so that stores can be sent to worker processes.
"""

from korvane import pickling as _pickling  # noqa: F401  (registers the pickling of stores)
from korvane.cli import main

__all__ = ["main"]
