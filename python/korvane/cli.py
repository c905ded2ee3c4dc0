"""The ``korvane`` command: look at, draw, reduce and cut serialized IR files."""

from __future__ import annotations

import argparse
import os
import re
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Literal

import korvane_core

from korvane import graphviz, table

if TYPE_CHECKING:
    from korvane_core import ReductionReport

# Bad input: a missing or unreadable file, a corrupt blob, an unknown node id. The same status
# argparse uses for a bad command line, so scripts see one code for "your input is wrong".
BAD_INPUT = 2
# The input was fine but a picture could not be made (Graphviz missing or failing).
CANNOT_RENDER = 1

ReportKey = Literal["input_nodes", "reachable_nodes", "canonical_nodes", "stages",
                   "reduced_nodes", "boundary_nodes"]
REPORT_KEYS: tuple[ReportKey, ...] = ("input_nodes", "reachable_nodes", "canonical_nodes",
                                      "stages", "reduced_nodes", "boundary_nodes")


class Failure(Exception):
    """Ends the command with a message on standard error and an exit status."""

    def __init__(self, message: str, status: int = BAD_INPUT) -> None:
        super().__init__(message)
        self.status = status


def module_message(error: BaseException) -> str:
    """The module's message, followed by its notes (which argument it was about)."""
    notes = getattr(error, "__notes__", [])
    return "; ".join([str(error), *notes])


def node_ids(text: str) -> list[int]:
    """argparse type for --outputs: ids separated by commas; an empty text is an empty list."""
    pieces = [piece.strip() for piece in text.split(",")] if text.strip() else []
    for piece in pieces:
        if not re.fullmatch(r"[0-9]+", piece):
            raise argparse.ArgumentTypeError(
                f"not a node id: {piece!r} (give non-negative integers separated by commas, "
                f"such as 3,5)")
    return [int(piece) for piece in pieces]


def load(path: Path) -> korvane_core.GraphStore:
    try:
        data = path.read_bytes()
    except OSError as error:
        raise Failure(f"cannot read {path}: {error.strerror or error}") from None
    try:
        return korvane_core.GraphStore.deserialize(data)
    except ValueError as error:
        raise Failure(f"{path}: {module_message(error)}") from None


def save(path: Path, data: bytes) -> None:
    try:
        path.write_bytes(data)
    except OSError as error:
        raise Failure(f"cannot write {path}: {error.strerror or error}") from None


def print_report(report: ReductionReport) -> None:
    width = max(len(key) for key in REPORT_KEYS)
    for key in REPORT_KEYS:
        print(f"{key.ljust(width)}  {report[key]}")


def warn_if_nothing_marked(store: korvane_core.GraphStore, path: Path,
                           outputs: list[int] | None) -> None:
    if outputs is None and not store.outputs():
        print(f"note: {path} marks no outputs, so nothing is kept; choose some with --outputs",
              file=sys.stderr)


def cmd_inspect(args: argparse.Namespace) -> None:
    store = load(args.file)
    try:
        nodes = store.nodes()
    except ValueError as error:  # a stage member token that does not parse
        raise Failure(f"{args.file}: {module_message(error)}") from None
    print(f"{args.file}: " + "\n".join(table.summary(nodes, store.outputs())))
    print()
    print("\n".join(table.table(nodes)))


def output_format(args: argparse.Namespace) -> str:
    if args.format is not None:
        return str(args.format)
    if args.output is not None and args.output.suffix.lower() in (".svg", ".png"):
        return str(args.output.suffix.lower()[1:])
    return "dot"


def cmd_dot(args: argparse.Namespace) -> None:
    store = load(args.file)
    fmt = output_format(args)
    if args.output is None and fmt == "png" and sys.stdout.isatty():
        raise Failure("will not write a PNG picture to a terminal; use -o FILE")
    try:
        data = graphviz.render(store.to_dot(), fmt)
    except graphviz.RenderError as error:
        raise Failure(str(error), CANNOT_RENDER) from None
    if args.output is None:
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    else:
        save(args.output, data)


def cmd_reduce(args: argparse.Namespace) -> None:
    store = load(args.file)
    warn_if_nothing_marked(store, args.file, args.outputs)
    try:
        reduced, report = store.reduce(maximal_fusion=args.maximal_fusion, outputs=args.outputs)
    except (ValueError, OverflowError) as error:
        raise Failure(module_message(error)) from None
    blob = reduced.serialize()
    save(args.output, blob)
    print_report(report)
    print(f"wrote {args.output}: {len(blob)} bytes, {reduced.node_count()} nodes, "
          f"outputs {', '.join(map(str, reduced.outputs())) or 'none'}")


def cmd_cone(args: argparse.Namespace) -> None:
    store = load(args.file)
    try:
        cone = store.cone(outputs=args.outputs)
    except (ValueError, OverflowError) as error:
        raise Failure(module_message(error)) from None
    blob = cone.serialize()
    save(args.output, blob)
    print(f"kept {cone.node_count()} of {store.node_count()} nodes")
    print(f"wrote {args.output}: {len(blob)} bytes, "
          f"outputs {', '.join(map(str, cone.outputs())) or 'none'}")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="korvane",
        description="Look at, draw, reduce and cut serialized korvane IR files (.kir blobs, "
                    "as written by GraphStore.serialize).")
    top.add_argument("--version", action="version",
                     version=f"korvane {korvane_core.version()}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("file", type=Path, metavar="FILE", help="a serialized IR file")
        return sub

    inspect = command("inspect", "count the nodes by kind and print a table of them")
    inspect.set_defaults(run=cmd_inspect)

    dot = command("dot", "draw the graph: DOT text, or a picture made by Graphviz's dot")
    dot.add_argument("-o", "--output", type=Path, metavar="OUT",
                     help="where to write (default: standard output)")
    dot.add_argument("--format", choices=graphviz.FORMATS,
                     help="dot (the text), svg or png; default: from OUT's suffix, else dot")
    dot.set_defaults(run=cmd_dot)

    outputs_help = "output node ids separated by commas, such as 3,5"
    reduce = command("reduce", "reduce the graph, write the reduced blob and print the report")
    reduce.add_argument("-o", "--output", type=Path, metavar="OUT", required=True,
                        help="where to write the reduced blob")
    reduce.add_argument("--maximal-fusion", action="store_true",
                        help="also fuse a fan-out op whose consumers all land in one stage")
    reduce.add_argument("--outputs", type=node_ids, metavar="IDS",
                        help=outputs_help + " (default: the outputs the file marks)")
    reduce.set_defaults(run=cmd_reduce)

    cone = command("cone", "keep only what the given outputs need (no rewrites), write it")
    cone.add_argument("-o", "--output", type=Path, metavar="OUT", required=True,
                      help="where to write the cone's blob")
    cone.add_argument("--outputs", type=node_ids, metavar="IDS", required=True, help=outputs_help)
    cone.set_defaults(run=cmd_cone)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        args.run(args)
    except Failure as failure:
        print(f"korvane {args.command}: error: {failure}", file=sys.stderr)
        return failure.status
    except BrokenPipeError:
        # The reader went away (korvane inspect big.kir | head). Point standard output at
        # /dev/null so that the interpreter's final flush does not complain a second time.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
