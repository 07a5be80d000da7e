"""bench/cache_sim.py: the row-cache policies against small reference models
and hand-traced sequences, the access order, and the recommendation rule."""

import functools
import json
import math
import random

import numpy as np
import pytest

import larkspur
from conftest import bench_module, write_token_trace

pytestmark = pytest.mark.python_side

sim = bench_module("cache_sim")
ONLINE = [name for name in sim.POLICIES if name != sim.BOUND]


def ref_lru(keys, cap):
    cache, hits = [], []
    for k in keys:
        hits.append(k in cache)
        if k in cache:
            cache.remove(k)
        cache.append(k)
        del cache[:-cap]
    return hits


def ref_clock(keys, cap):
    slots, hand, hits = [], 0, []  # slots: [key, referenced]
    for k in keys:
        slot = next((s for s in slots if s[0] == k), None)
        hits.append(slot is not None)
        if slot is not None:
            slot[1] = True
        elif len(slots) < cap:
            slots.append([k, False])
        else:
            while slots[hand][1]:
                slots[hand][1] = False
                hand = (hand + 1) % cap
            slots[hand] = [k, False]
            hand = (hand + 1) % cap
    return hits


def ref_belady(keys, cap):
    """Evicts, or does not keep, whichever of the cached keys and the missed
    one is used again furthest ahead."""
    cache, hits = set(), []
    for i, k in enumerate(keys):
        hits.append(k in cache)
        if k in cache:
            continue
        if len(cache) < cap:
            cache.add(k)
            continue
        ahead = list(keys[i + 1 :])
        far = max(cache, key=lambda x: ahead.index(x) if x in ahead else math.inf)
        if (ahead.index(k) if k in ahead else math.inf) < (
            ahead.index(far) if far in ahead else math.inf
        ):
            cache.remove(far)
            cache.add(k)
    return hits


REFERENCES = {"LRU": ref_lru, "CLOCK": ref_clock, "Belady": ref_belady}


def random_streams():
    """Short streams over few keys, skewed or not, with caches from 1 key to
    more than all of them."""
    rng = random.Random(7)
    out = []
    for _ in range(25):
        universe = rng.choice([3, 8, 20])
        skewed = rng.random() < 0.5
        keys = [
            int(universe * rng.random() ** 3) if skewed else rng.randrange(universe)
            for _ in range(rng.choice([1, 40, 300]))
        ]
        out.append((keys, rng.choice([1, 2, 3, 5, 8, 25])))
    return out


STREAMS = random_streams()


@pytest.mark.parametrize(
    "name, keys, cap, want",
    [
        ("LRU", "abcab", 2, "00000"),
        ("LRU", "abacab", 2, "001010"),
        ("CLOCK", "abaca", 2, "00101"),  # a's bit saves it; FIFO would lose it
        ("CLOCK", "abacb", 2, "00100"),
        ("Belady", "abcab", 2, "00011"),  # c is never kept
        ("Belady", "abcbca", 2, "000110"),
    ],
)
def test_hand_traced_hits(name, keys, cap, want):
    got = sim.POLICIES[name](np.array([ord(k) for k in keys]), cap)
    assert "".join(str(int(h)) for h in got) == want
    assert [bool(h) for h in got] == [c == "1" for c in want] == REFERENCES[name](keys, cap)


@pytest.mark.parametrize("name", list(REFERENCES))
def test_policies_hit_exactly_where_their_reference_models_do(name):
    for keys, cap in STREAMS:
        got = sim.POLICIES[name](np.array(keys, dtype=np.int64), cap)
        assert got.tolist() == REFERENCES[name](keys, cap), (keys, cap)


@pytest.mark.parametrize("name", [*ONLINE, "W-TinyLFU window 0.5"])
def test_no_policy_beats_the_offline_optimum_or_hits_a_first_use(name):
    # A cache that held more than its capacity, or served a row it never
    # had, would show it here.
    policy = sim.POLICIES.get(name, functools.partial(sim.w_tinylfu, window=0.5))
    for keys, cap in STREAMS:
        arr = np.array(keys, dtype=np.int64)
        got = policy(arr, cap)
        assert got.sum() <= sim.belady(arr, cap).sum(), (keys, cap)
        first = np.zeros(len(keys), dtype=bool)
        first[np.unique(arr, return_index=True)[1]] = True
        assert not (got & first).any(), (keys, cap)
        if cap >= len(set(keys)):
            assert got.sum() == len(keys) - len(set(keys))


def test_next_use_names_the_next_access_or_the_last_one():
    keys = np.array([5, 3, 5, 5, 9, 3])
    assert sim.next_use(keys).tolist() == [2, 5, 3, 6 + 3, 6 + 4, 6 + 5]


