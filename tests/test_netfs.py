"""Tables on a distributed file system: every reader against a GlusterFS
volume mounted twice (two clients, as two hosts would mount it).

The volume comes from scripts/netfs.sh, which the test command's netfs stage
runs; LARKSPUR_NETFS_A and LARKSPUR_NETFS_B name the two mounts. Without
them these tests are skipped.
"""

import errno
import os
import time

import numpy as np
import pytest

import _larkspur
import larkspur
from conftest import run_cli
from larkspur.arrays import as_rows
from larkspur.table import evict, expected_rows, shard_path

MOUNTS = {name: os.environ.get(f"LARKSPUR_NETFS_{name}") for name in "AB"}
pytestmark = [
    pytest.mark.netfs,
    pytest.mark.skipif(not all(MOUNTS.values()),
                       reason="no GlusterFS mounts (LARKSPUR_NETFS_A, LARKSPUR_NETFS_B)"),
]

SHARDS, ROWS = 8, 512
TOTAL = SHARDS * ROWS
# 160-byte rows straddle pages; 264 is a multiple of neither the sector nor 8.
WIDTHS = [160, 264]
# A fresh open on the second client may see the replaced file for the
# client's entry timeout (1 s by default) after a rename on the first.
SETTLE_SECONDS = 10

both_mounts = pytest.mark.parametrize("mount", ["A", "B"])


def make_table(directory, width, *extra):
    result = run_cli("make-table", directory, "--shards", SHARDS, "--rows-per-shard", ROWS,
                     *(["--width", width] if width else []), *extra)
    assert result.returncode == 0, result.stderr


@pytest.fixture(scope="module", params=WIDTHS, ids=lambda w: f"w{w}")
def tables(request, tmp_path_factory):
    """{"A": dir, "B": dir, "local": dir, "width": w}: one generated table
    written through mount A, the same directory seen through mount B, and
    the same table made on the local disk."""
    width = request.param
    name = f"table-{width}-{os.getpid()}"
    make_table(os.path.join(MOUNTS["A"], name), width)
    local = tmp_path_factory.mktemp(name)
    make_table(local, width)
    return {"A": os.path.join(MOUNTS["A"], name), "B": os.path.join(MOUNTS["B"], name),
            "local": str(local), "width": width}


def request_ids(seed, count):
    """`count` row ids: the first and last row of the table and of a shard,
    repeats, and random rows."""
    rng = np.random.default_rng(seed)
    edges = [0, TOTAL - 1, ROWS - 1, ROWS, 5 * ROWS + 7, 5 * ROWS + 7]
    return np.concatenate([edges, rng.integers(0, TOTAL, count - len(edges))]).astype(np.uint64)


def shard_paths(directory):
    return [shard_path(directory, i) for i in range(SHARDS)]


def test_files_written_through_one_mount_match_the_local_table(tables):
    for mount in ("A", "B"):
        for there, here in zip(shard_paths(tables[mount]), shard_paths(tables["local"])):
            with open(there, "rb") as a, open(here, "rb") as b:
                assert a.read() == b.read(), there


@both_mounts
def test_store_fetch(tables, mount):
    width, ids = tables["width"], request_ids(1, 300)
    evict(shard_paths(tables[mount]))
    store = _larkspur.Store(tables[mount], SHARDS, ROWS, width)
    want = expected_rows(ids, width)
    assert store.fetch(ids.tolist()) == want.tobytes()
    assert store.fetch_one(TOTAL - 1) == want[1].tobytes()


TABLE_OPTIONS = {
    "buffered": {},
    "direct": {"direct": True},
    "cached": {"cache_bytes": "256KiB"},
    "threads": {"queue_depth": 0},
}


@both_mounts
@pytest.mark.parametrize("options", TABLE_OPTIONS.values(), ids=TABLE_OPTIONS.keys())
def test_table_reads_every_way(tables, mount, options):
    """Cold and then warm: gathers of up to 64 rows (the calling thread's
    ring), larger ones (the pool, or the ring when direct), submitted
    lookups (the engine's ring); with a cache, the second pass is served
    partly from it."""
    width = tables["width"]
    evict(shard_paths(tables[mount]))
    with larkspur.Table(tables[mount], **options) as table:
        assert table.direct is bool(options.get("direct"))
        for attempt in range(2):
            for n in (16, 300):
                ids = request_ids(10 * n + attempt, n)
                want = expected_rows(ids, width)
                assert np.array_equal(table.gather(ids), want), (attempt, n)
                out = np.zeros((n, width), np.uint8)
                pending = table.submit(rowids=ids, out=out)
                assert pending.wait(30)
                pending.result()
                assert np.array_equal(out, want), (attempt, n, "submit")
        if "cache_bytes" in options:
            assert table.stats()["cache"]["hits"] > 0
        # Reads the ring refused on the mount would have moved to the pool
        # silently: the backend must be the one a local table gets.
        with larkspur.Table(tables["local"], **options) as local:
            assert table.backend == local.backend, table.stats().get("backend_reason")


