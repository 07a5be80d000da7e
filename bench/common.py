"""Shared helpers of the benchmark scripts: timing, eviction, tables."""

from __future__ import annotations

import json
import os
import statistics
import time
from typing import Callable, Sequence

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
    s = sorted(xs)
    return s[min(len(s) - 1, int(round(0.99 * (len(s) - 1))))]


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def print_table(title: str, header: Sequence[str], rows: Sequence[Sequence[object]]) -> None:
    cells = [[str(c) for c in header]] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    print(f"\n== {title}")
    for k, r in enumerate(cells):
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)))
        if k == 0:
            print("  ".join("-" * w for w in widths))


def write_json(path: str | None, result: dict) -> None:
    if path:
        with open(path, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=2)
