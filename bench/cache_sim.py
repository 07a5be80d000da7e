"""Row-cache policies replayed on a real token stream: which rows a cache of
whole rows, keyed by row id, would have served from memory.

The stream is cut into 8 contiguous parts that play the sequences of a
batch-8 decode loop: each step asks for the 16 rows of one token of every
sequence in turn (heads 0-7 hashed on the token's bigram, 8-15 on its
trigram), each token read after the tokens before it in the stream. The row
ids come from larkspur.rowids; the policies below replay them:

    LRU          one recency list
    CLOCK        one reference bit per slot, a hand sweeping the slots;
                 a new row starts with its bit clear
    S3-FIFO      a small FIFO (10% of the rows) in front of a main FIFO,
                 a 2-bit access count per row, and a ghost FIFO of the keys
                 lately dropped from the small queue (as many as the main
                 queue holds); a row seen again while in the small queue
                 moves to the main queue, and a ghost's key goes straight
                 there
    TinyLFU-LRU  LRU that admits a missed row only if a count-min sketch
                 (4 rows of 4-bit counters, all halved every 10 x capacity
                 accesses) rates it above the row it would evict
    W-TinyLFU    a 1% LRU window (--window) whose evictions the same
                 sketch admits to a segmented LRU (80% protected, 20%
                 probation); the window does not adapt
    Belady       the offline optimum: on a miss, of the resident rows and
                 the missed one, the row used again furthest ahead leaves
                 (or the missed row is not kept)

Sizes are 0.1%, 1% and 10% of the distinct rows the replay touches and of
the whole table. A size that holds every touched row misses only each row's
first use, whatever the policy: it is reported as that bound, not replayed.
The recommendation takes the online policies within TIE points of the best
hit rate at both 1% sizes and picks the one cheapest to build sharded and
lock-free in C++ (BUILD_COST).

    python bench/cache_sim.py [--quick] [--tokens N] [--trace FILE]
                              [--policy NAME ...] [--window F] [--json FILE]
"""

from __future__ import annotations

import argparse
import heapq
import os
import sys
import time
from collections import OrderedDict, deque
from collections.abc import Callable

import numpy as np

import larkspur
from common import print_table, write_json  # noqa: E402
from larkspur import table

TRACE = os.environ.get("LARKSPUR_TOKEN_TRACE", "/work/shared/data/token-traces/prose.u32")
BATCH = 8
HEADS = 16  # heads 0-7 read the bigram's rows, 8-15 the trigram's
QUICK_TOKENS = 100_000
TABLE_ROWS = table.QWEN_SHARDS * table.QWEN_ROWS_PER_SHARD
FRACTIONS = (0.001, 0.01, 0.1)
# Policies whose hit rates at both 1% sizes lie within TIE points of the
# best count as equal; the cheapest of them to build is recommended.
TIE = 1.0
# How hard each policy is to build as a sharded, lock-free C++ cache, from
# cheapest, with the reason.
BUILD_COST = {
    "CLOCK": (1, "a hit sets one bit; eviction sweeps one array of slots"),
    "S3-FIFO": (
        2,
        "a hit bumps a 2-bit count; eviction pops FIFO rings; the ghost is a set of hashes",
    ),
    "LRU": (3, "every hit relinks a list node, so a hit takes its shard's lock"),
    "TinyLFU-LRU": (4, "LRU's relinking, plus a sketch written on every access"),
    "W-TinyLFU": (5, "three recency lists and a sketch written on every access"),
}
# Keys handed to the Python loops at a time: a list of plain ints iterates
# several times faster than a numpy array, and a chunk bounds the memory.
CHUNK = 1 << 16


def chunks(keys: np.ndarray, *more: np.ndarray):
    """(first index, keys as a list, the same slice of each of `more` as a
    list) for consecutive chunks of `keys`."""
    for s in range(0, len(keys), CHUNK):
        yield (s, keys[s : s + CHUNK].tolist(), *(m[s : s + CHUNK].tolist() for m in more))


