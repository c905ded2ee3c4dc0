"""IncrementalReducer: stepping while building, and finalize against GraphStore.reduce."""
import random
import threading

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from evaluator import evaluate, output_values, value_at
from korvane_core import GraphStore, IncrementalReducer

ADD_ZERO = {"scalar": 0.0, "side": "r"}
MUL_ONE = {"scalar": 1.0, "side": "l"}
COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]


def content(store):
    return store.nodes(), store.outputs(), store.node_map()


def marked(store, outputs):
    """The same nodes under the same ids, with `outputs` marked (marks come only from blobs)."""
    return GraphStore.deserialize(store.serialize(outputs=outputs))


def counters(reducer):
    return reducer.watermark(), reducer.total_work(), reducer.canonical_count()


def raises_with_note(exc_type, message, note, call):
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == [f"while processing '{note}'"]


def five_node_store():
    store = GraphStore()
    a = store.add_source("a")
    b = store.add_source("b")
    c = store.add_op("add", [a, b])
    d = store.add_op("neg", [c])
    store.add_reduction("sum", [d])
    return store


# --- counters and steps -------------------------------------------------------


def test_new_reducer_counts_nothing():
    assert counters(IncrementalReducer()) == (0, 0, 0)


def test_step_consumes_only_the_new_nodes():
    store = five_node_store()
    reducer = IncrementalReducer()
    assert reducer.step(store) == 5
    assert reducer.step(store=store) == 0
    assert counters(reducer) == (5, 5, 5)
    store.add_op("abs", [4])
    assert reducer.step(store) == 1
    assert counters(reducer) == (6, 6, 6)


def build_mixed(store, after_each=lambda: None):
    a = store.add_source("a")
    after_each()
    b = store.add_source("b")
    after_each()
    x = store.add_op("add", [a], ADD_ZERO)
    after_each()
    y = store.add_op("mul", [b, x])
    after_each()
    z = store.add_op("mul", [a, b])
    after_each()
    w = store.add_op("neg", [z])
    after_each()
    v = store.add_op("neg", [y])
    after_each()
    return [w, v]


def test_stepping_after_every_call_equals_stepping_once():
    each_store, each = GraphStore(), IncrementalReducer()
    outputs = build_mixed(each_store, lambda: each.step(each_store))
    once_store, once = GraphStore(), IncrementalReducer()
    build_mixed(once_store)
    once.step(once_store)

    assert counters(each) == counters(once) == (7, 7, 4)
    each_result = each.finalize(each_store, outputs=outputs)
    once_result = once.finalize(once_store, outputs=outputs)
    assert content(each_result[0]) == content(once_result[0])
    assert each_result[1] == once_result[1]


def test_identity_takes_its_operands_place():
    store = GraphStore()
    a = store.add_source("a")
    reducer = IncrementalReducer()
    reducer.step(store)
    for params in (ADD_ZERO, {"scalar": 0.0, "side": "l"}, {"scalar": 1.0, "side": "r"}, MUL_ONE):
        name = "add" if params["scalar"] == 0.0 else "mul"
        a = store.add_op(name, [a], params)
        reducer.step(store)
        assert reducer.canonical_count() == 1
    assert reducer.watermark() == 5


@pytest.mark.parametrize("inputs", [[], [0, 0], [0, 1]])
def test_identity_without_exactly_one_input_stays(inputs):
    store = GraphStore()
    store.add_source("a")
    store.add_source("b")
    node = store.add_op("add", inputs, ADD_ZERO)
    store = marked(store, [node])
    reducer = IncrementalReducer()
    reducer.step(store)
    assert reducer.canonical_count() == 3
    # It keeps every input, as the full reduction does.
    reduced, _ = reducer.finalize(store)
    expected, _ = store.reduce()
    assert content(reduced) == content(expected)


@pytest.mark.parametrize("name", COMMUTATIVE)
def test_commuted_twins_share_a_position(name):
    store = GraphStore()
    a, b = store.add_source("a"), store.add_source("b")
    store.add_op(name, [a, b])
    store.add_op(name, [b, a])
    reducer = IncrementalReducer()
    reducer.step(store)
    assert reducer.canonical_count() == 3


def test_commuted_twins_with_params_stay_apart():
    store = GraphStore()
    a, b = store.add_source("a"), store.add_source("b")
    store.add_op("add", [a, b], {"k": 1})
    store.add_op("add", [b, a], {"k": 1})
    reducer = IncrementalReducer()
    reducer.step(store)
    assert reducer.canonical_count() == 4


def test_sub_is_not_commuted():
    store = GraphStore()
    a, b = store.add_source("a"), store.add_source("b")
    store.add_op("sub", [a, b])
    store.add_op("sub", [b, a])
    reducer = IncrementalReducer()
    reducer.step(store)
    assert reducer.canonical_count() == 4


# --- finalize -------------------------------------------------------------------


