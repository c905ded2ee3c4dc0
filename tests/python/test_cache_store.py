"""The result cache's store: values come back equal through each codec; an entry cut short,
changed or another key's is a counted miss and is removed; writers in threads and processes
never let a reader see part of a value; eviction drops the least recently used entry and never
one a load is reading; a location that cannot be written is named before anything runs."""
import math
import os
import pickle
import re
import subprocess
import sys
import tempfile
import threading
import uuid
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import cache_churn
from optional_deps import optional
from korvane.run import Cache, CacheError, CacheNotWritable
from korvane.run.cache_entries import FIELDS, HEADER_SIZE

pytestmark = pytest.mark.thread_unsafe(
    reason="each test counts what happens in its own cache; the concurrency test starts its "
           "own threads and processes")

FRAMES = optional('numpy', 'pandas', 'pyarrow', 'pyarrow.parquet')
FSSPEC = optional('fsspec')
if FRAMES:
    np, pd, pa, _ = FRAMES


def fingerprint(n):
    """A fingerprint whose first two digits, its directory, differ with n."""
    return f'{n:02x}' * 32


FP, OTHER_FP = fingerprint(0xab), fingerprint(0xcd)


def entry_path(location, fp, partition):
    return Path(location) / fp[:2] / f"{fp}-{'s' if partition is None else partition}.kvc"


def recorded_codec(location, fp, partition):
    return FIELDS.unpack_from(entry_path(location, fp, partition).read_bytes())[2] \
        .rstrip(b'\0').decode()


def same(a, b):
    """Equal, with NaN equal to NaN and -0.0 told from 0.0; frames with dtypes and index."""
    if FRAMES and isinstance(a, pd.DataFrame):
        pd.testing.assert_frame_equal(a, b, check_exact=True, check_index_type=True,
                                      check_column_type=True, check_freq=True)
        return all(np.array_equal(np.signbit(a[c].to_numpy()), np.signbit(b[c].to_numpy()))
                   for c in a.columns if a[c].dtype.kind == 'f')
    if FRAMES and isinstance(a, pa.Table):
        return a.schema.equals(b.schema, check_metadata=True) and same(a.to_pylist(), b.to_pylist())
    if isinstance(a, float):
        return type(b) is float and (math.isnan(a) and math.isnan(b) or
                                     a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return type(b) is dict and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


scalars = st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=6) | st.binary(max_size=6)
plain_values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
                            | st.dictionaries(st.text(max_size=3), inner, max_size=3), max_leaves=10)


def column_makers():
    def values(strategy, n):
        return st.lists(strategy, min_size=n, max_size=n)
    return {
        'int64': lambda n: values(st.integers(-2**63, 2**63 - 1), n).map(lambda v: np.array(v, 'int64')),
        'float64': lambda n: values(st.floats(), n).map(lambda v: np.array(v, 'float64')),
        'float32': lambda n: values(st.floats(width=32), n).map(lambda v: np.array(v, 'float32')),
        'bool': lambda n: values(st.booleans(), n),
        'Int64': lambda n: values(st.none() | st.integers(-99, 99), n).map(lambda v: pd.array(v, 'Int64')),
        'string': lambda n: values(st.none() | st.text(max_size=5), n).map(lambda v: pd.array(v, 'string')),
        'category': lambda n: values(st.sampled_from('xyz'), n).map(lambda v: pd.Categorical(v, categories=list('xyz'))),
        'datetime': lambda n: values(st.integers(0, 2**62), n).map(lambda v: np.array(v, 'datetime64[ns]')),
    }


@st.composite
def frames(draw):
    # Not empty: Parquet drops the categories of an empty categorical column.
    n = draw(st.integers(1, 5))
    makers = column_makers()
    names = draw(st.lists(st.sampled_from(sorted(makers)), min_size=1, max_size=4, unique=True))
    kind = draw(st.sampled_from(['default', 'range', 'int64', 'str']))
    index = None
    if kind == 'range':
        index = pd.RangeIndex(5, 5 + 3 * n, 3)
    elif kind == 'int64':
        index = pd.Index(draw(st.lists(st.integers(-9, 9), min_size=n, max_size=n, unique=True)), 'int64', name='k')
    elif kind == 'str':
        index = pd.Index(draw(st.lists(st.text(max_size=4), min_size=n, max_size=n, unique=True)), name='s')
    return pd.DataFrame({name: draw(makers[name](n)) for name in names}, index=index)


