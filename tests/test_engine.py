"""The engine API: larkspur.Table (gather, lookup, statistics, closing) and
larkspur.rowids, checked against Store.fetch and the list-based row ids."""

import array
import errno
import json
import os
import random
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_store import Table as Files

import _larkspur
import larkspur
from conftest import Index, under_asan
from larkspur import Table

WIDTH, RPS = 64, 300
PLE_SHARDS, PLE_RPS = 128, 2_500_012


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Three shards of 300 rows of 64 bytes, the last one short."""
    return Files(tmp_path_factory.mktemp("engine"), [64 * 300, 64 * 300, 64 * 200 + 17])


@pytest.fixture(scope="module")
def table(files):
    with Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH) as t:
        yield t


@pytest.fixture(scope="module")
def ple(tmp_path_factory):
    """The n-gram layout's geometry over sparse files: rows past a file's
    few written pages are zeros, the written ones random."""
    d = tmp_path_factory.mktemp("ple")
    rng = random.Random(5)
    for i in range(PLE_SHARDS):
        with open(d / f"shard_{i}.bin", "wb") as f:
            for _ in range(8):
                f.seek(rng.randrange(PLE_RPS * 8 // 4096) * 4096)
                f.write(rng.randbytes(4096))
    (d / "larkspur-table.json").write_text(json.dumps(
        {"version": 1, "shards": PLE_SHARDS, "rows_per_shard": PLE_RPS, "width": 8}))
    return str(d), _larkspur.Store(str(d), PLE_SHARDS, PLE_RPS, 8)


# --- opening -------------------------------------------------------------------


def test_geometry_from_metadata_or_keywords(files, tmp_path):
    meta = os.path.join(files.dir, "larkspur-table.json")
    with open(meta, "w") as f:
        json.dump({"version": 1, "shards": 3, "rows_per_shard": RPS, "width": WIDTH,
                   "source": "x"}, f)
    try:
        t = Table(files.dir)
        assert (t.shards, t.rows_per_shard, t.width, t.total_rows, t.path) == (
            3, RPS, WIDTH, 900, files.dir)
        assert Table(files.dir, width=WIDTH).width == WIDTH
        with pytest.raises(ValueError, match=r"width=32 was given, but .* says 64"):
            Table(files.dir, width=32)
    finally:
        os.unlink(meta)
    with pytest.raises(ValueError, match=r"rows_per_shard of the table .* is unknown"):
        Table(files.dir, shards=3, width=WIDTH)


@pytest.mark.parametrize("text, message", [
    ("[1, 2]", "not a JSON object"),
    ('{"shards": "3"}', '"shards" is not a positive integer'),
    ('{"width": 0}', '"width" is not a positive integer'),
    ('{"version": 2}', "unknown version"),
    ("{", "not valid JSON"),
])
def test_unusable_metadata(tmp_path, text, message):
    (tmp_path / "larkspur-table.json").write_text(text)
    (tmp_path / "shard_0.bin").write_bytes(bytes(64))
    with pytest.raises(ValueError, match=message):
        Table(str(tmp_path))
    # All three given: the file only checks, and an unusable one is ignored.
    assert Table(str(tmp_path), shards=1, rows_per_shard=1, width=64).total_rows == 1


def test_open_errors_are_those_of_store(tmp_path):
    with pytest.raises(OSError, match=r"No such file or directory \(os error 2\)"):
        Table(str(tmp_path), shards=1, rows_per_shard=1, width=8)
    with pytest.raises(TypeError):
        Table(str(tmp_path), shards="1", rows_per_shard=1, width=8)
    with pytest.raises(TypeError):
        Table(str(tmp_path), 1, 1, 8)  # the geometry is keyword-only


# --- gather ----------------------------------------------------------------------


class DLPackOnly:
    """An array reachable only through the DLPack protocol."""

    def __init__(self, arr):
        self.arr = arr

    def __dlpack__(self, **kw):
        return self.arr.__dlpack__(**kw)

    def __dlpack_device__(self):
        return self.arr.__dlpack_device__()


KINDS = {
    "list": lambda ids: ids,
    "tuple": tuple,
    "uint64": lambda ids: np.array(ids, dtype=np.uint64),
    "int64": lambda ids: np.array(ids, dtype=np.int64),
    "uint16": lambda ids: np.array(ids, dtype=np.uint16),
    "strided": lambda ids: np.repeat(np.array(ids, dtype=np.int32), 2)[::2],
    "2-D": lambda ids: np.array(ids + ids[:len(ids) % 2], dtype=np.uint64).reshape(-1, 1),
    "array": lambda ids: array.array("Q", ids),
    "memoryview": lambda ids: memoryview(array.array("I", ids)),
    "dlpack": lambda ids: DLPackOnly(np.array(ids, dtype=np.uint64)),
}


@settings(max_examples=40, deadline=None)
@given(ids=st.lists(st.integers(0, 899), max_size=70), kind=st.sampled_from(sorted(KINDS)))
def test_gather_equals_store_fetch(table, files, ids, kind):
    obj = KINDS[kind](ids)
    if kind == "2-D":
        ids = ids + ids[:len(ids) % 2]
    want = files.model(ids, RPS, WIDTH)
    got = table.gather(obj)
    assert got.dtype == np.uint8 and got.shape == (len(ids), WIDTH)
    assert got.tobytes() == want == files.store(RPS, WIDTH).fetch(ids)
    out = bytearray(len(want))
    assert table.gather(obj, out=out) is out and bytes(out) == want


def test_gather_with_torch(table, files):
    torch = pytest.importorskip("torch")
    ids = [5, 899, 5, 300]
    out = torch.empty((4, WIDTH), dtype=torch.uint8)
    table.gather(torch.tensor(ids), out=out.numpy())
    assert bytes(out.numpy()) == files.model(ids, RPS, WIDTH)


@pytest.mark.parametrize("out", [
    np.zeros((2, 64), np.uint8), np.zeros(16, np.float64), np.zeros((4, 2, 8), np.int16),
    bytearray(128), memoryview(bytearray(256))[:128]])
def test_out_of_any_shape_and_dtype_with_the_right_size(table, files, out):
    assert table.gather([1, 899], out=out) is out
    assert bytes(memoryview(out).cast("B")) == files.model([1, 899], RPS, WIDTH)


@pytest.mark.parametrize("rowids, out, exc, message", [
    ([1, 2], bytearray(127), ValueError, "out has 127 bytes, 128 are needed"),
    ([1], b"x" * 64, ValueError, "out is read-only"),
    ([1], np.zeros((64, 2), np.uint8)[:, 0], ValueError, "out must be C-contiguous"),
    ([1], [0] * 64, TypeError, "out must be a writable buffer"),
    (np.array([1.0]), None, TypeError, "rowids must be integers, not float64"),
    (["1"], None, TypeError, "rowids must be integers, not str"),
    ("12", None, TypeError, "rowids must be an integer array or a sequence of ints, not str"),
    ([-1], None, OverflowError, r"rowids must not be negative \(found -1\)"),
    (np.array([3, -2]), None, OverflowError, "must not be negative"),
    ([900], None, IndexError, "row id 900 is out of range for a table of 900 rows"),
    (np.zeros(1, np.complex128), None, TypeError, "rowids must be integers, not complex"),
    # What an element's __index__ raises, other than TypeError, goes on as it is.
    ([1, Index(ZeroDivisionError("boom"))], None, ZeroDivisionError, "boom"),
    ([Index(MemoryError())], None, MemoryError, "^$"),
    ([Index("1")], None, TypeError, "rowids must be integers, not Index"),
    # A length no vector can hold.
    (range(2**64 - 1, 2**64 + 2**62), None, MemoryError, "^$"),
])
def test_bad_arguments_fail_before_any_read(table, rowids, out, exc, message):
    before = table.stats()["bytes_read"]
    with pytest.raises(exc, match=message):
        table.gather(rowids, out=out)
    assert table.stats()["bytes_read"] == before


@pytest.mark.parametrize("out", [None, bytearray(64)])
def test_results_larger_than_any_buffer_are_memory_errors(files, out):
    with Table(files.dir, shards=3, rows_per_shard=RPS, width=2**62) as t:
        with pytest.raises(MemoryError):
            t.gather([0, 1, 2, 3], out=out)


def test_read_errors_are_os_errors(tmp_path):
    os.mkdir(tmp_path / "shard_0.bin")
    with pytest.raises(OSError, match=r"Is a directory \(os error 21\)"):
        Table(str(tmp_path), shards=1, rows_per_shard=1, width=8)


# --- row ids and lookup ------------------------------------------------------------

TOKENS = st.lists(st.integers(0, 2**32 - 1) | st.sampled_from([248044, 0, 1]), max_size=40)


@settings(max_examples=60, deadline=None)
@given(tokens=TOKENS, history=TOKENS)
def test_rowids_equal_the_list_based_ids(tokens, history):
    want = _larkspur.rowids_for_seq_with_history(history, tokens, 1)
    got = larkspur.rowids(np.array(tokens, dtype=np.uint32), history=history)
    assert got.dtype == np.uint64 and got.shape == (len(tokens), 16)
    assert got.tolist() == want
    out = np.empty((len(tokens), 16), np.int64)
    assert larkspur.rowids(tokens, history, out=out) is out and out.tolist() == want


def test_batched_rowids_are_per_sequence():
    tokens = np.array([[151644, 872, 198], [9707, 11, 1879]], dtype=np.int64)
    history = np.array([[1, 2, 3], [4, 5, 6]])
    got = larkspur.rowids(tokens, history)
    assert got.shape == (2, 3, 16)
    for b in range(2):
        want = _larkspur.rowids_for_seq_with_history(history[b].tolist(), tokens[b].tolist(), 1)
        assert got[b].tolist() == want
    assert larkspur.rowids(tokens).tolist() == [
        _larkspur.rowids_for_seq(row.tolist(), 1) for row in tokens]


@pytest.mark.parametrize("inside", ["tokens", "history"])
def test_rowids_into_an_out_that_holds_an_argument(inside):
    # The argument is a view of out's first words: read before any id
    # overwrites it.
    tokens = np.array([[5, 6], [7, 8]], np.uint64)
    history = np.array([[3, 4], [1, 2]], np.uint64)
    want = larkspur.rowids(tokens, history).tolist()
    out = np.zeros((2, 2, 16), np.uint64)
    view = out.ravel()[:4].reshape(2, 2)
    view[:] = tokens if inside == "tokens" else history
    args = (view, history) if inside == "tokens" else (tokens, view)
    assert larkspur.rowids(*args, out=out) is out and out.tolist() == want


@pytest.mark.parametrize("tokens, kw, exc, message", [
    (np.zeros((1, 1, 1), np.int64), {}, ValueError, "tokens must be 1-D .* not 3-D"),
    ([2**32], {}, OverflowError, "tokens must be at most 4294967295"),
    ([1.5], {}, TypeError, "tokens must be integers, not float"),
    (np.zeros((2, 3), np.int64), {"history": np.zeros((3, 2), np.int64)}, ValueError,
     r"history of \(B, T\) tokens must be \(B, K\) with B = 2"),
    ([1, 2], {"history": np.ones((1, 1), np.int64)}, ValueError,
     r"history of \(T,\) tokens must be 1-D"),
    ([1, 2], {"out": np.zeros((2, 16), np.float64)}, TypeError, "64-bit integers"),
    ([1, 2], {"out": np.zeros((2, 15), np.uint64)}, ValueError, "out has 240 bytes, 256"),
])
def test_rowids_bad_arguments(tokens, kw, exc, message):
    with pytest.raises(exc, match=message):
        larkspur.rowids(tokens, **kw)


@settings(max_examples=25, deadline=None)
@given(tokens=st.lists(st.lists(st.integers(0, 300_000), min_size=3, max_size=3),
                       min_size=1, max_size=4),
       history=st.lists(st.integers(0, 300_000), min_size=2, max_size=2))
def test_lookup_equals_rowids_then_store_fetch(ple, tokens, history):
    path, store = ple
    with Table(path) as t:
        batch = np.array(tokens, dtype=np.uint32)
        hist = np.array([history] * len(tokens), dtype=np.uint32)
        got = t.lookup(batch, hist)
        assert got.shape == (len(tokens), 3, 16, 8)
        ids = larkspur.rowids(batch, hist)
        assert got.tobytes() == t.gather(ids.ravel()).tobytes() == store.fetch(ids.ravel())
        one = np.empty((3, 16, 8), np.uint8)
        t.lookup(tokens[0], history, out=one)
        assert one.tobytes() == got[0].tobytes()


# --- threads, closing, statistics ------------------------------------------------------


@pytest.mark.parametrize("cache_bytes", [0, "12KiB"])
def test_eight_threads_on_one_table(table, files, cache_bytes):
    bad = []
    t = table if not cache_bytes else Table(files.dir, shards=3, rows_per_shard=RPS,
                                            width=WIDTH, cache_bytes=cache_bytes)
    store = files.store(RPS, WIDTH)

    def worker(seed):
        rng = random.Random(seed)
        out = np.empty((64, WIDTH), np.uint8)
        for _ in range(100):
            # With a cache: a hot fifth of the rows, half the requests.
            ids = [rng.randrange(180 if cache_bytes and k % 2 else 900) for k in range(64)]
            want = store.fetch(ids) if cache_bytes else files.model(ids, RPS, WIDTH)
            if t.gather(ids, out=out).tobytes() != want:
                bad.append(seed)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert bad == []
    if cache_bytes:
        c = t.stats()["cache"]
        # The cache holds a fraction of the rows: every row served through
        # hits, shared reads and evictions.
        assert c["rows_held"] == c["capacity_rows"] < 180
        assert c["hits"] + c["misses"] == 8 * 100 * 64 and c["hits"] > 0 and c["evictions"] > 0
        assert c["admissions"] - c["evictions"] == c["rows_held"]
        t.close()


def test_close_while_other_threads_call(files, fd_count):
    before = fd_count()
    t = Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH)
    # The shards, and with a ring its descriptor and its wake-up eventfd.
    assert fd_count() == before + 3 + (2 if t.backend == "io_uring" else 0)
    outcomes, stop = [], threading.Event()

    def worker(seed):
        rng = random.Random(seed)
        while not stop.is_set():
            ids = [rng.randrange(900) for _ in range(rng.randrange(1, 2000))]
            try:
                right = t.gather(ids).tobytes() == files.model(ids, RPS, WIDTH)
                outcomes.append("right" if right else "WRONG")
            except ValueError as e:
                outcomes.append(str(e))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    for th in threads:
        th.start()
    while len(outcomes) < 30:
        threading.Event().wait(0.001)
    t.close()
    t.close()
    stop.set()
    for th in threads:
        th.join()
    assert set(outcomes) <= {"right", "the Table is closed"} and "right" in outcomes
    assert fd_count() == before
    with pytest.raises(ValueError, match="the Table is closed"):
        t.lookup([1])


def test_statistics(files):
    with Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH) as t:
        t.gather([7, 7, 8, 600])  # rows 7 and 8 share a page
        with pytest.raises(IndexError):
            t.gather([900])
        s = t.stats()
        assert {k: s[k] for k in ("calls", "rows_requested", "unique_rows", "errors")} == {
            "calls": 2, "rows_requested": 5, "unique_rows": 3, "errors": 1}
        assert s["rows_inline"] + s["rows_by_workers"] == 3
        assert s["bytes_read"] >= 3 * WIDTH and s["read_calls"] >= 2
        assert s["latency"]["gather"]["calls"] == 2 and s["latency"]["lookup"]["calls"] == 0
        lat = s["latency"]["gather"]
        assert 0 < lat["p50_us"] <= lat["p90_us"] <= lat["p99_us"] <= lat["max_us"]
        assert t.stats(reset=True)["calls"] == 2
        assert t.stats()["calls"] == 0 and t.stats()["latency"]["gather"]["max_us"] == 0


# --- the row cache ------------------------------------------------------------------


@pytest.mark.parametrize(("given", "exc", "message"), [
    ("4Gi", ValueError, 'cache_bytes must be a number of bytes, such as 1073741824 or "1GiB" '
     r'\(units B, kB, MB, GB, TB, KiB, MiB, GiB, TiB\): got "4Gi"'),
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (1.5, TypeError, "argument 'cache_bytes'"),
    (100, ValueError, "cache_bytes=100 is too small to hold one row of 64 bytes"),
    ("64 b", ValueError, "cache_bytes=64 is too small"),
])
def test_cache_budget_errors(files, given, exc, message):
    with pytest.raises(exc, match=message):
        Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH, cache_bytes=given)


@pytest.mark.parametrize(("given", "budget"), [(None, 0), (0, 0), ("1MiB", 1 << 20),
                                               (" 2 kB", 2000), (Index(5000), 5000)])
def test_cache_budget_forms(files, given, budget):
    with Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH, cache_bytes=given) as t:
        assert t.cache_bytes == budget == t.stats()["cache"]["budget_bytes"]
        # Bookkeeping costs rows: a lot of a tiny budget, little of a large one.
        held = t.stats()["cache"]["capacity_rows"] * WIDTH
        assert (0.6 if budget >= 1 << 20 else 0.3) * budget <= held <= budget


@pytest.mark.parametrize("submit", [False, True])
def test_cached_rows_into_an_out_that_holds_the_ids(files, submit):
    with Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH, cache_bytes="64KiB") as t:
        ids = [(i * 37) % 900 for i in range(40)]
        t.gather(ids[::2])  # half of them held
        buf = np.zeros(len(ids) * WIDTH, np.uint8)
        # The ids sit one row into the output: rows written early overwrite
        # ids not yet looked up.
        view = buf[WIDTH:WIDTH + 8 * len(ids)].view(np.uint64)
        view[:] = ids
        got = t.submit(rowids=view, out=buf).result() if submit else t.gather(view, out=buf)
        assert got.tobytes() == files.model(ids, RPS, WIDTH)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_cache_memory_stays_within_its_budget_under_churn(tmp_path):
    # Sparse shards: 600,000 rows of 160 bytes, read from holes.
    width, rps, budget = 160, 300_000, 24 << 20
    for i in range(2):
        with open(tmp_path / f"shard_{i}.bin", "wb") as f:
            f.truncate(rps * width)
            f.seek(rps * width // 2)
            f.write(b"\x5a" * width)
    rng = np.random.default_rng(3)
    out = np.empty((4096, width), np.uint8)
    ids = rng.integers(0, 2 * rps, 4096)
    with Table(str(tmp_path), shards=2, rows_per_shard=rps, width=width,
               cache_bytes=budget) as t:
        t.gather(ids, out=out)  # the call's own memory, before measuring
        before = resident_bytes()
        capacity = t.stats()["cache"]["capacity_rows"]
        while t.stats()["cache"]["evictions"] < 2 * capacity:
            t.gather(rng.integers(0, 2 * rps, 4096), out=out)
        grown = resident_bytes() - before
        c = t.stats()["cache"]
        assert c["rows_held"] == capacity and c["bytes_held"] == capacity * width
        assert capacity * width >= 0.75 * budget
        # The address sanitizer's shadow and quarantine grow with every call.
        assert grown <= budget * 1.05 or under_asan(), (grown, budget)
        half = (rps + rps // 2) * width // width  # the one written row
        assert t.gather([half])[0].tobytes() == b"\x5a" * width


@pytest.mark.parametrize("cache_bytes", [0, "64KiB"])
@pytest.mark.parametrize("how", ["in place", "renamed"])
def test_refresh_reads_the_files_as_they_are_now(tmp_path, how, cache_bytes):
    f = Files(tmp_path, [64 * 300] * 3)
    with Table(f.dir, shards=3, rows_per_shard=RPS, width=WIDTH, cache_bytes=cache_bytes) as t:
        ids = list(range(0, 900, 3))
        assert t.gather(ids).tobytes() == f.model(ids, RPS, WIDTH)
        assert t.refresh() is False
        path = os.path.join(f.dir, "shard_1.bin")
        new = bytes(range(64))
        data = f.data[1][:3 * 64] + new + f.data[1][4 * 64:]
        evict(f)
        pending = t.submit(rowids=ids)  # reading the old files, perhaps still
        if how == "renamed":  # a new file published at the shard's name
            with open(path + ".new", "wb") as out:
                out.write(data)
            os.rename(path + ".new", path)
        else:
            st = os.stat(path)
            with open(path, "r+b") as out:
                out.seek(3 * 64)
                out.write(new)
            # The same size and modification time: the change time still tells.
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        if how == "renamed" or cache_bytes:
            # Until refreshed: the rows of the files as opened.
            assert t.gather([RPS + 3])[0].tobytes() != new
        assert t.refresh() is True
        if how == "renamed":
            assert pending.result().tobytes() == f.model(ids, RPS, WIDTH)
        f.data[1] = data
        assert t.stats()["cache"]["rows_held"] == 0
        assert t.gather(ids).tobytes() == f.model(ids, RPS, WIDTH)
        assert t.gather([RPS + 3])[0].tobytes() == new
        assert t.refresh() is False
        # A table republished with another geometry needs a new Table.
        with open(os.path.join(f.dir, "larkspur-table.json"), "w") as out:
            json.dump({"version": 1, "shards": 3, "rows_per_shard": RPS, "width": 32}, out)
        with pytest.raises(ValueError, match="now has another geometry: open a new Table"):
            t.refresh()
        assert t.gather(ids).tobytes() == f.model(ids, RPS, WIDTH)
    with pytest.raises(ValueError, match="the Table is closed"):
        t.refresh()


def test_cache_counts_by_order(ple):
    path, store = ple
    tokens = np.array([[5, 6, 7, 5, 6, 7]], np.uint32)
    with Table(path, cache_bytes="1MiB") as t:
        first = t.lookup(tokens)
        c = t.stats(reset=True)["cache"]
        # A row the call asks for again (5, 6 repeat as a bigram) is read
        # once: a miss, then hits.
        ids = larkspur.rowids(tokens).ravel()
        assert c["misses"] == len(np.unique(ids)) < 6 * 16
        assert c["hits"] + c["misses"] == 6 * 16
        assert t.lookup(tokens).tobytes() == first.tobytes() == store.fetch(ids)
        c = t.stats()["cache"]
        assert c["hits"] == 6 * 16 and c["misses"] == 0
        assert c["hit_rate"] == c["hit_rate_heads_0_7"] == c["hit_rate_heads_8_15"] == 1.0
        t.gather(ids[:5])  # by row id: no order
        c = t.stats()["cache"]
        assert c["hits"] == 6 * 16 + 5 and c["hit_rate_heads_0_7"] == 1.0


def test_cached_rows_are_served_by_the_calling_thread(table):
    table.gather(list(range(900)))  # now in the page cache
    table.stats(reset=True)
    for _ in range(20):
        table.gather(random.sample(range(900), 16))
    s = table.stats()
    assert s["rows_by_workers"] == 0 and s["rows_inline"] == s["unique_rows"]


# --- submitted lookups -------------------------------------------------------------


def evict(files):
    for i in range(3):
        fd = os.open(os.path.join(files.dir, f"shard_{i}.bin"), os.O_RDONLY)
        try:
            os.fdatasync(fd)  # dirty pages stay in the cache
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


@pytest.mark.parametrize("cache_bytes", [0, "16KiB"])
@pytest.mark.parametrize("queue_depth", [None, 0, 4])
@pytest.mark.parametrize("cold", [False, True])
def test_submitted_lookup_equals_gather(files, queue_depth, cold, cache_bytes):
    import selectors
    with Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH,
               queue_depth=queue_depth, cache_bytes=cache_bytes) as t:
        if cache_bytes:  # some of the rows come from the cache
            t.gather(list(range(0, 900, 7)))
        assert t.backend == ("threads" if queue_depth == 0 else "io_uring")
        assert t.direct is False
        rng = random.Random(queue_depth or 1)
        ids = [rng.randrange(900) for _ in range(700)]
        if cold:
            evict(files)
        out = bytearray(len(ids) * WIDTH)
        lk = t.submit(rowids=ids, out=out)
        assert lk.wait(None if cold else 0) is True or cold
        with selectors.DefaultSelector() as sel:
            sel.register(lk.fileno(), selectors.EVENT_READ)
            assert sel.select(30)
        assert lk.done() and lk.exception() is None
        assert lk.result() is out and bytes(out) == files.model(ids, RPS, WIDTH)
        assert not lk.cancel()  # already done
        new = t.submit(rowids=np.array(ids[:5], dtype=np.uint64)).result()
        assert new.shape == (5, WIDTH) and new.tobytes() == files.model(ids[:5], RPS, WIDTH)


def test_lookups_awaited_together(table, files):
    import asyncio
    rng = random.Random(3)
    sets = [[rng.randrange(900) for _ in range(rng.randrange(1, 300))] for _ in range(30)]

    async def main():
        # `await` itself, and gather's wrapping of an awaitable.
        first = await table.submit(rowids=sets[0])
        return [first, *await asyncio.gather(*[table.submit(rowids=s) for s in sets[1:]])]

    for got, ids in zip(asyncio.run(main()), sets):
        assert got.tobytes() == files.model(ids, RPS, WIDTH)


def test_cancelled_or_dropped_lookups_end_cleanly(files, fd_count):
    before = fd_count()
    t = Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH, queue_depth=2)
    ids = list(range(0, 900, 3)) * 3
    evict(files)
    lk = t.submit(rowids=ids)
    running = lk.cancel()
    err = lk.exception()
    assert err is None or (running and isinstance(err, OSError) and "os error 125" in str(err))
    if err is not None:
        with pytest.raises(OSError, match="os error 125"):
            lk.result()
    evict(files)
    t.submit(rowids=ids, out=bytearray(len(ids) * WIDTH))  # dropped at once: waits
    pending = t.submit(rowids=ids)
    t.close()  # the files stay open for the lookup still in flight
    with pytest.raises(ValueError, match="the Table is closed"):
        t.submit(rowids=[1])
    assert pending.result().tobytes() == files.model(ids, RPS, WIDTH)
    del pending, lk
    assert fd_count() == before


@pytest.mark.parametrize("kwargs, exc, message", [
    ({}, ValueError, "give tokens or rowids"),
    ({"tokens": [1], "rowids": [1]}, ValueError, "give tokens or rowids"),
    ({"rowids": [1], "history": [2]}, ValueError, "history= goes with tokens"),
    ({"rowids": [900]}, IndexError, "row id 900 is out of range"),
    ({"rowids": [1], "out": bytes(WIDTH)}, (TypeError, ValueError), "out"),
])
def test_submit_bad_arguments(table, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        table.submit(**kwargs)


def test_lookup_objects_come_from_submit():
    with pytest.raises(TypeError, match=r"made by Table.submit\(\)"):
        larkspur.Lookup()


def test_prefetch_warms_the_page_cache_within_its_budget(files):
    import time

    def cached(ids):
        """Whether every row's bytes read without waiting for the device."""
        fds = [os.open(os.path.join(files.dir, f"shard_{i}.bin"), os.O_RDONLY)
               for i in range(3)]
        try:
            for r in ids:
                try:
                    os.preadv(fds[r // RPS], [bytearray(1)], r % RPS * WIDTH,
                              os.RWF_NOWAIT)
                except BlockingIOError:
                    return False
            return True
        finally:
            for fd in fds:
                os.close(fd)

    ids = list(range(0, 900, 2))
    with Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH) as t:
        evict(files)
        if cached(ids):
            pytest.skip("the page cache keeps these files (tmpfs?)")
        assert t.prefetch(rowids=ids) == len(ids)
        assert t.prefetch(rowids=list(range(900)) * 80) == 0  # over the budget
        deadline = time.monotonic() + 30
        while not cached(ids) and time.monotonic() < deadline:
            time.sleep(0.005)
        assert cached(ids)
        with pytest.raises(IndexError):
            t.prefetch(rowids=[900])
    for kwargs in ({"queue_depth": 0}, {"direct": True}):
        try:
            t = Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH, **kwargs)
        except OSError:  # no O_DIRECT on this file system
            continue
        with t:
            assert t.prefetch(rowids=ids) == 0


