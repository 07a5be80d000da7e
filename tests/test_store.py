"""Store: opening shard files, fetching rows, and the failures of both."""

import os
import random
import socket
import threading
import time

import pytest

import _larkspur
from _larkspur import Store
from conftest import Index

InternalFault = _larkspur.InternalFault


def content(shard, size):
    """Deterministic bytes of one shard file, not periodic in 4096."""
    rng = random.Random(shard * 1_000_003 + size)
    return rng.randbytes(size)


class Table:
    """Shard files in a directory, and the model of what fetch returns."""

    def __init__(self, path, sizes, name="shard_{}.bin"):
        self.dir = str(path)
        self.sizes = list(sizes)
        self.data = []
        for i, size in enumerate(self.sizes):
            data = content(i, size)
            self.data.append(data)
            with open(os.path.join(self.dir, name.format(i)), "wb") as f:
                f.write(data)

    def store(self, rows_per_shard, width, **kw):
        return Store(self.dir, len(self.sizes), rows_per_shard, width, **kw)

    def model(self, rowids, rows_per_shard, width):
        out = bytearray()
        for r in rowids:
            shard, local = divmod(r, rows_per_shard)
            row = self.data[shard][local * width:(local + 1) * width]
            out += row + bytes(width - len(row))
        return bytes(out)


@pytest.fixture
def table(tmp_path):
    return Table(tmp_path, [64 * 300] * 3)


# ---------------------------------------------------------------- surface

def test_class_surface():
    assert Store.__text_signature__ == "(dir, shards, rows_per_shard, width, threads=...)"
    assert Store.__doc__ == ""
    members = [k for k in vars(Store) if not k.startswith("__")]
    assert members == ["fetch", "fetch_one", "close", "width", "total_rows"]
    assert Store.fetch.__text_signature__ == "($self, rowids)"
    assert Store.fetch_one.__text_signature__ == "($self, rowid)"
    assert Store.fetch.__doc__ is None
    assert Store.close.__doc__ == (
        "Compatibility no-op for the ctypes API (resources are dropped with the object).")
    assert Store.width.__doc__ == "" and Store.total_rows.__doc__ == ""
    with pytest.raises(TypeError):
        class Sub(Store):  # noqa: F841
            pass


def test_getters_are_read_only(table):
    s = table.store(300, 64)
    with pytest.raises(AttributeError):
        s.width = 3
    with pytest.raises(AttributeError):
        s.total_rows = 3


# ------------------------------------------------------------------- open

def test_fallback_and_preferred_names(tmp_path):
    Table(tmp_path, [64, 64], name="badge_{}.bin")
    (tmp_path / "shard_1.bin").write_bytes(b"S" * 64)
    s = Store(str(tmp_path), 2, 1, 64)
    assert s.fetch([0, 1]) == content(0, 64) + b"S" * 64


def test_dangling_symlink_counts_as_missing(tmp_path):
    os.symlink(tmp_path / "nowhere", tmp_path / "shard_0.bin")
    (tmp_path / "badge_0.bin").write_bytes(b"B" * 8)
    assert Store(str(tmp_path), 1, 1, 8).fetch_one(0) == b"B" * 8


def test_preferred_path_that_cannot_be_opened_is_the_error(tmp_path):
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(tmp_path / "shard_0.bin"))
    (tmp_path / "badge_0.bin").write_bytes(b"B" * 8)
    with pytest.raises(OSError) as e:
        Store(str(tmp_path), 1, 1, 8)
    sock.close()
    assert type(e.value) is OSError
    assert e.value.args == ("No such device or address (os error 6)",)


@pytest.mark.parametrize("suffix", ["", "/"])
def test_dir_with_or_without_trailing_slash(table, suffix):
    s = Store(table.dir + suffix, 3, 300, 64)
    assert s.fetch([5]) == table.model([5], 300, 64)


def test_empty_dir_is_the_working_directory(table, monkeypatch):
    monkeypatch.chdir(table.dir)
    assert Store("", 3, 300, 64).fetch([301]) == table.model([301], 300, 64)


# Binding and conversion failures: test_binding.py.
@pytest.mark.parametrize("args, exc, message", [
    (("{missing}", 1, 1, 1), OSError, "No such file or directory (os error 2)"),
    (("{dir}\0x", 1, 1, 1), OSError, "file name contained an unexpected NUL byte"),
])
def test_construction_failures(table, args, exc, message):
    args = tuple(a.format(dir=table.dir, missing=table.dir + "/nope") if isinstance(a, str) else a
                 for a in args)
    with pytest.raises(exc) as e:
        Store(*args)
    assert type(e.value) is exc
    assert e.value.args == (message,)


