"""The Table's row cache against the reads it saves: cached rows served from
memory beside numpy.memmap, an os.pread loop and the Table without a cache,
and a real token stream's decode loop with and without the cache.

Cached gathers: a set of random rows of the engine benchmark's table (128
shards of 209,715 rows of 160 bytes, built once under the benchmark cache
directory) is read once through a Table with a cache large enough to hold
the set; then each call gathers fresh random rows of the set into a
preallocated array: 65,536 rows against the kept-open numpy.memmap gather,
and 16 rows against the os.pread loop, with memmap and the Table without a
cache beside them. The page cache holds the set throughout.

The trace: the prose token stream cut into 8 contiguous sequences, played as
a batch-8 model server plays them: one prefill call of the first 512 tokens
of every sequence (Table.lookup of shape (8, 512) after each sequence's two
tokens of history), then one decode call of shape (8, 1) per position. The
table is the engine benchmark's sparse table of the whole row-id space
(128 shards of 2,500,012 rows of 160 bytes, 51 GB of which only the rows
the stream reads are written): lookups name rows anywhere in that space.
Each run opens a fresh Table, so its cache starts empty. Warm: the page
cache holds the rows; cold: the shard files are evicted from it first. The
cache's hit rates are set beside those of bench/cache_sim.py's S3-FIFO,
replayed on the very row ids the Table was asked for, in call order, at the
cache's capacity in rows; besides the cache of 1% of the table, a smaller
one (10% of the rows the stream touches) is replayed warm, where eviction
decides the hit rate.

Every call's rows are checked against the generator outside the timing.

    python bench/cache.py [--quick] [--tokens N] [--trace FILE] [--json FILE]
"""

from __future__ import annotations

import argparse
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # no idle BLAS threads spinning

import numpy as np  # noqa: E402

import larkspur  # noqa: E402
from cache_sim import HEADS, TRACE, per_order, s3fifo, s3fifo_calls  # noqa: E402
from common import evict, fmt_time, print_table, round_robin, summary, write_json  # noqa: E402
from engine import SHARDS, Shards, check_rows, lookup_table  # noqa: E402
from larkspur import table  # noqa: E402
from larkspur.reference import PAD  # noqa: E402

WIDTH = 160
BATCH = 8
# Rows the cached gathers draw from, the rows of the large request, and
# calls per method of each request size.
CACHED_SET = {False: 262_144, True: 2048}
LARGE = {False: 65_536, True: 512}
CALLS = {False: {"large": 40, 16: 3000}, True: {"large": 5, 16: 50}}
PREFILL = {False: 512, True: 32}
TOKENS = {False: 100_000, True: 8 * 96}
# The cache of the trace runs, as a share of the table's bytes (its memory
# is taken as rows arrive).
TABLE_SHARE = 0.01
# The smaller cache, as a share of the bytes of the rows the stream touches.
TOUCHED_SHARE = 0.1
# The simulator's replays: one access at a time (bench/cache_sim.py's
# figures), and by call, admitting a call's misses after its lookups as the
# Table does.
MODELS = ("per access", "by call")
# Points by which the cache's hit rates may differ from a replay's: its
# shards evict independently (and the replay one access at a time admits a
# call's rows as it goes).
AGREE = 1.0
# Least speed-up asked of the cached gathers over a baseline.
GOALS = {("large", "memmap"): 2.0, (16, "pread"): 5.0}


def fmt_bytes(n: float) -> str:
    for unit, size in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if n >= size:
            return f"{n / size:.3g} {unit}"
    return f"{n:.0f} B"


def cache_of(t: larkspur.Table) -> dict:
    return t.stats()["cache"]


# ---------------------------------------------------------------- gathers


def cached_table(sh: Shards, ids: np.ndarray) -> larkspur.Table:
    """A Table over `sh` whose cache holds every row of `ids`, read into it
    once. The budget covers the cache's index too, and rows spread unevenly
    over its shards: it doubles until a second pass over `ids` misses none."""
    budget = 2 * len(ids) * sh.width
    while True:
        t = larkspur.Table(sh.dir, cache_bytes=budget)
        chunk = 1 << 16
        for _ in range(2):
            t.stats(reset=True)
            for s in range(0, len(ids), chunk):
                t.gather(ids[s : s + chunk])
        cache = cache_of(t)
        if cache["misses"] == 0 and cache["rows_held"] >= len(ids):
            return t
        t.close()
        budget *= 2


