"""Online motor-imagery decoding, epoch by epoch, with drifting electrodes and a command added mid-session.

Plays a simulated recording (kelvra_bci.eeg, nothing downloaded) as a stream:
six runs of left-hand and right-hand imagery, feet imagery joining in run 4,
while every electrode's gain drifts slowly. The first two runs calibrate: CSP
is fitted on their epochs and then frozen, and KelvraSoftmaxClassifier is
fitted on their features. Every later epoch is first predicted, then learnt
(partial_fit), so the decoder follows the drift and picks up the new command
from its first labelled epoch. The calibration model, left as it was, is
scored beside it. Compiled code is prepared before the stream
(engine.precompile), so no epoch waits for a compile.

    pip install 'kelvra-bci[eeg]'
    python examples/mi_online.py [--out out] [--seed 0] [--drift 0.5]
"""

import argparse
import copy
import os
import time

import mne
import numpy as np
from matplotlib.figure import Figure  # drawn off-screen (Agg), without pyplot's global state
from mne.decoding import CSP

from kelvra_bci.eeg import CLASSES, simulate_motor_imagery
from kelvra_bci.models.kelvra_softmax import engine
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier

CALIBRATION_RUNS = 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default="out", help="folder for the figure (default: out)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the simulated recording (default: 0)")
    parser.add_argument("--drift", type=float, default=0.5, help="electrode log-gain drift over the session")
    args = parser.parse_args()
    mne.set_log_level("warning")
    start = time.perf_counter()

    recording = simulate_motor_imagery(3, n_trials=60, n_runs=6, drift=args.drift, new_class_run=3, seed=args.seed)
    X, y, run = recording.epochs().get_data(copy=False), recording.y, recording.run
    calibration = run < CALIBRATION_RUNS
    csp = CSP(n_components=6).fit(X[calibration], y[calibration])  # frozen from here on
    decoder = KelvraSoftmaxClassifier().fit(csp.transform(X[calibration]), y[calibration])
    static = copy.deepcopy(decoder)

    # One epoch per call, two classes and then three: compile those shapes now.
    t = time.perf_counter()
    for n_classes in (2, 3):
        engine.precompile(
            csp.n_components,
            n_classes,
            update_trials=1,
            num_posterior_samples=decoder.num_posterior_samples,
            rule=decoder.update_rule,
            tol=decoder.tol,
        )
    print(f"Calibration on {calibration.sum()} epochs; precompiled in {time.perf_counter() - t:.1f} s.")
    misses = engine.cache_info()["misses"]

    hits, static_hits, timing = [], [], []
    for i in np.flatnonzero(~calibration):
        features, known = csp.transform(X[i : i + 1]), decoder.classes_  # as the epoch arrives
        t0 = time.perf_counter()
        proba = decoder.predict_proba(features)
        t1 = time.perf_counter()
        decoder.partial_fit(features, y[i : i + 1])  # its label arrives: learn it
        t2 = time.perf_counter()
        hits.append(known[np.argmax(proba)] == y[i])
        static_hits.append(static.predict(features)[0] == y[i])
        timing.append((t1 - t0, t2 - t1, t2 - t0))
    hits, static_hits, timing = np.array(hits), np.array(static_hits), 1e3 * np.array(timing)
    stream_run = run[~calibration]

    print(f"\n{'run':>4}{'epochs':>8}{'adaptive':>10}{'static':>8}   classes")
    for r in np.unique(stream_run):
        here = stream_run == r
        names = ", ".join(CLASSES[c] for c in np.unique(y[run == r]))
        print(f"{r + 1:>4}{here.sum():>8}{hits[here].mean():>10.3f}{static_hits[here].mean():>8.3f}   {names}")
    print(f"\n{'latency (ms)':<14}{'median':>8}{'95th pct':>10}")
    for name, column in zip(("predict", "partial_fit", "step"), timing.T, strict=True):
        print(f"{name:<14}{np.median(column):>8.2f}{np.percentile(column, 95):>10.2f}")
    print(f"Compiles during the stream: {engine.cache_info()['misses'] - misses}.")

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, "mi_online.png")
    _plot(path, stream_run, hits, static_hits, timing)
    print(f"Wrote {path}. Total {time.perf_counter() - start:.0f} s.")


def _plot(path, stream_run, hits, static_hits, timing):
    fig = Figure(figsize=(12, 4.2), layout="constrained")
    ax_acc, ax_time = fig.subplots(1, 2)
    runs = np.unique(stream_run)
    for label, h in (("adaptive (predict, then partial_fit)", hits), ("static (calibration only)", static_hits)):
        ax_acc.plot(runs + 1, [h[stream_run == r].mean() for r in runs], "o-", label=label)
    ax_acc.axvline(4, color="0.6", ls=":", lw=1)
    ax_acc.text(4, 0.97, " feet imagery joins", fontsize=8, color="0.4", va="top")
    ax_acc.set_xticks(runs + 1)
    ax_acc.axhline(1 / 3, color="0.6", ls="--", lw=1, label="chance, three classes")
    ax_acc.set(xlabel="run", ylabel="accuracy", ylim=(0, 1.02), title="Accuracy per run, drifting electrodes")
    ax_acc.legend(loc="lower left", fontsize=8)
    ax_acc.grid(alpha=0.3)
    for name, column in zip(("predict", "partial_fit", "step"), timing.T, strict=True):
        ax_time.plot(column, ".", ms=3, label=f"{name}, median {np.median(column):.2f} ms")
    ax_time.set(xlabel="epoch in stream", ylabel="ms", yscale="log", title="Latency per epoch (CSP features given)")
    ax_time.legend(fontsize=8)
    ax_time.grid(alpha=0.3)
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
