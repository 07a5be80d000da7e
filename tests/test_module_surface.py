import importlib
import subprocess
import sys
import weakref

import pytest

import _larkspur

ALL = [
    "Store",
    "View",
    "PageReader",
    "IoUringPageReader",
    "read_keys",
    "abi_version",
    "rowids_for_seq",
    "rowids_for_seq_with_history",
]
CLASSES = ALL[:4]
FUNCTIONS = ALL[4:]

PAGE_READER_DOC = (
    "Page reader with the common `read_pages(fds, offsets)` call shape of engine page readers.\n\n"
    "This is a pread-based implementation (Unix); it is a useful integration point\n"
    "for engines that already have raw file descriptors and offset lists."
)
URING_DOC = (
    "Linux io_uring-backed page reader with the same Python API shape as\n"
    "`PageReader.read_pages(fds, offsets)`.\n\n"
    "This batches all requests in one ring submission per call (up to 256 at a\n"
    "time), which is the intended path for Linux inference hosts.  The ring is\n"
    "kept thread-local so repeated calls reuse the same io_uring instance."
)
CLOSE_DOC = "Compatibility no-op for the ctypes API (resources are dropped with the object)."


def test_all_in_registration_order():
    assert _larkspur.__all__ == ALL
    for name in ALL:
        assert getattr(_larkspur, name) is not None


def test_module_docstring_is_empty():
    assert _larkspur.__doc__ == ""


def test_reimport_yields_the_same_module():
    first = sys.modules.pop("_larkspur")
    try:
        again = importlib.import_module("_larkspur")
        assert again is first
        assert again.__all__ == ALL
    finally:
        sys.modules["_larkspur"] = first


def test_abi_version():
    assert _larkspur.abi_version() == 1
    with pytest.raises(TypeError):
        _larkspur.abi_version(0)


@pytest.mark.parametrize(
    "name, signature",
    [
        ("read_keys", "(path)"),
        ("abi_version", "()"),
        ("rowids_for_seq", "(tokens, ple_spec)"),
        ("rowids_for_seq_with_history", "(history, tokens, ple_spec)"),
    ],
)
def test_function_records(name, signature):
    fn = getattr(_larkspur, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None
    assert fn.__module__ == "_larkspur"
    assert fn.__self__ is _larkspur
    assert fn.__name__ == name


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("Store", "(dir, shards, rows_per_shard, width, threads=...)", ""),
        ("View", "(path)", ""),
        ("PageReader", "(page_size=4096)", PAGE_READER_DOC),
        ("IoUringPageReader", "(page_size=4096)", URING_DOC),
    ],
)
def test_class_records(name, signature, doc):
    cls = getattr(_larkspur, name)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    with pytest.raises(TypeError, match=f"type 'builtins.{name}' is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "cls, method, signature",
    [
        ("Store", "fetch", "($self, rowids)"),
        ("Store", "fetch_one", "($self, rowid)"),
        ("View", "len", "($self)"),
        ("View", "slot_bytes", "($self)"),
        ("View", "read_record", "($self, index)"),
        ("View", "read_records", "($self, indices)"),
        ("PageReader", "read_pages", "($self, file_descriptors, offsets)"),
        ("IoUringPageReader", "read_pages", "($self, file_descriptors, offsets)"),
    ],
)
def test_method_signatures(cls, method, signature):
    fn = getattr(getattr(_larkspur, cls), method)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None


@pytest.mark.parametrize("cls", ["Store", "View"])
def test_close_docstring(cls):
    close = getattr(_larkspur, cls).close
    assert close.__doc__ == CLOSE_DOC
    assert close.__text_signature__ == "($self)"


def test_getter_docstrings():
    assert _larkspur.Store.width.__doc__ == ""
    assert _larkspur.Store.total_rows.__doc__ == ""
    assert _larkspur.IoUringPageReader.backend.__doc__ == (
        "实际生效的后端：`\"io_uring\"` 或 `\"pread\"`（容器里通常是后者）。"
    )


def test_member_order():
    def members(cls):
        return [k for k in vars(cls) if not k.startswith("__")]

    assert members(_larkspur.Store) == ["fetch", "fetch_one", "close", "width", "total_rows"]
    assert members(_larkspur.View) == ["len", "slot_bytes", "close", "read_record", "read_records"]
    assert members(_larkspur.PageReader) == ["read_pages"]
    assert members(_larkspur.IoUringPageReader) == ["read_pages", "backend"]


def test_instances_have_no_dict_and_no_weakref():
    reader = _larkspur.PageReader()
    with pytest.raises(AttributeError):
        reader.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(reader)


def test_internal_fault_is_a_base_exception():
    fault = _larkspur.InternalFault
    assert issubclass(fault, BaseException)
    assert not issubclass(fault, Exception)
    assert fault.__module__ == "_larkspur"
    assert fault.__name__ == "InternalFault"
    assert "InternalFault" not in _larkspur.__all__


def test_import_starts_no_thread_and_opens_no_file():
    code = (
        "import os, threading\n"
        "before = len(os.listdir('/proc/self/fd'))\n"
        "import _larkspur\n"
        "assert threading.active_count() == 1\n"
        "assert len(os.listdir('/proc/self/task')) == 1\n"
        "assert len(os.listdir('/proc/self/fd')) == before\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.python_side
@pytest.mark.parametrize("module", ["_larkspur", "larkspur._engine"])
def test_stubs_match_the_module(module):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module, "--ignore-missing-stub"],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
