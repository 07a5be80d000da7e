"""The engine API against the calls it replaces: Table.gather, Table.lookup
and larkspur.rowids beside Store.fetch, an os.pread loop, numpy.memmap and
the list-based row ids, all in one run.

Gather: two generated tables of 128 shards (rows of 160 and of 2560 bytes,
2.5 GiB each; built once under the benchmark cache directory) are read in
requests of 16 to 65,536 uniformly random rows by
Table.gather into a preallocated array, Store.fetch, a loop of os.preadv
into slices of a preallocated buffer, and numpy.memmap (one per shard, kept
open) gathered by fancy indexing into a preallocated array. Warm: the files
are in the page cache. Cold: every shard is evicted (POSIX_FADV_DONTNEED)
before each call, once the device has no read in flight (a cold memmap
fault sets off read-ahead that runs on after the call), and the memmap
baseline is mapped afresh after the eviction.

Lookup: the 16 rows of one token (and of a batch of 8 sequences, one token
each) after two tokens of history, by Table.lookup, by larkspur.rowids then
Table.gather, and by rowids_for_seq_with_history then Store.fetch, warm, on
a table of the full row-id space at width 160. That table is 51 GB of
sparse files in which only the rows the run reads are written.

Also: larkspur.rowids against the numpy reference and rowids_for_seq, and
View.read_records against a loop of os.pread over a 1 GiB record file.

Every call gets fresh random arguments of its own (rows another method
has just read would still be in the CPU caches), and its output is
checked against the generator or the reference outside the timed region.
Methods alternate call by call, in a random order each round.

With --before PYTHON, an interpreter that has an earlier build of _larkspur
installed, that build's Store.fetch (and row ids from lists then
Store.fetch) joins the warm baselines: a child process of that interpreter
makes each call on request and times it itself, so the pipe costs nothing.

    python bench/engine.py [--quick] [--json FILE] [--before PYTHON]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import time
from functools import partial

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # no idle BLAS threads spinning

import numpy as np  # noqa: E402

import _larkspur  # noqa: E402
import larkspur  # noqa: E402
from common import (  # noqa: E402
    CACHE_DIR,
    DeviceReads,
    evict,
    fmt_time,
    print_table,
    round_robin,
    run_fio,
    summary,
    write_json,
)
from larkspur import table  # noqa: E402
from larkspur.reference import PAD, numpy_rowids  # noqa: E402

SHARDS = 128
WIDTHS = (160, 2560)
ROWS_PER_SHARD = {False: {160: 209715, 2560: 8192},  # 32 and 20 MiB shards: 4 GiB at 160 B
                  True: {160: 256, 2560: 16}}        # 40 KiB shards (--quick)
# Calls per configuration; a slow baseline stops after BUDGET seconds with
# at least two.
GATHER_CALLS = {False: {"warm": {16: 2000, 128: 1000, 1024: 200, 65536: 12},
                        "cold": {16: 150, 128: 60, 1024: 12, 65536: 3}},
                True: {"warm": {16: 40, 128: 20, 1024: 5}, "cold": {16: 3, 128: 2, 1024: 2}}}
BUDGET = {False: {"warm": 8.0, "cold": 15.0}, True: {"warm": 0.2, "cold": 0.2}}
LOOKUP_CALLS = {False: (2000, 500), True: (40, 10)}   # one token; a batch of 8
ROWIDS_CALLS = {False: {1: 20000, 16: 10000, 512: 1000, 4096: 300},
                True: {1: 200, 16: 100, 512: 10, 4096: 5}}
VIEW_CALLS = {False: {4: 3000, 8: 2000, 32: 1000}, True: {4: 50, 8: 50, 32: 20}}
SLOT = 2560
VIEW_RECORDS = {False: (1 << 30) // SLOT, True: 256}  # 1 GiB, or 640 KiB
VOCAB = 1 << 17
BATCH = 8
# The methods ours is compared with (the others are ours in another form).
BASELINES = {"fetch", "before", "pread", "memmap", "pair", "legacy", "legacy_before", "numpy",
             "lists", "pool", "direct"}


class Digest(str):
    """The hash of the rows a call of the --before build returned."""


def check_rows(name: str, got, want: np.ndarray) -> None:
    """Raises unless `got` (any buffer, or the Digest of one) holds the
    bytes of `want`."""
    want = np.ascontiguousarray(want).reshape(-1)
    if isinstance(got, Digest):
        if got != hashlib.blake2b(want.tobytes()).hexdigest():
            raise SystemExit(f"{name} returned wrong bytes")
        return
    kind = np.uint64 if want.size % 8 == 0 else np.uint8  # 8-byte words compare faster
    if (memoryview(got).nbytes != want.size
            or not np.array_equal(np.frombuffer(got, dtype=kind), want.view(kind))):
        raise SystemExit(f"{name} returned wrong bytes")


def figures(times: dict[str, list[float]], **keys) -> dict:
    """`keys`, p50 and p99 per method, and x_{method}: a baseline's p50 over
    that of the first method (ours)."""
    ours, *others = times
    row = {**keys, **{m: summary(t) for m, t in times.items()}}
    row.update({"x_" + m: row[m]["p50"] / row[ours]["p50"] for m in others if m in BASELINES})
    return row


def progress(label: str, row: dict, methods) -> None:
    print(f"  {label}: " + "  ".join(f"{m} {fmt_time(row[m]['p50'])}" for m in methods
                                     if m in row), file=sys.stderr, flush=True)


# ---------------------------------------------------------------- before

BEFORE_CHILD = r"""
import hashlib, json, sys, time
import _larkspur
stores, clock = {}, time.perf_counter
print(json.dumps({"module": _larkspur.__file__}), flush=True)
for line in sys.stdin:
    req = json.loads(line)
    if req["op"] == "open":
        stores[req["key"]] = _larkspur.Store(*req["args"])
        print("{}", flush=True)
        continue
    store = stores[req["key"]]
    if req["op"] == "fetch":
        ids = req["ids"]
        t0 = clock()
        got = store.fetch(ids)
    else:  # row ids from lists, then a fetch
        seqs = req["seqs"]
        t0 = clock()
        ids = []
        for hist, tok in seqs:
            ids += _larkspur.rowids_for_seq_with_history(hist, tok, 1)[0]
        got = store.fetch(ids)
    dt = clock() - t0
    print(json.dumps({"s": dt, "digest": hashlib.blake2b(got).hexdigest()}), flush=True)
