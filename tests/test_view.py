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
from conftest import raised

CORPUS = pathlib.Path(
    os.environ.get("LARKSPUR_JSON_TEST_SUITE", "/work/shared/data/json-test-suite")
) / "test_parsing"
DROPPED = "_larkspur::View is unsendable, but is being dropped on another thread"


@pytest.fixture
def make(tmp_path):
    """make(size, manifest=None, name="rec.bin") -> (path, content): a record
    file of seeded random bytes, with the manifest (str or bytes) beside it."""

    def make(size, manifest=None, name="rec.bin"):
        path = tmp_path / name
        data = random.Random(size).randbytes(size)
        path.write_bytes(data)
        if manifest is not None:
            text = manifest if isinstance(manifest, bytes) else manifest.encode()
            path.with_suffix(".manifest.json").write_bytes(text)
        return str(path), data

    return make


def geometry(view):
    return view.slot_bytes(), view.len()


def records(data, slot, indices):
    return b"".join(data[i * slot:(i + 1) * slot] for i in indices)


def fds_on(path):
    """How many descriptors of this process are open on `path`."""
    target, count = os.path.realpath(path), 0
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
        except BaseException as e:  # InternalFault is not an Exception
            caught.append(e)

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return caught[0] if caught else None


@pytest.fixture
def unraisable(monkeypatch):
    """The reports sent to the unraisable hook during the test."""
    # Garbage of earlier tests could otherwise be collected on a thread this
    # test starts and report its objects as dropped on another thread.
    gc.collect()
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    return reports


# --- manifest and count -----------------------------------------------------


@pytest.mark.parametrize(
    "size, manifest, expected",
    [
        (2560 * 3 + 100, None, (2560, 3)),
        (0, None, (2560, 0)),
        (1 << 20, '{"slot_bytes": 4096, "grans": 10}', (4096, 10)),
        (20000, '{"slot_bytes": 4096, "grans": 10}', (4096, 4)),
        (20000, '{"slot_bytes": 4096, "grans": 0}', (4096, 4)),
        (20000, '{"slot_bytes": 4096, "grans": 4}', (4096, 4)),
        (20000, '{"slot_bytes": 4096, "grans": 3}', (4096, 3)),
        (20000, '{"grans": 18446744073709551615}', (2560, 7)),
        (20000, '{"slot_bytes": 0, "grans": 3}', (0, 0)),
        (20000, '{"slot_bytes": 18446744073709551615}', (2**64 - 1, 0)),
        (1000, ' \r\n{"name": "x", "slot_bytes": 100, "o": {"grans": 1}, "grans": 6}\n',
         (100, 6)),
        (1000, '{"slot_bytes": 10, "grans": 2, "slot_bytes": 100, "grans": 3}', (100, 3)),
        (1000, '{"slot_bytes": 100, "slot_bytes": "10"}', (2560, 0)),
    ],
)
def test_count_follows_size_slot_bytes_and_grans(make, size, manifest, expected):
    path, _ = make(size, manifest)
    assert geometry(View(path)) == expected


@pytest.mark.parametrize(
    "extra",
    ["1e400", "[-1e400, 2e308]", "1" + "0" * 400, '{"k": 17e999999999999999999999}',
     '"1e400 \\" 1e400"', "1e-400", "-0.5e-99999"],
)
def test_numbers_beyond_double_range_leave_the_document_valid(make, extra):
    path, _ = make(1000, f'{{"slot_bytes": 100, "x": {extra}, "grans": 3}}')
    assert geometry(View(path)) == (100, 3)


def test_deeply_nested_extra_value_is_fine(make):
    depth = 100_000  # the parser keeps its own stack, not the thread's
    path, _ = make(1000, '{"slot_bytes": 100, "x": ' + "[" * depth + "]" * depth + ', "grans": 3}')
    assert geometry(View(path)) == (100, 3)


@pytest.mark.parametrize(
    "value",
    ["2560.0", "2.56e3", "1E3", "-8", "-0", "-0.0", '"4096"', "true", "false",
     "null", "[4096]", '{"slot_bytes": 4096}', "18446744073709551616",
     "123456789012345678901234567890", "1e400", "-1E+400", "1" + "0" * 400,
     "0.000001e315"],
)
@pytest.mark.parametrize("key", ["slot_bytes", "grans"])
def test_unusable_value_counts_as_absent_for_its_key_alone(make, key, value):
    usable = {"slot_bytes": 100, "grans": 5}
    usable.pop(key)
    other, number = next(iter(usable.items()))
    path, _ = make(1000, f'{{"{key}": {value}, "{other}": {number}}}')
    assert geometry(View(path)) == ((2560, 0) if key == "slot_bytes" else (100, 10))