def measure_gathers(sh: Shards, quick: bool, rng: np.random.Generator) -> dict:
    pool = rng.choice(sh.rows, size=CACHED_SET[quick], replace=False).astype(np.uint64)
    sh.remap()
    cached = cached_table(sh, pool)
    # The memmap baseline maps its pages of the set once, as a server's would be.
    sh.memmap_gather(pool, np.empty((len(pool), sh.width), dtype=np.uint8))
    cache = cache_of(cached)
    out = {
        "set_rows": len(pool),
        "budget_bytes": cache["budget_bytes"],
        "capacity_rows": cache["capacity_rows"],
        "rows": [],
    }
    try:
        for size, n in (("large", LARGE[quick]), (16, 16)):
            out["rows"].append(gather_size(sh, cached, pool, n, CALLS[quick][size], rng))
    finally:
        cached.close()
    return out


def gather_size(
    sh: Shards,
    cached: larkspur.Table,
    pool: np.ndarray,
    n: int,
    calls: int,
    rng: np.random.Generator,
) -> dict:
    outs = {
        m: np.empty((n, sh.width), dtype=np.uint8)
        for m in ("cached", "memmap", "pread", "uncached")
    }
    flat = memoryview(outs["pread"]).cast("B")  # type: ignore[arg-type]
    slices = [flat[k * sh.width : (k + 1) * sh.width] for k in range(n)]
    arg: dict = {}

    def prepare(_name: str) -> None:
        ids = pool[rng.integers(0, len(pool), size=n)]
        arg.update(ids=ids, list=ids.tolist(), want=table.expected_rows(ids, sh.width))

    methods = {
        "cached": lambda: cached.gather(arg["ids"], out=outs["cached"]),
        "memmap": lambda: sh.memmap_gather(arg["ids"], outs["memmap"]),
        "pread": lambda: sh.pread_loop(arg["list"], slices, outs["pread"]),
        "uncached": lambda: sh.table.gather(arg["ids"], out=outs["uncached"]),
    }

    def check(name, got):
        check_rows(name, got, arg["want"])

    round_robin(methods, 1, prepare=prepare, check=check)
    cached.stats(reset=True)
    times = round_robin(methods, calls, prepare=prepare, check=check)
    cache = cache_of(cached)
    row = {
        "rows": n,
        **{m: summary(t) for m, t in times.items()},
        "hit_rate": cache["hit_rate"],
        "misses": cache["misses"],
    }
    row.update({"x_" + m: row[m]["p50"] / row["cached"]["p50"] for m in methods if m != "cached"})
    print(
        f"  cached gather of {n} rows: "
        + "  ".join(f"{m} {fmt_time(row[m]['p50'])}" for m in methods),
        file=sys.stderr,
        flush=True,
    )
    return row


# ------------------------------------------------------------------ trace


class Calls:
    """The lookups of the trace's decode loop: their tokens, histories and
    row ids, in call order."""

    def __init__(self, tokens: np.ndarray, prefill: int):
        steps = len(tokens) // BATCH
        self.seqs = tokens[: BATCH * steps].astype(np.int64).reshape(BATCH, steps)
        # Each sequence goes on from the two stream tokens before it; the
        # first has none, which two pad tokens say.
        self.history = np.full((BATCH, 2), PAD, dtype=np.int64)
        self.history[1:] = self.seqs[:-1, -2:]
        self.prefill = min(prefill, steps)
        self.tokens = BATCH * steps
        head = larkspur.rowids(self.seqs[:, : self.prefill], self.history)
        tail = larkspur.rowids(
            self.seqs[:, self.prefill :], self.seqs[:, self.prefill - 2 : self.prefill]
        )
        self.prefill_ids = head.reshape(-1)
        # (step, sequence, head): a decode call's rows in the order it asks.
        self.decode_ids = tail.transpose(1, 0, 2).reshape(steps - self.prefill, -1)
        self.keys = np.concatenate([self.prefill_ids, self.decode_ids.reshape(-1)])

    def __len__(self) -> int:
        return len(self.decode_ids)


