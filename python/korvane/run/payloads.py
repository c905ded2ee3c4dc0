"""Loaded external payloads, kept per process.

A task carries its external's load function and descriptor, not a loaded payload: models
are often too big, or not picklable, to travel. Every process (this one, each dask worker)
loads a payload the first time a task needs it and keeps it for the tasks that follow.
Entries are keyed by the registry's token and the descriptor, so registries never share a
payload. Only the most recently used payloads are kept, so a long-lived worker that serves
many pipelines does not keep every model it ever loaded.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from collections.abc import Callable, Hashable
from typing import Any

KEPT = 8


class PayloadCache:
    def __init__(self, kept: int = KEPT) -> None:
        self.kept = kept
        # Held while loading, so that threads needing the same payload wait for one load
        # instead of each doing their own.
        self._lock = threading.Lock()
        self._payloads: OrderedDict[Hashable, Any] = OrderedDict()

    def get(self, key: Hashable, load: Callable[[], Any]) -> Any:
        with self._lock:
            if key in self._payloads:
                self._payloads.move_to_end(key)
                return self._payloads[key]
            payload = load()
            self._payloads[key] = payload
            if len(self._payloads) > self.kept:
                self._payloads.popitem(last=False)
            return payload


# The process's cache: the one piece of state shared by every run in a process, and what
# makes a payload load once per process rather than once per task.
PROCESS_PAYLOADS = PayloadCache()
