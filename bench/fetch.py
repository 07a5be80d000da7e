"""Row fetch: Store.fetch against numpy.memmap and a loop of os.pread.

A synthetic table of 128 shard files (about 4 GiB; built once under the
benchmark cache directory by the table generator as rows of 8 bytes) is
read as tables of width 64, 256 and 2560 bytes, whose rows are runs of
those 8-byte rows. Each request is 16 x T uniformly random row
ids. Warm: the files are in the page cache. Cold: every shard's pages are
dropped (POSIX_FADV_DONTNEED, checked with mincore) before each request.
fio (psync, 32 jobs, 4 KiB random reads on the same files, cache dropped)
gives the device's random-read IOPS for comparison.

    python bench/fetch.py [--quick] [--json FILE]
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import mmap
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # no idle BLAS threads spinning

import numpy as np  # noqa: E402

import _larkspur  # noqa: E402
from common import CACHE_DIR, evict, fmt_time, median, p99, print_table, run_fio, write_json  # noqa: E402
from larkspur import table  # noqa: E402

SHARDS = 128
FULL_SHARD_BYTES = 32 << 20      # 128 x 32 MiB = 4 GiB: 131072 rows of 256 bytes
QUICK_SHARD_BYTES = 64 << 10     # 8 MiB in all
WIDTHS = (64, 256, 2560)
FULL_TS = (1, 64, 512, 4096)
QUICK_TS = (1, 64)

# ------------------------------------------------------------ table files

GENERATED_WIDTH = 8  # every benchmark width is a whole number of these rows


def table_dir(shard_bytes: int) -> str:
    return os.path.join(CACHE_DIR, f"fetch-{SHARDS}x{shard_bytes}-{table.GENERATOR}")


def shard_paths(directory: str) -> list[str]:
    return [table.shard_path(directory, i) for i in range(SHARDS)]


def ensure_table(shard_bytes: int) -> str:
    """Builds the shard files once (a run cut short is completed later)."""
    directory = table_dir(shard_bytes)
    width = GENERATED_WIDTH
    geometry = table.Geometry(SHARDS, shard_bytes // width, width)
    table.write_table(directory, geometry, table.generator_source(width),
                      table.GENERATOR_SOURCE)
    return directory


def expected_rows(ids: np.ndarray, shard_bytes: int, width: int) -> bytes:
    """What a fetch of `ids` as rows of `width` bytes must return: each is
    width / 8 consecutive generated rows of its shard."""
    per_row = width // GENERATED_WIDTH
    rows_per_shard = shard_bytes // width
    first = (ids // np.uint64(rows_per_shard) * np.uint64(shard_bytes // GENERATED_WIDTH)
             + ids % np.uint64(rows_per_shard) * np.uint64(per_row))
    generated = (first[:, None] + np.arange(per_row, dtype=np.uint64)).reshape(-1)
    return table.expected_rows(generated, GENERATED_WIDTH).tobytes()


# ----------------------------------------------------- page cache control

_libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
_libc.mmap.restype = ctypes.c_void_p
_libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                       ctypes.c_int, ctypes.c_long]
_libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
_libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p]


def resident_pages(paths: list[str]) -> int:
    """Pages of `paths` in the page cache (mincore over a fresh mapping)."""
    total = 0
    for path in paths:
        size = os.path.getsize(path)
        if size == 0:
            continue
        fd = os.open(path, os.O_RDONLY)
        try:
            addr = _libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
            if addr in (None, ctypes.c_void_p(-1).value):
                raise OSError(ctypes.get_errno(), "mmap failed")
            try:
                pages = (size + 4095) // 4096
                vec = ctypes.create_string_buffer(pages)
                if _libc.mincore(addr, size, vec) != 0:
                    raise OSError(ctypes.get_errno(), "mincore failed")
                total += pages - vec.raw.count(0)
            finally:
                _libc.munmap(addr, size)
        finally:
            os.close(fd)
    return total


def warm(paths: list[str]) -> None:
    for path in paths:
        with open(path, "rb") as f:
            while f.read(8 << 20):
                pass


# --------------------------------------------------------------- methods

class Baselines:
    """numpy.memmap per shard, and os.pread per row, over the same files.

    Two memmap variants: `fresh` maps the shards anew for each request
    (untimed), so every row faults its page in, as any reader does whose
    mapping is new or was dropped; `kept` keeps one mapping across requests,
    whose page tables fill up as requests touch more of the table."""

    def __init__(self, paths: list[str], rows_per_shard: int, width: int):
        self.paths = paths
        self.rps = rows_per_shard
        self.width = width
        self.fds = [os.open(p, os.O_RDONLY) for p in paths]
        self.fresh: list[np.memmap] = []
        self.kept: list[np.memmap] = []

    def mapping(self) -> list[np.memmap]:
        return [np.memmap(p, dtype=np.uint8, mode="r", shape=(self.rps, self.width))
                for p in self.paths]

    def unmap(self) -> None:
        """Mapped pages cannot be dropped from the page cache."""
        self.fresh = []
        self.kept = []

    def close(self) -> None:
        self.unmap()
        for fd in self.fds:
            os.close(fd)

    def gather(self, maps: list[np.memmap], ids: np.ndarray) -> np.ndarray:
        shard = ids // np.uint64(self.rps)
        local = (ids % np.uint64(self.rps)).astype(np.intp)
        order = np.argsort(shard, kind="stable")
        sorted_shards = shard[order]
        bounds = np.flatnonzero(np.diff(sorted_shards)) + 1
        out = np.empty((len(ids), self.width), dtype=np.uint8)
        start = 0
        for end in list(bounds) + [len(ids)]:
            sel = order[start:end]
            out[sel] = maps[int(sorted_shards[start])][local[sel]]
            start = end
        return out

    def memmap_fresh(self, ids: np.ndarray) -> np.ndarray:
        return self.gather(self.fresh, ids)

    def memmap_kept(self, ids: np.ndarray) -> np.ndarray:
        return self.gather(self.kept, ids)

    def pread(self, ids: list[int]) -> bytes:
        fds, rps, w, pread = self.fds, self.rps, self.width, os.pread
        return b"".join([pread(fds[r // rps], w, (r % rps) * w) for r in ids])


# ------------------------------------------------------------------- run

METHODS = ("ours", "memmap", "memmap_kept", "pread")
NAMES = {"ours": "ours", "memmap": "memmap", "memmap_kept": "memmap kept",
         "pread": "pread loop"}


def samples_wanted(quick: bool, t: int, cold: bool) -> int:
    if quick:
        return 3
    return {1: (200, 40), 64: (60, 15), 512: (20, 6), 4096: (8, 3)}[t][1 if cold else 0]


def time_budget(quick: bool) -> float:
    """Seconds a slow baseline may spend on one configuration; at least
    two samples are taken whatever they cost."""
    return 0.3 if quick else 12.0


def measure_config(store, base: Baselines, paths: list[str], cold: bool, requests, lists,
                   want: int, budget: float, evictions: list[int]) -> dict:
    """Times the methods request by request, interleaved and in rotating
    order, so that load from elsewhere on the machine hits all of them."""
    calls = {
        "ours": lambda k: store.fetch(lists[k]),
        "memmap": lambda k: base.memmap_fresh(requests[k]),
        "memmap_kept": lambda k: base.memmap_kept(requests[k]),
        "pread": lambda k: base.pread(lists[k]),
    }
    methods = [m for m in METHODS if not (cold and m == "memmap_kept")]
    times: dict[str, list[float]] = {m: [] for m in methods}
    spent = {m: 0.0 for m in methods}
    for k in range(want):
        shift = k % len(methods)
        for m in methods[shift:] + methods[:shift]:
            if len(times[m]) >= 2 and spent[m] > budget:
                continue
            if cold:
                base.unmap()
                evict(paths)
                evictions.append(resident_pages(paths))
            if m == "memmap":
                base.fresh = base.mapping()
            elif m == "memmap_kept" and not base.kept:
                base.kept = base.mapping()
            t0 = time.perf_counter()
            calls[m](k)
            dt = time.perf_counter() - t0
            times[m].append(dt)
            spent[m] += dt
    return times


def run(quick: bool, modes=("warm", "cold"), widths=WIDTHS, ts=None,
        fio_seconds: int = 10) -> dict:
    shard_bytes = QUICK_SHARD_BYTES if quick else FULL_SHARD_BYTES
    directory = ensure_table(shard_bytes)
    paths = shard_paths(directory)
    ts = ts or (QUICK_TS if quick else FULL_TS)
    rng = np.random.default_rng(12345)
    rows = []
    evictions: list[int] = []
    for mode in modes:
        cold = mode == "cold"
        for width in widths:
            rps = shard_bytes // width
            store = _larkspur.Store(directory, SHARDS, rps, width)
            base = Baselines(paths, rps, width)
            if not cold:
                warm(paths)
            for t in ts:
                n = 16 * t
                want = samples_wanted(quick, t, cold)
                requests = [rng.integers(0, rps * SHARDS, size=n, dtype=np.uint64)
                            for _ in range(want)]
                lists = [r.tolist() for r in requests]

                # Every method's answer to the first request is checked
                # against the content formula.
                expect = expected_rows(requests[0], shard_bytes, width)
                base.fresh = base.mapping()
                base.kept = base.kept or base.mapping()
                answers = {"ours": store.fetch(lists[0]),
                           "memmap": base.memmap_fresh(requests[0]).tobytes(),
                           "memmap kept": base.memmap_kept(requests[0]).tobytes(),
                           "pread loop": base.pread(lists[0])}
                for name, data in answers.items():
                    assert data == expect, f"{name} returned wrong bytes"
                if cold:
                    base.unmap()

                times = measure_config(store, base, paths, cold, requests, lists, want,
                                       time_budget(quick), evictions)
                row = {"mode": mode, "width": width, "T": t, "rows": n}
                for name, samples in times.items():
                    row[name] = {"median": median(samples), "p99": p99(samples),
                                 "rows_per_s": n / median(samples), "samples": len(samples)}
                for name in times:
                    if name != "ours":
                        row["x_" + name] = row[name]["median"] / row["ours"]["median"]
                rows.append(row)
                print(f"  {mode} w={width} T={t}: " + "  ".join(
                    f"{NAMES[m]} {fmt_time(row[m]['median'])}" for m in times),
                    file=sys.stderr, flush=True)
            base.close()
            del store
    if quick or fio_seconds <= 0:
        fio = {"note": "skipped with --quick" if quick else "skipped (--fio-seconds 0)"}
    else:
        # psync, 32 jobs, 4 KiB, through the page cache after an eviction.
        evict(paths)
        fio = run_fio(paths, fio_seconds, jobs=32, drop_cache=True)
    size = f"{shard_bytes >> 20} MiB" if shard_bytes >= 1 << 20 else f"{shard_bytes >> 10} KiB"
    result = {
        "title": f"Store.fetch vs numpy.memmap and an os.pread loop "
                 f"({SHARDS} shards of {size}; time per request of 16 x T rows)",
        "rows": rows,
        "ratios": {f"{r['mode']}-w{r['width']}-T{r['T']}":
                   {k[2:]: v for k, v in r.items() if k.startswith("x_")} for r in rows},
        "fio": fio,
        "max_resident_pages_after_evict": max(evictions, default=0),
    }
    for r in rows:
        if r["mode"] == "cold" and r["width"] == 256 and r["T"] == 4096 and "iops" in fio:
            result["ratios"]["cold-w256-T4096"]["fio_iops"] = r["ours"]["rows_per_s"] / fio["iops"]
    return result


def report(result: dict) -> None:
    header = ["mode", "width", "T", "rows"]
    for m in METHODS:
        header += [f"{NAMES[m]} med", "p99", "rows/s"]
    header += ["x memmap", "x kept", "x pread"]
    lines = []
    for r in result["rows"]:
        cells = [r["mode"], r["width"], r["T"], r["rows"]]
        for m in METHODS:
            if m in r:
                cells += [fmt_time(r[m]["median"]), fmt_time(r[m]["p99"]),
                          f"{r[m]['rows_per_s']:,.0f}"]
            else:
                cells += ["-", "-", "-"]
        for m in ("memmap", "memmap_kept", "pread"):
            cells.append(f"{r['x_' + m]:.2f}" if "x_" + m in r else "-")
        lines.append(cells)
    print_table(header, lines, title=result["title"])
    print("x = ours' rows/s over the baseline's (median times). memmap: fresh mappings per "
          "request; memmap kept: one mapping kept across requests (warm only).")
    fio = result["fio"]
    if "iops" in fio:
        print(f"fio randread psync, 32 jobs, 4 KiB, cache dropped, {fio['seconds']} s: "
              f"{fio['iops']:,.0f} IOPS (median latency {fio['lat_median_us']:.0f} us)")
        ratio = result["ratios"].get("cold-w256-T4096", {}).get("fio_iops")
        if ratio is not None:
            print(f"ours, cold, width 256, T=4096: {ratio:.2f} x fio's IOPS in rows/s")
    else:
        print(f"fio: {fio['note']}")
    print(f"pages still resident after an eviction (max over all cold samples): "
          f"{result['max_resident_pages_after_evict']}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny table, a few seconds")
    parser.add_argument("--json", help="write the results here too")
    parser.add_argument("--modes", default="warm,cold", help="warm,cold or one of them")
    parser.add_argument("--widths", default=",".join(map(str, WIDTHS)))
    parser.add_argument("--ts", default="", help="values of T, default all")
    parser.add_argument("--fio-seconds", type=int, default=10, help="0 skips fio")
    args = parser.parse_args(argv)
    result = run(args.quick, modes=tuple(args.modes.split(",")),
                 widths=tuple(int(w) for w in args.widths.split(",")),
                 ts=tuple(int(t) for t in args.ts.split(",")) if args.ts else None,
                 fio_seconds=args.fio_seconds)
    report(result)
    write_json(args.json, result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
