"""Loaded external payloads, kept per process.

What is shared. A task carries its external's load function and descriptor, never a loaded
payload: models are often too big, or not picklable, to travel. Each process (this one, every
dask worker process) has one cache, shared by all its threads and every run in it; processes
share nothing, so each loads what its own tasks need. Entries are keyed by the registry's
token and the descriptor: two registries never share a payload, while copies of one registry
(and the recipes a worker gets) do.

When a payload is loaded. The first time a task of this process needs it, and once: a thread
that needs a payload another thread is loading waits for that load. A load that fails is not
kept; whoever needs the payload next (those waiting included) loads it again. Nothing else
waits for a load: the cache's lock guards its entries and is never held while user code
runs, so payloads already loaded are handed out, and other payloads load, meanwhile. A load
may itself run pipelines, and so need other payloads; one that needs its own payload, directly
or through loads in progress in other threads of the process, raises PayloadCycle instead of
waiting for itself. (A load that computes its pipeline on a thread pool of its own hides who
waits for whom; its cycle is not seen.)

When a payload is dropped. The cache keeps the most recently used payloads, up to a bound: the
limit (8 unless `set_payload_limit` says otherwise), or more when a plan needs more: each task
that asks for a payload says how many distinct payloads its plan uses, and the bound is at
least the largest such count among the payloads kept. So a plan with more externals than the
limit never evicts its own payloads between partitions, on a worker too, where only its
recipes travel. Plans that run at once share the bound; raise the limit when several large
ones do. In the registry's own process a payload lives no longer than its registry: when the
Registry is collected its entries go (at the latest on the cache's next use, when the
collection happened while the cache was busy). `Registry.drop_payloads()` and
`drop_payloads()` drop payloads on demand, in the calling process (for a cluster's workers,
`client.run(drop_payloads)`). A payload dropped while it loads reaches the tasks waiting for it
but is not kept. Payloads are let go after the lock is released, so that what their release
runs may use the cache.
"""

from __future__ import annotations

import operator
import threading
from collections import OrderedDict
from collections.abc import Callable, Hashable, Iterable
from dataclasses import dataclass, field
from enum import Enum
from typing import TYPE_CHECKING, Any, TypeAlias

from korvane.run.errors import PayloadCycle

if TYPE_CHECKING:
    from korvane.run.labels import NodeDict

# (registry token, descriptor fields...): the token first, so a registry's entries are found.
PayloadKey: TypeAlias = tuple[Hashable, ...]

DEFAULT_LIMIT = 8


class State(Enum):
    LOADING = "loading"
    LOADED = "loaded"
    FAILED = "failed"


@dataclass(eq=False)
class Entry:
    # How many distinct payloads the plan of the latest task that asked for it uses.
    needed: int
    # The thread running the load, while it runs.
    loader: int | None
    state: State = State.LOADING
    payload: Any = None
    done: threading.Event = field(default_factory=threading.Event)

    def loaded(self) -> bool:
        return self.state is State.LOADED


