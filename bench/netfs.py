"""Rows from a table on a GlusterFS mount beside the same table on the local
disk: Store.fetch, Table.gather, Table.submit at queue depths 32, 128 and
256, and Table.gather with a row cache, warm and cold.

One generated table (32 shards of 8192 rows of 160 bytes, 40 MiB) is written
on the local disk (under the benchmark cache directory, kept) and through
the mount (written afresh: the volume lives for one run). Requests are
uniformly random rows, fresh for every call, the same ones for every method
in a round; every result is checked against the generator outside the timed
region. Warm: the files are in the page cache (on the mount, in the FUSE
client's page cache; with a cache, every row is already held). Cold: before
each call the files are evicted (POSIX_FADV_DONTNEED) from the page cache,
through the mount and, on this single-node volume, from the brick's own
files too, so that the read goes to the disk; the cached Table is opened
afresh, empty, before each cold call. Figures: wall time per call (p50),
rows per second, and CPU time per row (the process's user + system time
over the call, pool and engine threads included, divided by the rows).

As root, the script brings a volume up under --dir with scripts/netfs.sh,
runs itself inside its network namespace and takes it down again; given
LARKSPUR_NETFS_A (as `scripts/netfs.sh run` sets it) it uses that mount, and
--brick names the brick folder for cold reads (without it, cold reads on the
mount evict only the client's page cache).

    python bench/netfs.py [--quick] [--json FILE] [--dir DIR]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

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
    summary,
    write_json,
)
from larkspur import table  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NETFS = os.path.join(ROOT, "scripts", "netfs.sh")
WIDTH = 160
GEOMETRY = {False: table.Geometry(32, 8192, WIDTH), True: table.Geometry(8, 256, WIDTH)}
# Rows per request, and calls per method: (warm, cold).
REQUESTS = {False: {16: (400, 40), 1024: (100, 12)}, True: {16: (10, 3), 1024: (4, 2)}}
BUDGET = {False: (4.0, 8.0), True: (0.2, 0.2)}
DEPTHS = (32, 128, 256)


class Place:
    """The table in one place, opened once by each method."""

    def __init__(self, name: str, directory: str, geometry: table.Geometry,
                 brick: str | None):
        self.name, self.dir, self.geometry = name, directory, geometry
        table.write_table(directory, geometry, table.generator_source(WIDTH),
                          table.GENERATOR_SOURCE)
        self.paths = [table.shard_path(directory, i) for i in range(geometry.shards)]
        # The same files as the brick stores them, evicted with the mount's.
        self.brick_paths = ([table.shard_path(brick, i) for i in range(geometry.shards)]
                            if brick else [])
        self.device = DeviceReads(brick or directory)
        self.store = _larkspur.Store(directory, geometry.shards, geometry.rows_per_shard, WIDTH)
        self.gather_table = larkspur.Table(directory)
        self.submit_tables = {q: larkspur.Table(directory, queue_depth=q) for q in DEPTHS}
        # Room for every row with its bookkeeping.
        self.cache_bytes = 2 * geometry.total_bytes + (1 << 20)
        self.cached = larkspur.Table(directory, cache_bytes=self.cache_bytes)

    def warm(self) -> None:
        for path in self.paths:
            with open(path, "rb") as f:
                while f.read(8 << 20):
                    pass
        every = np.arange(self.geometry.shards * self.geometry.rows_per_shard, dtype=np.uint64)
        self.cached.gather(every)

    def evict(self) -> None:
        evict(self.paths + self.brick_paths)
        self.device.wait_idle()

    def reopen_cached(self) -> None:
        self.cached.close()
        self.cached = larkspur.Table(self.dir, cache_bytes=self.cache_bytes)

    def close(self) -> None:
        for t in (self.gather_table, self.cached, *self.submit_tables.values()):
            t.close()
        self.store.close()


def methods(place: Place, state: dict) -> dict:
    """The calls of one round, each reading state["ids"] (a fresh request)
    and recording the process CPU time it used in state["cpu"]."""
    def timed_cpu(name, fn):
        def call():
            c0 = time.process_time()
            got = fn()
            state["cpu"].setdefault(name, []).append(time.process_time() - c0)
            return got
        return call

    def submit(t):
        def call():
            out = np.empty((len(state["ids"]), WIDTH), np.uint8)
            t.submit(rowids=state["ids"], out=out).result()
            return out
        return call

    calls = {"Store.fetch": lambda: place.store.fetch(state["ids"]),
             "Table.gather": lambda: place.gather_table.gather(state["ids"])}
    calls.update({f"submit qd{q}": submit(t) for q, t in place.submit_tables.items()})
    calls["gather, cache"] = lambda: place.cached.gather(state["ids"])
    return {name: timed_cpu(name, fn) for name, fn in calls.items()}


def measure(place: Place, mode: str, rows: int, calls: int, budget: float, seed: int) -> dict:
    """{method: p50, p99, samples, rows_per_s, cpu_per_row} for requests of
    `rows` rows. Method k draws its requests from a generator seeded by
    (seed, k): each place gets the same requests."""
    total = place.geometry.shards * place.geometry.rows_per_shard
    state: dict = {"cpu": {}, "ids": None}
    fns = methods(place, state)
    rngs = {name: np.random.default_rng([seed, k]) for k, name in enumerate(fns)}

    def prepare(name: str) -> None:
        state["ids"] = rngs[name].integers(0, total, rows, dtype=np.uint64)
        if mode == "cold":
            if name == "gather, cache":
                place.reopen_cached()
            place.evict()

    def check(name: str, got) -> None:
        want = table.expected_rows(state["ids"], WIDTH)
        if bytes(memoryview(got)) != want.tobytes():
            raise SystemExit(f"{place.name} {mode} {name}: wrong bytes")

    times = round_robin(fns, calls, prepare=prepare, check=check, budget=budget)
    out = {}
    for name, ts in times.items():
        cpu = state["cpu"][name]
        out[name] = {**summary(ts), "rows_per_s": rows * len(ts) / sum(ts),
                     "cpu_per_row": sum(cpu) / (rows * len(cpu))}
    return out


def run(quick: bool, mount: str, brick: str | None) -> dict:
    geometry = GEOMETRY[quick]
    name = f"netfs-{geometry.shards}x{geometry.rows_per_shard}x{WIDTH}-{table.GENERATOR}"
    places = [Place("local", os.path.join(CACHE_DIR, name), geometry, None),
              Place("mount", os.path.join(mount, name), geometry,
                    os.path.join(brick, name) if brick else None)]
    results = []
    try:
        for mode_index, mode in enumerate(("warm", "cold")):
            for rows, counts in REQUESTS[quick].items():
                for place in places:
                    if mode == "warm":
                        place.warm()
                    got = measure(place, mode, rows, counts[mode_index],
                                  BUDGET[quick][mode_index], seed=rows)
                    results.append({"place": place.name, "mode": mode, "rows": rows,
                                    "methods": got})
                    print(f"  {place.name} {mode} {rows} rows: " + "  ".join(
                        f"{m} {fmt_time(f['p50'])}" for m, f in got.items()),
                        file=sys.stderr, flush=True)
    finally:
        for place in places:
            place.close()
    return {"geometry": [geometry.shards, geometry.rows_per_shard, WIDTH],
            "brick_evicted": brick is not None, "results": results}


def report(result: dict) -> None:
    by_key = {(r["place"], r["mode"], r["rows"]): r["methods"] for r in result["results"]}
    shards, rps, width = result["geometry"]
    for mode in ("warm", "cold"):
        for rows in sorted({r["rows"] for r in result["results"]}):
            local, mount = by_key[("local", mode, rows)], by_key[("mount", mode, rows)]
            table_rows = []
            for m in local:
                a, b = local[m], mount[m]
                table_rows.append([
                    m, fmt_time(a["p50"]), fmt_time(b["p50"]), f"{b['p50'] / a['p50']:.1f}",
                    f"{a['rows_per_s']:,.0f}", f"{b['rows_per_s']:,.0f}",
                    fmt_time(a["cpu_per_row"]), fmt_time(b["cpu_per_row"]),
                    f"{a['samples']}/{b['samples']}"])
            print_table(["method", "local p50", "mount p50", "x local", "local rows/s",
                         "mount rows/s", "local CPU/row", "mount CPU/row", "calls"],
                        table_rows,
                        title=f"{mode}, {rows} random rows of {width} B "
                              f"({shards} shards x {rps} rows)")
    if not result["brick_evicted"]:
        print("\n(cold on the mount: only the client's page cache was evicted; the brick's"
              " files may still be in memory)")


def under_volume(argv: list[str], directory: str) -> int:
    """This script again inside a volume that scripts/netfs.sh brings up
    under `directory` and takes down afterwards."""
    up = subprocess.run([NETFS, "up", directory], stdout=sys.stderr)
    try:
        if up.returncode != 0:
            return up.returncode
        return subprocess.run([NETFS, "run", directory, "--", sys.executable,
                               os.path.abspath(__file__), *argv,
                               "--brick", os.path.join(directory, "brick")]).returncode
    finally:
        subprocess.run([NETFS, "down", directory], stdout=sys.stderr)


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tiny table, a few seconds")
    parser.add_argument("--json", help="write the results here too")
    parser.add_argument("--dir", default="/var/tmp/larkspur-netfs",
                        help="where the volume lives when this script brings it up")
    parser.add_argument("--brick", help="the volume's brick folder (for cold reads)")
    args = parser.parse_args(argv)
    mount = os.environ.get("LARKSPUR_NETFS_A")
    if mount is None:
        if os.geteuid() != 0:
            raise SystemExit("bench/netfs.py: needs root to bring a GlusterFS volume up"
                             " (or LARKSPUR_NETFS_A naming a mount)")
        return under_volume(argv, args.dir)
    result = run(args.quick, mount, args.brick)
    report(result)
    write_json(args.json, result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
