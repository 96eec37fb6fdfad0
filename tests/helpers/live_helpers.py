"""Helpers of the live tests: unique stream names, a decoder process and an outlet reader, all bounded in time."""

import os
import subprocess
import sys
import threading
import time
import uuid

import numpy as np

from kelvra_bci.live.streams import subscribe

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
        self.ready = threading.Event()  # subscribed: every sample from now on is read
        self.error = None

    def run(self):
        try:
            inlet = subscribe(self.name_, self.timeout, self.halt.is_set)
            if inlet is None:
                return
            self.channels = inlet.get_sinfo().get_channel_names()
            self.ready.set()
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
