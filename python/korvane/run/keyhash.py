"""The row hash that korvane.run.frames partitions by, computed over whole columns.

The hash itself is defined in korvane.run.frames, whose docstring is its contract; this
module computes it. It needs numpy, and pandas or pyarrow for the frames it reads, and is
imported only when a frame is hashed.

Work is per column and vectorized. Numbers, booleans, dates and times become words in
numpy, a few whole-array passes each. Everything else (strings, bytes, decimals, objects) is
first reduced to its distinct values, by pandas factorize or Arrow dictionary encoding, and
only those are hashed one at a time in Python: a column of a million rows and a thousand
distinct strings digests a thousand strings. The scalar rule (`scalar_word`) and the array
rule (`array_words`) must give equal words for equal values, which is what lets one key
column be an int32 array in one frame, an object column of ints in another and an Arrow
dictionary in a third.

The words of a column are never written to in place once made (they may be the frame's own
memory); the row hashes are a fresh array that the mix updates in place.
"""

from __future__ import annotations

import hashlib
import importlib
import math
import struct
import sys
from collections.abc import Sequence
from datetime import date, datetime, time, timedelta, timezone
from decimal import Decimal
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

Words: TypeAlias = npt.NDArray[np.uint64]

MASK = (1 << 64) - 1
GOLDEN = np.uint64(0x9E3779B97F4A7C15)
MIX_1 = np.uint64(0xBF58476D1CE4E5B9)
MIX_2 = np.uint64(0x94D049BB133111EB)
# The word of a missing value. Any fixed word would do; this one is "missing!" in ASCII.
MISSING = 0x6D697373696E6721
MISSING_WORD = np.uint64(MISSING)
INT64_RANGE = 2.0 ** 63
UINT64_RANGE = 2.0 ** 64
MICROS_PER_DAY = 86_400_000_000
EPOCH = datetime(1970, 1, 1)
ONE_MICROSECOND = timedelta(microseconds=1)

# numpy date and time units as microseconds: coarser units multiply, finer ones floor-divide.
MICROS_IN = {"W": 7 * MICROS_PER_DAY, "D": MICROS_PER_DAY, "h": 3_600_000_000,
             "m": 60_000_000, "s": 1_000_000, "ms": 1_000, "us": 1}
PER_MICRO = {"ns": 1_000, "ps": 1_000_000, "fs": 1_000_000_000, "as": 1_000_000_000_000}


def mix(z: Words) -> None:
    """splitmix64's finalizer, in place (arithmetic modulo 2**64)."""
    shifted = z >> np.uint64(30)
    z ^= shifted
    z *= MIX_1
    np.right_shift(z, np.uint64(27), out=shifted)
    z ^= shifted
    z *= MIX_2
    np.right_shift(z, np.uint64(31), out=shifted)
    z ^= shifted


def row_hashes(columns: Sequence[Words]) -> Words:
    """h = 0, then h = mix(h + w + GOLDEN) for each key column's words w, in key order."""
    hashes = columns[0] + GOLDEN
    mix(hashes)
    for words in columns[1:]:
        hashes += words
        hashes += GOLDEN
        mix(hashes)
    return hashes


# Words of numpy arrays.

def array_words(values: npt.NDArray[Any]) -> Words:
    """The words of a numpy array of integers, booleans, floats, datetimes or timedeltas."""
    kind = values.dtype.kind
    if kind in "iub":
        # Every integer width agrees with int64: the word is the value modulo 2**64.
        if values.dtype == np.uint64:
            return values
        return values.astype(np.int64, copy=False).view(np.uint64)
    if kind == "f":
        return float_words(values)
    if kind in "Mm":
        return temporal_words(values)
    raise TypeError(f"cannot hash values of dtype {values.dtype}")


def float_words(values: npt.NDArray[Any]) -> Words:
    """Integral floats in [-2**63, 2**64) are their integer modulo 2**64 (so 3.0 meets 3, -0.0
    meets 0 and 2.0**63 meets a uint64's 2**63); other floats are the bits of their float64;
    NaN is missing."""
    floats = values.astype(np.float64, copy=False)
    integral = (floats >= -INT64_RANGE) & (floats < UINT64_RANGE) & (np.floor(floats) == floats)
    # Above int64's range, subtracting 2**64 is exact and leaves the same residue.
    wrapped = np.where(floats >= INT64_RANGE, floats - UINT64_RANGE, floats)
    as_int = np.where(integral, wrapped, 0.0).astype(np.int64).view(np.uint64)
    words = np.where(integral, as_int, floats.view(np.uint64))
    return with_missing(words, np.isnan(floats))


def temporal_words(values: npt.NDArray[Any]) -> Words:
    """Datetimes and timedeltas as microseconds (since the epoch), floored; NaT is missing."""
    unit, count = np.datetime_data(values.dtype)
    kind = values.dtype.kind
    if unit in ("Y", "M") or count != 1:
        values = values.astype(f"{kind}8[{'D' if unit in ('Y', 'M') else unit}]")
        unit = np.datetime_data(values.dtype)[0]
    ticks = values.view(np.int64)
    if unit in PER_MICRO:
        micros = np.floor_divide(ticks, PER_MICRO[unit]).view(np.uint64)
    elif unit in MICROS_IN:
        micros = ticks.view(np.uint64) * np.uint64(MICROS_IN[unit])
    else:
        raise TypeError(f"cannot hash values of dtype {values.dtype}")
    return with_missing(micros, np.isnat(values))