def chain_store():
    store = GraphStore()
    s = store.add_source("s")
    f = store.add_op("f", [s])
    g = store.add_op("g", [f])
    return marked(store, [g])


def test_finalize_without_a_step_consumes_everything():
    store = chain_store()
    reducer = IncrementalReducer()
    result = reducer.finalize(store)
    assert isinstance(result, tuple) and len(result) == 2
    reduced, report = result
    expected, _ = store.reduce()
    assert content(reduced)[:2] == content(expected)[:2]
    assert report["input_nodes"] == 3
    assert list(report) == ["input_nodes", "reachable_nodes", "canonical_nodes", "stages",
                            "reduced_nodes", "boundary_nodes"]
    assert reducer.watermark() == 3


def test_finalize_twice_gives_equal_results_and_consumes_nothing_more():
    store = GraphStore()
    store = marked(store, build_mixed(store))
    reducer = IncrementalReducer()
    first_store, first_report = reducer.finalize(store, maximal_fusion=True)
    before = counters(reducer)
    second_store, second_report = reducer.finalize(store, maximal_fusion=True)
    assert counters(reducer) == before
    assert content(first_store) == content(second_store)
    assert first_report == second_report


def test_node_map_is_indexed_by_the_fed_stores_ids():
    store = GraphStore()
    a = store.add_source("a")
    b = store.add_source("b")
    x = store.add_op("add", [a], ADD_ZERO)
    p = store.add_op("add", [a, b])
    q = store.add_op("add", [b, x])
    dead = store.add_source("dead")
    reducer = IncrementalReducer()
    reduced, report = reducer.finalize(store, outputs=[q])
    node_map = reduced.node_map()
    assert len(node_map) == store.node_count()
    assert node_map[x] == node_map[a]
    assert node_map[p] == node_map[q]
    assert node_map[dead] is None
    assert report["input_nodes"] == reducer.canonical_count() == 4


def test_explicit_outputs_ignore_the_marks_and_keep_their_order():
    store = marked(five_node_store(), [4])
    reducer = IncrementalReducer()
    reduced, _ = reducer.finalize(store, outputs=[3, 0, 3])
    expected, _ = store.reduce(outputs=[3, 0, 3])
    assert content(reduced) == content(expected)
    assert store.outputs() == [4]


def test_refused_output_leaves_the_watermark():
    store = chain_store()
    reducer = IncrementalReducer()
    reducer.step(store)
    store.add_source("late")
    n = store.node_count()
    with pytest.raises(ValueError, match=f"^no node with id {n}$"):
        reducer.finalize(store, outputs=[0, n, n + 1])
    assert reducer.watermark() == 3
    # Nodes added since the last step are consumed by a successful finalize.
    reducer.finalize(store, outputs=[n - 1])
    assert reducer.watermark() == n


# --- argument errors -------------------------------------------------------------


def test_step_refuses_a_non_store():
    raises_with_note(TypeError, "'int' object is not an instance of 'GraphStore'", "store",
                     lambda: IncrementalReducer().step(42))


def test_finalize_argument_errors_carry_notes_and_change_nothing():
    store = five_node_store()
    reducer = IncrementalReducer()
    raises_with_note(TypeError, "'list' object is not an instance of 'GraphStore'", "store",
                     lambda: reducer.finalize([]))
    raises_with_note(TypeError, "'int' object is not an instance of 'bool'", "maximal_fusion",
                     lambda: reducer.finalize(store, maximal_fusion=1))
    raises_with_note(TypeError, "Can't extract `str` to `Vec`", "outputs",
                     lambda: reducer.finalize(store, outputs="12"))
    with pytest.raises(OverflowError) as info:
        reducer.finalize(store, outputs=[-1])
    assert info.value.__notes__ == ["while processing 'outputs'"]
    assert counters(reducer) == (0, 0, 0)


# --- threads ---------------------------------------------------------------------


