"""What each recorded node means when it runs: the user's implementations, by node kind and name.

A registry is plain data plus functions. Its functions travel with the tasks that call
them (pickled, by cloudpickle where dask sends them), not the registry as a whole.

Implementations must be pure: they must not mutate their inputs (a partition may be read by
several nodes, and a reduced store shares what the recorded one computed twice) and must
give the same value for the same inputs and parameters. Every registration is checked when
it is made: functions must be callable, counts must be ints.
"""

from __future__ import annotations

import operator
import uuid
import weakref
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeAlias, TypeVar, overload

from korvane.run.partitioning import Partitioning, typed
from korvane.run.payloads import PROCESS_PAYLOADS

if TYPE_CHECKING:
    from korvane_core import DescriptorDict

Params: TypeAlias = dict[str, int | float | bool | str]
F = TypeVar("F", bound=Callable[..., Any])

# How many partial results one combine task of a reduction takes.
DEFAULT_SPLIT_EVERY = 8
# The parameter that chooses among several exchange or join strategies.
DEFAULT_STRATEGY_PARAM = "strategy"


def partitions_from_params(params: Params, input_partitions: int) -> int:
    """The default output partition count of an exchange: its "partitions" parameter when it
    has one, else as many partitions as its input."""
    if "partitions" not in params:
        return input_partitions
    count = params["partitions"]
    if not isinstance(count, int) or isinstance(count, bool):
        raise TypeError(f"the 'partitions' parameter must be an int, not {count!r}")
    return count


def callable_checked(what: str, fn: Any) -> Any:
    if not callable(fn):
        raise TypeError(f"{what} must be callable, not {type(fn).__name__} {fn!r}")
    return fn


def version_checked(version: Any) -> str | None:
    if version is not None and not isinstance(version, str):
        raise TypeError(f"version must be a str or None, not {type(version).__name__}")
    return version


@dataclass(frozen=True)
class SourceImpl:
    # How many partitions the source has, from its params.
    partitions: Callable[[Params], int]
    # Partition i: read(params, i).
    read: Callable[[Params, int], Any]
    # How the source's data is partitioned, from its params; None: like nothing else.
    partitioning: Callable[[Params], Partitioning] | None = None
    # What identifies the data behind the params (a file's size and modification time, an
    # object's ETag); None: the data is fixed for fixed params.
    fingerprint: Callable[[Params], Any] | None = None
    version: str | None = None


@dataclass(frozen=True)
class OpImpl:
    # One partition of each input in, one out: fn(params, *partitions).
    fn: Callable[..., Any]
    # False when the output's rows no longer sit in the partitions their keys chose.
    preserves_partitioning: bool = True
    version: str | None = None


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
    version: str | None = None


@dataclass(frozen=True)
class ExchangeImpl:
    # One partition cut into n pieces, piece j for output partition j: split(params, part, n).
    split: Callable[[Params, Any, int], Sequence[Any]]
    # The pieces that meet in one output partition, in input-partition order: concat(params, pieces).
    concat: Callable[[Params, list[Any]], Any]
    # The output partition count: partitions(params, input partition count).
    partitions: Callable[[Params, int], int]
    # The strategy's name; None for the default strategy.
    strategy: str | None = None
    # The parameters that decide which partition a row goes to; None: all but "partitions".
    partitioning_params: tuple[str, ...] | None = None
    version: str | None = None

    def partitioning(self, params: Params, count: int) -> Partitioning:
        """How this exchange partitions its output: equal for exchanges that send equal keys
        to equal partitions."""
        # The count is compared on its own, whether a parameter or the input's gave it.
        names = sorted(name for name in params if name != "partitions") \
            if self.partitioning_params is None else sorted(self.partitioning_params)
        matter = tuple((name, typed(params[name])) for name in names if name in params)
        placement = tuple((name, typed(params[name])) for name in sorted(params)
                          if name != "partitions")
        return Partitioning(("exchange", self.strategy, matter), count, placement)


@dataclass(frozen=True)
class JoinImpl:
    # Partition i of each input (see co_partitioned): fn(params, *partitions).
    fn: Callable[..., Any]
    strategy: str | None = None
    # True: the inputs must be partitioned alike, and partition i of each meets partition i of
    # the others. False (a broadcast or cross join): partition i of the first input meets
    # every other partitioned input whole, as the list of its partitions.
    co_partitioned: bool = True
    version: str | None = None


@dataclass(frozen=True)
class ExternalImpl:
    # The payload (a model, a function) from its descriptor; called once per process.
    load: Callable[[DescriptorDict], Any]
    # One output partition: apply(payload, params, *partitions).
    apply: Callable[..., Any]
    preserves_partitioning: bool = True
    version: str | None = None


