"""System calls that fail under every entry point.

Each case runs a fresh interpreter with the fault-injection library
preloaded (tests/faultinject): it fails a chosen open, stat, fstat, pread,
read, close, mmap, pthread_create, io_uring_setup or io_uring_enter with a
chosen errno, and the case checks the exact exception, that nothing partial
came back, that the object and the worker pool still work afterwards, and
that descriptors and memory do not grow over many failures.
"""

import errno
import json
import os
import random

import pytest

import _larkspur

from conftest import under_asan

SLOT = 512
RECORDS = 64
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
    """A record file with a manifest, a key list and a file of pages."""
    d = tmp_path_factory.mktemp("faults")
    rng = random.Random(7)
    (d / "rec.bin").write_bytes(rng.randbytes(SLOT * RECORDS))
    (d / "rec.manifest.json").write_text(f'{{"slot_bytes": {SLOT}}}')
    keys = [rng.randrange(2**64) for _ in range(4000)]  # ~80 KB: ten reads
    (d / "keys.txt").write_text("".join(f"{k}\n" for k in keys))
    (d / "pages.bin").write_bytes(rng.randbytes(4096 * 40 + 100))
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
        # A manifest that cannot be seen or read gives the defaults; a failed
        # size query of the manifest only costs a reservation.
        ("call=stat,path=rec.manifest,errno=ENOMEM", ["ok"], [2560, 12]),
        ("call=stat,path=rec.manifest,errno=EIO", ["ok"], [2560, 12]),
        ("call=open,path=rec.manifest,errno=EMFILE", ["ok"], [2560, 12]),
        ("call=read,errno=EIO", ["ok"], [2560, 12]),
        ("call=read,errno=EINTR,count=2", ["ok"], [SLOT, RECORDS]),
        ("call=fstat,nth=1,errno=EIO", ["ok"], [SLOT, RECORDS]),
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
arm("call=open,path=rec.bin,count=0,errno=EMFILE")
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
path, method, indices, bad, code = sys.argv[1], sys.argv[2], json.loads(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
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
res = under(f"View.{method}", f"call=pread,fd={fd}{where},count=0,errno={code}", call)
out["outcome"], out["injected"] = res[:2], res[2]
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
    assert out["outcome"] == os_error(getattr(errno, code))
    assert out["again"]
    assert out["threads"] == len(POOL) and out["pool_intact"]
    assert out["fd_growth"] == 0


VIEW_READ_GROWTH = """
path = sys.argv[1]
view = View(path)
arm(f"call=pread,fd={fd_of(path)},count=0")
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


# --- the worker pool's threads ------------------------------------------------

POOL_SPAWN = """
path, nth, slot = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = open(path, "rb").read()
view = View(path)
batch = list(range(40))
expected = b"".join(data[i * slot:(i + 1) * slot] for i in batch)
res = under("pool creation", f"call=pthread_create,nth={nth},errno=EAGAIN",
            lambda: view.read_records(batch))
out["first"] = [res[0], res[1] == expected if res[0] == "ok" else res[1]]
out["threads"] = pool_threads()
out["later"] = [view.read_records(batch) == expected for _ in range(3)]
out["threads_later"] = pool_threads()
"""


@pytest.mark.parametrize("nth", [1, 3, 32])
def test_failed_pool_creation_leaves_the_thread_per_job_route(faulty, files, nth):
    out = faulty(POOL_SPAWN, files / "rec.bin", nth, SLOT)
    assert out["first"] == ["ok", True]
    assert out["later"] == [True] * 3
    # The workers started before the failure stay, idle; creation is never
    # tried again.
    assert out["threads"] == out["threads_later"] == sorted(WORKERS[:nth - 1])


THREAD_SPAWN = """
path, slot, pool_fails = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
data = open(path, "rb").read()
view = View(path)
batch = list(range(40))
expected = b"".join(data[i * slot:(i + 1) * slot] for i in batch)
if pool_fails:
    arm("call=pthread_create,nth=1,errno=EAGAIN")
warm = view.read_records(batch) == expected
threads = pool_threads()
res = under("thread per job", "call=pthread_create,nth=3,errno=EAGAIN",
            lambda: view.read_records(batch))
out["spawn"] = res[:2]
out["later"] = [warm] + [view.read_records(batch) == expected for _ in range(3)]
out["threads"] = [threads, pool_threads()]
"""


@pytest.mark.parametrize(
    "env, pool_fails, workers",
    [({}, True, 0), ({"LARKSPUR_NO_POOL": "1"}, False, 0),
     ({"LARKSPUR_POOL_WORKERS": "2"}, False, 2)],  # 20 jobs, 2 workers
    ids=["pool-failed", "no-pool", "too-many-jobs"])
def test_thread_that_cannot_start_fails_its_call_only(faulty, files, env, pool_fails,
                                                      workers):
    out = faulty(THREAD_SPAWN, files / "rec.bin", SLOT, int(pool_fails), **env)
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
arm("call=read,nth=1,count=0")
out["read"] = growth(lambda: outcome(lambda: read_keys(path)), int(sys.argv[2]))
arm("call=open,path=keys.txt,count=0")
out["open"] = growth(lambda: outcome(lambda: read_keys(path)), int(sys.argv[2]))
disarm()
"""


def test_read_keys_failures_leave_nothing_behind(faulty, files):
    out = faulty(READ_KEYS_GROWTH, files / "keys.txt", ROUNDS)
    no_growth(out["read"])
    no_growth(out["open"])


# --- PageReader ------------------------------------------------------------------

PAGES = """
path, spec = sys.argv[1], sys.argv[2]
data = open(path, "rb").read()
fd = os.open(path, os.O_RDONLY)
offsets = [4096 * i for i in (3, 0, 39, 17, 40)]  # the last page is short
expected = [data[o:o + 4096] for o in offsets]
reader = PageReader()
fds = fd_count()
res = under("PageReader.read_pages", spec.format(fd=fd),
            lambda: reader.read_pages([fd] * len(offsets), offsets))
out["outcome"], out["injected"] = res[:2], res[2]
out["again"] = reader.read_pages([fd] * len(offsets), offsets) == expected
out["fd_growth"] = fd_count() - fds
out["position"] = os.lseek(fd, 0, os.SEEK_CUR)
"""


@pytest.mark.parametrize("code", ["EIO", "EINTR", "EAGAIN"])
@pytest.mark.parametrize("where", ["", f",offset={4096 * 17}", f",offset={4096 * 40}"],
                         ids=["first", "middle", "last"])
def test_page_reader(faulty, files, where, code):
    out = faulty(PAGES, files / "pages.bin",
                 f"call=pread,fd={{fd}}{where},errno={code}")
    assert out["injected"] == 1
    assert out["outcome"] == os_error(getattr(errno, code))
    assert out["again"]
    assert out["fd_growth"] == 0
    assert out["position"] == 0


PAGES_GROWTH = """
path = sys.argv[1]
fd = os.open(path, os.O_RDONLY)
reader = PageReader()
arm(f"call=pread,fd={fd},offset={4096 * 20},count=0")
out["growth"] = growth(
    lambda: outcome(lambda: reader.read_pages([fd] * 30, [4096 * i for i in range(30)])),
    int(sys.argv[2]))
out["injected"] = injected()
"""


def test_page_reader_failures_leave_nothing_behind(faulty, files):
    out = faulty(PAGES_GROWTH, files / "pages.bin", ROUNDS)
    assert out["injected"] >= ROUNDS
    no_growth(out["growth"])


# --- descriptors closed on release ----------------------------------------------

CLOSE_ON_DROP = """
path = sys.argv[1]
view = View(path)
fd = fd_of(path)
fds = fd_count()
res = under("View release", f"call=close,fd={fd},errno=EIO", lambda: globals().pop("view") and None)
import gc; gc.collect()
out["closed"] = fd_count() == fds - 1 and not os.path.exists(f"/proc/self/fd/{fd}")
out["injected"] = res[2]
"""


def test_failing_close_on_release_still_releases(faulty, files):
    out = faulty(CLOSE_ON_DROP, files / "rec.bin")
    assert out["injected"] == 1
    assert out["closed"]
    assert "Error" not in out["_stderr"]
