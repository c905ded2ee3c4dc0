"""TPC-H queries 3 and 5 three ways: as korvane pipelines, in dask.dataframe as its users
write them, and as the official SQL in DuckDB, which gives the reference answers.

The data is tpchgen-cli's Parquet, one directory per table, the large tables in PARTS files
each: generated once per scale factor into the cache directory, reused afterwards. A korvane
source reads one file per partition; filters and projections are operations; each join of
two large tables exchanges both sides by the join key; the small tables (region, nation, the
suppliers of one region) are gathered into one value that every partition of their join
gets whole; the final grouping is a reduction.

Answers are compared as text: keys and dates as they print, money rounded to the cent.
"""

from __future__ import annotations

import datetime
import os
import shutil
import subprocess
import sys
import tempfile
from decimal import ROUND_HALF_EVEN, Decimal
from typing import Any

import pandas as pd

import korvane_core as kc
from korvane.run import Params, Registry

TABLES = ["customer", "orders", "lineitem", "supplier", "nation", "region"]
PARTS = 16
QUERIES = ["q3", "q5"]

Rows = list[list[str]]


# The data.

def tpchgen() -> str:
    found = shutil.which("tpchgen-cli") or os.path.join(os.path.dirname(sys.executable),
                                                        "tpchgen-cli")
    if not os.path.exists(found):
        raise SystemExit("tpchgen-cli not found: pip install .[tpch] (or --skip-tpch)")
    return found


def ensure_data(cache: str, scale_factor: float) -> str:
    """The directory of the scale factor's tables, generated on first use. Generation writes
    into a scratch directory renamed into place at the end, so an interrupted run leaves
    nothing that a later one would take for data."""
    path = os.path.join(cache, f"tpch-sf{scale_factor:g}")
    if os.path.isdir(path):
        return path
    os.makedirs(cache, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix=".generating-", dir=cache)
    try:
        subprocess.run([tpchgen(), "parquet", "-s", f"{scale_factor:g}",
                        "--tables", ",".join(TABLES), "--parts", str(PARTS),
                        "--output-dir", scratch, "--quiet"], check=True)
        os.rename(scratch, path)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return path


def cents(value: Any) -> str:
    return str(Decimal(str(value)).quantize(Decimal("0.01"), rounding=ROUND_HALF_EVEN))


def day(value: Any) -> str:
    return pd.Timestamp(value).date().isoformat()


# The reference: the official queries' SQL.

SQL = {
    "q3": """
        select l_orderkey, sum(l_extendedprice * (1 - l_discount)) as revenue,
               o_orderdate, o_shippriority
        from customer, orders, lineitem
        where c_mktsegment = 'BUILDING' and c_custkey = o_custkey and l_orderkey = o_orderkey
          and o_orderdate < date '1995-03-15' and l_shipdate > date '1995-03-15'
        group by l_orderkey, o_orderdate, o_shippriority
        order by revenue desc, o_orderdate
        limit 10""",
    "q5": """
        select n_name, sum(l_extendedprice * (1 - l_discount)) as revenue
        from customer, orders, lineitem, supplier, nation, region
        where c_custkey = o_custkey and l_orderkey = o_orderkey and l_suppkey = s_suppkey
          and c_nationkey = s_nationkey and s_nationkey = n_nationkey
          and n_regionkey = r_regionkey and r_name = 'ASIA'
          and o_orderdate >= date '1994-01-01'
          and o_orderdate < date '1994-01-01' + interval '1' year
        group by n_name
        order by revenue desc""",
}


def reference_answers(data: str) -> dict[str, Rows]:
    import duckdb
    con = duckdb.connect()
    for table in TABLES:
        glob = os.path.join(data, table, "*.parquet").replace("'", "''")
        con.execute(f"create view {table} as select * from read_parquet('{glob}')")
    q3 = [[str(k), cents(r), day(d), str(p)] for k, r, d, p in con.execute(SQL["q3"]).fetchall()]
    q5 = [[str(n), cents(r)] for n, r in con.execute(SQL["q5"]).fetchall()]
    return {"q3": q3, "q5": q5}


# The final groupings: q3's ten largest orders by revenue, q5's revenue by nation.

Q3_GROUP = ["l_orderkey", "o_orderdate", "o_shippriority"]


