"""Every callable of _larkspur and of the engine module (larkspur.Table,
larkspur.Lookup, larkspur.rowids), called with arbitrary arguments.

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
import asyncio
import collections
import errno
import json
import math
import os
import random
import re
import select
import stat
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import _larkspur
import larkspur
from _larkspur import (
    IoUringPageReader,
    PageReader,
    Store,
    View,
    read_keys,
    rowids_for_seq,
    rowids_for_seq_with_history,
)
from conftest import (
    SIGNATURES,
    U64_MAX,
    Index,
    IterOnly,
    Lying,
    Outcome,
    Seq,
    Signature,
    _sequence_check,
    expect,
    fails,
    index_of,
    u64_of,
    under_asan,
)
from larkspur import Table, reference

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


def signature(name):
    """The Signature of callable `name`: conftest.SIGNATURES for _larkspur,
    ENGINE_SIGNATURES (below) for the engine module."""
    return SIGNATURES[name] if name in SIGNATURES else ENGINE_SIGNATURES[name]


def params_of(name, **domains):
    """The parameters of callable `name`, each with the values that reach
    its operation."""
    return [Param(p, kind, domains[p]) for p, kind in signature(name).params]


@st.composite
def calls(draw, name, **domains):
    """(args, kwargs) for a call of `name`: each parameter passed by
    position, by keyword or left out, sometimes with a surplus, repeated or
    unknown argument; `domains` gives each parameter's values that reach
    the operation, as a strategy or as a function of the values drawn for
    the parameters before it that returns one."""
    params = params_of(name, **domains)
    required, positional = signature(name).required, signature(name).positional
    values = {}
    for p in params:
        domain = p.domain
        if callable(domain) and not isinstance(domain, st.SearchStrategy):
            domain = domain(values)
        values[p.name] = draw(anything(p.kind, domain))
    npos = draw(st.integers(0, positional))
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
    of a tuple of acceptable Outcomes; returns what the call gave."""
    TRIED[name] += 1
    accepted = expected if isinstance(expected, tuple) else (expected,)
    try:
        got = Outcome(call())
    except BaseException as e:  # noqa: B902 - InternalFault is one
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        got = Outcome(exc=type(e), message=str(e))
    for want in accepted:
        if want.ok and got.ok:
            if want.value is ANY:
                return got
            if isinstance(want.value, Satisfies):
                if want.value(got.value):
                    return got
            elif want.value == got.value:
                return got
        if not want.ok and got.exc is want.exc:
            if want.message is None:
                return got
            if isinstance(want.message, re.Pattern):
                if want.message.fullmatch(got.message):
                    return got
            elif want.message == got.message:
                return got
    raise AssertionError(f"{name}: got {got!r}, expected one of {accepted!r}")


ANY = object()


class Satisfies:
    """An expected value given by a predicate (arrays, handles, objects
    whose identity or bytes matter)."""

    def __init__(self, predicate, description):
        self.predicate, self.description = predicate, description

    def __call__(self, value):
        return bool(self.predicate(value))

    def __repr__(self):
        return self.description

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


# ---------------------------------------------------------------------------
# The engine module: larkspur.Table, larkspur.Lookup and larkspur.rowids.
#
# The same pool of arguments and the same binding model (keyword-only
# parameters included). Past binding the model is the engine's own: row ids
# and tokens are any buffer of integers (or a DLPack array) or any sequence
# of ints; out= is any writable C-contiguous buffer of exactly the result's
# size. The engine's own messages are predicted; for CPython's and numpy's
# only the exception type is. What succeeds is compared with the shard files
# read by os.pread (zeros past their ends) and row ids with
# larkspur.reference; every Lookup must end, cancelled or not.

ENGINE_SIGNATURES = {
    "Table": Signature("Table.__new__()", [
        ("path", "text"), ("shards", "obj"), ("rows_per_shard", "obj"), ("width", "obj"),
        ("queue_depth", "obj"), ("direct", "obj"), ("cache_bytes", "obj")],
        required=1, positional=1),
    "Table.gather": Signature("Table.gather()", [("rowids", "obj"), ("out", "obj")], 1),
    "Table.lookup": Signature("Table.lookup()", [
        ("tokens", "obj"), ("history", "obj"), ("out", "obj")], 1),
    "Table.submit": Signature("Table.submit()", [
        ("tokens", "obj"), ("rowids", "obj"), ("history", "obj"), ("out", "obj")],
        required=0, positional=1),
    "Table.prefetch": Signature("Table.prefetch()", [
        ("tokens", "obj"), ("rowids", "obj"), ("history", "obj")], required=0, positional=1),
    "Table.stats": Signature("Table.stats()", [("reset", "obj")], 0),
    "Table.refresh": Signature("Table.refresh()", [], 0),
    "Table.__exit__": Signature("Table.__exit__()", [
        ("exc_type", "obj"), ("exc_value", "obj"), ("traceback", "obj")]),
    "Lookup.wait": Signature("Lookup.wait()", [("timeout", "obj")], 0),
    "larkspur.rowids": Signature("rowids()", [
        ("tokens", "obj"), ("history", "obj"), ("out", "obj")], 1),
}
TOKEN_MAX = 2**32 - 1


class DLPack:
    """An array reachable only through DLPack, or whose export raises."""

    def __init__(self, arr):
        self.arr = arr

    def __dlpack__(self, **kw):
        if isinstance(self.arr, BaseException):
            raise self.arr
        return self.arr.__dlpack__(**kw)

    def __dlpack_device__(self):
        return (1, 0)  # the CPU

    def __repr__(self):
        return f"DLPack({self.arr!r})"


# --- the model ------------------------------------------------------------------

INT_CODES = {**{c: -1 for c in "bhilqn"}, **{c: 1 for c in "BHILQN"}}
FORMAT_NAMES = {"d": "float64", "f": "float32", "e": "float16", "?": "bool", "O": "object"}


