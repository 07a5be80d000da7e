"""View: the manifest rules, the record count, record reads, thread binding."""

import gc
import os
import pathlib
import random
import sys
import threading

import pytest

import _larkspur
from _larkspur import View

CORPUS = pathlib.Path(
    os.environ.get("LARKSPUR_JSON_TEST_SUITE", "/work/shared/data/json-test-suite")
) / "test_parsing"

UNSENDABLE = "_larkspur::View is unsendable, but sent to another thread"
DROPPED = "_larkspur::View is unsendable, but is being dropped on another thread"


@pytest.fixture
def make(tmp_path):
    """make(size, manifest=None, name="rec.bin") -> (path, content).

    Writes a record file of `size` seeded random bytes and, when given, the
    manifest beside it (str or bytes, written as is)."""

    def make(size, manifest=None, name="rec.bin"):
        path = tmp_path / name
        data = random.Random(size).randbytes(size)
        path.write_bytes(data)
        if manifest is not None:
            stem = name.rsplit(".", 1)[0] if "." in name[1:] else name
            text = manifest if isinstance(manifest, bytes) else manifest.encode()
            (tmp_path / f"{stem}.manifest.json").write_bytes(text)
        return str(path), data

    return make


def geometry(view):
    return view.slot_bytes(), view.len()


def records(data, slot, indices):
    return b"".join(data[i * slot:(i + 1) * slot] for i in indices)


def fds_on(path):
    """How many descriptors of this process are open on `path`."""
    target = os.path.realpath(path)
    count = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{name}") == target
        except OSError:
            pass
    return count


def on_thread(fn):
    """Runs fn on a new thread; returns the exception it raised, or None."""
    caught = []

    def run():
        try:
            fn()
        except BaseException as e:  # noqa: BLE001 - InternalFault included
            caught.append(e)

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return caught[0] if caught else None