def q3_top(frame: pd.DataFrame, limit: int) -> pd.DataFrame:
    ordered = frame.sort_values(["revenue", "o_orderdate"], ascending=[False, True])
    return ordered.head(limit)


def q3_rows(top: pd.DataFrame) -> Rows:
    return [[str(k), cents(r), day(d), str(p)] for k, r, d, p in
            zip(top["l_orderkey"], top["revenue"], top["o_orderdate"], top["o_shippriority"])]


def q3_step(params: Params, frame: pd.DataFrame) -> pd.DataFrame:
    # Both join inputs were exchanged by order key, so each order's lines are all in this
    # partition: its group is complete here, and only the partition's top orders can be
    # among the top overall.
    grouped = frame.groupby(Q3_GROUP, as_index=False)["revenue"].sum()
    return q3_top(grouped, int(params["limit"]))


def q3_combine(params: Params, partials: list[pd.DataFrame]) -> pd.DataFrame:
    return q3_top(pd.concat(partials, ignore_index=True), int(params["limit"]))


def q5_step(params: Params, frame: pd.DataFrame) -> pd.Series:
    return frame.groupby("n_name")["revenue"].sum()


def q5_combine(params: Params, partials: list[pd.Series]) -> pd.Series:
    return pd.concat(partials).groupby(level=0).sum()


def q5_rows(by_nation: pd.Series) -> Rows:
    ordered = by_nation.sort_values(ascending=False)
    return [[str(n), cents(r)] for n, r in ordered.items()]


def register(r: Registry) -> None:
    r.reduction("q3_top", step=q3_step, combine=q3_combine)
    r.reduction("q5_revenue", step=q5_step, combine=q5_combine)


# The korvane pipelines.

class Query:
    """Recording helpers over one store."""

    def __init__(self, data: str, partitions: int) -> None:
        self.s = kc.GraphStore()
        self.data = data
        self.partitions = partitions

    def table(self, name: str, columns: list[str]) -> int:
        return self.s.add_source("parquet", {"path": os.path.join(self.data, name),
                                             "columns": ",".join(columns)})

    def where(self, node: int, column: str, cmp: str, value: str, date: bool = False) -> int:
        return self.s.add_op("where", [node], {"column": column, "cmp": cmp, "value": value,
                                               "date": date})

    def select(self, node: int, columns: list[str]) -> int:
        return self.s.add_op("select", [node], {"columns": ",".join(columns)})

    def by(self, node: int, key: str) -> int:
        return self.s.add_exchange([node], {"key": key, "partitions": self.partitions})

    def join(self, left: int, right: int, left_on: str, right_on: str) -> int:
        return self.s.add_join([left, right], {"left_on": left_on, "right_on": right_on})

    def shuffled_join(self, left: int, right: int, left_on: str, right_on: str) -> int:
        return self.join(self.by(left, left_on), self.by(right, right_on), left_on, right_on)

    def collect(self, node: int) -> int:
        return self.s.add_reduction("collect", [node])


def q3_store(data: str, partitions: int) -> tuple[kc.GraphStore, int]:
    q = Query(data, partitions)
    customer = q.table("customer", ["c_custkey", "c_mktsegment"])
    customer = q.select(q.where(customer, "c_mktsegment", "==", "BUILDING"), ["c_custkey"])
    orders = q.table("orders", ["o_orderkey", "o_custkey", "o_orderdate", "o_shippriority"])
    orders = q.where(orders, "o_orderdate", "<", "1995-03-15", date=True)
    orders = q.select(q.shuffled_join(customer, orders, "c_custkey", "o_custkey"),
                      ["o_orderkey", "o_orderdate", "o_shippriority"])
    lineitem = q.table("lineitem", ["l_orderkey", "l_extendedprice", "l_discount", "l_shipdate"])
    lineitem = q.where(lineitem, "l_shipdate", ">", "1995-03-15", date=True)
    lineitem = q.select(q.s.add_op("revenue", [lineitem]), ["l_orderkey", "revenue"])
    joined = q.shuffled_join(orders, lineitem, "o_orderkey", "l_orderkey")
    return q.s, q.s.add_reduction("q3_top", [joined], {"limit": 10})


