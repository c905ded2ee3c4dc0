"""Keep a pipeline's results between runs, and rerun only what an edit changed.

Runs anywhere the package does (plain Python lists, no extras), in a second or so:

    python3 examples/cache.py

The pipeline reads sensor readings in four partitions, drops outliers, and builds two
outputs from the clean readings: the total of a calibrated sum (doubled + shifted readings)
and the peak of the shifted readings. It runs three times with one cache in a temporary
directory, counting every call of the user's functions:

1. cold: everything is computed, and the outputs and the clean readings are stored;
2. after editing the calibration ("scale", re-registered with version="2"): the peak and the
   clean readings are loaded; only what the edit changed is computed;
3. the same pipeline recorded in another order, its sum written the other way round and with
   an identity step (adding 0.0) in it: every output is loaded, and no user function runs.
"""

from __future__ import annotations

import random
import tempfile
from collections import Counter
from collections.abc import Callable
from typing import Any, TypeVar

import korvane_core as kc
from korvane.run import Cache, Params, Registry, run_local

F = TypeVar("F", bound=Callable[..., Any])
CALLS: Counter[str] = Counter()
READINGS: Params = {"parts": 4, "rows": 50, "seed": 7}


def counted(name: str) -> Callable[[F], F]:
    """Counts the calls of a user function under `name`."""
    def wrap(fn: F) -> F:
        def call(*args: Any) -> Any:
            CALLS[name] += 1
            return fn(*args)
        # The cache identifies `call` by its code and what it captured: `fn` among them, so
        # each wrapped function keeps an identity of its own.
        return call  # type: ignore[return-value]
    return wrap


def read(params: Params, i: int) -> list[int]:
    rng = random.Random(int(params["seed"]) * 1000 + i)
    return [rng.randrange(-20, 200) for _ in range(int(params["rows"]))]


def registry(scale_version: str = "1") -> Registry:
    r = Registry()
    r.source("readings", partitions=lambda p: int(p["parts"]))(counted("readings")(read))

    @r.op("clean")
    @counted("clean")
    def clean(p: Params, part: list[int]) -> list[int]:
        return [x for x in part if 0 <= x <= int(p["limit"])]

    if scale_version == "1":
        @r.op("scale", version="1")
        @counted("scale")
        def scale(p: Params, part: list[int]) -> list[int]:
            return [x * int(p["by"]) for x in part]
    else:
        # The edit: the calibration now also adds its offset.
        @r.op("scale", version="2")
        @counted("scale")
        def scale_v2(p: Params, part: list[int]) -> list[int]:
            return [x * int(p["by"]) + 1 for x in part]

    @r.op("shift")
    @counted("shift")
    def shift(p: Params, part: list[int]) -> list[int]:
        return [x + int(p["by"]) for x in part]

    @r.op("add")
    @counted("add")
    def add(p: Params, left: list[Any], right: list[Any] | None = None) -> list[Any]:
        if right is None:  # the identity form, add(x, scalar=0.0)
            return [x + p["scalar"] for x in left]
        return [a + b for a, b in zip(left, right, strict=True)]

    r.reduction("sum", step=counted("sum")(lambda p, part: sum(part)),
                combine=counted("sum")(lambda p, partials: sum(partials)))
    r.reduction("max", step=counted("max")(lambda p, part: max(part, default=0)),
                combine=counted("max")(lambda p, partials: max(partials)))
    return r


def record(variant: bool = False) -> tuple[kc.GraphStore, dict[str, int], int]:
    """The pipeline: its store, its outputs by name, and the clean readings' node. The
    variant records the peak first, writes the sum as add(shifted, doubled) and adds 0.0 to
    the shifted readings before they are summed."""
    s = kc.GraphStore()
    readings = s.add_source("readings", dict(READINGS))
    clean = s.add_op("clean", [readings], {"limit": 150})
    if not variant:
        doubled = s.add_op("scale", [clean], {"by": 2})
        shifted = s.add_op("shift", [clean], {"by": 10})
        total = s.add_reduction("sum", [s.add_op("add", [doubled, shifted])])
        peak = s.add_reduction("max", [shifted])
    else:
        shifted = s.add_op("shift", [clean], {"by": 10})
        peak = s.add_reduction("max", [shifted])
        same = s.add_op("add", [shifted], {"scalar": 0.0, "side": "r"})
        doubled = s.add_op("scale", [clean], {"by": 2})
        total = s.add_reduction("sum", [s.add_op("add", [same, doubled])])
    return s, {"total": total, "peak": peak}, clean


def names(ids: Any, of: dict[str, int]) -> str:
    """The names of the nodes among `ids`, for printing."""
    return ", ".join(sorted(name for name, node in of.items() if node in ids)) or "none"


def run(title: str, cache: Cache, reg: Registry, variant: bool = False) -> dict[str, Any]:
    store, outputs, clean = record(variant)
    CALLS.clear()
    # Besides the outputs, keep the clean readings: an edit after them starts from there.
    results = run_local(store, reg, list(outputs.values()), cache=cache,
                        cache_nodes=[*outputs.values(), clean])
    named = {**outputs, "clean": clean}
    values = {name: results[node] for name, node in outputs.items()}
    print(f"{title}: total={values['total']} peak={values['peak']}")
    print(f"  loaded: {names(results.loaded, named)}; stored: {names(results.stored, named)}")
    calls = ", ".join(f"{name} {count}" for name, count in sorted(CALLS.items()))
    print(f"  user calls: {sum(CALLS.values())} ({calls or 'none'})")
    return values


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="korvane-cache-example-") as location:
        cache = Cache(location)
        first = run("cold run", cache, registry())
        edited = run("after editing scale (version 2)", cache, registry(scale_version="2"))
        again = run("reordered, commuted variant", cache, registry(scale_version="2"),
                    variant=True)
        print(f"cache.stats(): {cache.stats()}")
    ok = edited["peak"] == first["peak"] and edited["total"] != first["total"] and again == edited
    print("as expected" if ok else "NOT AS EXPECTED")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