class Strategies:
    """The implementations of one boundary kind, by the value of the parameter that chooses
    among them; the strategy registered without a name serves nodes that name none."""

    def __init__(self, kind: str) -> None:
        self.kind = kind
        self.param: str | None = None
        self.by_name: dict[str | None, Any] = {}

    def register(self, strategy: str | None, param: str, impl: Any) -> None:
        if strategy is not None and not isinstance(strategy, str):
            raise TypeError(f"strategy must be a str or None, not {type(strategy).__name__}")
        if not isinstance(param, str):
            raise TypeError(f"strategy_param must be a str, not {type(param).__name__}")
        if self.param is not None and param != self.param and self.by_name:
            raise ValueError(f"this registry's {self.kind} strategies are chosen by the "
                             f"parameter {self.param!r}, not {param!r}")
        self.param = param
        self.by_name[strategy] = impl

    def chosen(self, params: Params) -> Any:
        """The implementation for a node with these params, or None."""
        if self.param is not None and self.param in params:
            name = params[self.param]
            if isinstance(name, str) and name in self.by_name:
                return self.by_name[name]
            if None in self.by_name and len(self.by_name) == 1:
                # The single registration of old: the parameter is the user's own.
                return self.by_name[None]
            return None
        return self.by_name.get(None)

    def missing(self, params: Params) -> str:
        """Why chosen(params) found nothing."""
        if not self.by_name:
            return f"the registry has no {self.kind}"
        named = sorted(repr(name) for name in self.by_name if name is not None)
        if self.param is not None and self.param in params:
            return (f"no {self.kind} strategy {params[self.param]!r} (chosen by the parameter "
                    f"{self.param!r}; registered: {', '.join(named) or 'none by name'})")
        return (f"no default {self.kind} strategy: give the parameter {self.param!r} one of "
                f"{', '.join(named)}")