@st.composite
def tables(draw):
    n = draw(st.integers(0, 5))
    columns = {
        'i': pa.array(draw(st.lists(st.none() | st.integers(-2**63, 2**63 - 1), min_size=n, max_size=n)), pa.int64()),
        'f': pa.array(draw(st.lists(st.floats(), min_size=n, max_size=n)), pa.float64()),
        's': pa.array(draw(st.lists(st.none() | st.text(max_size=4), min_size=n, max_size=n)), pa.large_string()),
        'l': pa.array(draw(st.lists(st.lists(st.integers(-9, 9), max_size=3), min_size=n, max_size=n)),
                      pa.list_(pa.int16())),
    }
    names = draw(st.lists(st.sampled_from(sorted(columns)), min_size=1, max_size=4, unique=True))
    return pa.table({name: columns[name] for name in names})


values = plain_values | (frames() | tables() if FRAMES else st.nothing())


@settings(max_examples=80, deadline=None)
@given(value=values)
def test_values_come_back_equal_through_each_codec(value):
    frame = FRAMES and isinstance(value, (pd.DataFrame, pa.Table))
    parquet = ('parquet-pandas' if isinstance(value, pd.DataFrame) else 'parquet-arrow') if frame else None
    with tempfile.TemporaryDirectory() as root:
        for partition, codec in enumerate(['pickle', 'auto'] + (['parquet'] if frame else [])):
            cache = Cache(root, codec=codec)
            if codec == 'parquet' and recorded_codec(root, FP, 1) == 'pickle':
                # auto found that Parquet would change this frame: asked for, it is an error.
                with pytest.raises(CacheError):
                    cache.store(FP, partition, value)
                continue
            cache.store(FP, partition, value)
            hit, back = cache.load(FP, partition)
            assert hit and same(value, back), (codec, back)
            expected = {'pickle': ('pickle',), 'auto': (parquet or 'pickle', 'pickle'),
                        'parquet': (parquet,)}[codec]
            assert recorded_codec(root, FP, partition) in expected


def test_values_parquet_would_change_go_through_pickle_or_fail(tmp_path):
    if not FRAMES:
        pytest.skip('needs numpy, pandas and pyarrow (the bench and cache extras)')
    auto, strict = Cache(tmp_path / 'auto'), Cache(tmp_path / 'strict', codec='parquet')
    changed_by_parquet = [
        pd.DataFrame({'o': pd.Series([1, 'a'], dtype=object)}),  # Arrow cannot type it
        pd.DataFrame({'o': pd.Series([1, 2], dtype=object)}),  # would come back int64
        pd.DataFrame({'o': pd.Series([b'a', math.nan], dtype=object)}),  # NaN would come back None
        pd.DataFrame({'f': [1.0, 2.0]}, index=pd.date_range('2020-01-01', periods=2, freq='D')),  # freq
        pd.DataFrame({'f': pd.Series([0.0, -math.nan], dtype='float32')}),  # the NaN's sign
    ]
    # A plain frame and table go through Parquet.
    auto.store(FP, 100, pd.DataFrame({'i': [1, 2], 'f': [-0.0, math.nan]}))
    auto.store(FP, 101, pa.table({'i': [1, 2], 'f': [-0.0, math.nan]}))
    assert [recorded_codec(auto.location, FP, p) for p in (100, 101)] == ['parquet-pandas', 'parquet-arrow']
    for partition, frame in enumerate(changed_by_parquet):
        auto.store(FP, partition, frame)
        assert recorded_codec(auto.location, FP, partition) == 'pickle'
        _, back = auto.load(FP, partition)
        assert same(frame, back) and [list(map(type, frame[c])) for c in frame] == [list(map(type, back[c])) for c in back]
        with pytest.raises(CacheError, match=f'fingerprint {FP}, partition {partition}'):
            strict.store(FP, partition, frame)
    with pytest.raises(CacheError, match=f'fingerprint {FP}, the single value.*pickle cannot') as caught:
        auto.store(FP, None, threading.Lock())
    assert str(pickle.loads(pickle.dumps(caught.value))) == str(caught.value)
    with pytest.raises(CacheError, match='parquet codec cannot store int'):
        strict.store(FP, None, 1)


damages = st.one_of(
    st.tuples(st.just('cut'), st.floats(0, 1, exclude_max=True)),
    st.tuples(st.just('flip'), st.floats(0, 1, exclude_max=True), st.integers(0, 7)),
    st.tuples(st.just('grow'), st.binary(min_size=1, max_size=8)),
    st.tuples(st.just('foreign'), st.sampled_from(['fingerprint', 'partition'])))


