"""Latency of live decoding over Lab Streaming Layer: 16 channels at 250 Hz, 4 classes, CSP and tangent space.

A plain LSL program plays a simulated recording (kelvra_bci.eeg) in real time,
in chunks of 10 samples (40 ms, as many amplifiers send them), with a cue
marker every --spacing seconds; the decoder (``kelvra-softmax live``, resumed
from a model file calibrated offline on 60 trials) runs in its own process;
a client in this process, the third program, subscribes to the EEG and to the
decoder's outlet and notes, on LSL's clock, when each epoch's last sample
arrived and when its prediction arrived. Latency = the second minus the first.
The decoder's own figure (from the pull that completed the epoch to the push)
is printed beside it.

The fourth class is a relabelling of a quarter of the trials (the simulator
has three motor areas): the model has four classes, which is what the latency
depends on, but the accuracy of this run means nothing and is not shown.

Beside the live figures, the classifier's share of a trial is timed in this
process: one trial's probabilities from the engine, from scikit-learn's
LogisticRegression and from shrinkage LDA, on the same features
(``OPENBLAS_NUM_THREADS``/``OMP_NUM_THREADS`` as set when it runs).

    .venv/bin/python benchmarks/bench_live.py [--cues 60] [--spacing 1.0] [--features csp tangent]
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import uuid

import numpy as np

from kelvra_bci.live.calibration import calibrate, cut_epochs
from kelvra_bci.live.replay import ArrayPlayer, simulated_session
from kelvra_bci.live.session_file import ClassMap, save_session
from kelvra_bci.live.streams import local_clock, subscribe

CLASSES = ("left_hand", "right_hand", "feet", "tongue")
CLASS_MAP = ClassMap({str(i + 1): name for i, name in enumerate(CLASSES)})
WINDOW = (0.5, 2.5)
SFREQ = 250.0


class Client(threading.Thread):
    """Notes when each sample of a stream arrives, on LSL's clock; blocks on the inlet, so it wakes at once."""

    def __init__(self, name):
        super().__init__(daemon=True)
        self.name_, self.stamps, self.arrivals, self.ready = name, [], [], threading.Event()
        self.halt = threading.Event()

    def run(self):
        inlet = subscribe(self.name_, 120, self.halt.is_set)
        if inlet is None:
            return
        self.ready.set()
        while not self.halt.is_set():
            _, stamp = inlet.pull_sample(timeout=0.1)
            if stamp is None:
                continue
            now = local_clock()
            _, more = inlet.pull_chunk(timeout=0.0)
            self.stamps.extend([stamp, *more.tolist()])
            self.arrivals.extend([now] * (1 + len(more)))


def read(path):
    with open(path) as fh:
        return fh.read()


