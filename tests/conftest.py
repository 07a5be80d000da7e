import ctypes
import gc
import importlib
import json
import operator
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent
FAULTINJECT = HERE / "faultinject"

# Faults injected by the child interpreters of this session, as
# [entry point, rule, failures made]; written to $FAULTINJECT_TALLY at the
# end of the session when that is set.
FAULT_TALLY = []


@pytest.fixture
def fd_count():
    """Number of open descriptors of this process, read on demand, once
    garbage from earlier tests (objects in cycles holding files) is gone."""
    def count():
        gc.collect()
        return len(os.listdir("/proc/self/fd"))
    return count


def raised(call):
    """(type, message) of the exception `call()` raises."""
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


def bench_module(name):
    """bench/{name}.py of the checkout: the benchmarks are not in the package."""
    sys.path.insert(0, str(HERE.parent))
    try:
        return importlib.import_module(f"bench.{name}")
    finally:
        sys.path.pop(0)


def cli_argv(*args, prelude=""):
    """The command line of a child running `larkspur *args` after `prelude`."""
    if not prelude:
        return [sys.executable, "-m", "larkspur", *map(str, args)]
    return [sys.executable, "-c", prelude + "\nimport sys\nfrom larkspur.cli import main\n"
            "sys.exit(main(sys.argv[1:]))", *map(str, args)]


def run_cli(*args, prelude="", **kw):
    return subprocess.run(cli_argv(*args, prelude=prelude), capture_output=True, text=True,
                          timeout=kw.pop("timeout", 120), **kw)


def write_token_trace(path, count, vocab=40, seed=0):
    """A token trace as the demo and bench/cache.py read it (raw
    little-endian uint32) at `path`: `count` ids skewed towards the first of
    `vocab` ids, so that n-grams repeat. Returns the ids."""
    import numpy as np

    rng = np.random.default_rng(seed)
    tokens = (vocab * rng.random(count) ** 3).astype("<u4") + 1
    tokens.tofile(path)
    return tokens


def under_asan():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture(scope="session")
def faultinject_lib(tmp_path_factory):
    """The fault-injection library, compiled once per session."""
    cc = shutil.which(os.environ.get("CC", "cc"))
    if cc is None:
        pytest.skip("no C compiler (cc) to build the fault-injection library")
    out = tmp_path_factory.mktemp("faultinject") / "faultinject.so"
    proc = subprocess.run(
        [cc, "-shared", "-fPIC", "-fexceptions", "-O2", "-Wall", "-Wextra", "-o", str(out),
         str(FAULTINJECT / "faultinject.c"), "-ldl"],
        capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.fail(f"cannot build the fault-injection library:\n{proc.stderr}")
    return str(out)


def loaded_cxx_runtime():
    """Path of the C++ runtime this process has loaded (with the module)."""
    with open("/proc/self/maps") as f:
        for line in f:
            path = line.split()[-1]
            if os.path.basename(path).startswith("libstdc++.so"):
                return path
    return None


def child_env(extra=None, preload=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LARKSPUR_")}
    env["LARKSPUR_POOL_WORKERS"] = "32"
    if preload is not None:
        env["FAULTINJECT_LIB"] = preload
        sanitizer = env.get("LD_PRELOAD", "")
        if under_asan():
            # The library goes first, or the sanitizer's operator new would
            # hide ours; the C++ runtime is loaded up front so that the
            # sanitizer finds the real __cxa_throw when it starts.
            env["LD_PRELOAD"] = ":".join([preload, sanitizer, loaded_cxx_runtime()])
            env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "")
                                   + ",verify_asan_link_order=0")
        else:
            env["LD_PRELOAD"] = f"{sanitizer}:{preload}" if sanitizer else preload
    env.update(extra or {})
    return env


def run_child_code(code, *, args=(), env=None, preload=None, timeout=300):
    """Runs `code` in a fresh interpreter after `from child_helpers import *`
    and returns the dict it left in `out`."""
    prelude = (f"import sys\nsys.path.insert(0, {str(FAULTINJECT)!r})\n"
               "import json, os, sys\nfrom child_helpers import *\n"
               "import _larkspur\nfrom _larkspur import *\nout = {}\n")
    proc = subprocess.run(
        [sys.executable, "-c", prelude + code + "\nreport(out)\n", *map(str, args)],
        env=child_env(env, preload), capture_output=True, text=True,
        timeout=timeout)
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n{proc.stdout}\n{proc.stderr}")
    out = json.loads(proc.stdout.rstrip("\n").rsplit("\n", 1)[-1])
    FAULT_TALLY.extend(out.pop("_tally"))
    out["_stderr"] = proc.stderr
    return out


