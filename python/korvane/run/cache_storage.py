"""Where cache entries are kept: a local directory through os, or any fsspec filesystem.

Both kinds give the cache the same few operations on whole files. A write puts the bytes
under a temporary name in the entry's own directory and then moves them into place in one
step (os.replace locally, a single move through fsspec), so that a reader sees the old
file, the new one, or none, never part of one.

Each file's time of last use is what eviction orders by. A local file carries it as its
modification time, set by this module on every write and load, from a clock that never
repeats within a process (the kernel's own file times are too coarse to order a burst of
writes). fsspec filesystems cannot set file times, so there it is the later of the
filesystem's own time of the file and this process's last use of it: loads in other
processes do not count there.
"""

from __future__ import annotations

import datetime
import importlib
import os
import threading
import time
from collections.abc import Iterator
from contextlib import suppress
from dataclasses import dataclass
from typing import Any, Protocol

from korvane.run.cache_entries import is_entry_name, is_temp_name, temp_name
from korvane.run.codecs import INSTALL_HINT
from korvane.run.errors import CacheNotWritable


@dataclass(frozen=True)
class StoredFile:
    """An entry or temporary file as a listing shows it."""

    path: str
    name: str
    size: int
    # Nanoseconds since the epoch: when it was last written or loaded.
    used: int


class Storage(Protocol):
    def describe(self) -> str: ...
    def join(self, *parts: str) -> str: ...
    def read(self, path: str) -> bytes | None: ...
    def write(self, directory: str, name: str, header: bytes,
              payload: bytes | memoryview) -> None: ...
    def remove(self, path: str) -> None: ...
    def names(self, directory: str) -> set[str]: ...
    def exists(self, path: str) -> bool: ...
    def touch(self, path: str) -> None: ...
    def files(self) -> list[StoredFile]: ...
    def check_writable(self) -> None: ...


