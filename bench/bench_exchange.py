"""Exchanges on a cluster: the working tree's lowering against today's, on a shuffle-heavy
pipeline and on TPC-H queries 3 and 5 (with dask.dataframe and DuckDB alongside).

    python bench/bench_exchange.py [--scale 1.0] [--workers 4] [--partitions 16]
                                   [--baseline-commit 743aee6] [--skip-tpch]

Needs the bench extra (dask, distributed, pandas, pyarrow, psutil) and, for TPC-H, the tpch
extra (duckdb, tpchgen-cli). Run by hand; the test command never runs it.

Two sides, one after the other, each in its own process with its own LocalCluster of
--workers single-threaded worker processes on 127.0.0.1:

  baseline: the pure-Python `korvane` package as of --baseline-commit (exported from git
            into a scratch directory and put first on PYTHONPATH);
  new:      the working tree's `korvane` package (python/ first on PYTHONPATH).

Both use the installed korvane_core extension. The exchange's split is this benchmark's
hash split on both sides, or korvane.run.frames' split_by_hash on the new side where that
module has it in the registry's exchange form.

Workload 1: two generated inputs (256 MB in all at scale 1), each exchanged by key into
--partitions partitions, joined and aggregated. Per side: wall time (lowering included),
bytes moved between workers (distributed's counters), the exchange data that must change
worker given where tasks ran (the ideal: pieces in the new lowering, whole split lists
today), moved / ideal, the workers' peak resident memory and its largest rise, and the task
count; the two answers must agree.

Workload 2: TPC-H q3 and q5 at scale factor --scale on tpchgen-cli's Parquet (generated
once into bench/.data/): the korvane pipelines on both sides, and dask.dataframe on the new
side's cluster; time and bytes moved. Every answer must equal DuckDB's running the official
SQL, to the cent.

Prints the machine's load, then each table: figure, new, baseline measured in the same run,
ratio. Exits 1 when any answer differs.
"""

from __future__ import annotations

import argparse
import importlib
import io
import json
import logging
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
from typing import Any

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
DEFAULT_BASELINE = "743aee6"
SIDES = ["baseline", "new"]
MB = 1e6


# The parent: prepare, run both sides, print.

