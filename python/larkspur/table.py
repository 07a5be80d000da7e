"""Synthetic n-gram tables: deterministic row contents, writing and checking.

Every row's bytes are a cheap function of its global row id, so any fetched
row can be verified without keeping a copy of the table.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from typing import Callable, Iterable, Iterator

import numpy as np

# The grid of the PLE_QWEN_V1 row space.
QWEN_SHARDS = 128
QWEN_ROWS_PER_SHARD = 2_500_012

META_NAME = "larkspur-table.json"
_GENERATOR = "splitmix64-v1"
_M1 = np.uint64(0x9E3779B97F4A7C15)
_M2 = np.uint64(0xBF58476D1CE4E5B9)
_M3 = np.uint64(0x94D049BB133111EB)


def expected_rows(rowids: np.ndarray, width: int) -> np.ndarray:
    """The bytes of the given rows, shape (len(rowids), width), uint8."""
    ids = np.asarray(rowids, dtype=np.uint64).reshape(-1, 1)
    words = (width + 7) // 8
    with np.errstate(over="ignore"):
        x = ids * _M1 + (np.arange(words, dtype=np.uint64) + np.uint64(1)) * _M2
        x ^= x >> np.uint64(30)
        x *= _M3
        x ^= x >> np.uint64(31)
    return x.view(np.uint8).reshape(len(ids), words * 8)[:, :width]


@dataclass(frozen=True)
class Geometry:
    shards: int
    rows_per_shard: int
    width: int

    @property
    def shard_bytes(self) -> int:
        return self.rows_per_shard * self.width

    @property
    def total_bytes(self) -> int:
        return self.shards * self.shard_bytes


def shard_path(directory: str, index: int) -> str:
    return os.path.join(directory, f"shard_{index}.bin")


def find_shard(directory: str, index: int) -> str | None:
    """The file a Store would open for shard `index`, or None if neither exists."""
    for name in (f"shard_{index}.bin", f"badge_{index}.bin"):
        path = os.path.join(directory, name)
        if os.path.exists(path):
            return path
    return None


def read_meta(directory: str) -> dict | None:
    try:
        with open(os.path.join(directory, META_NAME), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def _write_meta(directory: str, geometry: Geometry, source: str) -> None:
    meta = {
        "shards": geometry.shards,
        "rows_per_shard": geometry.rows_per_shard,
        "width": geometry.width,
        "source": source,
    }
    tmp = os.path.join(directory, META_NAME + ".tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(meta, f)
    os.replace(tmp, os.path.join(directory, META_NAME))


def missing_shards(directory: str, geometry: Geometry) -> list[int]:
    """Shards that are absent or not of their full size."""
    out = []
    for i in range(geometry.shards):
        path = shard_path(directory, i)
        try:
            if os.stat(path).st_size != geometry.shard_bytes:
                out.append(i)
        except OSError:
            out.append(i)
    return out


RowSource = Callable[[int, int], np.ndarray]  # (first global row, count) -> rows


def generator_source(width: int) -> RowSource:
    return lambda first, count: expected_rows(
        np.arange(first, first + count, dtype=np.uint64), width)


def npy_source(path: str) -> tuple[RowSource, int, int]:
    """Rows from a .npy array in global order: (source, rows, width in bytes)."""
    array = np.load(path, mmap_mode="r")
    if array.ndim == 1:
        array = array.reshape(len(array), 1)
    rows = array.shape[0]
    flat = array.reshape(rows, -1)
    width = flat.shape[1] * flat.dtype.itemsize

    def source(first: int, count: int) -> np.ndarray:
        chunk = np.ascontiguousarray(flat[first:first + count])
        return chunk.view(np.uint8).reshape(len(chunk), width)

    return source, rows, width


def write_table(directory: str, geometry: Geometry, source: RowSource, source_name: str,
                progress: Callable[[int], None] | None = None,
                rows_available: int | None = None) -> list[int]:
    """Writes every shard that is missing or short; returns the shards written.

    A shard is written to "shard_{i}.bin.partial" and renamed when complete,
    so an interrupted run leaves no full-size file with wrong contents: the
    next run finds the shard missing and writes it again. Rows past
    `rows_available` (an array shorter than the grid) are zeros.
    """
    os.makedirs(directory, exist_ok=True)
    meta = read_meta(directory)
    wanted = {"shards": geometry.shards, "rows_per_shard": geometry.rows_per_shard,
              "width": geometry.width, "source": source_name}
    if meta is not None and meta != wanted:
        raise ValueError(
            f"{directory} holds a different table ({meta}); choose another directory")
    _write_meta(directory, geometry, source_name)
    todo = missing_shards(directory, geometry)
    done_bytes = (geometry.shards - len(todo)) * geometry.shard_bytes
    if progress:
        progress(done_bytes)
    chunk_rows = max(1, (16 << 20) // max(1, geometry.width))
    for i in todo:
        partial = shard_path(directory, i) + ".partial"
        with open(partial, "wb") as f:
            first = i * geometry.rows_per_shard
            for start in range(0, geometry.rows_per_shard, chunk_rows):
                count = min(chunk_rows, geometry.rows_per_shard - start)
                g = first + start
                if rows_available is not None and g + count > rows_available:
                    have = max(0, rows_available - g)
                    block = np.zeros((count, geometry.width), dtype=np.uint8)
                    if have:
                        block[:have] = source(g, have)
                else:
                    block = source(g, count)
                f.write(np.ascontiguousarray(block).tobytes())
                done_bytes += count * geometry.width
                if progress:
                    progress(done_bytes)
        os.replace(partial, shard_path(directory, i))
    return todo


def evict(paths: Iterable[str]) -> None:
    """Drops the page cache of each file (POSIX_FADV_DONTNEED)."""
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def iter_shard_status(directory: str, geometry: Geometry) -> Iterator[tuple[int, str | None, int, str]]:
    """(index, file found or None, size, state) per shard: ok, short, long, missing."""
    for i in range(geometry.shards):
        path = find_shard(directory, i)
        if path is None:
            yield i, None, 0, "missing"
            continue
        size = os.stat(path).st_size
        if size == geometry.shard_bytes:
            state = "ok"
        elif size < geometry.shard_bytes:
            state = "short"
        else:
            state = "long"
        yield i, path, size, state
