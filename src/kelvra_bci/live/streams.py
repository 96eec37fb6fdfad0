"""The Lab Streaming Layer side of a live decoder: finding streams, reading them, publishing results.

Everything LSL goes through MNE-LSL's bindings of liblsl (``mne_lsl.lsl``),
imported when a function runs so that the package imports without the
``[live]`` extra. Inlets are opened without liblsl's silent recovery: when a
stream goes quiet, the decoder looks for a new outlet of the same name or
source id itself (a restarted amplifier driver or player), so that it can say
so, check that the stream that came back is the one it calibrated on, and give
up after a timeout instead of waiting forever. An inlet whose outlet liblsl
reports lost raises :class:`StreamLost`.
Timestamps are mapped onto this machine's LSL clock (``clocksync``), so cues
and samples from programs on other machines line up.
"""

from __future__ import annotations

import contextlib
import time
from dataclasses import dataclass

import numpy as np

__all__ = [
    "LIVE_HINT",
    "EegInlet",
    "LiveError",
    "MarkerInlet",
    "StreamLost",
    "StreamQuery",
    "find_stream",
    "find_successor",
    "local_clock",
    "make_outlet",
    "mne_lsl",
    "subscribe",
]

LIVE_HINT = "live decoding needs the optional extra [live]: pip install 'kelvra-bci[live]'"

# Seconds of EEG the decoder keeps: room for the longest epoch with its padding
# and for cues whose markers arrive late.
BUFFER_SECONDS = 30.0
# Longest single wait on the EEG inlet, so that stop requests and timeouts are
# seen promptly however quiet the streams are.
POLL_SECONDS = 0.05
# Each resolve attempt while looking for a stream; short, so that a timeout is kept.
RESOLVE_SLICE = 0.5
# How long opening an inlet, and its first clock-offset estimate, may take.
INLET_OPEN_TIMEOUT = 5.0


class LiveError(Exception):
    """A problem of the session that ends it, said in one line: a stream not found or not as calibrated."""


class StreamLost(Exception):
    """The outlet at the other end of an inlet went away."""


def mne_lsl():
    try:
        import mne_lsl.lsl
    except ModuleNotFoundError as exc:
        if exc.name and exc.name.split(".")[0] == "mne_lsl":
            raise ModuleNotFoundError(LIVE_HINT, name="mne_lsl") from None
        raise
    return mne_lsl.lsl


def local_clock() -> float:
    return mne_lsl().local_clock()


@dataclass(frozen=True)
class StreamQuery:
    """Which stream to use: by name, by source id, or both (both must match)."""

    what: str  # "EEG" or "marker", for messages
    name: str | None = None
    source_id: str | None = None

    def describe(self) -> str:
        parts = [
            f"named {self.name!r}" if self.name else "",
            f"with source id {self.source_id!r}" if self.source_id else "",
        ]
        return f"{self.what} stream {' '.join(p for p in parts if p)}"


def find_stream(query: StreamQuery, timeout: float, stop=lambda: False):
    """The stream info of the first stream that matches, waiting up to ``timeout`` seconds.

    Raises :class:`LiveError` naming what was looked for when nothing matches in time.
    """
    if not query.name and not query.source_id:
        raise LiveError(f"name the {query.what} stream: give its name or its source id")
    deadline = time.monotonic() + timeout
    while True:
        found = _resolve(query, deadline - time.monotonic())
        if found:
            return found[0]
        if time.monotonic() >= deadline or stop():
            raise LiveError(f"no {query.describe()} found on the network within {timeout:g} s")


def find_successor(query: StreamQuery, uid: str, timeout: float, stop=lambda: False, *, lost: bool = False):
    """A new outlet that has taken the place of the outlet ``uid``, or None when none appears within
    ``timeout`` seconds or ``stop()`` turns true.

    While the old outlet still answers, a quiet stream is only quiet: None at
    once. After a loss (``lost``) its advertisement can linger for a moment,
    so it is passed over and the search goes on until the deadline.
    """
    deadline = time.monotonic() + timeout
    while True:
        found = _resolve(query, deadline - time.monotonic())
        if not lost and any(info.uid == uid for info in found):
            return None
        fresh = [info for info in found if info.uid != uid]
        if fresh:
            return fresh[0]
        if time.monotonic() >= deadline or stop():
            return None
        if found:  # only the lost outlet's echo: it answered at once, so wait before asking again
            time.sleep(min(RESOLVE_SLICE, max(deadline - time.monotonic(), 0.0)))


