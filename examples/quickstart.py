"""Record a small scoring pipeline, reduce it, see where every node went, and save it.

Run after installing the package:

    python3 examples/quickstart.py [OUTDIR]        (default OUTDIR: quickstart-out)

It writes into OUTDIR the blob of the pipeline and of its reduced form (try
`korvane inspect OUTDIR/pipeline.kir`), their DOT texts, and, when Graphviz's `dot`
program is installed, before.png and after.png.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import korvane_core as kc


class Pipeline:
    """A GraphStore plus a few words about each node, for printing the node map."""

    def __init__(self) -> None:
        self.store = kc.GraphStore()
        self.about: dict[int, str] = {}

    def note(self, node_id: int, words: str) -> int:
        self.about.setdefault(node_id, words)
        return node_id


def record(p: Pipeline) -> list[int]:
    """Record the pipeline; returns its outputs: average score and total revenue."""
    s = p.store

    # Two sources.
    events = p.note(s.add_source("read_parquet", {"path": "lake/events/2024-06",
                                                  "columns": "user_id,ts,amount,fee"}),
                    "read the events")
    users = p.note(s.add_source("read_csv", {"path": "users.csv", "header": True}),
                   "read the users")

    # A map/filter chain on the events.
    recent = p.note(s.add_op("filter", [events], {"column": "ts", "min": 1_717_200_000}),
                    "keep June's events")
    clean = p.note(s.add_op("fillna", [recent], {"column": "fee", "value": 0.0}),
                   "missing fees are 0")
    eur = p.note(s.add_op("mul", [clean], {"scalar": 0.92, "side": "r", "column": "amount"}),
                 "amounts to EUR")
    # Adding 0.0 changes nothing: an identity operation the optimizer removes.
    shifted = p.note(s.add_op("add", [eur], {"scalar": 0.0, "side": "r"}),
                     "add a zero offset")

    # Net amount = amount + fee, written both ways round in two places of the code:
    # commuted duplicates, which the optimizer merges.
    amount = p.note(s.add_op("col", [shifted], {"name": "amount"}), "take the amount")
    fee = p.note(s.add_op("col", [shifted], {"name": "fee"}), "take the fee")
    net = p.note(s.add_op("add", [amount, fee]), "amount + fee")
    net_again = p.note(s.add_op("add", [fee, amount]), "fee + amount (the same sum)")

    # Recording an equal node again gives the same id: nothing new is stored.
    assert s.add_op("add", [amount, fee]) == net

    # A chain on the users, then a hash shuffle of both sides and a join.
    active = p.note(s.add_op("filter", [users], {"column": "active", "equals": True}),
                    "keep active users")
    slim = p.note(s.add_op("select", [active], {"columns": "user_id,country"}),
                  "keep two columns")
    left = p.note(s.add_exchange([net], {"scheme": "hash", "key": "user_id", "partitions": 8}),
                  "shuffle events by user")
    right = p.note(s.add_exchange([slim], {"scheme": "hash", "key": "user_id", "partitions": 8}),
                   "shuffle users by user")
    joined = p.note(s.add_join([left, right], {"on": "user_id", "how": "inner"}),
                    "join events with users")

    # An external model scores the joined rows.
    model = kc.PayloadDescriptor(kind="onnx", content_hash="sha256:9f2c4e1ab7d3",
                                 framework="onnxruntime", version="1.18.0",
                                 io_schema="f32[n,12] -> f32[n]")
    scores = p.note(s.add_external(model, [joined], {"batch_size": 512}), "score with the model")

    # Two reductions: the outputs.
    mean_score = p.note(s.add_reduction("mean", [scores], {"axis": 0}), "average score")
    revenue = p.note(s.add_reduction("sum", [net_again]), "total revenue")

    # A preview nobody asks for: dead code, dropped by the reduction.
    p.note(s.add_op("head", [joined], {"n": 20}), "preview 20 rows")
    return [mean_score, revenue]


def landing_in_words(landing: tuple[int, int | None] | None, reduced: kc.GraphStore) -> str:
    if landing is None:
        return "dropped (no output needs it)"
    node_id, member = landing
    node = reduced.nodes()[node_id]
    if member is None:
        return f"node {node_id} ({node['kind']} {node['name']})".replace(" )", ")")
    return f"member {member} of stage {node_id}"


def render(dot_text: str, png: Path) -> bool:
    """Draws the graph with Graphviz when it is installed; says so when it is not."""
    program = shutil.which("dot")
    if program is None:
        print(f"  (Graphviz's 'dot' is not installed: no {png.name})")
        return False
    subprocess.run([program, "-Tpng", "-Gdpi=80", "-o", str(png)], input=dot_text.encode(),
                   check=True)
    return True


def main(outdir: Path) -> None:
    outdir.mkdir(parents=True, exist_ok=True)
    p = Pipeline()
    outputs = record(p)
    store = p.store
    print(f"korvane_core {kc.version()}: recorded {store.node_count()} nodes, "
          f"outputs {outputs}")

    reduced, report = store.reduce(outputs=outputs)
    print("\nreduction report:")
    print(f"  {report['input_nodes']} nodes recorded, {report['reachable_nodes']} needed by "
          f"the outputs, {report['canonical_nodes']} after merging equal ones")
    print(f"  {report['reduced_nodes']} reduced nodes: {report['stages']} stages of fused "
          f"operations and {report['boundary_nodes']} boundary nodes")

    print("\nwhere each recorded node landed:")
    for old_id, landing in enumerate(reduced.node_map()):
        print(f"  {old_id:2}  {p.about[old_id]:28} -> {landing_in_words(landing, reduced)}")
    print(f"  outputs {outputs} -> {reduced.outputs()}")

    print("\nthe reduced stages:")
    for node in reduced.nodes():
        if node["kind"] == "stage":
            names = " -> ".join(member["name"] for member in node["members"])
            print(f"  stage {node['id']}: {names}  (reads nodes {node['inputs']})")

    # The blob carries the outputs, so tools can reduce it later on their own.
    blob = store.serialize(outputs=outputs)
    (outdir / "pipeline.kir").write_bytes(blob)
    (outdir / "reduced.kir").write_bytes(reduced.serialize())
    again = kc.GraphStore.deserialize(blob)
    assert again.serialize() == blob and again.outputs() == outputs
    print(f"\nwrote {outdir / 'pipeline.kir'} ({len(blob)} bytes; reading it back gives "
          f"the same bytes) and {outdir / 'reduced.kir'}")

    # The store read back from the blob has its outputs marked, so they show in the picture.
    for name, shown in (("before", again), ("after", reduced)):
        (outdir / f"{name}.dot").write_text(shown.to_dot())
    if render(again.to_dot(), outdir / "before.png") and render(reduced.to_dot(),
                                                                 outdir / "after.png"):
        print(f"drew {outdir / 'before.png'} and {outdir / 'after.png'}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("quickstart-out"))
