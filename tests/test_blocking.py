"""Calls that wait on the system: no open or read blocks forever or reads
without bound, and every call lets other Python threads run while it waits.

Both run in child interpreters: the faults they guard against are a hang
with the interpreter lock held and a process that never comes back.
"""

import errno
import json
import os
import socket

import pytest

from conftest import run_child_code


def os_error(code):
    return ["OSError", f"{os.strerror(code)} (os error {code})"]


ESPIPE, EINVAL = os_error(errno.ESPIPE), os_error(errno.EINVAL)
EISDIR, ELOOP = os_error(errno.EISDIR), os_error(errno.ELOOP)


@pytest.fixture(scope="module")
def special(tmp_path_factory):
    """Files of every kind a caller may hand over by mistake: a FIFO without
    a writer, a character device that never ends, a directory, a symlink
    loop, and an oversized manifest."""
    d = tmp_path_factory.mktemp("special")
    os.mkfifo(d / "fifo")
    os.symlink("/dev/zero", d / "zero")
    (d / "dir").mkdir()
    os.symlink(d / "loop", d / "loop")
    return d


# What each call makes of each kind of file; "defaults" is a View that
# ignored its manifest (2560-byte records).
CASES = [
    ("Store", "fifo", ESPIPE),
    ("Store", "zero", EINVAL),
    ("Store", "dir", EISDIR),
    ("Store", "loop", ELOOP),
    ("Store", "loop+badge", ["ok", "badge"]),  # the fallback still wins
    ("View", "fifo", ESPIPE),
    ("View", "zero", EINVAL),
    ("View", "dir", EISDIR),
    ("manifest", "fifo", ["ok", "defaults"]),
    ("manifest", "zero", ["ok", "defaults"]),
    ("manifest", "dir", ["ok", "defaults"]),
    ("manifest", "big", ["ok", "defaults"]),
    ("manifest", "small", ["ok", "read"]),
    ("read_keys", "fifo", ESPIPE),
    ("read_keys", "zero", EINVAL),
    ("read_keys", "dir", EISDIR),
]

SPECIAL = """
import shutil
d, cases = sys.argv[1], json.loads(sys.argv[2])
def place(kind, where):
    if kind == "big":  # valid JSON, past the size bound
        with open(where, "w") as f:
            f.write('{"slot_bytes": 100, "pad": "' + "x" * (1 << 20) + '"}')
    elif kind == "small":
        with open(where, "w") as f:
            f.write('{"slot_bytes": 100}')
    else:
        os.symlink(os.path.join(d, kind.split("+")[0]), where)
def run(entry, kind):
    t = os.path.join(d, f"{entry}-{kind}")
    os.mkdir(t)
    if entry == "Store":
        place(kind, os.path.join(t, "shard_0.bin"))
        if kind.endswith("+badge"):
            with open(os.path.join(t, "badge_0.bin"), "wb") as f:
                f.write(b"B" * 8)
        return Store(t, 1, 1, 8).fetch_one(0) == b"B" * 8 and "badge"
    if entry == "View":
        place(kind, os.path.join(t, "rec.bin"))
        return View(os.path.join(t, "rec.bin")).len()
    if entry == "manifest":
        with open(os.path.join(t, "rec.bin"), "wb") as f:
            f.write(bytes(2560 * 3))
        place(kind, os.path.join(t, "rec.manifest.json"))
        slot = View(os.path.join(t, "rec.bin")).slot_bytes()
        return {2560: "defaults", 100: "read"}.get(slot, slot)
    place(kind, os.path.join(t, "keys.txt"))
    return read_keys(os.path.join(t, "keys.txt"))
out["outcomes"] = [outcome(lambda: run(*case)) for case in cases]
"""


@pytest.fixture(scope="module")
def special_outcomes(special):
    # One child for every case: before the mend the first FIFO hung it.
    cases = [[entry, kind] for entry, kind, _ in CASES]
    out = run_child_code(SPECIAL, args=(special, json.dumps(cases)), timeout=120)
    return dict(zip(map(tuple, cases), out["outcomes"]))


@pytest.mark.parametrize("entry, kind, expected", CASES,
                         ids=[f"{e}-{k}" for e, k, _ in CASES])
def test_special_files_fail_at_once_or_are_ignored(special_outcomes, entry, kind,
                                                   expected):
    assert special_outcomes[entry, kind] == expected


def test_socket_shard_still_fails_to_open(tmp_path):
    # open(2) refuses a socket itself; nothing new to wait on there.
    import _larkspur
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(tmp_path / "shard_0.bin"))
    try:
        with pytest.raises(OSError) as e:
            _larkspur.Store(str(tmp_path), 1, 1, 8)
    finally:
        sock.close()
    assert e.value.args == ("No such device or address (os error 6)",)


# --- the interpreter lock ------------------------------------------------------

# Each call is made slow by delaying its system calls (a slow disk); a
# thread ticking every millisecond must keep ticking meanwhile.
HEARTBEAT = """
d, name = sys.argv[1], sys.argv[2]
for i in range(8):
    with open(f"{d}/shard_{i}.bin", "wb") as f:
        f.write(bytes(64 * 100))
with open(f"{d}/rec.bin", "wb") as f:
    f.write(os.urandom(512 * 1000))
with open(f"{d}/rec.manifest.json", "w") as f:
    f.write('{"slot_bytes": 512}')
with open(f"{d}/keys.txt", "w") as f:
    f.write("".join(f"{k}\\n" for k in range(20000)))
view = View(f"{d}/rec.bin")
view.read_records(range(40))  # the pool is running
rec = fd_of(f"{d}/rec.bin")
calls = {
    "Store()": ("call=open,path=shard_,count=0,delay=25000",
                lambda: Store(d, 8, 100, 64)),
    "View()": ("call=open,path=rec.bin,delay=300000", lambda: View(f"{d}/rec.bin")),
    "View.read_record": (f"call=pread,fd={rec},delay=300000",
                         lambda: view.read_record(7)),
    "View.read_records": (f"call=pread,fd={rec},count=0,delay=5000",
                          lambda: view.read_records(range(1000))),
    "read_keys": ("call=read,count=0,delay=25000",
                  lambda: read_keys(f"{d}/keys.txt")),
}
spec, call = calls[name]
arm(spec, name)
try:
    out["pause"], out["duration"] = heartbeat_pause(call)
finally:
    disarm()
"""


@pytest.mark.parametrize(
    "name", ["Store()", "View()", "View.read_record", "View.read_records", "read_keys"])
def test_other_threads_run_while_a_call_waits(faulty, tmp_path, name):
    out = faulty(HEARTBEAT, tmp_path, name)
    # Held through the call, the lock would stop the ticks for all of it.
    assert out["duration"] > 0.15
    assert out["pause"] < out["duration"] / 2, out
