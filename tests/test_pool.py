"""The I/O worker pool as a process sees it: its environment variables,
read once, its thread names, and the route a batch takes. Each case runs in
a fresh interpreter, since the pool is made once per process."""

import json
import os
import subprocess
import sys

import pytest

from conftest import under_asan

PRELUDE = r"""
import json, os, sys
import _larkspur
from _larkspur import Store

DIR = sys.argv[1]

def workers():
    names = []
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/comm") as f:
            name = f.read().rstrip("\n")
        if name.startswith("larkspur-io-"):
            names.append(name)
    return names

def thread_count():
    return len(os.listdir("/proc/self/task"))

def pool_sized(ids):
    # A request of more rows than the calling thread serves alone goes to
    # the pool even when its rows are cached.
    return ids * (1100 // len(ids) + 1)

def fault_of(store, ids):
    try:
        store.fetch(ids)
    except _larkspur.InternalFault as e:
        return e.args[0]
    return None

store = Store(DIR, 4, 100, 64)
"""

POOLED_FAULT = "index out of bounds: the len is 4 but the index is 9"
THREADS_FAULT = "a scoped thread panicked"


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    d = tmp_path_factory.mktemp("pool-table")
    for i in range(4):
        (d / f"shard_{i}.bin").write_bytes(bytes((i * 64 + k) % 256 for k in range(6400)))
    return str(d)