def subscribe(name: str, timeout: float, stop=lambda: False):
    """An open inlet on the stream named ``name``, for a program that reads the decoder's outlet.

    Its timestamps are on this machine's clock, and its first clock-offset
    estimate is made now rather than at its first sample. None when no such
    stream appears within ``timeout`` seconds or ``stop()`` turns true.
    """
    try:
        sinfo = find_stream(StreamQuery("output", name=name), timeout, stop)
    except LiveError:
        return None
    inlet = mne_lsl().StreamInlet(sinfo, processing_flags=["clocksync"])
    inlet.open_stream(timeout=INLET_OPEN_TIMEOUT)
    inlet.time_correction(timeout=INLET_OPEN_TIMEOUT)
    return inlet


def _resolve(query: StreamQuery, left: float) -> list:
    return mne_lsl().resolve_streams(
        timeout=max(min(RESOLVE_SLICE, left), 0.05), name=query.name, source_id=query.source_id, minimum=1
    )


class _Inlet:
    def __init__(self, sinfo, open_timeout: float):
        lsl = mne_lsl()
        self._lsl = lsl
        self._inlet = lsl.StreamInlet(sinfo, recover=False, processing_flags=["clocksync"])
        try:
            self._inlet.open_stream(timeout=open_timeout)
            self.info = self._inlet.get_sinfo(timeout=open_timeout)
            # The first clock-offset estimate takes a few round trips; made now, it
            # does not hold up the first sample pulled (a cue's, or a prediction's).
            self._inlet.time_correction(timeout=open_timeout)
        except Exception:
            self.close()
            raise
        self.name = self.info.name
        self.uid = self.info.uid
        self.source_id = self.info.source_id
        self.n_channels = self.info.n_channels
        self.sfreq = float(self.info.sfreq)
        names = self.info.get_channel_names()
        self.channels = tuple(names) if names and all(names) else None

    def _pull(self, timeout: float):
        try:
            return self._inlet.pull_chunk(timeout=timeout, max_samples=4096)
        except _lost_error() as exc:
            raise StreamLost(str(exc)) from None

    def close(self) -> None:
        inlet, self._inlet = getattr(self, "_inlet", None), None
        if inlet is not None:
            with contextlib.suppress(Exception):
                inlet.close_stream()
            with contextlib.suppress(Exception):
                inlet._del()


def _lost_error() -> type[Exception]:
    # MNE-LSL raises liblsl's lost_error as LostError, which it does not export.
    try:
        from mne_lsl.lsl._utils import LostError
    except ImportError:  # pragma: no cover - a later release that moved it
        return RuntimeError
    return LostError