def play(t: larkspur.Table, calls: Calls) -> dict:
    """Plays `calls` through `t`, timing each lookup and checking its rows."""
    seqs, width = calls.seqs, t.width
    out = np.empty((BATCH, 1, HEADS, width), dtype=np.uint8)
    clock = time.perf_counter
    tokens = np.ascontiguousarray(seqs[:, : calls.prefill])
    t0 = clock()
    got = t.lookup(tokens, calls.history)
    prefill = clock() - t0
    check_rows("prefill", got, table.expected_rows(calls.prefill_ids, width))
    decode = []
    for k, p in enumerate(range(calls.prefill, calls.prefill + len(calls))):
        tokens = np.ascontiguousarray(seqs[:, p : p + 1])
        history = np.ascontiguousarray(seqs[:, p - 2 : p])
        t0 = clock()
        t.lookup(tokens, history, out=out)
        decode.append(clock() - t0)
        check_rows("decode", out, table.expected_rows(calls.decode_ids[k], width))
    total = prefill + sum(decode)
    return {
        "prefill_s": prefill,
        "decode": summary(decode) if decode else None,
        "seconds": total,
        "tokens_per_s": calls.tokens / total,
    }


def replay(calls: Calls, capacity: int, by_call: bool) -> dict:
    """bench/cache_sim.py's S3-FIFO on the row ids of `calls`, at `capacity`
    rows: one access at a time, or `by_call` (a call's misses admitted after
    its lookups)."""
    t0 = time.perf_counter()
    if by_call:
        sizes = [len(calls.prefill_ids)] + [calls.decode_ids.shape[1]] * len(calls)
        hit = s3fifo_calls(calls.keys, max(1, capacity), sizes)
    else:
        hit = s3fifo(calls.keys, max(1, capacity))
    o2, o3 = per_order(hit)
    return {
        "hit_rate": float(hit.mean()),
        "hit_rate_heads_0_7": o2,
        "hit_rate_heads_8_15": o3,
        "misses": int(len(hit) - hit.sum()),
        "seconds": time.perf_counter() - t0,
    }


def measure_trace(tokens: np.ndarray, prefill: int) -> dict:
    calls = Calls(tokens, prefill)
    distinct = len(np.unique(calls.keys))
    rps = table.QWEN_ROWS_PER_SHARD
    print(
        f"  trace: {calls.tokens:,} tokens, {len(calls.keys):,} rows asked for, "
        f"{distinct:,} distinct; writing the rows the table lacks",
        file=sys.stderr,
        flush=True,
    )
    directory = lookup_table(calls.keys, WIDTH)
    paths = [table.shard_path(directory, i) for i in range(SHARDS)]
    table_bytes = SHARDS * rps * WIDTH
    primary = f"{100 * TABLE_SHARE:g}% of the table"
    budgets = {
        primary: int(TABLE_SHARE * table_bytes),
        f"{100 * TOUCHED_SHARE:g}% of the rows touched": int(TOUCHED_SHARE * distinct * WIDTH),
    }

    def open_table(budget: int) -> larkspur.Table:
        kw = {"cache_bytes": budget} if budget else {}
        return larkspur.Table(directory, shards=SHARDS, rows_per_shard=rps, width=WIDTH, **kw)

    # (page cache, cache name or None): the runs, warm ones first.
    plan = [
        ("warm", None),
        *(("warm", name) for name in budgets),
        ("cold", None),
        ("cold", primary),
    ]
    runs = []
    with open_table(0) as t:  # untimed: the page cache holds every row after it
        play(t, calls)
    for mode, name in plan:
        if mode == "cold":
            evict(paths)
        with open_table(budgets[name] if name else 0) as t:
            run = {"mode": mode, "cache": name, **play(t, calls)}
            if name is not None:
                run["stats"] = cache_of(t)
        print(
            f"  {mode} {name or 'no cache'}: {run['tokens_per_s']:,.0f} tokens/s",
            file=sys.stderr,
            flush=True,
        )
        runs.append(run)
    sims = {}
    for name in budgets:
        capacity = next(r["stats"]["capacity_rows"] for r in runs if r["cache"] == name)
        sims[name] = {model: replay(calls, capacity, model == "by call") for model in MODELS}
    return {
        "tokens": calls.tokens,
        "prefill": calls.prefill,
        "decode_steps": len(calls),
        "accesses": len(calls.keys),
        "distinct_rows": distinct,
        "table_bytes": table_bytes,
        "budgets": budgets,
        "primary": primary,
        "runs": runs,
        "simulated": sims,
    }


