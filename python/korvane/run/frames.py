"""Ready-made exchange helpers for pandas DataFrames and pyarrow Tables: a hash split by key
columns and a concatenation, and a call that registers them as a registry's exchange.

Two tables hashed by their join keys into the same number of pieces are co-partitioned:
rows with equal keys meet in the same output partition, whatever process, machine or
PYTHONHASHSEED split them, whichever integer width the key has on either side (int32
o_orderkey against int64 l_orderkey) and whether a side is pandas or Arrow. So the hash
below is fixed by this docstring, never by Python's hash(), and does not change between
releases. pandas, pyarrow and numpy are imported only when a frame is split or joined.

The hash. Every value of a key column becomes a 64-bit word, by its value, not its type:

- integers of any width, signed or unsigned, pandas nullable or Arrow, and booleans (as 0
  and 1): the integer modulo 2**64 (two's complement; -1 is 0xFFFFFFFFFFFFFFFF);
- floats: an integral float in [-2**63, 2**64) is its integer (3.0 meets 3, -0.0 is 0);
  any other float is the IEEE-754 bits of its float64; a decimal is its integer when
  integral, else its nearest float64;
- strings: the first 8 bytes of the BLAKE2b digest (digest_size=8) of their UTF-8 bytes,
  read as a little-endian integer; bytes the same way over the bytes themselves. Object,
  pandas string and Arrow string, large_string and string_view columns alike;
- dates, datetimes and timedeltas: microseconds (since 1970-01-01 for points in time),
  floored, modulo 2**64; a date is its midnight, a time-zone aware value its UTC instant,
  a naive one its wall clock; a time of day is microseconds since midnight;
- missing values (None, NaN, NaT, pandas NA, Arrow null) in any column: the word
  0x6D697373696E6721, so all rows whose keys are missing go to one piece;
- categorical and dictionary columns: the word of their value.

A row's hash over key columns with words w1..wk (in the order given) is h_k, where h_0 = 0
and h_i = mix(h_(i-1) + w_i + 0x9E3779B97F4A7C15), with mix splitmix64's finalizer:

    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB
    z = z ^ (z >> 31)

all arithmetic modulo 2**64. The row goes to piece h_k mod n.
"""

from __future__ import annotations

import importlib
import inspect
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from korvane.run.registry import Params, Registry

# Pieces are numbered in 16 bits below this count, where numpy's stable sort is a radix sort.
SMALL_COUNT = 1 << 16


def hash_pieces(frame: Any, columns: Sequence[str], n: int) -> list[Any]:
    """A pandas DataFrame or pyarrow Table cut into n pieces by the hash of its key columns
    (see the module docstring): piece j holds the rows whose hash is j modulo n, in their
    order in the frame, with the frame's columns and types."""
    keys = [columns] if isinstance(columns, str) else list(columns)
    if not keys:
        raise ValueError("hash_pieces needs at least one key column")
    if n < 1:
        raise ValueError(f"cannot cut a frame into {n} pieces")
    is_arrow = frame_is_arrow(frame)
    key_columns = [key_column(frame, key, is_arrow) for key in keys]
    if n == 1:
        return [frame]
    return cut(frame, piece_numbers(key_columns, n, is_arrow), n, is_arrow)


def piece_numbers(key_columns: list[Any], n: int, is_arrow: bool) -> Any:
    """Each row's piece: its hash modulo n, as a numpy array of small integers."""
    keyhash = importlib.import_module("korvane.run.keyhash")
    np = importlib.import_module("numpy")
    words_of = keyhash.arrow_words if is_arrow else keyhash.pandas_words
    hashes = keyhash.row_hashes([words_of(column) for column in key_columns])
    return (hashes % np.uint64(n)).astype(np.uint16 if n <= SMALL_COUNT else np.intp)


def cut(frame: Any, piece_of_row: Any, n: int, is_arrow: bool) -> list[Any]:
    """The frame's rows in n pieces by piece number, in frame order within each: one gather
    into piece order, then n slices of it that copy nothing."""
    np = importlib.import_module("numpy")
    order = np.argsort(piece_of_row, kind="stable")
    ends = np.cumsum(np.bincount(piece_of_row, minlength=n)).tolist()
    starts = [0, *ends[:-1]]
    taken = frame.take(order)
    if is_arrow:
        return [taken.slice(start, end - start) for start, end in zip(starts, ends)]
    return [taken.iloc[start:end] for start, end in zip(starts, ends)]


def split_by_hash(params: Params, frame: Any, n: int) -> list[Any]:
    """An exchange's split: hash_pieces by the key columns `params["by"]`, one column name
    or several joined by commas."""
    by = params.get("by")
    if not isinstance(by, str) or not by.strip():
        raise ValueError(f"a hash exchange needs its key columns as the parameter 'by' "
                         f"(names separated by commas), not {by!r}")
    return hash_pieces(frame, [name.strip() for name in by.split(",")], n)


def concat(params: Params, pieces: list[Any]) -> Any:
    """An exchange's concat: the pieces in order, as one DataFrame with a fresh index or one
    Table. Pieces without rows keep the columns and their types."""
    if frame_is_arrow(pieces[0]):
        return importlib.import_module("pyarrow").concat_tables(pieces)
    return importlib.import_module("pandas").concat(pieces, ignore_index=True)


def register_hash_exchange(registry: Registry, *, strategy: str | None = None) -> None:
    """Makes split_by_hash and concat the registry's exchange. Exchanges by different key
    columns into the same count partition alike, so no parameter tells their partitionings
    apart. `strategy` is passed on to Registry.exchange, which must accept it."""
    accepted = inspect.signature(registry.exchange).parameters
    options: dict[str, Any] = {}
    if "partitioning_params" in accepted:
        options["partitioning_params"] = ()
    if strategy is not None:
        if "strategy" not in accepted:
            raise TypeError("this Registry's exchange takes no strategy")
        options["strategy"] = strategy
    registry.exchange(split=split_by_hash, concat=concat, **options)


def frame_is_arrow(frame: Any) -> bool:
    """True for a pyarrow Table, False for a pandas DataFrame. A frame of either kind means its
    library is already imported, so nothing is imported to tell."""
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(frame, pa.Table):
        return True
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(frame, pd.DataFrame):
        return False
    raise TypeError(f"expected a pandas DataFrame or a pyarrow Table, not {type(frame).__name__}")


def key_column(frame: Any, name: str, is_arrow: bool) -> Any:
    names = frame.column_names if is_arrow else list(frame.columns)
    if name not in names:
        raise KeyError(f"no key column {name!r} among the frame's columns {names}")
    return frame.column(name) if is_arrow else frame[name]
