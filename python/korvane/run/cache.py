"""A persistent cache of node results, keyed by (fingerprint, partition).

Where entries live. Each entry is one file, `<location>/<fp[:2]>/<fp>-<partition>.kvc`
(`-s` for a single value), in a local directory or on any fsspec filesystem. The file holds
its own key, its codec, its length and a checksum (see cache_entries), so it can be checked
without trusting its name: an entry that is cut short, changed, or another key's is counted
as corrupt, removed, and reported as a miss. It is never returned. An intact entry whose
value this process cannot decode (its class is not importable here, say) is a miss too, but
stays for the processes that can.

Atomicity. A writer writes a temporary file beside the entry, under a name unique to it,
and moves it into place in one step. Any number of threads, processes and dask workers
may store the same key at once: the last whole write wins, and a reader sees a whole
entry or none. A writer killed midway leaves a temporary file, which no reader takes for
an entry; clear() removes it, and so does an eviction sweep once it is an hour old (a
younger one may be a write still in progress).

Eviction. With max_bytes set, a store that takes the entries' total past it sweeps: the
least recently used entries are removed until the total fits. Using an entry is storing or
loading it. Eviction never removes an entry that a load in this process is reading: loads
pin their entry, and a sweep removes an entry only under the pin set's lock, after seeing it
unpinned. A reader in another process is not protected; it reads the whole entry before
the removal, or it gets a miss. A value larger than max_bytes is not stored at all. The
total comes from listing the whole store: at this object's first store, again whenever its
own writes since may have taken the total past max_bytes, and once that listing is a few
seconds old. Writes by other processes count from the next listing on.

What is shared. The files are shared by every process that opens the location; recency is
shared through them on a local disk (see cache_storage for fsspec). The pin set is shared
by every Cache object in a process. The counters (stats()) and the running total belong to
one Cache object in one process, so a Cache object pickles as its location and settings
alone, and a copy sent to a dask worker starts counting afresh.
"""

from __future__ import annotations

import os
import threading
import time
import warnings
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from typing import Any

from korvane.run.cache_entries import (
    CorruptEntry,
    Key,
    checked_key,
    describe,
    entry_name,
    header,
    is_temp_name,
    prefix_of,
    unpack,
)
from korvane.run.cache_storage import CLOCK, Storage, StoredFile, open_storage
from korvane.run.codecs import CodecUnavailable, Unstorable, check_choice, decode, encode
from korvane.run.errors import CacheError

STAT_NAMES = ("hits", "misses", "bytes_read", "bytes_written", "corrupt")
# A temporary file this old belongs to a writer that died.
STALE_TEMP_NS = 3600 * 10**9
# How long the total from the last listing is trusted, in seconds.
LISTING_TRUSTED = 5.0


