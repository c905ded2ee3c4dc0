"""Record a pandas pipeline, reduce it, and run it on dask: on a two-worker cluster on this
machine, or on the threaded scheduler. Then do the same computation directly in pandas on
the whole data and check that the answers agree.

Run after installing the package with its dask extra and pandas:

    python3 -m pip install .[dask] pandas && python3 examples/run_on_dask.py [--scheduler threads]

The pipeline: events and users are read in partitions; the events go through a filter,
fillna, currency conversion chain; the net amount is built twice (amount + fee and
fee + amount, as two parts of a code base would); both tables are shuffled by user and
joined; a model scores the joined rows; reductions give the mean score, the revenue and the
number of active users per country.
"""

from __future__ import annotations

import argparse
import hashlib
import math
import sys
import time
from typing import Any

import numpy as np
import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

import korvane_core as kc
from korvane.run import Params, Registry, lower, run_local

EVENTS: Params = {"parts": 8, "rows": 400, "seed": 11}
USERS: Params = {"parts": 4, "users": 300, "seed": 5}
SHUFFLE = 6
RATE = 0.92
MODEL = kc.PayloadDescriptor(kind="linear", content_hash="sha256:5e1f", framework="numpy",
                             version="2", io_schema="amount,net,age -> score")


# The data: partitions are generated from their number, so any process can read any of them.

def read_events(params: Params, i: int) -> Any:
    rng = np.random.default_rng([int(params["seed"]), i])
    rows = int(params["rows"])
    fee = rng.uniform(0, 3, rows).round(2)
    fee[rng.random(rows) < 0.1] = np.nan
    return pd.DataFrame({
        "user_id": rng.integers(0, 400, rows),
        "ts": rng.integers(1_716_000_000, 1_720_000_000, rows),
        "amount": rng.uniform(1, 100, rows).round(2),
        "fee": fee,
    })


