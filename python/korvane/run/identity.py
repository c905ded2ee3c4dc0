"""What identifies an implementation to the result cache: the version its author gives, or
else its code and the values its code captured.

A result may be reused only while the code that made it is the same, so an identity must
change whenever behaviour can, and must be equal in every process that runs the same code,
whatever its hash seed. The policy:

- `version=` wins: an author who names versions says when behaviour changes, and nothing
  else is looked at.
- A Python function is its code object: bytecode, constants, names and argument layout,
  recursively through the code objects nested in it; not its name, file or line numbers, so
  moving or renaming a function keeps its results. Bytecode differs between interpreters, so
  every identity made from code carries the interpreter's name and major.minor version.
- Besides its code, what the function sees: its defaults (positional and keyword-only) and
  its closure cells must have a stable form: plain values (see canonical.py), functions
  (by their code, recursively), functools.partial objects (function, args, keywords), bound
  methods (function, and the class or the instance's class and attributes it is bound to),
  methods of builtin types (by type and name), modules (by name and their package's
  __version__, so that upgrading a library changes what uses it), classes (by module and
  qualified name; their methods are not followed), importable objects such as builtins and
  numpy ufuncs (by module, qualified name and the package's __version__: their code is the
  installed library's), and callable instances of Python classes (the class's name, its
  __call__ and the instance's attributes). Anything else (a lock, an open file, a model
  object, a dataclass instance) has no stable form, and the implementation has no identity:
  its nodes are not cacheable, since a result made with one such object could be served for
  another. Give it a `version=` to make it cacheable.
- The module-level globals a function names are looked at too, leniently: a function of the
  same module by its code (so that editing a helper changes the identity of what calls it),
  a function of another module by its module and qualified name, a value with a stable form by that
  form, anything else by name alone: a module-level object is taken to be the same object
  wherever the module is imported.
- Recursion (a function that names itself, mutually recursive helpers) is written as a
  reference to the enclosing function being identified, so cycles end.
"""

from __future__ import annotations

import functools
import hashlib
import sys
import types
from collections.abc import Callable, Iterator
from typing import Any

from korvane.run.canonical import Unencodable, encode, framed

INTERPRETER = f"{sys.implementation.name}-{sys.version_info[0]}.{sys.version_info[1]}"


class Unidentifiable(Exception):
    """An implementation whose identity cannot be had; the message says why."""


def implementation_identity(fn: Callable[..., Any], version: str | None = None) -> bytes | None:
    """A 32-byte identity of an implementation: of `version` when given, else of `fn`'s code
    and captured values; None when neither can be had."""
    try:
        return Identities().identity((fn,), version)
    except Unidentifiable:
        return None


def digest(data: bytes) -> bytes:
    return hashlib.blake2b(data, digest_size=32).digest()


class Identities:
    """Identities of implementations, each function's computed once (an implementation used
    by many nodes is looked at once per fingerprinting)."""

    def __init__(self) -> None:
        # id(fn) -> (fn, its identity or why it has none); fn is kept so its id stays its own.
        self.memo: dict[int, tuple[Any, bytes | Unidentifiable]] = {}
        # The identities of whole implementations, as many nodes share one.
        self.implementations: dict[Any, bytes] = {}

    def identity(self, fns: tuple[Callable[..., Any] | None, ...], version: str | None,
                 config: tuple[Any, ...] = ()) -> bytes:
        """The identity of an implementation made of `fns` (None for an absent optional
        function) with the settings `config`; raises Unidentifiable."""
        try:
            key = (tuple(map(id, fns)), version, config)
            known = self.implementations.get(key)
        except TypeError:   # settings that cannot be a key
            key, known = None, None
        if known is not None:
            return known
        if version is not None:
            made = digest(encode(("version", version, config)))
        else:
            codes = tuple(None if fn is None else self.function(fn) for fn in fns)
            made = digest(encode(("code", INTERPRETER, codes, config)))
        if key is not None:
            # Every fn is kept alive by self.memo or by the registry, so its id stays its own.
            self.implementations[key] = made
        return made

    def function(self, fn: Callable[..., Any]) -> bytes:
        known = self.memo.get(id(fn))
        if known is None:
            try:
                known = (fn, Identifier().of_callable(fn))
            except Unidentifiable as error:
                known = (fn, error)
            self.memo[id(fn)] = known
        if isinstance(known[1], Unidentifiable):
            raise known[1]
        return known[1]


def qualified(obj: Any) -> str:
    return f"{getattr(obj, '__module__', None)}.{getattr(obj, '__qualname__', None)}"


def described(obj: Any) -> str:
    name = getattr(obj, "__qualname__", None)
    what = f"{type(obj).__module__}.{type(obj).__qualname__}"
    return f"{what} {name!r}" if isinstance(name, str) else f"a {what} object"


