"""The `larkspur` command line: table tools, demo and the benchmark smoke run."""

import os
import subprocess
import sys

import numpy as np
import pytest

import _larkspur
from larkspur import table
from larkspur.arrays import as_rows, rowids_array
from larkspur.cli import main


def run_cli(*args, **kw):
    return subprocess.run([sys.executable, "-m", "larkspur", *args],
                          capture_output=True, text=True, **kw)


def test_generated_table_round_trips_through_store(tmp_path):
    assert main(["make-table", str(tmp_path), "--shards", "3",
                 "--rows-per-shard", "1000", "--width", "24"]) == 0
    store = _larkspur.Store(str(tmp_path), 3, 1000, 24)
    ids = [2999, 0, 1500, 1500, 999, 1000]
    got = as_rows(store.fetch(ids), 24)
    assert np.array_equal(got, table.expected_rows(np.array(ids), 24))


def test_npy_table_round_trips_through_store(tmp_path):
    rows = np.arange(70 * 4, dtype=np.float32).reshape(70, 4)
    np.save(tmp_path / "rows.npy", rows)
    out = tmp_path / "t"
    assert main(["make-table", str(out), "--npy", str(tmp_path / "rows.npy"),
                 "--shards", "4"]) == 0
    # 70 rows over 4 shards: 18 rows per shard, the last 2 rows of shard 3 zero.
    store = _larkspur.Store(str(out), 4, 18, 16)
    got = as_rows(store.fetch(list(range(72))), 16, np.float32)
    assert np.array_equal(got[:70], rows)
    assert not got[70:].any()


def test_building_resumes_and_never_uses_a_half_written_shard(tmp_path):
    args = ["make-table", str(tmp_path), "--shards", "4", "--rows-per-shard", "500",
            "--width", "8"]
    assert main(args) == 0
    # Simulate an interrupted run: shard 1 half written, shard 2 never started.
    os.truncate(tmp_path / "shard_1.bin", 1000)
    os.rename(tmp_path / "shard_2.bin", tmp_path / "shard_2.bin.partial")
    before = os.stat(tmp_path / "shard_0.bin").st_mtime_ns
    result = run_cli(*args)
    assert result.returncode == 0, result.stderr
    assert "wrote 2 shard(s), 2 already complete" in result.stdout
    assert os.stat(tmp_path / "shard_0.bin").st_mtime_ns == before
    store = _larkspur.Store(str(tmp_path), 4, 500, 8)
    ids = np.arange(2000)
    assert np.array_equal(as_rows(store.fetch(ids.tolist()), 8), table.expected_rows(ids, 8))


def test_inspect_reports_short_and_missing_shards(tmp_path):
    assert main(["make-table", str(tmp_path), "--shards", "3", "--rows-per-shard", "100",
                 "--width", "16"]) == 0
    os.truncate(tmp_path / "shard_1.bin", 16 * 40)
    os.rename(tmp_path / "shard_2.bin", tmp_path / "badge_2.bin")
    os.remove(tmp_path / "shard_0.bin")
    result = run_cli("inspect", str(tmp_path))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[2].split() == ["0", "-", "0", "0", "missing"]
    assert lines[3].split() == ["1", "shard_1.bin", "640", "40", "short"]
    assert lines[4].split() == ["2", "badge_2.bin", "1600", "100", "ok"]
    assert lines[-1] == "summary: 1 ok, 1 short, 0 long, 1 missing"


@pytest.mark.parametrize(
    "args, text",
    [
        (["make-table"], "the following arguments are required: DIR"),
        (["make-table", "d", "--width", "0"], "expected a positive integer, got '0'"),
        (["make-table", "d", "--shards", "x"], "expected a positive integer, got 'x'"),
        (["inspect", "/nonexistent-dir"], "--shards, --rows-per-shard and --width are needed"),
        (["demo", "--batch", "-1"], "expected a positive integer, got '-1'"),
        (["bench", "--only", "nope"], "invalid choice: 'nope'"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        ([], "the following arguments are required: COMMAND"),
    ],
)
def test_bad_arguments_exit_with_code_2(args, text):
    result = run_cli(*args)
    assert result.returncode == 2
    assert text in result.stderr


def test_make_table_refuses_a_directory_of_another_table(tmp_path):
    assert main(["make-table", str(tmp_path), "--shards", "1", "--rows-per-shard", "10",
                 "--width", "8"]) == 0
    result = run_cli("make-table", str(tmp_path), "--shards", "1", "--rows-per-shard", "10",
                     "--width", "16")
    assert result.returncode == 2
    assert "holds a different table" in result.stderr


def test_array_views_share_memory():
    data = bytes(range(32))
    view = as_rows(data, 16, np.uint32)
    assert view.shape == (2, 4)
    assert not view.flags.writeable and not view.flags.owndata
    with pytest.raises(ValueError):
        as_rows(data, 12, np.uint64)
    assert rowids_array(_larkspur.rowids_for_seq([1, 2], 1)).shape == (2, 16)


def test_demo_runs_end_to_end_and_verifies(tmp_path):
    # Width 1 keeps the full 128-shard grid to 320 MB.
    result = run_cli("demo", "--table", str(tmp_path), "--width", "1", "--batch", "2",
                     "--prefill", "16", "--decode", "4", timeout=600)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    for run in ("larkspur cold", "larkspur warm", "memmap cold", "memmap warm"):
        assert run in out
    assert "all bytes correct" in out
    assert "throughput vs memmap" in out


def test_bench_quick_runs():
    result = run_cli("bench", "--quick", timeout=600)
    assert result.returncode == 0, result.stderr + result.stdout
    for title in ("rowids", "fetch", "view", "pages"):
        assert title in result.stdout.lower()