def test_one_reducer_and_one_store_shared_between_threads():
    store = GraphStore()
    reducer = IncrementalReducer()
    base = [store.add_source(f"s{i}") for i in range(4)]
    errors = []
    barrier = threading.Barrier(4)

    def build(seed):
        rng = random.Random(seed)
        try:
            barrier.wait()
            ids = list(base)
            for i in range(300):
                kind = rng.randrange(4)
                if kind == 0:
                    ids.append(store.add_op("add", [rng.choice(ids)], ADD_ZERO))
                elif kind == 1:
                    ids.append(store.add_op(rng.choice(["add", "mul"]), [rng.choice(ids), rng.choice(ids)]))
                else:
                    ids.append(store.add_op("neg", [rng.choice(ids)], {"i": rng.randrange(5)}))
                if i % 7 == 0:
                    reducer.step(store)
                    # Another thread may step between the two reads; the
                    # watermark read second can only be ahead.
                    assert reducer.total_work() <= reducer.watermark()
        except BaseException as error:  # surfaced in the main thread below
            errors.append(error)

    threads = [threading.Thread(target=build, args=(seed,)) for seed in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors[0]

    reducer.step(store)
    assert reducer.watermark() == reducer.total_work() == store.node_count()
    outputs = list(range(store.node_count()))
    reduced, report = reducer.finalize(store, outputs=outputs)
    expected, expected_report = store.reduce(outputs=outputs)
    assert content(reduced) == content(expected)
    for key in ("canonical_nodes", "stages", "boundary_nodes", "reduced_nodes"):
        assert report[key] == expected_report[key]


# --- against the full reduction ----------------------------------------------------

# Small pipelines: far fewer than 500 commutative operations of one name, so
# no rule of the engine is ever banned and both roads find every equality.
NAMES = ["add", "mul", "maximum", "sub", "neg", "abs"]


@st.composite
def pipelines(draw):
    """Recording calls, whose inputs name earlier calls, and the calls after which to step."""
    calls = [("source", ("s0", None)), ("source", ("s1", None))]
    count = draw(st.integers(min_value=0, max_value=40))
    for _ in range(count):
        n = len(calls)
        choice = draw(st.integers(min_value=0, max_value=9))
        pick = st.integers(min_value=0, max_value=n - 1)
        if choice == 0:
            calls.append(("source", (draw(st.sampled_from(["s0", "s1", "s2"])), None)))
        elif choice == 1:
            name, params = draw(st.sampled_from([("add", ADD_ZERO), ("add", {"scalar": 0.0, "side": "l"}),
                                                 ("mul", MUL_ONE), ("mul", {"scalar": 1.0, "side": "r"})]))
            calls.append(("op", (name, [draw(pick)], params)))
        elif choice == 2:
            calls.append(("op", ("add", draw(st.lists(pick, max_size=3)), ADD_ZERO)))
        elif choice == 3:
            calls.append(("reduction", ("sum", [draw(pick)], None)))
        elif choice == 4:
            calls.append(("exchange", ([draw(pick)], {"scheme": "hash"})))
        elif choice == 5:
            calls.append(("op", (draw(st.sampled_from(NAMES)), [draw(pick)], {"k": draw(st.integers(0, 2))})))
        else:
            name = draw(st.sampled_from(NAMES))
            arity = 2 if name in ("add", "mul", "maximum", "sub") else 1
            calls.append(("op", (name, [draw(pick) for _ in range(arity)], None)))
    steps = draw(st.sets(st.integers(min_value=0, max_value=len(calls) - 1)))
    return calls, steps


def record(store, call, args, ids):
    """Records one call; inputs are call positions, read through the ids the calls got."""
    if call == "source":
        return store.add_source(*args)
    if call == "exchange":
        inputs, params = args
        return store.add_exchange([ids[i] for i in inputs], params)
    name, inputs, params = args
    add = store.add_op if call == "op" else store.add_reduction
    return add(name, [ids[i] for i in inputs], params)


def everything_reachable(store, outputs):
    nodes = store.nodes()
    seen = set()
    todo = list(outputs)
    while todo:
        node = todo.pop()
        if node not in seen:
            seen.add(node)
            todo.extend(nodes[node]["inputs"])
    return len(seen) == len(nodes)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pipelines(), st.booleans(), st.data())
def test_finalize_agrees_with_the_full_reduction(pipeline, maximal, data):
    calls, steps = pipeline
    store = GraphStore()
    reducer = IncrementalReducer()
    ids = []
    for index, (call, args) in enumerate(calls):
        ids.append(record(store, call, args, ids))
        if index in steps:
            reducer.step(store)
    n = store.node_count()
    # Either a few random outputs (dead nodes likely) or every node that
    # nothing consumes (the whole store reachable).
    consumed = {i for node in store.nodes() for i in node["inputs"]}
    sinks = [i for i in range(n) if i not in consumed]
    outputs = data.draw(st.one_of(st.just(sinks), st.lists(st.integers(0, n - 1), min_size=1, max_size=4)))
    explicit = outputs if data.draw(st.booleans()) else None
    if explicit is None:
        # A node-for-node copy with marks; the reducer has seen the same nodes.
        store = marked(store, outputs)

    reduced, report = reducer.finalize(store, maximal_fusion=maximal, outputs=explicit)
    expected, expected_report = store.reduce(maximal_fusion=maximal, outputs=explicit)

    assert reducer.watermark() == reducer.total_work() == n
    wanted = store.outputs() if explicit is None else explicit
    original = output_values(store, wanted)
    for result in (reduced, expected):
        values, node_map = evaluate(result), result.node_map()
        assert [value_at(values, node_map[o]) for o in wanted] == original
    for key in ("canonical_nodes", "stages", "boundary_nodes", "reduced_nodes"):
        assert report[key] == expected_report[key], key
    assert report["input_nodes"] == reducer.canonical_count()
    assert len(reduced.node_map()) == n
    if everything_reachable(store, store.outputs() if explicit is None else explicit):
        assert content(reduced)[:2] == content(expected)[:2]