class Identifier:
    """The stable bytes of one implementation's function and all it reaches."""

    def __init__(self) -> None:
        # The functions and objects being identified, outermost first, for cycles.
        self.open: list[int] = []

    def of_callable(self, fn: Any) -> bytes:
        """Strict: any function, partial, method, importable or callable object."""
        if id(fn) in self.open:
            return encode(("cycle", self.open.index(id(fn))))
        self.open.append(id(fn))
        try:
            return self.dispatch(fn)
        finally:
            self.open.pop()

    def dispatch(self, fn: Any) -> bytes:
        if isinstance(fn, types.FunctionType):
            return self.python_function(fn)
        if isinstance(fn, functools.partial):
            return encode(("partial", self.of_callable(fn.func), self.strict(fn.args),
                           self.strict(fn.keywords)))
        if isinstance(fn, types.MethodType):
            return encode(("method", self.of_callable(fn.__func__), self.bound_to(fn.__self__)))
        if isinstance(fn, (types.MethodDescriptorType, types.WrapperDescriptorType,
                           types.ClassMethodDescriptorType)):
            # A method of a builtin type, such as str.upper.
            owner = fn.__objclass__
            return encode(("descriptor", qualified(owner), fn.__name__,
                           package_version(owner.__module__)))
        call = getattr(type(fn), "__call__", None)
        if isinstance(call, types.FunctionType):
            # Before importable: a module-level instance is its class's code and its state.
            return encode(("instance", self.of_callable(call), self.bound_to(fn)))
        reference = importable(fn)
        if reference is not None:
            return reference
        if isinstance(fn, types.BuiltinFunctionType):
            # A builtin method bound to a value, such as "{}".format.
            return encode(("bound builtin", qualified(type(fn.__self__)), fn.__name__,
                           self.strict(fn.__self__)))
        raise Unidentifiable(f"{described(fn)} has no stable form")

    def bound_to(self, obj: Any) -> bytes:
        """The object a method is bound to: a class by name, an instance by its class's name
        and its attributes."""
        if isinstance(obj, type):
            return self.strict(obj)
        return encode(("object", qualified(type(obj)), self.strict(instance_state(obj))))

    def python_function(self, fn: types.FunctionType) -> bytes:
        cells = tuple(cell_value(cell) for cell in fn.__closure__ or ())
        return encode(("function", code_form(fn.__code__), self.strict(fn.__defaults__),
                       self.strict(fn.__kwdefaults__), self.strict(cells),
                       self.globals_named(fn)))

    def strict(self, value: Any) -> bytes:
        try:
            return encode(value, self.captured)
        except Unencodable as error:
            raise Unidentifiable(str(error)) from None

    def captured(self, value: Any) -> bytes:
        """A captured value that is not plain data."""
        if isinstance(value, types.ModuleType):
            return encode(("module", value.__name__, package_version(value.__name__)))
        if isinstance(value, type):
            return encode(("class", qualified(value)))
        if isinstance(value, EmptyCell):
            return encode(("empty cell",))
        if isinstance(value, types.CodeType):
            return code_form(value)
        if isinstance(value, slice):
            return encode(("slice", self.strict((value.start, value.stop, value.step))))
        if callable(value):
            return self.of_callable(value)
        raise Unencodable(f"{described(value)} has no stable form")

    def globals_named(self, fn: types.FunctionType) -> bytes:
        found = {}
        for name in sorted(names_in(fn.__code__)):
            if name in fn.__globals__:
                found[name] = self.global_value(fn.__globals__[name], fn.__module__)
        return encode(found)

    def global_value(self, value: Any, module: str | None) -> bytes:
        if isinstance(value, types.FunctionType) and value.__module__ != module:
            return encode(("function", qualified(value)))
        try:
            return self.strict(value)
        except Unidentifiable:
            return encode(("object",))


class EmptyCell:
    """The value of a closure cell not yet assigned (a name defined after the function)."""


def cell_value(cell: Any) -> Any:
    try:
        return cell.cell_contents
    except ValueError:
        return EmptyCell()


def code_form(code: types.CodeType) -> bytes:
    consts = tuple(code_form(c) if isinstance(c, types.CodeType) else c for c in code.co_consts)
    try:
        constants = encode(consts)
    except Unencodable as error:
        raise Unidentifiable(f"a constant of {code.co_qualname!r}: {error}") from None
    return framed(b"C", encode((
        code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount, code.co_flags,
        code.co_code, constants, code.co_names, code.co_varnames, code.co_freevars,
        code.co_cellvars, getattr(code, "co_exceptiontable", b""))))


def names_in(code: types.CodeType) -> Iterator[str]:
    yield from code.co_names
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            yield from names_in(const)


def importable(obj: Any) -> bytes | None:
    """The reference of an object found again by importing its module and following its
    qualified name (builtins, numpy ufuncs, classes); None for anything else. Only modules
    already imported are looked in."""
    module_name = getattr(obj, "__module__", None)
    name = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
    if not isinstance(module_name, str) or not isinstance(name, str):
        return None
    found: Any = sys.modules.get(module_name)
    for part in name.split("."):
        found = getattr(found, part, None)
    if found is not obj or isinstance(obj, types.FunctionType):
        return None
    return encode(("importable", module_name, name, package_version(module_name)))


def package_version(module_name: str) -> str | None:
    """The installed version of the package a module belongs to, when it says."""
    version = getattr(sys.modules.get(module_name.partition(".")[0]), "__version__", None)
    return version if isinstance(version, str) else None


def instance_state(obj: Any) -> dict[str, Any]:
    """The attributes of an instance: its __dict__ and the slots its classes declare."""
    state = dict(getattr(obj, "__dict__", {}))
    for cls in type(obj).__mro__:
        slots = cls.__dict__.get("__slots__", ())
        for slot in (slots,) if isinstance(slots, str) else slots:
            if slot not in ("__dict__", "__weakref__") and hasattr(obj, slot):
                state[f"{cls.__qualname__}.{slot}"] = getattr(obj, slot)
    return state