def q5_store(data: str, partitions: int) -> tuple[kc.GraphStore, int]:
    q = Query(data, partitions)
    region = q.table("region", ["r_regionkey", "r_name"])
    region = q.collect(q.select(q.where(region, "r_name", "==", "ASIA"), ["r_regionkey"]))
    nation = q.table("nation", ["n_nationkey", "n_name", "n_regionkey"])
    nations = q.collect(q.select(q.join(nation, region, "n_regionkey", "r_regionkey"),
                                 ["n_nationkey", "n_name"]))
    supplier = q.table("supplier", ["s_suppkey", "s_nationkey"])
    suppliers = q.collect(q.join(supplier, nations, "s_nationkey", "n_nationkey"))
    customer = q.table("customer", ["c_custkey", "c_nationkey"])
    orders = q.table("orders", ["o_orderkey", "o_custkey", "o_orderdate"])
    orders = q.where(orders, "o_orderdate", ">=", "1994-01-01", date=True)
    orders = q.where(orders, "o_orderdate", "<", "1995-01-01", date=True)
    orders = q.select(orders, ["o_orderkey", "o_custkey"])
    orders = q.select(q.shuffled_join(customer, orders, "c_custkey", "o_custkey"),
                      ["o_orderkey", "c_nationkey"])
    lineitem = q.table("lineitem", ["l_orderkey", "l_suppkey", "l_extendedprice", "l_discount"])
    lineitem = q.select(q.s.add_op("revenue", [lineitem]), ["l_orderkey", "l_suppkey", "revenue"])
    lines = q.select(q.shuffled_join(orders, lineitem, "o_orderkey", "l_orderkey"),
                     ["l_suppkey", "c_nationkey", "revenue"])
    named = q.join(lines, suppliers, "l_suppkey,c_nationkey", "s_suppkey,s_nationkey")
    return q.s, q.s.add_reduction("q5_revenue", [named])


KORVANE = {"q3": (q3_store, q3_rows), "q5": (q5_store, q5_rows)}


# The same queries in dask.dataframe.

def dask_q3(data: str) -> Any:
    import dask.dataframe as dd
    customer = dd.read_parquet(os.path.join(data, "customer"))
    orders = dd.read_parquet(os.path.join(data, "orders"))
    lineitem = dd.read_parquet(os.path.join(data, "lineitem"))
    cutoff = datetime.date(1995, 3, 15)
    customer = customer[customer.c_mktsegment == "BUILDING"]
    orders = orders[orders.o_orderdate < cutoff]
    lineitem = lineitem[lineitem.l_shipdate > cutoff]
    joined = (customer.merge(orders, left_on="c_custkey", right_on="o_custkey")
              .merge(lineitem, left_on="o_orderkey", right_on="l_orderkey"))
    joined["revenue"] = joined.l_extendedprice * (1 - joined.l_discount)
    return joined.groupby(Q3_GROUP).revenue.sum().reset_index()


def dask_q5(data: str) -> Any:
    import dask.dataframe as dd

    def table(name: str) -> Any:
        return dd.read_parquet(os.path.join(data, name))
    region, nation, supplier = table("region"), table("nation"), table("supplier")
    customer, orders, lineitem = table("customer"), table("orders"), table("lineitem")
    region = region[region.r_name == "ASIA"]
    orders = orders[(orders.o_orderdate >= datetime.date(1994, 1, 1))
                    & (orders.o_orderdate < datetime.date(1995, 1, 1))]
    joined = (region.merge(nation, left_on="r_regionkey", right_on="n_regionkey")
              .merge(customer, left_on="n_nationkey", right_on="c_nationkey")
              .merge(orders, left_on="c_custkey", right_on="o_custkey")
              .merge(lineitem, left_on="o_orderkey", right_on="l_orderkey")
              .merge(supplier, left_on=["l_suppkey", "n_nationkey"],
                     right_on=["s_suppkey", "s_nationkey"]))
    joined["revenue"] = joined.l_extendedprice * (1 - joined.l_discount)
    return joined.groupby("n_name").revenue.sum()


def dask_q3_rows(grouped: pd.DataFrame) -> Rows:
    return q3_rows(q3_top(grouped, 10))


DASK = {"q3": (dask_q3, dask_q3_rows), "q5": (dask_q5, q5_rows)}
