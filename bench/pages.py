"""Batched page reads: IoUringPageReader vs PageReader vs an os.pread loop.

Reads n pages of 4096 bytes at random aligned offsets of a 1 GiB file, warm
(the file read into the page cache once beforehand; --quick uses its first
64 MiB) and cold (the file evicted with posix_fadvise before every call).
The three readers take turns call by call, in rotating order, on the same
offsets, and every call's bytes are compared across them.
With fio installed, the full run also measures the device's own random-read
IOPS on the same file at the same queue depths.

    python bench/pages.py [--quick] [--json FILE] [--no-fio]
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time

import _larkspur
from common import CACHE_DIR, evict, fmt_time, median, p99, print_table, run_fio, write_json  # noqa: E402

PAGE = 4096
FILE_SIZE = 1 << 30
FILE_PAGES = FILE_SIZE // PAGE
QUICK_WARM_SPAN = 64 << 20
SIZES = (1, 64, 256, 600, 4096)
QUICK_COLD_SIZES = (1, 64, 256)

# Calls per reader: (warm, cold) for each page count.
FULL_CALLS = {1: (3000, 200), 64: (800, 40), 256: (300, 15), 600: (150, 8),
              4096: (30, 3)}
QUICK_CALLS = {1: (300, 5), 64: (60, 3), 256: (20, 2), 600: (10, 0),
               4096: (3, 0)}

# Ratio targets: (mode, smallest page count, numerator, denominator, factor).
TARGETS = (
    ("cold", 64, "IoUringPageReader", "PageReader", 6.0),
    ("warm", 600, "IoUringPageReader", "PageReader", 1.5),
    ("warm", 600, "PageReader", "os.pread loop", 1.1),
)


def data_file() -> str:
    """The 1 GiB file of random bytes, made once and kept."""
    path = os.path.join(CACHE_DIR, "pages-1g.bin")
    if os.path.exists(path) and os.path.getsize(path) == FILE_SIZE:
        return path
    os.makedirs(CACHE_DIR, exist_ok=True)
    tmp = path + ".tmp"
    rng = random.Random(20240601)
    with open(tmp, "wb") as f:
        for _ in range(FILE_SIZE // (16 << 20)):
            f.write(rng.randbytes(16 << 20))
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    return path


def readers(fd: int) -> dict:
    uring = _larkspur.IoUringPageReader(PAGE)
    pages = _larkspur.PageReader(PAGE)
    pread = os.pread
    return {
        "IoUringPageReader": lambda offs: uring.read_pages([fd] * len(offs), offs),
        "PageReader": lambda offs: pages.read_pages([fd] * len(offs), offs),
        "os.pread loop": lambda offs: [pread(fd, PAGE, o) for o in offs],
    }


def cache(fd: int, span: int) -> None:
    """Reads the first `span` bytes once, so that they are in the page cache
    and no longer carry the readahead state of a fresh read."""
    for off in range(0, span, 16 << 20):
        os.pread(fd, 16 << 20, off)


def measure(path: str, fd: int, mode: str, n: int, calls: int,
            span_pages: int, rng: random.Random) -> dict:
    """Seconds per call for each reader; every call's bytes are compared."""
    fns = list(readers(fd).items())
    times = {name: [] for name, _ in fns}
    for _, fn in fns:  # untimed: creates the thread's ring, warms code
        fn([0])
    for call in range(calls):
        offsets = [rng.randrange(span_pages) * PAGE for _ in range(n)]
        results = []
        for k in range(len(fns)):
            name, fn = fns[(call + k) % len(fns)]
            if mode == "cold":
                evict([path])
            t0 = time.perf_counter()
            out = fn(offsets)
            times[name].append(time.perf_counter() - t0)
            results.append(out)
        if not all(r == results[-1] for r in results):
            raise SystemExit(f"{mode} {n} pages: readers returned different bytes")
        if len(results[-1]) != n or any(len(p) != PAGE for p in results[-1]):
            raise SystemExit(f"{mode} {n} pages: short or missing pages")
    return times


