"""System calls and allocations that fail under every entry point.

Each case runs a fresh interpreter with the fault-injection library
preloaded (tests/faultinject): it fails a chosen open, stat, fstat, pread,
read, close, mmap, pthread_create, io_uring_setup or io_uring_enter with a
chosen errno, or a chosen C++ operator new, and the case checks the exact
exception, that nothing partial came back, that the object and the worker
pool still work afterwards, and that descriptors and memory do not grow
over many failures. Slow calls (delay=) show which calls let other threads
run meanwhile.
"""

import errno
import json
import os
import random

import pytest

import _larkspur
from conftest import run_child_code

SLOT = 512
RECORDS = 64
ROWS, WIDTH = 100, 64
POOL = sorted(f"larkspur-io-{i}" for i in range(32))
WORKERS = [f"larkspur-io-{i}" for i in range(32)]  # in start order

# Growth allowed over many failing calls: no descriptors at all, and less
# heap than a few bytes per call (a leaked message or buffer per call shows).
HEAP_SLACK = 128 << 10
ROUNDS = 5000


def os_error(code):
    return ["OSError", f"{os.strerror(code)} (os error {code})"]


EIO = os_error(errno.EIO)
EINTR = os_error(errno.EINTR)


def no_growth(growth, rounds=ROUNDS):
    fds, heap, _ = growth
    assert fds == 0
    if heap is not None:
        assert heap < HEAP_SLACK, f"{heap} bytes more after {rounds} failing calls"


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A record file with a manifest, a key list, two files of pages and a
    table of four shards of ROWS rows of WIDTH bytes (and a spare
    badge_1.bin)."""
    d = tmp_path_factory.mktemp("faults")
    rng = random.Random(7)
    (d / "rec.bin").write_bytes(rng.randbytes(SLOT * RECORDS))
    (d / "rec.manifest.json").write_text(f'{{"slot_bytes": {SLOT}}}')
    keys = [rng.randrange(2**64) for _ in range(4000)]  # ~80 KB: ten reads
    (d / "keys.txt").write_text("".join(f"{k}\n" for k in keys))
    (d / "pages.bin").write_bytes(rng.randbytes(4096 * 40 + 100))
    # Its pages are evicted before they are read.
    (d / "cold.bin").write_bytes(random.Random(8).randbytes(16 << 20))
    (d / "table").mkdir()
    for i in range(4):
        (d / "table" / f"shard_{i}.bin").write_bytes(rng.randbytes(ROWS * WIDTH))
    (d / "table" / "badge_1.bin").write_bytes(rng.randbytes(ROWS * WIDTH))
    return d


# --- the library itself ------------------------------------------------------

SELF_TEST = """
fd = os.open(sys.argv[1], os.O_RDONLY)
def reads(spec, offsets):
    arm(spec.format(fd=fd))
    got = [outcome(lambda o=o: len(os.pread(fd, 4, o)))[0] for o in offsets]
    disarm()
    return got
out["reads"] = [reads(spec, offsets) for spec, offsets in json.loads(sys.argv[2])]
arm("call=open,path=rec.manifest,errno=EMFILE")
out["open"] = [outcome(lambda: open(sys.argv[1]).close())[0],
               outcome(lambda: open(sys.argv[1][:-3] + "manifest.json"))]
out["bad_rule"] = outcome(lambda: arm("call=pread,after=1"))[0]
"""


def test_rules_select_calls_by_count_descriptor_and_offset(faulty, files):
    cases = [
        ("call=pread,fd={fd},nth=2,count=2", [0] * 5, "-XX--"),
        ("call=pread,fd={fd},nth=3,count=0", [0] * 5, "--XXX"),
        ("call=pread,offset=8", [0, 8, 16, 8], "-X--"),
        ("call=pread,offset=8,count=0", [0, 8, 16, 8], "-X-X"),
        ("call=pread,fd={fd}9", [0, 0], "--"),
    ]
    out = faulty(SELF_TEST, files / "rec.bin",
                 json.dumps([(spec, offsets) for spec, offsets, _ in cases]))
    got = ["".join("-" if r == "ok" else "X" for r in row) for row in out["reads"]]
    assert got == [pattern for _, _, pattern in cases]
    assert out["open"] == ["ok", ["OSError", f"[Errno {errno.EMFILE}] "
                                  f"{os.strerror(errno.EMFILE)}: "
                                  f"'{files / 'rec.manifest.json'}'"]]
    assert out["bad_rule"] == "ValueError"


# --- View: open --------------------------------------------------------------

VIEW_OPEN = """
path, spec = sys.argv[1], sys.argv[2]
data = open(path, "rb").read()
before = fd_count()
res = under("View()", spec, lambda: View(path))
view = res[1] if res[0] == "ok" else None
out["outcome"] = ["ok"] if view else res[:2]
out["injected"] = res[2]
if view:
    out["geometry"] = [view.slot_bytes(), view.len()]
    n = view.len()
    out["reads_right"] = view.read_records(range(n)) == data[:n * view.slot_bytes()]
del view, res
out["fd_growth"] = fd_count() - before
out["again"] = View(path).slot_bytes()
"""


@pytest.mark.parametrize(
    "spec, expected, geometry",
    [
        # The record file itself.
        ("call=open,path=rec.bin,errno=EIO", EIO, None),
        ("call=open,path=rec.bin,errno=EMFILE", os_error(errno.EMFILE), None),
        ("call=open,path=rec.bin,errno=ENOMEM", os_error(errno.ENOMEM), None),
        # An interrupted open is tried again.
        ("call=open,path=rec.bin,errno=EINTR,count=3", ["ok"], [SLOT, RECORDS]),
        # The record file's size query comes after the manifest's.
        ("call=fstat,nth=2,errno=EIO", EIO, None),
        ("call=fstat,nth=2,errno=EINTR", EINTR, None),
        # A manifest that cannot be seen or read gives the defaults, and so
        # does one whose kind of file cannot be checked.
        ("call=stat,path=rec.manifest,errno=ENOMEM", ["ok"], [2560, 12]),
        ("call=stat,path=rec.manifest,errno=EIO", ["ok"], [2560, 12]),
        ("call=open,path=rec.manifest,errno=EMFILE", ["ok"], [2560, 12]),
        ("call=read,errno=EIO", ["ok"], [2560, 12]),
        ("call=read,errno=EINTR,count=2", ["ok"], [SLOT, RECORDS]),
        ("call=fstat,nth=1,errno=EIO", ["ok"], [2560, 12]),
        # A failing close of the manifest loses nothing.
        ("call=close,nth=1,errno=EIO", ["ok"], [SLOT, RECORDS]),
    ],
)
def test_view_open(faulty, files, spec, expected, geometry):
    out = faulty(VIEW_OPEN, files / "rec.bin", spec)
    assert out["injected"] >= 1
    assert out["outcome"] == expected
    assert out.get("geometry") == geometry
    if geometry:
        assert out["reads_right"]
    assert out["fd_growth"] == 0
    assert out["again"] == SLOT


VIEW_OPEN_GROWTH = """
path = sys.argv[1]
arm("call=open,path=rec.bin,count=0,errno=EMFILE", "View()")
out["growth"] = growth(lambda: outcome(lambda: View(path)), int(sys.argv[2]))
out["last"] = outcome(lambda: View(path))
disarm()
"""


def test_view_open_failures_leave_nothing_behind(faulty, files):
    out = faulty(VIEW_OPEN_GROWTH, files / "rec.bin", ROUNDS)
    assert out["last"] == os_error(errno.EMFILE)
    no_growth(out["growth"])


# --- View: record reads -------------------------------------------------------

VIEW_READ = """
path, method, indices = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
bad, code = int(sys.argv[4]), sys.argv[5]
slot = int(sys.argv[6])
data = open(path, "rb").read()
view = View(path)
fd = fd_of(path)
call = (lambda: view.read_record(indices[0])) if method == "read_record" else (
    lambda: view.read_records(indices))