@pytest.mark.parametrize(
    "manifest",
    [
        b"",
        b'{"slot_bytes": 100, "grans": 2',
        b'{"slot_bytes": 100, "grans": 2,}',
        b'{"slot_bytes": 100, "grans": 2} trailing',
        b'[{"slot_bytes": 100, "grans": 2}]',
        b"100",
        b"{'slot_bytes': 100}",
        b'{"slot_bytes": 0100}',
        b'{"slot_bytes": 100, "grans": 2}\0',
        b'{"slot_bytes": 100, "grans": 2}\0garbage',
        b'{"slot_bytes": 100, "grans": 2, "x": "a\0b"}',
        b'{"slot_bytes": 100, "x": "\xff"}',
    ],
    ids=lambda m: repr(m)[2:40],
)
def test_invalid_document_gives_both_defaults(make, manifest):
    path, _ = make(2560 * 4 + 1, manifest)
    assert geometry(View(path)) == (2560, 4)


@pytest.mark.parametrize(
    "record, manifest",
    [("emb.old.bin", "emb.old.manifest.json"), ("emb", "emb.manifest.json"),
     (".emb", ".emb.manifest.json"), ("emb.", "emb.manifest.json"),
     ("emb.bin", "emb.manifest.json/")],
)
def test_manifest_location(tmp_path, monkeypatch, record, manifest):
    (tmp_path / record).write_bytes(bytes(300))
    if manifest.endswith("/"):  # a directory is an unreadable manifest
        (tmp_path / manifest).mkdir()
        expected = (2560, 0)
    else:
        (tmp_path / manifest).write_text('{"slot_bytes": 30, "grans": 4}')
        expected = (30, 4)
    assert geometry(View(str(tmp_path / record))) == expected
    monkeypatch.chdir(tmp_path)
    assert geometry(View(record)) == expected


def corpus_cases():
    if not CORPUS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason="no JSON corpus"))]
    return sorted(p.name for p in CORPUS.iterdir() if p.name[:2] in ("y_", "n_"))


@pytest.mark.parametrize("case", corpus_cases())
def test_json_conformance_case_embedded_in_a_manifest(make, case):
    # As the value of an extra key a case keeps its class: every y_ case
    # leaves the manifest valid, every n_ case makes it invalid.
    text = b'{"slot_bytes": 512, "grans": 2, "x": ' + (CORPUS / case).read_bytes() + b"}"
    path, _ = make(512 * 5, text)
    assert geometry(View(path)) == ((512, 2) if case.startswith("y_") else (2560, 1))


# --- open -------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, text",
    [("gone.bin", "No such file or directory (os error 2)"),
     ("rec.bin\0.bin", "file name contained an unexpected NUL byte")],
)
def test_open_failures_are_plain_os_errors(tmp_path, name, text):
    (tmp_path / "rec.bin").write_bytes(bytes(100))
    (tmp_path / "gone.manifest.json").write_text('{"slot_bytes": 8}')
    with pytest.raises(OSError) as info:
        View(str(tmp_path / name))
    e = info.value
    assert type(e) is OSError and e.args == (text,)
    assert e.errno is None and e.filename is None


def test_directory_fails_at_construction(tmp_path):
    assert raised(lambda: View(str(tmp_path))) == (OSError, "Is a directory (os error 21)")


# --- reads ------------------------------------------------------------------


@pytest.fixture
def small(make):
    """A view of 10 records of 16 bytes (and a partial one), and its data."""
    path, data = make(16 * 10 + 7, '{"slot_bytes": 16}')
    return View(path), data


@pytest.mark.parametrize(
    "indices",
    [[], [2, 0, 2], (9, 0), range(10), [3] * 4, [9, 8, 7, 6, 5]]
    + [random.Random(n).choices(range(10), k=n) for n in (33, 65, 100, 1000, 4099)],
    ids=lambda i: repr(i)[:30],
)
def test_read_records_equals_single_reads_in_request_order(small, indices):
    view, data = small
    got = view.read_records(indices=indices)
    assert got == b"".join(view.read_record(i) for i in indices)
    assert got == records(data, 16, indices)


@pytest.mark.parametrize(
    "call, bad",
    [
        (lambda v: v.read_record(10), 10),
        (lambda v: v.read_records([0, 11]), 11),
        (lambda v: v.read_records([1, 2, 12, 10]), 12),
        (lambda v: v.read_records([50] + [0] * 40 + [10]), 50),
        (lambda v: v.read_records([0] * 40 + [2**64 - 1, 10]), 2**64 - 1),
    ],
)
def test_out_of_range_names_the_first_offender_in_request_order(small, call, bad):
    view, _ = small
    assert raised(lambda: call(view)) == (
        OSError, f"view record index {bad} out of range (count 10)")


