"""View.read_records against numpy.memmap fancy indexing and an os.pread loop.

A record file of about 4 GiB (slot_bytes 2560) is built once under the cache
dir by the table generator, as one shard of rows of 2560 bytes. For n
uniformly random record indices per call, each method is timed cold (the
file's pages evicted with posix_fadvise before every call, and a fresh
mapping for numpy.memmap) and warm (the same indices read once, untimed, by
that method first, so the pages are cached and, for memmap, already
mapped). Each method's result is checked against the generator.

    python bench/view.py [--quick] [--json FILE]
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time
from functools import partial

import numpy as np

import _larkspur
from common import (  # noqa: E402
    CACHE_DIR,
    evict,
    fmt_time,
    median,
    p99,
    print_table,
    run_fio,
    time_calls,
    write_json,
)
from larkspur import table

SLOT = 2560
SIZES = [1, 4, 32, 1000, 10000]
FULL_RECORDS = (4 << 30) // SLOT      # 1,677,721 records, just under 4 GiB
QUICK_RECORDS = (16 << 20) // SLOT    # 6,553 records, 16 MiB

# Calls per (mode, n): enough for a p99 on the small requests, few on the
# large cold ones, which each take up to a second with the slow baselines.
FULL_REPEAT = {
    "warm": {1: 3000, 4: 2000, 32: 500, 1000: 60, 10000: 12},
    "cold": {1: 300, 4: 200, 32: 60, 1000: 12, 10000: 4},
}
QUICK_REPEAT = {
    "warm": {1: 200, 4: 200, 32: 50, 1000: 5, 10000: 2},
    "cold": {1: 20, 4: 20, 32: 5, 1000: 2, 10000: 1},
}


def record_file(records: int) -> str:
    """The record file of `records` records, built once and reused: the one
    shard of a generated table of rows of SLOT bytes, with its manifest."""
    directory = os.path.join(CACHE_DIR, f"view-{records}x{SLOT}-{table.GENERATOR}")
    table.write_table(directory, table.Geometry(1, records, SLOT),
                      table.generator_source(SLOT), table.GENERATOR_SOURCE)
    path = table.shard_path(directory, 0)
    with open(path[: -len(".bin")] + ".manifest.json", "w", encoding="utf-8") as f:
        f.write(f'{{"slot_bytes": {SLOT}, "grans": {records}}}')
    return path


class Methods:
    """The three ways of gathering records, each returning bytes."""

    def __init__(self, path: str, records: int, pause: float):
        self.path = path
        self.pause = pause
        self.records = records
        self.view = _larkspur.View(path)
        self.fd = os.open(path, os.O_RDONLY)
        self.mm = self._map()

    def _map(self):
        return np.memmap(self.path, dtype=np.uint8, mode="r", shape=(self.records, SLOT))

    def close(self):
        os.close(self.fd)
        self.mm = None

    def larkspur(self, idx):
        return self.view.read_records(idx)

    def memmap(self, idx):
        return self.mm[np.asarray(idx, dtype=np.int64)].tobytes()

    def pread(self, idx):
        fd = self.fd
        return b"".join([os.pread(fd, SLOT, i * SLOT) for i in idx])

    def cold(self, name):
        """What must happen, untimed, before a cold call of `name`."""
        def before():
            # Mapped pages survive fadvise: drop the mapping first, and give
            # memmap a fresh one after the eviction.
            self.mm = None
            evict([self.path])
            if name == "memmap":
                self.mm = self._map()
        return before

    def settle(self):
        """Lets read-ahead still in flight finish, then evicts it."""
        self.mm = None
        time.sleep(self.pause)
        evict([self.path])

    def warm_map(self):
        if self.mm is None:
            self.mm = self._map()


METHODS = ["larkspur", "memmap", "pread"]


def verify(methods: Methods, idx) -> None:
    want = table.expected_rows(np.asarray(idx, dtype=np.uint64), SLOT).tobytes()
    for name in METHODS:
        if getattr(methods, name)(idx) != want:
            raise SystemExit(f"{name}: byte mismatch for a request of {len(idx)} records")


def measure(methods: Methods, mode: str, n: int, repeat: int, rng: random.Random) -> dict:
    """Per method: seconds per call over `repeat` calls of n random indices.

    Every method reads the same index sets. Cold, one method after the
    other, so that read-ahead a cold memmap call leaves in flight does not
    land in another method's figures; warm, interleaved in rotating order,
    so that load from elsewhere on the machine spreads over all three."""
    sets = [[rng.randrange(methods.records) for _ in range(n)] for _ in range(repeat)]
    times = {name: [] for name in METHODS}
    if mode == "cold":
        for name in METHODS:
            fn = getattr(methods, name)
            for idx in sets:
                times[name] += time_calls(partial(fn, idx), 1, before=methods.cold(name))
            methods.settle()
        return times
    methods.warm_map()
    for k, idx in enumerate(sets):
        for name in METHODS[k % 3:] + METHODS[:k % 3]:
            fn = getattr(methods, name)
            # Twice: the first read fetches the pages, the second sets off
            # any read-ahead they trigger; the timed one then only copies.
            fn(idx)
            fn(idx)
            times[name] += time_calls(partial(fn, idx), 1)
    return times


def run(quick: bool) -> dict:
    records = QUICK_RECORDS if quick else FULL_RECORDS
    repeats = QUICK_REPEAT if quick else FULL_REPEAT
    path = record_file(records)
    methods = Methods(path, records, pause=0.02 if quick else 0.5)
    rng = random.Random(7)
    try:
        # First use starts the pool; keep that out of the figures.
        methods.larkspur(list(range(64)))
        for n in SIZES:
            verify(methods, [rng.randrange(records) for _ in range(n)])
        results = {}
        for mode in ("cold", "warm"):
            for n in SIZES:
                results[mode, n] = measure(methods, mode, n, repeats[mode][n], rng)
    finally:
        methods.close()

    rows, lines, ratios = [], [], {}
    for (mode, n), times in results.items():
        med = {name: median(ts) for name, ts in times.items()}
        tail = {name: p99(ts) for name, ts in times.items()}
        vs_mm = med["memmap"] / med["larkspur"]
        vs_pr = med["pread"] / med["larkspur"]
        ratios[f"{mode}_{n}_vs_memmap"] = vs_mm
        ratios[f"{mode}_{n}_vs_pread"] = vs_pr
        row = [mode, n, len(times["larkspur"])]
        for name in METHODS:
            row += [f"{n / med[name]:,.0f}", fmt_time(med[name]), fmt_time(tail[name])]
        row += [f"{vs_mm:.2f}x", f"{vs_pr:.2f}x"]
        lines.append(row)
        rows.append({"mode": mode, "n": n, "calls": len(times["larkspur"]),
                     **{f"{name}_median_s": med[name] for name in METHODS},
                     **{f"{name}_p99_s": tail[name] for name in METHODS}})

    title = (f"view: View.read_records, {records:,} records of {SLOT} bytes "
             f"({records * SLOT / 2**30:.2f} GiB){' [quick]' if quick else ''}")
    header = ["mode", "n", "calls"]
    for name in ("larkspur", "memmap", "pread loop"):
        header += [f"{name} rec/s", "median", "p99"]
    header += ["vs memmap", "vs pread"]
    print_table(header, lines, title=title)
    limit = None
    if not quick:
        # The device's cold 4 KiB random-read rate at queue depth 32.
        fio = run_fio([path], 5, jobs=32, direct=True)
        limit = f"{fio['iops']:,.0f} reads/s" if "iops" in fio else None
    if limit:
        print(f"device limit (fio, 4 KiB random reads, O_DIRECT, 32 threads): {limit}")
    print(f"machine: {len(os.sched_getaffinity(0))} CPUs, load average "
          f"{os.getloadavg()[0]:.1f} at the end of the run")
    print("all bytes verified")
    targets = [
        ("cold n=1000 vs memmap", ratios["cold_1000_vs_memmap"], 5.0),
        ("cold n=1000 vs pread loop", ratios["cold_1000_vs_pread"], 3.0),
        ("warm n=1000 vs pread loop", ratios["warm_1000_vs_pread"], 2.0),
    ]
    for label, value, goal in targets:
        print(f"target {label}: {value:.2f}x (goal {goal:.0f}x) "
              f"{'met' if value >= goal else 'MISSED'}")
    print(f"warm n=1000 vs a warm memmap gather: {ratios['warm_1000_vs_memmap']:.2f}x")
    return {"title": title, "rows": rows, "ratios": ratios, "device_limit": limit}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a seconds-long run on a small file")
    parser.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    args = parser.parse_args(argv)
    write_json(args.json, run(args.quick))
    return 0


if __name__ == "__main__":
    sys.exit(main())