expected = b"".join(data[i * slot:(i + 1) * slot] for i in indices)
warm = view.read_records(range(40))  # makes the pool
threads = pool_threads()
fds = fd_count()
where = "" if bad < 0 else f",offset={bad * slot}"
# EINTR is retried: a few of them in a row cost nothing.
count = 3 if code == "EINTR" else 0
res = under(f"View.{method}", f"call=pread,fd={fd}{where},count={count},errno={code}", call)
out["outcome"] = ["ok", res[1] == expected] if res[0] == "ok" else res[:2]
out["injected"] = res[2]
out["again"] = call() == expected
out["pool_intact"] = pool_threads() == threads
out["threads"] = len(threads)
out["fd_growth"] = fd_count() - fds
"""


@pytest.mark.parametrize("code", ["EIO", "EINTR", "ENOMEM"])
@pytest.mark.parametrize(
    "method, indices, bad",
    [
        ("read_record", [5], 5),
        ("read_records", [5, 1, 7], 1),  # sequential, second record
        ("read_records", [9, 3, 2, 8], 8),  # four jobs of one record
        ("read_records", list(range(40)), 39),  # last job
        ("read_records", list(range(63, -1, -1)) * 2, 0),  # 32 jobs, two fail
        ("read_records", list(range(64)), -1),  # every read fails
    ],
    ids=["record", "sequential", "four-jobs", "last-job", "two-jobs", "all"],
)
def test_view_read_failures(faulty, files, method, indices, bad, code):
    out = faulty(VIEW_READ, files / "rec.bin", method, json.dumps(indices), bad,
                 code, SLOT)
    assert out["injected"] >= 1
    assert out["outcome"] == (["ok", True] if code == "EINTR" else
                              os_error(getattr(errno, code)))
    assert out["again"]
    assert out["threads"] == len(POOL) and out["pool_intact"]
    assert out["fd_growth"] == 0


VIEW_READ_GROWTH = """
path = sys.argv[1]
view = View(path)
arm(f"call=pread,fd={fd_of(path)},count=0", "View.read_records")
out["parallel"] = growth(lambda: outcome(lambda: view.read_records(range(64))),
                         int(sys.argv[2]))
out["sequential"] = growth(lambda: outcome(lambda: view.read_record(3)), int(sys.argv[2]))
out["injected"] = injected()
disarm()
out["threads"] = pool_threads()
"""


def test_view_read_failures_leave_nothing_behind(faulty, files):
    out = faulty(VIEW_READ_GROWTH, files / "rec.bin", ROUNDS)
    assert out["injected"] >= 2 * ROUNDS
    no_growth(out["parallel"])
    no_growth(out["sequential"])
    assert out["threads"] == POOL


# --- Store: open and fetch -----------------------------------------------------

# The child's model of a fetch from files/table (with its shard 1 taken
# from badge_1.bin when `badge` is set).
TABLE = """
where = sys.argv[1] + "/table"
def shard_bytes(i, badge=False):
    name = "badge" if badge and i == 1 else "shard"
    return open(f"{where}/{name}_{i}.bin", "rb").read()
