"""Canonical bytes of plain values: two values get equal bytes exactly when they are the same
typed value.

Fingerprints are compared between processes, machines and interpreters, so nothing here
depends on hash order, on repr or on the platform. Every value is a one-byte type tag, then
either a fixed width or a length, then its bytes:

- the tags keep 1, 1.0, True and "1" apart, and a tuple apart from a list;
- a float is its IEEE-754 bits, big-endian, so -0.0 and 0.0 differ, while every NaN is
  written as the one quiet NaN (payloads and signs of NaNs carry no meaning here);
- an int is its minimal two's-complement bytes, a str its UTF-8 bytes;
- the items of sets and dicts are sorted by their own encodings, which is what keeps them
  independent of the hash seed; dict keys are any encodable value;
- parameters (str keys) are sorted by the UTF-8 bytes of their keys.

Since every encoding says how long it is, a concatenation of encodings reads back one way
only: no two different sequences of values share their bytes.
"""

from __future__ import annotations

import math
import struct
from collections.abc import Callable, Mapping
from typing import Any

# Encodes what is not a plain value (a function, say) or raises Unencodable; given by the
# caller that knows what such values mean.
Fallback = Callable[[Any], bytes]

QUIET_NAN = b"\x7f\xf8\x00\x00\x00\x00\x00\x00"
# Exact types only: a subclass (a namedtuple, an OrderedDict) may mean more than its items.
CONTAINER_TAGS: dict[type, bytes] = {tuple: b"t", list: b"l", set: b"e", frozenset: b"z",
                                     dict: b"d"}


class Unencodable(TypeError):
    """A value with no canonical form."""


def length(count: int) -> bytes:
    return count.to_bytes(8, "big")


def framed(tag: bytes, data: bytes) -> bytes:
    return tag + length(len(data)) + data


def float_bits(value: float) -> bytes:
    return QUIET_NAN if math.isnan(value) else struct.pack(">d", value)


def int_bytes(value: int) -> bytes:
    return value.to_bytes(value.bit_length() // 8 + 1, "big", signed=True)


def text_bytes(value: str) -> bytes:
    # Lone surrogates cannot come from a store, but may sit in a captured value.
    return value.encode("utf-8", "surrogatepass")


def encode(value: Any, fallback: Fallback | None = None) -> bytes:
    """The canonical bytes of a plain value: None, bool, int, float, complex, str, bytes,
    Ellipsis, and tuples, lists, sets, frozensets and dicts of them. Other values go to
    `fallback`, or raise Unencodable."""
    return Encoder(fallback).encode(value)


class Encoder:
    def __init__(self, fallback: Fallback | None) -> None:
        self.fallback = fallback
        # The containers being encoded, to refuse one that contains itself.
        self.open: set[int] = set()

    def encode(self, value: Any) -> bytes:
        scalar = scalar_bytes(value)
        if scalar is not None:
            return scalar
        if type(value) in CONTAINER_TAGS:
            return self.container(value)
        if self.fallback is None:
            raise Unencodable(f"a {type(value).__module__}.{type(value).__qualname__} object "
                              f"has no stable form")
        return framed(b"x", self.fallback(value))

    def container(self, value: tuple[Any, ...] | list[Any] | set[Any] | frozenset[Any]
                  | dict[Any, Any]) -> bytes:
        if id(value) in self.open:
            raise Unencodable(f"a {type(value).__name__} that contains itself")
        self.open.add(id(value))
        try:
            if isinstance(value, dict):
                pairs = sorted(self.encode(k) + self.encode(v) for k, v in value.items())
                return framed(CONTAINER_TAGS[dict], length(len(pairs)) + b"".join(pairs))
            items = [self.encode(item) for item in value]
            if isinstance(value, (set, frozenset)):
                items.sort()
            return framed(CONTAINER_TAGS[type(value)], length(len(items)) + b"".join(items))
        finally:
            self.open.discard(id(value))


def scalar_bytes(value: Any) -> bytes | None:
    """The encoding of a scalar; None for anything else. Subclasses (an IntEnum, a numpy
    float64) are not scalars: they may mean more than their value."""
    kind = type(value)
    if value is None:
        return b"n"
    if kind is bool:
        return b"b\x01" if value else b"b\x00"
    if kind is int:
        return framed(b"i", int_bytes(value))
    if kind is float:
        return b"f" + float_bits(value)
    if kind is complex:
        return b"c" + float_bits(value.real) + float_bits(value.imag)
    if kind is str:
        return framed(b"s", text_bytes(value))
    if kind is bytes:
        return framed(b"y", value)
    if value is Ellipsis:
        return b"."
    return None


def canonical_params(params: Mapping[str, int | float | bool | str]) -> bytes:
    """The canonical bytes of a node's parameters: keys in the order of their UTF-8 bytes,
    each value typed."""
    for key in params:
        if type(key) is not str:
            raise TypeError(f"parameter names are str, not {type(key).__name__}")
    parts = []
    for key in sorted(params, key=text_bytes):
        value = params[key]
        if type(value) not in (int, float, bool, str):
            raise TypeError(f"parameter {key!r} is a {type(value).__name__}, not an int, "
                            f"float, bool or str")
        parts.append(framed(b"s", text_bytes(key)) + encode(value))
    return framed(b"p", length(len(parts)) + b"".join(parts))
