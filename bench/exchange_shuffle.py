"""The shuffle-heavy pipeline: two generated tables, each hash-exchanged by its key, joined
partition by partition, and aggregated by group.

Facts (key, a, b, n) hold random keys over twice the dimension's key range, so about half of
them find their dimension row; the dimension (key, c, g, m) has each key once. The
aggregate per group g is the sum of a * c, the sum of n * m and the row count. Every
partition is generated from its number and the seed, in whatever process reads it.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

import korvane_core as kc
from korvane.run import Params, Registry

GROUPS = 1000
# Each table has four 8-byte columns.
ROW_BYTES = 32


@dataclass(frozen=True)
class ShuffleSize:
    partitions: int        # of each input, and of each exchange's output
    fact_rows: int         # per partition
    dimension_rows: int    # per partition
    seed: int = 7

    @classmethod
    def scaled(cls, scale: float, partitions: int) -> ShuffleSize:
        # 16 x (400k + 100k) rows of 32 bytes: 256 MB in all at scale 1.
        return cls(partitions, max(1, round(400_000 * scale)), max(1, round(100_000 * scale)))

    def input_bytes(self) -> int:
        return self.partitions * (self.fact_rows + self.dimension_rows) * ROW_BYTES


def read_facts(params: Params, i: int) -> pd.DataFrame:
    rng = np.random.default_rng([int(params["seed"]), 1, i])
    rows = int(params["rows"])
    return pd.DataFrame({
        "key": rng.integers(0, 2 * int(params["key_range"]), rows),
        "a": rng.random(rows),
        "b": rng.normal(size=rows),
        "n": rng.integers(0, 100, rows),
    })


def read_dimension(params: Params, i: int) -> pd.DataFrame:
    rng = np.random.default_rng([int(params["seed"]), 2, i])
    rows, parts = int(params["rows"]), int(params["parts"])
    return pd.DataFrame({
        "key": i + parts * np.arange(rows, dtype=np.int64),   # each key once in the table
        "c": rng.random(rows),
        "g": rng.integers(0, GROUPS, rows),
        "m": rng.integers(0, 10, rows),
    })


def parts_of(params: Params) -> int:
    return int(params["parts"])


def aggregate_step(params: Params, frame: pd.DataFrame) -> pd.DataFrame:
    parts = pd.DataFrame({"g": frame["g"], "ac": frame["a"] * frame["c"],
                          "nm": frame["n"] * frame["m"], "rows": np.ones(len(frame), np.int64)})
    return parts.groupby("g").sum()


def aggregate_combine(params: Params, partials: list[pd.DataFrame]) -> pd.DataFrame:
    return pd.concat(partials).groupby(level=0).sum()


def aggregate_finish(params: Params, merged: pd.DataFrame) -> pd.DataFrame:
    return merged.sort_index()


def register(r: Registry) -> None:
    r.source("facts", partitions=parts_of)(read_facts)
    r.source("dimension", partitions=parts_of)(read_dimension)
    r.reduction("by_group", step=aggregate_step, combine=aggregate_combine,
                finish=aggregate_finish)


def store(size: ShuffleSize) -> tuple[kc.GraphStore, int]:
    """The pipeline and its output."""
    s = kc.GraphStore()
    key_range = size.partitions * size.dimension_rows
    facts = s.add_source("facts", {"parts": size.partitions, "rows": size.fact_rows,
                                   "key_range": key_range, "seed": size.seed})
    dimension = s.add_source("dimension", {"parts": size.partitions,
                                           "rows": size.dimension_rows, "seed": size.seed})
    by_key = {"key": "key", "partitions": size.partitions}
    joined = s.add_join([s.add_exchange([facts], by_key), s.add_exchange([dimension], by_key)],
                        {"left_on": "key", "right_on": "key"})
    return s, s.add_reduction("by_group", [joined])


def answer(merged: pd.DataFrame) -> dict[str, list[Any]]:
    """The aggregate as plain lists, for comparing the two sides' results."""
    return {"g": merged.index.tolist(), "ac": merged["ac"].tolist(),
            "nm": merged["nm"].tolist(), "rows": merged["rows"].tolist()}


def same_answer(a: dict[str, list[Any]], b: dict[str, list[Any]]) -> bool:
    """Groups, integer sums and counts equal; float sums equal up to the order of addition
    (the two sides may split rows into partitions differently)."""
    if a["g"] != b["g"] or a["nm"] != b["nm"] or a["rows"] != b["rows"]:
        return False
    return bool(np.allclose(a["ac"], b["ac"], rtol=1e-9, atol=0.0))