@settings(max_examples=80, deadline=None)
@given(damage=damages, partition=st.none() | st.integers(0, 3))
def test_damaged_entries_are_counted_removed_and_missed(damage, partition):
    value = {'rows': list(range(40))}
    with tempfile.TemporaryDirectory() as root:
        cache = Cache(root)
        cache.store(FP, partition, value)
        path = entry_path(root, FP, partition)
        data = path.read_bytes()
        if damage[0] == 'cut':
            data = data[:int(damage[1] * len(data))]
        elif damage[0] == 'flip':
            at = int(damage[1] * len(data))
            data = data[:at] + bytes([data[at] ^ 1 << damage[2]]) + data[at + 1:]
        elif damage[0] == 'grow':
            data += damage[1]
        else:  # another key's whole entry, under this key's name
            other = (OTHER_FP, partition) if damage[1] == 'fingerprint' else (FP, 9)
            cache.store(*other, value)
            data = entry_path(root, *other).read_bytes()
        path.write_bytes(data)
        assert cache.load(FP, partition) == (False, None)
        assert not path.exists()
        assert {k: cache.stats()[k] for k in ('hits', 'misses', 'corrupt')} == {'hits': 0, 'misses': 1, 'corrupt': 1}
        cache.store(FP, partition, value)
        assert cache.load(FP, partition) == (True, value)


