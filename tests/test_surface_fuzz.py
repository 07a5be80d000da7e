"""Every callable of the module, called with arbitrary arguments.

Arguments come from a pool of awkward objects: ints at every boundary, int
subclasses, bools, floats, None, text, bytes, objects whose ``__index__``,
``__len__`` or ``__iter__`` raise or lie, huge and empty sequences,
generators and dicts, mixed with values that reach the operations. Each
call is checked against a model: binding and conversion follow CPython's
rules, which the model computes from the objects' descriptions (it never
asks the product), and what the operation returns is compared with a
reference where one is cheap (row ids in pure Python, reads by os.pread).
A call may only raise what the model predicts, so an undocumented
exception, a wrong message or a crash fails the test.

The number of examples per callable is LARKSPUR_SURFACE_FUZZ_EXAMPLES
(default 120); the counts tried are printed at the end of the module.
"""

import array
import collections
import ctypes
import errno
import operator
import os
import re
import stat

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import _larkspur
from _larkspur import (IoUringPageReader, PageReader, Store, View, read_keys,
                       rowids_for_seq, rowids_for_seq_with_history)

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
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

U64_MAX = 2**64 - 1


class Boom(Exception):
    """Raised by the test objects; must pass through unchanged."""


# ---------------------------------------------------------------------------
# Awkward objects and what converting them must give.


class Outcome:
    """Either a value or the exception (type, message) a step must raise."""

    def __init__(self, value=None, exc=None, message=None):
        self.value, self.exc, self.message = value, exc, message

    @property
    def ok(self):
        return self.exc is None

    def __repr__(self):
        return f"Outcome({self.value!r}, {self.exc}, {self.message!r})"


def fails(exc, message=None):
    return Outcome(exc=exc, message=message)


class Index:
    """__index__ returns `result`, or raises it when it is an exception."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return f"Index({self.result!r})"


class LyingInt(int):
    """An int whose own conversions say something else."""

    def __index__(self):
        return 7

    def __int__(self):
        return 7

    def __repr__(self):
        return f"LyingInt({int.__index__(self)})"


class Lying:
    """Reports `length` (or raises it), yields `items`, then raises `stop`
    if given."""

    def __init__(self, items, length, stop):
        self.items, self.length, self.stop = list(items), length, stop

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __iter__(self):
        yield from self.items
        if self.stop is not None:
            raise self.stop

    def __repr__(self):
        return (f"{type(self).__name__}({self.items!r}, len={self.length!r}, "
                f"stop={self.stop!r})")


class Seq(Lying):
    """A Lying object that passes the sequence check."""

    def __getitem__(self, i):
        return self.items[i]


class IterOnly(Lying):
    """Iterable, but no sequence."""


def _type_name(obj):
    return type(obj).__qualname__


def index_of(obj):
    """CPython's number-index operation on `obj`, as the model sees it."""
    if isinstance(obj, int):
        return Outcome(int.__index__(obj))
    if isinstance(obj, Index):
        r = obj.result
        if isinstance(r, BaseException):
            return fails(type(r), str(r))
        if isinstance(r, int):
            return Outcome(int.__index__(r))
        return fails(TypeError, f"__index__ returned non-int (type {_type_name(r)})")
    try:  # builtin and numpy objects: no side effects
        return Outcome(operator.index(obj))
    except TypeError as e:
        return fails(TypeError, str(e))


def u64_of(obj):
    got = index_of(obj)
    if not got.ok:
        return got
    if got.value < 0:
        return fails(OverflowError, "can't convert negative int to unsigned")
    if got.value > U64_MAX:
        return fails(OverflowError, "int too big to convert")
    return got


def _c_long_range(lo, hi):
    def convert(obj):
        got = index_of(obj)
        if not got.ok:
            return got
        if not -2**63 <= got.value < 2**63:
            return fails(OverflowError, "Python int too large to convert to C long")
        if not lo <= got.value < hi:
            return fails(OverflowError, "out of range integral type conversion attempted")
        return got
    return convert


u32_of = _c_long_range(0, 2**32)
i32_of = _c_long_range(-2**31, 2**31)


def text_of(obj):
    if not isinstance(obj, str):
        return fails(TypeError,
                     f"'{_type_name(obj)}' object cannot be converted to 'PyString'")
    try:
        return Outcome(str.encode(obj, "utf-8"))
    except UnicodeEncodeError:
        return fails(UnicodeEncodeError)


_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]


def _iterate(obj):
    """(items, error) of iterating `obj`, without running product code."""
    if isinstance(obj, Lying):
        return obj.items, obj.stop
    try:
        return iter(obj), None
    except TypeError as e:
        return [], e


def _reported_length(obj):
    """What the sequence's length query gives, or None when it fails."""
    if isinstance(obj, Lying):
        n = obj.length
        return n if isinstance(n, int) and 0 <= n < 2**63 else None
    try:
        return len(obj)
    except (TypeError, OverflowError):
        return None