def model(ids, badge=False):
    shards = [shard_bytes(i, badge) for i in range(4)]
    return b"".join(shards[r // 100][r % 100 * 64:][:64].ljust(64, b"\\0") for r in ids)
IDS = [399, 5, 170, 170, 210, 0, 101, 250, 333, 64]
"""

STORE_OPEN = TABLE + """
spec = sys.argv[2]
before = fd_count()
res = under("Store()", spec, lambda: Store(where, 4, 100, 64))
store = res[1] if res[0] == "ok" else None
out["outcome"] = ["ok"] if store else res[:2]
out["injected"] = res[2]
if store:
    out["rows"] = ("badge" if store.fetch(IDS) == model(IDS, badge=True) else
                   "shard" if store.fetch(IDS) == model(IDS) else "wrong")
del store, res
out["fd_growth"] = fd_count() - before
out["again"] = Store(where, 4, 100, 64).fetch(IDS) == model(IDS)
"""


@pytest.mark.parametrize(
    "spec, expected, rows",
    [
        ("call=open,path=shard_0,errno=EIO", EIO, None),
        # Shards 0 and 1 are open when shard 2 fails: both are closed.
        ("call=open,path=shard_2,errno=EMFILE", os_error(errno.EMFILE), None),
        ("call=open,path=shard_3,errno=ENOMEM", os_error(errno.ENOMEM), None),
        ("call=open,path=shard_3,errno=EINTR,count=3", ["ok"], "shard"),
        # Any failure to see shard_{i}.bin means badge_{i}.bin.
        ("call=stat,path=shard_1,errno=EIO", ["ok"], "badge"),
        ("call=stat,path=shard_1,errno=ENOMEM", ["ok"], "badge"),
        # With no badge_2.bin either, the reason shard_2.bin was not seen
        # is the error.
        ("call=stat,path=shard_2,errno=EACCES", os_error(errno.EACCES), None),
    ],
)
def test_store_open(faulty, files, spec, expected, rows):
    out = faulty(STORE_OPEN, files, spec)
    assert out["injected"] >= 1
    assert out["outcome"] == expected
    assert out.get("rows") == rows
    assert out["fd_growth"] == 0
    assert out["again"]


STORE_OPEN_GROWTH = TABLE + """
arm("call=open,path=shard_3,count=0,errno=EMFILE", "Store()")
out["growth"] = growth(lambda: outcome(lambda: Store(where, 4, 100, 64)),
                       int(sys.argv[2]))
out["injected"] = injected()
"""


def test_store_open_failures_leave_nothing_behind(faulty, files):
    out = faulty(STORE_OPEN_GROWTH, files, ROUNDS)
    assert out["injected"] >= ROUNDS
    no_growth(out["growth"])


FETCH = TABLE + """
spec, ids, threads = sys.argv[2], json.loads(sys.argv[3]), int(sys.argv[4])
store = Store(where, 4, 100, 64, threads)
fds = {f"fd{i}": fd_of(f"{where}/shard_{i}.bin") for i in range(4)}
call = (lambda: store.fetch_one(ids[0])) if len(ids) == 1 else (
    lambda: store.fetch(ids))
store.fetch([r % 400 for r in range(1100)])  # too many for one thread: makes the pool
threads = pool_threads()
before = fd_count()
res = under("Store.fetch" if len(ids) > 1 else "Store.fetch_one",
            spec.format(**fds), call)
out["outcome"] = ["ok"] if res[0] == "ok" else res[:2]
out["injected"] = res[2]
out["right"] = res[0] != "ok" or res[1] == model(ids)
out["again"] = call() == model(ids)
out["pool_intact"] = pool_threads() == threads
out["threads"] = len(threads)
out["fd_growth"] = fd_count() - before
"""


@pytest.mark.parametrize("code", ["EIO", "ENOMEM"])
@pytest.mark.parametrize(
    "spec, ids, threads",
    [
        ("call=pread,fd={fd2},count=0", IDS := [399, 5, 170, 170, 210, 0, 101, 250, 333, 64], 32),
        ("call=pread,fd={fd0},count=0", IDS, 1),  # one job reads all shards
        # Row 70 of shard 1 is alone in its page, read at its own offset.
        ("call=pread,offset=4480,count=0", [170, 5, 305, 210], 32),
        ("call=pread,count=0", IDS, 32),
        ("call=pread,fd={fd1},count=0", [170], 32),
    ],
    ids=["one-shard", "one-job", "one-row", "every-read", "fetch_one"],
)
def test_fetch_failures(faulty, files, spec, ids, threads, code):
    out = faulty(FETCH, files, f"{spec},errno={code}", json.dumps(ids), threads)
    assert out["injected"] >= 1
    assert out["outcome"] == os_error(getattr(errno, code))
    assert out["again"]
    assert out["threads"] == len(POOL) and out["pool_intact"]
    assert out["fd_growth"] == 0


# A read a signal interrupted is made again: the fetch succeeds, however
# many times in a row that happens.
@pytest.mark.parametrize("spec, ids, threads", [
    ("call=pread,fd={fd2},count=50,errno=EINTR", IDS, 32),
    ("call=pread,count=200,errno=EINTR", IDS, 1),
    ("call=pread,offset=4480,count=3,errno=EINTR", [170, 5, 305, 210], 32),
    ("call=pread,fd={fd1},count=5,errno=EINTR", [170], 32),
    ("call=preadv2,count=20,errno=EINTR", IDS, 32),
], ids=["one-shard", "one-job", "one-row", "fetch_one", "page-cache-try"])
def test_interrupted_fetch_reads_are_made_again(faulty, files, spec, ids, threads):
    out = faulty(FETCH, files, spec, json.dumps(ids), threads)
    assert out["injected"] >= 3
    assert out["outcome"] == ["ok"] and out["right"]
    assert out["again"] and out["pool_intact"]
    assert out["fd_growth"] == 0


@pytest.mark.parametrize("spec", [
    "call=preadv2,count=0,errno=EAGAIN", "call=preadv2,nth=2,count=0,errno=EAGAIN",
    "call=preadv2,count=0,errno=EOPNOTSUPP", "call=preadv2,count=0,errno=ENOSYS"])
def test_fetch_when_the_page_cache_cannot_be_asked(faulty, files, spec):
    # A try of the page cache that would block (or is not supported) sends
    # the job to the ordinary reads, queueing the next ones ahead.
    out = faulty(FETCH, files, spec, json.dumps(IDS), 32)
    assert out["injected"] >= 3
    assert out["outcome"][0] == "ok" and out["right"]
    assert out["again"] and out["pool_intact"]


FETCH_GROWTH = TABLE + """
store = Store(where, 4, 100, 64)
arm(f"call=pread,fd={fd_of(where + '/shard_2.bin')},count=0", "Store.fetch")
out["growth"] = growth(lambda: outcome(lambda: store.fetch(IDS)), int(sys.argv[2]))
out["injected"] = injected()
disarm()
out["threads"] = pool_threads()
"""


def test_fetch_failures_leave_nothing_behind(faulty, files):
    out = faulty(FETCH_GROWTH, files, ROUNDS)
    assert out["injected"] >= ROUNDS
    no_growth(out["growth"])
    assert out["threads"] == POOL


# --- the worker pool's threads ------------------------------------------------

# A batch of reads on the pool: 20 jobs of View.read_records, or 4 jobs of
# Store.fetch (one per shard, from a request too large for the calling
# thread alone).
BATCH = """
entry, where = sys.argv[1], sys.argv[2]
if entry == "fetch":
    shards = [open(f"{where}/table/shard_{i}.bin", "rb").read() for i in range(4)]
    store = Store(where + "/table", 4, 100, 64)
    # More rows than the calling thread serves alone.
    ids = [(i * 37) % 400 for i in range(1100)]
    expected = b"".join(shards[r // 100][r % 100 * 64:][:64] for r in ids)
    batch = lambda: store.fetch(ids)
else:
    data = open(where + "/rec.bin", "rb").read()
    view = View(where + "/rec.bin")
    expected = b"".join(data[i * 512:(i + 1) * 512] for i in range(40))
    batch = lambda: view.read_records(range(40))
"""

POOL_SPAWN = BATCH + """
nth = int(sys.argv[3])
res = under("pool creation", f"call=pthread_create,nth={nth},errno=EAGAIN", batch)
out["first"] = [res[0], res[1] == expected if res[0] == "ok" else res[1]]
out["threads"] = pool_threads()
out["later"] = [batch() == expected for _ in range(3)]
out["threads_later"] = pool_threads()
"""


@pytest.mark.parametrize("entry", ["read_records", "fetch"])
@pytest.mark.parametrize("nth", [1, 3, 32])
def test_failed_pool_creation_leaves_the_thread_per_job_route(faulty, files, entry, nth):
    out = faulty(POOL_SPAWN, entry, files, nth)
    assert out["first"] == ["ok", True]
    assert out["later"] == [True] * 3
    # The workers started before the failure are stopped; creation is never
    # tried again.
    assert out["threads"] == out["threads_later"] == []


POOL_ALLOC = BATCH + """
res = under("pool creation", f"call=new,nth={sys.argv[3]},count=0", batch)
out["first"] = res[0] if res[0] in ("ok", "MemoryError") else res[:2]
out["first_right"] = res[0] != "ok" or res[1] == expected
out["threads"] = [pool_threads() for _ in range(3) if batch() == expected]
"""


@pytest.mark.parametrize("nth", range(1, 80, 6))
def test_pool_creation_out_of_memory_is_not_retried(faulty, files, nth):
    # From the nth C++ allocation of the first batch on, every one fails;
    # wherever that lands in the making of the pool, its workers are made
    # once: a start that fails stops those it started, no second set joins.
    out = faulty(POOL_ALLOC, "read_records", files, nth)
    assert out["first"] in ("ok", "MemoryError") and out["first_right"]
    assert len(out["threads"]) == 3  # every later batch is right
    assert out["threads"][0] == out["threads"][2]
    assert out["threads"][0] in ([], POOL)


THREAD_SPAWN = BATCH + """
if sys.argv[3] == "pool-fails":
    arm("call=pthread_create,nth=1,errno=EAGAIN", "pool creation")
warm = batch() == expected
threads = pool_threads()
# No row looks cached (the fast route then needs threads too), and every
# thread from the third on fails to start, whichever route asks for it.
res = under("thread per job", "call=preadv2,errno=EAGAIN,count=0;"
            "call=pthread_create,nth=3,count=0,errno=EAGAIN", batch)
out["spawn"] = res[:2]
out["later"] = [warm] + [batch() == expected for _ in range(3)]
out["threads"] = [threads, pool_threads()]
"""


@pytest.mark.parametrize("entry", ["read_records", "fetch"])
@pytest.mark.parametrize(
    "route, env, workers",
    [("pool-fails", {}, 0), ("no-pool", {"LARKSPUR_NO_POOL": "1"}, 0),
     ("too-many-jobs", {"LARKSPUR_POOL_WORKERS": "2"}, 2)])
def test_thread_that_cannot_start_fails_its_call_only(faulty, files, entry, route, env,
                                                      workers):
    out = faulty(THREAD_SPAWN, entry, files, route, **env)
    assert out["spawn"] == ["InternalFault", "failed to spawn thread: "
                            + os_error(errno.EAGAIN)[1]]
    assert out["later"] == [True] * 4
    assert out["threads"] == [sorted(WORKERS[:workers])] * 2


# --- read_keys -----------------------------------------------------------------

READ_KEYS = """
path, spec = sys.argv[1], sys.argv[2]
expected = [int(line) for line in open(path)]
fds = fd_count()
res = under("read_keys", spec, lambda: read_keys(path))
out["outcome"] = ["ok", res[1] == expected] if res[0] == "ok" else res[:2]
out["injected"] = res[2]
out["fd_growth"] = fd_count() - fds
out["again"] = read_keys(path) == expected
"""


@pytest.mark.parametrize(
    "spec, expected",
    [
        ("call=open,path=keys.txt,errno=EIO", EIO),
        ("call=open,path=keys.txt,errno=EMFILE", os_error(errno.EMFILE)),
        ("call=open,path=keys.txt,errno=EINTR,count=5", ["ok", True]),
        ("call=read,errno=EIO", EIO),
        ("call=read,nth=4,errno=EIO", EIO),  # after whole lines: no partial list
        ("call=read,nth=4,errno=ENOMEM", os_error(errno.ENOMEM)),
        ("call=read,nth=3,count=2,errno=EINTR", ["ok", True]),
        ("call=close,errno=EIO", ["ok", True]),
    ],
)
def test_read_keys(faulty, files, spec, expected):
    out = faulty(READ_KEYS, files / "keys.txt", spec)
    assert out["injected"] >= 1
    assert out["outcome"] == expected
    assert out["fd_growth"] == 0
    assert out["again"]


READ_KEYS_GROWTH = """
path = sys.argv[1]
arm("call=read,nth=1,count=0", "read_keys")
out["read"] = growth(lambda: outcome(lambda: read_keys(path)), int(sys.argv[2]))
arm("call=open,path=keys.txt,count=0", "read_keys")
out["open"] = growth(lambda: outcome(lambda: read_keys(path)), int(sys.argv[2]))
disarm()
"""


def test_read_keys_failures_leave_nothing_behind(faulty, files):
    out = faulty(READ_KEYS_GROWTH, files / "keys.txt", ROUNDS)
    no_growth(out["read"])
    no_growth(out["open"])


# --- PageReader ------------------------------------------------------------------

PAGES = """
path, spec, kind = sys.argv[1], sys.argv[2], sys.argv[3]
data, fd = open_pages(path)
offsets = [4096 * i for i in (3, 0, 39, 17, 40)]  # the last page is short
expected = [data[o:o + 4096] for o in offsets]
reader = getattr(_larkspur, kind)()
out["backend"] = getattr(reader, "backend", "pread")
fds = fd_count()
res = under(f"{kind}.read_pages ({out['backend']})", spec.format(fd=fd),
            lambda: reader.read_pages([fd] * len(offsets), offsets))
out["outcome"] = ["ok", res[1] == expected] if res[0] == "ok" else res[:2]
out["injected"] = res[2]
out["again"] = reader.read_pages([fd] * len(offsets), offsets) == expected
out["fd_growth"] = fd_count() - fds
out["position"] = os.lseek(fd, 0, os.SEEK_CUR)
"""


# IoUringPageReader reads by pread where io_uring_setup fails at the probe.
NO_URING = {"FAULTINJECT_RULES": "call=io_uring_setup,errno=ENOSYS"}


@pytest.mark.parametrize("code, count, expected", [
    ("EIO", 1, EIO),
    ("EAGAIN", 1, os_error(errno.EAGAIN)),
    # An interrupted read is made again, as often as it is interrupted.
    ("EINTR", 3, ["ok", True]),
], ids=["EIO", "EAGAIN", "EINTR"])
@pytest.mark.parametrize("where", ["", f",offset={4096 * 17}", f",offset={4096 * 40}"],
                         ids=["first", "middle", "last"])
@pytest.mark.parametrize("kind", ["PageReader", "IoUringPageReader"])
def test_pread_page_readers(faulty, files, kind, where, code, count, expected):
    out = faulty(PAGES, files / "pages.bin",
                 f"call=pread,fd={{fd}}{where},errno={code},count={count}", kind,
                 **NO_URING)
    assert out["backend"] == "pread"
    assert out["injected"] == count
    assert out["outcome"] == expected
    assert out["again"]
    assert out["fd_growth"] == 0
    assert out["position"] == 0


PAGES_GROWTH = """
path = sys.argv[1]
fd = os.open(path, os.O_RDONLY)
reader = getattr(_larkspur, sys.argv[3])()
out["backend"] = getattr(reader, "backend", "pread")
arm(f"call=pread,fd={fd},offset={4096 * 20},count=0", f"{sys.argv[3]}.read_pages (pread)")
out["growth"] = growth(
    lambda: outcome(lambda: reader.read_pages([fd] * 30, [4096 * i for i in range(30)])),
    int(sys.argv[2]))
out["injected"] = injected()
"""


@pytest.mark.parametrize("kind", ["PageReader", "IoUringPageReader"])
def test_pread_page_reader_failures_leave_nothing_behind(faulty, files, kind):
    out = faulty(PAGES_GROWTH, files / "pages.bin", ROUNDS, kind, **NO_URING)
    assert out["backend"] == "pread"
    assert out["injected"] >= ROUNDS
    no_growth(out["growth"])


# --- IoUringPageReader: the ring ------------------------------------------------

URING = """
path, spec, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
data, fd = open_pages(path)
offsets = [4096 * ((i * 7) % 41) for i in range(n)]  # page 40 is short
expected = [data[o:o + 4096] for o in offsets]
reader = IoUringPageReader()
call = lambda: reader.read_pages([fd] * n, offsets)
out["backend"] = reader.backend  # the probe runs here, before any rule
if sys.argv[4] == "ring-first":
    reader.read_pages([], [])
rings = ring_fds()
res = under("IoUringPageReader.read_pages (io_uring)", spec, call)
out["outcome"] = ["ok", res[1] == expected] if res[0] == "ok" else res[:2]
out["injected"] = res[2]
out["left"] = [ring_fds() - rings, ring_mappings() - 2 * rings]
out["again"] = [call() == expected for _ in range(3)]
out["rings"] = ring_fds()
out["position"] = os.lseek(fd, 0, os.SEEK_CUR)
"""

needs_rings = pytest.mark.skipif(
    _larkspur.IoUringPageReader().backend != "io_uring",
    reason="the kernel refuses io_uring rings here")


NO_CQE = ["OSError", "no cqe for io_uring read"]
PAGES_RIGHT = ["ok", True]


def ring_error(code):
    return ["OSError", "IoUring::new: " + os_error(code)[1]]


def enter_error(code):
    return ["OSError", "submit_and_wait: " + os_error(code)[1]]


@needs_rings
@pytest.mark.parametrize(
    "spec, expected",
    [
        ("call=io_uring_setup,errno=ENOMEM", ring_error(errno.ENOMEM)),
        ("call=io_uring_setup,errno=EMFILE", ring_error(errno.EMFILE)),
        ("call=io_uring_setup,errno=EPERM", ring_error(errno.EPERM)),
        # The entries' mapping, then the rings' mapping.
        ("call=mmap,nth=1,errno=ENOMEM", ring_error(errno.ENOMEM)),
        ("call=mmap,nth=2,errno=ENOMEM", ring_error(errno.ENOMEM)),
        ("call=mmap,nth=2,errno=EAGAIN", ring_error(errno.EAGAIN)),
    ],
)
@pytest.mark.parametrize("n", [0, 5])
def test_ring_that_cannot_be_made(faulty, files, spec, expected, n):
    out = faulty(URING, files / "pages.bin", spec, n, "no-ring")
    assert out["backend"] == "io_uring"
    assert out["injected"] == 1
    assert out["outcome"] == expected
    # Nothing of the half-made ring is left; the next call makes it.
    assert out["left"] == [0, 0]
    assert out["again"] == [True] * 3
    assert out["rings"] == 1


@needs_rings
@pytest.mark.parametrize(
    "spec, n, expected",
    [
        ("call=io_uring_enter,errno=EIO", 5, enter_error(errno.EIO)),
        ("call=io_uring_enter,errno=EAGAIN", 5, enter_error(errno.EAGAIN)),
        # The kernel has the batch when the enter fails: it is reaped.
        ("call=io_uring_enter,errno=EIO,after=1", 600, enter_error(errno.EIO)),
        # So is the wait that should reap it: the ring is given up.
        ("call=io_uring_enter,count=2,errno=EIO,after=1", 256, enter_error(errno.EIO)),
        # An interrupted enter, before or after the kernel took the batch,
        # is entered again until every read has completed.
        ("call=io_uring_enter,errno=EINTR", 5, PAGES_RIGHT),
        ("call=io_uring_enter,errno=EINTR,after=1", 5, PAGES_RIGHT),
        ("call=io_uring_enter,errno=EINTR,after=1", 600, PAGES_RIGHT),
        ("call=io_uring_enter,nth=2,errno=EINTR,after=1", 600, PAGES_RIGHT),
        ("call=io_uring_enter,nth=3,errno=EINTR", 600, PAGES_RIGHT),
        ("call=io_uring_enter,errno=EINTR,count=50", 300, PAGES_RIGHT),
        ("call=io_uring_enter,errno=EINTR,after=1,count=50", 300, PAGES_RIGHT),
        # The kernel takes only part of a batch: the rest is submitted.
        ("call=io_uring_enter,partial=1", 5, PAGES_RIGHT),
        ("call=io_uring_enter,partial=1", 1, PAGES_RIGHT),
        ("call=io_uring_enter,nth=2,partial=1", 600, PAGES_RIGHT),
        ("call=io_uring_enter,partial=1,count=6", 256, PAGES_RIGHT),
        # A kernel that never takes the last entry: the batch is given up
        # rather than entered for ever.
        ("call=io_uring_enter,partial=1,count=0", 5, NO_CQE),
    ],
)
def test_enter_that_fails(faulty, files, spec, n, expected):
    out = faulty(URING, files / "pages.bin", spec, n, "ring-first")
    assert out["injected"] >= 1
    assert out["outcome"] == expected
    # Whatever a failed call left in the kernel was reaped or went with its
    # ring: later calls on the thread get exactly their own pages.
    assert out["again"] == [True] * 3
    assert out["rings"] == 1
    assert out["position"] == 0


PROBE = """
data, fd = open_pages(sys.argv[1])
reader = IoUringPageReader()
out["injected"] = injected()  # the rule is armed from the start
out["backend"] = [reader.backend, IoUringPageReader(512).backend]
out["left"] = [ring_fds(), ring_mappings()]
offsets = [4096 * ((i * 7) % 41) for i in range(300)]
out["right"] = reader.read_pages([fd] * 300, offsets) == [data[o:o + 4096] for o in offsets]
disarm()
out["still"] = [reader.backend, ring_fds()]
"""


@needs_rings
@pytest.mark.parametrize("rule", [
    "call=io_uring_setup,errno=ENOSYS", "call=io_uring_setup,errno=EPERM",
    "call=mmap,nth=1,errno=ENOMEM", "call=mmap,nth=2,errno=EAGAIN"])
def test_probe_that_fails_selects_pread_for_good(faulty, files, rule):
    out = faulty(PROBE, files / "pages.bin", FAULTINJECT_RULES=rule)
    assert out["backend"] == ["pread", "pread"]
    assert out["left"] == [0, 0]  # the probe's ring went entirely
    assert out["right"]
    assert out["still"] == ["pread", 0]  # never probed again


URING_ENTER_ALLOC = """
data, fd = open_pages(sys.argv[1])
reader = IoUringPageReader()
reader.read_pages([], [])
first = [4096 * (i % 41) for i in range(300)]
second = [4096 * ((i * 3) % 40) for i in range(100)]
out["runs"] = []
for n in range(1, 12):
    res = under("IoUringPageReader.read_pages (io_uring, operator new)",
                f"call=io_uring_enter,errno=EIO,after=1;call=new,nth={n}",
                lambda: reader.read_pages([fd] * 300, first))
    later = outcome(lambda: reader.read_pages([fd] * 100, second))
    out["runs"].append([res[0], later == ["ok", [data[o:o + 4096] for o in second]]])
out["rings"] = ring_fds()
"""


@needs_rings
def test_interrupted_batch_is_reaped_when_its_error_cannot_be_built(faulty, files):
    # The kernel holds the whole batch when the enter fails; then the
    # message of that error, or anything else, cannot be allocated. The
    # batch's completions must not be left for the thread's next call.
    out = faulty(URING_ENTER_ALLOC, files / "pages.bin")
    assert {first for first, _ in out["runs"]} == {"MemoryError", "OSError"}
    assert [later for _, later in out["runs"]] == [True] * len(out["runs"])
    assert out["rings"] == 1


URING_THREAD = """
data, fd = open_pages(sys.argv[1])
reader = IoUringPageReader()
call = lambda: reader.read_pages([fd, fd], [0, 8192])
expected = [data[:4096], data[8192:12288]]
out["main"] = call() == expected
import threading
def other():
    spec = f"call=io_uring_setup,count=2,tid={threading.get_native_id()}"
    out["fails"] = [under("IoUringPageReader ring (thread)", spec, call)[:2]
                    for _ in range(2)]
    out["rings_without"] = ring_fds()
    out["then"] = call() == expected
    out["rings_with"] = ring_fds()
t = threading.Thread(target=other)
t.start()
t.join()
out["main_after"] = call() == expected
"""


@needs_rings
def test_thread_whose_ring_cannot_be_made(faulty, files):
    out = faulty(URING_THREAD, files / "pages.bin")
    assert out["main"] and out["main_after"]
    # Each call on a thread without a ring tries to make one.
    assert out["fails"] == [ring_error(errno.EIO)] * 2
    assert out["then"]
    assert [out["rings_without"], out["rings_with"]] == [1, 2]


URING_GROWTH = """
path = sys.argv[1]
fd = os.open(path, os.O_RDONLY)
reader = IoUringPageReader()
out["backend"] = reader.backend  # the probe runs here, before any rule
call = lambda: outcome(lambda: reader.read_pages([fd] * 40, [4096 * i for i in range(40)]))
arm("call=io_uring_setup,count=0,errno=ENOMEM", "IoUringPageReader.read_pages (io_uring)")
out["setup"] = growth(call, int(sys.argv[2]))
out["setup_last"] = call()
def failed_enter():
    arm("call=io_uring_enter,errno=EIO,after=1", "IoUringPageReader.read_pages (io_uring)")
    return call()
out["enter"] = growth(failed_enter, int(sys.argv[2]))
out["last"] = failed_enter()
out["rings"] = ring_fds()
"""


@needs_rings
def test_ring_failures_leave_nothing_behind(faulty, files):
    out = faulty(URING_GROWTH, files / "pages.bin", ROUNDS)
    assert out["backend"] == "io_uring"
    assert out["setup_last"] == ring_error(errno.ENOMEM)
    no_growth(out["setup"])
    no_growth(out["enter"])
    assert out["last"] == enter_error(errno.EIO)
    assert out["rings"] == 1


# --- page readers: other threads run while the pages are read -------------------

# 256 pages of cold.bin, read once evicted from the page cache and once
# slowed by `rule` (each pread, or the ring's first enter, made slow), each
# timed by a thread that ticks every millisecond. Then the same slow call
# with a signal handler that raises, sent once the reads have begun.
SLOW_PAGES = """
import random, signal, threading, time
path, kind, rule = sys.argv[1], sys.argv[2], sys.argv[3]
fd = os.open(path, os.O_RDONLY)
rng = random.Random(5)
pages = os.fstat(fd).st_size // 4096
reader = getattr(_larkspur, kind)()
out["backend"] = getattr(reader, "backend", "pread")
reader.read_pages([], [])  # this thread's ring, if any, before any timing
entry = f"{kind}.read_pages ({out['backend']}, slow)"

def request():
    offsets = [rng.randrange(pages) * 4096 for _ in range(256)]
    return offsets, [os.pread(fd, 4096, o) for o in offsets]

def timed(spec):
    offsets, expected = request()
    evict(fd)
    got = []
    if spec:
        arm(spec.format(fd=fd), entry)
    try:
        pause, took = heartbeat_pause(
            lambda: got.append(reader.read_pages([fd] * 256, offsets)))
    finally:
        made = injected() if spec else 0
        disarm()
    return [pause, took, got == [expected], made]

out["cold"] = timed("")
out["slow"] = timed(rule)

def interrupt(signum, frame):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, interrupt)
main = threading.main_thread().ident
def send_once_reading():
    while seen() == 0:
        time.sleep(0.001)
    signal.pthread_kill(main, signal.SIGALRM)
offsets, expected = request()
result = None
def attempt():
    global result
    result = reader.read_pages([fd] * 256, offsets)
arm(rule.format(fd=fd), entry)
sender = threading.Thread(target=send_once_reading)
sender.start()
try:
    attempt()
except KeyboardInterrupt:
    pass
while True:
    try:  # a signal that comes only after the call is taken here
        sender.join()
        time.sleep(0.05)
        break
    except KeyboardInterrupt:
        pass
disarm()
out["interrupted"] = "raised" if result is None else "returned"
out["again"] = reader.read_pages([fd] * 256, offsets) == expected
out["rings"] = ring_fds()
"""


@pytest.mark.parametrize("kind, rule, env", [
    ("PageReader", "call=pread,fd={fd},delay=1200,count=0", {}),
    ("IoUringPageReader", "call=io_uring_enter,delay=300000", {}),
    ("IoUringPageReader", "call=pread,fd={fd},delay=1200,count=0", NO_URING),
], ids=["PageReader", "io_uring", "pread"])
def test_page_reads_let_other_threads_run(faulty, files, kind, rule, env):
    out = faulty(SLOW_PAGES, files / "cold.bin", kind, rule, **env)
    assert out["backend"] == ("io_uring" if "io_uring" in rule else "pread")
    cold_pause, cold_took, cold_right, _ = out["cold"]
    slow_pause, slow_took, slow_right, made = out["slow"]
    assert cold_right and slow_right
    assert made >= 1 and slow_took > 0.25
    # Holding the interpreter lock through the reads would stop the ticks
    # for the whole call; a loaded machine may delay a tick a little.
    assert slow_pause < slow_took / 2, out["slow"]
    assert cold_pause < max(cold_took / 2, 0.1), out["cold"]
    # The handler's exception leaves the call, not the caller's next line,
    # and only once the reads are done: the next call gets its own pages.
    assert out["interrupted"] == "raised"
    assert out["again"]
    assert out["rings"] == (1 if out["backend"] == "io_uring" else 0)


# --- every C++ allocation of a call, failing in turn ----------------------------

ALLOCATIONS = """
where, entry = sys.argv[1], sys.argv[2]
view = View(where + "/rec.bin")
store = Store(where + "/table", 4, 100, 64)
fd = os.open(where + "/pages.bin", os.O_RDONLY)
ring_reader = IoUringPageReader()
out["backend"] = ring_reader.backend
reader = PageReader()
ids = [399, 5, 170, 170, 210, 0, 101, 250, 333, 64]
calls = {
    "rowids_for_seq": lambda: rowids_for_seq(list(range(50)), 1),
    "rowids_for_seq_with_history": lambda: rowids_for_seq_with_history([1, 2], [3] * 9, 1),
    "read_keys": lambda: read_keys(where + "/keys.txt"),
    "View()": lambda: View(where + "/rec.bin").len(),
    "View.read_record": lambda: view.read_record(3),
    "View.read_records": lambda: view.read_records([5, 1, 7]),
    "View.read_records (pool)": lambda: view.read_records(range(40)),
    "Store()": lambda: Store(where + "/table", 4, 100, 64).width,
    "Store.fetch": lambda: store.fetch(ids),
    "Store.fetch_one": lambda: store.fetch_one(170),
    "PageReader.read_pages": lambda: reader.read_pages([fd] * 5, [0, 4096, 8192, 40 * 4096, 12288]),
    "IoUringPageReader.read_pages": lambda: ring_reader.read_pages(
        [fd] * 300, [4096 * (i % 41) for i in range(300)]),
    "IoUringPageReader.read_pages (EOF)": lambda: ring_reader.read_pages(
        [fd] * 300, [4096 * (i % 43) for i in range(300)]),
}
call = calls[entry]
view.read_records(range(40))  # the pool exists
clean = outcome(call)
fds, threads = fd_count(), pool_threads()
seen_outcomes, n = set(), 0
while n < 500:
    n += 1
    res = under(f"{entry} (operator new)", f"call=new,nth={n}", call)
    if res[:2] == clean:
        seen_outcomes.add("as without the failure")
    else:
        seen_outcomes.add(res[0] + (": " + res[1] if res[0] != "ok" else " but different"))
    if outcome(call) != clean:
        seen_outcomes.add(f"next call wrong after failure {n}")
    if res[2] == 0:
        break
out["allocations"] = n - 1
out["outcomes"] = sorted(seen_outcomes)
out["fd_growth"] = fd_count() - fds
out["pool_intact"] = pool_threads() == threads
"""

ENTRIES = ["rowids_for_seq", "rowids_for_seq_with_history", "read_keys", "View()",
           "View.read_record", "View.read_records", "View.read_records (pool)", "Store()",
           "Store.fetch", "Store.fetch_one", "PageReader.read_pages",
           "IoUringPageReader.read_pages", "IoUringPageReader.read_pages (EOF)"]


# On the thread-per-job route a job thread that cannot be had, or a job that
# fails, is reported as the route reports it.
THREAD_ROUTE = {"InternalFault: failed to spawn thread: " + os_error(errno.ENOMEM)[1],
                "InternalFault: a scoped thread panicked"}


@pytest.mark.parametrize(
    "entry, env",
    [(entry, {}) for entry in ENTRIES]
    + [(entry, {"LARKSPUR_NO_POOL": "1"})
       for entry in ("View.read_records (pool)", "Store.fetch", "Store.fetch_one")])
def test_every_allocation_of_a_call_may_fail(faulty, files, entry, env):
    out = faulty(ALLOCATIONS, files, entry, **env)
    # Each failure is a MemoryError; the process lives on, and the next
    # call is as if nothing had happened.
    allowed = {"MemoryError: ", "as without the failure"} | (THREAD_ROUTE if env else set())
    assert set(out["outcomes"]) <= allowed
    # A single record, or a single cached row, needs no C++ allocation.
    assert out["allocations"] > 0 or entry in ("View.read_record", "Store.fetch_one")
    assert out["fd_growth"] == 0 and out["pool_intact"]


# --- descriptors closed on release ----------------------------------------------

CLOSE_ON_DROP = """
where, kind = sys.argv[1], sys.argv[2]
if kind == "View":
    obj, paths = View(where + "/rec.bin"), [where + "/rec.bin"]
else:
    paths = [f"{where}/table/shard_{i}.bin" for i in range(4)]
    obj = Store(where + "/table", 4, 100, 64)
fds = fd_count()
held = [fd_of(p) for p in paths]
res = under(f"{kind} release", f"call=close,count=0,errno=EIO",
            lambda: globals().pop("obj") and None)
out["released"] = fds - fd_count()
out["still_open"] = [fd for fd in held if os.path.exists(f"/proc/self/fd/{fd}")]
out["injected"] = res[2]
"""


@pytest.mark.parametrize("kind, count", [("View", 1), ("Store", 4)])
def test_failing_close_on_release_still_releases(faulty, files, kind, count):
    out = faulty(CLOSE_ON_DROP, files, kind)
    assert out["injected"] == count
    assert out["released"] == count
    assert out["still_open"] == []
    assert "Error" not in out["_stderr"]


FOREIGN_DROP = """
import threading
path = sys.argv[1]
box = [View(path), PageReader()]
fds = fd_count()
def drop():
    arm("call=new,count=0", "release on another thread")
    box.clear()
    disarm()
t = threading.Thread(target=drop)
t.start()
t.join()
out["released"] = fds - fd_count()
"""


def test_release_on_another_thread_needs_no_memory(faulty, files):
    # Reporting the release of a thread-bound object on a foreign thread
    # happens in the deallocator, which cannot raise: it must not allocate.
    out = faulty(FOREIGN_DROP, files / "rec.bin")
    assert out["released"] == 1  # the View's descriptor
    for kind in ("View", "PageReader"):
        assert (f"RuntimeError: _larkspur::{kind} is unsendable, but is being "
                "dropped on another thread") in out["_stderr"]


# --- engine tables -----------------------------------------------------------

TABLE_RING = """
import larkspur
where = sys.argv[1]
t = larkspur.Table(where + "/table", shards=4, rows_per_shard=100, width=64)
ids = [5, 150, 250, 350, 7, 399]
shards = [open(f"{where}/table/shard_{i}.bin", "rb").read() for i in range(4)]
expected = b"".join(shards[r // 100][r % 100 * 64:][:64] for r in ids)
out["backend"] = [t.backend, t.stats()["backend_reason"]]
out["rows"] = [t.gather(ids).tobytes() == expected,
               t.submit(rowids=ids).result().tobytes() == expected]
out["prefetch"] = t.prefetch(rowids=ids)
res = outcome(lambda: larkspur.Table(where + "/table", shards=4, rows_per_shard=100,
                                     width=64, direct=True).backend)
out["direct"] = res
report(out)
"""


@pytest.mark.parametrize("code, seccomp", [
    ("ENOSYS", False), ("EPERM", False), ("ENOMEM", False), ("ENOSYS", True), ("EPERM", True)])
def test_table_without_io_uring_reads_on_the_pool(faulty, files, code, seccomp):
    # As under io_uring_disabled or a seccomp filter (a real one, or the
    # library's): the ring cannot be made.
    if seccomp:
        out = run_child_code(f"import errno\ndeny_syscall(425, errno.{code})\n" + TABLE_RING,
                             args=[files])
    else:
        out = faulty(TABLE_RING, files,
                     FAULTINJECT_RULES=f"call=io_uring_setup,errno={code},count=0")
    text = os_error(getattr(errno, code))[1]
    assert out["backend"] == ["threads", "io_uring: " + text]
    assert out["rows"] == [True, True]
    assert out["prefetch"] == 0
    assert out["direct"] == ["OSError", text]


TABLE_RING_FAILS = """
import larkspur
where = sys.argv[1]
t = larkspur.Table(where + "/table", shards=4, rows_per_shard=100, width=64)
ids = [5, 150, 250, 350, 7, 399]
expected, cold = table_rows(where, ids)

cold()
# The page cache pass misses (a fast device can fill an uncached page within
# it), so that the rows go to the ring.
res = under("Table.submit (ring)",
            "call=io_uring_enter,errno=EIO,count=0;call=preadv2,errno=EAGAIN,count=0",
            lambda: t.submit(rowids=ids).result().tobytes() == expected)
out["failed"] = res[:2]
out["backend"] = [t.backend, t.stats()["backend_reason"]]
cold()
out["again"] = [t.gather(ids).tobytes() == expected,
                t.submit(rowids=ids).result().tobytes() == expected]
report(out)
"""


def test_a_ring_that_fails_leaves_the_pool_reading(faulty, files):
    out = faulty(TABLE_RING_FAILS, files)
    text = "io_uring_enter: " + os_error(errno.EIO)[1]
    assert out["failed"] == ["OSError", text]
    assert out["backend"] == ["threads", text]
    assert out["again"] == [True, True]


TABLE_COMPLETIONS = """
import json
import larkspur
where = sys.argv[1]
ids = [5, 150, 250, 350, 7, 399, 151]
expected, cold = table_rows(where, ids)

for direct in (False, True):
    t = larkspur.Table(where + "/table", shards=4, rows_per_shard=100, width=64,
                       direct=direct)
    for name, spec in map(json.loads, sys.argv[2:]):
        # A submit reads on the engine's ring, a small gather on the calling
        # thread's own.
        for call in ("submit", "gather"):
            entry = f"Table.{call}, {'direct' if direct else 'buffered'} ({name})"
            run = ((lambda: t.submit(rowids=ids).result()) if call == "submit" else
                   (lambda: t.gather(ids)))
            out[f"{direct} {name} {call}"] = until_device_reads(
                t, len(ids), cold,
                lambda: under(entry, spec, lambda: run().tobytes() == expected))
    cold()
    out[f"{direct} after"] = [t.backend, t.gather(ids).tobytes() == expected,
                              t.submit(rowids=ids).result().tobytes() == expected]
report(out)
"""


def test_a_failed_read_fails_its_lookup_alone(faulty, files):
    # A read's result rewritten as the kernel posted it: an error, or fewer
    # bytes than asked (read on from where it stopped, however often).
    cases = [("eio", "call=completion,errno=EIO"),
             ("enomem", "call=completion,nth=3,errno=ENOMEM"),
             ("short", "call=completion,partial=1,count=0"),
             ("short once", "call=completion,nth=2,partial=1")]
    out = faulty(TABLE_COMPLETIONS, files, *[json.dumps(c) for c in cases])
    for direct in (False, True):
        for call in ("submit", "gather"):
            got = {name: out[f"{direct} {name} {call}"] for name, _ in cases}
            made = {name: res.pop() for name, res in got.items()}
            assert made["eio"] == made["enomem"] == made["short once"] == 1, (call, made)
            assert got["eio"] == ["OSError", os_error(errno.EIO)[1]]
            assert got["enomem"] == ["OSError", os_error(errno.ENOMEM)[1]]
            # A direct read stops short only at a page boundary or the end of
            # the file: halving every one of them would fake the end of it.
            if not direct:
                assert made["short"] > 1 and got["short"] == ["ok", True], call
            assert got["short once"] == ["ok", True], call
        assert out[f"{direct} after"] == ["io_uring", True, True]


def test_a_ring_that_cannot_register_reads_by_plain_descriptor(faulty, files):
    # Registered files and buffers are an optimisation: refused (too many
    # descriptors, the locked-memory limit), the ring reads without them.
    out = faulty(TABLE_RING, files, FAULTINJECT_RULES="call=io_uring_register,errno=ENOMEM,count=0")
    assert out["backend"] == ["io_uring", ""]
    assert out["rows"] == [True, True]
    assert out["direct"][0] == "ok"


SLOW_LOOKUP = """
import larkspur
where = sys.argv[1]
t = larkspur.Table(where + "/table", shards=4, rows_per_shard=100, width=64)
ids = list(range(0, 400, 3))
_, cold = table_rows(where, ids)
t.submit(rowids=[1]).result()  # the engine started before any timing
cold()
arm("call=io_uring_enter,delay=300000", "Lookup dropped unfinished (slow)")
box = [t.submit(rowids=ids)]
out["running"] = not box[0].done()
out["pause"], out["took"] = heartbeat_pause(box.clear)
out["made"] = injected()
disarm()
"""


def test_a_dropped_lookup_waits_for_its_reads_without_the_lock(faulty, files):
    out = faulty(SLOW_LOOKUP, files)
    assert out["made"] == 1 and out["running"]
    assert out["took"] > 0.1  # the reads it waited for
    assert out["pause"] < out["took"] / 2, out