def test_concurrent_writers_never_let_a_reader_see_part_of_a_value(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(__file__).parent), *filter(None, [os.environ.get('PYTHONPATH')])]))
    processes = [subprocess.Popen([sys.executable, cache_churn.__file__, str(tmp_path), str(m), '40'],
                                  stdout=subprocess.PIPE, text=True, env=env) for m in (1, 2)]
    cache = Cache(tmp_path)
    bad = []
    threads = [threading.Thread(target=lambda m=m: bad.extend(cache_churn.churn(cache, m, 25)))
               for m in range(3, 9)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    outputs = [process.communicate(timeout=300)[0].split() for process in processes]
    assert bad == [] and cache.stats()['corrupt'] == 0
    assert outputs == [['0', '0'], ['0', '0']]
    assert cache.load(*cache_churn.KEY)[0]
    assert [p.name for p in tmp_path.rglob('*') if p.is_file()] == [entry_path('', *cache_churn.KEY).name]


ENTERED, RELEASED = threading.Event(), threading.Event()


def opened(padding):
    ENTERED.set()
    assert RELEASED.wait(60)
    return padding


class Gate:
    """A value whose unpickling waits for the test: a load that is still reading."""

    def __init__(self, padding):
        self.padding = padding

    def __reduce__(self):
        return opened, (self.padding,)


def test_eviction_drops_the_least_recently_used_and_never_an_entry_being_loaded(tmp_path):
    padding = bytes(10_000)
    cache = Cache(tmp_path, max_bytes=30_600)
    keys = [fingerprint(i) for i in range(5)]

    def present():
        return {keys.index(fp) for fp, _ in cache.entries_present((k, None) for k in keys)}

    for fp, value in zip(keys[:3], [padding, padding, Gate(padding)]):
        cache.store(fp, None, value)
    sizes = [entry_path(tmp_path, fp, None).stat().st_size for fp in keys[:3]]
    assert 3 * max(sizes) <= cache.max_bytes < 4 * min(sizes)
    assert cache.load(keys[0], None) == (True, padding)
    cache.store(keys[3], None, padding)
    assert present() == {0, 2, 3}  # 1 was least recently used: stored and never loaded
    ENTERED.clear()
    RELEASED.clear()
    loaded = []
    reader = threading.Thread(target=lambda: loaded.append(cache.load(keys[2], None)))
    reader.start()
    try:
        assert ENTERED.wait(60)
        cache.store(keys[4], None, padding)
        assert present() == {2, 3, 4}  # 2 is least recently used, but being loaded
    finally:
        RELEASED.set()
        reader.join()
    assert loaded == [(True, padding)]
    assert cache.stats()['hits'] == 2


def test_sweeps_and_clear_remove_what_dead_writers_left(tmp_path):
    Cache(tmp_path).store(FP, 0, 'kept')
    stale = entry_path(tmp_path, FP, 1).with_name(f'{FP}-1.kvc.4242-{uuid.uuid4().hex}.tmp')
    live = entry_path(tmp_path, FP, 2).with_name(f'{FP}-2.kvc.4343-{uuid.uuid4().hex}.tmp')
    stale.write_bytes(b'half an entry')
    live.write_bytes(b'a write going on')
    os.utime(stale, (0, 0))
    cache = Cache(tmp_path, max_bytes=10**6)
    assert cache.load(FP, 1) == (False, None) and cache.stats()['corrupt'] == 0
    assert cache.entries_present([(FP, 0), (FP, 1), (FP, 2)]) == {(FP, 0)}
    cache.store(FP, 3, 'new')  # its first store lists the store, and sweeps
    assert not stale.exists() and live.exists()
    assert cache.load(FP, 0) == (True, 'kept')
    cache.clear()
    assert [p for p in tmp_path.rglob('*') if p.is_file()] == []
    assert cache.load(FP, 3) == (False, None)


@pytest.mark.parametrize('where', ['under a regular file', 'in a read-only directory'])
def test_an_unwritable_location_is_named(tmp_path, where):
    if where == 'under a regular file':
        (tmp_path / 'file').write_text('')
        location = tmp_path / 'file' / 'cache'
    else:
        location = tmp_path / 'read-only'
        location.mkdir(mode=0o500)
        if os.access(location, os.W_OK):
            pytest.skip('this user writes to read-only directories (root)')
    cache = Cache(location)  # nothing is touched before check_writable
    with pytest.raises(CacheNotWritable, match=re.escape(str(location)) + '.*make it writable'):
        cache.check_writable()
    with pytest.raises(OSError):
        cache.store(FP, 0, 'value')


def test_a_cache_travels_as_its_location_and_settings(tmp_path, monkeypatch):
    cache = Cache(tmp_path, max_bytes=10**6, codec='pickle')
    cache.store(FP, None, [1.5])
    copy = pickle.loads(pickle.dumps(cache))
    assert (copy.location, copy.max_bytes, copy.codec) == (str(tmp_path), 10**6, 'pickle')
    assert copy.stats() == dict.fromkeys(['hits', 'misses', 'bytes_read', 'bytes_written', 'corrupt'], 0)
    assert copy.load(FP, None) == (True, [1.5]) and copy.load(FP, 0) == (False, None)
    size = entry_path(tmp_path, FP, None).stat().st_size
    assert (copy.stats()['bytes_read'], cache.stats()['bytes_written'], cache.stats()['hits']) == (size, size, 0)
    assert copy.contains(FP, None) and not copy.contains(FP, 0)
    # One listing per fingerprint prefix, whatever the number of keys asked about.
    same_prefix = FP[:2] + OTHER_FP[2:]
    cache.store(same_prefix, 7, 'x')
    listings = []
    real_listdir = os.listdir
    monkeypatch.setattr(os, 'listdir', lambda path: listings.append(path) or real_listdir(path))
    asked = [(FP, None), (FP, 0), (same_prefix, 7), (same_prefix, None), (OTHER_FP, 7)]
    assert copy.entries_present(asked) == {(FP, None), (same_prefix, 7)}
    assert len(listings) == 2
    for fp, partition in [('../' + FP[3:], 0), (FP.upper(), 0), (FP, -1), (FP, True)]:
        with pytest.raises((ValueError, TypeError)):
            cache.store(fp, partition, 'escape')
    assert [p.name for p in tmp_path.iterdir()] == [FP[:2]]


def test_fsspec_locations(monkeypatch):
    with monkeypatch.context() as without:
        without.setitem(sys.modules, 'fsspec', None)
        without.setitem(sys.modules, 'fsspec.core', None)
        with pytest.raises(ImportError, match=re.escape('pip install korvane-core[cache]')):
            Cache('memory://korvane/cache')
    if FSSPEC is None:
        pytest.skip('fsspec is not installed (the cache extra)')
    url = f'memory://korvane-{uuid.uuid4().hex}/cache'
    cache = Cache(url, max_bytes=3 * (HEADER_SIZE + 1100))
    cache.check_writable()
    keys = [fingerprint(i) for i in range(4)]
    for fp in keys[:3]:
        cache.store(fp, 0, bytes(1000))
    assert cache.load(keys[0], 0) == (True, bytes(1000))
    cache.store(keys[3], 0, bytes(1000))
    assert cache.entries_present((fp, 0) for fp in keys) == {(keys[i], 0) for i in (0, 2, 3)}
    copy = pickle.loads(pickle.dumps(cache))
    fs = FSSPEC[0].filesystem('memory')
    path = f'{url.removeprefix("memory://")}/{keys[2][:2]}/{keys[2]}-0.kvc'
    fs.pipe_file(path, fs.cat_file(path)[:-1])
    assert copy.load(keys[2], 0) == (False, None) and copy.stats()['corrupt'] == 1
    assert not fs.exists(path) and copy.load(keys[3], 0)[0]
    copy.clear()
    assert cache.entries_present((fp, 0) for fp in keys) == set()


def test_a_proven_layout_still_refuses_what_parquet_would_change(tmp_path):
    if not FRAMES:
        pytest.skip('needs numpy, pandas and pyarrow (the bench and cache extras)')
    cache = Cache(tmp_path)
    plain = pd.DataFrame({'f': [1.0, 2.0]}, index=pd.date_range('2020-01-01', periods=2))
    cache.store(FP, 0, plain.set_axis(pd.DatetimeIndex(plain.index, freq=None)))
    # Same columns and index type, but a frequency, or a NaN whose sign Parquet drops.
    for partition, frame in enumerate([plain, plain.assign(f=[1.0, -math.nan])], start=1):
        cache.store(FP, partition, frame)
        hit, back = cache.load(FP, partition)
        assert hit and same(frame, back)
        assert recorded_codec(cache.location, FP, partition) == 'pickle'
