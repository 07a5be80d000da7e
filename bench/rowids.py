"""Row ids per call: rowids_for_seq against the numpy-vectorised reference
(its array turned into the same lists) and against merely building the
result from precomputed ints.

    python bench/rowids.py [--quick] [--json FILE]

The floor is `precomputed.tolist()` on a (T, 16) uint32 array: it makes the
same fresh list of lists of fresh ints as rowids_for_seq, with no hashing
and no argument conversion, which is the least any implementation returning
that result can pay.
"""

from __future__ import annotations

import argparse
import random
import sys

import numpy as np

import _larkspur
from common import fmt_time, median, print_table, time_calls, write_json  # noqa: E402
from larkspur.reference import PAD, numpy_rowids

SIZES = (1, 16, 512, 4096)


def make_tokens(t: int, rng: random.Random) -> list[int]:
    # Mostly vocabulary-sized tokens, with a pad token now and then.
    return [PAD if rng.random() < 0.02 else rng.randrange(1 << 18)
            for _ in range(t)]


def calls(fn, n: int):
    """A function that calls `fn` n times, dropping each result at once."""
    def loop() -> None:
        for _ in range(n):
            fn()
    return loop


def per_call(fn, budget: float, repeat: int) -> float:
    """Median seconds per call over `repeat` batches of about `budget` s."""
    batch = 1
    while True:
        elapsed = median(time_calls(calls(fn, batch), 3))
        if elapsed >= budget / 4 or batch >= 1 << 20:
            break
        batch *= 4
    batch = max(1, int(batch * budget / max(elapsed, 1e-9)))
    return median(time_calls(calls(fn, batch), repeat)) / batch


def run(quick: bool) -> dict:
    budget, repeat = (0.02, 5) if quick else (0.25, 9)
    rng = random.Random(2024)
    rows, ratios = [], {}
    for t in SIZES:
        tokens = make_tokens(t, rng)
        expected = _larkspur.rowids_for_seq(tokens, 1)
        if numpy_rowids(tokens).tolist() != expected:
            raise SystemExit(f"numpy result differs at T={t}")
        precomputed = np.array(expected, dtype=np.uint32).reshape(t, 16)
        if precomputed.tolist() != expected:
            raise SystemExit(f"floor result differs at T={t}")
        ours = per_call(lambda tokens=tokens: _larkspur.rowids_for_seq(tokens, 1), budget,
                        repeat)
        with_np = per_call(lambda tokens=tokens: numpy_rowids(tokens).tolist(), budget,
                           repeat)
        floor = per_call(precomputed.tolist, budget, repeat)
        vs_numpy = with_np / ours
        vs_floor = ours / floor
        ratios[f"T={t}"] = {"numpy_over_ours": vs_numpy,
                            "ours_over_floor": vs_floor}
        rows.append([t, fmt_time(ours), f"{ours / t * 1e9:.0f}",
                     fmt_time(with_np), f"{with_np / t * 1e9:.0f}",
                     fmt_time(floor), f"{floor / t * 1e9:.0f}",
                     f"{vs_numpy:.1f}x", f"{vs_floor:.2f}x"])
    header = ["T", "rowids_for_seq", "ns/tok", "numpy", "ns/tok",
              "floor", "ns/tok", "numpy/ours", "ours/floor"]
    return {"title": "rowids_for_seq per call (ple_spec 1)", "header": header,
            "rows": rows, "ratios": ratios}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a few seconds instead of about a minute")
    parser.add_argument("--json", metavar="FILE",
                        help="also write the result as JSON")
    args = parser.parse_args(argv)
    result = run(args.quick)
    print_table(result["header"], result["rows"], title=result["title"])
    print("targets: numpy/ours >= 50x at T=1 and >= 4x at T=4096; "
          "ours/floor <= 2x at T=1 and <= 1.15x at T=4096")
    write_json(args.json, result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
