"""The exchange benchmark's own measuring parts: its hash split hands every row to exactly the
piece its key's bucket names, and its ideal counts each exchange result once per other
worker that reads it. (The benchmark itself is run by hand.)"""
import sys
from pathlib import Path

from hypothesis import given
from hypothesis import strategies as st

from optional_deps import require

np = require('numpy')
pd = require('pandas')
require('distributed', 'psutil')
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / 'bench'))
from exchange_metrics import exchange_bytes_changing_worker  # noqa: E402
from exchange_registry import hash_buckets, split_by_key  # noqa: E402

int64s = st.integers(-2**63, 2**63 - 1)


@given(st.lists(int64s, max_size=60), st.integers(1, 12))
def test_split_puts_each_row_in_its_keys_bucket_in_order(keys, n):
    frame = pd.DataFrame({'key': np.array(keys, dtype=np.int64), 'row': np.arange(len(keys))})
    pieces = split_by_key({'key': 'key'}, frame, n)
    assert len(pieces) == n
    buckets = hash_buckets(frame['key'].to_numpy(), n)
    for j, piece in enumerate(pieces):
        expected = frame[buckets == j]
        assert piece['row'].tolist() == expected['row'].tolist()
        assert piece['key'].tolist() == expected['key'].tolist()
        assert list(piece.index) == list(range(len(piece)))


def test_buckets_spread_an_arithmetic_progression():
    # Keys generated per partition are runs like i, i + 16, i + 32, ...: a plain key % 16
    # would put all of them in one bucket.
    counts = np.bincount(hash_buckets(3 + 16 * np.arange(16_000, dtype=np.int64), 16), minlength=16)
    assert counts.min() > 800


def test_ideal_counts_each_exchange_result_once_per_other_reading_worker():
    split = ('exchange-split-4-t', 0)
    piece = ('exchange-piece-4-t', 0, 1)
    placements = {
        split: ('w1', 100, ()),
        piece: ('w1', 10, (split,)),
        ('source-read-1-t', 0): ('w1', 1000, ()),
        ('exchange-4-t', 0): ('w1', 7, (split,)),            # on the split's own worker
        ('join-6-t', 0): ('w2', 5, (split, piece, ('source-read-1-t', 0))),
        ('join-6-t', 1): ('w2', 5, (split, ('exchange-4-t', 0))),   # split again to w2; an output
        ('join-6-t', 2): ('w3', 5, (piece,)),
    }
    # Pieces are tasks here: piece to w2 and to w3 (10 + 10); a split moved to run a piece
    # elsewhere is beyond the ideal; neither a source partition nor an exchange's output
    # partition is the exchange's own data.
    assert exchange_bytes_changing_worker(placements) == 20
    # Where splits are read whole (no piece tasks), the split to w2 counts once.
    del placements[piece]
    placements[('join-6-t', 0)] = ('w2', 5, (split, ('source-read-1-t', 0)))
    placements[('join-6-t', 2)] = ('w3', 5, (split,))
    assert exchange_bytes_changing_worker(placements) == 200
