"""The estimator's choice of prediction: the mean while the model keeps up, moderated once the session outruns it."""

import numpy as np
import pytest

pytest.importorskip("sklearn")
from sklearn.base import clone

from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier


def clean_session(seed, n_calibration=40, n_stream=300, n_classes=3, n_features=6):
    """Gaussian classes that stay put: the model keeps up, and its mean is the better prediction."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(n_classes, n_features)) * 2.0
    y = rng.permutation(np.arange(n_calibration + n_stream) % n_classes)
    X = centres[y] + rng.normal(size=(y.size, n_features))
    return (X[:n_calibration], y[:n_calibration]), (X[n_calibration:], y[n_calibration:]), 10


def eeg_session(seed):
    """The demo's motor-imagery session: a calibration that picks a weak prior, then drifting electrodes."""
    pytest.importorskip("mne")
    from kelvra_bci.demo import SCENARIOS, eeg

    chosen = SCENARIOS["eeg"]
    s = eeg.session(
        seed=seed,
        calibration_size=chosen.calibration_size,
        calibration_classes=chosen.calibration_classes,
        max_trials=None,
    )
    return s.calibration, s.stream, chosen.block_size


def played(estimator, calibration, stream, block):
    estimator.partial_fit(*calibration)
    X, y = stream
    for start in range(0, len(y), block):
        estimator.partial_fit(X[start : start + block], y[start : start + block])
    return estimator


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize(("make", "expected"), [(clean_session, "mean"), (eeg_session, "moderated")])
def test_the_choice_follows_which_prediction_scored_better(seed, make, expected):
    estimator = played(KelvraSoftmaxClassifier(random_state=0), *make(seed))
    assert estimator.prediction_ == expected
    X = make(seed)[1][0][-20:]
    # It predicts with the one it chose.
    other = "mean" if expected == "moderated" else "moderated"
    with_chosen = {}
    for prediction in (expected, other):
        estimator.set_params(prediction=prediction)
        with_chosen[prediction] = estimator.predict_proba(X)
    estimator.set_params(prediction="auto")
    np.testing.assert_array_equal(estimator.predict_proba(X), with_chosen[expected])
    assert np.max(np.abs(with_chosen[expected] - with_chosen[other])) > 1e-3


def test_parameter_survives_clone_and_fit_starts_afresh():
    calibration, stream, block = eeg_session(0)
    estimator = played(KelvraSoftmaxClassifier(prediction="auto"), calibration, stream, block)
    assert estimator.prediction_ == "moderated"
    assert clone(estimator).get_params()["prediction"] == "auto"
    assert clone(KelvraSoftmaxClassifier(prediction="mean")).get_params()["prediction"] == "mean"
    # A fit forgets the session's scores: one fit alone predicts at the mean.
    estimator.fit(*stream)
    assert estimator.prediction_ == "mean"
    assert not hasattr(estimator, "prediction_scores_")
    # Updates by another rule keep no memory to moderate with, so there is no choice to make.
    other = played(KelvraSoftmaxClassifier(update_rule="once"), calibration, stream, block)
    assert other.prediction_ == "mean"
