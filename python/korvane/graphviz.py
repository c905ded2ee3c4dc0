"""Turning DOT text into pictures with Graphviz's ``dot`` program, when it is installed."""

from __future__ import annotations

import shutil
import subprocess

PROGRAM = "dot"
FORMATS = ("dot", "svg", "png")


class RenderError(Exception):
    """The picture could not be made; the message says why in words for the user."""


def render(dot_text: str, fmt: str) -> bytes:
    """DOT text in the given format: the text itself for "dot", else dot's output."""
    if fmt == "dot":
        return dot_text.encode()
    if fmt not in FORMATS:
        raise RenderError(f"unknown format {fmt!r} (choose from {', '.join(FORMATS)})")
    program = shutil.which(PROGRAM)
    if program is None:
        raise RenderError(
            f"the {fmt} format needs the '{PROGRAM}' program from Graphviz, which was not "
            f"found on PATH; install Graphviz or use --format dot")
    done = subprocess.run([program, f"-T{fmt}"], input=dot_text.encode(), capture_output=True,
                          check=False)
    if done.returncode != 0:
        reason = done.stderr.decode(errors="replace").strip() or f"exit status {done.returncode}"
        raise RenderError(f"'{PROGRAM}' failed to render {fmt}: {reason}")
    return done.stdout