def with_missing(words: Words, missing: npt.NDArray[np.bool_]) -> Words:
    return np.where(missing, MISSING_WORD, words) if missing.any() else words


def by_codes(codes: npt.NDArray[Any], table: Words) -> Words:
    """Words of a column coded as indices into `table`, code -1 for missing."""
    words: Words = np.append(table, MISSING_WORD)[codes]
    return words


# Words of single values, for columns of distinct values.

def scalar_words(values: Sequence[object]) -> Words:
    return np.fromiter((scalar_word(v) for v in values), dtype=np.uint64, count=len(values))


def scalar_word(value: object) -> int:
    """One value's word, equal to the word its array form gets."""
    if is_missing(value):
        return MISSING
    if isinstance(value, str):
        return digest(value.encode("utf-8", "surrogatepass"))
    if isinstance(value, (bytes, bytearray, memoryview)):
        return digest(bytes(value))
    if isinstance(value, (bool, int)):
        return int(value) & MASK
    if isinstance(value, float):
        return float_word(value)
    if isinstance(value, np.generic):
        return int(array_words(np.asarray([value]))[0])
    if isinstance(value, Decimal):
        if value.is_nan():
            return MISSING
        if value.is_finite() and value == value.to_integral_value():
            return int(value) & MASK
        return float_word(float(value))
    if isinstance(value, datetime):
        if value.tzinfo is not None:
            value = value.astimezone(timezone.utc).replace(tzinfo=None)
        return int((value - EPOCH) // ONE_MICROSECOND) & MASK
    if isinstance(value, date):
        return ((value - EPOCH.date()).days * MICROS_PER_DAY) & MASK
    if isinstance(value, timedelta):
        return int(value // ONE_MICROSECOND) & MASK
    if isinstance(value, time):
        return ((value.hour * 60 + value.minute) * 60 + value.second) * 1_000_000 + value.microsecond
    raise TypeError(f"cannot hash a key value of type {type(value).__name__}")


def is_missing(value: object) -> bool:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return True
    # pandas' missing markers exist only once pandas is imported.
    pd = sys.modules.get("pandas")
    return pd is not None and (value is pd.NA or value is pd.NaT)


def float_word(value: float) -> int:
    if value.is_integer() and -INT64_RANGE <= value < UINT64_RANGE:
        return int(value) & MASK
    bits: int = struct.unpack("<Q", struct.pack("<d", value))[0]
    return bits


def digest(data: bytes) -> int:
    return int.from_bytes(hashlib.blake2b(data, digest_size=8).digest(), "little")


# Words of pandas columns.

def pandas_words(column: Any) -> Words:
    """The words of a pandas Series (or Index) of any dtype."""
    pd = importlib.import_module("pandas")
    dtype = column.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return by_codes(column.cat.codes.to_numpy(), pandas_words(dtype.categories))
    if isinstance(dtype, np.dtype) and dtype.kind in "iubfMm":
        return array_words(column.to_numpy())
    if dtype.kind in "iubfMm":
        # Masked and Arrow-backed numbers, and datetimes with a time zone (as UTC instants).
        numpy_dtype = getattr(dtype, "numpy_dtype", None)
        if numpy_dtype is None:
            numpy_dtype = np.dtype(f"M8[{dtype.unit}]")
        # Missing values are masked below; the filler only has to fit the dtype (a NaT of the
        # dtype's own unit: a unitless one is deprecated).
        kind = numpy_dtype.kind
        filler = np.nan if kind == "f" else \
            np.array("NaT", dtype=numpy_dtype)[()] if kind in "Mm" else 0
        values = column.to_numpy(dtype=numpy_dtype, na_value=filler)
        return with_missing(array_words(values), column.isna().to_numpy(dtype=bool))
    codes, uniques = column.factorize()
    return by_codes(codes, scalar_words(uniques.tolist()))


# Words of Arrow columns.

def arrow_words(column: Any) -> Words:
    """The words of a pyarrow Array or ChunkedArray of any type."""
    pa = importlib.import_module("pyarrow")
    if not isinstance(column, pa.ChunkedArray):
        return arrow_array_words(column)
    if column.num_chunks == 1:
        return arrow_array_words(column.chunk(0))
    return np.concatenate([arrow_array_words(chunk) for chunk in column.chunks]
                          + [np.empty(0, dtype=np.uint64)])


def arrow_array_words(array: Any) -> Words:
    pa = importlib.import_module("pyarrow")
    types = pa.types
    kind = array.type
    if types.is_dictionary(kind):
        return by_codes(codes_of(array.indices), arrow_array_words(array.dictionary))
    numeric = (types.is_integer(kind) or types.is_floating(kind) or types.is_boolean(kind)
               or types.is_timestamp(kind) or types.is_date(kind) or types.is_duration(kind))
    if not numeric:
        encoded = array.dictionary_encode()
        return by_codes(codes_of(encoded.indices), scalar_words(encoded.dictionary.to_pylist()))
    if array.null_count == 0:
        return array_words(array.to_numpy(zero_copy_only=False))
    zero = False if types.is_boolean(kind) else pa.scalar(0, type=kind)
    values = array.fill_null(zero).to_numpy(zero_copy_only=False)
    return with_missing(array_words(values), array.is_null().to_numpy(zero_copy_only=False))


def codes_of(indices: Any) -> npt.NDArray[np.int64]:
    """Dictionary indices as codes, -1 where null."""
    if indices.null_count:
        indices = indices.fill_null(-1)
    codes: npt.NDArray[np.int64] = indices.to_numpy(zero_copy_only=False)
    return codes
