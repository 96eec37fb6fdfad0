"""Helpers of the live tests: unique stream names, a decoder process and an outlet reader, all bounded in time."""

import os
import subprocess
import sys
import threading
import time
import uuid

import numpy as np
from mne_lsl.lsl import StreamInlet, resolve_streams

# No single wait of a test may run longer than this; a decoder is killed after it.
PROCESS_TIMEOUT = 120.0


def unique(prefix: str) -> str:
    """A stream name no other test or parallel run uses."""
    return f"{prefix}-{uuid.uuid4().hex[:10]}"


class Decoder:
    """``kelvra-softmax live`` in its own process, its output in a file; always ended by ``finish``."""

    def __init__(self, tmp_path, *args):
        self.log_path = tmp_path / f"decoder-{uuid.uuid4().hex[:6]}.log"
        self._log = open(self.log_path, "w")  # noqa: SIM115 - closed in finish
        env = dict(os.environ, PYTHONUNBUFFERED="1")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "kelvra_bci", "--no-compile-cache", "live", *map(str, args)],
            stdout=self._log,
            stderr=subprocess.STDOUT,
            env=env,
        )

    def text(self) -> str:
        return self.log_path.read_text()

    def wait_for(self, words: str, timeout: float = PROCESS_TIMEOUT) -> None:
        deadline = time.monotonic() + timeout
        while words not in self.text():
            if self.proc.poll() is not None:
                raise AssertionError(f"the decoder ended ({self.proc.returncode}) before {words!r}:\n{self.text()}")
            if time.monotonic() > deadline:
                raise AssertionError(f"no {words!r} from the decoder within {timeout} s:\n{self.text()}")
            time.sleep(0.1)

    def finish(self, sig=None, timeout: float = PROCESS_TIMEOUT) -> int:
        if sig is not None and self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
            raise AssertionError(f"the decoder did not end within {timeout} s:\n{self.text()}") from None
        finally:
            self._log.close()


class Reader(threading.Thread):
    """Reads every sample of a stream into ``samples`` and ``stamps`` until stopped (a feedback program)."""

    def __init__(self, name: str, timeout: float = PROCESS_TIMEOUT):
        super().__init__(daemon=True)
        self.name_, self.timeout = name, timeout
        self.samples, self.stamps, self.channels = [], [], None
        self.halt = threading.Event()
        self.error = None

    def run(self):
        try:
            deadline = time.monotonic() + self.timeout
            found = []
            while not found and not self.halt.is_set() and time.monotonic() < deadline:
                found = resolve_streams(timeout=0.5, name=self.name_)
            if not found:
                return
            inlet = StreamInlet(found[0], processing_flags=["clocksync"])
            inlet.open_stream(timeout=5)
            self.channels = inlet.get_sinfo().get_channel_names()
            while not self.halt.is_set():
                data, ts = inlet.pull_chunk(timeout=0.0)
                if len(ts):
                    self.samples.extend(list(row) if isinstance(row, list) else np.array(row) for row in data)
                    self.stamps.extend(ts.tolist())
                else:
                    time.sleep(0.002)
        except Exception as exc:  # reported by the test
            self.error = exc

    def stop(self):
        self.halt.set()
        self.join(10)
        assert self.error is None, self.error


class Pusher(threading.Thread):
    """A plain LSL program: an EEG outlet and a string marker outlet, pushed from arrays at ``speed`` x real time.

    Samples are stamped ``t0 + i / sfreq``; ``markers`` are (sample index or
    None, text, stamp or None) and go out when the EEG passes their sample
    (None: at the start), stamped with their sample's time unless given a
    stamp. Waits (bounded) for a consumer of both outlets before pushing, and
    destroys both outlets at the end, as a program that exits.
    """

    def __init__(self, name, data, sfreq, channels, markers, *, speed=5.0, chunk=10):
        super().__init__(daemon=True)
        from mne_lsl.lsl import StreamInfo

        self.data, self.sfreq, self.markers, self.speed, self.chunk = data, sfreq, markers, speed, chunk
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
            if not (eeg.wait_for_consumers(PROCESS_TIMEOUT) and markers.wait_for_consumers(PROCESS_TIMEOUT)):
                return
            time.sleep(0.5)  # the decoder opens its inlets just after it connects
            self.t0 = t0 = local_clock()
            pending = sorted(self.markers, key=lambda m: -1 if m[0] is None else m[0])
            n = self.data.shape[1]
            for i in range(0, n, self.chunk):
                stop = min(i + self.chunk, n)
                while pending and (pending[0][0] is None or pending[0][0] < stop):
                    index, text, stamp = pending.pop(0)
                    markers.push_sample([text], timestamp=stamp if stamp is not None else t0 + index / self.sfreq)
                stamps = t0 + np.arange(i, stop) / self.sfreq
                eeg.push_chunk(np.ascontiguousarray(self.data[:, i:stop].T, dtype=np.float32), timestamp=stamps)
                time.sleep((stop - i) / self.sfreq / self.speed)
            time.sleep(1.0)
            del eeg, markers
        except Exception as exc:  # reported by the test
            self.error = exc
        finally:
            self.done.set()
