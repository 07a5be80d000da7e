"""Helpers for the child interpreters of the fault and memory-limit tests.

A child runs a test's code after `from child_helpers import *` and prints
the dict `out` as JSON on its last line. The fault-injection library, when
preloaded, is reached through ctypes at FAULTINJECT_LIB.
"""

import ctypes
import json
import os
import sys
import threading
import time

_lib_path = os.environ.get("FAULTINJECT_LIB")
_FI = ctypes.CDLL(_lib_path) if _lib_path else None
if _FI is not None:
    _FI.fi_arm.argtypes = [ctypes.c_char_p]
    _FI.fi_arm.restype = ctypes.c_int
    _FI.fi_injected.restype = ctypes.c_long
    _FI.fi_rule_injected.restype = ctypes.c_long
    _FI.fi_seen.restype = ctypes.c_long

# Faults injected by this child: [entry point, rule, failures made], one
# row per rule armed.
_tally = []
_armed = None  # [entry point, spec] of the rules armed now


def _count_armed():
    global _armed
    if _armed is not None:
        entry, spec = _armed
        for i, rule in enumerate(r for r in spec.split(";") if r):
            _tally.append([entry, rule, _FI.fi_rule_injected(i)])
    _armed = None


class _Bypass:
    """Within it, this thread's own calls are not seen by the rules."""

    def __enter__(self):
        if _FI is not None:
            _FI.fi_bypass(1)

    def __exit__(self, *exc):
        if _FI is not None:
            _FI.fi_bypass(0)


bypass = _Bypass()


def _bypassing(fn):
    def inspect(*args):
        with bypass:
            return fn(*args)
    inspect.__doc__ = fn.__doc__
    return inspect


def arm(spec, entry="(setup)"):
    """Arms the rules of `spec`; their failures are tallied for `entry`."""
    global _armed
    _count_armed()
    if _FI.fi_arm(spec.encode()) != 0:
        raise ValueError(f"bad fault rule: {spec}")
    _armed = [entry, spec]


def disarm():
    _count_armed()
    _FI.fi_disarm()


def injected():
    return _FI.fi_injected()


def seen():
    return _FI.fi_seen()


def outcome(call):
    """["ok", value] for a call that returns, else [exception type, message]."""
    try:
        return ["ok", call()]
    except BaseException as e:  # InternalFault derives from BaseException
        return [type(e).__name__, str(e)]


def under(entry, spec, call):
    """Runs call() with `spec` armed; returns its outcome, with the value of a
    successful call kept as is. The failures made are tallied for `entry`."""
    arm(spec, entry)
    try:
        result = outcome(call)
    finally:
        made = injected()
        disarm()
    return result + [made]


@_bypassing
def fd_count():
    return len(os.listdir("/proc/self/fd"))


@_bypassing
def fd_of(path):
    """The lowest descriptor of this process open on `path`."""
    target = os.path.realpath(path)
    fds = []
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == target:
                fds.append(int(name))
        except OSError:
            pass
    return min(fds)


@_bypassing
def open_pages(path):
    """(the bytes of file `path`, a descriptor open on it for reading)."""
    with open(path, "rb") as f:
        data = f.read()
    return data, os.open(path, os.O_RDONLY)


@_bypassing
def ring_fds():
    """Descriptors of io_uring instances open in this process."""
    count = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{name}") == "anon_inode:[io_uring]"
        except OSError:
            pass
    return count


@_bypassing
def ring_mappings():
    with open("/proc/self/maps") as f:
        return sum("io_uring" in line for line in f)


@_bypassing
def pool_threads():
    """Sorted names of the worker pool's threads alive in this process."""
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                name = f.read().rstrip("\n")
        except OSError:
            continue
        if name.startswith("larkspur-io-"):
            names.append(name)
    return sorted(names)


@_bypassing
def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
        "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _Mallinfo2


