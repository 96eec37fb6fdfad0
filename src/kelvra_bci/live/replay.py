"""A simulated session replayed as live streams, to try the decoder without an amplifier.

:func:`simulated_session` makes a motor-imagery recording with
:mod:`kelvra_bci.eeg` and marks each cue as an annotation; :func:`start_player`
replays it with MNE-LSL's ``PlayerLSL``: the EEG on a stream named ``name``
and the cues as text markers on ``name + "-annotations"``, as a stimulus
program would send them. Needs the ``[eeg]`` and ``[live]`` extras.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["ReplaySession", "simulated_session", "start_player"]


@dataclass(frozen=True)
class ReplaySession:
    """A recording with a cue annotation per trial; ``cues`` are sample indices, ``labels`` class names."""

    raw: object  # mne.io.RawArray with annotations
    cues: np.ndarray
    labels: tuple[str, ...]
    markers: tuple[str, ...]

    @property
    def sfreq(self) -> float:
        return float(self.raw.info["sfreq"])

    def part(self, start_seconds: float, stop_seconds: float | None = None) -> ReplaySession:
        """The stretch from ``start_seconds`` on (to ``stop_seconds``), cues renumbered, as a recording of its own."""
        import mne

        start = round(start_seconds * self.sfreq)
        stop = self.raw.n_times if stop_seconds is None else round(stop_seconds * self.sfreq)
        data = self.raw.get_data()[:, start:stop]
        keep = (self.cues >= start) & (self.cues < stop)
        cues = self.cues[keep] - start
        raw = mne.io.RawArray(data, self.raw.info.copy(), verbose=False)
        markers = tuple(np.asarray(self.markers)[keep])
        raw.set_annotations(mne.Annotations(cues / self.sfreq, 0.0, list(markers)))
        return ReplaySession(raw, cues, tuple(np.asarray(self.labels)[keep]), markers)


def simulated_session(
    n_classes: int = 3,
    n_trials: int = 12,
    n_runs: int = 3,
    *,
    sfreq: float = 250.0,
    imagery: float = 3.0,
    erd: float = 0.3,
    drift: float = 0.0,
    new_class_run: int | None = None,
    lead_in: float = 0.0,
    marker_of=None,
    seed: int = 0,
) -> ReplaySession:
    """A simulated motor-imagery session (see :func:`kelvra_bci.eeg.simulate_motor_imagery`) with cue markers.

    ``marker_of`` maps a class name to its marker text (default: the class
    index from 1, as text). ``lead_in`` seconds of the recording's own
    background signal are put before it, time for a decoder to connect
    before the first cue.
    """
    import mne

    from ..eeg import CLASSES, simulate_motor_imagery

    recording = simulate_motor_imagery(
        n_classes, n_trials, n_runs, sfreq=sfreq, imagery=imagery, erd=erd, drift=drift,
        new_class_run=new_class_run, seed=seed,
    )  # fmt: skip
    data = recording.raw.get_data()
    extra = round(lead_in * sfreq)
    if extra:
        # The signal of the last seconds, which hold no cue, played first.
        data = np.concatenate([data[:, -extra:], data], axis=1)
    cues = recording.events[:, 0] + extra
    labels = tuple(CLASSES[c] for c in recording.y)
    marker_of = marker_of or (lambda name: str(CLASSES.index(name) + 1))
    markers = tuple(marker_of(name) for name in labels)
    raw = mne.io.RawArray(data, recording.raw.info.copy(), verbose=False)
    raw.set_annotations(mne.Annotations(cues / sfreq, 0.0, list(markers)))
    return ReplaySession(raw, cues, labels, markers)


def start_player(session: ReplaySession, name: str, source_id: str, chunk_size: int = 10):
    """Starts replaying the session once, in real time; returns the started ``PlayerLSL`` (call ``stop``)."""
    from mne_lsl.player import PlayerLSL

    player = PlayerLSL(
        session.raw,
        chunk_size=chunk_size,
        n_repeat=1,
        name=name,
        source_id=source_id,
        annotations=True,
        annotations_encoding="string",
    )
    return player.start()