@pytest.mark.parametrize("direct, chosen", [
    ("auto", False), (False, False), (None, False), (True, True)])
def test_direct_reads_as_asked(files, direct, chosen):
    # These files are far smaller than any machine's memory: "auto" buffers.
    try:
        t = Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH, direct=direct)
    except OSError as e:
        if direct is True and e.errno == errno.EINVAL:
            pytest.skip("no O_DIRECT on this file system")
        raise
    with t:
        assert t.direct is chosen
        # A small request (on the calling thread's ring when direct), rows
        # past the short last shard's end among them, and a larger one.
        for ids in ([1, 299, 300, 899, 5, 5], list(range(900)) * 2):
            assert t.gather(ids).tobytes() == files.model(ids, RPS, WIDTH)
    with pytest.raises(ValueError, match='direct must be False, True or "auto"'):
        Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH, direct="yes")
    with pytest.raises(ValueError, match="direct reads need a queue depth"):
        Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH, direct=True,
              queue_depth=0)


def in_fork(fn, timeout=20):
    """fn() in a forked child: its JSON value, or "hang" (the child killed)."""
    import signal
    import time
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(r)
            os.write(w, json.dumps(fn()).encode())
        finally:
            os._exit(0)
    os.close(w)
    deadline = time.monotonic() + timeout
    while os.waitpid(pid, os.WNOHANG)[0] == 0:
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(r)
            return "hang"
        time.sleep(0.005)
    with os.fdopen(r, "rb") as f:
        return json.loads(f.read() or b"null")


