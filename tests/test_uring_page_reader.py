"""IoUringPageReader: the backend probe, the per-thread ring and the
positional-read fallback where io_uring is unavailable."""

import ctypes
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _larkspur
from _larkspur import IoUringPageReader

PAGE = 4096
PAGES = 1024


def kernel_gives_rings():
    """Whether io_uring_setup works here, asked without the module."""
    libc = ctypes.CDLL(None, use_errno=True)
    params = ctypes.create_string_buffer(120)
    fd = libc.syscall(425, 8, params)
    if fd < 0:
        return False
    os.close(fd)
    return True


HAVE_RINGS = kernel_gives_rings()
needs_rings = pytest.mark.skipif(not HAVE_RINGS,
                                 reason="the kernel refuses io_uring rings")


@pytest.fixture(scope="module")
def data_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("uring") / "data.bin"
    path.write_bytes(random.Random(2).randbytes(PAGES * PAGE))
    return path


@pytest.fixture(scope="module")
def data_file(data_path):
    fd = os.open(data_path, os.O_RDONLY)
    yield fd
    os.close(fd)


def ring_fds():
    n = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == "anon_inode:[io_uring]":
                n += 1
        except OSError:
            pass  # the directory's own descriptor, gone already
    return n


def wait_for_ring_fds(n, timeout=10.0):
    """A thread's ring closes when the thread really exits, which can be a
    moment after join() returns."""
    deadline = time.monotonic() + timeout
    while ring_fds() != n and time.monotonic() < deadline:
        time.sleep(0.01)
    return ring_fds()


def random_call(fd, n, seed):
    rng = random.Random(seed)
    offsets = [rng.randrange(PAGES) * PAGE for _ in range(n)]
    return [fd] * n, offsets


def expected(fds, offsets):
    return [os.pread(fd, PAGE, off) for fd, off in zip(fds, offsets)]


def test_backend_reflects_the_kernel():
    backend = IoUringPageReader().backend
    assert backend == ("io_uring" if HAVE_RINGS else "pread")
    # Fixed for the process, whatever the object or the thread.
    assert IoUringPageReader(1).backend == backend
    box = []
    t = threading.Thread(target=lambda: box.append(IoUringPageReader().backend))
    t.start()
    t.join()
    assert box == [backend]


@needs_rings
def test_failed_batch_then_success_on_one_thread(data_file, tmp_path):
    reader = IoUringPageReader()
    reader.read_pages([], [])
    before = ring_fds()
    short = tmp_path / "short.bin"
    short.write_bytes(b"x" * 100)
    short_fd = os.open(short, os.O_RDONLY)
    try:
        # Failures at the front, the middle and the end of batches, each
        # with many good reads of the same batch still in flight.
        bad_calls = []
        for failing, fd, offset in [(0, -1, 0), (255, -1, 0), (299, short_fd, 100),
                                    (400, data_file, PAGES * PAGE)]:
            fds, offsets = random_call(data_file, 600, failing)
            fds[failing], offsets[failing] = fd, offset
            bad_calls.append((fds, offsets))
        for fds, offsets in bad_calls:
            with pytest.raises(OSError) as e:
                reader.read_pages(fds, offsets)
            assert e.value.args[0] in ("Bad file descriptor (os error 9)",
                                       "EOF while reading page")
            # A leftover completion of the failed call would be taken for
            # a page of this one.
            fds, offsets = random_call(data_file, 600, 99)
            assert reader.read_pages(fds, offsets) == expected(fds, offsets)
        assert ring_fds() == before
    finally:
        os.close(short_fd)


@needs_rings
def test_two_threads_each_own_a_ring_until_they_end(data_file):
    reader = IoUringPageReader()
    base = ring_fds()
    both_read = threading.Barrier(3)
    counted = threading.Barrier(3)
    results = {}

    def work(n):
        # An empty call creates the thread's ring as well.
        fds, offsets = random_call(data_file, n, n)
        results[n] = reader.read_pages(fds, offsets) == expected(fds, offsets)
        both_read.wait()
        counted.wait()

    threads = [threading.Thread(target=work, args=(n,)) for n in (0, 600)]
    for t in threads:
        t.start()
    both_read.wait()
    during = ring_fds()
    counted.wait()
    for t in threads:
        t.join()
    assert results == {0: True, 600: True}
    assert during == base + 2
    assert wait_for_ring_fds(base) == base


# --- io_uring refused by the kernel --------------------------------------