class EegInlet(_Inlet):
    """The EEG stream, read into a ring buffer of the last ``BUFFER_SECONDS`` seconds."""

    def __init__(self, sinfo, open_timeout: float, min_seconds: float = 0.0, picks: tuple[str, ...] | None = None):
        super().__init__(sinfo, open_timeout)
        if not self.sfreq > 0:
            self.close()
            raise LiveError(f"the EEG stream {self.name!r} has no regular sampling rate")
        # Only the channels named in picks are kept (an amplifier's stream often
        # carries trigger or auxiliary channels beside the EEG), in that order.
        self._picks = None
        if picks is not None:
            missing = [c for c in picks if c not in (self.channels or ())]
            if missing:
                self.close()
                have = "sends no channel names" if self.channels is None else f"has no channel {missing[0]!r}"
                raise LiveError(f"the EEG stream {self.name!r} {have}; channels to decode: {', '.join(picks)}")
            self._picks = np.array([self.channels.index(c) for c in picks])
            self.channels, self.n_channels = tuple(picks), len(picks)
        capacity = int(np.ceil(max(BUFFER_SECONDS, 4 * min_seconds) * self.sfreq))
        self._data = np.zeros((2 * capacity, self.n_channels))
        self._ts = np.zeros(2 * capacity)
        self._arrived = np.zeros(2 * capacity)  # local clock when each sample was pulled
        self._capacity, self._size = capacity, 0
        self.last_arrival = None  # local clock when samples last arrived

    def pull(self, wait: float = POLL_SECONDS) -> int:
        """Moves what arrived into the buffer, waiting up to ``wait`` seconds for the first sample."""
        lost_error = _lost_error()
        try:
            sample, stamp = self._inlet.pull_sample(timeout=wait)
            if stamp is None:
                return 0
            chunk, stamps = self._inlet.pull_chunk(timeout=0.0, max_samples=4096)
        except lost_error as exc:
            raise StreamLost(str(exc)) from None
        self.last_arrival = now = local_clock()
        sample, chunk = np.asarray(sample, dtype=np.float64)[None], np.asarray(chunk, dtype=np.float64)
        if self._picks is not None:
            sample, chunk = sample[:, self._picks], chunk[:, self._picks] if len(stamps) else chunk
        self._append(sample, np.array([stamp]), now)
        if len(stamps):
            self._append(chunk, np.array(stamps, dtype=np.float64), now)
        return 1 + len(stamps)

    def _append(self, chunk: np.ndarray, stamps: np.ndarray, arrived) -> None:
        n = len(stamps)
        arrived = np.broadcast_to(np.asarray(arrived, dtype=np.float64), (n,))
        if n >= self._capacity:
            chunk, stamps, arrived = chunk[-self._capacity :], stamps[-self._capacity :], arrived[-self._capacity :]
            n = self._capacity
        if self._size + n > self._data.shape[0]:
            keep = self._capacity - n
            for buffer in (self._data, self._ts, self._arrived):
                buffer[:keep] = buffer[self._size - keep : self._size]
            self._size = keep
        self._data[self._size : self._size + n] = chunk
        self._ts[self._size : self._size + n] = stamps
        self._arrived[self._size : self._size + n] = arrived
        self._size += n

    @property
    def buffer_seconds(self) -> float:
        return self._capacity / self.sfreq

    def adopt_buffer(self, old: EegInlet) -> None:
        """Takes over the samples an inlet to the same stream held before it was lost."""
        if old.n_channels == self.n_channels and old._size:
            size = old._size
            self._append(old._data[:size], old._ts[:size], old._arrived[:size])
            self.last_arrival = old.last_arrival

    def arrival_of(self, start: float, n_window: int) -> float:
        """When the last sample of the window that starts at LSL time ``start`` was pulled (local clock)."""
        first = int(np.searchsorted(self._ts[: self._size], start - 0.5 / self.sfreq))
        return float(self._arrived[min(first + n_window, self._size) - 1])

    @property
    def newest(self) -> float | None:
        return float(self._ts[self._size - 1]) if self._size else None

    def epoch(self, start: float, n_pad: int, n_window: int) -> tuple[str, np.ndarray | None]:
        """The samples of a window that starts at LSL time ``start``, with ``n_pad`` samples before it.

        Returns ("ready", channels x samples), or ("wait", None) while its last
        sample has not arrived, ("late", None) when its first samples have
        already left the buffer, ("gap", None) when the stream skipped within it.
        """
        ts = self._ts[: self._size]
        half = 0.5 / self.sfreq
        first = int(np.searchsorted(ts, start - half))
        if self._size and (ts[0] > start + half or first - n_pad < 0 <= self._size - first - 1):
            return "late", None  # the window, or the signal before it, is older than the buffer
        if first + n_window > self._size:
            # Not all here yet; the timestamps of a stream that came back may
            # already lie past the window, and then it will never be complete.
            if self._size and ts[-1] >= start + (n_window - 1) / self.sfreq + half:
                return "gap", None
            return "wait", None
        span = ts[first + n_window - 1] - ts[first - n_pad]
        expected = (n_pad + n_window - 1) / self.sfreq
        if abs(span - expected) > max(2.0 / self.sfreq, 0.05 * expected) or abs(ts[first] - start) > 2.0 / self.sfreq:
            return "gap", None
        return "ready", self._data[first - n_pad : first + n_window].T.copy()


class MarkerInlet(_Inlet):
    """The marker stream; every marker is read as text.

    A string stream's marker is its first channel; a numeric stream of one
    channel gives its value (``3`` for 3.0); a numeric stream of several
    channels, or of type ``annotations``, is one-hot (as MNE-LSL's player sends
    annotations) and gives the name of the channel that is not zero.
    """

    def __init__(self, sinfo, open_timeout: float):
        super().__init__(sinfo, open_timeout)
        self.one_hot = self.is_one_hot(self.n_channels, self.info.stype, self.channels)

    @staticmethod
    def is_one_hot(n_channels: int, stype: str, channels) -> bool:
        return n_channels > 1 or (stype.lower() == "annotations" and channels is not None)

    def pull(self) -> list[tuple[str, float]]:
        samples, stamps = self._pull(0.0)
        if not len(stamps):
            return []
        out = []
        for sample, stamp in zip(samples, stamps, strict=True):
            out.extend((marker, float(stamp)) for marker in self._markers(sample))
        return out

    def _markers(self, sample) -> list[str]:
        if not self.one_hot or isinstance(sample, list):
            value = sample[0]
            if isinstance(value, str):
                return [value.strip()]
            return [_number_text(value)]
        hot = np.flatnonzero(np.asarray(sample) != 0)
        names = self.channels or tuple(str(i) for i in range(self.n_channels))
        return [names[i] for i in hot]


def _number_text(value) -> str:
    value = float(value)
    return str(int(value)) if value.is_integer() else repr(value)


def make_outlet(name: str, source_id: str, classes: tuple[str, ...]):
    """The decoder's outlet: one irregular sample per decoded cue, one channel per class and then ``label``."""
    lsl = mne_lsl()
    info = lsl.StreamInfo(name, "Classifier", len(classes) + 1, 0.0, "float32", source_id)
    info.set_channel_names([*classes, "label"])
    return lsl.StreamOutlet(info, chunk_size=1)