def export_package(commit: str, into: str) -> str:
    """The pure-Python package as of `commit`, under into/python/korvane; returns into/python."""
    archive = subprocess.run(["git", "-C", ROOT, "archive", "--format=tar", commit, "python/korvane"],
                             check=True, capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        tar.extractall(into, filter="data")
    return os.path.join(into, "python")


def run_side(side: str, python_dir: str, config: dict[str, Any], scratch: str) -> dict[str, Any]:
    """One side in its own process, korvane imported from `python_dir`."""
    config_path = os.path.join(scratch, f"{side}-config.json")
    result_path = os.path.join(scratch, f"{side}-result.json")
    with open(config_path, "w") as f:
        json.dump({**config, "side": side, "korvane_dir": python_dir}, f)
    paths = [python_dir, BENCH, *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(paths)}
    subprocess.run([sys.executable, __file__, "--side", config_path, result_path], check=True,
                   env=env)
    with open(result_path) as f:
        result: dict[str, Any] = json.load(f)
    return result


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


class Table:
    def __init__(self, title: str, measured: str, baseline: str) -> None:
        print(f"\n{title}")
        print(f"{'figure':<58}  {measured:>18}  {baseline:>18}  ratio")

    def row(self, figure: str, value: float, baseline: float, unit: str, ratio_of: str) -> None:
        ratio = f"{value / baseline:.2f}x {ratio_of}" if baseline else "-"
        print(f"{figure:<58}  {self.cell(value, unit):>18}  {self.cell(baseline, unit):>18}  {ratio}")

    def text(self, figure: str, value: str, baseline: str, note: str = "") -> None:
        print(f"{figure:<58}  {value:>18}  {baseline:>18}  {note}")

    @staticmethod
    def cell(value: float, unit: str) -> str:
        if unit == "s":
            return f"{value:.2f} s"
        if unit == "MB":
            return f"{value / MB:,.1f} MB"
        if unit == "x":
            return f"{value:.2f}x"
        return f"{value:,.0f}"


def over_ideal(run: dict[str, Any]) -> str:
    # No exchange data changed worker: one worker, or keys this benchmark does not recognize.
    return Table.cell(run["moved"] / run["ideal"], "x") if run["ideal"] else "-"


def moved_cell(run: dict[str, Any]) -> str:
    return Table.cell(run["moved"], "MB") + ("" if run["p2p_counted"] else " + uncounted p2p")


def print_shuffle(new: dict[str, Any], old: dict[str, Any], commit: str, workers: int) -> bool:
    a, b = new["shuffle"], old["shuffle"]
    table = Table(f"Workload 1: shuffle, join, aggregate ({a['input_bytes'] / MB:,.1f} MB in, "
                  f"{a['partitions']} x {a['partitions']} pieces per exchange, {workers} workers)",
                  "new lowering", f"today's ({commit})")
    table.row("wall time (target: not above today's)", a["wall"], b["wall"], "s", "the time")
    table.row("bytes moved between workers", a["moved"], b["moved"], "MB", "the bytes")
    table.row("exchange data that must change worker (ideal)", a["ideal"], b["ideal"], "MB",
              "the bytes")
    table.text("moved / ideal (target <= 1.25x)", over_ideal(a), over_ideal(b),
               "today's ideal: whole split lists")
    table.row(f"peak worker resident memory (max of {workers})", a["peak_rss"], b["peak_rss"],
              "MB", "the memory")
    table.row("largest rise of one worker's resident memory", a["rss_rise"], b["rss_rise"],
              "MB", "the memory")
    table.row("tasks", a["tasks"], b["tasks"], "n", "the tasks")
    table.text("exchange split", new["split"], old["split"])
    from exchange_shuffle import same_answer
    same = same_answer(a["answer"], b["answer"])
    table.text("answer (sums by group)", f"{len(a['answer']['g'])} groups",
               f"{len(b['answer']['g'])} groups", "equal" if same else "DIFFER")
    return same


def print_tpch(new: dict[str, Any], old: dict[str, Any], reference: dict[str, Any],
               commit: str, scale_factor: float) -> bool:
    ok = True
    table = Table(f"Workload 2: TPC-H at scale factor {scale_factor:g} (answers against DuckDB)",
                  "korvane", "dask.dataframe")
    for query in reference:
        dask = new["tpch"][query]["dask"]
        for label, side in (("new lowering", new), (f"today's, {commit}", old)):
            run = side["tpch"][query]["korvane"]
            table.row(f"{query} wall time, korvane ({label})", run["wall"], dask["wall"], "s",
                      "the time")
            table.text(f"{query} bytes moved, korvane ({label})", moved_cell(run),
                       moved_cell(dask), f"{run['moved'] / dask['moved']:.2f}x the bytes"
                       if dask["moved"] else "-")
        verdicts = []
        for label, answer in (("new", new["tpch"][query]["korvane"]["answer"]),
                              ("today's", old["tpch"][query]["korvane"]["answer"]),
                              ("dask.dataframe", dask["answer"])):
            same = answer == reference[query]
            ok = ok and same
            verdicts.append(f"{label} {'equal' if same else 'DIFFERS'}")
        table.text(f"{query} answer ({len(reference[query])} rows) against DuckDB",
                   "", "", ", ".join(verdicts))
    return ok


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0,
                        help="data size: workload 1's rows and TPC-H's scale factor (default 1)")
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--partitions", type=int, default=16,
                        help="workload 1's input partitions, and every exchange's outputs")
    parser.add_argument("--baseline-commit", default=DEFAULT_BASELINE)
    parser.add_argument("--skip-tpch", action="store_true")
    parser.add_argument("--data-dir", default=os.path.join(BENCH, ".data"),
                        help="where TPC-H data is generated and kept")
    args = parser.parse_args(argv)
    # This process reads the TPC-H data and checks answers with the working tree's modules;
    # each side imports its own package.
    sys.path.insert(1, os.path.join(ROOT, "python"))

    print(f"load average at start: {load()} ({os.cpu_count()} cores)", flush=True)
    scale_factor = args.scale
    config: dict[str, Any] = {"scale": args.scale, "workers": args.workers,
                              "partitions": args.partitions, "tpch_data": None}
    reference = None
    if not args.skip_tpch:
        from exchange_tpch import ensure_data, reference_answers
        config["tpch_data"] = ensure_data(args.data_dir, scale_factor)
        reference = reference_answers(config["tpch_data"])

    scratch = tempfile.mkdtemp(prefix="bench-exchange-")
    try:
        sides = {"baseline": export_package(args.baseline_commit, os.path.join(scratch, "baseline")),
                 "new": os.path.join(ROOT, "python")}
        results = {side: run_side(side, sides[side], config, scratch) for side in SIDES}
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    ok = print_shuffle(results["new"], results["baseline"], args.baseline_commit, args.workers)
    if reference is not None:
        ok = print_tpch(results["new"], results["baseline"], reference, args.baseline_commit,
                        scale_factor) and ok
    print(f"\nload average at end: {load()}")
    return 0 if ok else 1