class PayloadCache:
    """Payloads by key, loaded on demand and kept up to a bound (see the notes above)."""

    def __init__(self, limit: int = DEFAULT_LIMIT) -> None:
        self._limit = checked_limit(limit)
        self._lock = threading.Lock()
        self._entries: OrderedDict[PayloadKey, Entry] = OrderedDict()
        # The payload each thread waits for, to see waits that would never end.
        self._waiting: dict[int, PayloadKey] = {}
        # Tokens of registries collected while the lock was taken (see forget).
        self._forgotten: list[Hashable] = []

    def get(self, key: PayloadKey, load: Callable[[], Any], needed: int = 1) -> Any:
        """The payload under `key`, loaded with `load()` unless kept or being loaded.
        `needed` is how many distinct payloads the caller's plan uses."""
        me = threading.get_ident()
        while True:
            with self._lock:
                released = self._take_forgotten()
                entry = self._entries.get(key)
                if entry is None:
                    entry = self._entries[key] = Entry(needed, me)
                    break
                if entry.loaded():
                    entry.needed = needed
                    self._entries.move_to_end(key)
                    return entry.payload
                if self._waits_for(entry, me):
                    raise PayloadCycle(f"loading the payload {key[1:]!r} needs itself (through "
                                       f"the pipelines that loads run)")
                self._waiting[me] = key
            del released
            try:
                entry.done.wait()
            finally:
                with self._lock:
                    del self._waiting[me]
            if entry.loaded():
                return entry.payload
            # The load failed and was not kept: try again.
        del released
        return self._load(key, entry, load)

    def _load(self, key: PayloadKey, entry: Entry, load: Callable[[], Any]) -> Any:
        try:
            payload = load()
        except BaseException:
            with self._lock:
                entry.state = State.FAILED
                if self._entries.get(key) is entry:
                    del self._entries[key]
            entry.done.set()
            raise
        with self._lock:
            entry.payload, entry.state, entry.loader = payload, State.LOADED, None
            released = self._evicted() if self._entries.get(key) is entry else []
        entry.done.set()
        del released
        return payload

    def _waits_for(self, entry: Entry, me: int) -> bool:
        """Whether the load of `entry` waits, through the loads in progress, for thread `me`."""
        loader = entry.loader
        seen = set()
        while loader is not None and loader not in seen:
            if loader == me:
                return True
            seen.add(loader)
            waited = self._entries.get(self._waiting.get(loader, ()))
            loader = waited.loader if waited is not None and waited.state is State.LOADING \
                else None
        return False

    def _evicted(self) -> list[Entry]:
        """Removes the least recently used payloads beyond the bound; they are let go by the
        caller, after the lock."""
        evicted: list[Entry] = []
        while True:
            loaded = [k for k, e in self._entries.items() if e.loaded()]
            bound = max([self._limit, *(self._entries[k].needed for k in loaded)])
            if len(loaded) <= bound:
                return evicted
            evicted.append(self._entries.pop(loaded[0]))

    def set_limit(self, limit: int) -> int:
        limit = checked_limit(limit)
        with self._lock:
            previous, self._limit = self._limit, limit
            released = self._evicted()
        del released
        return previous

    def drop(self, token: Hashable | None = None) -> int:
        """Drops the payloads of the registry with this token (of every registry for None),
        loads in progress included; returns how many loaded payloads went."""
        with self._lock:
            released = self._take_forgotten()
            dropped = self._dropped(token)
        count = sum(entry.loaded() for entry in dropped)
        del released, dropped
        return count

    def _dropped(self, token: Hashable | None) -> list[Entry]:
        keys = [key for key in self._entries if token is None or key[0] == token]
        return [self._entries.pop(key) for key in keys]

    def forget(self, token: Hashable) -> None:
        """Drops a collected registry's payloads. Called from the garbage collector, which may
        run in any thread at any allocation, this one's lock holder included: when the lock is
        taken, the holder drops them on its next use instead of this waiting for it."""
        self._forgotten.append(token)
        if self._lock.acquire(blocking=False):
            try:
                released = self._take_forgotten()
            finally:
                self._lock.release()
            del released

    def _take_forgotten(self) -> list[Entry]:
        released: list[Entry] = []
        while self._forgotten:
            released += self._dropped(self._forgotten.pop())
        return released


def checked_limit(limit: int) -> int:
    if isinstance(limit, bool):
        raise TypeError(f"the payload limit must be an int, not {limit!r}")
    limit = operator.index(limit)
    if limit < 0:
        raise ValueError(f"the payload limit must be at least 0, not {limit}")
    return limit


def distinct_payloads(nodes: Iterable[NodeDict]) -> int:
    """How many distinct payloads the externals among these nodes use (per registry)."""
    return len({tuple(node["descriptor"].values()) for node in nodes
                if node["kind"] == "external"})


# The process's cache: the one piece of state shared by every run in a process, and what
# makes a payload load once per process rather than once per task.
PROCESS_PAYLOADS = PayloadCache()


def set_payload_limit(limit: int) -> int:
    """Sets how many loaded payloads this process keeps at least (8 by default; a plan that
    uses more keeps all of its own), evicting the least recently used beyond it; returns the
    previous limit. On a cluster, `client.run(set_payload_limit, n)` sets it on every worker."""
    return PROCESS_PAYLOADS.set_limit(limit)


def drop_payloads() -> int:
    """Drops every payload this process keeps (they load again when needed); returns how many
    went."""
    return PROCESS_PAYLOADS.drop()
