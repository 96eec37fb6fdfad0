"""The live feature stage against the libraries it stands in for, and its round trip through a model file."""

import numpy as np
import pytest

pytest.importorskip("mne")
pytest.importorskip("pyriemann")

from kelvra_bci.live import features
from kelvra_bci.live.calibration import calibrate, cut_epochs
from kelvra_bci.live.features import EpochProblem, check_epoch, fit_feature_stage
from kelvra_bci.live.session_file import ClassMap, SessionFileError, load_session, save_session

SFREQ = 128.0


@pytest.fixture(scope="module")
def epochs():
    """Two classes of 8-channel noise whose variance differs on one channel, as CSP expects."""
    rng = np.random.default_rng(0)
    n_pad, n_window = int(features.PAD_SECONDS * SFREQ), features.window_samples(features.DEFAULT_WINDOW, SFREQ)
    X = rng.standard_normal((40, 8, n_pad + n_window)) * 1e-5
    y = np.arange(40) % 2
    X[y == 1, 2] *= 2.0
    return X, y


def test_csp_features_are_mne_csp_log_power(epochs):
    from mne.decoding import CSP

    X, y = epochs
    stage = fit_feature_stage("csp", X, y, sfreq=SFREQ, channels=tuple(map(str, range(8))))
    windows = features.band_pass(stage.sos, X)[..., -stage.n_window :]
    csp = CSP(n_components=stage.spatial.shape[0], log=True).fit(windows, y)
    np.testing.assert_allclose(stage.raw_features(X), csp.transform(windows), rtol=1e-6, atol=1e-9)
    # Standardised on the calibration trials.
    F = stage.transform(X)
    np.testing.assert_allclose(F.mean(axis=0), 0, atol=1e-9)
    np.testing.assert_allclose(F.std(axis=0), 1, rtol=1e-9)


def test_tangent_features_are_pyriemann_tangent_space(epochs):
    from pyriemann.estimation import Covariances
    from pyriemann.tangentspace import TangentSpace

    X, y = epochs
    stage = fit_feature_stage("tangent", X, y, sfreq=SFREQ, channels=tuple(map(str, range(8))))
    windows = features.band_pass(stage.sos, X)[..., -stage.n_window :]
    covs = Covariances("oas").fit_transform(windows)
    np.testing.assert_allclose(features.shrunk_covariances(windows), covs, rtol=1e-8, atol=1e-22)
    expected = TangentSpace(metric="riemann").fit(covs).transform(covs)
    np.testing.assert_allclose(stage.raw_features(X), expected, rtol=1e-6, atol=1e-8)


def test_band_pass_is_causal_and_starts_at_rest():
    sos = features.design_band_pass((8.0, 30.0), SFREQ)
    rng = np.random.default_rng(1)
    x = rng.standard_normal((3, 2, 300)) + 5.0  # an offset the filter must not ring on
    y = features.band_pass(sos, x)
    changed = x.copy()
    changed[..., 200:] = 0.0
    # What comes later never changes what came before.
    np.testing.assert_array_equal(features.band_pass(sos, changed)[..., :200], y[..., :200])
    # A constant input gives nothing at all: the state starts settled on the first sample.
    np.testing.assert_allclose(features.band_pass(sos, np.full((1, 1, 50), 5.0)), 0.0, atol=1e-12)


@pytest.mark.parametrize(
    ("change", "reason"),
    [
        (lambda e: e.__setitem__((3, 10), np.nan), "NaN"),
        (lambda e: e.__setitem__((3, 10), np.inf), "NaN or infinite"),
        (lambda e: e.__setitem__(1, 0.0), "1 flat channel"),
        (lambda e: e.__setitem__(slice(0, 2), 4e-6), "2 flat channels"),
    ],
)
def test_bad_epochs_are_refused_with_the_reason(change, reason):
    epoch = np.random.default_rng(2).standard_normal((8, 100)) * 1e-5
    check_epoch(epoch)  # a sound one passes
    epoch[4, :40] = 0.0  # flat in the padding alone: the window is sound
    check_epoch(epoch, n_window=60)
    change(epoch)
    with pytest.raises(EpochProblem, match=reason):
        check_epoch(epoch, n_window=60)


@pytest.mark.parametrize("kind", ["csp", "tangent"])
def test_a_session_file_gives_back_the_same_probabilities(tmp_path, epochs, kind):
    from kelvra_bci.models.kelvra_softmax import engine

    X, y = epochs
    names = ("rest", "move")
    class_map = ClassMap({"10": "rest", "20": "move", "30": "feet"}, ("?",))
    session = calibrate(
        X, [names[i] for i in y], sfreq=SFREQ, channels=tuple(f"C{i}" for i in range(8)), class_map=class_map, kind=kind
    )
    path = tmp_path / "session.npz"
    save_session(path, session)
    back = load_session(path)
    assert back.class_names == names and back.class_map == class_map and back.stage.kind == kind
    assert back.stage.channels == session.stage.channels
    before = engine.predict_proba(session.model, session.stage.transform(X), 1, 0)
    after = engine.predict_proba(back.model, back.stage.transform(X), 1, 0)
    np.testing.assert_array_equal(after, before)
    # The file is a model file like any other: the command line's info reads it.
    from kelvra_bci.record import KelvraModel

    assert int(KelvraModel.load(path).params["n_classes"]) == 2


def test_a_plain_model_file_or_a_damaged_stage_is_refused(tmp_path, epochs):
    X, y = epochs
    session = calibrate(
        X,
        ["a" if i else "b" for i in y],
        sfreq=SFREQ,
        channels=tuple("abcdefgh"),
        class_map=ClassMap({"1": "a", "2": "b"}),
    )
    plain = tmp_path / "plain.npz"
    session.model.save(plain)
    with pytest.raises(SessionFileError, match="no feature stage"):
        load_session(plain)
    session.stage.spatial = session.stage.spatial[:, :5]
    damaged = tmp_path / "damaged.npz"
    save_session(damaged, session)
    with pytest.raises(SessionFileError, match="damaged"):
        load_session(damaged)


def test_cut_epochs_takes_the_padding_before_the_window():
    data = np.arange(3 * 1000, dtype=float).reshape(3, 1000)
    ep = cut_epochs(data, 100.0, np.array([300, 500]), window=(0.5, 2.0))
    n_pad = int(features.PAD_SECONDS * 100)
    assert ep.shape == (2, 3, n_pad + 150)
    assert ep[0, 0, n_pad] == data[0, 350] and ep[1, 2, 0] == data[2, 550 - n_pad]
    with pytest.raises(ValueError, match="runs past"):
        cut_epochs(data, 100.0, np.array([950]), window=(0.5, 2.0))