@pytest.fixture
def faulty(faultinject_lib):
    """faulty(code, *args, **env) runs code in a child under the library."""
    return lambda code, *args, **env: run_child_code(
        code, args=args, env=env, preload=faultinject_lib)


def pytest_sessionfinish(session):
    path = os.environ.get("FAULTINJECT_TALLY")
    if path and FAULT_TALLY:
        with open(path, "w") as f:
            json.dump(FAULT_TALLY, f)


# ---------------------------------------------------------------------------
# Awkward arguments, and the model of how the module binds and converts
# arguments. test_binding.py checks the model against literal messages; the
# surface fuzzer predicts every call with it.


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


class Lying:
    """Reports `length` (or raises it; the true length by default), yields
    `items`, then raises `stop` if given."""

    def __init__(self, items, length=None, stop=None):
        self.items, self.stop = list(items), stop
        self.length = len(self.items) if length is None else length

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


U64_MAX = 2**64 - 1


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
    # Taken as it is: the operation inspects it (buffers, None, flags).
    "obj": Outcome,
}


class Signature:
    """A callable as its declaration describes it: the name its messages
    use, its parameters as (name, conversion), how many are required, and
    how many may be passed by position (the rest only by keyword)."""

    def __init__(self, full, params, required=None, positional=None):
        self.full, self.params = full, params
        self.required = len(params) if required is None else required
        self.positional = len(params) if positional is None else positional

    @property
    def names(self):
        return [name for name, _ in self.params]


def _reader_signatures(cls):
    return {cls: Signature(f"{cls}.__new__()", [("page_size", "u64")], 0),
            f"{cls}.read_pages": Signature(f"{cls}.read_pages()", [
                ("file_descriptors", "seq_i32"), ("offsets", "seq_u64")])}


SIGNATURES = {
    "rowids_for_seq": Signature("rowids_for_seq()", [("tokens", "seq_u32"),
                                                     ("ple_spec", "u32")]),
    "rowids_for_seq_with_history": Signature("rowids_for_seq_with_history()", [
        ("history", "seq_u32"), ("tokens", "seq_u32"), ("ple_spec", "u32")]),
    "read_keys": Signature("read_keys()", [("path", "text")]),
    "View": Signature("View.__new__()", [("path", "text")]),
    "View.read_record": Signature("View.read_record()", [("index", "u64")]),
    "View.read_records": Signature("View.read_records()", [("indices", "seq_u64")]),
    "Store": Signature("Store.__new__()", [
        ("dir", "text"), ("shards", "u64"), ("rows_per_shard", "u64"), ("width", "u64"),
        ("threads", "u64")], 4),
    "Store.fetch": Signature("Store.fetch()", [("rowids", "seq_u64")]),
    "Store.fetch_one": Signature("Store.fetch_one()", [("rowid", "u64")]),
    **_reader_signatures("PageReader"),
    **_reader_signatures("IoUringPageReader"),
    # Methods without parameters: their binding failures are CPython's own,
    # whose messages the model does not predict.
    **{f"{cls}.{method}": Signature(f"{cls}.{method}()", [])
       for cls, methods in [("View", ["len", "slot_bytes", "close"]), ("Store", ["close"])]
       for method in methods},
}


def binding(sig, args, kwargs):
    """The binding failure (type, message) of a call, or the bound values."""
    full, names, required, positional = sig.full, sig.names, sig.required, sig.positional
    if len(args) > positional:
        given_word = "was" if len(args) == 1 else "were"
        if required == positional:
            return fails(TypeError, f"{full} takes {positional} positional arguments "
                                    f"but {len(args)} {given_word} given")
        return fails(TypeError, f"{full} takes from {required} to {positional} positional "
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


def convert_all(sig, bound):
    """Converts the bound arguments in parameter order, as the module must."""
    converted = {}
    for name, kind in sig.params:
        if name not in bound:
            continue
        got = CONVERSIONS[kind](bound[name])
        if not got.ok:
            if got.exc is TypeError:
                return fails(TypeError, f"argument '{name}': {got.message}")
            return got
        converted[name] = got.value
    return Outcome(converted)


def expect(sig, args, kwargs, operation=lambda **converted: Outcome(converted)):
    """What a call must do: binding, then conversion, then `operation` on
    the converted values (an Outcome, or a tuple of acceptable ones)."""
    bound = binding(sig, args, kwargs)
    if not bound.ok:
        return bound
    converted = convert_all(sig, bound.value)
    if not converted.ok:
        return converted
    return operation(**converted.value)
