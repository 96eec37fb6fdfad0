"""A simulated session replayed as live streams, to try the decoder without an amplifier.

:func:`simulated_session` makes a motor-imagery recording with
:mod:`kelvra_bci.eeg` and marks each cue as an annotation; :func:`start_player`
replays it with MNE-LSL's ``PlayerLSL``: the EEG on a stream named ``name``
and the cues as text markers on ``name + "-annotations"``, as a stimulus
program would send them. :class:`ArrayPlayer` plays arrays through plain LSL
outlets instead, with timestamps it sets itself, as an amplifier's driver and
a stimulus program do. Needs the ``[eeg]`` and ``[live]`` extras.
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass

import numpy as np

__all__ = ["ArrayPlayer", "ReplaySession", "simulated_session", "start_player"]


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


class ArrayPlayer(threading.Thread):
    """A plain LSL program, as an amplifier's driver and a stimulus program are: an EEG outlet
    (``name``) and a string marker outlet (``name + "-markers"``), pushed from arrays.

    Samples (channels x samples) go out in chunks of ``chunk`` at ``speed``
    times real time, stamped ``t0 + i / sfreq``; ``markers`` are (sample index
    or None, text, stamp or None) and go out when the EEG reaches their sample
    (None: at the start), stamped with their sample's time unless given a
    stamp. Each chunk goes out once its last sample is due, as from an
    amplifier. The thread waits (up to ``wait`` seconds) for a consumer of both
    outlets, and with ``hold`` for ``go`` to be set, before pushing; it destroys
    both outlets at the end, as a program that exits.
    """

    def __init__(self, name, data, sfreq, channels, markers, *, speed=1.0, chunk=10, wait=120.0, hold=False):
        super().__init__(daemon=True)
        from mne_lsl.lsl import StreamInfo

        self.data, self.sfreq, self.markers = data, sfreq, markers
        self.speed, self.chunk, self.wait = speed, chunk, wait
        self.go = threading.Event()  # pushing starts once this is set, and a consumer of both outlets is there
        if not hold:
            self.go.set()
        self.eeg_info = StreamInfo(name, "EEG", data.shape[0], sfreq, "float32", f"{name}-eeg")
        if channels is not None:
            self.eeg_info.set_channel_names(list(channels))
        self.marker_info = StreamInfo(f"{name}-markers", "Markers", 1, 0.0, "string", f"{name}-markers")
        self.error = None
        self.t0 = None
        self.done = threading.Event()

    def run(self):
        from mne_lsl.lsl import StreamOutlet, local_clock

        try:
            eeg = StreamOutlet(self.eeg_info, chunk_size=self.chunk)
            markers = StreamOutlet(self.marker_info)
            if not (eeg.wait_for_consumers(self.wait) and markers.wait_for_consumers(self.wait)):
                return
            if not self.go.wait(self.wait):
                return
            time.sleep(0.5)  # a consumer opens its inlets just after it connects
            self.t0 = t0 = local_clock()
            pending = sorted(self.markers, key=lambda m: -1 if m[0] is None else m[0])
            n = self.data.shape[1]
            start = time.monotonic()
            for i in range(0, n, self.chunk):
                stop = min(i + self.chunk, n)
                # Paced on the clock, not by summed sleeps, so that the rate holds on a loaded machine.
                time.sleep(max(0.0, start + stop / self.sfreq / self.speed - time.monotonic()))
                while pending and (pending[0][0] is None or pending[0][0] < stop):
                    index, text, stamp = pending.pop(0)
                    markers.push_sample([text], timestamp=stamp if stamp is not None else t0 + index / self.sfreq)
                stamps = t0 + np.arange(i, stop) / self.sfreq
                eeg.push_chunk(np.ascontiguousarray(self.data[:, i:stop].T, dtype=np.float32), timestamp=stamps)
            time.sleep(1.0)
            del eeg, markers
        except Exception as exc:  # kept for the caller, who reads it after join
            self.error = exc
        finally:
            self.done.set()
