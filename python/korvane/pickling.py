"""Stores travel as their blob: pickling a GraphStore (for multiprocessing, or a dask worker)
writes its canonical bytes, and unpickling reads them back.

The blob holds the nodes and the marked outputs, so those arrive unchanged, under the same
ids. A reduced store's node map is not part of the blob and does not travel: look landings
up where the reduction ran.
"""

from __future__ import annotations

import copyreg
from collections.abc import Callable

from korvane_core import GraphStore


def store_from_blob(blob: bytes) -> GraphStore:
    return GraphStore.deserialize(blob)


def store_as_blob(store: GraphStore) -> tuple[Callable[[bytes], GraphStore], tuple[bytes]]:
    return store_from_blob, (store.serialize(),)


copyreg.pickle(GraphStore, store_as_blob)
