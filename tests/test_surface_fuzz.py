"""Every callable of the module, called with arbitrary arguments.

Arguments come from a pool of awkward objects: ints at every boundary, int
subclasses, bools, floats, None, text, bytes, objects whose ``__index__``,
``__len__`` or ``__iter__`` raise or lie, huge and empty sequences,
generators and dicts, mixed with values that reach the operations. Each
call is checked against a model: binding and conversion follow CPython's
rules, which the model in conftest.py computes from the objects'
descriptions (it never asks the product; test_binding.py holds it to the
module's exact messages), and what the operation returns is compared with a
reference where one is cheap (row ids by larkspur.reference, reads by
os.pread). A call may only raise what the model predicts, so an
undocumented exception, a wrong message or a crash fails the test.

The number of examples per callable is LARKSPUR_SURFACE_FUZZ_EXAMPLES
(default 120); the counts tried are printed at the end of the module.
"""

import array
import collections
import errno
import os
import re
import stat

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import _larkspur
from _larkspur import (
    IoUringPageReader,
    PageReader,
    Store,
    View,
    read_keys,
    rowids_for_seq,
    rowids_for_seq_with_history,
)
from conftest import SIGNATURES, U64_MAX, Index, IterOnly, Outcome, Seq, expect, fails, under_asan
from larkspur import reference

# Index objects that return an int subclass are accepted with a warning.
pytestmark = pytest.mark.filterwarnings(
    "ignore:__index__ returned non-int:DeprecationWarning")