def raises(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


# --- manifest ---------------------------------------------------------------


@pytest.mark.parametrize(
    "size, manifest, expected",
    [
        (2560 * 3 + 100, None, (2560, 3)),
        (0, None, (2560, 0)),
        (1 << 20, '{"slot_bytes": 4096, "grans": 10}', (4096, 10)),
        (20000, '{"slot_bytes": 4096, "grans": 10}', (4096, 4)),
        (20000, '{"slot_bytes": 4096, "grans": 0}', (4096, 4)),
        (20000, '{"slot_bytes": 4096}', (4096, 4)),
        (20000, '{"slot_bytes": 4096, "grans": 5}', (4096, 4)),
        (20000, '{"slot_bytes": 4096, "grans": 4}', (4096, 4)),
        (20000, '{"slot_bytes": 4096, "grans": 3}', (4096, 3)),
        (20000, '{"slot_bytes": 4096, "grans": 1}', (4096, 1)),
        (20000, '{"grans": 18446744073709551615}', (2560, 7)),
        (20000, '{"slot_bytes": 0, "grans": 3}', (0, 0)),
        (20000, '{"slot_bytes": 1}', (1, 20000)),
        (20000, '{"slot_bytes": 18446744073709551615}', (2**64 - 1, 0)),
    ],
)
def test_count_follows_size_slot_bytes_and_grans(make, size, manifest, expected):
    path, _ = make(size, manifest)
    assert geometry(View(path)) == expected


UNUSABLE = [
    "2560.0", "2.56e3", "1e3", "4096E0", "-8", "-0", "-0.0", '"4096"', '""',
    "true", "false", "null", "[4096]", "{}", '{"slot_bytes": 4096}',
    "18446744073709551616", "123456789012345678901234567890",
]


@pytest.mark.parametrize("value", UNUSABLE)
def test_unusable_slot_bytes_is_absent_but_grans_still_counts(make, value):
    path, _ = make(2560 * 9, f'{{"slot_bytes": {value}, "grans": 5}}')
    assert geometry(View(path)) == (2560, 5)


@pytest.mark.parametrize("value", UNUSABLE)
def test_unusable_grans_is_absent_but_slot_bytes_still_counts(make, value):
    path, _ = make(1000, f'{{"grans": {value}, "slot_bytes": 100}}')
    assert geometry(View(path)) == (100, 10)


@pytest.mark.parametrize(
    "manifest",
    [
        b"",
        b'{"slot_bytes": 100, "grans": 2',
        b'{"slot_bytes": 100, "grans": 2,}',
        b'{"slot_bytes": 100, "grans": 2} trailing',
        b'{"slot_bytes": 100, "grans": 2}{}',
        b'[{"slot_bytes": 100, "grans": 2}]',
        b"100",
        b'"slot_bytes"',
        b"{'slot_bytes': 100}",
        b'{"slot_bytes": 0100}',
        b'# slot_bytes\n{"slot_bytes": 100}',
        b'{"slot_bytes": 100, "grans": 2}\0',
        b'{"slot_bytes": 100, "grans": 2}\0garbage',
        b'{"slot_bytes": 100,\0"grans": 2}',
        b'{"slot_bytes": 100, "grans": 2, "x": "a\0b"}',
        b'\xff{"slot_bytes": 100}',
        b'{"slot_bytes": 100, "x": "\xff"}',
    ],
    ids=lambda m: repr(m)[2:40],
)
def test_invalid_document_gives_both_defaults(make, manifest):
    path, _ = make(2560 * 4 + 1, manifest)
    assert geometry(View(path)) == (2560, 4)


def test_surrounding_whitespace_and_extra_keys_are_fine(make):
    path, _ = make(
        1000,
        ' \r\n\t{"name": "emb", "slot_bytes": 100, "nested": {"grans": 1},'
        ' "grans": 6, "list": [1, 2.5, null]}\n\n',
    )
    assert geometry(View(path)) == (100, 6)


def test_last_occurrence_of_a_repeated_key_counts(make):
    path, _ = make(1000, '{"slot_bytes": 10, "grans": 2, "slot_bytes": 100, "grans": 3}')
    assert geometry(View(path)) == (100, 3)
    path, _ = make(1000, '{"slot_bytes": 100, "slot_bytes": "10"}', name="b.bin")
    assert geometry(View(path)) == (2560, 0)


@pytest.mark.parametrize(
    "record, manifest",
    [
        ("emb.old.bin", "emb.old.manifest.json"),
        ("emb", "emb.manifest.json"),
        (".emb", ".emb.manifest.json"),
        ("emb.", "emb.manifest.json"),
    ],
)
def test_manifest_is_found_by_replacing_the_extension(tmp_path, record, manifest):
    (tmp_path / record).write_bytes(bytes(300))
    (tmp_path / manifest).write_text('{"slot_bytes": 30, "grans": 4}')
    assert geometry(View(str(tmp_path / record))) == (30, 4)


def test_relative_path_and_its_manifest_use_the_working_directory(
        tmp_path, monkeypatch):
    (tmp_path / "emb.bin").write_bytes(bytes(300))
    (tmp_path / "emb.manifest.json").write_text('{"slot_bytes": 30}')
    monkeypatch.chdir(tmp_path)
    assert geometry(View("emb.bin")) == (30, 10)


def test_unreadable_manifest_gives_defaults(tmp_path):
    (tmp_path / "emb.bin").write_bytes(bytes(5120))
    (tmp_path / "emb.manifest.json").mkdir()
    assert geometry(View(str(tmp_path / "emb.bin"))) == (2560, 2)


def corpus_cases():
    if not CORPUS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip("no JSON corpus"))]
    return sorted(p.name for p in CORPUS.iterdir() if p.name[:2] in ("y_", "n_"))


@pytest.mark.parametrize("case", corpus_cases())
def test_json_conformance_case_embedded_in_a_manifest(make, case):
    # Embedding as the value of an extra key keeps the case's class: every
    # y_ case leaves the manifest valid, every n_ case makes it invalid.
    text = b'{"slot_bytes": 512, "grans": 2, "x": ' + (CORPUS / case).read_bytes() + b"}"
    path, _ = make(512 * 5, text)
    expected = (512, 2) if case.startswith("y_") else (2560, 1)
    assert geometry(View(path)) == expected


# --- open -------------------------------------------------------------------


def test_missing_record_file_is_an_os_error_even_with_a_manifest(tmp_path):
    (tmp_path / "gone.manifest.json").write_text('{"slot_bytes": 8}')
    with pytest.raises(OSError) as info:
        View(str(tmp_path / "gone.bin"))
    e = info.value
    assert type(e) is OSError
    assert e.args == ("No such file or directory (os error 2)",)
    assert e.errno is None and e.filename is None


def test_nul_in_path(make):
    path, _ = make(100)
    with pytest.raises(OSError) as info:
        View(path + "\0.bin")
    assert type(info.value) is OSError
    assert info.value.args == ("file name contained an unexpected NUL byte",)


