"""How the result cache turns values into bytes and back.

Any value can go through pickle (protocol 5). A pandas DataFrame or an Arrow table can go
through Parquet instead, which is compact and readable by other tools; but Parquet does not
hold every frame exactly (a column of mixed Python objects, an index's frequency, NaN and None
told apart in an object column), so a frame becomes Parquet only after reading it back has
shown it comes back equal, dtypes and index included. That costs one decode per store, and it
is the only proof that does not go stale with a new pandas or pyarrow. Under "auto" a frame
that fails it goes through pickle; asking for "parquet" outright makes it an error.

pandas and pyarrow are never imported to look at a value: a value can only be a frame or a
table if its module is loaded already. pyarrow itself is imported when Parquet is used.
"""

from __future__ import annotations

import importlib
import pickle
import sys
from types import ModuleType
from typing import Any

CHOICES = ("auto", "pickle", "parquet")

# The codec names that entries record. A Parquet entry says what it was written from, so that
# it comes back as what was stored (an Arrow table written from pandas has pandas metadata
# and would otherwise come back as a DataFrame).
PICKLE = "pickle"
PARQUET_PANDAS = "parquet-pandas"
PARQUET_ARROW = "parquet-arrow"

INSTALL_HINT = "pip install korvane-core[cache]"


class Unstorable(Exception):
    """The codec cannot store this value; the cache names the key when it passes this on."""


class CodecUnavailable(Exception):
    """An entry whose codec this process cannot decode (pyarrow is missing here)."""


def arrow_modules() -> tuple[ModuleType, ModuleType] | None:
    """pyarrow and pyarrow.parquet, or None where pyarrow is not installed."""
    try:
        return importlib.import_module("pyarrow"), importlib.import_module("pyarrow.parquet")
    except ImportError:
        return None


def check_choice(choice: str) -> None:
    if choice not in CHOICES:
        raise ValueError(f"unknown cache codec {choice!r}; choose one of {', '.join(CHOICES)}")
    if choice == "parquet" and arrow_modules() is None:
        raise ImportError(f"the parquet cache codec needs pyarrow: {INSTALL_HINT}")