def format_name(fmt):
    """How the engine names a buffer format that is not an integer."""
    if not fmt:
        return "uint8"
    if "Z" in fmt:
        return "complex"
    return FORMAT_NAMES.get(fmt[-1], fmt)


def int_kind(view):
    """(signedness, size) of a buffer of one native integer, else None."""
    fmt = view.format
    if fmt[:1] in ("@", "=", "<"):
        fmt = fmt[1:]
    if len(fmt) != 1 or fmt not in INT_CODES or view.itemsize not in (1, 2, 4, 8):
        return None
    return INT_CODES[fmt], view.itemsize


def buffer_of(obj):
    try:
        return memoryview(obj)
    except TypeError:
        return None


def element_of(item, what):
    """One element of a sequence as the engine converts it: an int or an
    object with __index__; a TypeError of the conversion is reworded."""
    got = index_of(item)
    if not got.ok and got.exc is TypeError:
        return fails(TypeError, f"{what} must be integers, not {type(item).__name__}")
    if got.ok and got.value > U64_MAX:
        return fails(OverflowError)  # CPython's unsigned conversion
    return got


def lying_length(obj):
    n = obj.length
    if isinstance(n, BaseException):
        return fails(type(n), str(n))
    if not isinstance(n, int):
        return fails(TypeError)
    if n < 0:
        return fails(ValueError)
    return Outcome(n) if n < 2**63 else fails(OverflowError)


def engine_ints(obj, what, limit):
    """The engine's reading of an integer argument: Outcome((shape, values))
    in C order, or the failure."""
    view = buffer_of(obj)
    if view is None and hasattr(obj, "__dlpack__"):
        try:
            view = memoryview(np.from_dlpack(obj))
        except Exception as e:  # noqa: BLE001 - the exporter's error propagates
            return fails(type(e))
    if view is not None:
        if int_kind(view) is None:
            return fails(TypeError, f"{what} must be integers, not {format_name(view.format)}")
        shape = tuple(view.shape)
        values = [Outcome(v) for v in np.asarray(view).ravel().tolist()]
    elif isinstance(obj, (str, dict)) or not _sequence_check(obj):
        return fails(TypeError, f"{what} must be an integer array or a sequence of ints, "
                                f"not {type(obj).__name__}")
    else:
        if isinstance(obj, Lying):
            n = lying_length(obj)
            items = obj.items
        else:
            try:
                n = Outcome(len(obj))
            except (OverflowError, TypeError) as e:
                n = fails(type(e))
            items = obj
        if not n.ok:
            return n
        if n.value > (2**63 - 1) // 8:  # more than any vector of 64-bit ints
            return fails(MemoryError)
        shape = (n.value,)
        # Elements are converted as they are read: the first bad one fails.
        values = (element_of(items[i], what) if i < len(items) else fails(IndexError)
                  for i in range(n.value))
    out = []
    for got in values:
        if not got.ok:
            return got
        v = got.value
        if v < 0:
            return fails(OverflowError, f"{what} must not be negative (found {max(v, -2**63)})")
        if v > limit:
            return fails(OverflowError, f"{what} must be at most {limit} (found {v})")
        out.append(v)
    return Outcome((shape, out))


def token_batch(tokens, history=None):
    """Tokens with their history: Outcome((shape of the ids, ids in C
    order)), by larkspur.reference, or the failure."""
    got = engine_ints(tokens, "tokens", TOKEN_MAX)
    if not got.ok:
        return got
    shape, values = got.value
    if len(shape) not in (1, 2):
        return fails(ValueError, f"tokens must be 1-D (T,) or 2-D (B, T), not {len(shape)}-D")
    batched = len(shape) == 2
    b, t = (shape[0] if batched else 1), shape[-1]
    past = [[]] * b
    if history is not None:
        got = engine_ints(history, "history", TOKEN_MAX)
        if not got.ok:
            return got
        hshape, hvalues = got.value
        if len(hshape) != len(shape) or (batched and hshape[0] != b):
            if batched:
                return fails(ValueError,
                             f"history of (B, T) tokens must be (B, K) with B = {b}")
            return fails(ValueError, "history of (T,) tokens must be 1-D (K,)")
        k = hshape[-1]
        past = [hvalues[i * k:(i + 1) * k] for i in range(b)]
    ids = [r for i in range(b)
           for row in reference.rowids(past[i], values[i * t:(i + 1) * t]) for r in row]
    return Outcome(((b, t, 16) if batched else (t, 16), ids))


def output_of(out, nbytes, int64_items=False):
    """out= as the engine checks it, for a result of `nbytes` bytes."""
    if out is None:
        return Outcome(None)
    view = buffer_of(out)
    if view is None:
        return fails(TypeError, "out must be a writable buffer (a numpy array, bytearray, "
                                f"memoryview, ...), not {type(out).__name__}")
    if view.readonly:
        return fails(ValueError, "out is read-only")
    if not view.c_contiguous:
        return fails(ValueError, "out must be C-contiguous")
    if int64_items and (int_kind(view) or (0, 0))[1] != 8:
        return fails(TypeError, "out must hold 64-bit integers (uint64 or int64), "
                                f"not {format_name(view.format)}")
    if view.nbytes != nbytes:
        return fails(ValueError, f"out has {view.nbytes} bytes, {nbytes} are needed")
    return Outcome(out)


def filled(out, shape, dtype, want):
    """Whether a result is `out` holding `want`, or (without out) a new
    array of `shape` and `dtype` holding it."""
    def ok(got):
        if out is not None:
            return got is out and memoryview(out).tobytes() == want
        return (isinstance(got, np.ndarray) and got.dtype == dtype and got.shape == shape
                and got.tobytes() == want)
    return Satisfies(ok, f"{'out' if out is not None else f'new {dtype} {shape}'} "
                         f"holding {want[:48]!r}...")


