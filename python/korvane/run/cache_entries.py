"""The bytes of one cache entry, and the names entries and temporary files go by.

An entry is a fixed header, then the payload, little-endian:

    magic        4 bytes   b"KVC1"
    version      u16       1
    codec        16 bytes  its name in ASCII, NUL-padded ("pickle", "parquet-pandas", ...)
    fingerprint  32 bytes  the digest the entry is for
    partition    i64       the partition, or -1 for a single value
    length       u64       the payload's length
    checksum     32 bytes  blake2b-256 of the fields above and the payload

The key is inside the entry, not only in its file name, so that a file copied or renamed
under another key's name is known for what it is; the length catches a file cut short or
grown, and the checksum any byte changed. A reader trusts nothing it has not checked.
"""

from __future__ import annotations

import hashlib
import os
import re
import struct
import uuid
from typing import TypeAlias

# (fingerprint as 64 lowercase hex digits, partition or None for a single value)
Key: TypeAlias = tuple[str, int | None]

MAGIC = b"KVC1"
VERSION = 1
ENTRY_SUFFIX = ".kvc"
TEMP_SUFFIX = ".tmp"
FIELDS = struct.Struct("<4sH16s32sqQ")
CHECKSUM_SIZE = 32
HEADER_SIZE = FIELDS.size + CHECKSUM_SIZE
FINGERPRINT = re.compile(r"[0-9a-f]{64}")


class CorruptEntry(Exception):
    """Bytes that are not a whole, intact entry for the key they were read under."""


def checked_key(fingerprint: object, partition: object) -> Key:
    """The key, or ValueError/TypeError: a key becomes a file name, so nothing but hex digits
    and a number may reach one."""
    if not isinstance(fingerprint, str) or not FINGERPRINT.fullmatch(fingerprint):
        raise ValueError(f"a fingerprint is 64 lowercase hex digits, not {fingerprint!r}")
    if partition is not None and (not isinstance(partition, int) or isinstance(partition, bool)):
        raise TypeError(f"a partition is an int or None, not {partition!r}")
    if partition is not None and partition < 0:
        raise ValueError(f"a partition is at least 0, not {partition}")
    return fingerprint, partition


def describe(key: Key) -> str:
    fingerprint, partition = key
    where = "the single value" if partition is None else f"partition {partition}"
    return f"fingerprint {fingerprint}, {where}"


def prefix_of(key: Key) -> str:
    """The directory an entry lives in: 256 of them keep any one directory small."""
    return key[0][:2]


def entry_name(key: Key) -> str:
    fingerprint, partition = key
    return f"{fingerprint}-{'s' if partition is None else partition}{ENTRY_SUFFIX}"


def temp_name(name: str) -> str:
    """A name no other writer uses, which no reader takes for an entry."""
    return f"{name}.{os.getpid()}-{uuid.uuid4().hex}{TEMP_SUFFIX}"


def is_entry_name(name: str) -> bool:
    return name.endswith(ENTRY_SUFFIX)


def is_temp_name(name: str) -> bool:
    return name.endswith(TEMP_SUFFIX)


def header(key: Key, codec: str, payload: bytes | memoryview) -> bytes:
    fingerprint, partition = key
    fields = FIELDS.pack(MAGIC, VERSION, codec.encode("ascii"), bytes.fromhex(fingerprint),
                         -1 if partition is None else partition, len(payload))
    digest = hashlib.blake2b(fields, digest_size=CHECKSUM_SIZE)
    digest.update(payload)
    return fields + digest.digest()


def unpack(key: Key, data: bytes) -> tuple[str, memoryview]:
    """The codec and payload of an entry read under the key; CorruptEntry unless the bytes are
    a whole entry, intact, for that key."""
    if len(data) < HEADER_SIZE:
        raise CorruptEntry(f"{len(data)} bytes, shorter than a header")
    magic, version, codec, fingerprint, partition, length = FIELDS.unpack_from(data)
    if magic != MAGIC or version != VERSION:
        raise CorruptEntry(f"not a version {VERSION} cache entry")
    found = (fingerprint.hex(), None if partition == -1 else partition)
    if found != key:
        raise CorruptEntry(f"an entry for {describe(found)}")
    if len(data) != HEADER_SIZE + length:
        raise CorruptEntry(f"{len(data) - HEADER_SIZE} payload bytes where {length} belong")
    view = memoryview(data)
    payload = view[HEADER_SIZE:]
    digest = hashlib.blake2b(view[:FIELDS.size], digest_size=CHECKSUM_SIZE)
    digest.update(payload)
    if digest.digest() != data[FIELDS.size:HEADER_SIZE]:
        raise CorruptEntry("checksum mismatch")
    return codec.rstrip(b"\0").decode("ascii", errors="replace"), payload