def fio_figures(path: str) -> list[dict]:
    """fio's random 4 KiB read IOPS on the same file: cold through O_DIRECT
    (the device) and warm through the page cache, at the batch sizes."""
    out = []
    for mode, direct in (("cold", True), ("warm", False)):
        if mode == "warm":
            with open(path, "rb") as f:  # cache the whole file
                while f.read(16 << 20):
                    pass
        for depth in (1, 64, 256):
            got = run_fio([path], 4, engine="io_uring", depth=depth, direct=direct, ramp=1)
            if "iops" not in got:
                out.append({"mode": mode, "iodepth": depth, "error": got["note"]})
                continue
            out.append({"mode": mode, "iodepth": depth, "iops": round(got["iops"]),
                        "lat_mean_us": round(got["lat_mean_us"], 1)})
    return out


def run(quick: bool, fio: bool = True) -> dict:
    path = data_file()
    fd = os.open(path, os.O_RDONLY)
    rng = random.Random(7)
    plan = QUICK_CALLS if quick else FULL_CALLS
    rows, stats = [], {}
    warm_span = QUICK_WARM_SPAN if quick else FILE_SIZE
    try:
        cache(fd, warm_span)
        for mode in ("warm", "cold"):
            span_pages = (warm_span if mode == "warm" else FILE_SIZE) // PAGE
            for n in SIZES:
                calls = plan[n][0 if mode == "warm" else 1]
                if calls == 0 or (quick and mode == "cold" and n not in QUICK_COLD_SIZES):
                    continue
                times = measure(path, fd, mode, n, calls, span_pages, rng)
                # From the median: the machine is shared, and a few calls
                # stalled by other work would otherwise decide the rate.
                base = {name: n / median(ts) for name, ts in times.items()}
                for name, ts in times.items():
                    stats[(mode, n, name)] = base[name]
                    rows.append([mode, n, name, len(ts), fmt_time(median(ts)),
                                 fmt_time(p99(ts)), f"{base[name]:,.0f}",
                                 f"{base[name] / base['PageReader']:.2f}x",
                                 f"{base[name] / base['os.pread loop']:.2f}x"])
    finally:
        os.close(fd)

    ratios = []
    for mode, smallest, num, den, factor in TARGETS:
        for n in SIZES:
            if n >= smallest and (mode, n, num) in stats:
                r = stats[(mode, n, num)] / stats[(mode, n, den)]
                ratios.append({"mode": mode, "pages": n, "ratio": f"{num} / {den}",
                               "value": round(r, 2), "target": factor,
                               "met": r >= factor})
    result = {"title": "page reads, 4096-byte pages at random offsets of a 1 GiB file",
              "header": ["mode", "pages", "reader", "calls", "median/call",
                         "p99/call", "pages/s", "vs PageReader", "vs os.pread"],
              "rows": rows, "ratios": ratios,
              "fio": fio_figures(path) if fio and not quick else [],
              "backend": _larkspur.IoUringPageReader().backend}
    return result


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few seconds")
    parser.add_argument("--json", metavar="FILE", help="also write the result")
    parser.add_argument("--no-fio", action="store_true", help="skip fio")
    args = parser.parse_args(argv)
    result = run(args.quick, fio=not args.no_fio)
    print_table(result["header"], result["rows"],
                title=f"{result['title']} (backend {result['backend']})")
    print_table(["mode", "pages", "ratio", "value", "target", "met"],
                [[r["mode"], r["pages"], r["ratio"], f"{r['value']:.2f}x",
                  f">= {r['target']}x", "yes" if r["met"] else "NO"]
                 for r in result["ratios"]], title="targets")
    if result["fio"]:
        print_table(["mode", "iodepth", "IOPS", "mean latency"],
                    [[f["mode"], f["iodepth"], f"{f['iops']:,}" if "iops" in f else f["error"],
                      f"{f['lat_mean_us']} us" if "iops" in f else ""]
                     for f in result["fio"]],
                    title="fio randread 4k, io_uring engine, same file (cold = O_DIRECT)")
    write_json(args.json, result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