def truth_of(obj):
    try:
        return Outcome(bool(obj))
    except Exception as e:  # noqa: BLE001 - __bool__ and __len__ propagate
        return fails(type(e))


def seconds_of(obj):
    """A timeout as PyFloat_AsDouble reads it."""
    if isinstance(obj, float):
        return Outcome(float(obj))
    if hasattr(type(obj), "__float__"):
        try:
            return Outcome(float(obj))
        except Exception as e:  # noqa: BLE001
            return fails(type(e))
    if hasattr(type(obj), "__index__"):
        got = index_of(obj)
        if not got.ok:
            return fails(got.exc)
        try:
            return Outcome(float(got.value))
        except OverflowError:
            return fails(OverflowError)
    return fails(TypeError)


# --- tables ---------------------------------------------------------------------


class ShardFiles:
    """A table directory: shard files (some under their fallback name) and
    rows read back with os.pread, zeros past a file's end."""

    def __init__(self, root, shards, rows_per_shard, width, meta=True, badge=()):
        self.dir = str(root)
        self.shards, self.rows_per_shard, self.width = shards, rows_per_shard, width
        os.makedirs(self.dir, exist_ok=True)
        self.paths = [os.path.join(self.dir, f"{'badge' if i in badge else 'shard'}_{i}.bin")
                      for i in range(shards)]
        for path in self.paths:
            open(path, "wb").close()
        if meta:
            with open(os.path.join(self.dir, "larkspur-table.json"), "w") as f:
                json.dump({"version": 1, "shards": shards, "rows_per_shard": rows_per_shard,
                           "width": width}, f)
        self.fds = [os.open(p, os.O_RDWR) for p in self.paths]

    def write(self, shard, offset, data):
        os.pwrite(self.fds[shard], data, offset)

    def rows(self, ids, rows_per_shard=None, width=None):
        rps = rows_per_shard or self.rows_per_shard
        width = width or self.width
        out = bytearray()
        for r in ids:
            shard, local = divmod(r, rps)
            data = os.pread(self.fds[shard], width, local * width)
            out += data + bytes(width - len(data))
        return bytes(out)

    def evict(self):
        """Drops the files' pages from the page cache: reads go to the device."""
        for fd in self.fds:
            os.fdatasync(fd)  # dirty pages stay in the cache
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)

    def close(self):
        for fd in self.fds:
            os.close(fd)


class TableCase:
    """A Table open on ShardFiles, and what the model knows of it."""

    def __init__(self, files, queue_depth, direct, closed=False, cache_bytes=0):
        self.files = files
        self.table = Table(files.dir, queue_depth=queue_depth, direct=direct,
                           cache_bytes=cache_bytes)
        self.total = files.shards * files.rows_per_shard
        self.backend, self.direct = self.table.backend, self.table.direct
        # Without a queue, the pool reads; "auto" buffers files this small
        # against this machine's memory (the n-gram files are sparse).
        assert self.backend == "threads" or queue_depth > 0
        assert self.direct is (direct is True and self.backend == "io_uring")
        self.closed = closed
        if closed:
            self.table.close()
            self.backend, self.direct = "threads", False

    def reads(self, ids, shape, out):
        """The outcome of reading rows `ids` into `out` (or a new array of
        `shape` + (width,)): out's checks, the closed Table, the range."""
        width = self.files.width
        got = output_of(out, len(ids) * width)
        if not got.ok:
            return got
        if self.closed:
            return fails(ValueError, "the Table is closed")
        for r in ids:
            if r >= self.total:
                return fails(IndexError,
                             f"row id {r} is out of range for a table of {self.total} rows")
        return Outcome(filled(out, (*shape, width), np.uint8, self.files.rows(ids)))


class Engine(types.SimpleNamespace):
    """The engine fixture: its directories (ShardFiles), its TableCases
    and the row ids the n-gram files hold."""

    def __repr__(self):
        return "engine"


# The tokens whose rows (after any two of them) the n-gram table holds.
VOCAB = [0, 1, 7, 151_644, P, TOKEN_MAX]


def ngram_row(r, width):
    return (r.to_bytes(8, "little") + (r * 2654435761 % 2**32).to_bytes(4, "little"))[:width]