def read_users(params: Params, i: int) -> Any:
    users = int(params["users"])
    per_part = -(-users // int(params["parts"]))
    ids = np.arange(i * per_part, min((i + 1) * per_part, users))
    rng = np.random.default_rng([int(params["seed"]), i])
    return pd.DataFrame({
        "user_id": ids,
        "country": rng.choice(["DE", "FR", "NL", "PL"], len(ids)),
        "active": rng.random(len(ids)) < 0.8,
        "age": rng.integers(18, 80, len(ids)),
    })


def load_model(descriptor: Any) -> dict[str, float]:
    # A real loader would fetch the weights the content hash names; here they derive from it.
    seed = int(hashlib.sha256(descriptor["content_hash"].encode()).hexdigest()[:8], 16)
    weights = np.random.default_rng(seed).uniform(-1, 1, 3)
    return dict(zip(["amount", "net", "age"], weights.tolist()))


def score(weights: dict[str, float], params: Params, frame: Any) -> Any:
    total = sum(frame[column] * weight for column, weight in weights.items())
    return frame.assign(score=total / float(params["scale"]))


def registry() -> Registry:
    r = Registry()
    r.source("read_events", partitions=lambda p: int(p["parts"]))(read_events)
    r.source("read_users", partitions=lambda p: int(p["parts"]))(read_users)
    r.op("filter_min")(lambda p, df: df[df[str(p["column"])] >= p["min"]])
    r.op("filter_true")(lambda p, df: df[df[str(p["column"])]])
    r.op("fillna")(lambda p, df: df.fillna({str(p["column"]): p["value"]}))
    r.op("scale")(lambda p, df: df.assign(**{str(p["column"]): df[str(p["column"])] * p["factor"]}))
    r.op("col")(lambda p, df: df[str(p["name"])])
    r.op("add")(lambda p, a, b: a + b)
    r.op("with_column")(lambda p, df, values: df.assign(**{str(p["name"]): values}))
    r.op("select")(lambda p, df: df[str(p["columns"]).split(",")])
    r.exchange(split=lambda p, df, n: [df[df[str(p["key"])] % n == j] for j in range(n)],
               concat=lambda p, pieces: pd.concat(pieces, ignore_index=True))
    r.join(lambda p, left, right: left.merge(right, on=str(p["on"]), how=str(p["how"])))
    r.external("linear", load=load_model, apply=score)
    r.reduction("mean", step=lambda p, df: (df[str(p["column"])].sum(), len(df)),
                combine=lambda p, parts: (sum(s for s, _ in parts), sum(n for _, n in parts)),
                finish=lambda p, merged: merged[0] / merged[1])
    r.reduction("sum", step=lambda p, df: df[str(p["column"])].sum(),
                combine=lambda p, parts: sum(parts))
    r.reduction("count_by", step=lambda p, df: df[str(p["column"])].value_counts(),
                combine=lambda p, parts: pd.concat(parts).groupby(level=0).sum(),
                finish=lambda p, counts: counts.sort_index().to_dict())
    return r


def record() -> tuple[kc.GraphStore, dict[str, int]]:
    """The pipeline; returns the store and its outputs by name."""
    s = kc.GraphStore()
    events = s.add_source("read_events", dict(EVENTS))
    recent = s.add_op("filter_min", [events], {"column": "ts", "min": 1_717_200_000})
    clean = s.add_op("fillna", [recent], {"column": "fee", "value": 0.0})
    eur = s.add_op("scale", [clean], {"column": "amount", "factor": RATE})
    amount = s.add_op("col", [eur], {"name": "amount"})
    fee = s.add_op("col", [eur], {"name": "fee"})
    net = s.add_op("with_column", [eur, s.add_op("add", [amount, fee])], {"name": "net"})
    # The same sum, written the other way round elsewhere: the reduction merges the two.
    net_again = s.add_op("with_column", [eur, s.add_op("add", [fee, amount])], {"name": "net"})

    users = s.add_source("read_users", dict(USERS))
    active = s.add_op("filter_true", [users], {"column": "active"})
    slim = s.add_op("select", [active], {"columns": "user_id,country,age"})
    left = s.add_exchange([net], {"key": "user_id", "partitions": SHUFFLE})
    right = s.add_exchange([slim], {"key": "user_id", "partitions": SHUFFLE})
    joined = s.add_join([left, right], {"on": "user_id", "how": "inner"})
    scored = s.add_external(MODEL, [joined], {"scale": 10.0})
    outputs = {
        "mean score": s.add_reduction("mean", [scored], {"column": "score"}),
        "revenue": s.add_reduction("sum", [net_again], {"column": "net"}),
        "active users by country": s.add_reduction("count_by", [slim], {"column": "country"}),
    }
    s.add_op("select", [joined], {"columns": "user_id,net"})  # a preview: no output needs it
    return s, outputs


def in_pandas() -> dict[str, Any]:
    """The same computation on the whole data, with pandas alone."""
    events = pd.concat([read_events(EVENTS, i) for i in range(int(EVENTS["parts"]))])
    users = pd.concat([read_users(USERS, i) for i in range(int(USERS["parts"]))])
    events = events[events["ts"] >= 1_717_200_000].fillna({"fee": 0.0})
    events = events.assign(amount=events["amount"] * RATE)
    events = events.assign(net=events["amount"] + events["fee"])
    active = users[users["active"]][["user_id", "country", "age"]]
    scored = score(load_model({"content_hash": MODEL.content_hash}), {"scale": 10.0},
                   events.merge(active, on="user_id", how="inner"))
    return {
        "mean score": scored["score"].mean(),
        "revenue": events["net"].sum(),
        "active users by country": active["country"].value_counts().sort_index().to_dict(),
    }


def agree(got: Any, expected: Any) -> bool:
    """Equal, floats up to rounding (partitions add up in another order than pandas does)."""
    if isinstance(expected, dict):
        return got.keys() == expected.keys() and all(agree(got[k], expected[k]) for k in got)
    return math.isclose(got, expected, rel_tol=1e-9)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scheduler", choices=["cluster", "threads"], default="cluster")
    args = parser.parse_args()

    store, outputs = record()
    reduced, report = store.reduce(outputs=list(outputs.values()))
    recorded_graph = lower(store, registry(), list(outputs.values()))
    reduced_graph = lower(reduced, registry())
    print(f"recorded {store.node_count()} nodes; reduced to {report['reduced_nodes']} "
          f"({report['stages']} stages)")
    print(f"dask tasks: {len(recorded_graph.graph)} as recorded, {len(reduced_graph.graph)} reduced")

    if args.scheduler == "cluster":
        from distributed import Client, LocalCluster  # type: ignore[import-not-found, unused-ignore]

        # Two worker processes on this machine; a Client of a real cluster works the same.
        cluster = LocalCluster(n_workers=2, threads_per_worker=1,  # type: ignore[no-untyped-call, unused-ignore]
                               host="127.0.0.1", dashboard_address="127.0.0.1:0")
        with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call, unused-ignore]
            started = time.perf_counter()
            results = reduced_graph.compute(client)
    else:
        started = time.perf_counter()
        results = reduced_graph.compute("threads")
    print(f"computed on {args.scheduler} in {time.perf_counter() - started:.2f} s")

    expected = in_pandas()
    local = run_local(reduced, registry())
    ok = True
    for name, node in outputs.items():
        landed = reduced.node_map()[node]
        assert landed is not None
        got = results[landed[0]]
        same = agree(got, expected[name]) and agree(local[landed[0]], expected[name])
        ok = ok and same
        shown = got if isinstance(got, dict) else f"{got:.4f}"
        print(f"  {name}: {shown}  ({'equals' if same else 'DIFFERS FROM'} pandas on the whole data)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
