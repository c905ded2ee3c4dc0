"""Running recorded pipelines, in this process or on dask.

The store's own structure is the execution model: operations are partition-local and fuse
into stages; exchanges, joins, reductions and externals are the boundaries between them.
A `Registry` says what each node means; `run_local` runs a store in the calling thread;
`lower` turns it into a dask graph for any dask scheduler, a distributed cluster included.
A `Cache` keeps computed values on disk (or any fsspec filesystem) between runs.
A store as recorded and its reduced form compute the same values; the reduced one does it
in fewer tasks. `value_of` finds a recorded node's value in a run of the reduced store.

Only computing on dask needs dask (``pip install korvane-core[dask]``); a cache on an fsspec
URL, or in Parquet, needs ``pip install korvane-core[cache]``.
"""

from korvane.run.cache import Cache
from korvane.run.errors import (
    CacheError,
    CacheNotWritable,
    MissingImplementation,
    NotCoPartitioned,
    NothingToCompute,
    PartitionMismatch,
    PayloadCycle,
    PlanError,
    RemoteError,
    UnknownExternalKind,
    UnpicklableValue,
)
from korvane.run.fingerprint import UncacheableWarning
from korvane.run.local import run_local
from korvane.run.lookup import NodeDropped, landing_of, requests_for, value_of
from korvane.run.lowering import DaskGraph, lower
from korvane.run.partitioning import Partitioning
from korvane.run.payloads import drop_payloads, set_payload_limit
from korvane.run.registry import Params, Registry
from korvane.run.results import Results

__all__ = [
    "Cache",
    "CacheError",
    "CacheNotWritable",
    "DaskGraph",
    "MissingImplementation",
    "NodeDropped",
    "NotCoPartitioned",
    "NothingToCompute",
    "Params",
    "PartitionMismatch",
    "Partitioning",
    "PayloadCycle",
    "PlanError",
    "Registry",
    "RemoteError",
    "Results",
    "UncacheableWarning",
    "UnknownExternalKind",
    "UnpicklableValue",
    "drop_payloads",
    "landing_of",
    "lower",
    "requests_for",
    "run_local",
    "set_payload_limit",
    "value_of",
]
