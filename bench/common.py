"""Shared helpers of the benchmark scripts: timing, eviction, tables, fio."""

from __future__ import annotations

import gc
import json
import math
import os
import random
import shutil
import statistics
import subprocess
import time
from collections.abc import Callable, Sequence

from larkspur.report import percentile, print_table  # noqa: F401  (re-exported)
from larkspur.table import evict  # noqa: F401  (re-exported for the scripts)

CACHE_DIR = os.environ.get("LARKSPUR_BENCH_DIR", "/var/tmp/larkspur-bench")


def time_calls(fn: Callable[[], object], repeat: int,
               before: Callable[[], object] | None = None) -> list[float]:
    """Seconds per call of `fn`, `repeat` times; `before` runs untimed first."""
    out = []
    for _ in range(repeat):
        if before is not None:
            before()
        t0 = time.perf_counter()
        fn()
        out.append(time.perf_counter() - t0)
    return out


def round_robin(calls: dict[str, Callable[[], object]], rounds: int, *,
                prepare: Callable[[str], object] | None = None,
                check: Callable[[str, object], object] | None = None,
                budget: float = math.inf, least: int = 2) -> dict[str, list[float]]:
    """Seconds per call of each of `calls`, over `rounds` rounds in which
    each runs once, in a fresh random order each round: drift and load from
    elsewhere on the machine hit all of them alike, and no call always
    follows the same other call (one that leaves the kernel or the caches
    busy would otherwise tax its successor alone).

    Untimed: prepare(name) before each call (its fresh arguments: calls
    that read what another call has just read find it in the CPU caches),
    check(name, result) after it. A call with a true `self_timed`
    attribute times itself and returns (seconds, result). A call that has spent `budget` seconds
    stops once it has `least` samples. The cyclic garbage collector is off
    meanwhile, so that no call pays for another's garbage.
    """
    names = list(calls)
    times: dict[str, list[float]] = {name: [] for name in names}
    spent = dict.fromkeys(names, 0.0)
    clock = time.perf_counter
    order = random.Random(len(names) * 1000 + rounds)
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            live = [n for n in names if len(times[n]) < least or spent[n] < budget]
            if not live:
                break
            order.shuffle(live)
            for name in live:
                if prepare is not None:
                    prepare(name)
                fn = calls[name]
                if getattr(fn, "self_timed", False):
                    dt, result = fn()
                else:
                    t0 = clock()
                    result = fn()
                    dt = clock() - t0
                times[name].append(dt)
                spent[name] += dt
                if check is not None:
                    check(name, result)
                del result
    finally:
        if enabled:
            gc.enable()
    return times


def summary(xs: Sequence[float]) -> dict:
    """p50, p99 and count of samples in seconds."""
    return {"p50": statistics.median(xs), "p99": percentile(xs, 0.99), "samples": len(xs)}


class DeviceReads:
    """Reads in flight on the block device that holds `path`, from sysfs."""

    def __init__(self, path: str):
        dev = os.stat(path).st_dev
        self.sysfs = f"/sys/dev/block/{os.major(dev)}:{os.minor(dev)}"
        self.inflight: str | None = os.path.join(self.sysfs, "inflight")
        if not os.path.exists(self.inflight):
            self.inflight = None  # not a block device (tmpfs, overlay): nothing to wait for

    def read_ahead_kb(self) -> int | None:
        """The device's read-ahead window, which sets what a cold fault reads."""
        try:
            with open(os.path.join(self.sysfs, "queue", "read_ahead_kb"), encoding="ascii") as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def count(self) -> int:
        if self.inflight is None:
            return 0
        with open(self.inflight, encoding="ascii") as f:
            return int(f.read().split()[0])

    def wait_idle(self, limit: float = 0.2) -> float:
        """Waits until no read is in flight, or `limit` seconds: read-ahead a
        cold call leaves running would otherwise slow the next call.
        Returns the seconds waited."""
        t0 = time.perf_counter()
        while self.count() and time.perf_counter() - t0 < limit:
            time.sleep(0.0005)
        return time.perf_counter() - t0


def median(xs: Sequence[float]) -> float:
    return statistics.median(xs)


def p99(xs: Sequence[float]) -> float:
    return percentile(xs, 0.99)


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def run_fio(paths: Sequence[str], seconds: int, *, engine: str = "psync", jobs: int = 1,
            depth: int = 1, direct: bool = False, drop_cache: bool = False,
            ramp: int = 0, batch: bool = False) -> dict:
    """fio's 4 KiB random reads over `paths` (files of one directory), by
    `jobs` threads with `engine` at queue depth `depth`, through the page
    cache or not (`direct`), for `seconds` after `ramp` seconds; with
    `batch`, `depth` reads submitted together and all reaped before the next
    `depth` go (a lookup's reads, one after another).

    Returns {"iops", "lat_mean_us", "lat_median_us", "seconds"}, or
    {"note": why} when fio is not installed or fails.
    """
    if shutil.which("fio") is None:
        return {"note": "fio not installed: skipped"}
    directory = os.path.dirname(os.path.abspath(paths[0]))
    names = ":".join(os.path.basename(p) for p in paths)
    cmd = ["fio", "--name=randread", f"--directory={directory}", f"--filename={names}",
           "--rw=randread", "--bs=4k", f"--ioengine={engine}", f"--iodepth={depth}",
           f"--numjobs={jobs}", "--thread", "--group_reporting", f"--direct={int(direct)}",
           f"--invalidate={int(drop_cache)}", "--readonly", "--norandommap",
           "--randrepeat=0", "--time_based", f"--runtime={seconds}", f"--ramp_time={ramp}",
           "--output-format=json"]
    if batch:
        cmd += [f"--iodepth_batch_submit={depth}", f"--iodepth_batch_complete_min={depth}"]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True,
                              timeout=seconds + ramp + 120)
    except (OSError, subprocess.SubprocessError) as e:
        return {"note": f"fio failed: {e}"}
    if proc.returncode != 0:
        return {"note": f"fio failed: {proc.stderr.strip()[:200]}"}
    try:
        # fio may print notices before its JSON.
        read = json.loads(proc.stdout[proc.stdout.index("{"):])["jobs"][0]["read"]
    except (ValueError, LookupError):
        return {"note": f"fio printed no figures: {proc.stdout.strip()[:200]}"}
    clat = read["clat_ns"]
    return {"iops": read["iops"], "seconds": seconds,
            "lat_mean_us": clat["mean"] / 1e3,
            "lat_median_us": clat.get("percentile", {}).get("50.000000", 0) / 1e3}


def write_json(path: str | None, result: dict) -> None:
    if path:
        with open(path, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=2)
