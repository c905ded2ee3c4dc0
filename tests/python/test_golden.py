"""Reductions of seeded pipelines match digests recorded before any speed work.

Each case builds one graph (pipelines.py) while an IncrementalReducer steps
along, then reduces it several ways. The SHA-256 of the reduced store's blob,
of its report and of its node map must equal the recorded ones bit for bit,
for GraphStore.reduce and IncrementalReducer.finalize alike.
"""
import hashlib
import json

import pytest

import pipelines
from golden_digests import DIGESTS
from korvane_core import GraphStore, IncrementalReducer

STEP_EVERY = 997  # steps land at irregular points of the pipelines

CASES = {
    'realistic-10k': lambda b: pipelines.realistic(b, 10_000, 11),
    'realistic-100k': lambda b: pipelines.realistic(b, 100_000, 7),
    'rule-heavy-10k': lambda b: pipelines.rule_heavy(b, 10_000, 3),
    'rule-heavy-100k': lambda b: pipelines.rule_heavy(b, 100_000, 5),
    'towers-12k': lambda b: pipelines.towers(b, 12_000),
    'realistic-1M': lambda b: pipelines.realistic(b, 1_000_000, 7),
}
LARGE = {'realistic-1M'}


def digest(data):
    return hashlib.sha256(data).hexdigest()


def result_digests(result):
    """[blob, report, node map] digests of a (store, report) pair."""
    store, report = result
    return [digest(store.serialize()),
            digest(json.dumps(report, sort_keys=True).encode()),
            digest(json.dumps(store.node_map()).encode())]


def reductions(name):
    """Every reduction of the case's graph, by variant name."""
    store = GraphStore()
    reducer = IncrementalReducer()

    def step_now_and_then(s):
        if s.node_count() % STEP_EVERY == 0:
            reducer.step(s)

    outputs = CASES[name](pipelines.Recorder(store, step_now_and_then))
    # Explicit outputs in another order than marked, with repeats.
    explicit = outputs[::-1] + outputs[:3]
    results = {
        'reduce': store.reduce(outputs=explicit),
        'reduce-maximal': store.reduce(outputs=explicit, maximal_fusion=True),
        'finalize': reducer.finalize(store, outputs=explicit),
    }
    if name in LARGE:
        return results
    results['finalize-maximal'] = reducer.finalize(store, outputs=explicit, maximal_fusion=True)
    marked = GraphStore.deserialize(store.serialize(outputs=outputs))
    results['reduce-marked'] = marked.reduce()
    fresh = IncrementalReducer()
    fresh.step(marked)
    results['finalize-marked'] = fresh.finalize(marked)
    # A reduced store, reduced again: its stages are boundaries now.
    results['reduce-reduced'] = results['reduce'][0].reduce()
    return results


def computed_digests(name):
    return {variant: result_digests(result) for variant, result in reductions(name).items()}


@pytest.mark.parametrize('name', [
    pytest.param(name, marks=[pytest.mark.slow] if name in LARGE else []) for name in CASES])
def test_reductions_match_the_recorded_digests(name):
    found = computed_digests(name)
    assert found.keys() == DIGESTS[name].keys()
    changed = {variant: [part for part, a, b in zip(['blob', 'report', 'node map'], got, DIGESTS[name][variant])
                         if a != b]
               for variant, got in found.items() if got != DIGESTS[name][variant]}
    assert not changed, f'{name}: reductions differ from the recorded ones: {changed}'