@pytest.mark.parametrize("size, slot", [(100, 0), (0, 16), (15, 16)])
def test_empty_view_has_nothing_in_range(make, size, slot):
    view = View(make(size, f'{{"slot_bytes": {slot}}}')[0])
    assert view.len() == 0 and view.read_records([]) == b""
    msg = (OSError, "view record index 0 out of range (count 0)")
    assert raised(lambda: view.read_record(0)) == msg
    assert raised(lambda: view.read_records([0, 0, 0, 0])) == msg


def test_has_no_python_len(small):
    # Binding and conversion failures: test_binding.py.
    assert raised(lambda: len(small[0])) == (
        TypeError, "object of type 'builtins.View' has no len()")


def test_truncation_after_construction(make):
    path, data = make(16 * 100, '{"slot_bytes": 16}')
    view = View(path)
    os.truncate(path, 16 * 50 + 5)
    eof = (OSError, "read_exact_at: eof inside buffer")
    for call in (lambda: view.read_record(50), lambda: view.read_records([0, 70]),
                 lambda: view.read_records(list(range(100)))):
        assert raised(call) == eof
    assert view.len() == 100
    assert view.read_records(list(range(50))) == data[:800]


def test_output_above_the_address_limit_is_a_capacity_overflow(tmp_path):
    slot = 2**43
    path = tmp_path / "sparse.bin"
    try:
        os.truncate(os.open(path, os.O_CREAT | os.O_WRONLY), slot)
    except OSError as e:
        pytest.skip(f"no sparse file of {slot} bytes here: {e}")
    (tmp_path / "sparse.manifest.json").write_text(f'{{"slot_bytes": {slot}}}')
    view = View(str(path))
    assert geometry(view) == (slot, 1)
    # 2^20 records of 2^43 bytes are 2^63 bytes, one more than allowed.
    assert raised(lambda: view.read_records([0] * 2**20)) == (
        _larkspur.InternalFault, "capacity overflow")
    with pytest.raises(MemoryError):
        view.read_records([0] * (2**20 - 1))
    assert raised(lambda: view.read_records([0] * 2**20 + [1]))[0] is OSError


def test_close_changes_nothing(small):
    view, data = small
    assert view.close() is None and view.close() is None
    assert view.read_record(0) == data[:16]


# --- threads and lifetime ---------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [lambda v: v.len(), lambda v: v.slot_bytes(), lambda v: v.close(),
     lambda v: v.read_record(99), lambda v: v.read_records("not converted yet")],
)
def test_methods_refuse_other_threads(small, call):
    view, _ = small
    error = on_thread(lambda: call(view))
    assert type(error) is _larkspur.InternalFault
    first, left, right = str(error).split("\n")
    assert first == ("assertion `left == right` failed: "
                     "_larkspur::View is unsendable, but sent to another thread")
    assert left.startswith("  left: ") and right.startswith(" right: ")
    assert left[8:] != right[8:]
    assert type(on_thread(lambda: view.read_record())) is TypeError  # binding first
    assert view.read_record(1)


def test_view_made_on_another_thread_belongs_to_it(make, unraisable):
    path, _ = make(64, '{"slot_bytes": 16}')
    box = []
    assert on_thread(lambda: box.append(View(path))) is None
    assert raised(box[0].len)[0] is _larkspur.InternalFault
    box.clear()
    gc.collect()  # the traceback above holds the view in a reference cycle
    assert [r.exc_value.args for r in unraisable] == [(DROPPED,)]
    assert fds_on(path) == 0


def test_drop_on_another_thread_reports_and_still_closes(make, unraisable):
    path, _ = make(5120)
    holder = [View(path)]
    assert fds_on(path) == 1
    assert on_thread(holder.clear) is None
    assert fds_on(path) == 0
    [report] = unraisable
    assert type(report.exc_value) is RuntimeError
    assert report.exc_value.args == (DROPPED,) and report.object is None
    View(path)  # released here, on its own thread: nothing reported
    assert len(unraisable) == 1 and fds_on(path) == 0


@pytest.mark.parametrize("where", ["own thread", "other threads"])
def test_ten_thousand_views_leave_no_descriptor_behind(make, fd_count, unraisable, where):
    path, _ = make(5120, '{"slot_bytes": 512}')
    before = fd_count()
    for _ in range(10):
        holder = [View(path) for _ in range(1000)]
        assert fds_on(path) == 1000 and holder[-1].read_record(9)
        if where == "own thread":
            holder.clear()
        else:
            assert on_thread(holder.clear) is None
    assert fd_count() == before and fds_on(path) == 0
    assert len(unraisable) == (0 if where == "own thread" else 10_000)