class UseClock:
    """Nanosecond times that only go up within this process."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._last = 0

    def now(self) -> int:
        with self._lock:
            self._last = max(self._last + 1, time.time_ns())
            return self._last


CLOCK = UseClock()


def not_writable(where: str, error: Exception) -> CacheNotWritable:
    reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    return CacheNotWritable(f"the result cache at {where} cannot be written ({reason}); make it "
                            f"writable, or give Cache a location that is")


def open_storage(location: str) -> Storage:
    """Local paths and file:// URLs go through os; other URLs (a scheme, or fsspec's "::"
    chaining) through fsspec."""
    if location.startswith("file://") and "::" not in location:
        location = location[len("file://"):]
    elif "://" in location or "::" in location:
        return FsspecStorage(location)
    return LocalStorage(os.path.abspath(location))


class LocalStorage:
    def __init__(self, root: str) -> None:
        self.root = root

    def describe(self) -> str:
        return self.root

    def join(self, *parts: str) -> str:
        return os.path.join(self.root, *parts)

    def read(self, path: str) -> bytes | None:
        try:
            with open(path, "rb") as file:
                return file.read()
        except (FileNotFoundError, NotADirectoryError):
            return None

    def write(self, directory: str, name: str, header: bytes,
              payload: bytes | memoryview) -> None:
        os.makedirs(directory, exist_ok=True)
        temp = os.path.join(directory, temp_name(name))
        try:
            with open(temp, "xb") as file:
                file.write(header)
                file.write(payload)
            used = CLOCK.now()
            os.utime(temp, ns=(used, used))
            os.replace(temp, os.path.join(directory, name))
        except BaseException:
            with suppress(OSError):
                os.unlink(temp)
            raise

    def remove(self, path: str) -> None:
        with suppress(FileNotFoundError):
            os.unlink(path)

    def names(self, directory: str) -> set[str]:
        try:
            return set(os.listdir(directory))
        except (FileNotFoundError, NotADirectoryError):
            return set()

    def exists(self, path: str) -> bool:
        return os.path.isfile(path)

    def touch(self, path: str) -> None:
        used = CLOCK.now()
        with suppress(FileNotFoundError):
            os.utime(path, ns=(used, used))

    def files(self) -> list[StoredFile]:
        found = []
        for directory in self.prefix_directories():
            with suppress(FileNotFoundError), os.scandir(directory) as listing:
                for item in listing:
                    if is_entry_name(item.name) or is_temp_name(item.name):
                        with suppress(FileNotFoundError):
                            stat = item.stat()
                            found.append(StoredFile(item.path, item.name, stat.st_size,
                                                    stat.st_mtime_ns))
        return found

    def prefix_directories(self) -> Iterator[str]:
        try:
            with os.scandir(self.root) as listing:
                yield from [item.path for item in listing
                            if len(item.name) == 2 and item.is_dir(follow_symlinks=False)]
        except (FileNotFoundError, NotADirectoryError):
            return

    def check_writable(self) -> None:
        try:
            os.makedirs(self.root, exist_ok=True)
            probe = os.path.join(self.root, temp_name("probe"))
            with open(probe, "xb"):
                pass
            os.unlink(probe)
        except OSError as error:
            raise not_writable(self.root, error) from error


# This process's last use of each fsspec file, by path (see the module's docstring).
FSSPEC_USES: dict[str, int] = {}


class FsspecStorage:
    def __init__(self, url: str) -> None:
        try:
            core = importlib.import_module("fsspec.core")
        except ImportError as error:
            raise ImportError(f"the cache location {url!r} needs fsspec: {INSTALL_HINT}") \
                from error
        self.url = url
        filesystem, root = core.url_to_fs(url)
        self.fs: Any = filesystem
        self.root: str = root.rstrip("/")

    def describe(self) -> str:
        return self.url

    def join(self, *parts: str) -> str:
        return "/".join([self.root, *parts])

    def read(self, path: str) -> bytes | None:
        try:
            return bytes(self.fs.cat_file(path))
        except FileNotFoundError:
            return None

    def write(self, directory: str, name: str, header: bytes,
              payload: bytes | memoryview) -> None:
        self.fs.makedirs(directory, exist_ok=True)
        temp = f"{directory}/{temp_name(name)}"
        try:
            self.fs.pipe_file(temp, header + bytes(payload))
            self.fs.mv(temp, f"{directory}/{name}")
        except BaseException:
            with suppress(Exception):
                self.fs.rm_file(temp)
            raise
        FSSPEC_USES[f"{directory}/{name}"] = CLOCK.now()

    def remove(self, path: str) -> None:
        FSSPEC_USES.pop(path, None)
        with suppress(FileNotFoundError):
            self.fs.rm_file(path)

    def names(self, directory: str) -> set[str]:
        self.fs.invalidate_cache(directory)
        try:
            return {path.rstrip("/").rsplit("/", 1)[-1]
                    for path in self.fs.ls(directory, detail=False)}
        except FileNotFoundError:
            return set()

    def exists(self, path: str) -> bool:
        self.fs.invalidate_cache(path)
        return bool(self.fs.isfile(path))

    def touch(self, path: str) -> None:
        FSSPEC_USES[path] = CLOCK.now()

    def files(self) -> list[StoredFile]:
        self.fs.invalidate_cache(self.root)
        try:
            listing = self.fs.find(self.root, detail=True)
        except FileNotFoundError:
            return []
        found = []
        for path, info in listing.items():
            name = path.rsplit("/", 1)[-1]
            if is_entry_name(name) or is_temp_name(name):
                used = max(filesystem_time_ns(info), FSSPEC_USES.get(path, 0))
                found.append(StoredFile(path, name, int(info.get("size") or 0), used))
        return found

    def check_writable(self) -> None:
        try:
            self.fs.makedirs(self.root, exist_ok=True)
            probe = self.join(temp_name("probe"))
            self.fs.pipe_file(probe, b"")
            self.fs.rm_file(probe)
        except Exception as error:
            raise not_writable(self.url, error) from error


def filesystem_time_ns(info: dict[str, Any]) -> int:
    """A file's time as its filesystem reports it, under whichever name that filesystem
    uses; 0 when it reports none."""
    for field in ("mtime", "LastModified", "last_modified", "updated", "created"):
        value = info.get(field)
        if isinstance(value, str):
            with suppress(ValueError):
                value = datetime.datetime.fromisoformat(value)
        if isinstance(value, datetime.datetime):
            return int(value.timestamp() * 1e9)
        if isinstance(value, (int, float)):
            return int(value * 1e9)
    return 0
