"""Plain-text figures of the demo and the benchmarks: tables and percentiles."""

from __future__ import annotations

from collections.abc import Sequence


def percentile(xs: Sequence[float], q: float) -> float:
    """The sample nearest to quantile `q` (0 to 1) of `xs`, which is not empty."""
    s = sorted(xs)
    return s[min(len(s) - 1, int(round(q * (len(s) - 1))))]


def print_table(header: Sequence[object], rows: Sequence[Sequence[object]],
                title: str | None = None) -> None:
    """Prints `rows` under `header` in right-aligned columns, after a blank
    line and "== title" when a title is given."""
    cells = [[str(c) for c in header]] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    if title is not None:
        print(f"\n== {title}")
    for k, r in enumerate(cells):
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)))
        if k == 0:
            print("  ".join("-" * w for w in widths))