# -------------------------------------------------------------------- run


def pct(x: float) -> str:
    return f"{100 * x:.2f}"


def report(result: dict) -> None:
    g = result["gathers"]
    names = {"cached": "cached", "memmap": "memmap", "pread": "pread loop", "uncached": "no cache"}
    print_table(
        [
            "rows",
            "calls",
            *[h for m in names.values() for h in (f"{m} p50", "p99")],
            *[f"x {names[m]}" for m in names if m != "cached"],
            "hit %",
        ],
        [
            [
                r["rows"],
                r["cached"]["samples"],
                *[c for m in names for c in (fmt_time(r[m]["p50"]), fmt_time(r[m]["p99"]))],
                *[f"{r['x_' + m]:.2f}" for m in names if m != "cached"],
                pct(r["hit_rate"]),
            ]
            for r in g["rows"]
        ],
        title=f"{result['title']}: Table.gather of rows the cache holds, warm, width {WIDTH} "
        f"(fresh random rows of a set of {g['set_rows']:,} each call; cache "
        f"{fmt_bytes(g['budget_bytes'])}, {g['capacity_rows']:,} rows)",
    )
    print(
        "x = the baseline's p50 over the cached Table's; hit % = the cached Table's, "
        "timed calls only"
    )

    tr = result["trace"]
    print(
        f"\n== the trace: {tr['tokens']:,} tokens of {result['trace_file']} as {BATCH} "
        f"sequences: one prefill call of ({BATCH}, {tr['prefill']}), then {tr['decode_steps']:,}"
        f" decode calls of ({BATCH}, 1); {tr['accesses']:,} rows asked for, "
        f"{tr['distinct_rows']:,} distinct (a cache that held them all would hit "
        f"{pct(1 - tr['distinct_rows'] / tr['accesses'])}%); table "
        f"{fmt_bytes(tr['table_bytes'])} at width {WIDTH}"
    )
    rows = []
    keys = {
        "all heads": "hit_rate",
        "heads 0-7": "hit_rate_heads_0_7",
        "heads 8-15": "hit_rate_heads_8_15",
    }
    for name, budget in tr["budgets"].items():
        stats = next(r["stats"] for r in tr["runs"] if r["cache"] == name and r["mode"] == "warm")
        sims = tr["simulated"][name]
        label = f"{name}: {fmt_bytes(budget)}, {stats['capacity_rows']:,} rows"
        for heads, key in keys.items():
            row = [label, heads, pct(stats[key])]
            for model in MODELS:
                diff = 100 * (stats[key] - sims[model][key])
                row += [
                    pct(sims[model][key]),
                    f"{diff:+.2f}",
                    "agree" if abs(diff) <= AGREE else "DISAGREE",
                ]
            rows.append(row)
        row = ["", "misses", f"{stats['misses']:,}"]
        for model in MODELS:
            row += [
                f"{sims[model]['misses']:,}",
                f"{stats['misses'] - sims[model]['misses']:+,}",
                "",
            ]
        rows.append(row)
    print_table(
        [
            "cache",
            "rows",
            "Table hit %",
            *[h for model in MODELS for h in (f"sim {model} %", "difference", "")],
        ],
        rows,
        title="hit rate, warm run: the Table's cache against bench/cache_sim.py's S3-FIFO "
        "on the same row ids at the same capacity",
    )
    print(
        f"difference = the Table's hit rate less the simulator's, in points (agree: within "
        f"{AGREE:g}); by call: a call's missed rows admitted after all of its lookups, "
        "each counted with its further uses in the call, as the Table does"
    )
    odd = [
        r
        for r in tr["runs"]
        if "stats" in r and r["stats"]["hits"] + r["stats"]["misses"] != tr["accesses"]
    ]
    for r in odd:
        print(
            f"  {r['mode']} {r['cache']}: hits + misses = "
            f"{r['stats']['hits'] + r['stats']['misses']:,}, not the {tr['accesses']:,} rows "
            "asked for"
        )
    base = {r["mode"]: r for r in tr["runs"] if r["cache"] is None}
    print_table(
        [
            "page cache",
            "Table",
            "tokens/s",
            "x no cache",
            "prefill",
            "decode p50",
            "p99",
            "hit %",
            "heads 0-7",
            "heads 8-15",
            "evictions",
        ],
        [
            [
                r["mode"],
                r["cache"] or "no cache",
                f"{r['tokens_per_s']:,.0f}",
                f"{r['tokens_per_s'] / base[r['mode']]['tokens_per_s']:.2f}",
                fmt_time(r["prefill_s"]),
                fmt_time(r["decode"]["p50"]) if r["decode"] else "-",
                fmt_time(r["decode"]["p99"]) if r["decode"] else "-",
                *(
                    [
                        pct(r["stats"][k])
                        for k in ("hit_rate", "hit_rate_heads_0_7", "hit_rate_heads_8_15")
                    ]
                    + [f"{r['stats']['evictions']:,}"]
                    if "stats" in r
                    else ["-"] * 4
                ),
            ]
            for r in tr["runs"]
        ],
        title="the trace through Table.lookup, with and without the cache (each run starts "
        "with an empty cache; cold: the shard files evicted from the page cache first)",
    )
    print_table(
        ["target", "speed-up", "goal", ""],
        [
            [
                t["target"],
                f"{t['speedup']:.2f}x",
                f">= {t['goal']:g}x",
                "met" if t["met"] else "MISSED",
            ]
            for t in result["targets"]
        ],
        title="targets (speed-up = baseline p50 / cached Table's)",
    )
    print(
        f"every call's rows verified; {result['cpus']} CPUs, load average "
        f"{result['load'][0]:.1f} at the start and {result['load'][1]:.1f} at the end"
    )


