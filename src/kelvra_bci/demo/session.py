"""The session scenario: a feature-level simulated motor-imagery session.

kelvra_bci.simulation draws the log band power (mu and beta, 16 channels) of
600 trials of left-hand, right-hand, feet and tongue imagery in runs of 100,
with drift. The model is calibrated on the hands; feet and then tongue imagery
join during the session, their earlier trials left out as commands not yet in
use. Features are standardised with the calibration trials' statistics, as an
online decoder would have to.
"""

from __future__ import annotations

import numpy as np

from ..simulation import simulate_session
from .stream import Session, SettingError

N_TRIALS = 600
N_CLASSES = 4
# Baseline walk of 0.3 (log power) per feature by the last trial, and a quarter of the desynchronisation faded.
DRIFT = 1.0


def session(*, seed: int, calibration_size: int, calibration_classes: int, max_trials: int | None) -> Session:
    if not 2 <= calibration_classes <= N_CLASSES:
        raise SettingError(f"the session scenario calibrates on 2 to {N_CLASSES} classes, got {calibration_classes}")
    sim = simulate_session(N_TRIALS, N_CLASSES, drift=DRIFT, seed=seed)
    X, y = sim.X, sim.y
    known = np.flatnonzero(y < calibration_classes)
    if not 2 <= calibration_size <= len(known) // 2:
        raise SettingError(
            f"the session scenario's calibration takes 2 to {len(known) // 2} trials, got {calibration_size}"
        )
    calibration = known[:calibration_size]
    rest = np.arange(calibration[-1] + 1, len(y))
    # New commands join at evenly spaced points of the first 80% of what follows the calibration.
    new_classes = range(calibration_classes, N_CLASSES)
    join = {c: rest[int(len(rest) * 0.8 * (i + 1) / (len(new_classes) + 1))] for i, c in enumerate(new_classes)}
    rest = rest[[y[t] < calibration_classes or t >= join[y[t]] for t in rest]]
    if max_trials is not None and max_trials < len(rest):
        rest = np.sort(np.random.default_rng(seed).choice(rest, max_trials, replace=False))
    first_seen = {c: int(np.argmax(y[rest] == c)) for c in new_classes if np.any(y[rest] == c)}

    mean, std = X[calibration].mean(axis=0), X[calibration].std(axis=0)
    X = (X - mean) / np.where(std > 0, std, 1.0)
    return Session(
        (X[calibration], y[calibration]),
        (X[rest], y[rest]),
        N_CLASSES,
        calibration_classes,
        first_seen,
        description=(
            f"Simulated session (log band power): {N_TRIALS} trials of {N_CLASSES} classes "
            f"({', '.join(sim.class_names)}) in runs of 100, {X.shape[1]} features, drift {DRIFT:g}; "
            "standardised with the calibration statistics."
        ),
        title="Adaptive decoding of a simulated motor-imagery session",
        names=tuple(sim.class_names),
    )
