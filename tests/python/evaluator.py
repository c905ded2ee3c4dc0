"""A test-only meaning for pipeline graphs, to check that reductions keep it.

Values are integers modulo a large prime. Sources yield a number derived from
their name and parameters. The operations that the optimizer rewrites compute
what their names say: add, mul, sub, maximum, minimum, eq, ne, and, or on two
inputs without parameters, and add or mul with exactly the parameters scalar
and side (the identity forms: add with scalar s on side r is x + s). Every
other node - other operations, the same names with other parameters or inputs,
reductions, externals, exchanges, joins - is a fixed function of its kind,
name, parameters (or descriptor) and input values that nothing rewrites, so it
tells apart any two nodes the optimizer must not merge. A stage evaluates its
members in order; its value is its last member's.

Reading graphs only through GraphStore.nodes() keeps this independent of the
optimizer's own code.
"""
import hashlib
import math

PRIME = (1 << 61) - 1

_BINARY = {
    'add': lambda a, b: (a + b) % PRIME,
    'mul': lambda a, b: (a * b) % PRIME,
    'sub': lambda a, b: (a - b) % PRIME,
    'maximum': max,
    'minimum': min,
    'eq': lambda a, b: int(a == b),
    'ne': lambda a, b: int(a != b),
    'and': lambda a, b: a & b,
    'or': lambda a, b: a | b,
}


def _canonical(value):
    """A text that tells apart every value the node model tells apart."""
    if isinstance(value, bool):
        return 'b' + repr(value)
    if isinstance(value, int):
        return 'i' + repr(value)
    if isinstance(value, float):
        return 'f' + ('nan' if math.isnan(value) else value.hex())
    if isinstance(value, str):
        return 's' + repr(value)
    if value is None:
        return 'none'
    if isinstance(value, dict):
        return '{' + ','.join(repr(k) + ':' + _canonical(v) for k, v in sorted(value.items())) + '}'
    if isinstance(value, (list, tuple)):
        return '[' + ','.join(_canonical(v) for v in value) + ']'
    raise TypeError(f'unexpected value {value!r}')


def _opaque(*parts):
    digest = hashlib.blake2b(_canonical(parts).encode(), digest_size=8).digest()
    return int.from_bytes(digest, 'little') % PRIME


def _scalar(value):
    if isinstance(value, float) and math.isfinite(value) and value == int(value):
        return int(value) % PRIME
    return _opaque('scalar', value)


def evaluate_op(kind, name, params, args):
    """The value of an operation (kind 'op') or reduction (kind 'reduction')."""
    if kind == 'op':
        if name in _BINARY and not params and len(args) == 2:
            return _BINARY[name](*args)
        if name in ('add', 'mul') and set(params) == {'scalar', 'side'} and args:
            # The first input is the operand; an identity form with more inputs
            # still returns it, as the incremental reducer assumes.
            return _BINARY[name](args[0], _scalar(params['scalar']))
    return _opaque(kind, name, params, list(args))


def _member_kind(kind):
    return {'op': 'op', 'red': 'reduction'}[kind]


def evaluate(store):
    """Per node id, the list of its values: one entry, or one per stage member."""
    values = []
    for node in store.nodes():
        args = [values[i][-1] for i in node['inputs']]
        kind = node['kind']
        if kind == 'source':
            values.append([_opaque('source', node['name'], node['params'])])
        elif kind in ('op', 'reduction'):
            values.append([evaluate_op(kind, node['name'], node['params'], args)])
        elif kind == 'external':
            values.append([_opaque('external', node['descriptor'], node['params'], args)])
        elif kind in ('exchange', 'join'):
            values.append([_opaque(kind, node['params'], args)])
        elif kind == 'stage':
            members = []
            for member in node['members']:
                member_args = [args[k] if ref == 'input' else members[k] for ref, k in member['inputs']]
                members.append(evaluate_op(_member_kind(member['kind']), member['name'],
                                           member['params'], member_args))
            values.append(members)
        else:
            raise AssertionError(f'unknown node kind {kind}')
    return values


def value_at(values, landing):
    """The value a node-map landing (node id, member index or None) stands for."""
    node, member = landing
    return values[node][-1] if member is None else values[node][member]


def output_values(store, outputs=None):
    """The values of `outputs` (default: the store's marked outputs), in order."""
    values = evaluate(store)
    return [values[o][-1] for o in (store.outputs() if outputs is None else outputs)]
