"""Synthetic n-gram tables: deterministic row contents, writing and checking.

Every row's bytes are a cheap function of its global row id, so any fetched
row can be verified without keeping a copy of the table.
"""

from __future__ import annotations

import errno
import json
import os
import stat
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

# numpy is imported by the functions that need it, so that reading metadata
# and listing shards (`larkspur inspect`) work without it.
if TYPE_CHECKING:
    import numpy as np

# The grid of the PLE_QWEN_V1 row space.
QWEN_SHARDS = 128
QWEN_ROWS_PER_SHARD = 2_500_012

META_NAME = "larkspur-table.json"
# The format of META_NAME: a JSON object with "version" (this number),
# "shards", "rows_per_shard" and "width" (positive integers), "source" (where
# the rows came from) and, for generated tables, "generator".
META_VERSION = 1
# Row ids are unsigned 64-bit; a shard file cannot exceed the largest off_t.
ROW_ID_LIMIT = 1 << 64
MAX_FILE_BYTES = (1 << 63) - 1
# The source name of tables made by `expected_rows`, and the name of that
# generator as the metadata records it. Metadata written before it was
# recorded has the source alone; those tables hold this generator's rows.
GENERATOR_SOURCE = "generator"
GENERATOR = "rowid-mix64-v1"
_M1 = 0x9E3779B97F4A7C15
_M2 = 0xBF58476D1CE4E5B9
_M3 = 0x94D049BB133111EB


def expected_rows(rowids: np.ndarray, width: int) -> np.ndarray:
    """The bytes of the given rows, shape (len(rowids), width), uint8.

    Word k of row r is a 64-bit mix of r * M1 + (k + 1) * M2, stored
    little-endian; a row is the first `width` bytes of its words.
    """
    import numpy as np

    ids = np.asarray(rowids, dtype=np.uint64).reshape(-1, 1)
    words = (width + 7) // 8
    with np.errstate(over="ignore"):
        x = (ids * np.uint64(_M1)
             + (np.arange(words, dtype=np.uint64) + np.uint64(1)) * np.uint64(_M2))
        x ^= x >> np.uint64(30)
        x *= np.uint64(_M3)
        x ^= x >> np.uint64(31)
    return x.view(np.uint8).reshape(len(ids), words * 8)[:, :width]


class TableError(ValueError):
    """A table that cannot be written as asked: its geometry, or a directory
    that holds another table."""


class MetadataError(ValueError):
    """A metadata file that exists but does not describe a table."""


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

    def check(self) -> None:
        """Raises TableError unless every row has a row id and every shard can be a file."""
        if self.shards * self.rows_per_shard > ROW_ID_LIMIT:
            raise TableError(f"{self.shards} shards of {self.rows_per_shard} rows need more"
                             " than 2**64 row ids")
        if self.shard_bytes > MAX_FILE_BYTES:
            raise TableError(f"a shard of {self.rows_per_shard} rows x {self.width} B is larger"
                             f" than the largest file ({MAX_FILE_BYTES} bytes)")


def shard_path(directory: str, index: int) -> str:
    return os.path.join(directory, f"shard_{index}.bin")


def find_shard(directory: str, index: int) -> tuple[str, os.stat_result] | None:
    """The file a Store would open for shard `index` and its status, or None if
    neither name exists.

    As in Store, any failure to stat "shard_{i}.bin" falls back to
    "badge_{i}.bin"; a failure other than absence there raises OSError.
    """
    path = os.path.join(directory, f"shard_{index}.bin")
    try:
        return path, os.stat(path)
    except OSError:
        pass
    path = os.path.join(directory, f"badge_{index}.bin")
    try:
        return path, os.stat(path)
    except OSError as e:
        if e.errno in (errno.ENOENT, errno.ENOTDIR):
            return None
        raise


