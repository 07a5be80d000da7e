"""read_keys: key list files."""

import os

import pytest

from _larkspur import read_keys

BAD_DIGIT = "invalid digit found in string"
TOO_LARGE = "number too large to fit in target type"
NOT_UTF8 = "stream did not contain valid UTF-8"


@pytest.fixture
def key_file(tmp_path):
    def write(contents):
        path = tmp_path / "keys.txt"
        path.write_bytes(contents if isinstance(contents, bytes)
                         else contents.encode())
        return str(path)
    return write


def raises_os_error(path, message):
    with pytest.raises(OSError) as info:
        read_keys(path)
    assert type(info.value) is OSError
    assert info.value.args == (message,)
    assert info.value.errno is None and info.value.filename is None


@pytest.mark.parametrize("contents, keys", [
    ("", []),
    ("\n \n\t\r\n\u3000\n", []),
    ("7\n\n \t+42 \n007\n", [7, 42, 7]),
    ("7\r\n\r\n+42\r\n007", [7, 42, 7]),
    ("1\n2", [1, 2]),
    ("5\n5\n", [5, 5]),
    ("18446744073709551615\n0\n", [2**64 - 1, 0]),
    ("\u00a0 12\u3000\n\u2028\u200a3\u205f", [12, 3]),
    ("\x0b\x0c4\x85\u1680\u202f", [4]),
])
def test_keys_in_file_order(key_file, contents, keys):
    assert read_keys(key_file(contents)) == keys


@pytest.mark.parametrize("line, message", [
    ("-1", BAD_DIGIT), ("1 2", BAD_DIGIT), ("1_000", BAD_DIGIT),
    ("0x10", BAD_DIGIT), ("+", BAD_DIGIT), ("-", BAD_DIGIT),
    ("++1", BAD_DIGIT), ("1#", BAD_DIGIT), ("\ufeff1", BAD_DIGIT),
    ("\u200b1", BAD_DIGIT), ("\u0661", BAD_DIGIT),
    ("\x1c1", BAD_DIGIT),  # str.strip() would drop U+001C; not white space
    ("18446744073709551616", TOO_LARGE),
    ("184467440737095516150", TOO_LARGE),
    ("18446744073709551615a", BAD_DIGIT),
    ("99999999999999999999999x", TOO_LARGE),
])
def test_bad_key_fails_the_whole_call(key_file, line, message):
    raises_os_error(key_file(f"1\n2\n{line}\n3\n"), message)


def test_byte_order_mark_is_not_trimmed(key_file):
    raises_os_error(key_file(b"\xef\xbb\xbf1\n2\n"), BAD_DIGIT)


@pytest.mark.parametrize("contents", [
    b"1\n2\n\xff\n4\n",
    b"1\n2\n3\xc3",             # cut inside a character at the end
    b"1\n\xed\xa0\x80\n",       # an encoded surrogate
    b"1\n\xc0\xb1\n",           # an overlong '1'
])
def test_invalid_utf8_raises_instead_of_truncating(key_file, contents):
    raises_os_error(key_file(contents), NOT_UTF8)


def test_first_failing_line_decides(key_file):
    raises_os_error(key_file(b"x\n\xff\n"), BAD_DIGIT)
    raises_os_error(key_file(b"\xff\nx\n"), NOT_UTF8)


def test_directory_raises_read_error(tmp_path):
    raises_os_error(str(tmp_path), "Is a directory (os error 21)")


def test_read_error_after_open():
    # Reading address 0 of one's own memory fails after a successful open.
    raises_os_error("/proc/self/mem", "Input/output error (os error 5)")


@pytest.mark.parametrize("name, errno_text", [
    ("absent.txt", "No such file or directory (os error 2)"),
    ("absent/keys.txt", "No such file or directory (os error 2)"),
])
def test_open_errors(tmp_path, name, errno_text):
    raises_os_error(str(tmp_path / name), errno_text)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(key_file):
    path = key_file("1\n")
    os.chmod(path, 0)
    raises_os_error(path, "Permission denied (os error 13)")


def test_nul_in_path(key_file):
    raises_os_error(key_file("1\n") + "\0", "file name contained an "
                    "unexpected NUL byte")


def test_unencodable_path_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        read_keys("\ud800")


def test_path_by_keyword(key_file):
    # Binding and conversion failures: test_binding.py.
    assert read_keys(path=key_file("3\n")) == [3]


def test_signature():
    assert read_keys.__text_signature__ == "(path)"