def as_mask(hits: bytearray) -> np.ndarray:
    return np.frombuffer(hits, dtype=np.uint8).view(np.bool_)


# ---------------------------------------------------------------- policies
# Each takes the access stream as a 1-D integer array and a capacity in rows
# (at least 1), starts empty, and returns which accesses hit.


def lru(keys: np.ndarray, cap: int) -> np.ndarray:
    hits = bytearray(len(keys))
    cache: OrderedDict[int, None] = OrderedDict()
    touch, pop = cache.move_to_end, cache.popitem
    for base, chunk in chunks(keys):
        for i, k in enumerate(chunk, base):
            if k in cache:
                touch(k)
                hits[i] = 1
            else:
                cache[k] = None
                if len(cache) > cap:
                    pop(False)
    return as_mask(hits)


def clock(keys: np.ndarray, cap: int) -> np.ndarray:
    hits = bytearray(len(keys))
    slot_of: dict[int, int] = {}
    key_at = [0] * cap
    ref = bytearray(cap)
    hand = used = 0
    for base, chunk in chunks(keys):
        for i, k in enumerate(chunk, base):
            s = slot_of.get(k)
            if s is not None:
                ref[s] = 1
                hits[i] = 1
                continue
            if used < cap:
                s = used
                used += 1
            else:
                while ref[hand]:
                    ref[hand] = 0
                    hand += 1
                    if hand == cap:
                        hand = 0
                s = hand
                del slot_of[key_at[s]]
                hand += 1
                if hand == cap:
                    hand = 0
            key_at[s] = k
            slot_of[k] = s
    return as_mask(hits)


