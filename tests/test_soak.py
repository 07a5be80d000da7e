"""A short run of the soak (tests/soak.py) in a fresh interpreter.

LARKSPUR_SOAK_SECONDS sets its length (3 seconds by default here);
`python tests/soak.py --seconds 600` is the long run.
"""

import json
import os
import pathlib
import subprocess
import sys

from conftest import under_asan

SOAK = pathlib.Path(__file__).with_name("soak.py")

KINDS = {
    "Store.fetch", "View.read_record", "View.read_records", "PageReader.read_pages",
    "IoUringPageReader.read_pages", "churn Store", "churn View", "churn PageReader",
    "churn IoUringPageReader", "truncate and regrow",
}
DOCUMENTED = {
    "read_exact_at: eof inside buffer",
    "EOF while reading page",
    "view record index N out of range (count N)",
}


def test_soak(tmp_path):
    seconds = float(os.environ.get("LARKSPUR_SOAK_SECONDS", 3))
    report = tmp_path / "soak.json"
    env = {k: v for k, v in os.environ.items() if not k.startswith("LARKSPUR_POOL")}
    proc = subprocess.run(
        [sys.executable, str(SOAK), "--seconds", str(seconds), "--json", str(report),
         "--dir", str(tmp_path)],
        env=env, capture_output=True, text=True, timeout=3 * seconds + 300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    r = json.loads(report.read_text())
    # Nothing lost or corrupted, and only documented exceptions.
    assert r["corrupt"] == [] and r["unexpected"] == []
    assert set(r["errors"]) <= DOCUMENTED
    # Every kind of call ran, and the cut files were read past their end.
    assert set(r["calls"]) == KINDS and min(r["calls"].values()) > 0
    assert r["verified_bytes"] > 0 and r["zero_rows"] > 0
    assert "read_exact_at: eof inside buffer" in r["errors"]
    # The process ends as it began: the same descriptors and threads (the
    # pool's included), and the memory of the calls given back or reused.
    assert r["end"]["fds"] == r["start"]["fds"]
    assert r["end"]["names"] == r["start"]["names"]
    if not under_asan():  # whose quarantine holds freed memory on purpose
        assert r["end"]["rss_kib"] - r["start"]["rss_kib"] < 64 << 10