def test_keywords_and_defaults(table):
    s = Store(dir=table.dir, width=64, rows_per_shard=300, shards=3, threads=0)
    assert s.fetch([1, 601]) == table.model([1, 601], 300, 64)


def test_missing_later_shard_closes_the_earlier_ones(tmp_path):
    Table(tmp_path, [64, 64])
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(200):
        with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
            Store(str(tmp_path), 3, 1, 64)
    assert len(os.listdir("/proc/self/fd")) == before


def test_unreservable_table_fails_cleanly_before_opening(tmp_path):
    with pytest.raises(MemoryError):
        Store(str(tmp_path / "missing"), 2**62, 1, 1)


def test_ten_thousand_stores_leave_no_descriptor_behind(table):
    before = len(os.listdir("/proc/self/fd"))
    for i in range(10_000):
        s = table.store(300, 64)
        if i % 1000 == 0:
            assert s.fetch_one(i % 900) == table.model([i % 900], 300, 64)
        del s
    assert len(os.listdir("/proc/self/fd")) == before


@pytest.mark.parametrize("shards, rows_per_shard", [
    (0, 2**64 - 1), (3, 5), (2, 2**63), (2, 2**64 - 1), (1, 2**64 - 1)])
def test_total_rows_is_the_exact_product(tmp_path, shards, rows_per_shard):
    Table(tmp_path, [0] * shards)
    s = Store(str(tmp_path), shards, rows_per_shard, 7)
    assert s.total_rows == shards * rows_per_shard
    assert s.width == 7


def test_zero_shards_never_touch_the_directory(tmp_path):
    s = Store(str(tmp_path / "missing"), 0, 10, 10)
    assert s.total_rows == 0
    assert s.fetch([]) == b""


def test_close_changes_nothing(table):
    s = table.store(300, 64)
    assert s.close() is None
    assert s.close() is None
    assert s.fetch([7]) == table.model([7], 300, 64)


# ------------------------------------------------------------------ fetch

@pytest.mark.parametrize("threads", [0, 1, 2, 32, 2**64 - 1])
@pytest.mark.parametrize("width, rows_per_shard, sizes", [
    (64, 300, [64 * 300] * 3),
    (1, 5000, [5000] * 4),
    (100, 97, [100 * 97] * 5),
    (3000, 20, [3000 * 20] * 2),         # rows cross page ends
    (4096, 10, [4096 * 10] * 2),
    (5000, 10, [5000 * 10] * 3),         # wider than a page
    (64, 1000, [64 * 70, 0, 64 * 999]),  # short shards
    (96, 100, [96 * 50 + 40, 96 * 3]),   # a row straddles the end
])
def test_fetch_matches_the_files(tmp_path, threads, width, rows_per_shard, sizes):
    t = Table(tmp_path, sizes)
    s = t.store(rows_per_shard, width, threads=threads)
    total = rows_per_shard * len(sizes)
    rng = random.Random(width * 31 + threads % 1000)
    for _ in range(4):
        start = rng.randrange(total)
        ids = [rng.randrange(total) for _ in range(30)]
        ids += [(start + k) % total for k in range(10)]        # shared pages
        ids += [ids[0], ids[0], ids[5]]                        # repeats
        ids += [(start + 3 * k) % total for k in range(6, 0, -1)]
        rng.shuffle(ids)
        assert s.fetch(ids) == t.model(ids, rows_per_shard, width)


def test_request_order_and_repeats(table):
    s = table.store(300, 64)
    row = {r: table.model([r], 300, 64) for r in (5, 310, 899)}
    assert s.fetch([899, 5, 310, 5]) == row[899] + row[5] + row[310] + row[5]
    assert s.fetch([5, 5]) == row[5] * 2
    assert s.fetch_one(310) == s.fetch([310]) == row[310]


@pytest.mark.parametrize("make", [list, tuple, range, bytes, bytearray])
def test_any_sequence_of_ints(table, make):
    ids = make(range(0, 250, 7)) if make is not range else range(0, 250, 7)
    assert table.store(300, 64).fetch(ids) == table.model(list(range(0, 250, 7)), 300, 64)


def test_empty_request_and_zero_width(table):
    assert table.store(300, 64).fetch([]) == b""
    assert table.store(300, 0).fetch([1, 2, 899]) == b""
    assert table.store(0, 64).fetch([]) == b""