@both_mounts
@pytest.mark.parametrize("cls", [_larkspur.PageReader, _larkspur.IoUringPageReader])
def test_page_readers(tables, mount, cls):
    paths = shard_paths(tables[mount])
    evict(paths)
    size = os.path.getsize(paths[0])
    # Aligned pages, pages at odd offsets, and the last page of each file.
    offsets = [0, 4096, 12288, 1, 4095, 5000, size - 4096, size - 1000]
    fds = [os.open(p, os.O_RDONLY) for p in paths]
    local = [os.open(p, os.O_RDONLY) for p in shard_paths(tables["local"])]
    try:
        pick = [(i, off) for i in range(SHARDS) for off in offsets]
        reader = cls()
        pages = reader.read_pages([fds[i] for i, _ in pick], [off for _, off in pick])
        assert pages == [os.pread(local[i], 4096, off) for i, off in pick]
        if cls is _larkspur.IoUringPageReader:  # no fallback to the pool for the mount alone
            local_reader = cls()
            local_reader.read_pages(local[:1], [0])
            assert reader.backend == local_reader.backend
    finally:
        for fd in fds + local:
            os.close(fd)


def test_view_reads_a_record_file_on_the_mount(tmp_path):
    slot, count = 2560, 300
    data = np.random.default_rng(5).integers(0, 256, slot * count, dtype=np.uint8).tobytes()
    name = f"records-{os.getpid()}"
    with open(os.path.join(MOUNTS["A"], name + ".bin"), "wb") as f:
        f.write(data)
    with open(os.path.join(MOUNTS["A"], name + ".manifest.json"), "w") as f:
        f.write(f'{{"slot_bytes": {slot}, "grans": {count}}}')
    indices = [0, count - 1, 7, 7, *np.random.default_rng(6).integers(0, count, 60).tolist()]
    want = b"".join(data[i * slot:(i + 1) * slot] for i in indices)
    for mount in ("A", "B"):
        view = _larkspur.View(os.path.join(MOUNTS[mount], name + ".bin"))
        assert (view.slot_bytes(), view.len()) == (slot, count)
        assert view.read_records(indices) == want, mount
        assert view.read_record(count - 1) == data[-slot:], mount
        view.close()


def test_second_host_sees_a_table_replaced_by_rename(tmp_path):
    """New shard files written beside the table on host A and renamed over
    it: a Table already open on host B keeps reading the files it opened
    until refresh(); fresh opens on B see the new table once B's client has
    looked the names up again, and meanwhile see each shard whole, old or
    new."""
    width = 96
    live = os.path.join(MOUNTS["A"], f"replaced-{os.getpid()}")
    make_table(live, width)
    ids = request_ids(7, 400)
    old = expected_rows(ids, width)
    new_rows = expected_rows(np.arange(TOTAL, dtype=np.uint64), width) ^ np.uint8(0xA5)
    new = new_rows[ids]
    on_b = live.replace(MOUNTS["A"], MOUNTS["B"], 1)
    with larkspur.Table(on_b, direct=True) as held:
        assert np.array_equal(held.gather(ids), old)
        np.save(tmp_path / "new.npy", new_rows)
        staging = live + ".next"
        make_table(staging, None, "--npy", tmp_path / "new.npy")
        for i in range(SHARDS):
            os.replace(shard_path(staging, i), shard_path(live, i))

        store_a = _larkspur.Store(live, SHARDS, ROWS, width)
        assert as_rows(store_a.fetch(ids.tolist()), width).tobytes() == new.tobytes()

        start, seen = time.monotonic(), []
        while True:
            try:
                got = as_rows(_larkspur.Store(on_b, SHARDS, ROWS, width).fetch(ids), width)
            except OSError as e:  # the open file B's client still names was replaced
                assert str(e) == f"{os.strerror(errno.ESTALE)} (os error {errno.ESTALE})"
                seen.append("stale")
            else:
                is_new = np.all(got == new, axis=1)
                assert np.all(is_new | np.all(got == old, axis=1))
                shard_of = ids // ROWS
                for i in range(SHARDS):  # one version per shard file
                    assert len(set(is_new[shard_of == i].tolist())) <= 1
                if is_new.all():
                    break
                seen.append("old")
            assert time.monotonic() - start < SETTLE_SECONDS, seen
            time.sleep(0.05)
        with larkspur.Table(on_b) as fresh:
            assert np.array_equal(fresh.gather(ids), new)
        assert np.array_equal(held.gather(ids), old)
        # refresh() reopens the names: the Table open on B reads the new
        # table from then on (B's client has looked the names up again).
        assert held.refresh() is True
        assert np.array_equal(held.gather(ids), new)
        assert held.refresh() is False