@pytest.mark.parametrize(
    "arg, text",
    [
        (b"rec.bin", "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (pathlib.Path("rec.bin"),
         "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
        (None, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_path_must_be_a_str(arg, text):
    assert raises(lambda: View(arg)) == (TypeError, text)


def test_str_subclass_and_keyword_path(make):
    path, _ = make(5120)

    class Name(str):
        pass

    assert View(Name(path)).len() == 2
    assert View(path=path).len() == 2


def test_directory_opens_and_fails_on_read(tmp_path):
    d = tmp_path / "dir"
    d.mkdir()
    view = View(str(d))
    assert geometry(view) == (2560, os.stat(d).st_size // 2560)
    assert view.len() >= 1
    eisdir = (OSError, "Is a directory (os error 21)")
    assert raises(lambda: view.read_record(0)) == eisdir
    assert raises(lambda: view.read_records([0] * 5)) == eisdir
    assert view.read_records([]) == b""


# --- reads ------------------------------------------------------------------


@pytest.fixture
def small(make):
    """A view of 10 records of 16 bytes (plus a partial record) and its data."""
    path, data = make(16 * 10 + 7, '{"slot_bytes": 16}')
    return View(path), data


def test_read_record_up_to_the_last_whole_record(small):
    view, data = small
    assert [view.read_record(i) for i in range(10)] == [
        data[i * 16:(i + 1) * 16] for i in range(10)
    ]
    assert view.read_record(index=9) == data[144:160]
    assert raises(lambda: view.read_record(10)) == (
        OSError, "view record index 10 out of range (count 10)")


@pytest.mark.parametrize(
    "indices",
    [[], [2, 0, 2], (9, 0), range(10), [3] * 4, [9, 8, 7, 6, 5], list(range(10)) * 7],
    ids=repr,
)
def test_read_records_concatenates_in_request_order(small, indices):
    view, data = small
    assert view.read_records(indices) == records(data, 16, indices)


@pytest.mark.parametrize("n", [4, 5, 32, 33, 64, 65, 100, 1000, 4099])
def test_parallel_route_equals_sequential_reads(make, n):
    path, data = make(40 * 997 + 3, '{"slot_bytes": 40}')
    view = View(path)
    rng = random.Random(n)
    indices = [rng.randrange(997) for _ in range(n)]
    got = view.read_records(indices=indices)
    assert got == b"".join(view.read_record(i) for i in indices)
    assert got == records(data, 40, indices)


@pytest.mark.parametrize(
    "indices, bad",
    [
        ([10], 10),
        ([0, 11], 11),
        ([1, 2, 12], 12),
        ([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 20, 10], 20),
        ([50] + [0] * 40 + [10], 50),
        ([0] * 40 + [2**64 - 1, 10], 2**64 - 1),
    ],
)
def test_out_of_range_names_the_first_offender_in_request_order(small, indices, bad):
    view, _ = small
    assert raises(lambda: view.read_records(indices)) == (
        OSError, f"view record index {bad} out of range (count 10)")


@pytest.mark.parametrize(
    "size, manifest",
    [(100, '{"slot_bytes": 0}'), (0, '{"slot_bytes": 16}'), (15, '{"slot_bytes": 16}')],
)
def test_empty_view_has_nothing_in_range(make, size, manifest):
    path, _ = make(size, manifest)
    view = View(path)
    assert view.len() == 0
    assert view.read_records([]) == b""
    msg = (OSError, "view record index 0 out of range (count 0)")
    assert raises(lambda: view.read_record(0)) == msg
    assert raises(lambda: view.read_records([0, 0, 0, 0])) == msg


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda v: v.read_record(-1), (OverflowError, "can't convert negative int to unsigned")),
        (lambda v: v.read_record(2**64), (OverflowError, "int too big to convert")),
        (lambda v: v.read_record(1.5),
         (TypeError, "argument 'index': 'float' object cannot be interpreted as an integer")),
        (lambda v: v.read_records("012"), (TypeError, "argument 'indices': Can't extract `str` to `Vec`")),
        (lambda v: v.read_records(iter([1])),
         (TypeError, "argument 'indices': 'list_iterator' object cannot be converted to 'Sequence'")),
        (lambda v: v.read_records([1, -1]), (OverflowError, "can't convert negative int to unsigned")),
        (lambda v: v.read_record(), (TypeError, "View.read_record() missing 1 required positional argument: 'index'")),
        (lambda v: v.read_record(idx=1), (TypeError, "View.read_record() got an unexpected keyword argument 'idx'")),
        (lambda v: v.len(1), (TypeError, "View.len() takes no arguments (1 given)")),
    ],
)
def test_argument_errors(small, call, expected):
    view, _ = small
    assert raises(lambda: call(view)) == expected


def test_truncation_after_construction(make):
    path, data = make(16 * 100, '{"slot_bytes": 16}')
    view = View(path)
    os.truncate(path, 16 * 50 + 5)
    eof = (OSError, "read_exact_at: eof inside buffer")
    assert raises(lambda: view.read_record(50)) == eof
    assert raises(lambda: view.read_record(99)) == eof
    assert raises(lambda: view.read_records([0, 70])) == eof
    assert raises(lambda: view.read_records(list(range(100)))) == eof
    assert view.len() == 100
    assert view.read_records(list(range(50))) == data[:800]


def test_output_above_the_address_limit_is_a_capacity_overflow(tmp_path):
    slot = 2**43
    path = tmp_path / "sparse.bin"
    try:
        with open(path, "wb") as f:
            f.truncate(slot)
    except OSError as e:
        pytest.skip(f"no sparse file of {slot} bytes here: {e}")
    (tmp_path / "sparse.manifest.json").write_text(f'{{"slot_bytes": {slot}}}')
    view = View(str(path))
    assert geometry(view) == (slot, 1)
    # 2^20 records of 2^43 bytes is 2^63 bytes, one more than allowed.
    assert raises(lambda: view.read_records([0] * 2**20)) == (
        _larkspur.InternalFault, "capacity overflow")
    with pytest.raises(MemoryError):
        view.read_records([0] * (2**20 - 1))
    # An out-of-range index is reported before the size is considered.
    assert raises(lambda: view.read_records([0] * 2**20 + [1]))[0] is OSError


def test_close_changes_nothing(small):
    view, data = small
    assert view.close() is None
    assert view.close() is None
    assert view.read_record(0) == data[:16]


def test_builtin_len_is_not_supported(small):
    view, _ = small
    with pytest.raises(TypeError):
        len(view)
    assert view.len() == 10


# --- threads and lifetime ---------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda v: v.len(),
        lambda v: v.slot_bytes(),
        lambda v: v.close(),
        lambda v: v.read_record(0),
        lambda v: v.read_records([0, 1, 2, 3]),
        lambda v: v.read_record(99),
        lambda v: v.read_records("not checked before the thread"),
    ],
)
def test_methods_refuse_other_threads(small, call):
    view, _ = small
    error = on_thread(lambda: call(view))
    assert type(error) is _larkspur.InternalFault
    first, left, right = str(error).split("\n")
    assert first == f"assertion `left == right` failed: {UNSENDABLE}"
    assert left.startswith("  left: ") and right.startswith(" right: ")
    assert left[8:] != right[8:]
    assert view.read_record(1)  # still fine on its own thread