def run(table, body, **env_vars):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LARKSPUR_")}
    env.update(env_vars)
    proc = subprocess.run([sys.executable, "-c", PRELUDE + body, table], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


COUNT_BODY = """
store.fetch(pool_sized([1, 150]))
print(json.dumps(workers()))
"""


def worker_count(table, **env):
    names = run(table, COUNT_BODY, **env)
    # Exactly larkspur-io-0 .. larkspur-io-{W-1}, the kernel keeping 15 bytes.
    assert sorted(names) == sorted(f"larkspur-io-{i}"[:15] for i in range(len(names)))
    return len(names)


@pytest.fixture(scope="module")
def default_count(table):
    return worker_count(table)


def test_default_count_is_between_32_and_64(default_count):
    assert 32 <= default_count <= 64
    if len(os.sched_getaffinity(0)) <= 32:
        assert default_count == 32


@pytest.mark.parametrize("value, expected", [
    ("8", 8), ("+8", 8), ("1", 1), ("200", 200), ("0008", 8), ("1001", 1001)])
def test_worker_count_from_the_environment(table, value, expected):
    assert worker_count(table, LARKSPUR_POOL_WORKERS=value) == expected


@pytest.mark.parametrize("value", [
    "0", "+0", " 8", "8 ", "-1", "8x", "", "+", "0x10", "18446744073709551616", "\u0668"])
def test_unusable_worker_counts_give_the_default(table, default_count, value):
    assert worker_count(table, LARKSPUR_POOL_WORKERS=value) == default_count


def test_nothing_starts_threads_before_the_first_non_empty_fetch(table):
    got = run(table, """
before = thread_count()
store.fetch([])
empty = thread_count()
store.fetch([5])  # cached: served by this thread
inline = thread_count()
store.fetch(pool_sized([5]))
print(json.dumps([before, empty, inline, thread_count(), len(workers())]))
""", LARKSPUR_POOL_WORKERS="3")
    assert got == [1, 1, 1, 4, 3]


@pytest.mark.parametrize("value, pooled", [
    (None, True), ("", True), ("0", True), ("1", False), ("00", False), ("false", False)])
def test_no_pool_switch(table, value, pooled):
    env = {} if value is None else {"LARKSPUR_NO_POOL": value}
    got = run(table, """
f = fault_of(store, [1, 950])
same = store.fetch([1, 150]) == store.fetch([1]) + store.fetch([150])
print(json.dumps([f, len(workers()), same]))
""", LARKSPUR_POOL_WORKERS="4", **env)
    if pooled:
        assert got == [POOLED_FAULT, 4, True]
    else:
        assert got == [THREADS_FAULT, 0, True]


def test_variables_are_read_once(table):
    got = run(table, """
store.fetch(pool_sized([1]))
os.environ["LARKSPUR_NO_POOL"] = "1"
os.environ["LARKSPUR_POOL_WORKERS"] = "9"
print(json.dumps([fault_of(store, [1, 950]), len(workers())]))
""", LARKSPUR_POOL_WORKERS="4")
    assert got == [POOLED_FAULT, 4]
    got = run(table, """
store.fetch(pool_sized([1]))
del os.environ["LARKSPUR_NO_POOL"]
print(json.dumps([fault_of(store, [1, 950]), len(workers())]))
""", LARKSPUR_NO_POOL="1")
    assert got == [THREADS_FAULT, 0]


def test_batches_up_to_the_worker_count_use_the_pool(table):
    # Two workers: two shards give two jobs (pool), three give three jobs
    # (a thread each), unless the store caps the jobs at two.
    got = run(table, """
capped = Store(DIR, 4, 100, 64, threads=2)
print(json.dumps([fault_of(store, [1, 950]), fault_of(store, [1, 150, 950]),
                  fault_of(capped, [1, 150, 950]), len(workers())]))
""", LARKSPUR_POOL_WORKERS="2")
    assert got == [POOLED_FAULT, THREADS_FAULT, POOLED_FAULT, 2]


def test_faults_leave_the_pool_whole(table):
    got = run(table, """
faults = [fault_of(store, [i % 400, 950 + 100 * i]) for i in range(50)]
rows = store.fetch([399, 0, 250])
expect = b"".join(bytes(((r // 100) * 64 + (r % 100) * 64 + k) % 256 for k in range(64))
                  for r in [399, 0, 250])
print(json.dumps([len(set(faults)), faults[0], sorted(workers()), rows == expect]))
""", LARKSPUR_POOL_WORKERS="5")
    assert got == [50, "index out of bounds: the len is 4 but the index is 9",
                   sorted(f"larkspur-io-{i}" for i in range(5)), True]


# ------------------------------------------------------------------- fork

# The address sanitizer's allocator does not hold its locks across fork():
# a child forked while another thread allocates (a pool worker finishing a
# job does) can hang in it.
needs_fork_safe_allocator = pytest.mark.skipif(
    under_asan(), reason="the address sanitizer's allocator is not fork-safe")

FORK = r"""
import signal, threading, time

def model(ids):
    out = b""
    for r in ids:
        shard, local = divmod(r, 100)
        out += bytes((shard * 64 + local * 64 + k) % 256 for k in range(64))
    return out

def in_fork(fn, timeout=15):
    # fn() in a forked child: its JSON value, or "hang" when it does not
    # finish within the timeout (the child is then killed).
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

# Pooled calls of every kind: one row, one shard (one job) and a fetch of
# four shards (four jobs), each large enough for the pool; all verified.
def pooled_calls():
    return [store.fetch(pool_sized(ids)) == model(pool_sized(ids))
            for ids in ([250], [1, 2, 99], [399, 5, 150, 250])]

def child_report():
    before = len(workers())
    calls = pooled_calls()
    return [before, calls, len(workers())]
"""


@needs_fork_safe_allocator
def test_forked_child_makes_its_own_pool(table):
    got = run(table, FORK + """
pooled_calls()
parent = sorted(workers())
children = [in_fork(child_report) for _ in range(3)]
print(json.dumps([children, sorted(workers()) == parent, pooled_calls()]))
""", LARKSPUR_POOL_WORKERS="6")
    # No worker of the parent exists in a child until its first pooled
    # call makes its own six; the parent's stay.
    assert got == [[[0, [True] * 3, 6]] * 3, True, [True] * 3]


@needs_fork_safe_allocator
def test_forked_children_keep_the_settings_the_parent_read(table):
    got = run(table, FORK + """
pooled_calls()
os.environ["LARKSPUR_POOL_WORKERS"] = "9"
os.environ["LARKSPUR_NO_POOL"] = "1"
pooled = in_fork(child_report)
print(json.dumps([pooled, in_fork(lambda: in_fork(child_report))]))
""", LARKSPUR_POOL_WORKERS="3")
    assert got == [[0, [True] * 3, 3]] * 2
    got = run(table, FORK + """
pooled_calls()
del os.environ["LARKSPUR_NO_POOL"]
print(json.dumps(in_fork(lambda: [child_report(), fault_of(store, [1, 950])])))
""", LARKSPUR_NO_POOL="1")
    assert got == [[0, [True] * 3, 0], THREADS_FAULT]


@needs_fork_safe_allocator
def test_multiprocessing_fork_pool_after_the_parent_used_the_pool(table):
    got = run(table, FORK + """
import multiprocessing

def task(i):
    ids = [(i * 37 + k * 101) % 400 for k in range(20)]
    return store.fetch(ids) == model(ids) and store.fetch_one(i) == model([i])

pooled_calls()
with multiprocessing.get_context("fork").Pool(3) as procs:
    try:
        result = procs.map_async(task, range(12)).get(timeout=60)
    except multiprocessing.TimeoutError:
        result = "hang"
print(json.dumps([result, pooled_calls()]))
""", LARKSPUR_POOL_WORKERS="4")
    assert got == [[True] * 12, [True] * 3]


@needs_fork_safe_allocator
def test_engine_table_in_forked_children(table):
    # larkspur._engine carries a pool of its own; the same rules hold for it.
    got = run(table, FORK + """
import multiprocessing
import larkspur

t = larkspur.Table(DIR, shards=4, rows_per_shard=100, width=64)

def gathered(_=None):
    return [t.gather(ids).tobytes() == model(ids)
            for ids in (pool_sized([399, 5, 150, 250]), [7], [1, 2, 99])]

parent = gathered()
with multiprocessing.get_context("fork").Pool(2) as procs:
    try:
        pooled = procs.map_async(gathered, range(4)).get(timeout=60)
    except multiprocessing.TimeoutError:
        pooled = "hang"
print(json.dumps([parent, in_fork(gathered), pooled, gathered()]))
""", LARKSPUR_POOL_WORKERS="3")
    assert got == [[True] * 3, [True] * 3, [[True] * 3] * 4, [True] * 3]


@needs_fork_safe_allocator
def test_fork_while_other_threads_are_inside_pooled_calls(table):
    got = run(table, FORK + """
stop = threading.Event()
bad = []

def loop(seed):
    while not stop.is_set():
        if not all(pooled_calls()):
            bad.append(seed)

threads = [threading.Thread(target=loop, args=(i,)) for i in range(4)]
for t in threads:
    t.start()
children = []
for _ in range(8):
    time.sleep(0.01)
    children.append(in_fork(lambda: pooled_calls() + [len(workers())]))
    if children[-1] == "hang":
        break
stop.set()
for t in threads:
    t.join()
print(json.dumps([children, bad, len(workers())]))
""", LARKSPUR_POOL_WORKERS="5")
    assert got == [[[True, True, True, 5]] * 8, [], 5]