# Makes io_uring_setup fail with ENOSYS for this process, as container
# runtimes do with a seccomp profile.
DENY_IO_URING = textwrap.dedent("""
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)

    class SockFilter(ctypes.Structure):
        _fields_ = [("code", ctypes.c_ushort), ("jt", ctypes.c_ubyte),
                    ("jf", ctypes.c_ubyte), ("k", ctypes.c_uint)]

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort),
                    ("filter", ctypes.POINTER(SockFilter))]

    LD_W_ABS, JEQ_K, RET_K = 0x20, 0x15, 0x06
    program = (SockFilter * 4)(
        SockFilter(LD_W_ABS, 0, 0, 0),              # the syscall number
        SockFilter(JEQ_K, 0, 1, 425),               # io_uring_setup?
        SockFilter(RET_K, 0, 0, 0x00050000 | 38),   # SECCOMP_RET_ERRNO|ENOSYS
        SockFilter(RET_K, 0, 0, 0x7fff0000),        # SECCOMP_RET_ALLOW
    )
    fprog = SockFprog(len(program), program)
    ulong = ctypes.c_ulong
    assert libc.prctl(38, ulong(1), ulong(0), ulong(0), ulong(0)) == 0
    assert libc.prctl(22, ulong(2), ctypes.byref(fprog), ulong(0),
                      ulong(0)) == 0
""")


def run_child(body, data_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(_larkspur.__file__)
    script = f"DATA = {str(data_path)!r}\n" + body
    done = subprocess.run([sys.executable, "-c", script], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_falls_back_to_pread_where_io_uring_is_refused(data_path):
    out = run_child(DENY_IO_URING + textwrap.dedent("""
        import os, random
        import _larkspur
        fd = os.open(DATA, os.O_RDONLY)
        reader = _larkspur.IoUringPageReader()
        assert reader.read_pages([], []) == []
        assert reader.backend == "pread"
        rng = random.Random(3)
        for n in (1, 255, 256, 257, 600):
            offsets = [rng.randrange(1024) * 4096 for _ in range(n)]
            got = reader.read_pages([fd] * n, offsets)
            assert got == [os.pread(fd, 4096, o) for o in offsets]
        assert reader.read_pages([fd], [1024 * 4096 - 10]) == [
            os.pread(fd, 10, 1024 * 4096 - 10)]
        for fds, offsets in (([fd, -1], [0, 0]), ([fd], [1024 * 4096]),
                             ([fd], [1 << 63])):
            try:
                reader.read_pages(fds, offsets)
            except OSError as e:
                print(e.args[0])
        links = [os.readlink(f"/proc/self/fd/{n}")
                 for n in os.listdir("/proc/self/fd")
                 if os.path.exists(f"/proc/self/fd/{n}")]
        assert "anon_inode:[io_uring]" not in links, links
    """), data_path)
    assert out.splitlines() == ["Bad file descriptor (os error 9)",
                                "EOF while reading page",
                                "Invalid argument (os error 22)"]


@needs_rings
def test_thread_ring_refused_after_a_good_probe_fails_the_call(data_path):
    # The probe already chose io_uring, so there is no fallback: each call
    # on a thread without a ring tries again and reports the failure.
    out = run_child(textwrap.dedent("""
        import os
        import _larkspur
        fd = os.open(DATA, os.O_RDONLY)
        reader = _larkspur.IoUringPageReader()
        assert reader.backend == "io_uring"
    """) + DENY_IO_URING + textwrap.dedent("""
        for fds, offsets in (([], []), ([fd], [0])):
            try:
                reader.read_pages(fds, offsets)
            except OSError as e:
                print(e.args[0])
        assert reader.backend == "io_uring"
        assert _larkspur.PageReader().read_pages([fd], [0]) == [
            os.pread(fd, 4096, 0)]
    """), data_path)
    assert out.splitlines() == [
        "IoUring::new: Function not implemented (os error 38)"] * 2


@needs_rings
def test_forked_child_makes_its_own_ring(data_path):
    # A ring inherited through fork shares its queues with the parent; used
    # by both at once it mixes their requests up.
    out = run_child(textwrap.dedent("""
        import os, random, signal
        import _larkspur
        signal.alarm(60)
        fd = os.open(DATA, os.O_RDONLY)
        reader = _larkspur.IoUringPageReader()
        reader.read_pages([fd], [0])

        def ring_fds():
            return sum(os.readlink(f"/proc/self/fd/{n}") == "anon_inode:[io_uring]"
                       for n in os.listdir("/proc/self/fd")
                       if os.path.exists(f"/proc/self/fd/{n}"))

        pid = os.fork()
        rng = random.Random(os.getpid())
        ok = True
        for _ in range(200):
            offsets = [rng.randrange(1024) * 4096 for _ in range(300)]
            try:
                ok &= reader.read_pages([fd] * 300, offsets) == [
                    os.pread(fd, 4096, o) for o in offsets]
            except OSError:
                ok = False
        if pid == 0:
            os._exit(0 if ok and ring_fds() == 1 else 1)
        _, status = os.waitpid(pid, 0)
        print(ok, os.waitstatus_to_exitcode(status), ring_fds())
    """), data_path)
    assert out.split() == ["True", "0", "1"]
