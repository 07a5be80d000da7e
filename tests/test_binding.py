"""Argument binding and conversion, the rules shared by every entry point.

This is the one place where the module's binding and conversion messages
are written out: each case is checked against the module and against the
model in conftest.py with which the surface fuzzer predicts every call.
"""

import pathlib

import pytest

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
from conftest import SIGNATURES, Index, Seq, expect, raised


@pytest.fixture(scope="module")
def callables(tmp_path_factory):
    """Every callable of SIGNATURES that takes parameters, by its name there."""
    d = tmp_path_factory.mktemp("binding")
    (d / "shard_0.bin").write_bytes(bytes(64 * 300))
    (d / "rec.bin").write_bytes(bytes(16 * 10))
    (d / "rec.manifest.json").write_text('{"slot_bytes": 16}')
    store, view = Store(str(d), 1, 300, 64), View(str(d / "rec.bin"))
    return {
        "rowids_for_seq": rowids_for_seq,
        "rowids_for_seq_with_history": rowids_for_seq_with_history,
        "read_keys": read_keys,
        "View": View, "View.read_record": view.read_record,
        "View.read_records": view.read_records,
        "Store": Store, "Store.fetch": store.fetch, "Store.fetch_one": store.fetch_one,
        "PageReader": PageReader, "PageReader.read_pages": PageReader().read_pages,
        "IoUringPageReader": IoUringPageReader,
        "IoUringPageReader.read_pages": IoUringPageReader().read_pages,
    }


def gen():
    yield 1


OUT_OF_RANGE = "out of range integral type conversion attempted"
LONG_RANGE = "Python int too large to convert to C long"
NEGATIVE = "can't convert negative int to unsigned"
TOO_BIG = "int too big to convert"
NOT_INT = "object cannot be interpreted as an integer"
STR_VEC = "Can't extract `str` to `Vec`"


def readers(args, exc, text):
    """The same case for both page reader classes; `text` may name the class."""
    return [(name, args, {}, exc, text.format(cls=name))
            for name in ("PageReader", "IoUringPageReader")]


def read_pages(args, exc, text):
    return [(f"{name}.read_pages", args, kwargs, exc, text)
            for name, _, kwargs, _, _ in readers(args, exc, text)]