def scan_keys(*parts):
    """Ints for the keys that `parts` name ("h#1..3 h#1" is h1 h2 h3 h1), and
    the names."""
    names = []
    for part in parts:
        for item in part.split():
            prefix, _, span = item.partition("#")
            lo, _, hi = span.partition("..")
            names += [f"{prefix}{i}" for i in range(int(lo), int(hi or lo) + 1)]
    ids = {n: i for i, n in enumerate(dict.fromkeys(names))}
    return np.array([ids[n] for n in names]), names


def test_s3fifo_keeps_reused_rows_through_a_scan_and_readmits_ghosts_to_main():
    # 10 rows: a 1-row small queue by share, a 9-key ghost. The hot keys are
    # used twice, so the scan's first eviction moves them to the main queue;
    # the scan's own rows leave through the small queue. s#13 is then a ghost
    # and comes back into the main queue, where the x scan cannot reach it.
    keys, names = scan_keys("h#1..3 h#1..3", "s#1..20", "h#1..3 s#13", "x#1..15", "s#13 h#1")
    got = dict(zip(range(len(names)), sim.s3fifo(keys, 10)))
    hit = [names[i] + f"@{i}" for i, h in got.items() if h]
    assert hit == ["h1@3", "h2@4", "h3@5", "h1@26", "h2@27", "h3@28", "s13@45", "h1@46"]
    assert sim.lru(keys, 10).sum() == 3


def test_s3fifo_by_call_admits_a_calls_misses_after_its_lookups():
    # 2 rows: a 1-row small queue, a 1-key ghost. One access at a time, c
    # pushes a (unused since queued) out and a misses again. By call, a's
    # second use in the first call is a hit and is counted, so admitting c
    # moves a to the main queue instead.
    keys = np.array([ord(k) for k in "abcaa"])
    assert sim.s3fifo(keys, 2).tolist() == [False] * 4 + [True]
    assert sim.s3fifo_calls(keys, 2, [4, 1]).tolist() == [False] * 3 + [True] * 2
    for keys, cap in STREAMS:  # calls of one key are the replay one access at a time
        arr = np.array(keys, dtype=np.int64)
        assert sim.s3fifo_calls(arr, cap, [1] * len(arr)).tolist() == sim.s3fifo(arr, cap).tolist()


@pytest.mark.parametrize("name", ["TinyLFU-LRU", "W-TinyLFU"])
def test_tinylfu_admission_keeps_frequent_rows_through_a_scan(name):
    keys, _ = scan_keys(" ".join(["h#1..60"] * 5), "s#1..400", "h#1..60")
    got = sim.POLICIES[name](keys, 64)
    assert got[-60:].mean() >= 0.9
    assert sim.lru(keys, 64)[-60:].sum() == 0


