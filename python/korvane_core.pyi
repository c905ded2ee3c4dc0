"""Type information for the korvane_core extension module.

The classes marked ``@type_check_only`` exist only for type checkers: import them under
``if TYPE_CHECKING:``. The aliases starting with an underscore are private to this file.
"""

from collections.abc import Sequence
from typing import Literal, NotRequired, SupportsIndex, TypeAlias, TypedDict, final, type_check_only


# A parameter value as recorded in a node; the same type is read back by `GraphStore.nodes`.
# Besides these, the recording methods accept objects with integer-index or float conversion
# (NumPy scalars, for example); a bool stays a bool.
_ParamValue: TypeAlias = int | float | bool | str

# Parameter dictionaries must be dicts (dict subclasses included), not arbitrary mappings.
_Params: TypeAlias = dict[str, _ParamValue]

# Node ids: any sequence (not a str) of ints or objects with an integer index.
_NodeIds: TypeAlias = Sequence[SupportsIndex]

# Where a node of the reduced-from store landed: (reduced node id, member index or None).
_Landing: TypeAlias = tuple[int, int | None]

@type_check_only
class DescriptorDict(TypedDict):
    """The `descriptor` entry of an external node in `GraphStore.nodes`."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

@type_check_only
class DescriptorFields(TypedDict):
    """A descriptor given as a dict to `GraphStore.add_external` (other keys are ignored)."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]

@type_check_only
class MemberDict(TypedDict):
    """One fused operation of a stage node."""

    kind: Literal["op", "red"]
    name: str
    params: _Params
    # ("input", k): position k of the stage's inputs; ("member", j): result of member j.
    inputs: list[tuple[Literal["input", "member"], int]]

@type_check_only
class PlainNodeDict(TypedDict):
    """A node of `GraphStore.nodes` that is neither external nor a stage."""

    id: int
    output: bool
    inputs: list[int]
    kind: Literal["source", "op", "reduction", "exchange", "join"]
    name: str
    params: _Params

@type_check_only
class ExternalNodeDict(TypedDict):
    """An external node of `GraphStore.nodes`: name is "", the payload is in `descriptor`."""

    id: int
    output: bool
    inputs: list[int]
    kind: Literal["external"]
    name: str
    params: _Params
    descriptor: DescriptorDict

@type_check_only
class StageNodeDict(TypedDict):
    """A stage node of `GraphStore.nodes`: name is "" and params is {}."""

    id: int
    output: bool
    inputs: list[int]
    kind: Literal["stage"]
    name: str
    params: _Params
    n_members: int
    members: list[MemberDict]

# Narrow on node["kind"] to reach the kind-specific keys.
_NodeDict: TypeAlias = PlainNodeDict | ExternalNodeDict | StageNodeDict

@type_check_only
class ReductionReport(TypedDict):
    """The six counters of a reduction."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

def version() -> str: ...
@final
class PayloadDescriptor:
    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...

@final
class GraphStore:
    def __new__(cls) -> GraphStore: ...
    def add_source(self, name: str, params: _Params | None = None) -> int: ...
    def add_op(self, name: str, inputs: _NodeIds, params: _Params | None = None) -> int: ...
    def add_reduction(self, name: str, inputs: _NodeIds, params: _Params | None = None) -> int: ...
    def add_exchange(self, inputs: _NodeIds, params: _Params | None = None) -> int: ...
    def add_join(self, inputs: _NodeIds, params: _Params | None = None) -> int: ...
    def add_external(
        self,
        descriptor: PayloadDescriptor | DescriptorFields | DescriptorDict,
        inputs: _NodeIds,
        params: _Params | None = None,
    ) -> int: ...
    def node_count(self) -> int: ...
    def nodes(self) -> list[_NodeDict]: ...
    def outputs(self) -> list[int]: ...
    def node_map(self) -> list[_Landing | None]: ...
    def to_dot(self) -> str: ...
    def serialize(self, outputs: _NodeIds | None = None) -> bytes: ...
    # A static method at run time, built on a function bound to the class; stubtest reads any
    # such builtin as a class method. On a final class the two behave alike for every caller:
    # GraphStore.deserialize(data) and store.deserialize(data).
    @classmethod
    def deserialize(cls, data: bytes) -> GraphStore: ...
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: _NodeIds | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def cone(self, *, outputs: _NodeIds) -> GraphStore: ...
    def reduce_incremental(
        self, *, outputs: _NodeIds | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def reduction_report(self, *, outputs: _NodeIds | None = None) -> ReductionReport: ...

@final
class IncrementalReducer:
    def __new__(cls) -> IncrementalReducer: ...
    def step(self, store: GraphStore) -> int: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    def finalize(
        self,
        store: GraphStore,
        *,
        maximal_fusion: bool = False,
        outputs: _NodeIds | None = None,
    ) -> tuple[GraphStore, ReductionReport]: ...