def run(quick: bool, tokens: np.ndarray, trace: str) -> dict:
    rng = np.random.default_rng(20240612)
    load = [os.getloadavg()[0]]
    sh = Shards(quick, WIDTH)
    try:
        gathers = measure_gathers(sh, quick, rng)
    finally:
        sh.close()
    result = {
        "title": f"row cache ({SHARDS} shards of {sh.rps:,} rows x {WIDTH} B)"
        f"{' [quick]' if quick else ''}",
        "gathers": gathers,
        "trace_file": trace,
        "trace": measure_trace(tokens, PREFILL[quick]),
    }
    by_rows = {r["rows"] if r["rows"] == 16 else "large": r for r in gathers["rows"]}
    result["targets"] = []
    for (size, base), goal in GOALS.items():
        r = by_rows[size]
        speedup = r["x_" + base]
        result["targets"].append(
            {
                "target": f"{r['rows']} cached rows: gather vs {base}",
                "speedup": speedup,
                "goal": goal,
                "met": speedup >= goal,
            }
        )
    load.append(os.getloadavg()[0])
    result.update(load=load, cpus=len(os.sched_getaffinity(0)))
    return result


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="a tiny table and trace, seconds")
    p.add_argument(
        "--tokens",
        type=int,
        help=f"play the first N tokens (default {TOKENS[False]:,}; --quick {TOKENS[True]:,})",
    )
    p.add_argument("--trace", default=TRACE, help="token ids, raw little-endian uint32")
    p.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    args = p.parse_args(argv)
    try:
        tokens = np.fromfile(args.trace, dtype="<u4")
    except OSError as e:
        p.error(f"cannot read the trace {args.trace}: {e.strerror or e}")
    tokens = tokens[: args.tokens or TOKENS[args.quick]]
    prefill = PREFILL[args.quick]
    if len(tokens) < BATCH * (prefill + 1):
        p.error(f"the trace has {len(tokens):,} tokens; {BATCH * (prefill + 1):,} are needed")
    result = run(args.quick, tokens, args.trace)
    report(result)
    write_json(args.json, result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
