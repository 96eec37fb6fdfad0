"""The eeg scenario: simulated motor-imagery EEG, decoded from frozen CSP features.

Six runs of left-hand, right-hand and feet imagery (10 trials of each class
per run, 16 channels at 128 Hz) while the electrodes' gains drift. The first
two runs calibrate: they show the hands only, and CSP is fitted on them and
then frozen. Feet imagery joins from the fourth run on, as a command added
mid-session. Needs the ``[eeg]`` extra (MNE).
"""

from __future__ import annotations

import numpy as np

from .. import eeg as simulator
from .stream import Session, SettingError

N_RUNS = 6
TRIALS_PER_CLASS = 60
# Each electrode's log gain ends the session this far (one standard deviation) from where it began.
DRIFT = 0.3
CSP_COMPONENTS = 6
# Feet imagery joins in this run (0-based); the calibration takes runs 0 and 1.
NEW_CLASS_RUN = 3


def session(*, seed: int, calibration_size: int, calibration_classes: int, max_trials: int | None) -> Session:
    import mne
    from mne.decoding import CSP

    if calibration_classes not in (2, 3):
        raise SettingError(
            f"the eeg scenario calibrates on 2 classes (feet join later) or all 3, got {calibration_classes}"
        )
    late = calibration_classes < len(simulator.CLASSES)
    recording = simulator.simulate_motor_imagery(
        len(simulator.CLASSES),
        TRIALS_PER_CLASS,
        N_RUNS,
        drift=DRIFT,
        new_class_run=NEW_CLASS_RUN if late else None,
        seed=seed,
    )
    y = recording.y
    before_new = int(np.argmax(y == 2)) if late else len(y)
    if not 2 <= calibration_size <= before_new:
        raise SettingError(f"the eeg scenario's calibration takes 2 to {before_new} trials, got {calibration_size}")
    with mne.use_log_level("warning"):
        X = recording.epochs().get_data(copy=False)
        csp = CSP(n_components=CSP_COMPONENTS).fit(X[:calibration_size], y[:calibration_size])
        features = csp.transform(X)

    stream = np.arange(calibration_size, len(y))
    if max_trials is not None and max_trials < len(stream):
        rng = np.random.default_rng(seed)
        stream = np.sort(rng.choice(stream, max_trials, replace=False))
    first_seen = {2: int(np.argmax(y[stream] == 2))} if late and np.any(y[stream] == 2) else {}
    names = ", ".join(c.replace("_", " ") for c in simulator.CLASSES)
    return Session(
        (features[:calibration_size], y[:calibration_size]),
        (features[stream], y[stream]),
        len(simulator.CLASSES),
        calibration_classes,
        first_seen,
        description=(
            f"Simulated motor-imagery EEG: {len(y)} trials ({names}) in {N_RUNS} runs, "
            f"{len(simulator.CHANNELS)} channels at {recording.raw.info['sfreq']:g} Hz, electrode gains drifting.\n"
            f"Features: log-power of {CSP_COMPONENTS} CSP components, fitted on the calibration trials and frozen."
        ),
        title="Adaptive decoding of simulated motor-imagery EEG",
        names=simulator.CLASSES,
    )