# The address sanitizer's allocator does not hold its locks across fork().
@pytest.mark.skipif(under_asan(), reason="the address sanitizer's allocator is not fork-safe")
@pytest.mark.parametrize(("direct", "cache_bytes"), [(False, 0), (True, 0), (False, "32KiB")])
def test_forked_child_reads_on_an_engine_of_its_own(files, direct, cache_bytes):
    import selectors
    ids = list(range(0, 900, 2)) * 2
    want = files.model(ids, RPS, WIDTH)
    with Table(files.dir, shards=3, rows_per_shard=RPS, width=WIDTH, queue_depth=4,
               direct=direct, cache_bytes=cache_bytes) as t:
        evict(files)
        lk = t.submit(rowids=ids)  # most likely still reading at the fork

        def child():
            # The parent's lookup ends here at once: finished before the
            # fork, or cancelled (its reads land in the parent alone).
            with selectors.DefaultSelector() as sel:
                sel.register(lk.fileno(), selectors.EVENT_READ)
                readable = bool(sel.select(0))
            err = lk.exception()
            inherited = (lk.done() and readable and
                         (err is None and lk.result().tobytes() == want or
                          isinstance(err, OSError) and "os error 125" in str(err)))
            evict(files)
            fresh = t.submit(rowids=ids).result().tobytes() == want
            return [t.backend, t.direct, inherited, fresh, t.gather(ids).tobytes() == want]

        assert in_fork(child) == ["io_uring", direct, True, True, True]
        assert lk.result().tobytes() == want
        assert t.backend == "io_uring" and t.submit(rowids=ids).result().tobytes() == want