def load_meta(directory: str) -> dict | None:
    """The metadata of `directory`, or None if it has none.

    Raises MetadataError when the file exists but is not a JSON object, and
    OSError when it cannot be read for another reason than absence.
    """
    path = os.path.join(directory, META_NAME)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        if e.errno in (errno.ENOENT, errno.ENOTDIR):
            return None
        raise
    try:
        meta = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError:
        raise MetadataError(f"{path}: not UTF-8 text") from None
    except ValueError as e:
        raise MetadataError(f"{path}: not JSON ({e})") from None
    if not isinstance(meta, dict):
        raise MetadataError(f"{path}: not a JSON object")
    return meta


def meta_count(meta: dict, key: str, directory: str) -> int:
    """meta[key] as a positive integer below 2**63; MetadataError otherwise."""
    value = meta.get(key)
    path = os.path.join(directory, META_NAME)
    if value is None:
        raise MetadataError(f'{path}: no "{key}"')
    # bool is an int subclass: true must not read as 1.
    if type(value) is not int or not 0 < value <= MAX_FILE_BYTES:
        shown = repr(value)
        if len(shown) > 40:
            shown = shown[:37] + "..."
        raise MetadataError(f'{path}: "{key}" is {shown}, not a positive integer below 2**63')
    return value


def table_meta(geometry: Geometry, source: str) -> dict:
    """The metadata of a table of `geometry` whose rows come from `source`."""
    meta = {
        "version": META_VERSION,
        "shards": geometry.shards,
        "rows_per_shard": geometry.rows_per_shard,
        "width": geometry.width,
        "source": source,
    }
    if source == GENERATOR_SOURCE:
        meta["generator"] = GENERATOR
    return meta


def _with_generator(meta: dict) -> dict:
    """`meta` as this version writes it: files written before the version
    field (version 1) or the generator's name are what they were."""
    meta = {"version": META_VERSION, **meta}
    if meta.get("source") == GENERATOR_SOURCE and "generator" not in meta:
        meta["generator"] = GENERATOR
    return meta


def _write_meta(directory: str, geometry: Geometry, source: str) -> None:
    meta = table_meta(geometry, source)
    tmp = os.path.join(directory, META_NAME + ".tmp")
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(meta, f)
        os.replace(tmp, os.path.join(directory, META_NAME))
    except BaseException:
        _remove_quietly(tmp)
        raise


def _remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


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


RowSource = Callable[[int, int], "np.ndarray"]  # (first global row, count) -> rows


def generator_source(width: int) -> RowSource:
    import numpy as np

    return lambda first, count: expected_rows(
        np.arange(first, first + count, dtype=np.uint64), width)


def npy_source(path: str) -> tuple[RowSource, int, int]:
    """Rows from a .npy array in global order: (source, rows, width in bytes).

    Raises OSError when the file cannot be read and ValueError when it is not
    a .npy array of at least one row of at least one byte.
    """
    import numpy as np

    with open(path, "rb") as f:
        if f.read(6) != b"\x93NUMPY":
            raise ValueError("not a .npy file")
    array = np.load(path, mmap_mode="r")
    if array.ndim == 0:
        raise ValueError("holds a single value, not rows")
    if array.shape[0] == 0:
        raise ValueError("holds no rows")
    if array.ndim == 1:
        array = array.reshape(len(array), 1)
    rows = array.shape[0]
    flat = array.reshape(rows, -1)
    width = flat.shape[1] * flat.dtype.itemsize
    if width == 0:
        raise ValueError("holds rows of 0 bytes")

    def source(first: int, count: int) -> np.ndarray:
        chunk = np.ascontiguousarray(flat[first:first + count])
        return chunk.view(np.uint8).reshape(len(chunk), width)

    return source, rows, width


def _file_size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def _free_bytes(directory: str) -> int | None:
    """Bytes this process may still write on the file system of `directory`
    (or of its nearest existing parent), or None if that is unknown."""
    path = os.path.abspath(directory)
    while not os.path.isdir(path) and os.path.dirname(path) != path:
        path = os.path.dirname(path)
    try:
        st = os.statvfs(path)
    except OSError:
        return None
    # root may also use the blocks reserved for it.
    blocks = st.f_bfree if os.geteuid() == 0 else st.f_bavail
    return blocks * st.f_frsize