EXAMPLES = int(os.environ.get("LARKSPUR_SURFACE_FUZZ_EXAMPLES", "120"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None,
                suppress_health_check=list(HealthCheck))
TRIED = collections.Counter()

# The module was built with AddressSanitizer: its allocator ends the process
# instead of failing a C++ allocation, so sizes that only a failed C++
# allocation rejects are not tried there.
SANITIZED = under_asan()


class Boom(Exception):
    """Raised by the test objects; must pass through unchanged."""


# ---------------------------------------------------------------------------
# Awkward objects (more in conftest.py).


class LyingInt(int):
    """An int whose own conversions say something else."""

    def __index__(self):
        return 7

    def __int__(self):
        return 7

    def __repr__(self):
        return f"LyingInt({int.__index__(self)})"


# ---------------------------------------------------------------------------
# Strategies.

BOUNDARIES = [0, 1, 2, 2**31 - 1, 2**31, 2**31 + 1, 2**32 - 1, 2**32, 2**32 + 1,
              2**63 - 1, 2**63, 2**63 + 1, 2**64 - 1, 2**64, 2**64 + 1, 2**100,
              -1, -2, -2**31, -2**31 - 1, -2**63, -2**63 - 1, -2**64]

boundary_ints = st.sampled_from(BOUNDARIES)
any_ints = st.one_of(boundary_ints, st.integers(), st.integers(-3, 300))


def exceptions():
    return st.sampled_from([Boom("boom"), TypeError("nope"), OverflowError("big"),
                            ValueError("bad"), MemoryError()])


def index_objects(ints):
    return st.builds(Index, st.one_of(ints, exceptions(), st.just(1.5),
                                      st.just("3"), st.builds(LyingInt, ints),
                                      st.just(True)))


def scalars(ints=any_ints):
    """Single awkward objects, integers or not."""
    return st.one_of(
        ints, st.builds(LyingInt, ints), st.booleans(), index_objects(ints),
        st.floats(allow_nan=True), st.none(), st.text(max_size=8),
        st.binary(max_size=8), st.just(object()), st.complex_numbers(),
        st.sampled_from([np.uint64(3), np.int64(-1), np.float64(2.0), np.int32(5)]))


def huge_ranges(limit):
    """Ranges longer than any vector, or than Py_ssize_t, whose elements
    turn bad at once. (Lengths a vector could hold but memory could not are
    left out: whether they can be reserved depends on the machine.)"""
    return st.one_of(
        st.builds(lambda k: range(limit - k, limit + 2**62), st.integers(0, 3)),
        st.builds(lambda k: range(limit - k, 2**200, 2**70), st.integers(0, 3)),
        st.builds(lambda k: range(-k, -2**200, -2**40), st.integers(1, 3)))


def sequences(elements, limit):
    """Sequences (and things that are not) of `elements`."""
    lists = st.lists(elements, max_size=12)
    lengths = st.one_of(st.integers(0, 20), st.sampled_from([2**61, 2**62, 2**63 - 1]),
                        exceptions(), st.just(-1), st.just("3"))
    stops = st.one_of(st.none(), exceptions())
    return st.one_of(
        lists, lists.map(tuple), st.builds(Seq, lists, lengths, stops),
        st.builds(IterOnly, lists, lengths, stops),
        st.builds(lambda xs: (x for x in xs), lists),
        st.builds(lambda xs: {i: x for i, x in enumerate(xs)}, lists),
        st.builds(set, st.lists(st.integers(0, 9), max_size=4)),
        st.binary(max_size=12), st.binary(max_size=12).map(bytearray),
        st.binary(max_size=12).map(memoryview),
        st.builds(range, st.integers(-3, 5), st.integers(-3, 40)),
        huge_ranges(limit),
        st.lists(st.integers(0, 2**63 - 1), max_size=6).map(lambda xs: array.array("q", xs)),
        st.lists(st.integers(-9, 2**31), max_size=6).map(
            lambda xs: np.array(xs, dtype=np.int64)),
        st.lists(st.integers(0, U64_MAX), max_size=6).map(
            lambda xs: np.array(xs, dtype=np.uint64)),
        st.lists(st.integers(0, 255), max_size=6).map(
            lambda xs: np.array(xs, dtype=np.uint8)[::-1]),
        st.just(np.array(5)), st.just(np.array([1.0, 2.0])),
        st.text(max_size=5), scalars())


def anything(kind, domain):
    """`domain` values (which reach the operation) mixed with awkward ones."""
    if kind.startswith("seq_"):
        limit = {"seq_u64": 2**64, "seq_u32": 2**32, "seq_i32": 2**31}[kind]
        element = st.one_of(domain, scalars()) if domain is not None else scalars()
        junk = sequences(element, limit)
        return st.one_of(st.lists(domain, max_size=12), junk)
    junk = scalars() if kind != "text" else st.one_of(
        st.text(max_size=12), scalars(), st.just("a\0b"), st.just("\ud800"),
        st.builds(type("Path", (str,), {}), st.just("x")))
    return st.one_of(domain, junk) if domain is not None else junk


# ---------------------------------------------------------------------------
# Calls: binding, conversion, then the operation's reference.


def qualified(pattern):
    return re.compile(pattern, re.S)


class Param:
    def __init__(self, name, kind, domain):
        self.name, self.kind, self.domain = name, kind, domain


def params_of(name, **domains):
    """The parameters of callable `name` (see conftest.SIGNATURES), each with
    the values that reach its operation."""
    return [Param(p, kind, domains[p]) for p, kind in SIGNATURES[name].params]


@st.composite
def calls(draw, name, **domains):
    """(args, kwargs) for a call of `name`: each parameter passed by
    position, by keyword or left out, sometimes with a surplus, repeated or
    unknown argument; `domains` gives each parameter's values that reach
    the operation."""
    params = params_of(name, **domains)
    required = SIGNATURES[name].required
    values = {p.name: draw(anything(p.kind, p.domain)) for p in params}
    npos = draw(st.integers(0, len(params)))
    args = [values[p.name] for p in params[:npos]]
    kwargs = {}
    for i, p in enumerate(params[npos:], npos):
        leave_out = draw(st.integers(0, 9)) < (5 if i >= required else 1)
        if not leave_out:
            kwargs[p.name] = values[p.name]
    extra = draw(st.integers(0, 19))
    if extra == 0:
        args.append(1)
    elif extra == 1:
        kwargs["nope"] = 1
    elif extra == 2 and params and npos:
        kwargs[params[0].name] = 0
    return args, kwargs


def check(name, call, expected):
    """Makes the call and compares it with the expected Outcome, or with any
    of a tuple of acceptable Outcomes."""
    TRIED[name] += 1
    accepted = expected if isinstance(expected, tuple) else (expected,)
    try:
        got = Outcome(call())
    except BaseException as e:  # noqa: B902 - InternalFault is one
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        got = Outcome(exc=type(e), message=str(e))
    for want in accepted:
        if want.ok and got.ok and (want.value is ANY or want.value == got.value):
            return
        if not want.ok and got.exc is want.exc:
            if want.message is None:
                return
            if isinstance(want.message, re.Pattern):
                if want.message.fullmatch(got.message):
                    return
            elif want.message == got.message:
                return
    raise AssertionError(f"{name}: got {got!r}, expected one of {accepted!r}")


ANY = object()
InternalFault = _larkspur.InternalFault


def oserror(code):
    return fails(OSError, f"{os.strerror(code)} (os error {code})")


# ---------------------------------------------------------------------------
# Row ids.

P = reference.PAD
tokens = st.one_of(st.sampled_from([0, P, P - 1, P + 1, 2**32 - 1, 2**31]),
                   st.integers(0, 2**32 - 1))
ple_specs = st.sampled_from([1, 1, 1, 0, 2, 2**32 - 1])


def rowids_result(history, tokens, ple_spec):
    if ple_spec != 1:
        return fails(NotImplementedError, "only PLE_QWEN_V1=1 is implemented")
    return Outcome(reference.rowids(history, tokens))


@FUZZ
@given(data=st.data())
def test_rowids_for_seq(data):
    args, kwargs = data.draw(calls("rowids_for_seq", tokens=tokens, ple_spec=ple_specs))
    want = expect(SIGNATURES["rowids_for_seq"], args, kwargs,
                  lambda tokens, ple_spec: rowids_result([P, P], tokens, ple_spec))
    check("rowids_for_seq", lambda: rowids_for_seq(*args, **kwargs), want)


@FUZZ
@given(data=st.data())
def test_rowids_for_seq_with_history(data):
    name = "rowids_for_seq_with_history"
    args, kwargs = data.draw(calls(name, history=tokens, tokens=tokens, ple_spec=ple_specs))
    want = expect(SIGNATURES[name], args, kwargs, rowids_result)
    check("rowids_for_seq_with_history",
          lambda: rowids_for_seq_with_history(*args, **kwargs), want)


@FUZZ
@given(st.lists(scalars(), max_size=2), st.dictionaries(st.sampled_from(["x", "n"]),
                                                        scalars(), max_size=1))
def test_abi_version(args, kwargs):
    want = fails(TypeError) if args or kwargs else Outcome(1)
    check("abi_version", lambda: _larkspur.abi_version(*args, **kwargs), want)


# ---------------------------------------------------------------------------
# Files the file-reading entry points are pointed at.


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("surface")
    f = {"root": str(root)}
    (root / "keys.txt").write_bytes(b"7\n\n +42 \t\n007\r\n18446744073709551615\n")
    (root / "bad_keys.txt").write_bytes(b"1\n-2\n")
    f["keys"] = {str(root / "keys.txt"): Outcome([7, 42, 7, U64_MAX]),
                 str(root / "bad_keys.txt"): fails(OSError, "invalid digit found in string"),
                 str(root): oserror(errno.EISDIR)}
    # A record file of 37 records of 24 bytes and 5 trailing bytes.
    records = bytes((i * 7 + i // 256) % 256 for i in range(37 * 24 + 5))
    (root / "rec.bin").write_bytes(records)
    (root / "rec.manifest.json").write_text('{"slot_bytes": 24, "grans": 0}')
    f["records"] = str(root / "rec.bin")
    # A table: two full shards, one short, the third under its fallback name.
    table = root / "table"
    table.mkdir()
    for i, rows in enumerate([30, 7, 30]):
        name = "badge" if i == 2 else "shard"
        (table / f"{name}_{i}.bin").write_bytes(
            bytes((i * 53 + j * 5) % 251 for j in range(rows * 16)))
    f["table"] = str(table)
    f["shard_bytes"] = [(table / n).read_bytes()
                        for n in ("shard_0.bin", "shard_1.bin", "badge_2.bin")]
    # Page files: one of 10,000 bytes, and a directory descriptor.
    (root / "pages.bin").write_bytes(bytes((i * 13) % 256 for i in range(10_000)))
    f["page_fd"] = os.open(root / "pages.bin", os.O_RDONLY)
    f["dir_fd"] = os.open(root, os.O_RDONLY)
    yield f
    os.close(f["page_fd"])
    os.close(f["dir_fd"])


class _Summary:
    """Prints the number of inputs tried in pytest's closing summary."""

    def pytest_terminal_summary(self, terminalreporter):
        if TRIED:
            per = ", ".join(f"{k} {v}" for k, v in sorted(TRIED.items()))
            terminalreporter.write_line(
                f"surface fuzzer: {sum(TRIED.values())} inputs tried ({per})")


@pytest.fixture(scope="module", autouse=True)
def report(request):
    plugins = request.config.pluginmanager
    if not plugins.has_plugin("larkspur-surface-summary"):
        plugins.register(_Summary(), "larkspur-surface-summary")


# ---------------------------------------------------------------------------
# read_keys and View.


def path_strategy(known):
    return st.one_of(st.sampled_from(sorted(known)), st.just(""),
                     st.sampled_from(["/nonexistent/x", "/", "."]))


def path_outcome(path, known, reader):
    """What opening `path` must give: the known outcome, or the system's
    error as Python sees it."""
    if path in known:
        return known[path]
    if "\0" in path:
        return fails(OSError, "file name contained an unexpected NUL byte")
    try:
        fd = os.open(path.encode("utf-8", "surrogatepass"), os.O_RDONLY)
    except OSError as e:
        return oserror(e.errno)
    os.close(fd)
    return reader(path)


@FUZZ
@given(data=st.data())
def test_read_keys(data, files):
    known = files["keys"]
    args, kwargs = data.draw(calls("read_keys", path=path_strategy(known)))

    def outcome(path):
        if os.path.isdir(path):
            return oserror(errno.EISDIR)
        return (Outcome(ANY), fails(OSError))  # some other readable file
    want = expect(SIGNATURES["read_keys"], args, kwargs,
                  lambda path: path_outcome(path.decode("utf-8"), known, outcome))
    check("read_keys", lambda: read_keys(*args, **kwargs), want)


@FUZZ
@given(data=st.data())
def test_view_construction(data, files):
    known = {files["records"]: Outcome(ANY)}
    args, kwargs = data.draw(calls("View", path=path_strategy(known)))

    def outcome(path):
        if os.path.isdir(path):
            return oserror(errno.EISDIR)
        return Outcome(ANY)
    want = expect(SIGNATURES["View"], args, kwargs,
                  lambda path: path_outcome(path.decode("utf-8"), known, outcome))
    check("View", lambda: View(*args, **kwargs), want)


def record_index(count):
    return st.one_of(st.integers(0, count - 1), st.sampled_from([count, count + 1]),
                     boundary_ints)


@FUZZ
@given(data=st.data())
def test_view_reads(data, files):
    view = View(files["records"])
    slot, count = 24, 37
    assert (view.slot_bytes(), view.len()) == (slot, count)
    fd = os.open(files["records"], os.O_RDONLY)
    try:
        def record(i):
            return os.pread(fd, slot, i * slot)

        def one(index):
            if index >= count:
                return fails(OSError, f"view record index {index} out of range (count {count})")
            return Outcome(record(index))

        def many(indices):
            for i in indices:
                if i >= count:
                    return fails(OSError, f"view record index {i} out of range (count {count})")
            return Outcome(b"".join(record(i) for i in indices))

        which = data.draw(st.sampled_from(["read_record", "read_records", "len",
                                           "slot_bytes", "close"]))
        if which == "read_record":
            domains = {"index": record_index(count)}
            op = one
        elif which == "read_records":
            domains = {"indices": record_index(count)}
            op = many
        else:
            domains = {}
            value = {"len": count, "slot_bytes": slot, "close": None}[which]
            op = lambda: Outcome(value)  # noqa: E731
        args, kwargs = data.draw(calls(f"View.{which}", **domains))
        method = getattr(view, which)
        if domains:
            want = expect(SIGNATURES[f"View.{which}"], args, kwargs, op)
        else:
            want = fails(TypeError) if args or kwargs else op()
        check(f"View.{which}", lambda: method(*args, **kwargs), want)
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------
# Store.


def geometry(n):
    return st.one_of(st.integers(0, n), boundary_ints)


@FUZZ
@given(data=st.data())
def test_store_construction(data, files):
    table = files["table"]
    args, kwargs = data.draw(calls(
        "Store", dir=st.sampled_from([table, table + "/", "/nonexistent"]),
        shards=geometry(4), rows_per_shard=geometry(40), width=geometry(40),
        threads=geometry(40)))

    def construct(dir, shards, rows_per_shard, width, threads=32):
        if shards == 0:
            return Outcome(ANY)
        if "\0" in dir.decode("utf-8"):
            return fails(OSError, "file name contained an unexpected NUL byte")
        if shards > 2**30:  # the descriptor table cannot be had
            if SANITIZED and shards < 2**61:
                assume(False)
            return (fails(MemoryError), oserror(errno.ENOENT), oserror(errno.EMFILE))
        d = dir.decode("utf-8")
        d = d if not d or d.endswith("/") else d + "/"
        for i in range(shards):
            if not (os.path.exists(f"{d}shard_{i}.bin") or os.path.exists(f"{d}badge_{i}.bin")):
                return oserror(errno.ENOENT)
        return Outcome(ANY)
    want = expect(SIGNATURES["Store"], args, kwargs, construct)
    check("Store", lambda: Store(*args, **kwargs), want)


def fetch_reference(files, shards, rows_per_shard, width, rowids):
    """The rows of `rowids` from the table files, zeros past their ends."""
    n = len(rowids)
    if n == 0:
        return Outcome(b"")
    if n * width >= 2**63:
        return fails(InternalFault, "capacity overflow")
    if n * width >= 2**46:
        return fails(MemoryError)
    if n * width > 2**24:  # a real allocation of that size: not tried
        assume(False)
    if rows_per_shard == 0:
        return fails(InternalFault, "attempt to divide by zero")
    bad = sorted({r // rows_per_shard for r in rowids if r // rows_per_shard >= shards})
    if bad:
        alternatives = "|".join(str(b) for b in bad)
        return fails(InternalFault, qualified(
            rf"index out of bounds: the len is {shards} but the index is ({alternatives})"
            r"|a scoped thread panicked"))
    out = []
    for r in rowids:
        offset = (r % rows_per_shard) * width  # exact: it does not wrap at 2**64
        if offset + width > 2**63 - 4096:
            # Reads this far out fail with EINVAL (or read nothing).
            return (oserror(errno.EINVAL), Outcome(ANY))
        data = files["shard_bytes"][r // rows_per_shard][offset:offset + width]
        out.append(data + bytes(width - len(data)))
    return Outcome(b"".join(out))


@FUZZ
@given(data=st.data())
def test_store_fetch(data, files):
    shards = data.draw(st.integers(0, 3))
    rows_per_shard = data.draw(st.one_of(st.integers(0, 40), boundary_ints.filter(
        lambda v: 0 <= v <= U64_MAX)))
    width = data.draw(st.one_of(st.integers(0, 40), st.sampled_from([4095, 4096, 5000]),
                                boundary_ints.filter(lambda v: 0 <= v <= U64_MAX)))
    threads = data.draw(st.sampled_from([0, 1, 2, 32, U64_MAX]))
    store = Store(files["table"], shards, rows_per_shard, width, threads)
    assert store.width == width
    assert store.total_rows == shards * rows_per_shard
    rows = st.integers(0, max(shards * rows_per_shard + 2, 1))
    which = data.draw(st.sampled_from(["fetch", "fetch_one", "close"]))
    if which == "fetch":
        domains = {"rowids": st.one_of(rows, boundary_ints)}
        op = lambda rowids: fetch_reference(  # noqa: E731
            files, shards, rows_per_shard, width, rowids)
    elif which == "fetch_one":
        domains = {"rowid": st.one_of(rows, boundary_ints)}
        op = lambda rowid: fetch_reference(  # noqa: E731
            files, shards, rows_per_shard, width, [rowid])
    else:
        domains = {}
    args, kwargs = data.draw(calls(f"Store.{which}", **domains))
    if domains:
        want = expect(SIGNATURES[f"Store.{which}"], args, kwargs, op)
    else:
        want = fails(TypeError) if args or kwargs else Outcome(None)
    check(f"Store.{which}", lambda: getattr(store, which)(*args, **kwargs), want)


# ---------------------------------------------------------------------------
# Page readers.

PAGE_SIZES = [1, 2, 512, 4096, 8192, 65536, 2**31, 2**32, 2**33, 2**62, 2**63,
              0, 3, 4095, 4097, 6000, 2**64 - 1]


def ring_route(page_size, fds):
    """Whether IoUringPageReader hands these pages to its ring: io_uring
    works, one read fills a page, and every descriptor is a regular file or
    a block device."""
    if IoUringPageReader().backend != "io_uring" or page_size > 2**31 - 4096:
        return False
    try:
        return all(stat.S_ISREG(m) or stat.S_ISBLK(m)
                   for m in (os.fstat(fd).st_mode for fd in fds))
    except OSError:
        return False


def page_reference(files, page_size, fds, offsets, ring=False):
    if len(fds) != len(offsets):
        return fails(ValueError, "file_descriptors and offsets must have the same length")
    if fds and page_size > 2**40:
        # The page cannot be had, unless the first read fails without it.
        return (fails(MemoryError), fails(OSError))
    if page_size >= 2**31 and len(fds) > 2:
        assume(False)  # gigabytes of pages: not tried
    # Before any read, each distinct descriptor in order of first
    # appearance: one that takes no positional reads fails the call.
    for fd in dict.fromkeys(fds):
        try:
            os.lseek(fd, 0, os.SEEK_CUR)
        except OSError as e:
            return oserror(e.errno)
    if ring and ring_route(page_size, fds) and any(off >= 2**63 for off in offsets):
        return oserror(errno.EINVAL)  # refused before anything is queued
    pages = []
    for fd, off in zip(fds, offsets):
        if off >= 2**63:
            return oserror(errno.EINVAL)
        try:
            page = os.pread(fd, page_size, off)
        except OSError as e:
            return oserror(e.errno)
        if not page:
            return fails(OSError, "EOF while reading page")
        pages.append(page)
    return Outcome(pages)


def fd_values(files):
    # Descriptors the test does not own are never read: 0, 1 and 2 could
    # block, so free numbers stand in for them.
    return st.sampled_from([files["page_fd"], files["page_fd"], files["dir_fd"],
                            -1, -2**31, 2**31 - 1, 2**31, 2**32, 999_999])


def offset_values():
    return st.one_of(st.sampled_from([0, 4096, 8192, 9999, 10_000, 2**62,
                                      2**63 - 1, 2**63, U64_MAX]),
                     st.integers(0, 12_000))


def page_reader_test(data, files, cls):
    page_size = data.draw(st.sampled_from(PAGE_SIZES))
    construct = data.draw(st.booleans())
    name = cls.__name__
    if construct:
        args, kwargs = data.draw(calls(name, page_size=st.just(page_size)))

        def made(page_size=4096):
            if page_size == 0 or page_size & (page_size - 1):
                return fails(ValueError, "page_size must be a positive power of two")
            return Outcome(ANY)
        want = expect(SIGNATURES[name], args, kwargs, made)
        check(cls.__name__, lambda: cls(*args, **kwargs), want)
        return
    if page_size == 0 or page_size & (page_size - 1):
        page_size = 4096
    reader = cls(page_size)
    args, kwargs = data.draw(calls(f"{name}.read_pages", file_descriptors=fd_values(files),
                                   offsets=offset_values()))
    want = expect(SIGNATURES[f"{name}.read_pages"], args, kwargs,
                  lambda file_descriptors, offsets: page_reference(
                      files, page_size, file_descriptors, offsets,
                      ring=cls is IoUringPageReader))
    check(f"{name}.read_pages", lambda: reader.read_pages(*args, **kwargs), want)


@FUZZ
@given(data=st.data())
def test_page_reader(data, files):
    page_reader_test(data, files, PageReader)


@FUZZ
@given(data=st.data())
def test_uring_page_reader(data, files):
    page_reader_test(data, files, IoUringPageReader)
    assert IoUringPageReader().backend in ("io_uring", "pread")
