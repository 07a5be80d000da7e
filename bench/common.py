"""Shared helpers of the benchmark scripts: timing, eviction, tables, fio."""

from __future__ import annotations

import json
import os
import shutil
import statistics
import subprocess
import time
from typing import Callable, Sequence

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
            ramp: int = 0) -> dict:
    """fio's 4 KiB random reads over `paths` (files of one directory), by
    `jobs` threads with `engine` at queue depth `depth`, through the page
    cache or not (`direct`), for `seconds` after `ramp` seconds.

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
