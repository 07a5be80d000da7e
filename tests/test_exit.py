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

# Each call as (setup, call) code; the setup runs in the looping thread,
# since View and PageReader objects belong to the thread that made them.
CALLS = {
    "Store()": ("", "lk.Store(T, 4, 100, 64)"),
    "Store.fetch": ("s = lk.Store(T, 4, 100, 64)", "s.fetch([5, 150, 250, 350, 7, 399])"),
    "Store.fetch_one": ("s = lk.Store(T, 4, 100, 64)", "s.fetch_one(150)"),
    "View()": ("", "lk.View(REC)"),
    "View.read_record": ("v = lk.View(REC)", "v.read_record(3)"),
    "View.read_records": ("v = lk.View(REC)", "v.read_records([1, 9, 17, 33, 60])"),
    "PageReader.read_pages": ("r = lk.PageReader()", "r.read_pages([FD] * 4, [0, 4096, 8192, 0])"),
    "IoUringPageReader.read_pages": ("r = lk.IoUringPageReader()",
                                     "r.read_pages([FD] * 4, [0, 4096, 8192, 0])"),
    "read_keys": ("", "lk.read_keys(D + '/keys.txt')"),
    "Table.gather": ("import larkspur; "
                     "t = larkspur.Table(T, shards=4, rows_per_shard=100, width=64)",
                     "t.gather([5, 150, 250, 350, 7, 399])"),
    "Table.lookup": ("import larkspur, numpy as np; t = larkspur.Table(PLE); "
                     "tok = np.array([[151644, 872, 198], [9707, 11, 1879]])",
                     "t.lookup(tok, tok)"),
    "Table.submit": ("import larkspur; "
                     "t = larkspur.Table(T, shards=4, rows_per_shard=100, width=64)",
                     "t.submit(rowids=[5, 150, 250, 350, 7, 399]).result()"),
}

CHILD = r"""
import os, random, sys, threading, time
import _larkspur as lk

D, SETUP, CALL, SEED = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
T, REC, PLE = D + "/table", D + "/rec.bin", D + "/ple"
FD = os.open(REC, os.O_RDONLY)
started = threading.Semaphore(0)

def loop():
    names = dict(globals())
    exec(SETUP, names)
    call = compile(CALL, "call", "eval")
    eval(call, names)
    started.release()
    while True:
        eval(call, names)

for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
for _ in range(4):
    started.acquire()
# Return at a varying point of the threads' calls.
time.sleep(random.Random(SEED).uniform(0.0, 0.03))
"""


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
    # The n-gram layout's geometry, every row past the end of its file.
    (d / "ple").mkdir()
    for i in range(128):
        (d / "ple" / f"shard_{i}.bin").write_bytes(b"")
    (d / "ple" / "larkspur-table.json").write_text(
        '{"version": 1, "shards": 128, "rows_per_shard": 2500012, "width": 8}')
    return d


def exit_statuses(python, files, call, runs, env=None):
    """Exit statuses of `runs` interpreters run at once, and the stderr of
    the first that failed."""
    procs = [subprocess.Popen([python, "-c", CHILD, str(files), *CALLS[call], str(seed)],
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
