"""The pandas and Arrow exchange helpers: pieces follow the documented hash, whatever the key's
integer width, library or process, and a hash exchange joins what a merge of the whole data
joins."""
import datetime
import hashlib
import json
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

import korvane_core
from evaluator_registry import run_settings
from optional_deps import require
from korvane.run import Registry, run_local
from korvane.run.frames import concat, hash_pieces, register_hash_exchange

pd = require('pandas')
pa = require('pyarrow')

BITS = 2 ** 64 - 1
MISSING_WORD = 0x6D697373696E6721
MICROS_PER_DAY = 86_400_000_000


# The hash as the module docstring defines it, one row at a time.

def mix(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & BITS
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & BITS
    return z ^ (z >> 31)


def word(column, value):
    if value is None:
        return MISSING_WORD
    if column == 's':
        return int.from_bytes(hashlib.blake2b(value.encode(), digest_size=8).digest(), 'little')
    return (value * MICROS_PER_DAY if column == 'd' else value) & BITS


def documented_piece(row, keys, n):
    h = 0
    for key in keys:
        h = mix((h + word(key, row[key]) + 0x9E3779B97F4A7C15) & BITS)
    return h % n


# The same values in many column types: k holds integers, s strings, d days since 1970.

def int_columns(values, arrow):
    nulls = None in values
    negative = any(v is not None and v < 0 for v in values)
    # Zeros alternate with -0.0 and, in Arrow, nulls with NaN: both pairs must meet.
    floats = [(np.nan if i % 2 or not arrow else None) if v is None else (-0.0 if v == 0 and i % 2 else float(v))
              for i, v in enumerate(values)]
    if arrow:
        columns = [pa.array(values, pa.int8()), pa.array(values, pa.int64()),
                   pa.array(values, pa.int32()).dictionary_encode(), pa.array(floats, pa.float64())]
        return columns + ([pa.array(values, pa.uint64())] if not negative else [])
    columns = [pd.array(values, dtype='Int8'), pd.Series(values, dtype=object), pd.Series(floats),
               pd.Series(values, dtype=object).astype('category')]
    if not nulls:
        columns += [np.array(values, dtype=np.int16), np.array(values, dtype=np.int64)]
    if not negative:
        columns += [pd.array(values, dtype='UInt64')] + ([np.array(values, dtype=np.uint8)] if not nulls else [])
    return columns


def str_columns(values, arrow):
    if arrow:
        return [pa.array(values, pa.string()), pa.array(values, pa.large_string()),
                pa.array(values, pa.string()).dictionary_encode()]
    return [pd.Series(values, dtype=object), pd.Series(values, dtype='str'), pd.Series(values, dtype='string'),
            pd.Series(values, dtype=object).astype('category')]


def date_columns(days, arrow):
    dates = [None if d is None else datetime.date(1970, 1, 1) + datetime.timedelta(days=d) for d in days]
    if arrow:
        date32 = pa.array(dates, pa.date32())
        return [date32, pa.array(dates, pa.date64()), date32.cast(pa.timestamp('s')),
                date32.cast(pa.timestamp('us', tz='UTC'))]
    stamps = pd.Series(np.array(['NaT' if d is None else d for d in dates], dtype='datetime64[D]'))
    aware = stamps.astype('datetime64[s]').dt.tz_localize('UTC').dt.tz_convert('America/New_York')
    return [pd.Series(dates, dtype=object), stamps.astype('datetime64[s]'), stamps.astype('datetime64[ns]'),
            aware, pd.Series(aware.tolist(), dtype=object)]


def frames(rows, arrow):
    ints, texts, days = zip(*rows) if rows else ((), (), ())
    columns = [int_columns(list(ints), arrow), str_columns(list(texts), arrow), date_columns(list(days), arrow)]
    for i in range(max(map(len, columns))):
        k, s, d = (family[i % len(family)] for family in columns)
        if not arrow:
            yield pd.DataFrame({'k': k, 's': s, 'd': d, 'r': np.arange(len(rows))})
            continue
        table = pa.table({'k': k, 's': s, 'd': d, 'r': pa.array(range(len(rows)), pa.int64())})
        # Every other table in two chunks.
        yield pa.concat_tables([table.slice(0, len(rows) // 2), table.slice(len(rows) // 2)]) if i % 2 else table


def row_ids(piece):
    return piece.column('r').to_pylist() if isinstance(piece, pa.Table) else piece['r'].tolist()


rows = st.lists(st.tuples(st.none() | st.integers(-120, 120),
                          st.none() | st.sampled_from(['', 'a', 'b', 'a ', 'é', '日本']),
                          st.none() | st.integers(-40_000, 40_000)), max_size=30)


@run_settings(60)
@given(rows=rows, keys=st.permutations(['k', 's', 'd']), key_count=st.integers(1, 3), n=st.integers(1, 6))
def test_pieces_follow_the_documented_hash_in_every_column_type(rows, keys, key_count, n):
    keys = keys[:key_count]
    expected = [documented_piece(dict(zip('ksd', row)), keys, n) for row in rows]
    for arrow in (False, True):
        for frame in frames(rows, arrow):
            pieces = hash_pieces(frame, keys, n)
            assert len(pieces) == n
            ids = [row_ids(piece) for piece in pieces]
            assert all(piece_ids == sorted(piece_ids) for piece_ids in ids)
            assert sorted(i for piece_ids in ids for i in piece_ids) == list(range(len(rows)))
            assert [j for i in range(len(rows)) for j, piece_ids in enumerate(ids) if i in piece_ids] == expected
            restored = concat({}, pieces)
            if arrow:
                restored = restored.sort_by('r')
                assert restored.schema == frame.schema
                restored, frame = restored.to_pandas(), frame.to_pandas()
            else:
                restored = restored.sort_values('r', kind='stable', ignore_index=True)
            pd.testing.assert_frame_equal(restored, frame)


SEEDED_RUN = '''
import json, pandas as pd
from korvane.run.frames import hash_pieces
frame = pd.DataFrame({"s": [f"key {i % 37}" for i in range(200)], "k": [i % 11 for i in range(200)]})
print(json.dumps([piece.index.tolist() for piece in hash_pieces(frame, ["s", "k"], 7)]))
'''


def test_pieces_are_the_same_under_any_hash_seed():
    python_dir = os.path.dirname(os.path.dirname(os.path.dirname(sys.modules['korvane.run.frames'].__file__)))
    runs = []
    for seed in ('0', '4242'):
        env = dict(os.environ, PYTHONHASHSEED=seed,
                   PYTHONPATH=os.pathsep.join([python_dir, os.environ.get('PYTHONPATH', '')]))
        done = subprocess.run([sys.executable, '-c', SEEDED_RUN], capture_output=True, text=True, env=env,
                              timeout=300, check=True)
        runs.append(json.loads(done.stdout))
    assert runs[0] == runs[1]
    assert all(piece == sorted(piece) for piece in runs[0])
    assert len([piece for piece in runs[0] if piece]) > 1


def test_the_module_imports_and_registers_without_pandas_pyarrow_or_numpy():
    code = ('import sys; sys.modules.update(pandas=None, pyarrow=None, numpy=None)\n'
            'from korvane.run import Registry\nfrom korvane.run.frames import register_hash_exchange\n'
            'register_hash_exchange(Registry())')
    subprocess.run([sys.executable, '-c', code], check=True, timeout=300)


def test_newer_registries_get_the_strategy_and_no_partitioning_params():
    class Newer(Registry):
        def exchange(self, *, split, concat, partitions=None, strategy='default', partitioning_params=None):
            self.options = (split, concat, strategy, partitioning_params)

    registry = Newer()
    register_hash_exchange(registry, strategy='shuffle')
    assert registry.options[1:] == (concat, 'shuffle', ())


def orders(params, i):
    keys = np.random.default_rng(7).permutation(60)[i::3]
    table = pd.DataFrame({'o_orderkey': keys.astype(np.int32), 'o_status': [f'status {k % 4}' for k in keys]})
    return pa.Table.from_pandas(table) if params['arrow'] else table


def lineitems(params, i):
    rng = np.random.default_rng([11, i])
    table = pd.DataFrame({'l_orderkey': rng.integers(0, 70, 40), 'l_quantity': rng.integers(1, 50, 40)})
    return pa.Table.from_pandas(table) if params['arrow'] else table


def merged(params, left, right):
    frames = [side.to_pandas() if isinstance(side, pa.Table) else side for side in (left, right)]
    return frames[0].merge(frames[1], left_on='o_orderkey', right_on='l_orderkey')


@pytest.mark.parametrize('arrow', [False, True])
def test_a_join_of_hash_exchanges_by_keys_of_two_widths_is_the_whole_merge(arrow):
    registry = Registry()
    registry.source('orders', partitions=lambda params: 3)(orders)
    registry.source('lineitems', partitions=lambda params: 2)(lineitems)
    registry.join(merged)
    register_hash_exchange(registry)
    store = korvane_core.GraphStore()
    left = store.add_exchange([store.add_source('orders', {'arrow': arrow})], {'by': 'o_orderkey', 'partitions': 4})
    right = store.add_exchange([store.add_source('lineitems', {'arrow': arrow})], {'by': 'l_orderkey', 'partitions': 4})
    joined = store.add_join([left, right])
    got = pd.concat(run_local(store, registry, [joined])[joined], ignore_index=True)
    whole = {'arrow': False}
    expected = merged(whole, pd.concat([orders(whole, i) for i in range(3)]),
                      pd.concat([lineitems(whole, i) for i in range(2)]))
    columns = list(expected.columns)
    assert len(got) > 0
    pd.testing.assert_frame_equal(got.sort_values(columns, ignore_index=True),
                                  expected.sort_values(columns, ignore_index=True))


def test_a_second_join_on_another_key_exchanges_again():
    """Hash exchanges by any column into one count agree for a join, but data hashed by
    o_custkey is not where hashing by o_orderkey puts it: that exchange must run."""
    rng = np.random.default_rng(7)
    customer = pd.DataFrame({'c_custkey': np.arange(30), 'c_name': [f'c{i}' for i in range(30)]})
    orders = pd.DataFrame({'o_orderkey': np.arange(60), 'o_custkey': rng.integers(0, 30, 60)})
    lineitem = pd.DataFrame({'l_orderkey': rng.integers(0, 60, 200), 'qty': np.arange(200)})
    tables = {'customer': customer, 'orders': orders, 'lineitem': lineitem}
    registry = Registry()
    registry.source('table', partitions=lambda params: 3)(
        lambda params, i: tables[params['name']].iloc[i::3].reset_index(drop=True))
    register_hash_exchange(registry)
    registry.join(lambda params, left, right: left.merge(right, left_on=params['left'],
                                                           right_on=params['right']))
    store = korvane_core.GraphStore()

    def hashed(node, by):
        return store.add_exchange([node], {'by': by, 'partitions': 4})

    def table(name):
        return store.add_source('table', {'name': name})

    with_customer = store.add_join([hashed(table('customer'), 'c_custkey'),
                                    hashed(table('orders'), 'o_custkey')],
                                   {'left': 'c_custkey', 'right': 'o_custkey'})
    items = store.add_join([hashed(with_customer, 'o_orderkey'), hashed(table('lineitem'), 'l_orderkey')],
                           {'left': 'o_orderkey', 'right': 'l_orderkey'})
    got = pd.concat(run_local(store, registry, [items])[items]).sort_values('qty')
    expected = customer.merge(orders, left_on='c_custkey', right_on='o_custkey').merge(
        lineitem, left_on='o_orderkey', right_on='l_orderkey').sort_values('qty')
    assert got['c_name'].tolist() == expected['c_name'].tolist() and len(got) == 200
