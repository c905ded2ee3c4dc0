"""What each recorded node means when it runs: the user's implementations, by node kind and name.

A registry is plain data plus functions. Its functions travel with the tasks that call
them (pickled, by cloudpickle where dask sends them), not the registry as a whole.
"""

from __future__ import annotations

import uuid
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeAlias, TypeVar

if TYPE_CHECKING:
    from korvane_core import DescriptorDict

Params: TypeAlias = dict[str, int | float | bool | str]
F = TypeVar("F", bound=Callable[..., Any])

# How many partial results one combine task of a reduction takes.
DEFAULT_SPLIT_EVERY = 8


def partitions_from_params(params: Params, input_partitions: int) -> int:
    """The default output partition count of an exchange: its "partitions" parameter when it
    has one, else as many partitions as its input."""
    count = params.get("partitions")
    if isinstance(count, int) and not isinstance(count, bool):
        return count
    return input_partitions


@dataclass(frozen=True)
class SourceImpl:
    # How many partitions the source has, from its params.
    partitions: Callable[[Params], int]
    # Partition i: read(params, i).
    read: Callable[[Params, int], Any]


@dataclass(frozen=True)
class ReductionImpl:
    # A partial result from one partition of each input: step(params, *partitions).
    step: Callable[..., Any]
    # Partial results merged into one partial: combine(params, partials). Applied as a tree,
    # so it must not depend on how the partials are grouped.
    combine: Callable[[Params, list[Any]], Any]
    # The reduction's value from the merged partial: finish(params, partial).
    finish: Callable[[Params, Any], Any] | None
    split_every: int


@dataclass(frozen=True)
class ExchangeImpl:
    # One partition cut into n pieces, piece j for output partition j: split(params, part, n).
    split: Callable[[Params, Any, int], Sequence[Any]]
    # The pieces that meet in one output partition, in input-partition order: concat(params, pieces).
    concat: Callable[[Params, list[Any]], Any]
    # The output partition count: partitions(params, input partition count).
    partitions: Callable[[Params, int], int]


@dataclass(frozen=True)
class ExternalImpl:
    # The payload (a model, a function) from its descriptor; called once per process.
    load: Callable[[DescriptorDict], Any]
    # One output partition: apply(payload, params, *partitions).
    apply: Callable[..., Any]


class Registry:
    """Implementations of sources, operations, reductions, exchanges, joins and externals.

    Sources, operations and reductions are keyed by name, externals by their descriptor's
    kind; a registry has one exchange and one join, which read their parameters to decide
    what to do. Register with decorators or plain calls::

        registry = Registry()

        @registry.source("numbers", partitions=lambda params: params["parts"])
        def numbers(params, i): ...

        @registry.op("double")
        def double(params, partition): ...

        registry.reduction("sum", step=..., combine=...)
    """

    def __init__(self) -> None:
        # Tells registries apart in task keys (two registries never share a key, and one
        # registry lowered twice gives the same keys) and in the cache of loaded payloads.
        self.token = uuid.uuid4().hex[:8]
        self._sources: dict[str, SourceImpl] = {}
        self._ops: dict[str, Callable[..., Any]] = {}
        self._reductions: dict[str, ReductionImpl] = {}
        self._externals: dict[str, ExternalImpl] = {}
        self._exchange: ExchangeImpl | None = None
        self._join: Callable[..., Any] | None = None

    # Registration.

    def source(self, name: str, *, partitions: Callable[[Params], int]) -> Callable[[F], F]:
        """Decorates read(params, i), which returns partition i of the source `name`;
        partitions(params) says how many there are."""
        def register(read: F) -> F:
            self._sources[name] = SourceImpl(partitions=partitions, read=read)
            return read
        return register

    def op(self, name: str) -> Callable[[F], F]:
        """Decorates fn(params, *partitions): one partition of each input in, one out."""
        def register(fn: F) -> F:
            self._ops[name] = fn
            return fn
        return register

    def reduction(self, name: str, *, step: Callable[..., Any],
                  combine: Callable[[Params, list[Any]], Any],
                  finish: Callable[[Params, Any], Any] | None = None,
                  split_every: int = DEFAULT_SPLIT_EVERY) -> None:
        """A reduction: step(params, *partitions) per partition, combine(params, partials)
        over the partial results (in a tree of `split_every` partials per combine), then
        finish(params, partial) once, when given."""
        if split_every < 2:
            raise ValueError(f"split_every must be at least 2, not {split_every}")
        self._reductions[name] = ReductionImpl(step, combine, finish, split_every)

    def exchange(self, *, split: Callable[[Params, Any, int], Sequence[Any]],
                 concat: Callable[[Params, list[Any]], Any],
                 partitions: Callable[[Params, int], int] = partitions_from_params) -> None:
        """The exchange: every input partition is split into as many pieces as there are
        output partitions, and output partition j concatenates the pieces j."""
        self._exchange = ExchangeImpl(split, concat, partitions)

    def join(self, fn: F) -> F:
        """fn(params, *partitions) gets partition i of each (co-partitioned) input. Usable as
        a decorator."""
        self._join = fn
        return fn

    def external(self, kind: str, *, load: Callable[[DescriptorDict], Any],
                 apply: Callable[..., Any]) -> None:
        """Externals whose descriptor has this kind: load(descriptor) once per process, then
        apply(payload, params, *partitions) per partition."""
        self._externals[kind] = ExternalImpl(load, apply)

    # Look-ups; None when nothing is registered.

    def source_impl(self, name: str) -> SourceImpl | None:
        return self._sources.get(name)

    def op_impl(self, name: str) -> Callable[..., Any] | None:
        return self._ops.get(name)

    def reduction_impl(self, name: str) -> ReductionImpl | None:
        return self._reductions.get(name)

    def external_impl(self, kind: str) -> ExternalImpl | None:
        return self._externals.get(kind)

    def exchange_impl(self) -> ExchangeImpl | None:
        return self._exchange

    def join_impl(self) -> Callable[..., Any] | None:
        return self._join