class PinSet:
    """The entries that loads in this process are reading, by path."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._pins: Counter[str] = Counter()

    @contextmanager
    def pinned(self, path: str) -> Iterator[None]:
        with self._lock:
            self._pins[path] += 1
        try:
            yield
        finally:
            with self._lock:
                self._pins[path] -= 1
                if not self._pins[path]:
                    del self._pins[path]

    def remove_unless_pinned(self, path: str, remove: Callable[[str], None]) -> bool:
        with self._lock:
            if path in self._pins:
                return False
            remove(path)
            return True


PINS = PinSet()


class Cache:
    """A persistent store of computed values under (fingerprint, partition) keys::

        cache = Cache("results", max_bytes=10**9)
        cache.check_writable()
        cache.store(fingerprint, 0, frame)
        hit, value = cache.load(fingerprint, 0)

    `location` is a local directory (made when first needed) or an fsspec URL, which needs
    ``pip install korvane-core[cache]``. `codec` is "auto" (Parquet for pandas DataFrames and
    Arrow tables that come back equal from it, when pyarrow is installed; pickle for the
    rest), "pickle" or "parquet". `max_bytes` bounds the entries' total size by evicting the
    least recently used. See the module's docstring for what is safe to share.
    """

    def __init__(self, location: str | os.PathLike[str], *, max_bytes: int | None = None,
                 codec: str = "auto") -> None:
        check_choice(codec)
        if max_bytes is not None and (not isinstance(max_bytes, int) or max_bytes < 0):
            raise ValueError(f"max_bytes is an int of at least 0 or None, not {max_bytes!r}")
        self._storage: Storage = open_storage(os.fspath(location))
        self._location = self._storage.describe()
        self._max_bytes = max_bytes
        self._codec = codec
        self._lock = threading.Lock()
        self._counts = dict.fromkeys(STAT_NAMES, 0)
        # The entries' total at the last listing plus this object's writes since, and when
        # that listing was taken (time.monotonic()); None before the first.
        self._total: int | None = None
        self._listed_at = 0.0
        self._sweeping = threading.Lock()

    @property
    def location(self) -> str:
        return self._location

    @property
    def max_bytes(self) -> int | None:
        return self._max_bytes

    @property
    def codec(self) -> str:
        return self._codec

    def __repr__(self) -> str:
        return f"Cache({self._location!r}, max_bytes={self._max_bytes!r}, codec={self._codec!r})"

    def __reduce__(self) -> tuple[Callable[[str, int | None, str], Cache],
                                  tuple[str, int | None, str]]:
        return reopened, (self._location, self._max_bytes, self._codec)

    def check_writable(self) -> None:
        """Raises CacheNotWritable (an OSError) naming the location when it cannot be
        written; makes the directory when it is missing."""
        self._storage.check_writable()

    def contains(self, fingerprint: str, partition: int | None) -> bool:
        """Whether an entry file is there. Only load() checks that it is intact."""
        return self._storage.exists(self._path(checked_key(fingerprint, partition)))

    def entries_present(self, keys: Iterable[Key]) -> set[Key]:
        """The keys that have an entry file, from one listing per fingerprint prefix."""
        by_prefix: dict[str, list[Key]] = {}
        for fingerprint, partition in keys:
            key = checked_key(fingerprint, partition)
            by_prefix.setdefault(prefix_of(key), []).append(key)
        present: set[Key] = set()
        for prefix, wanted in by_prefix.items():
            names = self._storage.names(self._storage.join(prefix))
            present.update(key for key in wanted if entry_name(key) in names)
        return present

    def load(self, fingerprint: str, partition: int | None) -> tuple[bool, Any]:
        """(True, value) for an intact entry, else (False, None)."""
        key = checked_key(fingerprint, partition)
        path = self._path(key)
        with PINS.pinned(path):
            data = self._storage.read(path)
            if data is None:
                return self._missed()
            self._count("bytes_read", len(data))
            try:
                codec, payload = unpack(key, data)
            except CorruptEntry:
                self._count("corrupt")
                self._storage.remove(path)
                return self._missed()
            try:
                value = decode(codec, payload)
            except CodecUnavailable:
                return self._missed()
            except Exception as error:
                # Intact, but not readable here (its value's class may be missing in this
                # process); another process may read it, so it stays.
                warnings.warn(f"the cache entry for {describe(key)} could not be read here, so it "
                              f"counts as a miss: {error!r}", RuntimeWarning, stacklevel=2)
                return self._missed()
            self._storage.touch(path)
        self._count("hits")
        return True, value

    def store(self, fingerprint: str, partition: int | None, value: Any) -> None:
        """Keeps the value under the key, replacing any entry there. Raises CacheError for a
        value the codec cannot store."""
        key = checked_key(fingerprint, partition)
        try:
            codec, payload = encode(value, self._codec)
        except Unstorable as error:
            raise CacheError(f"cannot cache the value for {describe(key)}: {error}") from error
        head = header(key, codec, payload)
        size = len(head) + len(payload)
        if self._max_bytes is not None and size > self._max_bytes:
            return
        self._storage.write(self._storage.join(prefix_of(key)), entry_name(key), head, payload)
        self._count("bytes_written", size)
        if self._max_bytes is not None and self._total_may_exceed(size):
            self._sweep(self._max_bytes)

    def stats(self) -> dict[str, int]:
        """This object's counts in this process: hits, misses, bytes_read, bytes_written,
        corrupt (corrupt entries count as misses too)."""
        with self._lock:
            return dict(self._counts)

    def clear(self) -> None:
        """Removes every entry and temporary file, other writers' included."""
        for stored in self._storage.files():
            self._storage.remove(stored.path)
        with self._lock:
            self._total = None

    def _path(self, key: Key) -> str:
        return self._storage.join(prefix_of(key), entry_name(key))

    def _count(self, name: str, amount: int = 1) -> None:
        with self._lock:
            self._counts[name] += amount

    def _missed(self) -> tuple[bool, None]:
        self._count("misses")
        return False, None

    def _total_may_exceed(self, written: int) -> bool:
        """Adds a write to the running total; True when a listing is due."""
        assert self._max_bytes is not None
        with self._lock:
            if self._total is None or time.monotonic() - self._listed_at > LISTING_TRUSTED:
                return True
            self._total += written
            return self._total > self._max_bytes

    def _sweep(self, max_bytes: int) -> None:
        # One sweep at a time per object: a second would list and remove the same files.
        if not self._sweeping.acquire(blocking=False):
            return
        try:
            listed_at = time.monotonic()
            entries = drop_stale_temps(self._storage, self._storage.files(), CLOCK.now())
            total = evict(self._storage, entries, max_bytes)
            with self._lock:
                self._total, self._listed_at = total, listed_at
        finally:
            self._sweeping.release()


def reopened(location: str, max_bytes: int | None, codec: str) -> Cache:
    return Cache(location, max_bytes=max_bytes, codec=codec)


def drop_stale_temps(storage: Storage, files: list[StoredFile], now: int) -> list[StoredFile]:
    """Removes temporary files left by dead writers; the entries, and the temporary files of
    writes that may still be going on, are left and the entries returned."""
    entries = []
    for stored in files:
        if not is_temp_name(stored.name):
            entries.append(stored)
        elif now - stored.used > STALE_TEMP_NS:
            storage.remove(stored.path)
    return entries


def evict(storage: Storage, entries: list[StoredFile], max_bytes: int) -> int:
    """Removes the least recently used unpinned entries until their total fits in max_bytes;
    the total left."""
    total = sum(stored.size for stored in entries)
    for stored in sorted(entries, key=lambda stored: (stored.used, stored.name)):
        if total <= max_bytes:
            break
        if PINS.remove_unless_pinned(stored.path, storage.remove):
            total -= stored.size
    return total