def test_index_objects_are_accepted(table):
    s = table.store(300, 64)
    assert s.fetch([Index(3), True]) == table.model([3, 1], 300, 64)
    assert s.fetch_one(Index(4)) == table.model([4], 300, 64)


# ---------------------------------------------------------------- numpy

try:
    import numpy as np
except ImportError:  # pragma: no cover
    np = None


def numpy_cases():
    if np is None:
        return []
    base = [0, 5, 201, 255, 5, 2]
    return [
        np.array(base, dtype=np.uint64),
        np.array(base, dtype=np.int64),
        np.array(base, dtype=np.int32),
        np.array(base, dtype=np.uint8),
        np.array(base + [899], dtype=np.int16).astype(">i2"),
        np.array(base * 2, dtype=np.uint64)[::2],
        np.array(base, dtype=np.uint64)[::-1],
        np.array([3, -1, 4], dtype=np.int64),
        np.array([3, 2**63], dtype=np.uint64),
        np.array([1.0, 2.0]),
        np.array([True, False]),
        np.array([[1, 2], [3, 4]], dtype=np.int64),
        np.array(7, dtype=np.int64),
        np.array([1, 2], dtype=object),
        np.array([], dtype=np.uint64),
    ]


def outcome(fn):
    try:
        return ("ok", fn())
    except BaseException as e:  # noqa: BLE001
        return (type(e), e.args)


@pytest.mark.skipif(np is None, reason="numpy not installed")
@pytest.mark.parametrize("arr", numpy_cases(), ids=lambda a: f"{a.dtype.str}-{a.ndim}d")
def test_numpy_arrays_give_what_their_elements_give(table, arr):
    # The same call with the elements one by one (numpy scalars) must give
    # the same bytes or the same error.
    s = table.store(300, 64)
    elements = list(arr) if arr.ndim else None
    got = outcome(lambda: s.fetch(arr))
    if elements is None:
        assert got[0] is TypeError
        return
    assert got == outcome(lambda: s.fetch(elements))


@pytest.mark.skipif(np is None, reason="numpy not installed")
def test_numpy_array_view_of_another_buffer(table):
    s = table.store(300, 64)
    raw = bytearray(np.array([9, 8, 301], dtype=np.uint64).tobytes())
    assert s.fetch(memoryview(raw).cast("Q")) == table.model([9, 8, 301], 300, 64)


# --------------------------------------------------------------- failures

@pytest.mark.parametrize("ids, message", [
    ([5, 900], "index out of bounds: the len is 3 but the index is 3"),
    ([2**64 - 1], "index out of bounds: the len is 3 but the index is 61489146912365172"),
])
def test_row_past_the_table_is_an_internal_fault(table, ids, message):
    s = table.store(300, 64)
    with pytest.raises(InternalFault) as e:
        s.fetch(ids)
    assert e.value.args == (message,)
    assert not isinstance(e.value, Exception)
    assert s.fetch([5]) == table.model([5], 300, 64)


def test_zero_rows_per_shard_divides_by_zero(table):
    with pytest.raises(InternalFault) as e:
        table.store(0, 64).fetch_one(0)
    assert e.value.args == ("attempt to divide by zero",)


@pytest.mark.parametrize("n, width", [(2, 2**62), (1, 2**63), (4, 2**62), (3, 2**63 - 1)])
def test_capacity_overflow_before_any_read(tmp_path, n, width):
    Table(tmp_path, [0])
    s = Store(str(tmp_path), 1, 2**64 - 1, width)
    with pytest.raises(InternalFault) as e:
        s.fetch([0] * n) if n > 1 else s.fetch_one(0)
    assert e.value.args == ("capacity overflow",)


@pytest.mark.parametrize("width", [2**62, 2**63 - 33, 2**63 - 1])
def test_output_too_large_to_allocate_is_memory_error(tmp_path, width):
    Table(tmp_path, [0])
    with pytest.raises(MemoryError):
        Store(str(tmp_path), 1, 10, width).fetch_one(0)