# A side: its own cluster, every workload, the figures written as JSON.

def progress(side: str, text: str) -> None:
    print(f"[{side}] {text}", file=sys.stderr, flush=True)


def warm(dask_worker: Any) -> None:
    """Imports what the tasks use, so the first measured run does not pay for it."""
    for name in ("numpy", "pandas", "pyarrow.parquet", "korvane.run", "exchange_registry",
                 "exchange_shuffle", "exchange_tpch", "dask.dataframe"):
        importlib.import_module(name)


def korvane_run(client: Any, pids: list[int], store: Any, registry: Any, output: int) -> Any:
    """The run, and how many tasks the lowering made. Lowering is timed with the computation,
    as dask.dataframe's graph building and optimization are on its side."""
    from exchange_metrics import measured
    from korvane.run import lower
    tasks = []

    def compute() -> tuple[Any, list[Any]]:
        lowered = lower(store, registry, [output])
        tasks.append(len(lowered.graph))
        keys = [k for target in lowered.keys()
                for k in (target if isinstance(target, list) else [target])]
        return lowered.compute(client)[output], keys
    return measured(client, pids, compute), tasks[0]


def dask_run(client: Any, pids: list[int], collection: Any) -> Any:
    from exchange_metrics import measured

    def compute() -> tuple[Any, list[Any]]:
        future = client.compute(collection)
        return future.result(), [future.key]
    return measured(client, pids, compute)


def figures(run: Any, **extra: Any) -> dict[str, Any]:
    return {"wall": run.wall, "moved": run.moved, "p2p_counted": run.p2p_counted,
            "peak_rss": run.peak_rss, "rss_rise": run.rss_rise, **extra}


def side_main(config_path: str, result_path: str) -> None:
    with open(config_path) as f:
        config = json.load(f)
    side = config["side"]
    import korvane
    if not os.path.abspath(korvane.__file__).startswith(os.path.abspath(config["korvane_dir"])):
        raise SystemExit(f"[{side}] imported korvane from {korvane.__file__}, "
                         f"not from {config['korvane_dir']}")
    from distributed import Client, LocalCluster

    import exchange_registry
    import exchange_shuffle
    import exchange_tpch
    from exchange_metrics import exchange_bytes_changing_worker, instrument

    split, concat, origin = exchange_registry.exchange_functions(prefer_frames=side == "new")

    def registry() -> Any:
        # A registry per run: its token keeps each run's task keys apart on the cluster.
        r = exchange_registry.registry(split, concat)
        exchange_shuffle.register(r)
        exchange_tpch.register(r)
        return r

    result: dict[str, Any] = {"split": origin, "tpch": {}}
    with LocalCluster(n_workers=config["workers"], threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        pids = instrument(client)
        client.run(warm)

        size = exchange_shuffle.ShuffleSize.scaled(config["scale"], config["partitions"])
        store, output = exchange_shuffle.store(size)
        run, tasks = korvane_run(client, pids, store, registry(), output)
        result["shuffle"] = figures(
            run, ideal=exchange_bytes_changing_worker(run.placements), tasks=tasks,
            input_bytes=size.input_bytes(), partitions=size.partitions,
            answer=exchange_shuffle.answer(run.value))
        progress(side, f"workload 1: {run.wall:.2f} s")

        data = config["tpch_data"]
        if data is not None:
            for query in exchange_tpch.QUERIES:
                make_store, rows = exchange_tpch.KORVANE[query]
                store, output = make_store(data, config["partitions"])
                run, tasks = korvane_run(client, pids, store, registry(), output)
                result["tpch"][query] = {"korvane": figures(run, tasks=tasks,
                                                            answer=rows(run.value))}
                progress(side, f"TPC-H {query}, korvane: {run.wall:.2f} s")
            if side == "new":
                for query in exchange_tpch.QUERIES:
                    query_of, rows = exchange_tpch.DASK[query]
                    run = dask_run(client, pids, query_of(data))
                    result["tpch"][query]["dask"] = figures(run, answer=rows(run.value))
                    progress(side, f"TPC-H {query}, dask.dataframe: {run.wall:.2f} s")
    with open(result_path, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--side":
        side_main(sys.argv[2], sys.argv[3])
    else:
        sys.exit(main())
