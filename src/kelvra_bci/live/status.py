"""What a live session tells its user: one line per event, and a summary at the end."""

from __future__ import annotations

import sys
from collections import Counter, deque
from dataclasses import dataclass, field

import numpy as np

__all__ = ["ROLLING_TRIALS", "SessionStatus", "latency_figures"]

# Trials the rolling accuracy of the status line covers.
ROLLING_TRIALS = 20


def latency_figures(latencies_s) -> tuple[float, float] | None:
    """Median and 99th percentile in milliseconds; None when nothing was timed."""
    values = np.asarray(latencies_s, dtype=np.float64)
    if values.size == 0:
        return None
    return float(np.median(values) * 1e3), float(np.percentile(values, 99) * 1e3)


@dataclass
class SessionStatus:
    """Counts of the session, kept as it runs, and the lines that report them."""

    out: object = field(default_factory=lambda: sys.stderr)
    quiet: bool = False
    decoded: int = 0
    learned: int = 0
    calibration: int = 0
    scored: list = field(default_factory=list)
    recent: deque = field(default_factory=lambda: deque(maxlen=ROLLING_TRIALS))
    latencies: list = field(default_factory=list)
    skipped: Counter = field(default_factory=Counter)
    unmapped: Counter = field(default_factory=Counter)
    joined: list = field(default_factory=list)
    reconnections: int = 0

    def say(self, text: str) -> None:
        print(f"[live] {text}", file=self.out, flush=True)

    def trial(self, cue: str, predicted: str, p: float, truth: str | None, latency_s: float) -> None:
        self.decoded += 1
        self.latencies.append(latency_s)
        hit = None if truth is None else predicted == truth
        if hit is not None:
            self.scored.append(hit)
            self.recent.append(hit)
        if self.quiet:
            return
        rolling = f"  acc(last {len(self.recent)}) {np.mean(self.recent):.2f}" if self.recent else ""
        truth_text = "" if truth is None else f" ({'hit' if hit else 'miss'})"
        self.say(
            f"trial {self.decoded:>4}  cue {cue}  -> {predicted} p={p:.2f}{truth_text}{rolling}"
            f"  latency {latency_s * 1e3:.1f} ms"
        )

    def skip(self, cue: str, reason: str) -> None:
        self.skipped[reason] += 1
        self.say(f"skipped cue {cue}: {reason}")

    def unmapped_marker(self, marker: str) -> None:
        self.unmapped[marker] += 1
        if self.unmapped[marker] == 1:
            self.say(f"marker {marker!r} maps to no class and is no cue; ignored (said once)")

    def summary(self) -> str:
        lines = [
            f"decoded {self.decoded} cue{'s' if self.decoded != 1 else ''}, learned {self.learned} labelled trial"
            f"{'s' if self.learned != 1 else ''}"
            + (f" after calibrating on {self.calibration}" if self.calibration else "")
        ]
        if self.scored:
            lines.append(
                f"accuracy {np.mean(self.scored):.3f} on {len(self.scored)} labelled cues decoded before learning"
            )
        figures = latency_figures(self.latencies)
        if figures:
            lines.append(
                f"latency (last sample in -> prediction out) median {figures[0]:.1f} ms, p99 {figures[1]:.1f} ms"
            )
        if self.joined:
            lines.append(f"classes joined in the session: {', '.join(self.joined)}")
        if self.skipped:
            lines.append("skipped: " + ", ".join(f"{n} ({reason})" for reason, n in self.skipped.items()))
        if self.unmapped:
            lines.append("markers of no class: " + ", ".join(f"{m!r} x{n}" for m, n in self.unmapped.items()))
        if self.reconnections:
            lines.append(f"reconnected {self.reconnections} time{'s' if self.reconnections > 1 else ''}")
        return "\n".join(lines)
