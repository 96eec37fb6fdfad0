"""Offline motor-imagery decoding: CSP and tangent-space pipelines, cross-validated.

Simulates a three-class motor-imagery recording (left hand, right hand, feet;
kelvra_bci.eeg, nothing downloaded), cuts the imagery periods into MNE epochs
and cross-validates two feature pipelines, CSP log-power and pyRiemann's
tangent space of OAS covariances, each ending in KelvraSoftmaxClassifier,
LogisticRegression or shrinkage LDA. Out-of-fold probabilities give accuracy,
log-loss and the expected calibration error (top label, 10 bins).

    pip install 'kelvra-bci[eeg]'
    python examples/mi_offline.py [--seed 0] [--trials 40]
"""

import argparse
import time

import mne
import numpy as np
from mne.decoding import CSP
from pyriemann.estimation import Covariances
from pyriemann.tangentspace import TangentSpace
from sklearn.discriminant_analysis import LinearDiscriminantAnalysis
from sklearn.linear_model import LogisticRegression
from sklearn.metrics import accuracy_score, log_loss
from sklearn.model_selection import StratifiedKFold, cross_val_predict
from sklearn.pipeline import make_pipeline

from kelvra_bci.eeg import simulate_motor_imagery
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier


def expected_calibration_error(proba, y, bins=10):
    """Trial-weighted gap between confidence and accuracy of the top label, over equal-width bins."""
    confidence, hit = proba.max(axis=1), proba.argmax(axis=1) == y
    which = np.searchsorted(np.linspace(0, 1, bins + 1)[1:-1], confidence)
    gaps = [abs(confidence[which == b].mean() - hit[which == b].mean()) * np.sum(which == b) for b in np.unique(which)]
    return float(np.sum(gaps) / len(y))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=0, help="seed of the simulated recording (default: 0)")
    parser.add_argument("--trials", type=int, default=40, help="trials per class (default: 40)")
    args = parser.parse_args()
    mne.set_log_level("warning")
    start = time.perf_counter()

    recording = simulate_motor_imagery(n_classes=3, n_trials=args.trials, seed=args.seed)
    epochs = recording.epochs(tmin=0.5, tmax=2.5, l_freq=8.0, h_freq=30.0)
    X, y = epochs.get_data(copy=False), recording.y
    print(f"{len(epochs)} epochs, {len(epochs.ch_names)} channels, {X.shape[2]} samples at {epochs.info['sfreq']:g} Hz")

    features = {
        "CSP": lambda: [CSP(n_components=6)],
        "tangent space": lambda: [Covariances(estimator="oas"), TangentSpace()],
    }
    classifiers = {
        "Kelvra": KelvraSoftmaxClassifier,
        "LogisticRegression": lambda: LogisticRegression(max_iter=1000),
        "shrinkage LDA": lambda: LinearDiscriminantAnalysis(solver="lsqr", shrinkage="auto"),
    }
    cv = StratifiedKFold(n_splits=5, shuffle=True, random_state=0)
    print(f"\n{'pipeline':<36}{'accuracy':>9}{'log-loss':>10}{'ECE':>7}{'seconds':>9}")
    for feature_name, feature_steps in features.items():
        for classifier_name, classifier in classifiers.items():
            pipeline = make_pipeline(*feature_steps(), classifier())
            t = time.perf_counter()
            proba = cross_val_predict(pipeline, X, y, cv=cv, method="predict_proba").astype(np.float64)
            seconds = time.perf_counter() - t
            proba /= proba.sum(axis=1, keepdims=True)  # Kelvra computes in float32
            print(
                f"{feature_name + ' -> ' + classifier_name:<36}{accuracy_score(y, proba.argmax(axis=1)):>9.3f}"
                f"{log_loss(y, proba):>10.3f}{expected_calibration_error(proba, y):>7.3f}{seconds:>9.1f}"
            )
    total = time.perf_counter() - start
    print(f"\n5-fold cross-validation, out-of-fold probabilities; chance is 0.333. Total {total:.0f} s.")


if __name__ == "__main__":
    main()
