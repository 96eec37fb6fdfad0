"""Live motor-imagery decoding over Lab Streaming Layer: a player, the decoder and a feedback program in one script.

Three programs that would run apart in a lab run here side by side, talking
over LSL on this machine:

- the player (MNE-LSL's PlayerLSL) replays a simulated session (kelvra_bci.eeg,
  16 channels at 250 Hz, electrodes drifting): the EEG on one stream and the
  cues, as text markers "1" (left hand), "2" (right hand), "3" (feet), on
  another, as an amplifier's driver and a stimulus program would; feet imagery
  joins in the last run;
- the decoder (kelvra_bci.live, what ``kelvra-softmax live`` runs) calibrates
  on the first labelled trials, then publishes the class probabilities of each
  cue on its outlet and learns the cue's label, feet joining at its first trial;
- the feedback program reads the outlet, as a display of the probabilities would.

At the end the figure shows the probabilities of each cue over time, with the
class that was cued. The model file is left in --out, ready for
``kelvra-softmax live --model ...`` to resume from.

    pip install 'kelvra-bci[live]'
    python examples/mi_live.py [--out out] [--trials 6] [--features csp|tangent]
"""

import argparse
import contextlib
import os
import threading
import time
import uuid
import warnings

import mne
import mne_lsl
import numpy as np
from matplotlib.figure import Figure  # drawn off-screen (Agg), without pyplot's global state
from mne_lsl.lsl import StreamInlet, resolve_streams

from kelvra_bci.eeg import CLASSES
from kelvra_bci.live import ClassMap, LiveConfig, SessionStatus, StreamQuery, run_live
from kelvra_bci.live.replay import simulated_session, start_player

MARKERS = {str(i + 1): name for i, name in enumerate(CLASSES)}


def feedback(name, samples, stop):
    """The feedback program: every prediction the decoder publishes, with its timestamp."""
    found = []
    while not found and not stop.is_set():
        found = resolve_streams(timeout=0.5, name=name)
    if not found:
        return
    inlet = StreamInlet(found[0], processing_flags=["clocksync"])
    inlet.open_stream(timeout=5)
    while not stop.is_set():
        sample, stamp = inlet.pull_sample(timeout=0.2)
        if stamp is not None:
            samples.append((stamp, np.array(sample)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default="out", help="folder for the figure and the model file (default: out)")
    parser.add_argument("--trials", type=int, default=6, help="trials of each class per run (default: 6)")
    parser.add_argument("--features", choices=("csp", "tangent"), default="csp", help="feature stage (default: csp)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the simulated session (default: 0)")
    args = parser.parse_args()
    mne.set_log_level("warning")
    # The player pushes each cue on its own and says so every time.
    mne_lsl.set_log_level("error")
    warnings.filterwarnings("ignore", message="A single sample is pushed")
    os.makedirs(args.out, exist_ok=True)
    model_path = os.path.join(args.out, "mi_live.npz")
    with contextlib.suppress(FileNotFoundError):
        os.remove(model_path)  # this run calibrates afresh

    # Three runs; feet imagery joins in the third. 10 s of signal before the first cue.
    session = simulated_session(
        3, 3 * args.trials, 3, sfreq=250.0, drift=0.3, new_class_run=2, lead_in=10.0, seed=args.seed
    )
    calibration = 2 * args.trials  # the first run: left and right hand
    name, outlet = f"mi-live-eeg-{uuid.uuid4().hex[:6]}", f"mi-live-decoder-{uuid.uuid4().hex[:6]}"
    print(f"Replaying {len(session.cues)} cues over {session.raw.times[-1]:.0f} s on LSL stream {name!r}.")

    player = start_player(session, name, name)
    stop = threading.Event()
    config = LiveConfig(
        eeg=StreamQuery("EEG", name),
        markers=StreamQuery("marker", f"{name}-annotations"),
        model_path=model_path,
        class_map=ClassMap(MARKERS),
        calibrate=calibration,
        features=args.features,
        outlet_name=outlet,
    )
    decoder = threading.Thread(target=run_live, args=(config, SessionStatus(), stop), daemon=True)
    decoder.start()
    samples = []
    reader = threading.Thread(target=feedback, args=(outlet, samples, stop), daemon=True)
    reader.start()
    start = time.monotonic()
    try:
        while time.monotonic() - start < session.raw.times[-1] + 3.0 and decoder.is_alive():
            time.sleep(0.5)
    except KeyboardInterrupt:
        print("Interrupted; saving.")
    finally:
        stop.set()
        decoder.join(60)
        reader.join(10)
        with contextlib.suppress(RuntimeError):  # a player at the end of its recording has stopped itself
            player.stop()

    path = os.path.join(args.out, "mi_live.png")
    _plot(path, samples, session, calibration)
    print(f"Wrote {path} and {model_path}.")


def _plot(path, samples, session, calibration):
    if not samples:
        print("No prediction arrived; nothing to draw.")
        return
    stamps = np.array([s for s, _ in samples])
    proba = np.array([p for _, p in samples])[:, :-1]
    t = stamps - stamps[0]
    cued = np.array(session.labels[calibration : calibration + len(samples)])
    fig = Figure(figsize=(12, 4.2), layout="constrained")
    ax = fig.subplots()
    for k, name in enumerate(CLASSES):
        line = ax.plot(t, proba[:, k], "o-", ms=4, lw=1, label=f"p({name.replace('_', ' ')})")[0]
        hit = cued == name
        ax.plot(t[hit], np.full(hit.sum(), 1.06), "v", color=line.get_color(), ms=6)
    ax.set(
        xlabel="seconds since the first decoded cue",
        ylabel="probability",
        ylim=(-0.02, 1.12),
        title="Class probabilities published per cue (triangles: the class cued)",
    )
    ax.legend(loc="lower left", fontsize=8, ncols=3)
    ax.grid(alpha=0.3)
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
