"""A table read in place from a safetensors checkpoint against the same rows
as a table directory: the same engine, so the same speed is the goal.

The rows: SHARDS shards of ROWS rows of 160 bytes (BF16, 80 elements a
row), random, written once under the benchmark cache directory both as one
safetensors file (the shards among other tensors, at offsets that are not
page-aligned, as a writer lays them out) and as shard files with their
metadata. Each call gathers fresh random rows into a preallocated array,
the two tables taking turns (bench/common.py's round_robin): warm (the page
cache holds both) at 16 and 4096 rows, and cold through O_DIRECT at 16 and
256 rows (both evicted before each call). Every call's rows are compared
with the rows written, outside the timing.

    python bench/checkpoint.py [--quick] [--dir DIR] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import struct
import sys

import numpy as np

import larkspur
from common import CACHE_DIR, evict, fmt_time, print_table, round_robin, summary, write_json
from larkspur import table

WIDTH = 160
SHARDS = {False: 32, True: 4}
ROWS = {False: 65_536, True: 4096}
CALLS = {False: {16: 2000, 4096: 200, "cold16": 150, "cold256": 60},
         True: {16: 50, 4096: 10, "cold16": 10, "cold256": 5}}
NAME = "model.ngram.shards.{i}.weight"


def rows_of(shard: int, rows: int) -> np.ndarray:
    return np.random.default_rng(shard).integers(0, 256, (rows, WIDTH), dtype=np.uint8)


def build(root: str, shards: int, rows: int) -> tuple[str, str]:
    """The checkpoint file and the table directory, written once."""
    ckpt = os.path.join(root, "model.safetensors")
    tdir = os.path.join(root, "table")
    done = os.path.join(root, "done")
    if os.path.exists(done):
        return ckpt, tdir
    os.makedirs(tdir, exist_ok=True)
    header: dict = {"__metadata__": {"format": "pt"}}
    # A small tensor first puts the shards off page boundaries.
    at = 0
    parts = [("model.embed_scale", "F32", [3], 12)]
    parts += [(NAME.format(i=i), "BF16", [rows, WIDTH // 2], rows * WIDTH)
              for i in range(shards)]
    for name, dtype, shape, size in parts:
        header[name] = {"dtype": dtype, "shape": shape, "data_offsets": [at, at + size]}
        at += size
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % 8)
    with open(ckpt + ".partial", "wb") as f:
        f.write(struct.pack("<Q", len(text)) + text + bytes(12))
        for i in range(shards):
            block = rows_of(i, rows)
            f.write(block.tobytes())
            with open(os.path.join(tdir, f"shard_{i}.bin"), "wb") as s:
                s.write(block.tobytes())
    os.replace(ckpt + ".partial", ckpt)
    table._write_meta(tdir, table.Geometry(shards, rows, WIDTH), "bench-checkpoint")
    open(done, "w").close()
    return ckpt, tdir


def measure(tables: dict, every: np.ndarray, n: int, calls: int, rng: np.random.Generator,
            evicted: list[str]) -> dict:
    """Summaries of gathers of `n` fresh random rows through each of
    `tables` in turn, the files of `evicted` dropped from the page cache
    before each call; the rows are checked against `every`."""
    out = np.empty((n, WIDTH), np.uint8)
    ids: dict[str, np.ndarray] = {}

    def prepare(name):
        ids[name] = rng.integers(0, len(every), n)
        if evicted:
            evict(evicted)

    def check(name, got):
        if not np.array_equal(out, every[ids[name]]):
            raise SystemExit(f"{name}: rows differ from the rows written")

    gathers = {name: (lambda t=t, name=name: t.gather(ids[name], out=out))
               for name, t in tables.items()}
    times = round_robin(gathers, calls, prepare=prepare, check=check)
    return {name: summary(xs) for name, xs in times.items()}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--dir", default=CACHE_DIR,
                        help="where the files are built once (default: %(default)s)")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args(argv)
    shards, rows = SHARDS[args.quick], ROWS[args.quick]
    root = os.path.join(args.dir, f"checkpoint-{shards}x{rows}")
    ckpt, tdir = build(root, shards, rows)
    every = np.concatenate([rows_of(i, rows) for i in range(shards)])
    rng = np.random.default_rng(7)
    results: dict = {}
    table_rows = []
    files = [ckpt] + [os.path.join(tdir, f"shard_{i}.bin") for i in range(shards)]
    for path in files:
        # Warm: an earlier run's cold calls left the files evicted.
        with open(path, "rb") as f:
            while f.read(16 << 20):
                pass
    for cold in (False, True):
        kw = {"direct": True} if cold else {}
        try:
            tables = {"directory": larkspur.Table(tdir, **kw),
                      "checkpoint": larkspur.Table.from_safetensors(ckpt, NAME, **kw)}
        except OSError as e:
            print(f"cold runs skipped: {e}", file=sys.stderr)
            break
        for n in ((16, 256) if cold else (16, 4096)):
            key = f"cold{n}" if cold else n
            s = measure(tables, every, n, CALLS[args.quick][key], rng, files if cold else [])
            results[str(key)] = s
            ratio = s["checkpoint"]["p50"] / s["directory"]["p50"]
            table_rows.append([f"{'cold, direct' if cold else 'warm'}, {n} rows",
                               fmt_time(s["directory"]["p50"]), fmt_time(s["checkpoint"]["p50"]),
                               f"{ratio:.2f}"])
        for t in tables.values():
            t.close()
    print(f"{shards} shards x {rows} rows x {WIDTH} B; p50 of a gather into a preallocated"
          " array, every row checked")
    print_table(["gather", "directory p50", "checkpoint p50", "checkpoint / directory"],
                table_rows)
    write_json(args.json, results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