@_bypassing
def heap_bytes():
    """Bytes the C allocator has handed out and not had back, over all its
    arenas; None where that cannot be known (a sanitizer's allocator)."""
    if _mallinfo2 is None or "libasan" in os.environ.get("LD_PRELOAD", ""):
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def growth(call, rounds, warmup=500):
    """Runs call() warmup times, then `rounds` times; returns the growth of
    [descriptors, heap bytes (or None), RSS KiB] over the measured rounds."""
    for _ in range(warmup):
        call()
    fds, heap, rss = fd_count(), heap_bytes(), rss_kib()
    for _ in range(rounds):
        call()
    heap_after = heap_bytes()
    return [fd_count() - fds,
            None if heap is None else heap_after - heap,
            rss_kib() - rss]


def heartbeat_pause(call, interval=0.001):
    """Runs call() while another thread ticks every `interval` seconds and
    returns (the longest pause in seconds between ticks while the call ran,
    counting from its start and up to its end, the call's duration). A call
    that holds the interpreter lock throughout pauses the ticks for its
    whole duration. An exception of call() is raised once the ticker is
    stopped."""
    ticks = []
    stop = threading.Event()

    def beat():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(interval)

    ticker = threading.Thread(target=beat, daemon=True)
    ticker.start()
    while not ticks:
        time.sleep(interval)
    start = time.perf_counter()
    try:
        call()
    finally:
        end = time.perf_counter()
        stop.set()
        ticker.join()
    during = [start] + [t for t in ticks if start < t < end] + [end]
    return max(b - a for a, b in zip(during, during[1:])), end - start


@_bypassing
def evict(fd):
    """Drops the clean pages of `fd`'s file from the page cache, so that the
    next reads of it go to the device."""
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)


def until_device_reads(table, rows, cold, attempt, tries=50):
    """attempt() after cold(), until all its `rows` distinct rows were read
    from the device (by the Table's ring or pool): its last outcome. The
    pass that reads from the page cache without waiting may yet fill an
    uncached page itself on a fast device, leaving reads no fault hits."""
    for _ in range(tries):
        cold()
        before = table.stats()["rows_by_workers"]
        result = attempt()
        if table.stats()["rows_by_workers"] - before == rows:
            break
    return result


def report(out):
    if _FI is not None:
        _count_armed()
    out["_tally"] = _tally
    sys.stdout.write("\n" + json.dumps(out) + "\n")


def deny_syscall(number, err):
    """From now on, system call `number` fails with `err` in this process
    and its children: a seccomp filter, as container runtimes install."""
    import struct
    ld_abs, jeq, ret = 0x20, 0x15, 0x06  # BPF_LD|BPF_W|BPF_ABS, BPF_JMP|BPF_JEQ|BPF_K, BPF_RET
    audit_arch_x86_64, ret_allow, ret_errno = 0xC000003E, 0x7FFF0000, 0x00050000
    program = [(ld_abs, 0, 0, 4),                      # the architecture
               (jeq, 0, 3, audit_arch_x86_64),
               (ld_abs, 0, 0, 0),                      # the call's number
               (jeq, 0, 1, number),
               (ret, 0, 0, ret_errno | err),
               (ret, 0, 0, ret_allow)]
    filters = b"".join(struct.pack("HBBI", *f) for f in program)
    buf = ctypes.create_string_buffer(filters, len(filters))

    class Prog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    prog = Prog(len(program), ctypes.addressof(buf))
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_no_new_privs, pr_set_seccomp, seccomp_mode_filter = 38, 22, 2
    if (libc.prctl(pr_set_no_new_privs, 1, 0, 0, 0) != 0 or
            libc.prctl(pr_set_seccomp, seccomp_mode_filter, ctypes.byref(prog), 0, 0) != 0):
        raise OSError(ctypes.get_errno(), "seccomp filter refused")


def table_rows(where, ids, shards=4, rows=100, width=64):
    """(the bytes of rows `ids` of the table in where/table, a function that
    drops its shard files from the page cache)."""
    paths = [f"{where}/table/shard_{i}.bin" for i in range(shards)]
    data = [open(p, "rb").read() for p in paths]
    expected = b"".join(data[r // rows][r % rows * width:][:width] for r in ids)
    fds = [os.open(p, os.O_RDONLY) for p in paths]

    def cold():
        for fd in fds:
            os.fdatasync(fd)
            evict(fd)
    return expected, cold
