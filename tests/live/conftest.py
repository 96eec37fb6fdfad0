"""Fixtures of the live tests: a check that LSL works here, and decoders and readers that never outlive a test."""

import contextlib
import signal
import uuid

import pytest


@pytest.fixture(scope="session")
def lsl():
    """Skips, with the reason, without the extras or where LSL cannot open sockets or find its own outlet."""
    pytest.importorskip("mne_lsl", reason="the live tests need the [live] extra (mne-lsl)")
    pytest.importorskip("mne", reason="the live tests need the [eeg] extra")
    pytest.importorskip("pyriemann", reason="the live tests need the [eeg] extra")
    from mne_lsl.lsl import StreamInfo, StreamOutlet, resolve_streams

    name = f"kelvra-probe-{uuid.uuid4().hex[:8]}"
    try:
        outlet = StreamOutlet(StreamInfo(name, "probe", 1, 10.0, "float32", name))
        found = resolve_streams(timeout=3.0, name=name)
    except Exception as exc:  # liblsl reports a socket it may not open in several ways
        pytest.skip(f"LSL cannot open its sockets here: {exc}")
    if not found:
        pytest.skip("LSL cannot see its own outlet on this machine (no multicast or loopback discovery)")
    del outlet


@pytest.fixture
def decoders(tmp_path):
    """Starts decoders; any still running at the end of the test is killed."""
    started = []

    from live_helpers import Decoder

    def start(*args):
        decoder = Decoder(tmp_path, *args)
        started.append(decoder)
        return decoder

    yield start
    for decoder in started:
        if decoder.proc.poll() is None:
            with contextlib.suppress(Exception):
                decoder.finish(signal.SIGKILL, timeout=10)


@pytest.fixture
def readers():
    started = []

    from live_helpers import Reader

    def start(name):
        reader = Reader(name)
        reader.start()
        started.append(reader)
        return reader

    yield start
    for reader in started:
        reader.halt.set()
        reader.join(10)