def test_argument_count_is_checked_before_the_thread(small):
    view, _ = small
    error = on_thread(lambda: view.read_record())
    assert type(error) is TypeError


def test_view_made_on_another_thread_belongs_to_it(make, monkeypatch):
    path, _ = make(16 * 4, '{"slot_bytes": 16}')
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    box = []
    assert on_thread(lambda: box.append(View(path))) is None
    assert type(on_thread(lambda: box[0].len())) is _larkspur.InternalFault
    assert raises(box[0].len)[0] is _larkspur.InternalFault
    box.clear()
    gc.collect()  # the tracebacks above hold the view in reference cycles
    assert [r.exc_value.args for r in reports] == [(DROPPED,)]
    assert fds_on(path) == 0


def test_drop_on_another_thread_reports_and_still_closes(make, monkeypatch):
    path, _ = make(5120)
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    before = fds_on(path)
    holder = [View(path)]
    assert fds_on(path) == before + 1
    assert on_thread(holder.clear) is None
    assert fds_on(path) == before
    assert len(reports) == 1
    report = reports[0]
    assert type(report.exc_value) is RuntimeError
    assert report.exc_value.args == (DROPPED,)
    assert report.object is None


def test_drop_on_the_creator_thread_reports_nothing(make, monkeypatch):
    path, _ = make(5120)
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    view = View(path)
    del view
    assert reports == []
    assert fds_on(path) == 0


def test_many_views_leave_no_descriptor_behind(make, fd_count):
    path, _ = make(5120, '{"slot_bytes": 512}')
    before = fd_count()
    for _ in range(10_000):
        View(path).read_record(0)
    assert fd_count() == before
    assert fds_on(path) == 0


def test_many_views_dropped_on_other_threads_leave_no_descriptor_behind(
        make, fd_count, monkeypatch):
    path, _ = make(5120, '{"slot_bytes": 512}')
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    before = fd_count()
    for _ in range(10):
        holder = [View(path) for _ in range(1000)]
        assert fds_on(path) == 1000
        assert on_thread(holder.clear) is None
    assert fd_count() == before
    assert fds_on(path) == 0
    assert len(reports) == 10_000
    assert {r.exc_value.args for r in reports} == {(DROPPED,)}
