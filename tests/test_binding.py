"""Argument binding and conversion rules shared by every entry point."""

import os
import pathlib

import pytest

import _larkspur
from _larkspur import PageReader, read_keys, rowids_for_seq, rowids_for_seq_with_history


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Seq:
    """A sequence whose length and iteration can be made to misbehave."""

    def __init__(self, items, length=None, iter_error=None):
        self.items = items
        self.length = length
        self.iter_error = iter_error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for item in self.items:
            yield item
        if self.iter_error is not None:
            raise self.iter_error


def message(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: rowids_for_seq([1, 2]),
         "rowids_for_seq() missing 1 required positional argument: 'ple_spec'"),
        (lambda: rowids_for_seq_with_history(),
         "rowids_for_seq_with_history() missing 3 required positional arguments: "
         "'history', 'tokens', and 'ple_spec'"),
        (lambda: rowids_for_seq_with_history([1]),
         "rowids_for_seq_with_history() missing 2 required positional arguments: "
         "'tokens' and 'ple_spec'"),
        (lambda: rowids_for_seq([1], 1, 2),
         "rowids_for_seq() takes 2 positional arguments but 3 were given"),
        (lambda: rowids_for_seq([1], 1, tokens=[2]),
         "rowids_for_seq() got multiple values for argument 'tokens'"),
        (lambda: rowids_for_seq([1], ple_spec=1, nope=2),
         "rowids_for_seq() got an unexpected keyword argument 'nope'"),
        (lambda: _larkspur.Store("", 0, 0, 0, 1, 2),
         "Store.__new__() takes from 4 to 5 positional arguments but 6 were given"),
        (lambda: _larkspur.Store(),
         "Store.__new__() missing 4 required positional arguments: "
         "'dir', 'shards', 'rows_per_shard', and 'width'"),
        (lambda: PageReader(1, 2),
         "PageReader.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: read_keys(),
         "read_keys() missing 1 required positional argument: 'path'"),
        (lambda: read_keys(path="a", other=1),
         "read_keys() got an unexpected keyword argument 'other'"),
    ],
)
def test_binding_messages(call, text):
    assert message(call) == (TypeError, text)


def test_binding_stops_at_the_first_failure():
    # The unknown keyword is reported even though a required one is missing,
    # and nothing is converted before binding succeeds.
    assert message(lambda: rowids_for_seq("abc", nope=1)) == (
        TypeError, "rowids_for_seq() got an unexpected keyword argument 'nope'")


def test_keywords_bind_by_name():
    assert rowids_for_seq(ple_spec=1, tokens=[5]) == rowids_for_seq([5], 1)
    assert rowids_for_seq_with_history(tokens=[5], ple_spec=1, history=[4]) == \
        rowids_for_seq_with_history([4], [5], 1)


def test_method_self_type_is_checked():
    with pytest.raises(TypeError):
        PageReader.read_pages(5, [1], [2])


# -- integer conversions ---------------------------------------------------

@pytest.mark.parametrize(
    "value, expected",
    [
        (-1, (OverflowError, "can't convert negative int to unsigned")),
        (2**64, (OverflowError, "int too big to convert")),
        (1.5, (TypeError, "argument 'page_size': 'float' object cannot be interpreted as an integer")),
        (None, (TypeError, "argument 'page_size': 'NoneType' object cannot be interpreted as an integer")),
        ("4096", (TypeError, "argument 'page_size': 'str' object cannot be interpreted as an integer")),
        (Index(ValueError("boom")), (ValueError, "boom")),
        (Index(TypeError("bad index")), (TypeError, "argument 'page_size': bad index")),
    ],
)
def test_u64_conversion_failures(value, expected):
    assert message(lambda: PageReader(value)) == expected


@pytest.mark.parametrize("value", [4096, True, Index(4096), 2**63])
def test_u64_conversion_accepts_ints_and_index(value):
    PageReader(value)


class IntSub(int):
    pass


