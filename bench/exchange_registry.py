"""What the exchange benchmark's pipelines are made of: a vectorized hash split and its
concatenation, Parquet files as partitions, filters and projections, one join (a pandas
merge) and one registry holding them all.

Worker processes import this module by name (the benchmark's directory is on their path),
so tasks refer to these functions instead of carrying their code. Every function here is a
pure function of its parameters and inputs: any worker can run any partition, and both sides
of the benchmark compute the same values.
"""

from __future__ import annotations

import datetime
import functools
import glob
import importlib
import inspect
import os
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pandas as pd

from korvane.run import Params, Registry

Split = Callable[[Params, Any, int], Sequence[Any]]
Concat = Callable[[Params, list[Any]], Any]

# Fibonacci hashing's multiplier: an odd 64-bit constant whose products scatter any run of
# keys, so that arithmetic progressions of ids (the usual shape of generated keys) do not
# all land in a few buckets.
MIX = np.uint64(0x9E3779B97F4A7C15)


def hash_buckets(keys: np.ndarray, n: int) -> np.ndarray:
    """Bucket 0..n-1 of each key: the high half of key * MIX (mod 2**64), mod n."""
    mixed = keys.astype(np.uint64, copy=False) * MIX   # wraps, as intended
    return ((mixed >> np.uint64(32)) % np.uint64(n)).astype(np.intp)


def split_by_key(params: Params, frame: pd.DataFrame, n: int) -> list[pd.DataFrame]:
    """Piece j holds the rows whose key is in bucket j, in their order in `frame`. Each piece
    is a copy of its own rows, not a view into `frame`: it is sized, pickled and freed on
    its own; its index is a range again, which costs nothing to send."""
    buckets = hash_buckets(frame[str(params["key"])].to_numpy(), n)
    order = np.argsort(buckets, kind="stable")
    bounds = np.concatenate([[0], np.cumsum(np.bincount(buckets, minlength=n))])
    return [frame.take(order[bounds[j]:bounds[j + 1]]).reset_index(drop=True) for j in range(n)]


def concat_pieces(params: Params, pieces: list[pd.DataFrame]) -> pd.DataFrame:
    return pd.concat(pieces, ignore_index=True)


def frames_exchange() -> tuple[Split, Concat] | None:
    """`korvane.run.frames`' split_by_hash and concat, where the package has them in the
    registry's exchange form (split(params, frame, n) by params["key"], concat(params,
    pieces)); None otherwise. A probe on a small frame decides: every row must come back,
    each key in exactly one piece."""
    try:
        frames = importlib.import_module("korvane.run.frames")
    except ImportError:
        return None
    split, concat = getattr(frames, "split_by_hash", None), getattr(frames, "concat", None)
    if not callable(split) or not callable(concat):
        return None
    keys = np.arange(200, dtype=np.int64) * 7
    probe = pd.DataFrame({"key": keys, "value": np.arange(200.0)})
    params: Params = {"key": "key", "partitions": 4}
    try:
        pieces = list(split(params, probe, 4))
        whole = concat(params, pieces)
        homes = [set(piece["key"].tolist()) for piece in pieces]
    except Exception:  # not in the form this benchmark registers
        return None
    disjoint = sum(len(h) for h in homes) == len(set().union(*homes))
    if len(pieces) != 4 or not disjoint or sorted(whole["key"].tolist()) != keys.tolist():
        return None
    return split, concat


def exchange_functions(prefer_frames: bool) -> tuple[Split, Concat, str]:
    """The exchange's split and concat, and where they come from."""
    found = frames_exchange() if prefer_frames else None
    if found is not None:
        return found[0], found[1], "korvane.run.frames"
    return split_by_key, concat_pieces, "the benchmark's own"


# Parquet files as partitions. Decimals and dates become Arrow-backed columns, as
# dask.dataframe.read_parquet gives them, so both engines compute on the same types (and
# money stays exact decimal, as the reference's SQL has it).

@functools.cache
def parquet_files(path: str) -> tuple[str, ...]:
    """The table's files in part order (name.<part>.parquet)."""
    files = glob.glob(os.path.join(path, "*.parquet"))
    return tuple(sorted(files, key=lambda f: int(os.path.basename(f).split(".")[-2])))


def arrow_backed(arrow_type: Any) -> Any:
    import pyarrow as pa
    if pa.types.is_decimal(arrow_type) or pa.types.is_date(arrow_type):
        return pd.ArrowDtype(arrow_type)
    return None


def parquet_partitions(params: Params) -> int:
    return len(parquet_files(str(params["path"])))


def read_parquet_file(params: Params, i: int) -> pd.DataFrame:
    import pyarrow.parquet as pq
    columns = str(params["columns"]).split(",")
    table = pq.read_table(parquet_files(str(params["path"]))[i], columns=columns)
    return table.to_pandas(types_mapper=arrow_backed)


# Operations and the join.

COMPARISONS: dict[str, Callable[[Any, Any], Any]] = {
    "==": lambda a, b: a == b, "<": lambda a, b: a < b, "<=": lambda a, b: a <= b,
    ">": lambda a, b: a > b, ">=": lambda a, b: a >= b,
}


def where(params: Params, frame: pd.DataFrame) -> pd.DataFrame:
    """Rows whose column compares true with the value (an ISO date when params["date"])."""
    value: Any = params["value"]
    if params.get("date"):
        value = datetime.date.fromisoformat(str(value))
    return frame[COMPARISONS[str(params["cmp"])](frame[str(params["column"])], value)]


def select(params: Params, frame: pd.DataFrame) -> pd.DataFrame:
    return frame[str(params["columns"]).split(",")]


def revenue(params: Params, frame: pd.DataFrame) -> pd.DataFrame:
    """The line's discounted price, TPC-H's revenue: extendedprice * (1 - discount)."""
    return frame.assign(revenue=frame["l_extendedprice"] * (1 - frame["l_discount"]))


def merge(params: Params, left: pd.DataFrame, right: pd.DataFrame) -> pd.DataFrame:
    return left.merge(right, left_on=str(params["left_on"]).split(","),
                      right_on=str(params["right_on"]).split(","), how="inner")


def whole(params: Params, frame: pd.DataFrame) -> pd.DataFrame:
    return frame


def concat_all(params: Params, frames: list[pd.DataFrame]) -> pd.DataFrame:
    return pd.concat(frames, ignore_index=True)


def registry(split: Split, concat: Concat) -> Registry:
    """The operations all pipelines share; each workload adds its sources and reductions."""
    r = Registry()
    r.source("parquet", partitions=parquet_partitions)(read_parquet_file)
    r.op("where")(where)
    r.op("select")(select)
    r.op("revenue")(revenue)
    # A hash exchange puts a key where its hash says, whichever column the key is read from:
    # where the registry knows partitionings, only the partition count decides where keys go.
    if "partitioning_params" in inspect.signature(r.exchange).parameters:
        r.exchange(split=split, concat=concat, partitioning_params=())
    else:
        r.exchange(split=split, concat=concat)
    r.join(merge)
    # A small table gathered into one value, which every partition of a join then gets whole.
    r.reduction("collect", step=whole, combine=concat_all)
    return r