def session_file(kind, path, seed):
    recording = simulated_session(3, 20, 1, sfreq=SFREQ, seed=seed)
    data = recording.raw.get_data().astype(np.float32).astype(np.float64)
    labels = list(recording.labels)
    rs = np.random.default_rng(seed)
    for i in rs.choice(len(labels), len(labels) // 4, replace=False):
        labels[i] = "tongue"
    epochs = cut_epochs(data, SFREQ, recording.cues, WINDOW)
    fitted = calibrate(
        epochs, labels, sfreq=SFREQ, channels=tuple(recording.raw.ch_names), class_map=CLASS_MAP, kind=kind,
        window=WINDOW,
    )  # fmt: skip
    save_session(path, fitted)
    return recording, data, fitted


def run_live(kind, args, folder):
    path = os.path.join(folder, f"{kind}.npz")
    recording, data, fitted = session_file(kind, path, args.seed)
    name, out = f"bench-eeg-{uuid.uuid4().hex[:8]}", f"bench-out-{uuid.uuid4().hex[:8]}"
    first = 2.0  # seconds before the first cue
    n = round((first + args.cues * args.spacing + WINDOW[1] + 1.0) * SFREQ)
    reps = int(np.ceil(n / data.shape[1]))
    stream = np.tile(data, reps)[:, :n]
    rs = np.random.default_rng(args.seed + 1)
    cue_samples = round(first * SFREQ) + np.arange(args.cues) * round(args.spacing * SFREQ)
    markers = [(int(c), str(rs.integers(1, 5)), None) for c in cue_samples]
    player = ArrayPlayer(name, stream, SFREQ, recording.raw.ch_names, markers, chunk=10, hold=True)
    player.start()
    eeg, outputs = Client(name), Client(out)
    eeg.start()
    outputs.start()
    log_path = os.path.join(folder, f"{kind}.log")
    with open(log_path, "w") as log:
        decoder = subprocess.Popen(
            [sys.executable, "-m", "kelvra_bci", "live", "--eeg", name, "--markers", f"{name}-markers",
             "--model", path, "--outlet", out, "--quiet", "--resolve-timeout", "60"],
            stdout=log, stderr=subprocess.STDOUT,
        )  # fmt: skip
    try:
        deadline = time.monotonic() + 180
        while "publishing on" not in read(log_path):
            if decoder.poll() is not None or time.monotonic() > deadline:
                raise SystemExit(f"the decoder did not start:\n{read(log_path)}")
            time.sleep(0.1)
        eeg.ready.wait(30)
        outputs.ready.wait(30)
        player.go.set()
        player.done.wait(n / SFREQ + 120)
        time.sleep(1.0)
    finally:
        decoder.send_signal(signal.SIGTERM)
        decoder.wait(60)
        eeg.halt.set()
        outputs.halt.set()
    text = read(log_path)
    stamps, arrivals = np.array(eeg.stamps), np.array(eeg.arrivals)
    n_window = round((WINDOW[1] - WINDOW[0]) * SFREQ)
    latencies = []
    for stamp, arrived in zip(outputs.stamps, outputs.arrivals, strict=True):
        last = stamp + WINDOW[0] + (n_window - 1) / SFREQ
        i = int(np.searchsorted(stamps, last - 0.5 / SFREQ))
        if i < len(stamps):
            latencies.append(arrived - arrivals[i])
    own = re.search(r"median ([\d.]+) ms, p99 ([\d.]+) ms", text)
    return np.array(latencies) * 1e3, (own.groups() if own else ("?", "?")), fitted, len(cue_samples), text


def classifier_share(fitted, seed):
    """One trial's probabilities: the engine beside LogisticRegression and shrinkage LDA (median of 300, ms)."""
    from sklearn.discriminant_analysis import LinearDiscriminantAnalysis
    from sklearn.linear_model import LogisticRegression

    from kelvra_bci.models.kelvra_softmax import engine

    rs = np.random.default_rng(seed)
    p, k = fitted.stage.n_features, len(fitted.class_names)
    X, y = rs.standard_normal((120, p)), np.arange(120) % k
    logreg = LogisticRegression(max_iter=1000).fit(X, y)
    lda = LinearDiscriminantAnalysis(solver="lsqr", shrinkage="auto").fit(X, y)
    x = X[:1]
    engine.predict_proba(fitted.model, x, 1, 0)
    timings = {"engine": [], "LogisticRegression": [], "shrinkage LDA": []}
    for _ in range(300):  # interleaved, so that the machine's load falls on all three alike
        for key, call in (
            ("engine", lambda: engine.predict_proba(fitted.model, x, 1, 0)),
            ("LogisticRegression", lambda: logreg.predict_proba(x)),
            ("shrinkage LDA", lambda: lda.predict_proba(x)),
        ):
            t = time.perf_counter()
            call()
            timings[key].append(time.perf_counter() - t)
    return {key: 1e3 * float(np.median(values)) for key, values in timings.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cues", type=int, default=60, help="cues per feature kind (default: 60)")
    parser.add_argument("--spacing", type=float, default=1.0, help="seconds between cues (default: 1.0)")
    parser.add_argument("--features", nargs="+", default=["csp", "tangent"], choices=["csp", "tangent"])
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    import mne

    mne.set_log_level("warning")
    threads = os.environ.get("OPENBLAS_NUM_THREADS", "unset")
    print(
        f"16 channels at {SFREQ:g} Hz, 4 classes, window {WINDOW[0]:g}-{WINDOW[1]:g} s, chunks of 10 samples; "
        f"{args.cues} cues {args.spacing:g} s apart; OPENBLAS_NUM_THREADS={threads}; load {os.getloadavg()[0]:.1f}"
    )
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for kind in args.features:
            latencies, own, fitted, n_cues, text = run_live(kind, args, folder)
            share = classifier_share(fitted, args.seed)
            rows.append((kind, fitted.stage.n_features, n_cues, latencies, own, share))
            if len(latencies) < n_cues:
                print(f"{kind}: {n_cues - len(latencies)} cues without a prediction; the decoder said:\n{text}")
    print(f"\n{'features':<9}{'dims':>5}{'cues':>6}{'out':>5}{'median ms':>11}{'p99 ms':>8}{'max ms':>8}"
          f"{'decoder median/p99':>20}")  # fmt: skip
    for kind, dims, n_cues, lat, own, _ in rows:
        print(
            f"{kind:<9}{dims:>5}{n_cues:>6}{len(lat):>5}{np.median(lat):>11.1f}{np.percentile(lat, 99):>8.1f}"
            f"{lat.max():>8.1f}{own[0] + ' / ' + own[1]:>20}"
        )
    print(f"\n{'one trial, ms':<14}{'engine':>8}{'LogReg':>8}{'sLDA':>8}  (median of 300, interleaved)")
    for kind, _, _, _, _, share in rows:
        print(
            f"{kind:<14}" + "".join(f"{share[key]:>8.3f}" for key in ("engine", "LogisticRegression", "shrinkage LDA"))
        )
    print("\nTargets at 16 ch / 250 Hz / 4 classes with CSP: median <= 15 ms, p99 <= 40 ms.")


if __name__ == "__main__":
    main()
