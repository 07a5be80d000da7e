"""A small progress bar on standard error."""

from __future__ import annotations

import sys
import time


class Progress:
    """Shows `done / total` as a bar on a terminal, as coarse lines otherwise."""

    # The bar whose line on the terminal is not yet ended, if any.
    open_bar: Progress | None = None

    def __init__(self, label: str, total: float, unit: str = "", scale: float = 1.0,
                 stream=None):
        self.label = label
        self.total = max(total, 1e-9)
        self.unit = unit
        self.scale = scale
        self.stream = stream if stream is not None else sys.stderr
        self.tty = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.start = time.perf_counter()
        self.last_draw = 0.0
        self.last_tenth = -1
        self.done = 0.0

    def update(self, done: float) -> None:
        self.done = done
        now = time.perf_counter()
        frac = min(1.0, done / self.total)
        if self.tty:
            if now - self.last_draw < 0.1 and frac < 1.0:
                return
            self.last_draw = now
            width = 30
            fill = int(frac * width)
            rate = done / max(now - self.start, 1e-9) / self.scale
            text = (f"\r{self.label} [{'#' * fill}{' ' * (width - fill)}] {frac * 100:5.1f}%"
                    f"  {done / self.scale:,.1f}/{self.total / self.scale:,.1f} {self.unit}"
                    f"  {rate:,.1f} {self.unit}/s")
            self.stream.write(text)
            self.stream.flush()
            Progress.open_bar = self
        else:
            tenth = int(frac * 10)
            if tenth != self.last_tenth:
                self.last_tenth = tenth
                self.stream.write(f"{self.label}: {frac * 100:.0f}%\n")
                self.stream.flush()

    def close(self) -> None:
        if self.tty:
            self.update(self.total)
            self.stream.write("\n")
            self.stream.flush()
            Progress.open_bar = None


def end_line() -> None:
    """Ends the line of a bar left unfinished by a failure, so that a message
    printed next starts on its own line."""
    bar = Progress.open_bar
    if bar is not None:
        Progress.open_bar = None
        bar.stream.write("\n")
        bar.stream.flush()