# local_row x width, computed exactly: a row whose byte offset is 2^63 or
# more (wrapping modulo 2^64 or not) fails the call as the kernel fails such
# an offset; rows far out but below 2^63 read as zeros past the file's end.
@pytest.mark.parametrize("rows_per_shard, width, ids, valid", [
    (2**62, 8, [2**61], False),                     # 2^64: wraps to row 0
    (2**62, 8, [2**61 + 1], False),                 # wraps to row 1
    (2**62, 8, [1, 0, 2**61, 2**61 + 1], False),    # wrapped rows of one page
    (2**62, 8, [2**60], False),                     # 2^63 exactly
    (2**62, 8, [3, 2**60 - 1], False),              # ends at 2^63
    (2**63, 3, [(2**64 + 2) // 3], False),          # wraps to byte 2
    (2**62, 8, [1, 2**59, 2], True),                # 2^62
    (2**62, 8, [2**63 // 8 - 512], True),           # the last page below 2^63
])
def test_row_offsets_from_two_to_the_63_fail(tmp_path, rows_per_shard, width, ids, valid):
    t = Table(tmp_path, [4096, 4096])
    s = t.store(rows_per_shard, width)
    other = rows_per_shard + 5  # a row of shard 1, read by another job
    for call, rows in [(lambda: s.fetch(ids), ids),
                       (lambda: s.fetch_one(ids[-1]), ids[-1:]),
                       (lambda: s.fetch([other] + ids + [other]), [other] + ids + [other])]:
        if valid:
            assert call() == t.model(rows, rows_per_shard, width)
        else:
            with pytest.raises(OSError) as e:
                call()
            assert e.value.args == ("Invalid argument (os error 22)",)
    assert s.fetch([0, 1, other]) == t.model([0, 1, other], rows_per_shard, width)


def test_rows_past_the_end_of_a_short_shard_are_zeros(tmp_path):
    t = Table(tmp_path, [64 * 70])
    s = t.store(1000, 64)
    assert s.fetch([0, 100]) == t.data[0][:64] + bytes(64)
    assert s.fetch([69, 70, 65]) == t.data[0][69 * 64:] + bytes(64) + t.data[0][65 * 64:66 * 64]


def test_directory_as_shard_fails_at_construction(tmp_path):
    Table(tmp_path, [64 * 10])
    os.mkdir(tmp_path / "shard_1.bin")
    with pytest.raises(OSError) as e:
        Store(str(tmp_path), 2, 10, 64)
    assert type(e.value) is OSError
    assert e.value.args == ("Is a directory (os error 21)",)


# ------------------------------------------------------------ concurrency

def test_eight_threads_fetch_from_one_store(tmp_path):
    t = Table(tmp_path, [256 * 2000] * 8)
    s = t.store(2000, 256)
    errors = []

    def worker(seed):
        rng = random.Random(seed)
        for _ in range(30):
            ids = [rng.randrange(16000) for _ in range(rng.randrange(1, 200))]
            if s.fetch(ids) != t.model(ids, 2000, 256):
                errors.append(seed)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []


def syscalls_of_workers():
    """The syscall numbers the pool's workers are in right now."""
    out = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if not f.read().startswith("larkspur-io-"):
                    continue
            with open(f"/proc/self/task/{tid}/syscall") as f:
                out.append(f.read().split()[0])
        except OSError:
            pass
    return out


def test_interpreter_lock_is_released_while_rows_are_read(tmp_path):
    # Another Python thread watches the pool's workers. It can run Python
    # code while a worker is inside a read (pread64 17, readahead 187,
    # preadv2 327) only if the fetching thread has let go of the
    # interpreter lock.
    t = Table(tmp_path, [4096 * 2048] * 4)
    s = t.store(2048, 4096)
    ids = random.Random(1).sample(range(4 * 2048), 6000)
    seen = []
    done = threading.Event()

    def watch():
        while not done.is_set():
            if {"17", "187", "327"} & set(syscalls_of_workers()):
                seen.append(True)
                return

    for _ in range(5):
        for i in range(4):
            fd = os.open(os.path.join(t.dir, f"shard_{i}.bin"), os.O_RDONLY)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            os.close(fd)
        done.clear()
        watcher = threading.Thread(target=watch)
        watcher.start()
        time.sleep(0.01)
        got = s.fetch(ids)
        done.set()
        watcher.join()
        assert got == t.model(ids, 2048, 4096)
        if seen:
            break
    assert seen


def test_output_of_tens_of_mebibytes(tmp_path):
    # Outputs this large are fresh memory advised for huge pages.
    t = Table(tmp_path, [3 * 2**20 + 100])
    s = t.store(4, 2**20)
    ids = [0, 1, 2, 3, 3, 2, 1, 0] * 5
    assert s.fetch(ids) == t.model(ids, 4, 2**20)
