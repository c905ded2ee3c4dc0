"""Build a small pipeline, look at it, reduce it and save it.

Run after installing the package:  python3 examples/quickstart.py [OUTDIR]
"""

import pprint
import sys
from pathlib import Path

import korvane_core as kc


def build(store: kc.GraphStore) -> dict[str, int]:
    """Record a pipeline: two sources, map/filter chains, a join and a reduction."""
    ids: dict[str, int] = {}
    ids["events"] = store.add_source("read_parquet", {"path": "events.parquet"})
    ids["users"] = store.add_source("read_csv", {"path": "users.csv", "header": True})

    ids["clean"] = store.add_op("dropna", [ids["events"]])
    ids["scaled"] = store.add_op("mul", [ids["clean"]], {"scalar": 2.5, "side": "r"})
    # An identity operation (adding 0.0): the optimizer removes it.
    ids["noop"] = store.add_op("add", [ids["scaled"]], {"scalar": 0.0, "side": "r"})
    ids["recent"] = store.add_op("filter", [ids["noop"]], {"column": "ts", "after": 1_700_000_000})

    # The same sum written both ways round: commuted duplicates.
    ids["total_a"] = store.add_op("add", [ids["recent"], ids["users"]])
    ids["total_b"] = store.add_op("add", [ids["users"], ids["recent"]])
    ids["both"] = store.add_op("maximum", [ids["total_a"], ids["total_b"]])

    ids["shuffled"] = store.add_exchange([ids["both"]], {"scheme": "hash", "partitions": 8})
    ids["joined"] = store.add_join([ids["shuffled"], ids["users"]], {"on": "user_id"})
    model = kc.PayloadDescriptor(
        kind="onnx",
        content_hash="sha256:0f1e2d",
        framework="onnxruntime",
        version="1.18",
        io_schema="f32[n,16]->f32[n]",
    )
    ids["scored"] = store.add_external(model, [ids["joined"]], {"batch": 256})
    ids["summary"] = store.add_reduction("mean", [ids["scored"]], {"axis": 0})

    # Recording an equal node again returns the existing id.
    assert store.add_op("dropna", [ids["events"]]) == ids["clean"]
    return ids


def main(outdir: Path) -> None:
    outdir.mkdir(parents=True, exist_ok=True)
    store = kc.GraphStore()
    ids = build(store)
    print(f"korvane_core {kc.version()}: {store.node_count()} nodes recorded")
    pprint.pprint(store.nodes(), width=110, sort_dicts=False)

    dot_path = outdir / "pipeline.dot"
    dot_path.write_text(store.to_dot())
    print(f"DOT text written to {dot_path}")

    reduced, report = store.reduce(outputs=[ids["summary"]])
    print("\nreduction report:")
    for key in ("input_nodes", "reachable_nodes", "canonical_nodes", "stages",
                "reduced_nodes", "boundary_nodes"):
        print(f"  {key:16} {report[key]}")
    names = {v: k for k, v in ids.items()}
    print("\nwhere each node landed:")
    for old_id, landing in enumerate(reduced.node_map()):
        where = "dropped" if landing is None else (
            f"node {landing[0]}" if landing[1] is None else f"member {landing[1]} of stage {landing[0]}")
        print(f"  {old_id:2} {names.get(old_id, ''):10} -> {where}")
    (outdir / "reduced.dot").write_text(reduced.to_dot())

    blob = store.serialize(outputs=[ids["summary"]])
    (outdir / "pipeline.kir").write_bytes(blob)
    again = kc.GraphStore.deserialize(blob)
    assert again.serialize() == blob
    print(f"\nblob of {len(blob)} bytes written to {outdir / 'pipeline.kir'}; round trip is byte-identical")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("quickstart-out"))