class Registry:
    """Implementations of sources, operations, reductions, exchanges, joins and externals.

    Sources, operations and reductions are keyed by name, externals by their descriptor's
    kind. Exchanges and joins may have several strategies, chosen by a parameter of the node
    (by default "strategy"); one registered without a strategy name serves nodes that name
    none. Register with decorators or plain calls::

        registry = Registry()

        @registry.source("numbers", partitions=lambda params: params["parts"])
        def numbers(params, i): ...

        @registry.op("double")
        def double(params, partition): ...

        registry.reduction("sum", step=..., combine=...)

    Implementations must not mutate their inputs: a partition may be read by several nodes.
    `version=` names an implementation's version for the result cache; without it, the
    function's code identifies it.
    """

    def __init__(self) -> None:
        # Tells registries apart in the cache of loaded payloads.
        self.token = uuid.uuid4().hex[:8]
        # Its payloads in this process go with it (see payloads.py).
        weakref.finalize(self, PROCESS_PAYLOADS.forget, self.token)
        self._sources: dict[str, SourceImpl] = {}
        self._ops: dict[str, OpImpl] = {}
        self._reductions: dict[str, ReductionImpl] = {}
        self._externals: dict[str, ExternalImpl] = {}
        self._exchanges = Strategies("exchange")
        self._joins = Strategies("join")

    # Registration.

    def source(self, name: str, *, partitions: Callable[[Params], int],
               partitioning: Callable[[Params], Partitioning] | None = None,
               fingerprint: Callable[[Params], Any] | None = None,
               version: str | None = None) -> Callable[[F], F]:
        """Decorates read(params, i), which returns partition i of the source `name`;
        partitions(params) says how many there are. `partitioning(params)`, when given, says
        how the data is already partitioned (for example
        `lambda params: registry.exchange_partitioning({"by": "key"}, 8)`), so that joins
        accept it and exchanges into that partitioning are skipped. `fingerprint(params)`,
        when given, identifies the data behind the params for the result cache."""
        callable_checked("partitions", partitions)
        if partitioning is not None:
            callable_checked("partitioning", partitioning)
        if fingerprint is not None:
            callable_checked("fingerprint", fingerprint)
        version_checked(version)

        def register(read: F) -> F:
            callable_checked(f"the read function of source {name!r}", read)
            self._sources[name] = SourceImpl(partitions, read, partitioning, fingerprint, version)
            return read
        return register

    def op(self, name: str, *, preserves_partitioning: bool = True,
           version: str | None = None) -> Callable[[F], F]:
        """Decorates fn(params, *partitions): one partition of each input in, one out.
        `preserves_partitioning=False` says that the output's rows may no longer sit in the
        partitions their keys chose (an operation that rewrites a key column, say)."""
        version_checked(version)

        def register(fn: F) -> F:
            callable_checked(f"the operation {name!r}", fn)
            self._ops[name] = OpImpl(fn, bool(preserves_partitioning), version)
            return fn
        return register

    def reduction(self, name: str, *, step: Callable[..., Any],
                  combine: Callable[[Params, list[Any]], Any],
                  finish: Callable[[Params, Any], Any] | None = None,
                  split_every: int = DEFAULT_SPLIT_EVERY, version: str | None = None) -> None:
        """A reduction: step(params, *partitions) per partition, combine(params, partials)
        over the partial results (in a tree of `split_every` partials per combine), then
        finish(params, partial) once, when given."""
        callable_checked("step", step)
        callable_checked("combine", combine)
        if finish is not None:
            callable_checked("finish", finish)
        if isinstance(split_every, bool):
            raise TypeError(f"split_every must be an int, not {split_every!r}")
        try:
            split_every = operator.index(split_every)
        except TypeError:
            raise TypeError(f"split_every must be an int, not {split_every!r}") from None
        if split_every < 2:
            raise ValueError(f"split_every must be at least 2, not {split_every}")
        version_checked(version)
        self._reductions[name] = ReductionImpl(step, combine, finish, split_every, version)

    def exchange(self, *, split: Callable[[Params, Any, int], Sequence[Any]],
                 concat: Callable[[Params, list[Any]], Any],
                 partitions: Callable[[Params, int], int] = partitions_from_params,
                 strategy: str | None = None,
                 strategy_param: str = DEFAULT_STRATEGY_PARAM,
                 partitioning_params: Sequence[str] | None = None,
                 version: str | None = None) -> None:
        """An exchange: every input partition is split into as many pieces as there are
        output partitions, and output partition j concatenates the pieces j.

        With `strategy`, this is the exchange for nodes whose parameter `strategy_param`
        names it (a hash and a range exchange, say); without, it serves nodes that name no
        strategy. `partitioning_params` names the parameters that decide where a row goes
        (default: all of them): exchanges that agree on those and on the output count
        partition alike, so hash exchanges by "l_orderkey" and by "o_orderkey" into 8
        partitions may be joined when only the count and the strategy matter
        (`partitioning_params=()`)."""
        callable_checked("split", split)
        callable_checked("concat", concat)
        callable_checked("partitions", partitions)
        version_checked(version)
        matter = None
        if partitioning_params is not None:
            if isinstance(partitioning_params, str):
                raise TypeError("partitioning_params must be a sequence of parameter names, "
                                "not a str")
            matter = tuple(partitioning_params)
        self._exchanges.register(strategy, strategy_param, ExchangeImpl(
            split, concat, partitions, strategy, matter, version))

    @overload
    def join(self, fn: F, /) -> F: ...

    @overload
    def join(self, fn: None = None, /, *, strategy: str | None = None,
             strategy_param: str = DEFAULT_STRATEGY_PARAM, co_partitioned: bool = True,
             version: str | None = None) -> Callable[[F], F]: ...

    def join(self, fn: Any = None, /, *, strategy: str | None = None,
             strategy_param: str = DEFAULT_STRATEGY_PARAM, co_partitioned: bool = True,
             version: str | None = None) -> Any:
        """Registers fn(params, *partitions), which gets partition i of each input; the
        inputs must be partitioned alike (see `exchange`). Usable as `@registry.join` or
        `@registry.join(strategy=..., co_partitioned=False)`: a join that is not
        co-partitioned (a broadcast or cross join) gets partition i of its first input and
        every other partitioned input whole, as the list of its partitions."""
        version_checked(version)

        def register(join_fn: F) -> F:
            callable_checked("the join", join_fn)
            self._joins.register(strategy, strategy_param, JoinImpl(
                join_fn, strategy, bool(co_partitioned), version))
            return join_fn
        if fn is None:
            return register
        return register(fn)

    def external(self, kind: str, *, load: Callable[[DescriptorDict], Any],
                 apply: Callable[..., Any], preserves_partitioning: bool = True,
                 version: str | None = None) -> None:
        """Externals whose descriptor has this kind: load(descriptor) once per process, then
        apply(payload, params, *partitions) per partition."""
        callable_checked("load", load)
        callable_checked("apply", apply)
        version_checked(version)
        self._externals[kind] = ExternalImpl(load, apply, bool(preserves_partitioning), version)

    def exchange_partitioning(self, params: Params, partitions: int) -> Partitioning:
        """The partitioning an exchange node with these params gives when it has
        `partitions` output partitions: for a source registered as already partitioned."""
        impl = self.exchange_impl(params)
        if impl is None:
            raise LookupError(self._exchanges.missing(params))
        assert isinstance(impl, ExchangeImpl)
        return impl.partitioning(params, partitions)

    def drop_payloads(self) -> int:
        """Drops this registry's loaded payloads in this process (they load again when
        needed); returns how many went."""
        return PROCESS_PAYLOADS.drop(self.token)

    # Look-ups; None when nothing is registered.

    def source_impl(self, name: str) -> SourceImpl | None:
        return self._sources.get(name)

    def op_impl(self, name: str) -> OpImpl | None:
        return self._ops.get(name)

    def reduction_impl(self, name: str) -> ReductionImpl | None:
        return self._reductions.get(name)

    def external_impl(self, kind: str) -> ExternalImpl | None:
        return self._externals.get(kind)

    def exchange_impl(self, params: Params) -> ExchangeImpl | None:
        impl: ExchangeImpl | None = self._exchanges.chosen(params)
        return impl

    def join_impl(self, params: Params) -> JoinImpl | None:
        impl: JoinImpl | None = self._joins.chosen(params)
        return impl

    def missing_exchange(self, params: Params) -> str:
        return self._exchanges.missing(params)

    def missing_join(self, params: Params) -> str:
        return self._joins.missing(params)