"""


class Before:
    """The calls of an earlier build, in a child of the interpreter it is
    installed for, which times each call itself."""

    def __init__(self, python: str):
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        self.proc = subprocess.Popen([python, "-c", BEFORE_CHILD], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, cwd="/", env=env)
        self.module = self._reply()["module"]
        self.opened: set[str] = set()

    def _reply(self) -> dict:
        line = self.proc.stdout.readline()  # type: ignore[union-attr]
        if not line:
            raise SystemExit(f"--before: the interpreter's child ended (exit {self.proc.wait()})")
        return json.loads(line)

    def _send(self, req: dict) -> dict:
        self.proc.stdin.write(json.dumps(req) + "\n")  # type: ignore[union-attr]
        self.proc.stdin.flush()  # type: ignore[union-attr]
        return self._reply()

    def store(self, directory: str, rps: int, width: int) -> str:
        key = f"{directory}:{rps}:{width}"
        if key not in self.opened:
            self._send({"op": "open", "key": key, "args": [directory, SHARDS, rps, width]})
            self.opened.add(key)
        return key

    def call(self, op: str, key: str, args):
        """A self-timed method for round_robin; args() gives its arguments."""
        def method():
            reply = self._send({"op": op, "key": key, **args()})
            return reply["s"], Digest(reply["digest"])
        method.self_timed = True  # type: ignore[attr-defined]
        return method

    def close(self) -> None:
        self.proc.stdin.close()  # type: ignore[union-attr]
        self.proc.wait(timeout=60)


# ---------------------------------------------------------------- gather

class Shards:
    """One generated table, opened once by each method of the gather runs."""

    def __init__(self, quick: bool, width: int):
        self.width = width
        self.rps = ROWS_PER_SHARD[quick][width]
        self.rows = SHARDS * self.rps
        self.dir = os.path.join(CACHE_DIR, f"engine-{SHARDS}x{self.rps}x{width}-{table.GENERATOR}")
        table.write_table(self.dir, table.Geometry(SHARDS, self.rps, width),
                          table.generator_source(width), table.GENERATOR_SOURCE)
        self.paths = [table.shard_path(self.dir, i) for i in range(SHARDS)]
        self.table = larkspur.Table(self.dir)
        self.store = _larkspur.Store(self.dir, SHARDS, self.rps, width)
        self.fds = [os.open(p, os.O_RDONLY) for p in self.paths]
        self.maps: list[np.memmap] = []
        self.device = DeviceReads(self.dir)

    def close(self) -> None:
        self.maps = []
        self.table.close()
        for fd in self.fds:
            os.close(fd)

    def warm(self) -> None:
        for path in self.paths:
            with open(path, "rb") as f:
                while f.read(8 << 20):
                    pass

    def remap(self) -> None:
        self.maps = [np.memmap(p, dtype=np.uint8, mode="r", shape=(self.rps, self.width))
                     for p in self.paths]

    def pread_loop(self, ids: list[int], slices: list[memoryview], into: np.ndarray):
        fds, rps, width, preadv = self.fds, self.rps, self.width, os.preadv
        for s, r in zip(slices, ids):
            preadv(fds[r // rps], [s], r % rps * width)
        return into

    def memmap_gather(self, ids: np.ndarray, into: np.ndarray):
        maps = self.maps
        shard = ids // np.uint64(self.rps)
        local = (ids % np.uint64(self.rps)).astype(np.intp)
        order = np.argsort(shard, kind="stable")
        shard = shard[order]
        start = 0
        for end in [*(np.flatnonzero(np.diff(shard)) + 1).tolist(), len(ids)]:
            sel = order[start:end]
            into[sel] = maps[int(shard[start])][local[sel]]
            start = end
        return into


GATHER_METHODS = ("gather", "fetch", "before", "pread", "memmap")


def measure_gather(sh: Shards, mode: str, n: int, calls: int, budget: float,
                   rng: np.random.Generator, before: Before | None) -> dict:
    outs = {m: np.empty((n, sh.width), dtype=np.uint8) for m in ("gather", "pread", "memmap")}
    flat = memoryview(outs["pread"]).cast("B")  # type: ignore[arg-type]
    slices = [flat[k * sh.width:(k + 1) * sh.width] for k in range(n)]
    arg: dict = {}
    waited = [0.0]

    def prepare(name: str) -> None:
        ids = rng.integers(0, sh.rows, size=n, dtype=np.uint64)
        arg.update(ids=ids, list=ids.tolist(), want=table.expected_rows(ids, sh.width))
        if mode == "cold":
            sh.maps = []  # mapped pages would survive the eviction
            waited[0] += sh.device.wait_idle()
            evict(sh.paths)
            if name == "memmap":
                sh.remap()

    methods = {
        "gather": lambda: sh.table.gather(arg["ids"], out=outs["gather"]),
        "fetch": lambda: sh.store.fetch(arg["list"]),
        "pread": lambda: sh.pread_loop(arg["list"], slices, outs["pread"]),
        "memmap": lambda: sh.memmap_gather(arg["ids"], outs["memmap"]),
    }
    if before is not None and mode == "warm":
        methods["before"] = before.call("fetch", before.store(sh.dir, sh.rps, sh.width),
                                        lambda: {"ids": arg["list"]})
    if mode == "warm" and not sh.maps:
        sh.remap()

    def check(name, got):
        check_rows(name, got, arg["want"])

    # One untimed round starts the pool and checks every method once more.
    round_robin(methods, 1, prepare=prepare, check=check)
    sh.table.stats(reset=True)
    waited[0] = 0.0
    times = round_robin(methods, calls, prepare=prepare, check=check, budget=budget)
    stats = sh.table.stats(reset=True)
    row = figures(times, mode=mode, width=sh.width, rows=n, idle_wait_s=waited[0],
                  inline=stats["rows_inline"] / max(1, stats["unique_rows"]),
                  load=os.getloadavg()[0])
    progress(f"gather {mode} w={sh.width} n={n}", row, GATHER_METHODS)
    return row


# ---------------------------------------------------------------- lookup

def lookup_table(ids: np.ndarray, width: int) -> str:
    """A table of the whole row-id space at `width`: sparse shard files in
    which the rows `ids` hold the generator's bytes (written once; a later
    run writes only the rows it lacks). Reading them also caches them."""
    rps = table.QWEN_ROWS_PER_SHARD
    directory = os.path.join(CACHE_DIR, f"engine-lookup-{SHARDS}x{rps}x{width}-sparse-"
                                        f"{table.GENERATOR}")
    os.makedirs(directory, exist_ok=True)
    fds: list[int] = []
    try:
        for i in range(SHARDS):
            fds.append(os.open(table.shard_path(directory, i), os.O_RDWR | os.O_CREAT, 0o644))
            if os.fstat(fds[-1]).st_size != rps * width:
                os.ftruncate(fds[-1], rps * width)
        ids = np.unique(ids)
        for r, row in zip(ids.tolist(), table.expected_rows(ids, width)):
            fd, offset = fds[r // rps], r % rps * width
            if os.pread(fd, width, offset) != row.tobytes():
                os.pwrite(fd, row.tobytes(), offset)
    finally:
        for fd in fds:
            os.close(fd)
    return directory


def measure_lookup(lut, store, seqs: np.ndarray, ids: np.ndarray, width: int,
                   before: Before | None) -> dict:
    """Calls on sequences `seqs` (3 x calls, B, 3), a new set per call: two
    tokens of history and the token to look up (B = 1: one unbatched
    sequence); `ids` are the row ids of the looked-up tokens."""
    b = seqs.shape[1]
    each = 0 if b == 1 else slice(None)
    out = {m: np.empty((b * 16, width), dtype=np.uint8) for m in ("lookup", "pair")}
    id_buf = np.empty((b * 16,), dtype=np.uint64)
    arg: dict = {}
    fresh = iter(range(len(seqs)))

    def prepare(_name: str) -> None:
        k = next(fresh)
        arg.update(hist=np.ascontiguousarray(seqs[k, each, :2]),
                   tok=np.ascontiguousarray(seqs[k, each, 2:]),
                   lists=[(s[:2], s[2:]) for s in seqs[k].tolist()],
                   want=table.expected_rows(ids[k], width))

    def legacy():
        got: list[int] = []
        for hist, tok in arg["lists"]:
            got += _larkspur.rowids_for_seq_with_history(hist, tok, 1)[0]
        return store.fetch(got)

    methods = {
        "lookup": lambda: lut.lookup(arg["tok"], arg["hist"], out=out["lookup"]),
        "pair": lambda: lut.gather(larkspur.rowids(arg["tok"], arg["hist"], out=id_buf),
                                   out=out["pair"]),
        "legacy": legacy,
    }
    if before is not None:
        key = before.store(lut.path, table.QWEN_ROWS_PER_SHARD, width)
        methods["legacy_before"] = before.call("legacy", key, lambda: {"seqs": arg["lists"]})
    times = round_robin(methods, len(seqs) // len(methods), prepare=prepare,
                        check=lambda name, got: check_rows(name, got, arg["want"]))
    row = figures(times, sequences=b, rows=b * 16)
    progress(f"lookup B={b}", row, methods)
    return row


def lookups(quick: bool, rng: np.random.Generator, before: Before | None,
            width: int = 160) -> list[dict]:
    single, batched = LOOKUP_CALLS[quick]
    runs = [rng.integers(0, VOCAB, size=(3 * single, 1, 3)),
            rng.integers(0, VOCAB, size=(3 * batched, BATCH, 3))]
    # The row ids of a sequence's third token; each sequence stands alone.
    ids = [numpy_rowids(s.reshape(-1))[2::3].reshape(len(s), -1) for s in runs]
    directory = lookup_table(np.concatenate([i.reshape(-1) for i in ids]), width)
    rps = table.QWEN_ROWS_PER_SHARD
    store = _larkspur.Store(directory, SHARDS, rps, width)
    with larkspur.Table(directory, shards=SHARDS, rows_per_shard=rps, width=width) as lut:
        return [measure_lookup(lut, store, s, i, width, before) for s, i in zip(runs, ids)]


# ---------------------------------------------------------------- rowids

def measure_rowids(t: int, calls: int, rng: np.random.Generator) -> dict:
    arg: dict = {}

    def prepare(_name: str) -> None:
        tokens = rng.integers(0, 1 << 18, size=t)
        tokens[rng.random(t) < 0.02] = PAD
        arg.update(tokens=tokens, list=tokens.tolist())

    def check(name: str, got) -> None:
        if name != "numpy":
            want = numpy_rowids(arg["tokens"])
            if not np.array_equal(np.asarray(got, dtype=np.uint64), want):
                raise SystemExit(f"{name}: row ids differ from the reference at T={t}")

    # A new array costs the first touch of its pages whenever the allocator
    # hands out memory the process has not used yet: "into" shows the rest.
    into = np.empty((t, 16), dtype=np.uint64)
    methods = {"rowids": lambda: larkspur.rowids(arg["tokens"]),
               "into": lambda: larkspur.rowids(arg["tokens"], out=into),
               "numpy": lambda: numpy_rowids(arg["tokens"]),
               "lists": lambda: _larkspur.rowids_for_seq(arg["list"], 1)}
    return figures(round_robin(methods, calls, prepare=prepare, check=check), T=t)


# ------------------------------------------------------------------ view

def measure_view(view, fd: int, records: int, n: int, calls: int,
                 rng: np.random.Generator) -> dict:
    arg: dict = {}

    def prepare(_name: str) -> None:
        idx = rng.integers(0, records, size=n, dtype=np.uint64)
        arg.update(list=idx.tolist(), want=table.expected_rows(idx, SLOT))

    methods = {"view": lambda: view.read_records(arg["list"]),
               "pread": lambda: b"".join([os.pread(fd, SLOT, i * SLOT) for i in arg["list"]])}
    times = round_robin(methods, calls, prepare=prepare,
                        check=lambda name, got: check_rows(name, got, arg["want"]))
    return figures(times, records=n)


def views(quick: bool, rng: np.random.Generator) -> list[dict]:
    """View.read_records over a record file: one shard of rows of SLOT bytes."""
    records = VIEW_RECORDS[quick]
    directory = os.path.join(CACHE_DIR, f"engine-view-{records}x{SLOT}-{table.GENERATOR}")
    table.write_table(directory, table.Geometry(1, records, SLOT),
                      table.generator_source(SLOT), table.GENERATOR_SOURCE)
    path = table.shard_path(directory, 0)
    with open(path[: -len(".bin")] + ".manifest.json", "w", encoding="utf-8") as f:
        f.write(f'{{"slot_bytes": {SLOT}, "grans": {records}}}')
    view = _larkspur.View(path)
    fd = os.open(path, os.O_RDONLY)
    try:
        with open(path, "rb") as f:  # warm
            while f.read(8 << 20):
                pass
        return [measure_view(view, fd, records, n, calls, rng)
                for n, calls in VIEW_CALLS[quick].items()]
    finally:
        os.close(fd)


# ---------------------------------------------------------------- device

DEVICE_CALLS = {False: {16: 150, 8192: 12}, True: {16: 3, 8192: 2}}
DEVICE_DEPTH = 128
FIO_SECONDS = {False: 5, True: 1}


def measure_device(sh: Shards, quick: bool, rng: np.random.Generator) -> dict:
    """Cold reads from the device: the Table's ring (buffered and direct),
    the worker pool (queue_depth=0) and Store.fetch, with the CPU time of
    the whole process per call; fio's io_uring at the same depth on the
    same files beside them; and decode steps that overlap a cold lookup
    with 5 ms of work that releases the interpreter lock."""
    tables = {"ring": larkspur.Table(sh.dir, queue_depth=DEVICE_DEPTH),
              "pool": larkspur.Table(sh.dir, queue_depth=0)}
    try:
        tables["direct"] = larkspur.Table(sh.dir, queue_depth=DEVICE_DEPTH, direct=True)
    except OSError as e:  # no O_DIRECT on this file system
        print(f"  direct: {e}", file=sys.stderr)
    rows = [measure_device_size(sh, tables, n, calls, rng)
            for n, calls in DEVICE_CALLS[quick].items()]
    for t in tables.values():
        t.close()
    fio = {kind: run_fio(sh.paths, FIO_SECONDS[quick], engine="io_uring", depth=DEVICE_DEPTH,
                         direct=kind == "direct", drop_cache=True)
           for kind in ("direct", "buffered")}
    fio["depth1"] = run_fio(sh.paths, FIO_SECONDS[quick], engine="psync", depth=1,
                            direct=True, drop_cache=True)
    # What 16 reads at once cost the device: the floor of a 16-row lookup.
    fio["batch16"] = run_fio(sh.paths, FIO_SECONDS[quick], engine="io_uring", depth=16,
                             direct=True, drop_cache=True, batch=True)
    return {"rows": rows, "fio": fio, "overlap": measure_overlap(sh, quick, rng)}


def measure_device_size(sh: Shards, tables: dict, n: int, calls: int,
                        rng: np.random.Generator) -> dict:
    arg: dict = {}
    cpu = {m: 0.0 for m in [*tables, "fetch"]}

    def prepare(_name: str) -> None:
        ids = rng.integers(0, sh.rows, size=n, dtype=np.uint64)
        arg.update(ids=ids, list=ids.tolist(), want=table.expected_rows(ids, sh.width))
        sh.device.wait_idle()
        evict(sh.paths)

    def timed(name, call):
        def method():
            c0 = time.process_time()
            got = call()
            cpu[name] += time.process_time() - c0
            return got
        return method

    methods = {m: timed(m, partial(lambda t: t.gather(arg["ids"]), t))
               for m, t in tables.items()}
    methods["fetch"] = timed("fetch", lambda: sh.store.fetch(arg["list"]))
    times = round_robin(methods, calls, prepare=prepare,
                        check=lambda name, got: check_rows(name, got, arg["want"]))
    row = figures(times, rows=n)
    for m in methods:
        row[m]["cpu_s_per_mrow"] = cpu[m] / len(times[m]) / n * 1e6
        row[m]["rows_per_s"] = n / row[m]["p50"]
    progress(f"device n={n}", row, methods)
    return row


def measure_overlap(sh: Shards, quick: bool, rng: np.random.Generator) -> dict:
    """Steps of 5 ms of lock-free work (a sleep standing in for the GPU)
    with a cold lookup of 8 tokens' rows (128) submitted before the work
    and collected after it, against the same steps done one after the
    other, and the lookup alone; buffered and direct."""
    out = {}
    for kind in ("buffered", "direct"):
        try:
            t = larkspur.Table(sh.dir, queue_depth=DEVICE_DEPTH, direct=kind == "direct")
        except OSError as e:  # no O_DIRECT on this file system
            print(f"  overlap {kind}: {e}", file=sys.stderr)
            continue
        with t:
            out[kind] = overlapped_steps(sh, t, quick, rng)
    return out


def overlapped_steps(sh: Shards, t, quick: bool, rng: np.random.Generator) -> dict:
    steps = 6 if quick else 40
    out = {}
    for mode in ("alone", "sequential", "overlapped"):
        times = []
        for _ in range(steps):
            ids = rng.integers(0, sh.rows, size=128, dtype=np.uint64)
            want = table.expected_rows(ids, sh.width)
            sh.device.wait_idle()
            evict(sh.paths)
            t0 = time.perf_counter()
            if mode == "alone":
                got = t.gather(ids)
            elif mode == "sequential":
                got = t.gather(ids)
                time.sleep(0.005)
            else:
                pending = t.submit(rowids=ids)
                time.sleep(0.005)
                got = pending.result()
            times.append(time.perf_counter() - t0)
            check_rows(mode, got, want)
        out[mode] = summary(times)
    return out


# ------------------------------------------------------------------- run

def targets(result: dict) -> list[tuple[str, float | None, float]]:
    """(target, measured speed-up of ours, least speed-up asked) each."""
    out = []
    gather = {(r["mode"], r["width"], r["rows"]): r for r in result["gather"]}

    def x(key, name):
        return gather[key].get("x_" + name) if key in gather else None

    # "before": Store.fetch of the build given by --before; not run without it.
    for w in WIDTHS:
        out += [(f"warm w={w} 16 rows: gather vs pread loop (p50 <= 0.8x)",
                 x(("warm", w, 16), "pread"), 1.25),
                (f"warm w={w} 16 rows: gather vs Store.fetch before the engine",
                 x(("warm", w, 16), "before"), 5),
                (f"warm w={w} 128 rows: gather vs pread loop", x(("warm", w, 128), "pread"), 1.5),
                (f"warm w={w} 65536 rows: gather vs Store.fetch before the engine",
                 x(("warm", w, 65536), "before"), 1.5)]
    big = result["rowids"][-1]
    out += [(f"rowids T={big['T']} vs numpy reference (array)", big["x_numpy"], 5),
            (f"rowids T={big['T']} vs rowids_for_seq (lists)", big["x_lists"], 5)]
    one = result["lookup"][0]
    out += [("lookup 1 token w=160 vs rowids + gather", one["x_pair"], 1.0),
            ("lookup 1 token w=160 vs rowids_for_seq_with_history + Store.fetch "
             "before the engine", one.get("x_legacy_before"), 4)]
    out += [(f"cold w={r['width']} {r['rows']} rows: gather vs Store.fetch", r["x_fetch"], 1.0)
            for r in result["gather"] if r["mode"] == "cold"]
    fetch16 = gather.get(("warm", 160, 16), {})
    out += [("Store.fetch 16 warm rows w=160: now vs before the engine",
             fetch16["before"]["p50"] / fetch16["fetch"]["p50"] if "before" in fetch16 else None,
             3)]
    out += [(f"View.read_records {r['records']} warm records vs pread loop", r["x_pread"], 1.0)
            for r in result["view"]]
    dev = result.get("device")
    if dev:
        big = dev["rows"][-1]
        one = dev["rows"][0]
        direct = "direct" in big
        out += [(f"cold {big['rows']} rows: direct vs Store.fetch (rows/s)",
                 big["fetch"]["p50"] / big["direct"]["p50"] if direct else None, 1.3),
                (f"cold {big['rows']} rows: buffered ring vs Store.fetch (rows/s)",
                 big["fetch"]["p50"] / big["ring"]["p50"], 1.0),
                ("cold CPU per row: pool over direct (<= 0.6x)",
                 big["pool"]["cpu_s_per_mrow"] / big["direct"]["cpu_s_per_mrow"]
                 if direct else None, 1 / 0.6)]
        fio_direct = dev["fio"]["direct"].get("iops")
        out.append((f"cold {big['rows']} rows: direct rows/s over fio's O_DIRECT IOPS",
                    big["direct"]["rows_per_s"] / fio_direct if direct and fio_direct else None,
                    0.9))
        depth1 = dev["fio"]["depth1"].get("lat_median_us")
        for m in ("ring", "direct"):
            if m in one and depth1:
                out.append((f"cold 16 rows, {m}: 1.5 x fio's depth-1 latency over our p50",
                            1.5 * depth1 * 1e-6 / one[m]["p50"], 1.0))
        for kind, o in dev["overlap"].items():
            out.append((f"overlapped step, {kind}: 1.1 x max(5 ms, lookup alone) over its p50",
                        1.1 * max(0.005, o["alone"]["p50"]) / o["overlapped"]["p50"], 1.0))
    return out


def run(quick: bool, modes=("warm", "cold"), widths=WIDTHS,
        before: Before | None = None) -> dict:
    rng = np.random.default_rng(20240611)
    load = [os.getloadavg()[0]]
    print("  rowids", file=sys.stderr, flush=True)
    result: dict = {"rowids": [measure_rowids(t, calls, rng)
                               for t, calls in ROWIDS_CALLS[quick].items()],
                    "gather": []}
    for width in widths:
        sh = Shards(quick, width)
        try:
            for mode in modes:
                if mode == "warm":
                    sh.warm()
                for n, calls in GATHER_CALLS[quick][mode].items():
                    result["gather"].append(measure_gather(sh, mode, n, calls,
                                                           BUDGET[quick][mode], rng, before))
        finally:
            sh.close()
    if "cold" in modes and 160 in widths:
        sh = Shards(quick, 160)
        try:
            result["device"] = measure_device(sh, quick, rng)
        finally:
            sh.close()
    result["view"] = views(quick, rng)
    result["lookup"] = lookups(quick, rng, before)
    load.append(os.getloadavg()[0])
    result["targets"] = [{"target": t, "speedup": v, "goal": g,
                          "met": None if v is None else v >= g} for t, v, g in targets(result)]
    rps = ROWS_PER_SHARD[quick]
    result["title"] = (f"engine API ({SHARDS} shards of {rps[160]:,} rows x 160 B and "
                       f"{rps[2560]:,} rows x 2560 B){' [quick]' if quick else ''}")
    result["machine"] = {"cpus": len(os.sched_getaffinity(0)), "load_start": load[0],
                         "load_end": load[1],
                         "read_ahead_kb": DeviceReads(CACHE_DIR).read_ahead_kb()}
    result["before"] = None if before is None else before.module
    return result


def report_device(dev: dict) -> None:
    methods = [m for m in ("ring", "direct", "pool", "fetch") if m in dev["rows"][0]]
    print_table(["rows", *[h for m in methods for h in (f"{m} p50", "rows/s", "cpu s/Mrow")]],
                [[r["rows"], *[c for m in methods for c in (
                    fmt_time(r[m]["p50"]), f"{r[m]['rows_per_s']:,.0f}",
                    f"{r[m]['cpu_s_per_mrow']:.2f}")]] for r in dev["rows"]],
                title=f"cold reads from the device, width 160, queue depth {DEVICE_DEPTH} "
                      "(ring: buffered io_uring; direct: O_DIRECT; pool: queue_depth=0)")
    for kind, f in dev["fio"].items():
        print(f"fio {kind}: " + (f["note"] if "note" in f else
                                  f"{f['iops']:,.0f} IOPS, median latency "
                                  f"{f['lat_median_us']:.0f} us"
                                  + (f", {16e6 / f['iops']:.0f} us per 16 reads"
                                     if kind == "batch16" else "")))
    for kind, o in dev["overlap"].items():
        print(f"decode steps of 5 ms with a cold lookup of 128 rows, {kind}: "
              + ", ".join(f"{m} p50 {fmt_time(o[m]['p50'])}" for m in o))


def cells(row: dict, methods) -> list[str]:
    out = []
    for m in methods:
        out += [fmt_time(row[m]["p50"]), fmt_time(row[m]["p99"])] if m in row else ["-", "-"]
    return out


def calls_of(row: dict, methods) -> str:
    n = [row[m]["samples"] for m in methods if m in row]
    return str(n[0]) if min(n) == max(n) else f"{n[0]}/{min(n[1:])}"


SECTIONS = (  # result key, leading columns, methods (ours first) by column name, title
    ("gather", ("mode", "width", "rows"), {"gather": "gather", "fetch": "Store.fetch",
                                           "before": "fetch before", "pread": "pread loop",
                                           "memmap": "memmap"},
     "Table.gather, time per call"),
    ("lookup", ("sequences", "rows"), {"lookup": "lookup", "pair": "rowids+gather",
                                       "legacy": "legacy", "legacy_before": "legacy before"},
     "Table.lookup, warm, width 160, one token per sequence after two of history "
     "(legacy: rowids_for_seq_with_history + Store.fetch)"),
    ("rowids", ("T",), {"rowids": "rowids", "into": "rowids out=", "numpy": "numpy",
                        "lists": "rowids_for_seq"},
     "larkspur.rowids against the numpy reference (array) and rowids_for_seq (lists)"),
    ("view", ("records",), {"view": "read_records", "pread": "pread loop"},
     "View.read_records, warm, records of 2560 bytes"),
)


def report(result: dict) -> None:
    for key, lead, methods, title in SECTIONS:
        methods = {m: name for m, name in methods.items() if any(m in r for r in result[key])}
        others = [m for m in methods if m in BASELINES]
        extra = {"inline": "{:.0%}", "load": "{:.1f}"} if key == "gather" else {}
        print_table([*lead, "calls", *[h for name in methods.values() for h in (f"{name} p50",
                                                                                  "p99")],
                     *[f"x {methods[m]}" for m in others], *extra],
                    [[*(r[k] for k in lead), calls_of(r, methods), *cells(r, methods),
                      *(f"{r['x_' + m]:.2f}" if "x_" + m in r else "-" for m in others),
                      *(f.format(r[k]) for k, f in extra.items())] for r in result[key]],
                    title=f"{result['title']}: {title}" if key == "gather" else title)
    print("x = the baseline's p50 over ours (the first column); calls = ours/fewest of a "
          "baseline that hit its time budget; inline = share of Table.gather's rows read "
          "by the calling thread; load = the 1-minute load average after the row's calls")
    print("before: " + (f"the build of {result['before']}" if result["before"] else
                        "not measured (--before PYTHON: an interpreter with an earlier build)"))
    if "device" in result:
        report_device(result["device"])
    print_table(["target", "speed-up", "goal", ""],
                [[t["target"], "-" if t["speedup"] is None else f"{t['speedup']:.2f}x",
                  f">= {t['goal']:g}x",
                  {None: "not run", True: "met", False: "MISSED"}[t["met"]]]
                 for t in result["targets"]], title="targets (speed-up = baseline p50 / ours)")
    m = result["machine"]
    print(f"every call's bytes verified; {m['cpus']} CPUs, load average {m['load_start']:.1f} "
          f"at the start and {m['load_end']:.1f} at the end; device read-ahead "
          f"{m['read_ahead_kb']} KiB")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny tables, a few seconds")
    parser.add_argument("--json", metavar="FILE", help="write the figures to FILE too")
    parser.add_argument("--modes", default="warm,cold", help="warm,cold or one of them")
    parser.add_argument("--widths", default=",".join(map(str, WIDTHS)))
    parser.add_argument("--before", metavar="PYTHON",
                        help="an interpreter with an earlier build of _larkspur installed: its "
                             "Store.fetch joins the warm baselines")
    args = parser.parse_args(argv)
    before = None if args.before is None else Before(args.before)
    try:
        result = run(args.quick, modes=tuple(args.modes.split(",")),
                     widths=tuple(int(w) for w in args.widths.split(",")), before=before)
    finally:
        if before is not None:
            before.close()
    report(result)
    write_json(args.json, result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
