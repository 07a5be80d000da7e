"""Behaviour shared by PageReader and IoUringPageReader (and PageReader's own
thread binding)."""

import gc
import os
import random
import threading
import tracemalloc

import pytest

import _larkspur
from _larkspur import InternalFault, IoUringPageReader, PageReader
from conftest import run_child_code, under_asan

# Pages of 2 to 8 GiB: the release pass reads them; under the address
# sanitizer, allocating and poisoning that much memory alone takes seconds.
huge_pages = pytest.mark.skipif(under_asan(), reason="pages of gigabytes: the release pass")

READERS = [PageReader, IoUringPageReader]
reader_classes = pytest.mark.parametrize(
    "cls", READERS, ids=lambda c: c.__name__)

PAGE = 4096
FILE_SIZE = 700 * PAGE + 1808  # the last page is short


@pytest.fixture(scope="module")
def data_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("pages") / "data.bin"
    path.write_bytes(random.Random(1).randbytes(FILE_SIZE))
    fd = os.open(path, os.O_RDONLY)
    yield fd
    os.close(fd)


@pytest.fixture
def small_file(tmp_path):
    """A 10,000-byte file: pages of 4096, 4096 and 1808 bytes."""
    path = tmp_path / "small.bin"
    path.write_bytes(bytes(range(256)) * 39 + bytes(16))
    fd = os.open(path, os.O_RDONLY)
    yield fd
    os.close(fd)


@pytest.fixture(scope="module")
def cold_path(tmp_path_factory):
    """16 MiB of random pages, for reads evicted from the page cache first."""
    path = tmp_path_factory.mktemp("cold") / "cold.bin"
    path.write_bytes(random.Random(4).randbytes(16 << 20))
    return path


def expected(fds, offsets, page_size=PAGE):
    return [os.pread(fd, page_size, off) for fd, off in zip(fds, offsets)]


# --- construction --------------------------------------------------------

@reader_classes
@pytest.mark.parametrize("size", [1, 4096, 1 << 63])
def test_accepts_every_power_of_two(cls, size):
    assert isinstance(cls(size), cls)
    assert isinstance(cls(page_size=size), cls)


@reader_classes
@pytest.mark.parametrize("size", [0, 3, 4097, (1 << 64) - 1])
def test_refuses_other_page_sizes(cls, size):
    with pytest.raises(ValueError) as e:
        cls(size)
    assert e.value.args == ("page_size must be a positive power of two",)


@reader_classes
def test_default_page_size_is_4096(cls, data_file):
    assert [len(p) for p in cls().read_pages([data_file], [0])] == [PAGE]


def test_class_surface():
    assert PageReader.__text_signature__ == "(page_size=4096)"
    assert PageReader.__doc__ == (
        "Page reader with the common `read_pages(fds, offsets)` call shape "
        "of engine page readers.\n\n"
        "This is a pread-based implementation (Unix); it is a useful "
        "integration point\n"
        "for engines that already have raw file descriptors and offset lists.")
    assert IoUringPageReader.__text_signature__ == "(page_size=4096)"
    assert IoUringPageReader.__doc__ == (
        "Linux io_uring-backed page reader with the same Python API shape as\n"
        "`PageReader.read_pages(fds, offsets)`.\n\n"
        "This batches all requests in one ring submission per call (up to "
        "256 at a\n"
        "time), which is the intended path for Linux inference hosts.  The "
        "ring is\n"
        "kept thread-local so repeated calls reuse the same io_uring "
        "instance.")
    assert IoUringPageReader.backend.__doc__ == (
        "实际生效的后端：`\"io_uring\"` 或 `\"pread\"`（容器里通常是后者）。")
    for cls in READERS:
        assert cls.read_pages.__text_signature__ == (
            "($self, file_descriptors, offsets)")
        assert cls.read_pages.__doc__ is None
        assert cls.__module__ == "builtins"
    assert _larkspur.__all__.index("IoUringPageReader") == (
        _larkspur.__all__.index("PageReader") + 1)


# --- argument errors -----------------------------------------------------

@reader_classes
def test_empty_request_gives_empty_list(cls):
    assert cls().read_pages([], []) == []
    assert cls().read_pages(file_descriptors=(), offsets=range(0)) == []


@reader_classes
@pytest.mark.parametrize("fds, offsets", [([3], []), ([], [0]), ([3, 3], [0])])
def test_length_mismatch(cls, fds, offsets):
    with pytest.raises(ValueError) as e:
        cls().read_pages(fds, offsets)
    assert e.value.args == (
        "file_descriptors and offsets must have the same length",)