# (callable, args, kwargs, exception, message)
TEXTS = [
    # binding
    ("rowids_for_seq", ([1, 2],), {}, TypeError,
     "rowids_for_seq() missing 1 required positional argument: 'ple_spec'"),
    ("rowids_for_seq_with_history", (), {}, TypeError,
     "rowids_for_seq_with_history() missing 3 required positional arguments: "
     "'history', 'tokens', and 'ple_spec'"),
    ("rowids_for_seq_with_history", ([1],), {}, TypeError,
     "rowids_for_seq_with_history() missing 2 required positional arguments: "
     "'tokens' and 'ple_spec'"),
    ("rowids_for_seq", ([1], 1, 2), {}, TypeError,
     "rowids_for_seq() takes 2 positional arguments but 3 were given"),
    ("rowids_for_seq", ([1], 1), {"tokens": [2]}, TypeError,
     "rowids_for_seq() got multiple values for argument 'tokens'"),
    ("rowids_for_seq", ([1],), {"ple_spec": 1, "nope": 2}, TypeError,
     "rowids_for_seq() got an unexpected keyword argument 'nope'"),
    # The unknown keyword is reported even though a required one is missing,
    # and nothing is converted before binding succeeds.
    ("rowids_for_seq", ("abc",), {"nope": 1}, TypeError,
     "rowids_for_seq() got an unexpected keyword argument 'nope'"),
    ("Store", ("", 0, 0, 0, 1, 2), {}, TypeError,
     "Store.__new__() takes from 4 to 5 positional arguments but 6 were given"),
    ("Store", (), {}, TypeError,
     "Store.__new__() missing 4 required positional arguments: "
     "'dir', 'shards', 'rows_per_shard', and 'width'"),
    ("Store", ("d", 1, 1), {}, TypeError,
     "Store.__new__() missing 1 required positional argument: 'width'"),
    *readers((1, 2), TypeError,
             "{cls}.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ("read_keys", (), {}, TypeError,
     "read_keys() missing 1 required positional argument: 'path'"),
    ("read_keys", ("a", "b"), {}, TypeError,
     "read_keys() takes 1 positional arguments but 2 were given"),
    ("read_keys", (), {"path": "a", "other": 1}, TypeError,
     "read_keys() got an unexpected keyword argument 'other'"),
    # unsigned 64-bit integers
    ("PageReader", (-1,), {}, OverflowError, NEGATIVE),
    ("PageReader", (2**64,), {}, OverflowError, TOO_BIG),
    ("PageReader", (1.5,), {}, TypeError, f"argument 'page_size': 'float' {NOT_INT}"),
    ("PageReader", ("4096",), {}, TypeError, f"argument 'page_size': 'str' {NOT_INT}"),
    *readers((-4096,), OverflowError, NEGATIVE),
    *readers((None,), TypeError, f"argument 'page_size': 'NoneType' {NOT_INT}"),
    ("PageReader", (Index(ValueError("boom")),), {}, ValueError, "boom"),
    ("PageReader", (Index(TypeError("bad index")),), {}, TypeError,
     "argument 'page_size': bad index"),
    ("Store", ("d", -1, 1, 1), {}, OverflowError, NEGATIVE),
    ("Store", ("d", 1, 2**64, 1), {}, OverflowError, TOO_BIG),
    ("Store", ("d", 1, 1, 1.0), {}, TypeError, f"argument 'width': 'float' {NOT_INT}"),
    ("Store", ("d", 1, 1, 1, None), {}, TypeError, f"argument 'threads': 'NoneType' {NOT_INT}"),
    ("Store.fetch_one", (-1,), {}, OverflowError, NEGATIVE),
    ("Store.fetch_one", (1.5,), {}, TypeError, f"argument 'rowid': 'float' {NOT_INT}"),
    ("Store.fetch_one", ([1],), {}, TypeError, f"argument 'rowid': 'list' {NOT_INT}"),
    ("View.read_record", (-1,), {}, OverflowError, NEGATIVE),
    ("View.read_record", (1.5,), {}, TypeError, f"argument 'index': 'float' {NOT_INT}"),
    # unsigned 32-bit integers: elements, and ple_spec
    ("rowids_for_seq", ([1, -1], 1), {}, OverflowError, OUT_OF_RANGE),
    ("rowids_for_seq", ([1, 2**32], 1), {}, OverflowError, OUT_OF_RANGE),
    ("rowids_for_seq", ([2**63 - 1], 1), {}, OverflowError, OUT_OF_RANGE),
    ("rowids_for_seq", ([1, 2**63], 1), {}, OverflowError, LONG_RANGE),
    ("rowids_for_seq", ([1, -(2**63) - 1], 1), {}, OverflowError, LONG_RANGE),
    ("rowids_for_seq_with_history", ([-2**64], [1], 1), {}, OverflowError, LONG_RANGE),
    ("rowids_for_seq", ([1, 1.0], 1), {}, TypeError, f"argument 'tokens': 'float' {NOT_INT}"),
    ("rowids_for_seq", ([1, None], 1), {}, TypeError,
     f"argument 'tokens': 'NoneType' {NOT_INT}"),
    ("rowids_for_seq_with_history", ([None], [1], 1), {}, TypeError,
     f"argument 'history': 'NoneType' {NOT_INT}"),
    ("rowids_for_seq", ([1], -1), {}, OverflowError, OUT_OF_RANGE),
    ("rowids_for_seq", ([1], 2**32), {}, OverflowError, OUT_OF_RANGE),
    ("rowids_for_seq", ([1], 2**64), {}, OverflowError, LONG_RANGE),
    ("rowids_for_seq", ([1], 1.0), {}, TypeError, f"argument 'ple_spec': 'float' {NOT_INT}"),
    # signed 32-bit integers
    *read_pages(([2**31], [0]), OverflowError, OUT_OF_RANGE),
    ("PageReader.read_pages", ([-(2**31) - 1], [0]), {}, OverflowError, OUT_OF_RANGE),
    # text
    ("View", (None,), {}, TypeError,
     "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    ("View", (), {}, TypeError, "View.__new__() missing 1 required positional argument: 'path'"),
    ("read_keys", (b"k.txt",), {}, TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ("read_keys", (pathlib.Path("k.txt"),), {}, TypeError,
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    ("read_keys", (None,), {}, TypeError,
     "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    ("Store", (b"/tmp", 1, 1, 1), {}, TypeError,
     "argument 'dir': 'bytes' object cannot be converted to 'PyString'"),
    # sequences
    *[("rowids_for_seq", (tokens, 1), {}, TypeError,
       f"argument 'tokens': '{kind}' object cannot be converted to 'Sequence'")
      for tokens, kind in [({1: 2}, "dict"), ({1}, "set"), (gen(), "generator"),
                           (iter([1]), "list_iterator"), (5, "int"), (None, "NoneType")]],
    ("rowids_for_seq_with_history", (5, [1], 1), {}, TypeError,
     "argument 'history': 'int' object cannot be converted to 'Sequence'"),
    ("rowids_for_seq", ("abc", 1), {}, TypeError, f"argument 'tokens': {STR_VEC}"),
    ("rowids_for_seq", ("", 1), {}, TypeError, f"argument 'tokens': {STR_VEC}"),
    ("rowids_for_seq_with_history", ("abc", [1], 1), {}, TypeError,
     f"argument 'history': {STR_VEC}"),
    ("rowids_for_seq_with_history", ("", [1], 1), {}, TypeError,
     f"argument 'history': {STR_VEC}"),
    ("Store.fetch", ("abc",), {}, TypeError, f"argument 'rowids': {STR_VEC}"),
    ("Store.fetch", (gen(),), {}, TypeError,
     "argument 'rowids': 'generator' object cannot be converted to 'Sequence'"),
    ("Store.fetch", ({1: 2},), {}, TypeError,
     "argument 'rowids': 'dict' object cannot be converted to 'Sequence'"),
    ("Store.fetch", ([1, -1],), {}, OverflowError, NEGATIVE),
    ("Store.fetch", ([2**64],), {}, OverflowError, TOO_BIG),
    ("Store.fetch", ([1, 2.0],), {}, TypeError, f"argument 'rowids': 'float' {NOT_INT}"),
    ("Store.fetch", ([None],), {}, TypeError, f"argument 'rowids': 'NoneType' {NOT_INT}"),
    ("View.read_records", ("012",), {}, TypeError, f"argument 'indices': {STR_VEC}"),
    ("View.read_records", ([1, 2**64],), {}, OverflowError, TOO_BIG),
    *read_pages(("12", [0, 0]), TypeError, f"argument 'file_descriptors': {STR_VEC}"),
    *read_pages(([0], "0"), TypeError, f"argument 'offsets': {STR_VEC}"),
    *read_pages(([0], [2**64]), OverflowError, TOO_BIG),
    # An error raised while iterating passes through; a TypeError names the
    # argument.
    ("rowids_for_seq", (Seq([1], stop=KeyError("it")), 1), {}, KeyError, "'it'"),
    ("rowids_for_seq", (Seq([1], stop=TypeError("it")), 1), {}, TypeError,
     "argument 'tokens': it"),
    # history is converted before tokens, tokens before ple_spec, and all of
    # them before ple_spec is checked.
    ("rowids_for_seq_with_history", ([-1], "x", 1.0), {}, OverflowError, OUT_OF_RANGE),
    ("rowids_for_seq_with_history", ([1], "x", 1.0), {}, TypeError,
     f"argument 'tokens': {STR_VEC}"),
    ("rowids_for_seq_with_history", ([1], [1.5], -1), {}, TypeError,
     f"argument 'tokens': 'float' {NOT_INT}"),
    ("rowids_for_seq", ([2**32], 2), {}, OverflowError, OUT_OF_RANGE),
]


@pytest.mark.parametrize("name, args, kwargs, exc, text", TEXTS,
                         ids=[f"{case[0]}-{i}" for i, case in enumerate(TEXTS)])
def test_binding_and_conversion_messages(callables, name, args, kwargs, exc, text):
    # The model first: it never iterates what it is given.
    model = expect(SIGNATURES[name], args, kwargs)
    assert (model.exc, model.message) == (exc, text)
    with pytest.raises(BaseException) as info:
        callables[name](*args, **kwargs)
    assert (type(info.value), str(info.value)) == (exc, text)
    assert len(info.value.args) == 1


def test_every_callable_with_parameters_is_checked(callables):
    with_params = {name for name, sig in SIGNATURES.items() if sig.params}
    assert with_params == set(callables)
    assert with_params == {case[0] for case in TEXTS}


def test_keywords_bind_by_name():
    assert rowids_for_seq(ple_spec=1, tokens=[5]) == rowids_for_seq([5], 1)
    assert rowids_for_seq_with_history(tokens=[5], ple_spec=1, history=[4]) == \
        rowids_for_seq_with_history([4], [5], 1)


def test_method_self_type_is_checked():
    with pytest.raises(TypeError):
        PageReader.read_pages(5, [1], [2])


# -- integers ----------------------------------------------------------------

@pytest.mark.parametrize("value", [4096, True, Index(4096), 2**63])
def test_u64_conversion_accepts_ints_and_index(value):
    PageReader(value)


class IntSub(int):
    pass


def test_u32_accepts_bounds_subclasses_and_index():
    base = rowids_for_seq([0, 2**32 - 1, 1, 7], 1)
    assert rowids_for_seq([IntSub(0), Index(2**32 - 1), True, Index(7)], 1) == base


def test_i32_accepts_negative_descriptors():
    # -1 converts; the read then fails with the system's EBADF.
    assert raised(lambda: PageReader().read_pages([-1], [0])) == (
        OSError, "Bad file descriptor (os error 9)")


# -- text --------------------------------------------------------------------

def test_text_with_lone_surrogate_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        read_keys("\udcff")


def test_text_subclass_is_accepted(tmp_path):
    class Path(str):
        pass

    f = tmp_path / "k.txt"
    f.write_text("1\n")
    assert read_keys(Path(str(f))) == [1]


def test_nul_in_path():
    assert raised(lambda: read_keys("a\0b")) == (
        OSError, "file name contained an unexpected NUL byte")


# -- sequences ---------------------------------------------------------------

@pytest.mark.parametrize(
    "tokens",
    [(1, 2, 3), range(1, 4), bytes([1, 2, 3]), bytearray([1, 2, 3]), Seq([1, 2, 3])],
)
def test_sequence_kinds_match_a_list(tokens):
    assert rowids_for_seq(tokens, 1) == rowids_for_seq([1, 2, 3], 1)


@pytest.mark.parametrize("length", [ValueError("no len"), 0, 10**6])
def test_reported_length_is_only_a_hint(length):
    assert rowids_for_seq(Seq([1, 2, 3], length=length), 1) == rowids_for_seq([1, 2, 3], 1)


@pytest.mark.parametrize("length", [2**62, 2**63 - 1])
def test_length_no_vector_can_hold_is_memory_error(length):
    assert raised(lambda: rowids_for_seq(Seq([1, 2, 3], length=length), 1))[0] is MemoryError
    assert raised(lambda: PageReader().read_pages(Seq([], length=length), []))[0] \
        is MemoryError
    assert raised(lambda: _larkspur.Store("", 0, 1, 8).fetch(
        range(2**64 - 1, 2**64 + 2**62)))[0] is MemoryError


def test_wrapped_type_error_keeps_its_cause():
    cause = ValueError("root")
    err = TypeError("inner")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        rowids_for_seq([Index(err)], 1)
    assert str(info.value) == "argument 'tokens': inner"
    assert info.value.__cause__ is cause
    assert info.value.args == ("argument 'tokens': inner",)


def test_list_shrunk_during_conversion_ends_like_iteration():
    tokens = [1, 2, 3, 4]

    class Shrink:
        def __index__(self):
            del tokens[2:]
            return 9

    tokens[1] = Shrink()
    assert rowids_for_seq(tokens, 1) == rowids_for_seq([1, 9], 1)


def test_os_errors_carry_only_their_message(tmp_path):
    with pytest.raises(OSError) as info:
        read_keys(str(tmp_path / "missing"))
    err = info.value
    assert type(err) is OSError
    assert err.args == ("No such file or directory (os error 2)",)
    assert err.errno is None and err.strerror is None and err.filename is None
