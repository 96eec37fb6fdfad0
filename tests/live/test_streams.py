"""How the decoder reads markers and finds an epoch in its buffer, without the network."""

import numpy as np
import pytest

from kelvra_bci.live.streams import EegInlet, MarkerInlet

SFREQ = 100.0


def marker_inlet(n_channels, channels=None, stype="Markers"):
    inlet = MarkerInlet.__new__(MarkerInlet)  # the reading of samples alone, without a stream
    inlet.n_channels, inlet.channels = n_channels, channels
    inlet.one_hot = MarkerInlet.is_one_hot(n_channels, stype, channels)
    return inlet


@pytest.mark.parametrize(
    ("n_channels", "channels", "stype", "sample", "markers"),
    [
        (1, None, "Markers", [" left "], ["left"]),  # a string stream, as stimulus programs send
        (2, None, "Markers", ["2", "ignored"], ["2"]),  # the first channel of a string stream
        (1, ("description",), "annotations", ["feet"], ["feet"]),  # MNE-LSL's annotations as text
        (1, None, "Markers", np.array([3.0]), ["3"]),  # a numeric code
        (1, ("Marker",), "Markers", np.array([7], dtype=np.int32), ["7"]),
        (1, None, "Markers", np.array([1.5]), ["1.5"]),
        (3, ("1", "2", "3"), "annotations", np.array([0.0, -1.0, 0.0]), ["2"]),  # MNE-LSL's one-hot annotations
        (1, ("left",), "annotations", np.array([-1.0]), ["left"]),  # ... of a recording with one kind of cue
        (3, None, "Markers", np.array([0.0, 0.0, 2.0]), ["2"]),  # unnamed channels: their index
        (3, ("a", "b", "c"), "Markers", np.array([0.0, 0.0, 0.0]), []),
    ],
)
def test_markers_are_read_as_text(n_channels, channels, stype, sample, markers):
    assert marker_inlet(n_channels, channels, stype)._markers(sample) == markers


def eeg_buffer(stamps):
    inlet = EegInlet.__new__(EegInlet)
    inlet.sfreq, inlet.n_channels = SFREQ, 2
    capacity = 1000
    inlet._data, inlet._ts, inlet._arrived = np.zeros((2 * capacity, 2)), np.zeros(2 * capacity), np.zeros(2 * capacity)
    inlet._capacity, inlet._size = capacity, 0
    stamps = np.asarray(stamps, dtype=float)
    inlet._append(np.column_stack([stamps, -stamps]), stamps, 0.0)
    return inlet


@pytest.mark.parametrize(
    ("stamps", "start", "state"),
    [
        (np.arange(300) / SFREQ, 1.0, "ready"),
        (np.arange(300) / SFREQ, 2.5, "wait"),  # its last sample is still to come
        (np.arange(300) / SFREQ, 0.5, "ready"),  # just the padding it needs before it
        (np.arange(300) / SFREQ, 0.4, "late"),  # the signal before it is not all there
        (1.0 + np.arange(300) / SFREQ, 0.2, "late"),  # older than the buffer
        (np.r_[np.arange(150), np.arange(200, 400)] / SFREQ, 1.0, "gap"),  # the stream skipped inside it
        (np.r_[np.arange(120), np.arange(400, 420)] / SFREQ, 1.1, "gap"),  # it came back after the window
    ],
)
def test_an_epoch_is_taken_whole_or_said_why_not(stamps, start, state):
    inlet = eeg_buffer(stamps)
    got, epoch = inlet.epoch(start, n_pad=50, n_window=100)
    assert got == state
    if state == "ready":
        first = round(start * SFREQ)
        np.testing.assert_array_equal(epoch[0], stamps[first - 50 : first + 100])


def test_the_buffer_keeps_the_newest_samples_in_order():
    inlet = eeg_buffer(np.arange(10) / SFREQ)
    for block in range(1, 40):  # far past its capacity, in chunks
        stamps = (block * 100 + np.arange(100)) / SFREQ
        inlet._append(np.column_stack([stamps, stamps]), stamps, 0.0)
    ts = inlet._ts[: inlet._size]
    # At least the last `capacity` samples, in order, each with its own data.
    assert inlet._capacity <= inlet._size <= 2 * inlet._capacity
    np.testing.assert_array_equal(ts[-inlet._capacity :], np.arange(3000, 4000) / SFREQ)
    np.testing.assert_array_equal(inlet._data[: inlet._size, 0], ts)


class _Info:
    def __init__(self, uid):
        self.uid = uid


@pytest.mark.parametrize(
    ("answers", "lost", "found"),
    [
        # A lost outlet's advertisement lingers before its successor appears: keep looking.
        ([["old"], ["old"], ["old", "new"]], True, "new"),
        ([[], ["new"]], True, "new"),
        ([["old"]], True, None),  # only the echo until the deadline
        ([["old"], ["new"]], False, None),  # a quiet stream whose outlet still answers is not replaced
        ([[], ["new"]], False, "new"),
    ],
)
def test_a_successor_is_another_outlet(monkeypatch, answers, lost, found):
    from kelvra_bci.live import streams

    calls = iter(answers)
    last = answers[-1]
    monkeypatch.setattr(streams, "_resolve", lambda query, left: [_Info(u) for u in next(calls, last)])
    monkeypatch.setattr(streams, "RESOLVE_SLICE", 0.01)
    query = streams.StreamQuery("EEG", name="eeg")
    info = streams.find_successor(query, "old", 0.2, lost=lost)
    assert (info.uid if info else None) == found
