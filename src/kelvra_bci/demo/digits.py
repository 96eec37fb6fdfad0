"""The digits scenario: scikit-learn's bundled handwritten digits as a session.

1797 trials, 64 standardised features, 10 classes, nothing downloaded. The
model is calibrated on some of the digits; the others join one after another
during the session.
"""

from __future__ import annotations

import numpy as np

from .stream import Session


def session(*, seed: int, calibration_size: int, calibration_classes: int, max_trials: int | None) -> Session:
    from sklearn.datasets import load_digits

    X, y = load_digits(return_X_y=True)
    X = (X - X.mean(axis=0)) / np.where(X.std(axis=0) > 0, X.std(axis=0), 1.0)
    n_classes = int(y.max()) + 1
    calibration, stream, first_seen = _session(X, y, seed, calibration_size, calibration_classes, max_trials)
    return Session(
        calibration,
        stream,
        n_classes,
        calibration_classes,
        first_seen,
        description=f"Handwritten digits: {len(y)} trials, {X.shape[1]} features, {n_classes} classes (standardised).",
        title="Adaptive decoding session on handwritten digits",
    )


def _session(X, y, seed, calibration_size, calibration_classes, max_trials=None):
    """Splits the data into a calibration block and a stream ordered in time.

    Calibration holds classes below ``calibration_classes`` only. Each later
    class gets an introduction time in the stream and its trials fall after
    it; the calibrated classes are spread over the whole stream. Returns the
    two parts and, per new class, the stream position of its first trial.
    """
    rng = np.random.default_rng(seed)
    order = rng.permutation(len(y))
    X, y = X[order], y[order]
    known = y < calibration_classes
    calib = np.flatnonzero(known)[:calibration_size]
    rest = np.setdiff1d(np.arange(len(y)), calib)
    new_classes = np.arange(calibration_classes, int(y.max()) + 1)
    # New commands join at evenly spaced points of the first 80% of the session.
    intro = {int(c): 0.8 * (i + 1) / (len(new_classes) + 1) for i, c in enumerate(new_classes)}
    start = np.array([intro.get(int(c), 0.0) for c in y[rest]])
    when = start + (1.0 - start) * rng.random(len(rest))
    rest = rest[np.argsort(when, kind="stable")]
    if max_trials is not None and max_trials < len(rest):
        rest = rest[np.sort(rng.choice(len(rest), max_trials, replace=False))]
    first_seen = {c: int(np.flatnonzero(y[rest] == c)[0]) for c in intro if np.any(y[rest] == c)}
    return (X[calib], y[calib]), (X[rest], y[rest]), first_seen