def test_the_sketch_never_undercounts_and_halves_on_schedule():
    rng = random.Random(3)
    counts = {k: rng.randrange(1, 8) for k in rng.sample(range(10**7), 300)}
    stream = [k for k, c in counts.items() for _ in range(c)]
    rng.shuffle(stream)
    sketch = sim.Sketch(1 << 12)  # 4096 counters a row, no halving yet
    assert [i for i, _ in sim.sketched(np.array(stream), sketch)] == list(range(len(stream)))
    est = {k: sketch.estimate(k) for k in counts}
    assert all(est[k] >= c for k, c in counts.items())
    assert sum(est[k] == c for k, c in counts.items()) >= 290  # few collisions
    # Counters stop at 15; after 10 x capacity additions all are halved.
    small = sim.Sketch(2)
    for _ in sim.sketched(np.array([1] * 12 + list(range(100, 108)) + [1] * 3), small):
        pass
    assert (small.estimate(1), small.added) == (12 // 2 + 3, 20 // 2 + 3)
    for _ in sim.sketched(np.array([5] * 40), sketch):
        pass
    assert sketch.estimate(5) == 15


def test_the_access_stream_interleaves_eight_sequences_of_the_stream():
    tokens = np.random.default_rng(1).integers(1, 60000, size=8 * 37 + 5).astype(np.uint32)
    got = sim.access_stream(tokens).reshape(37, 8, 16)
    # Sequence s is stream tokens 37s to 37s + 36, read with what precedes them.
    assert np.array_equal(got.transpose(1, 0, 2).reshape(-1, 16), larkspur.rowids(tokens[: 8 * 37]))


@pytest.mark.parametrize(
    "figures, pick, tied",
    [
        # S3-FIFO leads CLOCK by less than a point at both sizes, LRU by more.
        (
            {
                "a": {"LRU": 0.30, "CLOCK": 0.31, "S3-FIFO": 0.315},
                "b": {"LRU": 0.5, "CLOCK": 0.5, "S3-FIFO": 0.505},
            },
            "CLOCK",
            ["CLOCK", "S3-FIFO"],
        ),
        # CLOCK falls behind at the second size; LRU keeps up but costs more.
        (
            {
                "a": {"LRU": 0.31, "CLOCK": 0.31, "S3-FIFO": 0.315},
                "b": {"LRU": 0.5, "CLOCK": 0.48, "S3-FIFO": 0.505},
            },
            "S3-FIFO",
            ["S3-FIFO", "LRU"],
        ),
        (
            {
                "a": {"LRU": 0.30, "W-TinyLFU": 0.40, "Belady": 0.6},
                "b": {"LRU": 0.5, "W-TinyLFU": 0.6},
            },
            "W-TinyLFU",
            ["W-TinyLFU"],
        ),
    ],
)
def test_recommendation_is_the_cheapest_within_a_point_of_the_best(figures, pick, tied):
    rec = sim.recommend(figures, ["a", "b"])
    assert (rec["policy"], rec["tied"]) == (pick, tied)
    assert rec["reason"] == sim.BUILD_COST[pick][1]


def test_the_cache_benchmark_agrees_with_the_simulator_on_a_quick_run(tmp_path, capsys):
    bench = bench_module("cache")
    trace = tmp_path / "trace.u32"
    write_token_trace(trace, bench.TOKENS[True], vocab=20)
    out = tmp_path / "figures.json"
    assert bench.main(["--quick", "--trace", str(trace), "--json", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "every call's rows verified" in printed
    figures = json.loads(out.read_text())
    # The gathers draw from rows the cache holds: no call misses.
    assert [(r["hit_rate"], r["misses"]) for r in figures["gathers"]["rows"]] == [(1.0, 0)] * 2
    trace_figures = figures["trace"]
    runs = {(r["mode"], r["cache"]): r["stats"] for r in trace_figures["runs"] if r["cache"]}
    assert len(runs) == 3
    for stats in runs.values():
        # Every row asked for is a hit or a miss; each miss is admitted once.
        assert stats["hits"] + stats["misses"] == trace_figures["accesses"]
        assert stats["admissions"] == stats["misses"]
        assert stats["rows_held"] == stats["admissions"] - stats["evictions"]
        assert stats["rows_held"] <= stats["capacity_rows"]
    # The page cache changes no decision of the row cache.
    primary = trace_figures["primary"]
    warm, cold = runs[("warm", primary)], runs[("cold", primary)]
    assert {k: warm[k] for k in ("hits", "misses", "evictions")} == {
        k: cold[k] for k in ("hits", "misses", "evictions")
    }
    # The quick trace's prefill call misses more rows than the smaller cache
    # holds: only the replay by call models that.
    for name, simulated in trace_figures["simulated"].items():
        stats = runs[("warm", name)]
        for key in ("hit_rate", "hit_rate_heads_0_7", "hit_rate_heads_8_15"):
            assert abs(stats[key] - simulated["by call"][key]) <= bench.AGREE / 100, (name, key)
    # The larger cache holds every row the trace touches: only first uses
    # miss; the smaller one must evict, or the comparison shows nothing.
    assert warm["evictions"] == 0
    assert [m["misses"] for m in trace_figures["simulated"][primary].values()] == [
        warm["misses"]
    ] * 2
    assert warm["misses"] == trace_figures["distinct_rows"]
    evictions = sorted(stats["evictions"] for stats in runs.values())
    assert evictions[0] == 0 < evictions[-1]


@pytest.mark.parametrize("prefill", [2, 5])
def test_the_cache_benchmark_asks_for_the_sequences_rows_prefill_first(prefill):
    # 8 sequences of 9 tokens, as the replay cuts the stream: one prefill
    # call of every sequence's first tokens, then a call per position.
    tokens = np.random.default_rng(2).integers(1, 60000, size=8 * 9 + 3).astype(np.uint32)
    calls = bench_module("cache").Calls(tokens, prefill)
    rows = sim.access_stream(tokens).reshape(9, 8, 16)  # (position, sequence, head)
    want = [rows[:prefill].transpose(1, 0, 2).ravel(), rows[prefill:].ravel()]
    assert np.array_equal(calls.keys, np.concatenate(want))
    assert calls.decode_ids.shape == (9 - prefill, 8 * 16) and calls.tokens == 72