def check_space(directory: str, geometry: Geometry, todo: list[int]) -> None:
    """Raises OSError(ENOSPC) when the shards in `todo` cannot fit the free space.

    The bound is the growth of the table once written (what an existing short
    shard or partial file already holds is given back), so a table refused
    here would certainly fail; one that passes may still fail on a busy disk.
    """
    need = 0
    for i in todo:
        path = shard_path(directory, i)
        need += max(0, geometry.shard_bytes - _file_size(path) - _file_size(path + ".partial"))
    free = _free_bytes(directory)
    if free is not None and need > free:
        raise OSError(errno.ENOSPC, f"the table needs {need} more bytes, the file system has"
                      f" {free} free", directory)


def write_table(directory: str, geometry: Geometry, source: RowSource, source_name: str,
                progress: Callable[[int], None] | None = None,
                rows_available: int | None = None,
                verify: Callable[[int, str], None] | None = None) -> list[int]:
    """Writes every shard that is missing or short; returns the shards written.

    Everything that can be checked is checked before anything is written: the
    geometry, the directory, its metadata and the free space (TableError,
    OSError). Metadata of another table (geometry, source or generator) is
    refused; a table of `source_name` "generator" is one of GENERATOR. A
    shard is written to "shard_{i}.bin.partial" and renamed when complete,
    so an interrupted run leaves no full-size file with wrong contents: the
    next run finds the shard missing and writes it again. The metadata is
    written just before the first shard is put in place, so a run
    that fails before completing a shard leaves no claim on the directory.
    Rows past `rows_available` (an array shorter than the grid) are zeros.
    `verify(i, path)`, when given, checks shard i's complete file before it
    is put in place; what it raises leaves the shard missing.
    """
    import numpy as np

    geometry.check()
    if os.path.exists(directory) and not os.path.isdir(directory):
        raise TableError(f"{directory} is not a directory")
    try:
        meta = load_meta(directory)
    except MetadataError:
        meta = None  # unreadable as a table: taken over, as an absent one
    if meta is not None and _with_generator(meta) != table_meta(geometry, source_name):
        raise TableError(
            f"{directory} holds a different table ({meta}); choose another directory")
    todo = missing_shards(directory, geometry)
    check_space(directory, geometry, todo)
    os.makedirs(directory, exist_ok=True)
    done_bytes = (geometry.shards - len(todo)) * geometry.shard_bytes
    if progress:
        progress(done_bytes)
    chunk_rows = max(1, (16 << 20) // max(1, geometry.width))
    meta_written = False
    for i in todo:
        partial = shard_path(directory, i) + ".partial"
        try:
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
            if verify:
                verify(i, partial)
        except BaseException as e:
            _remove_quietly(partial)
            if isinstance(e, OSError) and e.filename is None:
                e.filename = partial  # a failed write() names no file
            raise
        if not meta_written:
            _write_meta(directory, geometry, source_name)
            meta_written = True
        os.replace(partial, shard_path(directory, i))
    if not meta_written:
        _write_meta(directory, geometry, source_name)
    return todo


def evict(paths: Iterable[str]) -> None:
    """Drops the page cache of each file (POSIX_FADV_DONTNEED)."""
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def iter_shard_status(directory: str,
                      geometry: Geometry) -> Iterator[tuple[int, str | None, int, str]]:
    """(index, file found or None, size, state) per shard: ok, short, long,
    missing, or not-a-file for a directory or other non-file (size 0)."""
    for i in range(geometry.shards):
        found = find_shard(directory, i)
        if found is None:
            yield i, None, 0, "missing"
            continue
        path, st = found
        if not stat.S_ISREG(st.st_mode):
            yield i, path, 0, "not-a-file"
            continue
        if st.st_size == geometry.shard_bytes:
            state = "ok"
        elif st.st_size < geometry.shard_bytes:
            state = "short"
        else:
            state = "long"
        yield i, path, st.st_size, state