# --- results -------------------------------------------------------------

@reader_classes
@pytest.mark.parametrize("n", [1, 255, 256, 257, 600])
def test_pages_equal_pread(cls, data_file, n):
    rng = random.Random(n)
    offsets = [rng.randrange(FILE_SIZE // PAGE + 1) * PAGE for _ in range(n)]
    offsets[-1] = FILE_SIZE - 1808  # a short page somewhere in every call
    rng.shuffle(offsets)
    fds = [data_file] * n
    assert cls().read_pages(fds, offsets) == expected(fds, offsets)


@reader_classes
@pytest.mark.parametrize("page_size", [1, 8192])
def test_other_page_sizes_and_unaligned_offsets(cls, data_file, page_size):
    rng = random.Random(page_size)
    offsets = [rng.randrange(FILE_SIZE) for _ in range(40)]
    fds = [data_file] * 40
    assert (cls(page_size).read_pages(fds, offsets)
            == expected(fds, offsets, page_size))


@reader_classes
def test_short_last_page(cls, small_file):
    pages = cls().read_pages([small_file] * 3, [0, 4096, 8192])
    assert [len(p) for p in pages] == [4096, 4096, 1808]
    assert b"".join(pages) == os.pread(small_file, 10_000, 0)


@huge_pages
@reader_classes
@pytest.mark.parametrize("page_size", [1 << 32, 1 << 33])
def test_page_size_beyond_a_32_bit_length_is_not_truncated(cls, small_file,
                                                           page_size):
    # A truncated request length would read 0 bytes (EOF) instead.
    pages = cls(page_size).read_pages([small_file, small_file], [0, 9000])
    assert pages == [os.pread(small_file, 10_000, 0),
                     os.pread(small_file, 1000, 9000)]


# --- failures ------------------------------------------------------------

@reader_classes
@pytest.mark.parametrize("offsets", [[10_000], [0, 4096, 10_000], [20_000, 0]])
def test_page_at_or_past_end_fails_the_call(cls, small_file, offsets):
    with pytest.raises(OSError) as e:
        cls().read_pages([small_file] * len(offsets), offsets)
    assert e.value.args == ("EOF while reading page",)
    assert e.value.errno is None


@reader_classes
def test_bad_descriptor(cls, data_file, tmp_path):
    closed = os.open(tmp_path, os.O_RDONLY)
    os.close(closed)
    for fds in ([closed], [-1], [data_file, -1, data_file]):
        with pytest.raises(OSError) as e:
            cls().read_pages(fds, [0] * len(fds))
        assert type(e.value) is OSError
        assert e.value.args == ("Bad file descriptor (os error 9)",)


@reader_classes
@pytest.mark.parametrize("offset", [1 << 63, (1 << 64) - 4096, (1 << 64) - 1])
def test_negative_file_offsets_fail_and_never_move_the_descriptor(
        cls, data_file, offset):
    os.lseek(data_file, 100, os.SEEK_SET)
    try:
        with pytest.raises(OSError) as e:
            cls().read_pages([data_file, data_file], [0, offset])
        assert e.value.args == ("Invalid argument (os error 22)",)
        assert os.lseek(data_file, 0, os.SEEK_CUR) == 100
    finally:
        os.lseek(data_file, 0, os.SEEK_SET)


@reader_classes
@pytest.mark.parametrize("page_size", [1 << 62, 1 << 63])
def test_unobtainable_page_buffers_raise_memory_error(cls, data_file,
                                                      page_size):
    reader = cls(page_size)
    with pytest.raises(MemoryError):
        reader.read_pages([data_file] * 3, [0, 0, 0])
    assert cls().read_pages([data_file], [0]) == expected([data_file], [0])


# Descriptors of every kind, each read by both readers as the middle page
# of three; a child, since a read that waits for data would never return.
DESCRIPTORS = """
import select, socket
path = sys.argv[1]
good = os.open(path, os.O_RDONLY)
kinds = {}
r, w = os.pipe()
os.write(w, b"p" * 5000)
kinds["pipe"] = r
kinds["empty pipe"], _ = os.pipe()
a, b = socket.socketpair()
b.send(b"s" * 100)
kinds["socket"] = a.fileno()
os.mkfifo(path + ".fifo")
kinds["fifo"] = os.open(path + ".fifo", os.O_RDONLY | os.O_NONBLOCK)
kinds["eventfd"] = os.eventfd(0)
poll = select.epoll()
kinds["epoll"] = poll.fileno()
kinds["/dev/zero"] = os.open("/dev/zero", os.O_RDONLY)
kinds["directory"] = os.open(os.path.dirname(path), os.O_RDONLY)
kinds["write-only"] = os.open(path, os.O_WRONLY)
kinds["O_PATH"] = os.open(path, os.O_PATH)
kinds["not open"] = max(int(n) for n in os.listdir("/proc/self/fd")) + 100
ring_reader = IoUringPageReader()
ring_reader.read_pages([], [])  # this thread's ring
for n in os.listdir("/proc/self/fd"):
    if os.path.exists(f"/proc/self/fd/{n}") and (
            os.readlink(f"/proc/self/fd/{n}") == "anon_inode:[io_uring]"):
        kinds["own ring"] = int(n)
kinds.setdefault("own ring", kinds["epoll"])  # no rings here
for kind in ("PageReader", "IoUringPageReader"):
    reader = getattr(_larkspur, kind)()
    for name, fd in kinds.items():
        res = outcome(lambda: reader.read_pages([good, fd, good], [0, 4096, 8192]))
        if res[0] == "ok":
            res = ["ok", [len(p) for p in res[1]], res[1][1] == bytes(len(res[1][1]))]
        out[f"{kind} {name}"] = res
    # The first descriptor that cannot be read decides, in input order.
    out[f"{kind} order"] = [
        outcome(lambda: reader.read_pages(fds, [0, 0]))[1]
        for fds in ([kinds["not open"], r], [r, kinds["not open"]])]
os.set_blocking(r, False)
out["pipe left"] = len(os.read(r, 10_000))
out["socket left"] = len(a.recv(1000, socket.MSG_DONTWAIT))
"""

ESPIPE = ["OSError", "Illegal seek (os error 29)"]
EBADF = ["OSError", "Bad file descriptor (os error 9)"]


@pytest.fixture(scope="module")
def descriptor_outcomes(tmp_path_factory):
    path = tmp_path_factory.mktemp("kinds") / "data.bin"
    path.write_bytes(random.Random(6).randbytes(4 * PAGE))
    return run_child_code(DESCRIPTORS, args=(path,), timeout=60)


@reader_classes
@pytest.mark.parametrize("kind, expected", [
    # Streams take no positional reads: both readers fail at once, read
    # nothing from them and never hand them to the ring.
    ("pipe", ESPIPE), ("empty pipe", ESPIPE), ("socket", ESPIPE), ("fifo", ESPIPE),
    ("eventfd", ESPIPE), ("epoll", ESPIPE), ("own ring", ESPIPE),
    ("/dev/zero", ["ok", [PAGE] * 3, True]),
    ("directory", ["OSError", "Is a directory (os error 21)"]),
    ("write-only", EBADF), ("O_PATH", EBADF), ("not open", EBADF),
])
def test_descriptors_of_every_kind_read_as_pread_reads_them(
        descriptor_outcomes, cls, kind, expected):
    assert descriptor_outcomes[f"{cls.__name__} {kind}"] == expected


@reader_classes
def test_first_unreadable_descriptor_decides_the_error(descriptor_outcomes, cls):
    assert descriptor_outcomes[f"{cls.__name__} order"] == [EBADF[1], ESPIPE[1]]


def test_streams_are_left_unread(descriptor_outcomes):
    assert descriptor_outcomes["pipe left"] == 5000
    assert descriptor_outcomes["socket left"] == 100


@huge_pages
@reader_classes
def test_page_of_2_gib_is_read_whole(cls):
    # No single read returns more than 2 GiB - 4 KiB: a page of 2 GiB in the
    # middle of a file takes two, and a short first read is not its end.
    # The file is sparse and in memory (its holes read as the zero page).
    page = 1 << 31
    if os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") < page + (1 << 30):
        pytest.skip("needs 3 GiB of free memory for a page of 2 GiB")
    fd = os.memfd_create("sparse")
    got = None
    try:
        os.ftruncate(fd, PAGE + page + 100)
        os.pwrite(fd, b"last8B!!", PAGE + page - 8)
        got = cls(page).read_pages([fd], [PAGE])
        assert [len(p) for p in got] == [page]
        assert got[0][-8:] == b"last8B!!"
        assert got[0][page - PAGE - 8:page - PAGE + 8] == bytes(16)
    finally:
        del got
        os.close(fd)


# Many cold calls under a 2 ms interval timer with a Python handler: the
# signals interrupt the waits for the device, never the calls.
SIGNAL_STORM = """
import random, signal
fd = os.open(sys.argv[1], os.O_RDONLY)
pages = os.fstat(fd).st_size // 4096
rng = random.Random(9)
handled = [0]
signal.signal(signal.SIGALRM, lambda *a: handled.__setitem__(0, handled[0] + 1))
for kind in ("PageReader", "IoUringPageReader"):
    reader = getattr(_larkspur, kind)()
    reader.read_pages([], [])
    results = []
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    for _ in range(int(sys.argv[2])):
        offsets = [rng.randrange(pages) * 4096 for _ in range(256)]
        evict(fd)
        got = outcome(lambda: reader.read_pages([fd] * 256, offsets))
        results.append(got if got[0] != "ok" else
                       got[1] == [os.pread(fd, 4096, o) for o in offsets])
    signal.setitimer(signal.ITIMER_REAL, 0)
    out[kind] = results
out["handled"] = handled[0]
"""


def test_signal_storm_during_cold_reads(cold_path):
    calls = int(os.environ.get("LARKSPUR_STORM_CALLS", "12"))
    out = run_child_code(SIGNAL_STORM, args=(cold_path, calls), timeout=120)
    assert out["PageReader"] == [True] * calls
    assert out["IoUringPageReader"] == [True] * calls
    assert out["handled"] > 0


# --- threads -------------------------------------------------------------

def run_in_thread(fn):
    box = {}

    def target():
        try:
            box["value"] = fn()
        except BaseException as e:  # InternalFault is a BaseException
            # Without its traceback: the frames would keep `fn` (and the
            # reader it uses) alive in a cycle that a later collection on
            # some other thread would drop.
            box["error"] = e.with_traceback(None)

    t = threading.Thread(target=target)
    t.start()
    t.join()
    return box


def test_page_reader_is_bound_to_its_thread(data_file):
    reader = PageReader()
    box = run_in_thread(lambda: reader.read_pages([data_file], [0]))
    assert type(box["error"]) is InternalFault
    message = str(box["error"])
    assert message.startswith(
        "assertion `left == right` failed: _larkspur::PageReader is "
        "unsendable, but sent to another thread\n  left: ")
    assert "\n right: " in message
    assert reader.read_pages([data_file], [0]) == expected([data_file], [0])


def test_io_uring_page_reader_works_on_any_thread(data_file):
    reader = IoUringPageReader()
    offsets = [i * PAGE for i in range(10)]
    box = run_in_thread(lambda: reader.read_pages([data_file] * 10, offsets))
    assert box["value"] == expected([data_file] * 10, offsets)


# --- resources -----------------------------------------------------------

def open_fds():
    return len(os.listdir("/proc/self/fd"))


def mapping_count():
    with open("/proc/self/maps") as f:
        return sum(1 for _ in f)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@reader_classes
def test_no_growth_over_many_calls_with_failures(cls, data_file, small_file):
    reader, huge = cls(), cls(1 << 62)
    good = ([data_file] * 8, [i * PAGE for i in range(8)])
    calls = [
        good,
        ([small_file] * 3, [0, 4096, 8192]),             # short page
        ([data_file, -1], [0, 0]),                        # EBADF
        ([small_file] * 2, [0, 10_000]),                  # EOF
        ([data_file] * 2, [0, 1 << 63]),                  # EINVAL
        ([data_file], []),                                # length mismatch
    ]

    def run(n):
        for i in range(n):
            fds, offsets = calls[i % len(calls)]
            try:
                reader.read_pages(fds, offsets)
            except (OSError, ValueError):
                pass
            if i % 50 == 0:
                with pytest.raises(MemoryError):
                    huge.read_pages([data_file] * 2, [0, 0])

    run(1000)  # warm up allocator arenas, the thread's ring, caches
    # Earlier tests' objects in cycles (Tables holding files and rings) must
    # not be collected in the middle of the count.
    gc.collect()
    fds, maps, rss = open_fds(), mapping_count(), rss_bytes()
    tracemalloc.start()
    try:
        run(10_000)
        python_bytes, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert open_fds() == fds
    assert mapping_count() <= maps + 4
    # Pages are Python allocations: a leaked page shows up here.
    assert python_bytes < 64 << 10
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        # The sanitizer keeps freed memory in quarantine; elsewhere the
        # process must not grow either.
        assert rss_bytes() - rss < 8 << 20
    assert reader.read_pages(*good) == expected(*good)
