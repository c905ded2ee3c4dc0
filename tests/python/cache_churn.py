"""Writers that all store and load one cache key at once, for the cache's concurrency test:
run in threads of the test's process, and as processes of their own with
`python cache_churn.py LOCATION MARKER ROUNDS`, which prints its bad loads and its corrupt
count."""
import sys

from korvane.run import Cache

KEY = ('5e' * 32, 0)
# Large enough that a write takes many system calls, so that one torn write would show.
SIZE = 1 << 20


def churn(cache, marker, rounds):
    """Stores this writer's value and loads whatever is there, `rounds` times. Every load
    must hit (nothing removes the entry) and give some writer's whole value; returns the
    loads that did not."""
    bad = []
    for _ in range(rounds):
        cache.store(*KEY, bytes([marker]) * SIZE)
        hit, value = cache.load(*KEY)
        if not hit or len(value) != SIZE or value.count(value[:1]) != SIZE:
            bad.append((hit, None if value is None else len(value)))
    return bad


if __name__ == '__main__':
    location, marker, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    cache = Cache(location)
    print(len(churn(cache, marker, rounds)), cache.stats()['corrupt'])