@pytest.mark.parametrize(
    "token, expected",
    [
        (-1, (OverflowError, "out of range integral type conversion attempted")),
        (2**32, (OverflowError, "out of range integral type conversion attempted")),
        (2**63, (OverflowError, "Python int too large to convert to C long")),
        (-(2**63) - 1, (OverflowError, "Python int too large to convert to C long")),
        (1.0, (TypeError, "argument 'tokens': 'float' object cannot be interpreted as an integer")),
        (None, (TypeError, "argument 'tokens': 'NoneType' object cannot be interpreted as an integer")),
    ],
)
def test_u32_element_failures(token, expected):
    assert message(lambda: rowids_for_seq([1, token], 1)) == expected


def test_u32_accepts_bounds_subclasses_and_index():
    base = rowids_for_seq([0, 2**32 - 1, 1, 7], 1)
    assert rowids_for_seq([IntSub(0), Index(2**32 - 1), True, Index(7)], 1) == base


@pytest.mark.parametrize(
    "fd, expected",
    [
        (2**31, (OverflowError, "out of range integral type conversion attempted")),
        (-(2**31) - 1, (OverflowError, "out of range integral type conversion attempted")),
    ],
)
def test_i32_element_failures(fd, expected):
    assert message(lambda: PageReader().read_pages([fd], [0])) == expected


def test_i32_accepts_negative_descriptors():
    # -1 converts; the read then fails with the system's EBADF.
    assert message(lambda: PageReader().read_pages([-1], [0])) == (
        OSError, "Bad file descriptor (os error 9)")


# -- text --------------------------------------------------------------------

@pytest.mark.parametrize(
    "path, expected",
    [
        (b"k.txt", (TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'")),
        (pathlib.Path("k.txt"),
         (TypeError, "argument 'path': 'PosixPath' object cannot be converted to 'PyString'")),
        (None, (TypeError, "argument 'path': 'NoneType' object cannot be converted to 'PyString'")),
    ],
)
def test_text_conversion_failures(path, expected):
    assert message(lambda: read_keys(path)) == expected


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
    assert message(lambda: read_keys("a\0b")) == (
        OSError, "file name contained an unexpected NUL byte")


# -- sequences ---------------------------------------------------------------

@pytest.mark.parametrize(
    "tokens, kind",
    [
        ({1: 2}, "dict"),
        ({1}, "set"),
        ((x for x in [1]), "generator"),
        (iter([1]), "list_iterator"),
        (5, "int"),
        (None, "NoneType"),
    ],
)
def test_non_sequences_are_refused(tokens, kind):
    assert message(lambda: rowids_for_seq(tokens, 1)) == (
        TypeError, f"argument 'tokens': '{kind}' object cannot be converted to 'Sequence'")


@pytest.mark.parametrize("text", ["abc", ""])
def test_str_is_refused(text):
    assert message(lambda: rowids_for_seq(text, 1)) == (
        TypeError, "argument 'tokens': Can't extract `str` to `Vec`")
    assert message(lambda: rowids_for_seq_with_history(text, [1], 1)) == (
        TypeError, "argument 'history': Can't extract `str` to `Vec`")


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
    assert message(lambda: rowids_for_seq(Seq([1, 2, 3], length=length), 1))[0] is MemoryError
    assert message(lambda: PageReader().read_pages(Seq([], length=length), []))[0] \
        is MemoryError
    assert message(lambda: _larkspur.Store("", 0, 1, 8).fetch(
        range(2**64 - 1, 2**64 + 2**62)))[0] is MemoryError


def test_iteration_errors_propagate():
    assert message(lambda: rowids_for_seq(Seq([1], iter_error=KeyError("it")), 1)) == (
        KeyError, "'it'")
    assert message(lambda: rowids_for_seq(Seq([1], iter_error=TypeError("it")), 1)) == (
        TypeError, "argument 'tokens': it")


def test_first_failing_argument_wins():
    # history is converted before tokens, tokens before ple_spec.
    assert message(lambda: rowids_for_seq_with_history([-1], "x", 1.0))[0] is OverflowError
    assert message(lambda: rowids_for_seq_with_history([1], "x", 1.0)) == (
        TypeError, "argument 'tokens': Can't extract `str` to `Vec`")


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