def seq_of(element, size):
    """Sequence to vector of `size`-byte elements: a reported length that
    no vector can hold is MemoryError, before any element is looked at."""
    def convert(obj):
        if isinstance(obj, str):
            return fails(TypeError, "Can't extract `str` to `Vec`")
        if not _sequence_check(obj):
            return fails(TypeError,
                         f"'{_type_name(obj)}' object cannot be converted to 'Sequence'")
        reported = _reported_length(obj)
        if reported is not None and reported > (2**63 - 1) // size:
            return fails(MemoryError)
        items, stop = _iterate(obj)
        values = []
        for item in items:
            got = element(item)
            if not got.ok:
                return got
            values.append(got.value)
        if stop is not None:
            return fails(type(stop), str(stop))
        return Outcome(values)
    return convert


CONVERSIONS = {
    "u64": u64_of, "u32": u32_of, "i32": i32_of, "text": text_of,
    "seq_u64": seq_of(u64_of, 8), "seq_u32": seq_of(u32_of, 4), "seq_i32": seq_of(i32_of, 4),
}


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


@st.composite
def calls(draw, params, required):
    """(args, kwargs, bound) for a call: each parameter passed by position,
    by keyword or left out, sometimes with a surplus, repeated or unknown
    argument. `bound` maps parameter names to the objects passed."""
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


def binding(full, params, required, args, kwargs):
    """The binding failure (type, message) of a call, or the bound values."""
    names = [p.name for p in params]
    if len(args) > len(names):
        given_word = "was" if len(args) == 1 else "were"
        if required == len(names):
            return fails(TypeError, f"{full} takes {len(names)} positional arguments "
                                    f"but {len(args)} {given_word} given")
        return fails(TypeError, f"{full} takes from {required} to {len(names)} positional "
                                f"arguments but {len(args)} {given_word} given")
    bound = dict(zip(names, args))
    for key in kwargs:
        if key not in names:
            return fails(TypeError, f"{full} got an unexpected keyword argument '{key}'")
        if key in bound:
            return fails(TypeError, f"{full} got multiple values for argument '{key}'")
        bound[key] = kwargs[key]
    missing = [n for n in names[:required] if n not in bound]
    if missing:
        quoted = [f"'{n}'" for n in missing]
        if len(quoted) == 1:
            joined = quoted[0]
        elif len(quoted) == 2:
            joined = " and ".join(quoted)
        else:
            joined = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
        word = "argument" if len(missing) == 1 else "arguments"
        return fails(TypeError, f"{full} missing {len(missing)} required positional "
                                f"{word}: {joined}")
    return Outcome(bound)


def convert_all(params, bound):
    """Converts the bound arguments in parameter order, as the module must."""
    converted = {}
    for p in params:
        if p.name not in bound:
            continue
        got = CONVERSIONS[p.kind](bound[p.name])
        if not got.ok:
            if got.exc is TypeError:
                return fails(TypeError, f"argument '{p.name}': {got.message}")
            return got
        converted[p.name] = got.value
    return Outcome(converted)


def expect(full, params, required, args, kwargs, operation):
    """What the call must do: binding, then conversion, then `operation`
    on the converted values (an Outcome, or a set of acceptable ones)."""
    bound = binding(full, params, required, args, kwargs)
    if not bound.ok:
        return bound
    converted = convert_all(params, bound.value)
    if not converted.ok:
        return converted
    return operation(**converted.value)


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

P = 248044
MULTS = (0x158EEB0ED789, 0x124A0230FF35, 0x752F6EB3BA7)
SIZES = [20000003, 20000023, 20000033, 20000047, 20000059, 20000063, 20000069,
         20000077, 20000081, 20000093, 20000107, 20000147, 20000153, 20000159,
         20000161, 20000171]
OFFSETS = [sum(SIZES[:t]) for t in range(16)]


def reference_rowids(history, tokens):
    seq = list(history) + list(tokens)
    out = []
    for p, tok in enumerate(seq):
        ctx1 = seq[p - 1] if p >= 1 else P
        ctx2 = seq[p - 2] if p >= 2 and P not in seq[p - 2:p] else P
        h2 = (tok * MULTS[0] ^ ctx1 * MULTS[1]) % 2**64
        h3 = h2 ^ (ctx2 * MULTS[2]) % 2**64
        out.append([(h2 if t < 8 else h3) % SIZES[t] + OFFSETS[t] for t in range(16)])
    return out[len(history):]


tokens = st.one_of(st.sampled_from([0, P, P - 1, P + 1, 2**32 - 1, 2**31]),
                   st.integers(0, 2**32 - 1))
ple_specs = st.sampled_from([1, 1, 1, 0, 2, 2**32 - 1])


def rowids_result(history, tokens, ple_spec):
    if ple_spec != 1:
        return fails(NotImplementedError, "only PLE_QWEN_V1=1 is implemented")
    return Outcome(reference_rowids(history, tokens))