class S3Fifo:
    """The rows an S3-FIFO cache of `cap` rows holds: a small FIFO (10% of
    the rows) in front of a main FIFO, a count per row of its uses since it
    was queued (at most 3), and a ghost FIFO of the keys lately dropped from
    the small queue."""

    def __init__(self, cap: int):
        self.small_cap = max(1, cap // 10)
        self.ghost_cap = max(1, cap - self.small_cap)
        self.cap = cap
        self.small: deque[int] = deque()
        self.main: deque[int] = deque()
        self.count: dict[int, int] = {}  # resident key -> uses since queued
        self.ghost: OrderedDict[int, None] = OrderedDict()

    def admit(self, k: int, count: int = 0) -> None:
        """Queues the missed key `k` with `count`, making room first: a
        ghost's key goes straight to the main queue, any other to the small
        one."""
        if len(self.count) >= self.cap:
            self._evict()
        if k in self.ghost:
            del self.ghost[k]
            self.main.append(k)
        else:
            self.small.append(k)
        self.count[k] = count

    def _evict(self) -> None:
        # Frees exactly one slot. The small queue gives up its oldest row
        # while it holds its share (or the main queue is empty): to the main
        # queue if the row was used again, else out, leaving its key in the
        # ghost. Otherwise the main queue drops its oldest row not used
        # since it last came round.
        small, main, count, ghost = self.small, self.main, self.count, self.ghost
        while True:
            if len(small) >= self.small_cap or not main:
                t = small.popleft()
                if count[t]:
                    count[t] = 0
                    main.append(t)
                    continue
                del count[t]
                ghost[t] = None
                if len(ghost) > self.ghost_cap:
                    ghost.popitem(False)
                return
            t = main.popleft()
            c = count[t]
            if c:
                count[t] = c - 1
                main.append(t)
                continue
            del count[t]
            return


def s3fifo(keys: np.ndarray, cap: int) -> np.ndarray:
    hits = bytearray(len(keys))
    cache = S3Fifo(cap)
    count, admit = cache.count, cache.admit
    for base, chunk in chunks(keys):
        for i, k in enumerate(chunk, base):
            c = count.get(k)
            if c is None:
                admit(k)
                continue
            if c < 3:
                count[k] = c + 1
            hits[i] = 1
    return as_mask(hits)


def s3fifo_calls(keys: np.ndarray, cap: int, sizes: list[int]) -> np.ndarray:
    """S3-FIFO as a cache that serves calls of many rows plays it: `keys`
    come in calls of `sizes` keys; a call looks all of its keys up first,
    then admits the rows it missed in order of first use, each with its
    count set to its further uses in the call (at most 3). Those further
    uses are hits."""
    hits = bytearray(len(keys))
    cache = S3Fifo(cap)
    count, admit = cache.count, cache.admit
    start = 0
    for size in sizes:
        missed: dict[int, int] = {}  # key -> further uses in the call
        for i, k in enumerate(keys[start : start + size].tolist(), start):
            c = count.get(k)
            if c is not None:
                if c < 3:
                    count[k] = c + 1
            elif k in missed:
                missed[k] += 1
            else:
                missed[k] = 0
                continue
            hits[i] = 1
        for k, extra in missed.items():
            admit(k, min(3, extra))
        start += size
    return as_mask(hits)


# Odd multipliers of the sketch's four hash functions: a key's counter in
# row j is the top bits of key * SKETCH_MULTS[j] mod 2**64.
SKETCH_MULTS = (0x9E3779B97F4A7C15, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9, 0xD6E8FEB86659FD93)
_M64 = (1 << 64) - 1


class Sketch:
    """A count-min sketch of 4-bit counters: 4 rows of the next power of two
    at or above `cap` counters each; after 10 x `cap` additions every counter
    and the addition count are halved (by `sketched`, which counts), so old
    popularity fades."""

    def __init__(self, cap: int):
        bits = max(4, (cap - 1).bit_length())
        self.width = 1 << bits
        self.shift = 64 - bits
        self.cells = bytearray(4 * self.width)
        self.sample = 10 * cap
        self.added = 0

    def cells_of(self, keys: list[int]) -> list[list[int]]:
        """The four counters' indices in `cells` of each key, row by row."""
        k = np.asarray(keys, dtype=np.uint64)
        return [
            ((k * np.uint64(m)) >> np.uint64(self.shift)).astype(np.int64) + j * self.width
            for j, m in enumerate(SKETCH_MULTS)
        ]

    def estimate(self, k: int) -> int:
        cells, s, w = self.cells, self.shift, self.width
        m0, m1, m2, m3 = SKETCH_MULTS
        return min(
            cells[((k * m0) & _M64) >> s],
            cells[w + (((k * m1) & _M64) >> s)],
            cells[2 * w + (((k * m2) & _M64) >> s)],
            cells[3 * w + (((k * m3) & _M64) >> s)],
        )

    def halve(self) -> None:
        view = np.frombuffer(self.cells, dtype=np.uint8)
        view >>= 1


def sketched(keys: np.ndarray, sketch: Sketch):
    """(index, key) of every access, after counting it in `sketch`."""
    cells, sample, added = sketch.cells, sketch.sample, sketch.added
    for base, chunk in chunks(keys):
        rows = sketch.cells_of(chunk)
        for i, k, a, b, c, d in zip(
            range(base, base + len(chunk)), chunk, *(r.tolist() for r in rows)
        ):
            if cells[a] < 15:
                cells[a] += 1
            if cells[b] < 15:
                cells[b] += 1
            if cells[c] < 15:
                cells[c] += 1
            if cells[d] < 15:
                cells[d] += 1
            added += 1
            if added >= sample:
                sketch.halve()
                added //= 2
            yield i, k
    sketch.added = added


def tinylfu_lru(keys: np.ndarray, cap: int) -> np.ndarray:
    hits = bytearray(len(keys))
    sketch = Sketch(cap)
    estimate = sketch.estimate
    cache: OrderedDict[int, None] = OrderedDict()
    touch, pop = cache.move_to_end, cache.popitem
    for i, k in sketched(keys, sketch):
        if k in cache:
            touch(k)
            hits[i] = 1
        elif len(cache) < cap:
            cache[k] = None
        elif estimate(k) > estimate(next(iter(cache))):
            pop(False)
            cache[k] = None
    return as_mask(hits)


def w_tinylfu(keys: np.ndarray, cap: int, window: float = 0.01) -> np.ndarray:
    """`window` is the window's share of the rows."""
    hits = bytearray(len(keys))
    sketch = Sketch(cap)
    estimate = sketch.estimate
    window_cap = min(cap, max(1, round(cap * window)))
    main_cap = cap - window_cap
    protected_cap = main_cap * 8 // 10
    window: OrderedDict[int, None] = OrderedDict()
    probation: OrderedDict[int, None] = OrderedDict()
    protected: OrderedDict[int, None] = OrderedDict()
    for i, k in sketched(keys, sketch):
        if k in window:
            window.move_to_end(k)
        elif k in protected:
            protected.move_to_end(k)
        elif k in probation:
            del probation[k]
            protected[k] = None
            if len(protected) > protected_cap:
                probation[protected.popitem(False)[0]] = None
        else:
            window[k] = None
            if len(window) > window_cap:
                candidate = window.popitem(False)[0]
                if len(probation) + len(protected) < main_cap:
                    probation[candidate] = None
                elif main_cap:
                    victims = probation if probation else protected
                    victim = next(iter(victims))
                    if estimate(candidate) > estimate(victim):
                        del victims[victim]
                        probation[candidate] = None
            continue
        hits[i] = 1
    return as_mask(hits)


def next_use(keys: np.ndarray) -> np.ndarray:
    """For each access, the index of the next access to the same key; for
    the last access to a key at index i, len(keys) + i (later than any
    access, and still naming i)."""
    n = len(keys)
    order = np.argsort(keys, kind="stable")
    nxt = np.arange(n, 2 * n, dtype=np.int64)
    same = keys[order[1:]] == keys[order[:-1]]
    nxt[order[:-1][same]] = order[1:][same]
    return nxt


def belady(keys: np.ndarray, cap: int, nxt: np.ndarray | None = None) -> np.ndarray:
    """The offline optimum; `nxt` is next_use(keys), computed if not given."""
    hits = bytearray(len(keys))
    if nxt is None:
        nxt = next_use(keys)
    n = len(keys)
    resident: set[int] = set()
    # Max-heap (negated) of the next uses of resident keys. An entry goes
    # stale when its use comes, so stale entries are all below the present
    # index and every live entry above it: the top is always live. Stale
    # entries are dropped when they outnumber the live ones.
    heap: list[int] = []
    push, pop = heapq.heappush, heapq.heappop
    for base, chunk, nchunk in chunks(keys, nxt):
        for i, k, u in zip(range(base, base + len(chunk)), chunk, nchunk):
            if k in resident:
                hits[i] = 1
            elif len(resident) < cap:
                resident.add(k)
            else:
                far = -heap[0]
                if u > far:
                    continue  # the missed row is the one needed furthest ahead
                pop(heap)
                resident.remove(int(keys[far if far < n else far - n]))
                resident.add(k)
            push(heap, -u)
            if len(heap) > 2 * cap + 64:
                heap = [e for e in heap if -e > i]
                heapq.heapify(heap)
    return as_mask(hits)


POLICIES: dict[str, Callable[[np.ndarray, int], np.ndarray]] = {
    "LRU": lru,
    "CLOCK": clock,
    "S3-FIFO": s3fifo,
    "TinyLFU-LRU": tinylfu_lru,
    "W-TinyLFU": w_tinylfu,
    "Belady": belady,
}
BOUND = "Belady"


# ---------------------------------------------------------------- the trace


def access_stream(tokens: np.ndarray, batch: int = BATCH) -> np.ndarray:
    """The row ids a batch-`batch` decode loop asks for: `tokens` cut into
    `batch` contiguous sequences (a remainder under `batch` tokens is left
    out), one token of each in turn, 16 row ids a token; each token keeps
    the stream's tokens before it as history."""
    steps = len(tokens) // batch
    ids = np.empty((steps, batch, HEADS), dtype=np.uint64)
    for s in range(batch):
        start = s * steps
        ids[:, s, :] = larkspur.rowids(
            tokens[start : start + steps], history=tokens[max(0, start - 2) : start]
        )
    return ids.reshape(-1)


def sizes(distinct: int) -> list[tuple[str, int]]:
    out = []
    for base, rows in (("touched", distinct), ("table", TABLE_ROWS)):
        for f in FRACTIONS:
            out.append((f"{f * 100:g}% {base}", max(1, round(f * rows))))
    return out


def per_order(hit: np.ndarray) -> tuple[float, float]:
    """Hit rates of the bigram heads (0-7) and the trigram heads (8-15)."""
    h = hit.reshape(-1, HEADS)
    return float(h[:, :8].mean()), float(h[:, 8:].mean())


def recommend(results: dict[str, dict[str, float]], primary: list[str]) -> dict:
    """The policy to build: of the online policies within TIE points of the
    best at every size of `primary`, the cheapest in BUILD_COST.
    `results[size][policy]` is a hit rate from 0 to 1."""
    online = [p for p in BUILD_COST if all(p in results[s] for s in primary)]
    best = {s: max(results[s][p] for p in online) for s in primary}
    tied = [p for p in online if all(100 * (best[s] - results[s][p]) <= TIE for s in primary)]
    pick = min(tied, key=lambda p: BUILD_COST[p][0])
    return {"policy": pick, "tied": tied, "reason": BUILD_COST[pick][1]}


def pct(x: float) -> str:
    return f"{100 * x:.2f}"


def run(tokens: np.ndarray, names: list[str], trace: str, window: float = 0.01) -> dict:
    t0 = time.perf_counter()
    rows = access_stream(tokens)
    uniq, keys = np.unique(rows, return_inverse=True)
    keys = keys.reshape(-1).astype(np.int64)
    nxt = next_use(keys) if BOUND in names else None
    prep = time.perf_counter() - t0
    n, distinct = len(keys), len(uniq)
    bigram_rows = len(np.unique(rows.reshape(-1, HEADS)[:, :8]))
    compulsory = 1 - distinct / n
    del rows, uniq
    print(
        f"trace {trace}: {BATCH * (len(tokens) // BATCH):,} tokens as {BATCH} sequences, "
        f"{n:,} row accesses, {distinct:,} distinct rows ({bigram_rows:,} of bigram heads, "
        f"{distinct - bigram_rows:,} of trigram heads); row ids, key map and next uses "
        f"in {prep:.1f} s; W-TinyLFU window {100 * window:g}%",
        flush=True,
    )

    out: dict = {
        "trace": trace,
        "tokens": BATCH * (len(tokens) // BATCH),
        "accesses": n,
        "distinct_rows": distinct,
        "bigram_rows": bigram_rows,
        "compulsory_hit": compulsory,
        "prepare_s": prep,
        "window": window,
        "sizes": [],
    }
    for label, cap in sizes(distinct):
        entry: dict = {"size": label, "rows": cap, "simulated": cap < distinct, "policies": {}}
        out["sizes"].append(entry)
        if cap >= distinct:
            continue
        for name in names:
            fn = POLICIES[name]
            t1 = time.perf_counter()
            if name == BOUND:
                hit = belady(keys, cap, nxt)
            elif fn is w_tinylfu:
                hit = w_tinylfu(keys, cap, window)
            else:
                hit = fn(keys, cap)
            dt = time.perf_counter() - t1
            o2, o3 = per_order(hit)
            entry["policies"][name] = {
                "hit": float(hit.mean()),
                "hit_bigram": o2,
                "hit_trigram": o3,
                "seconds": dt,
            }
            print(
                f"  {label} ({cap:,} rows) {name}: {pct(hit.mean())}% in {dt:.1f} s",
                file=sys.stderr,
                flush=True,
            )
    report(out, names)
    return out


def report(out: dict, names: list[str]) -> None:
    done = [e for e in out["sizes"] if e["simulated"]]
    header = ["policy"] + [f"{e['size']} ({e['rows']:,})" for e in out["sizes"]]
    full = pct(out["compulsory_hit"]) + "*"

    def cell(e: dict, name: str, key: str = "hit") -> str:
        if not e["simulated"]:
            return full
        return pct(e["policies"][name][key])

    rows = [
        [name + (" (bound)" if name == BOUND else "")] + [cell(e, name) for e in out["sizes"]]
        for name in names
    ]
    rows.append(["compulsory-miss bound"] + [pct(out["compulsory_hit"])] * len(out["sizes"]))
    print_table(header, rows, title="hit rate (%) by cache size in rows")
    print("* every touched row fits: each policy misses only first uses")

    print_table(
        ["policy"] + [e["size"] for e in done],
        [[name] + [f"{e['policies'][name]['seconds']:.1f}" for e in done] for name in names],
        title="simulation time (s)",
    )
    m = out["accesses"] / 1e6
    total = {name: sum(e["policies"][name]["seconds"] for e in done) for name in names}
    print(
        "accesses per second, all sizes: "
        + ", ".join(
            f"{name} {m * len(done) / total[name]:.2f} M" for name in names if total[name] > 0
        )
    )

    online = [name for name in names if name != BOUND]
    order_rows = []
    for e in done:
        if not online:
            break
        best = max(online, key=lambda p: e["policies"][p]["hit"])
        for name in [best] + ([BOUND] if BOUND in names else []):
            r = e["policies"][name]
            order_rows.append(
                [e["size"], name, pct(r["hit"]), pct(r["hit_bigram"]), pct(r["hit_trigram"])]
            )
    if order_rows:
        print_table(
            ["size", "policy", "all heads", "heads 0-7 (bigram)", "heads 8-15 (trigram)"],
            order_rows,
            title="hit rate (%) by n-gram order: the best online policy",
        )

    primary = [e["size"] for e in done if e["size"].startswith("1% ")]
    if len(online) < 2 or not primary:
        print("\nrecommendation: needs two online policies and a simulated 1% size")
        return
    results = {e["size"]: {p: r["hit"] for p, r in e["policies"].items()} for e in done}
    rec = recommend(results, primary)
    out["recommendation"] = rec
    pick = rec["policy"]
    parts = []
    for s in primary:
        other = max((p for p in online if p != pick), key=lambda p: results[s][p])
        bound = f", Belady {pct(results[s][BOUND])}%" if BOUND in results[s] else ""
        parts.append(
            f"{s} {pct(results[s][pick])}% (best other {other} {pct(results[s][other])}%{bound})"
        )
    rivals = [p for p in rec["tied"] if p != pick]
    if rivals:
        why = (
            f"{', '.join(rivals)} within {TIE:g} point of the best at both 1% sizes too, "
            f"and {pick} the cheapest of them to build"
        )
    else:
        why = f"no other policy within {TIE:g} point of the best at both 1% sizes"
    print(f"\nrecommendation: {pick}: {'; '.join(parts)}; {why}. {pick}: {rec['reason']}")


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help=f"the first {QUICK_TOKENS:,} tokens")
    p.add_argument("--tokens", type=int, help="replay only the first N tokens")
    p.add_argument("--trace", default=TRACE, help="token ids, raw little-endian uint32")
    p.add_argument(
        "--policy",
        choices=list(POLICIES),
        action="append",
        help="replay only this policy (repeatable)",
    )
    p.add_argument(
        "--window",
        type=float,
        default=0.01,
        help="W-TinyLFU's window as a share of the rows (default 0.01)",
    )
    p.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    args = p.parse_args(argv)
    try:
        tokens = np.fromfile(args.trace, dtype="<u4")
    except OSError as e:
        p.error(f"cannot read the trace {args.trace}: {e.strerror or e}")
    limit = QUICK_TOKENS if args.quick else args.tokens
    if limit is not None:
        tokens = tokens[:limit]
    if len(tokens) < BATCH:
        p.error(f"the trace has {len(tokens)} tokens; {BATCH} are needed")
    names = [n for n in POLICIES if args.policy is None or n in args.policy]
    if not 0 < args.window < 1:
        p.error(f"--window {args.window:g} is not between 0 and 1")
    write_json(args.json, run(tokens, names, args.trace, args.window))
    return 0


if __name__ == "__main__":
    sys.exit(main())
