"""Interpreter exit while other threads are inside calls of the module.

At exit the interpreter ends a thread that asks for the interpreter lock
back by unwinding it; that must never take the process down. Each case runs
LARKSPUR_EXIT_RUNS (default 10) interpreters at once, each with daemon
threads looping one call while the main thread returns, and requires every
one of them to exit with status 0.
"""

import os
import random
import subprocess
import sys

import pytest

from conftest import child_env

RUNS = int(os.environ.get("LARKSPUR_EXIT_RUNS", "10"))

CHILD = r"""
import os, random, sys, threading, time
import _larkspur as lk

D, CALL, SEED = sys.argv[1], sys.argv[2], int(sys.argv[3])
T, REC, KEYS = D + "/table", D + "/rec.bin", D + "/keys.txt"
PAGES = os.open(D + "/rec.bin", os.O_RDONLY)
IDS = [5, 150, 250, 350, 7, 399]


def make():
    # One call, ready to repeat; objects bound to a thread are made in it.
    if CALL == "Store()":
        return lambda: lk.Store(T, 4, 100, 64)
    if CALL == "Store.fetch":
        store = lk.Store(T, 4, 100, 64)
        return lambda: store.fetch(IDS)
    if CALL == "Store.fetch_one":
        store = lk.Store(T, 4, 100, 64)
        return lambda: store.fetch_one(150)
    if CALL == "View()":
        return lambda: lk.View(REC)
    if CALL == "View.read_record":
        view = lk.View(REC)
        return lambda: view.read_record(3)
    if CALL == "View.read_records":
        view = lk.View(REC)
        return lambda: view.read_records([1, 9, 17, 33, 60])
    if CALL == "PageReader.read_pages":
        reader = lk.PageReader()
        return lambda: reader.read_pages([PAGES] * 4, [0, 4096, 8192, 12288])
    if CALL == "IoUringPageReader.read_pages":
        reader = lk.IoUringPageReader()
        return lambda: reader.read_pages([PAGES] * 4, [0, 4096, 8192, 12288])
    if CALL == "read_keys":
        return lambda: lk.read_keys(KEYS)
    raise SystemExit(f"unknown call {CALL}")


started = threading.Semaphore(0)


def loop():
    call = make()
    call()
    started.release()
    while True:
        call()


THREADS = 4
for _ in range(THREADS):
    threading.Thread(target=loop, daemon=True).start()
for _ in range(THREADS):
    started.acquire()
# Return at a varying point of the threads' calls.
time.sleep(random.Random(SEED).uniform(0.0, 0.03))
"""

CALLS = ["Store()", "Store.fetch", "Store.fetch_one", "View()", "View.read_record",
         "View.read_records", "PageReader.read_pages", "IoUringPageReader.read_pages",
         "read_keys"]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("exit")
    rng = random.Random(11)
    (d / "table").mkdir()
    for i in range(4):
        (d / "table" / f"shard_{i}.bin").write_bytes(rng.randbytes(6400))
    (d / "rec.bin").write_bytes(rng.randbytes(512 * 64))
    (d / "rec.manifest.json").write_text('{"slot_bytes": 512}')
    (d / "keys.txt").write_text("".join(f"{rng.randrange(2**64)}\n" for _ in range(500)))
    return d


def exit_statuses(python, files, call, runs, env=None):
    """Exit statuses of `runs` interpreters run at once, and the stderr of
    the first that failed."""
    procs = [subprocess.Popen([python, "-c", CHILD, str(files), call, str(seed)],
                              env=env or child_env(), stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
             for seed in range(runs)]
    statuses, failure = [], ""
    for proc in procs:
        try:
            _, err = proc.communicate(timeout=300)
        except subprocess.TimeoutExpired:
            proc.kill()
            _, err = proc.communicate()
            err = "timed out\n" + err
        statuses.append(proc.returncode)
        if proc.returncode != 0 and not failure:
            failure = err
    return statuses, failure


@pytest.mark.parametrize("call", CALLS)
def test_exit_while_threads_are_inside_a_call(files, call):
    statuses, failure = exit_statuses(sys.executable, files, call, RUNS)
    assert statuses == [0] * RUNS, failure[-2000:]