def frame_kind(value: Any) -> str | None:
    """PARQUET_PANDAS for a DataFrame, PARQUET_ARROW for an Arrow table, else None."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(value, pandas.DataFrame):
        return PARQUET_PANDAS
    pyarrow = sys.modules.get("pyarrow")
    if pyarrow is not None and isinstance(value, pyarrow.Table):
        return PARQUET_ARROW
    return None


def encode(value: Any, choice: str) -> tuple[str, bytes | memoryview]:
    """The codec name and the payload for a value under the choice ("auto", "pickle" or
    "parquet"). Raises Unstorable."""
    kind = frame_kind(value) if choice != "pickle" else None
    if kind is not None:
        arrow = arrow_modules()
        payload = parquet_payload(value, kind, arrow) if arrow is not None else None
        if payload is not None:
            return kind, payload
    if choice == "parquet":
        what = "no pandas DataFrame or Arrow table" if kind is None \
            else "a frame that Parquet does not give back equal"
        raise Unstorable(f"the parquet codec cannot store {type(value).__name__} ({what}); "
                         f'use codec="auto" to store such values with pickle')
    try:
        return PICKLE, pickle.dumps(value, protocol=5)
    except Exception as error:
        raise Unstorable(f"pickle cannot store {type(value).__name__}: {error}") from error


def decode(codec: str, payload: bytes | memoryview) -> Any:
    if codec == PICKLE:
        return pickle.loads(payload)
    if codec in (PARQUET_PANDAS, PARQUET_ARROW):
        arrow = arrow_modules()
        if arrow is None:
            raise CodecUnavailable(f"a {codec} entry needs pyarrow: {INSTALL_HINT}")
        return from_parquet(payload, codec, arrow)
    raise CodecUnavailable(f"unknown codec {codec!r}")


# The layouts of frames (column names and dtypes, index type and dtype) that came back from
# Parquet equal in this process. A frame of such a layout, with no column of Python objects
# and no NaN of negative sign, cannot differ from it in anything Parquet loses, so it is not
# read back again: a frame's values matter only through those two.
PROVEN_LAYOUTS: set[Any] = set()


def frame_layout(frame: Any) -> Any:
    """A hashable summary of what Parquet's fidelity to a DataFrame depends on, or None for a
    frame whose values matter too."""
    numpy = importlib.import_module("numpy")
    index = frame.index
    try:
        layout = (tuple((type(name), name, str(dtype)) for name, dtype in frame.dtypes.items()),
                  type(index), str(index.dtype), index.name, index.nlevels,
                  repr(getattr(index, "freq", None)), repr(frame.attrs),
                  frame.flags.allows_duplicate_labels)
        hash(layout)
    except TypeError:
        return None
    for dtype in (*frame.dtypes, index.dtype):
        if dtype == object or str(dtype) in ("category", "string", "str"):
            return None
    for _, column in frame.items():
        if column.dtype.kind == "f":
            values = column.to_numpy()
            if (numpy.isnan(values) & numpy.signbit(values)).any():
                return None
    return layout


def parquet_payload(value: Any, kind: str,
                    arrow: tuple[ModuleType, ModuleType]) -> memoryview | None:
    """The value as Parquet, or None when it does not come back equal."""
    pyarrow, parquet = arrow
    layout = frame_layout(value) if kind == PARQUET_PANDAS else None
    try:
        table = pyarrow.Table.from_pandas(value, preserve_index=None) \
            if kind == PARQUET_PANDAS else value
        sink = pyarrow.BufferOutputStream()
        # Lists keep their item field's own name (the compliant form would rename it).
        parquet.write_table(table, sink, use_compliant_nested_type=False)
        payload = memoryview(sink.getvalue())
        if layout is not None and layout in PROVEN_LAYOUTS:
            return payload
        back = from_parquet(payload, kind, arrow)
    except Exception:
        # Any column Arrow or Parquet cannot hold: pickle holds it.
        return None
    same = frames_equal(value, back) if kind == PARQUET_PANDAS else tables_equal(value, back)
    if same and layout is not None:
        PROVEN_LAYOUTS.add(layout)
    return payload if same else None


def from_parquet(payload: bytes | memoryview, kind: str,
                 arrow: tuple[ModuleType, ModuleType]) -> Any:
    pyarrow, parquet = arrow
    table = parquet.read_table(pyarrow.BufferReader(pyarrow.py_buffer(payload)))
    return table.to_pandas() if kind == PARQUET_PANDAS else table


def frames_equal(a: Any, b: Any) -> bool:
    testing = importlib.import_module("pandas.testing")
    try:
        testing.assert_frame_equal(a, b, check_exact=True, check_index_type=True,
                                   check_column_type=True, check_frame_type=True,
                                   check_flags=True, check_freq=True)
        return bool(a.attrs == b.attrs) and object_missing_values_agree(a, b) and \
            float_signs_agree(a, b)
    except (AssertionError, TypeError, ValueError):
        return False


def float_signs_agree(a: Any, b: Any) -> bool:
    """pandas counts -0.0 equal to 0.0; a cache must not turn one into the other."""
    numpy = importlib.import_module("numpy")
    for index in range(a.shape[1]):
        column = a.iloc[:, index]
        if column.dtype.kind == "f" and not numpy.array_equal(
                numpy.signbit(column.to_numpy()), numpy.signbit(b.iloc[:, index].to_numpy())):
            return False
    return True


def object_missing_values_agree(a: Any, b: Any) -> bool:
    """pandas counts None and NaN as equal in object columns; a cache must not swap them."""
    for index in range(a.shape[1]):
        column = a.iloc[:, index]
        if column.dtype == object and \
                list(map(type, column)) != list(map(type, b.iloc[:, index])):
            return False
    for level in range(a.index.nlevels):
        values = a.index.get_level_values(level)
        if values.dtype == object and \
                list(map(type, values)) != list(map(type, b.index.get_level_values(level))):
            return False
    return True


def tables_equal(a: Any, b: Any) -> bool:
    if not a.schema.equals(b.schema, check_metadata=True):
        return False
    return all(columns_equal(x, y) for x, y in zip(a.columns, b.columns, strict=True))


def columns_equal(x: Any, y: Any) -> bool:
    """Arrow's equality never counts NaN equal to itself, and counts -0.0 equal to 0.0; float
    columns are compared by their bits instead, which Parquet keeps."""
    pyarrow = importlib.import_module("pyarrow")
    if not pyarrow.types.is_floating(x.type):
        return bool(x.equals(y))
    bits = {16: pyarrow.int16(), 32: pyarrow.int32(), 64: pyarrow.int64()}[x.type.bit_width]
    return bool(x.combine_chunks().view(bits).equals(y.combine_chunks().view(bits)))