@FUZZ
@given(data=st.data())
def test_rowids_for_seq(data):
    params = [Param("tokens", "seq_u32", tokens), Param("ple_spec", "u32", ple_specs)]
    args, kwargs = data.draw(calls(params, 2))
    want = expect("rowids_for_seq()", params, 2, args, kwargs,
                  lambda tokens, ple_spec: rowids_result([P, P], tokens, ple_spec))
    check("rowids_for_seq", lambda: rowids_for_seq(*args, **kwargs), want)


@FUZZ
@given(data=st.data())
def test_rowids_for_seq_with_history(data):
    params = [Param("history", "seq_u32", tokens), Param("tokens", "seq_u32", tokens),
              Param("ple_spec", "u32", ple_specs)]
    args, kwargs = data.draw(calls(params, 3))
    want = expect("rowids_for_seq_with_history()", params, 3, args, kwargs, rowids_result)
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
    params = [Param("path", "text", path_strategy(known))]
    args, kwargs = data.draw(calls(params, 1))

    def outcome(path):
        if os.path.isdir(path):
            return oserror(errno.EISDIR)
        return (Outcome(ANY), fails(OSError))  # some other readable file
    want = expect("read_keys()", params, 1, args, kwargs,
                  lambda path: path_outcome(path.decode("utf-8"), known, outcome))
    check("read_keys", lambda: read_keys(*args, **kwargs), want)


@FUZZ
@given(data=st.data())
def test_view_construction(data, files):
    known = {files["records"]: Outcome(ANY)}
    params = [Param("path", "text", path_strategy(known))]
    args, kwargs = data.draw(calls(params, 1))
    def outcome(path):
        if os.path.isdir(path):
            return oserror(errno.EISDIR)
        return Outcome(ANY)
    want = expect("View.__new__()", params, 1, args, kwargs,
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
            params = [Param("index", "u64", record_index(count))]
            op = one
        elif which == "read_records":
            params = [Param("indices", "seq_u64", record_index(count))]
            op = many
        else:
            params = []
            value = {"len": count, "slot_bytes": slot, "close": None}[which]
            op = lambda: Outcome(value)  # noqa: E731
        args, kwargs = data.draw(calls(params, len(params)))
        method = getattr(view, which)
        if params:
            want = expect(f"View.{which}()", params, len(params), args, kwargs, op)
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
    params = [Param("dir", "text", st.sampled_from([table, table + "/", "/nonexistent"])),
              Param("shards", "u64", geometry(4)),
              Param("rows_per_shard", "u64", geometry(40)),
              Param("width", "u64", geometry(40)),
              Param("threads", "u64", geometry(40))]
    args, kwargs = data.draw(calls(params, 4))

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
    want = expect("Store.__new__()", params, 4, args, kwargs, construct)
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
        offset = (r % rows_per_shard) * width % 2**64
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
        params = [Param("rowids", "seq_u64", st.one_of(rows, boundary_ints))]
        op = lambda rowids: fetch_reference(  # noqa: E731
            files, shards, rows_per_shard, width, rowids)
    elif which == "fetch_one":
        params = [Param("rowid", "u64", st.one_of(rows, boundary_ints))]
        op = lambda rowid: fetch_reference(  # noqa: E731
            files, shards, rows_per_shard, width, [rowid])
    else:
        params = []
    args, kwargs = data.draw(calls(params, len(params)))
    if params:
        want = expect(f"Store.{which}()", params, 1, args, kwargs, op)
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
    ctor_params = [Param("page_size", "u64", st.just(page_size))]
    if construct:
        args, kwargs = data.draw(calls(ctor_params, 0))

        def made(page_size=4096):
            if page_size == 0 or page_size & (page_size - 1):
                return fails(ValueError, "page_size must be a positive power of two")
            return Outcome(ANY)
        want = expect(f"{cls.__name__}.__new__()", ctor_params, 0, args, kwargs, made)
        check(cls.__name__, lambda: cls(*args, **kwargs), want)
        return
    if page_size == 0 or page_size & (page_size - 1):
        page_size = 4096
    reader = cls(page_size)
    params = [Param("file_descriptors", "seq_i32", fd_values(files)),
              Param("offsets", "seq_u64", offset_values())]
    args, kwargs = data.draw(calls(params, 2))
    want = expect(f"{cls.__name__}.read_pages()", params, 2, args, kwargs,
                  lambda file_descriptors, offsets: page_reference(
                      files, page_size, file_descriptors, offsets,
                      ring=cls is IoUringPageReader))
    check(f"{cls.__name__}.read_pages", lambda: reader.read_pages(*args, **kwargs), want)


@FUZZ
@given(data=st.data())
def test_page_reader(data, files):
    page_reader_test(data, files, PageReader)


@FUZZ
@given(data=st.data())
def test_uring_page_reader(data, files):
    page_reader_test(data, files, IoUringPageReader)
    assert IoUringPageReader().backend in ("io_uring", "pread")