@pytest.fixture(scope="module")
def engine(tmp_path_factory):
    """Tables of every engine configuration over three directories: a small
    one (three shards of 24-byte rows, one under its fallback name, one
    longer and one shorter than the geometry says), a narrow one (rows of
    8 bytes) and one spanning the n-gram row space (sparse files holding
    the rows of VOCAB's n-grams); and a directory without metadata."""
    root = tmp_path_factory.mktemp("engine-surface")
    rng = random.Random(11)
    small = ShardFiles(root / "small", 3, 50, 24, badge=(1,))
    for i, size in enumerate([50 * 24 + 100, 50 * 24, 17 * 24 + 5]):
        small.write(i, 0, rng.randbytes(size))
    shards = 5
    ngram = ShardFiles(root / "ngram", shards, -(-reference.TOTAL_ROWS // shards) + 1, 12)
    held = set()
    for p2 in VOCAB:
        for p1 in VOCAB:
            for t in VOCAB:
                held.update(reference.rowids([p2, p1], [t])[0])
    for r in sorted(held):
        shard, local = divmod(r, ngram.rows_per_shard)
        ngram.write(shard, local * ngram.width, ngram_row(r, ngram.width))
    plain = ShardFiles(root / "plain", 2, 50, 24, meta=False)
    plain.write(0, 0, rng.randbytes(300))
    # Rows as wide as a row id: a uint64 array of ids can be its own out=.
    narrow = ShardFiles(root / "narrow", 2, 40, 8)
    for i in range(2):
        narrow.write(i, 0, rng.randbytes(35 * 8))
    dirs, cases = {"small": small, "narrow": narrow, "ngram": ngram}, {}
    configs = [("small", q, d) for q in (0, 1, 4) for d in (False, "auto")]
    configs += [("narrow", 0, False), ("narrow", 1, False)]
    configs += [("small", 2, True), ("ngram", 4, False), ("ngram", 0, "auto"), ("ngram", 1, True)]
    for name, depth, direct in configs:
        try:
            cases[name, depth, direct] = TableCase(dirs[name], depth, direct)
        except OSError:
            assert direct is True  # no O_DIRECT on this file system
    # Row caches smaller than the rows the fuzzer reads: hits and evictions.
    for name, depth in (("small", 4), ("narrow", 0), ("ngram", 1)):
        cases[name, depth, False, "cached"] = TableCase(dirs[name], depth, False,
                                                       cache_bytes="3KiB")
    cases["small", "closed", False] = TableCase(small, 1, False, closed=True)
    env = Engine(small=small, ngram=ngram, plain=plain, cases=cases, held=sorted(held))
    yield env
    for case in cases.values():
        case.table.close()
    for f in (small, ngram, plain, narrow):
        f.close()


# --- strategies -----------------------------------------------------------------


def _np(dtype):
    return lambda xs: np.array(xs, dtype=dtype)


def _read_only(xs):
    a = np.array(xs, dtype=np.uint64)
    a.flags.writeable = False
    return a


INT_LAYOUTS = {
    "list": list, "tuple": tuple, "Seq": Seq,
    "uint64": _np(np.uint64), "int64": _np(np.int64), "uint32": _np(np.uint32),
    "int32": _np(np.int32), "uint16": _np(np.uint16), "int8": _np(np.int8),
    "big-endian": _np(">u8"), "float64": _np(np.float64), "complex": _np(np.complex128),
    "bool": _np(np.bool_),
    "strided": lambda xs: np.repeat(np.array(xs, dtype=np.int64), 2)[::2],
    "reversed": lambda xs: np.array(xs[::-1], dtype=np.uint64)[::-1],
    "column": lambda xs: np.array(xs, dtype=np.uint32).reshape(-1, 1),
    "read-only": _read_only,
    "array.array": lambda xs: array.array("Q", xs),
    "array.array b": lambda xs: array.array("b", xs),
    "memoryview": lambda xs: memoryview(array.array("L", xs)),
    "bytes": bytes, "bytearray": bytearray,
    "DLPack": lambda xs: DLPack(np.array(xs, dtype=np.uint64)),
}


def int_layout(xs, layout):
    """`xs` in `layout`, or as a list when the layout cannot hold them."""
    try:
        return INT_LAYOUTS[layout](xs)
    except (OverflowError, ValueError, TypeError):
        return list(xs)


def int_args(values, max_size=12):
    """Integer arguments: `values` in every layout the engine reads, and
    the pool's sequences, scalars and failing exporters."""
    return st.one_of(
        st.builds(int_layout, st.lists(values, max_size=max_size),
                  st.sampled_from(sorted(INT_LAYOUTS))),
        sequences(st.one_of(values, scalars()), 2**64),
        st.lists(st.one_of(values, index_objects(boundary_ints)), max_size=6),
        st.builds(DLPack, exceptions()))


token_values = st.one_of(st.sampled_from(VOCAB), tokens, boundary_ints)


@st.composite
def token_matrices(draw, rows=None):
    b = draw(st.integers(0, 3)) if rows is None else rows
    t = draw(st.integers(0, 4))
    dtype = draw(st.sampled_from([np.uint32, np.int64, np.uint64]))
    values = draw(st.lists(st.sampled_from(VOCAB), min_size=b * t, max_size=b * t))
    return np.array(values, dtype=dtype).reshape(b, t)


token_args = st.one_of(int_args(token_values, max_size=8), token_matrices())


def history_args(values):
    """History for the tokens drawn: (B, K) for (B, T) tokens, of that B
    or another, and 1-D ones."""
    tokens = values.get("tokens")
    if isinstance(tokens, np.ndarray) and tokens.ndim == 2:
        b = tokens.shape[0]
        return st.one_of(token_matrices(b), token_matrices(b + 1), token_args)
    return token_args


def outputs(nbytes, width, sources):
    """out= candidates for a result of `nbytes` bytes: right and wrong
    sizes, dtypes, strides and shapes, read-only buffers, non-buffers, and
    the argument objects themselves."""
    n = nbytes
    rows = n // width if width and n % width == 0 else None

    def read_only():
        a = np.zeros(n, dtype=np.uint8)
        a.flags.writeable = False
        return a

    right = [
        lambda: bytearray(n), lambda: np.zeros(n, dtype=np.uint8),
        lambda: np.zeros((rows, width), np.uint8) if rows is not None else bytearray(n),
        lambda: memoryview(bytearray(n)), lambda: array.array("B", bytes(n)),
        lambda: np.zeros(n // 8, np.uint64) if n % 8 == 0 else bytearray(n),
    ]
    odd = [
        lambda: bytearray(n + 1), lambda: bytearray(max(n - 1, 0)),
        lambda: np.zeros(n // 8, np.float64) if n % 8 == 0 else np.zeros(n, np.bool_),
        lambda: np.zeros(n // 8, np.uint64) if n % 8 == 0 else np.zeros(n // 8 + 1, np.uint64),
        lambda: np.zeros(n // 8, np.int64) if n % 8 == 0 else np.zeros(n, np.int8),
        lambda: np.zeros(n // 4, np.uint32) if n % 4 == 0 else np.zeros(n, np.uint8),
        lambda: np.zeros(2 * n, np.uint8)[::2],
        lambda: np.zeros((2, n // 2), np.uint8, order="F") if n % 2 == 0 else bytes(n),
        read_only, lambda: bytes(n), lambda: memoryview(bytes(n)),
        lambda: memoryview(bytearray(2 * n))[::2], lambda: array.array("Q", bytes(n - n % 8)),
        lambda: [0] * min(n, 64),
    ]
    right, odd = (st.sampled_from(m).map(lambda make: make()) for m in (right, odd))
    shared = [s for s in sources if s is not None]
    # By position: buffers do not hash.
    alias = st.integers(0, len(shared) - 1).map(shared.__getitem__)
    return st.one_of(st.none(), right, odd, *([alias] if shared else []))


def out_args(width, count):
    """out= for the values drawn so far, sized by what the model counts."""
    def domain(values):
        got = count(values)
        n = len(got.value[1]) if got.ok else 0
        return outputs(n * width, width, list(values.values()))
    return domain


def rowid_values(case):
    total = case.total
    near = [total - 1, total, total + 1, case.files.rows_per_shard - 1,
            case.files.rows_per_shard]
    return st.one_of(st.integers(0, total - 1), st.sampled_from(near), boundary_ints,
                     st.integers(0, 200))


def noarg_calls():
    """Mostly no arguments; sometimes one, or a keyword."""
    return st.one_of(st.just(((), {})), st.just(((), {})),
                     st.builds(lambda v: ((v,), {}), scalars()),
                     st.builds(lambda v: ((), {"x": v}), scalars()))


# --- Table: opening -------------------------------------------------------------


BYTE_UNITS = {"": 1, "b": 1, "kb": 10**3, "mb": 10**6, "gb": 10**9, "tb": 10**12,
              "kib": 2**10, "mib": 2**20, "gib": 2**30, "tib": 2**40}


def cache_budget_of(value):
    """What cache_bytes= means: a count, or a size in text."""
    if value is None:
        return Outcome(0)
    if not isinstance(value, str):
        got = u64_of(value)
        if not got.ok and got.exc is TypeError:
            return fails(TypeError, f"argument 'cache_bytes': {got.message}")
        return got
    blank = " \t\n\v\f\r"
    m = re.fullmatch(r"([0-9]*)(\.?)([0-9]*)(.*)", value.strip(blank), re.S)
    whole, point, frac, unit = m.groups()
    unit = unit.strip(blank).lower()
    digits = int(whole + frac) if whole + frac else None
    bad = (digits is None or unit not in BYTE_UNITS or "." in frac or digits > U64_MAX
           or 10 ** len(frac) > U64_MAX)
    if not bad and digits * BYTE_UNITS[unit] // 10 ** len(frac) <= U64_MAX:
        return Outcome(digits * BYTE_UNITS[unit] // 10 ** len(frac))
    return fails(ValueError, 'cache_bytes must be a number of bytes, such as 1073741824 or '
                 '"1GiB" (units B, kB, MB, GB, TB, KiB, MiB, GiB, TiB): got "' + value + '"')


def open_outcome(env, path, shards=None, rows_per_shard=None, width=None,
                 queue_depth=None, direct=None, cache_bytes=None):
    given = {}
    for name, value in (("shards", shards), ("rows_per_shard", rows_per_shard),
                        ("width", width), ("queue_depth", queue_depth)):
        if value is None:
            given[name] = None
            continue
        got = u64_of(value)
        if not got.ok:
            if got.exc is TypeError:
                return fails(TypeError, f"argument '{name}': {got.message}")
            return got
        given[name] = got.value
    depth = 128 if given["queue_depth"] is None else given["queue_depth"]
    if depth > 4096:
        return fails(ValueError, "queue_depth must be at most 4096")
    mode = False
    if isinstance(direct, str):
        if direct != "auto":
            return fails(ValueError, 'direct must be False, True or "auto"')
        mode = "auto"
    elif direct is not None:
        got = truth_of(direct)
        if not got.ok:
            return got
        mode = got.value
    if mode is True and depth == 0:
        return fails(ValueError, "direct reads need a queue depth")
    budget = cache_budget_of(cache_bytes)
    if not budget.ok:
        return budget
    budget = budget.value
    path = path.decode("utf-8")
    dirs = {f.dir: f for f in (env.small, env.plain)}
    files = dirs.get(path.rstrip("/") if path != "/" else path)
    if files is None:
        return (fails(ValueError), fails(OSError))  # no table there
    meta = os.path.exists(os.path.join(files.dir, "larkspur-table.json"))
    geometry = []
    for name, theirs in (("shards", files.shards), ("rows_per_shard", files.rows_per_shard),
                         ("width", files.width)):
        mine = given[name]
        if meta and mine is not None and mine != theirs:
            return fails(ValueError, qualified(rf"{name}={mine} was given, but .* says {theirs}"))
        if not meta and mine is None:
            return fails(ValueError, qualified(
                rf"the {name} of the table in .* is unknown: there is no .*; pass {name}="))
        value = mine if mine is not None else theirs
        if value == 0:
            return fails(ValueError, f"{name} must be positive")
        geometry.append(value)
    shards, rps, width = geometry
    if shards > 2**30:  # the descriptor table cannot be had
        if SANITIZED and shards < 2**61:
            assume(False)
        return (fails(MemoryError), oserror(errno.ENOENT), oserror(errno.EMFILE))
    if shards > files.shards:
        return oserror(errno.ENOENT)

    def opened(table):
        # The geometry as given, one row read back, then closed.
        try:
            assert (table.shards, table.rows_per_shard, table.width, table.total_rows,
                    table.path) == (shards, rps, width, shards * rps, path)
            assert table.backend in ("io_uring", "threads") and type(table.direct) is bool
            assert table.backend == "threads" or depth > 0
            assert table.direct is (mode is True)  # "auto" buffers files this small
            assert table.cache_bytes == (budget if width else 0)
            if width <= 2**16:
                ids = [0, min(shards * rps, 40) - 1]
                assert table.gather(ids).tobytes() == files.rows(ids, rps, width)
            return True
        finally:
            table.close()
    open_mode = (Outcome(Satisfies(opened, f"a Table of {geometry}")),)
    if mode is True:  # O_DIRECT may be refused by the file system
        open_mode += (fails(OSError), fails(ValueError))
    if budget and width:
        # A row and its bookkeeping, and the shard's own state: a budget
        # between holds a row or not by the cache's layout.
        small = fails(ValueError, f"cache_bytes={budget} is too small to hold one row of "
                      f"{width} bytes")
        if budget <= width:
            return small
        if budget < 64 * (width + 1024):
            open_mode += (small,)
        if budget > 2**33:  # more than this machine may map
            open_mode += (fails(MemoryError),)
    return open_mode


def geometry_values(n):
    return st.one_of(st.none(), st.integers(0, n), boundary_ints)


@FUZZ
@given(data=st.data())
def test_engine_table_open(data, engine):
    paths = st.sampled_from([engine.small.dir, engine.small.dir + "/", engine.plain.dir,
                             "/nonexistent"])
    args, kwargs = data.draw(calls(
        "Table", path=paths, shards=geometry_values(4), rows_per_shard=geometry_values(60),
        width=st.one_of(geometry_values(30), st.sampled_from([24, 4095, 4097])),
        queue_depth=st.one_of(st.sampled_from([None, 0, 1, 4, 4096, 4097]), boundary_ints),
        direct=st.sampled_from([None, False, True, "auto", "yes", 0, 1, "AUTO"]),
        cache_bytes=st.one_of(
            st.sampled_from([None, 0, 100, 4096, 1 << 20, "1MiB", " 2 kB ", "4Gi", "1.5GiB",
                             ".5MiB", "5.", "x", "", "1e3", "18446744073709551615",
                             "18446744073709551616", "16777216TiB", "64 GB", 2**64, -1, 1.5,
                             True]),
            st.text(alphabet="0123456789. kKmMgGiIbBtT\t", max_size=8), boundary_ints)))
    want = expect(signature("Table"), args, kwargs,
                  lambda **kw: open_outcome(engine, **kw))
    check("Table", lambda: Table(*args, **kwargs), want)


# --- Table: reads ---------------------------------------------------------------


def rowids_of(values):
    return engine_ints(values.get("rowids"), "rowids", U64_MAX)


def tokens_of(values):
    if values.get("tokens") is None:
        return fails(ValueError)
    return token_batch(values["tokens"], values.get("history"))


def either_of(values):
    """The ids submit() and prefetch() read: of rowids= or of the tokens."""
    return rowids_of(values) if values.get("rowids") is not None else tokens_of(values)


def table_model(case, which):
    """What Table.`which` does with its bound arguments, as an Outcome."""
    def gather(rowids, out=None):
        got = engine_ints(rowids, "rowids", U64_MAX)
        if not got.ok:
            return got
        return case.reads(got.value[1], (len(got.value[1]),), out)

    def lookup(tokens, history=None, out=None):
        got = token_batch(tokens, history)
        if not got.ok:
            return got
        shape, ids = got.value
        return case.reads(ids, shape, out)

    def submitted(tokens=None, rowids=None, history=None, out=None):
        # Which of tokens and rowids= was given, then as lookup() or gather().
        if (tokens is None) == (rowids is None):
            return fails(ValueError, "give tokens or rowids= (one of them)")
        if rowids is None:
            return lookup(tokens, history, out)
        if history is not None:
            return fails(ValueError, "history= goes with tokens, not rowids=")
        return gather(rowids, out)

    def submit(**kw):
        got = submitted(**kw)
        if not got.ok:
            return got
        # Its reads are checked when it ends (exercise_lookup).
        return Outcome(Satisfies(lambda v: type(v) is larkspur.Lookup, "a Lookup"))

    def prefetch(**kw):
        got = submitted(**kw)
        if not got.ok:
            return got
        n = len(either_of(kw).value[1])
        queued = {0} if case.backend == "threads" or case.direct else {0, n}
        return Outcome(Satisfies(lambda v: type(v) is int and v in queued, f"one of {queued}"))

    def stats(reset=None):
        got = truth_of(reset)
        if not got.ok:
            return got
        return Outcome(Satisfies(stats_shape, "the statistics"))
    models = {"gather": gather, "lookup": lookup, "submit": submit, "prefetch": prefetch,
              "stats": stats, "submitted": submitted}
    return models[which]


def fuzzed_table_call(data, case, which):
    """(args, kwargs) of Table.`which`: values from the pool and the domains."""
    width, ids = case.files.width, int_args(rowid_values(case))
    if which == "gather":
        return data.draw(calls("Table.gather", rowids=ids, out=out_args(width, rowids_of)))
    if which == "lookup":
        return data.draw(calls("Table.lookup", tokens=token_args, history=history_args,
                               out=out_args(width * 16, tokens_of)))
    if which == "submit":
        return data.draw(calls("Table.submit", tokens=token_args, rowids=ids,
                               history=history_args, out=out_args(width, either_of)))
    if which == "prefetch":
        return data.draw(calls("Table.prefetch", tokens=token_args, rowids=ids,
                               history=history_args))
    return data.draw(calls("Table.stats", reset=st.booleans()))


GOOD_LAYOUTS = ["list", "tuple", "Seq", "uint64", "int64", "uint32", "strided", "reversed",
                "read-only", "array.array", "memoryview", "DLPack"]


def good_table_call(data, case, which, held, max_rows=40):
    """(args, kwargs) of Table.`which` with values that reach its reads."""
    width, layout = case.files.width, data.draw(st.sampled_from(GOOD_LAYOUTS))
    use_tokens = which == "lookup" or which != "gather" and data.draw(st.booleans())
    if use_tokens:
        tokens = data.draw(st.one_of(token_matrices(), st.lists(st.sampled_from(VOCAB),
                                                                max_size=8)))
        history = data.draw(st.one_of(st.none(), st.lists(st.sampled_from(VOCAB), max_size=3)))
        if isinstance(tokens, np.ndarray):
            history = data.draw(st.one_of(st.none(), token_matrices(len(tokens))))
        else:
            tokens = int_layout(tokens, layout)
        kwargs = {"tokens": tokens, "history": history}
        count = len(tokens_of(kwargs).value[1])
    else:
        rows = st.integers(0, case.total - 1)
        if case.total > 2**20:  # the n-gram space: also rows the files hold
            rows = st.one_of(rows, st.sampled_from(held))
        ids = data.draw(st.lists(rows, max_size=max_rows))
        kwargs, count = {"rowids": int_layout(ids, layout)}, len(ids)
    if which != "prefetch":
        n, source = count * width, kwargs.get("rowids", kwargs.get("tokens"))
        kwargs["out"] = data.draw(st.sampled_from([
            lambda: None, lambda: bytearray(n), lambda: np.zeros(n, np.uint8),
            lambda: memoryview(bytearray(n)), lambda: source]).map(lambda make: make()))
    if which in ("gather", "lookup"):
        return [kwargs.pop("rowids" if which == "gather" else "tokens")], kwargs
    return [], kwargs


STATS_COUNTS = {"calls", "rows_requested", "unique_rows", "rows_inline", "rows_by_workers",
                "bytes_read", "read_calls", "errors"}


CACHE_COUNTS = {"budget_bytes", "capacity_rows", "rows_held", "bytes_held", "hits", "misses",
                "admissions", "evictions"}
CACHE_RATES = {"hit_rate", "hit_rate_heads_0_7", "hit_rate_heads_8_15"}


def stats_shape(s):
    c = s.get("cache", {})
    return (set(s) == STATS_COUNTS | {"backend", "backend_reason", "latency", "cache"}
            and set(c) == CACHE_COUNTS | CACHE_RATES
            and all(type(c[k]) is int and c[k] >= 0 for k in CACHE_COUNTS)
            and all(type(c[k]) is float and 0 <= c[k] <= 1 for k in CACHE_RATES)
            and all(type(s[k]) is int and s[k] >= 0 for k in STATS_COUNTS)
            and s["backend"] in ("io_uring", "threads") and type(s["backend_reason"]) is str
            and set(s["latency"]) == {"gather", "lookup"}
            and all(set(v) == {"calls", "p50_us", "p90_us", "p99_us", "max_us"}
                    for v in s["latency"].values()))


TABLE_METHODS = ["gather", "lookup", "submit", "prefetch", "stats", "refresh", "__enter__"]


@FUZZ
@given(data=st.data())
def test_engine_table_methods(data, engine):
    which = data.draw(st.sampled_from(TABLE_METHODS))
    keys = sorted(engine.cases, key=repr)
    if which in ("lookup", "submit") and data.draw(st.booleans()):
        keys = [k for k in keys if k[0] == "ngram"]  # rows inside the n-gram space
    case = engine.cases[data.draw(st.sampled_from(keys))]
    t = case.table
    assert (t.shards, t.rows_per_shard, t.width, t.total_rows, t.path, t.backend, t.direct) == (
        case.files.shards, case.files.rows_per_shard, case.files.width, case.total,
        case.files.dir, case.backend, case.direct)
    if which in ("__enter__", "refresh"):
        args, kwargs = data.draw(noarg_calls())
        # The fuzzer's files never change.
        if args or kwargs:
            want = fails(TypeError)
        elif which == "refresh" and case.closed:
            want = fails(ValueError, "the Table is closed")
        else:
            want = Outcome(Satisfies(lambda v: v is (t if which == "__enter__" else False),
                                     "the Table or False"))
    else:
        if which != "stats" and data.draw(st.integers(0, 2)) < (2 if which == "submit" else 1):
            args, kwargs = good_table_call(data, case, which, engine.held)
        else:
            args, kwargs = fuzzed_table_call(data, case, which)
        want = expect(signature(f"Table.{which}"), args, kwargs, table_model(case, which))
    # What a Lookup must read, known before out= (perhaps an argument) is written.
    reads = want.value if which == "submit" and want.ok else None
    if reads is not None:
        reads = table_model(case, "submitted")(**dict(zip(["tokens"], args), **kwargs)).value
    got = check(f"Table.{which}", lambda: getattr(t, which)(*args, **kwargs), want)
    if reads is not None and got.ok:
        exercise_lookup(data, got.value, reads)


@FUZZ
@given(data=st.data())
def test_engine_lookups(data, engine):
    # Lookups of every open Table, their methods called in any order.
    case = engine.cases[data.draw(st.sampled_from(
        sorted((k for k, c in engine.cases.items() if not c.closed), key=repr)))]
    cold = data.draw(st.integers(0, 3)) == 0
    args, kwargs = good_table_call(data, case, "submit", engine.held, 400 if cold else 40)
    if cold:
        case.files.evict()  # a Lookup still reading when its methods are called
    want = expect(signature("Table.submit"), args, kwargs, table_model(case, "submit"))
    reads = table_model(case, "submitted")(**kwargs).value
    got = check("Table.submit", lambda: case.table.submit(*args, **kwargs), want)
    if got.ok:
        exercise_lookup(data, got.value, reads)


# --- Lookup ---------------------------------------------------------------------

timeouts = st.one_of(
    st.sampled_from([0, 0.0, 0.001, 0.2, 10, 1e300, math.inf, -1, -1e300, -math.inf,
                     math.nan, 2**1100, True]),
    st.floats(0, 0.01))


async def awaited(lookup):
    return await lookup


def exercise_lookup(data, lookup, reads):
    """Calls the Lookup's methods in a drawn order with drawn arguments; it
    must end (also when cancelled) and its eventfd be readable then. A
    result, whenever there is one, holds the rows; a cancelled Lookup may
    instead fail with ECANCELED."""
    cancelled, ended = False, False
    fileno = lookup.fileno()

    def result():
        if cancelled:
            return (Outcome(reads), oserror(errno.ECANCELED))
        return Outcome(reads)

    def is_error(v):
        return (v is None or cancelled and isinstance(v, OSError)
                and str(v) == oserror(errno.ECANCELED).message)
    for which in data.draw(st.lists(st.sampled_from(
            ["done", "wait", "result", "exception", "cancel", "cancel", "fileno", "await"]),
            min_size=1, max_size=5)):
        if which == "wait":
            args, kwargs = data.draw(calls("Lookup.wait", timeout=timeouts))

            def waited(timeout=None, ended=ended):
                if timeout is None:
                    return Outcome(True)
                got = seconds_of(timeout)
                if not got.ok:
                    return got
                if math.isnan(got.value):
                    return fails(ValueError, "timeout must be a number of seconds")
                return Outcome(True) if ended or got.value >= 10 else (Outcome(True),
                                                                        Outcome(False))
            want = expect(signature("Lookup.wait"), args, kwargs, waited)
            got = check("Lookup.wait", lambda a=args, k=kwargs: lookup.wait(*a, **k), want)
        elif which == "await":
            got = check("Lookup.__await__", lambda: asyncio.run(awaited(lookup)), result())
        else:
            args, kwargs = data.draw(noarg_calls())
            if args or kwargs:
                want = fails(TypeError)
            else:
                want = {
                    "done": Outcome(True) if ended else (Outcome(True), Outcome(False)),
                    "result": result(),
                    "exception": Outcome(Satisfies(is_error, "None or ECANCELED")),
                    "cancel": Outcome(False) if ended else (Outcome(True), Outcome(False)),
                    "fileno": Outcome(fileno),
                }[which]
            got = check(f"Lookup.{which}",
                        lambda w=which, a=args, k=kwargs: getattr(lookup, w)(*a, **k), want)
        if got.ok and which == "cancel" and got.value:
            cancelled = True
        if got.ok and (which in ("result", "exception", "await") or got.value is True
                       and which in ("done", "wait")):
            ended = True
    if data.draw(st.integers(0, 9)) == 0:
        return  # dropped: its reads end before it goes
    assert lookup.wait(10) is True and lookup.done()
    assert select.select([fileno], [], [], 0)[0] == [fileno]
    check("Lookup.result", lookup.result, result())


def test_lookup_objects_are_not_made_by_hand():
    # Lookups come from Table.submit alone, whatever is passed.
    for args, kwargs in [((), {}), ((1,), {}), ((), {"x": 1})]:
        check("Lookup", lambda a=args, k=kwargs: larkspur.Lookup(*a, **k), fails(TypeError))


# --- Table: closing -------------------------------------------------------------


@FUZZ
@given(data=st.data())
def test_engine_table_close(data, engine):
    files = engine.small
    table = Table(files.dir, queue_depth=data.draw(st.sampled_from([0, 1, 4])))
    ids = data.draw(st.lists(st.integers(0, 149), max_size=40))
    pending = table.submit(rowids=ids) if data.draw(st.booleans()) else None
    which = data.draw(st.sampled_from(["close", "__exit__", "__enter__"]))
    if which == "__exit__":
        exc = st.one_of(st.none(), scalars())
        args, kwargs = data.draw(calls("Table.__exit__", exc_type=exc, exc_value=exc,
                                       traceback=exc))
        want = expect(signature("Table.__exit__"), args, kwargs, lambda **_: Outcome(None))
    else:
        args, kwargs = data.draw(noarg_calls())
        want = (fails(TypeError) if args or kwargs else
                Outcome(None) if which == "close" else
                Outcome(Satisfies(lambda v: v is table, "the Table")))
    got = check(f"Table.{which}", lambda: getattr(table, which)(*args, **kwargs), want)
    if got.ok and which != "__enter__":
        # Closed: calls refuse, closing again is nothing, Lookups in flight end.
        assert table.backend == "threads" and table.direct is False
        check("Table.gather", lambda: table.gather([0]),
              fails(ValueError, "the Table is closed"))
        table.close()
    else:
        assert table.gather(ids).tobytes() == files.rows(ids)
    if pending is not None:
        assert pending.result().tobytes() == files.rows(ids)
    table.close()


# --- larkspur.rowids ------------------------------------------------------------


def rowids_outcome(tokens, history=None, out=None):
    got = token_batch(tokens, history)
    if not got.ok:
        return got
    shape, ids = got.value
    checked = output_of(out, len(ids) * 8, int64_items=True)
    if not checked.ok:
        return checked
    return Outcome(filled(out, shape, np.uint64, np.array(ids, dtype=np.uint64).tobytes()))


@st.composite
def sharing_out(draw):
    """(args, kwargs) of rowids() whose tokens or history are a view of the
    words of out=: at their start, at their end, or strided."""
    b, t, k = draw(st.integers(1, 3)), draw(st.integers(1, 4)), draw(st.integers(0, 3))
    args = [np.array(draw(st.lists(st.sampled_from(VOCAB), min_size=b * n, max_size=b * n)),
                     dtype=np.uint64).reshape(b, n) for n in (t, k)]
    out = np.zeros((b, t, 16), dtype=draw(st.sampled_from([np.uint64, np.int64])))
    words = out.view(np.uint64).ravel()
    which = draw(st.integers(0, 1))
    n = args[which].size
    view = draw(st.sampled_from([words[:n], words[len(words) - n:], words[::16][:n]]))
    if len(view) < n:  # a history longer than the strided words
        view = words[:n]
    view = view.reshape(args[which].shape)
    view[...] = args[which]
    args[which] = view
    return args, {"out": out}


@FUZZ
@given(data=st.data())
def test_engine_rowids(data):
    if data.draw(st.integers(0, 7)) == 0:
        args, kwargs = data.draw(sharing_out())
    else:
        args, kwargs = data.draw(calls(
            "larkspur.rowids", tokens=token_args, history=history_args,
            out=out_args(8, tokens_of)))
    want = expect(signature("larkspur.rowids"), args, kwargs, rowids_outcome)
    check("larkspur.rowids", lambda: larkspur.rowids(*args, **kwargs), want)
