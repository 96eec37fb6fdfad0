import sys

import numpy as np
import pytest

mne = pytest.importorskip("mne")
pytest.importorskip("pyriemann")
pytest.importorskip("sklearn")

from mne.decoding import CSP  # noqa: E402  (after the skips: these need the extras)
from pyriemann.estimation import Covariances  # noqa: E402
from pyriemann.tangentspace import TangentSpace  # noqa: E402
from sklearn.model_selection import StratifiedKFold, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402

from kelvra_bci.demo import eeg as eeg_scenario  # noqa: E402
from kelvra_bci.eeg import CHANNELS, simulate_motor_imagery  # noqa: E402
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier  # noqa: E402

SMALL = dict(n_classes=3, n_trials=30, n_runs=3)


@pytest.fixture(scope="module")
def recording():
    return simulate_motor_imagery(**SMALL, seed=1)


@pytest.fixture(scope="module")
def epochs(recording):
    with mne.use_log_level("warning"):
        return recording.epochs().get_data(copy=False)


def test_same_seed_same_recording_other_seed_another(recording):
    again = simulate_motor_imagery(**SMALL, seed=1)
    np.testing.assert_array_equal(again.raw.get_data(), recording.raw.get_data())
    np.testing.assert_array_equal(again.events, recording.events)
    other = simulate_motor_imagery(**SMALL, seed=2)
    assert not np.array_equal(other.raw.get_data()[:, :1000], recording.raw.get_data()[:, :1000])


@pytest.mark.parametrize("new_class_run", [None, 2])
def test_schedule_is_balanced_per_run_and_holds_the_new_class_back(new_class_run):
    rec = simulate_motor_imagery(n_classes=3, n_trials=8, n_runs=4, new_class_run=new_class_run, seed=0)
    assert np.all(np.diff(rec.events[:, 0]) > rec.imagery * rec.raw.info["sfreq"])  # no overlapping trials
    assert rec.events[-1, 0] + rec.imagery * rec.raw.info["sfreq"] < rec.raw.n_times
    assert rec.event_id == {"left_hand": 1, "right_hand": 2, "feet": 3}
    for r in range(4):
        present = 2 if new_class_run is not None and r < new_class_run else 3
        assert np.bincount(rec.y[rec.run == r], minlength=3).tolist() == [2] * present + [0] * (3 - present)


# Imagining one hand desynchronises the mu rhythm over the opposite hemisphere.
@pytest.mark.parametrize("imagined, quieter, louder", [(0, "C4", "C3"), (1, "C3", "C4")])
def test_hand_imagery_lowers_mu_power_over_the_opposite_hemisphere(recording, epochs, imagined, quieter, louder):
    power = np.log(np.mean(epochs**2, axis=2))
    other = 1 - imagined
    q, loud = CHANNELS.index(quieter), CHANNELS.index(louder)
    y = recording.y
    # Relative to the other hand's trials, the contralateral channel loses more power.
    drop_contra = power[y == other, q].mean() - power[y == imagined, q].mean()
    drop_ipsi = power[y == other, loud].mean() - power[y == imagined, loud].mean()
    assert drop_contra > 0.25 and drop_contra > drop_ipsi + 0.25


def test_drift_changes_each_electrodes_gain_over_the_session():
    def log_gain_change(drift):
        data = simulate_motor_imagery(n_classes=2, n_trials=4, n_runs=2, drift=drift, seed=3).raw.get_data()
        tenth = data.shape[1] // 10
        return np.log(data[:, -tenth:].std(axis=1) / data[:, :tenth].std(axis=1))

    steady, drifting = log_gain_change(0.0), log_gain_change(1.0)
    assert np.std(steady) < 0.15 < 0.5 < np.std(drifting)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(n_classes=4),
        dict(n_trials=2, n_runs=3),
        dict(new_class_run=0),
        dict(new_class_run=4, n_runs=4),
        dict(erd=1.0),
        dict(sfreq=64.0),  # the beta band would not fit below Nyquist with room to spare
        dict(drift=1000.0),  # the gains would overflow the samples
        dict(drift=float("inf")),
        dict(drift=float("nan")),
        dict(n_runs=0),
        dict(n_trials=2.5),
        dict(sfreq=float("inf")),
        dict(imagery=float("nan")),
        dict(n_trials=10**6),  # gigabytes of samples
    ],
)
def test_bad_settings_are_refused(kwargs):
    with pytest.raises(ValueError) as info:
        simulate_motor_imagery(**kwargs)
    assert "\n" not in str(info.value)


def test_epochs_outside_the_imagery_period_are_refused(recording):
    with pytest.raises(ValueError, match="imagery period"):
        recording.epochs(tmin=0.5, tmax=recording.imagery + 0.5)


@pytest.mark.parametrize(
    "features",
    [lambda: [CSP(n_components=6)], lambda: [Covariances(estimator="oas"), TangentSpace()]],
    ids=["csp", "ts"],
)
def test_pipelines_decode_well_above_chance(recording, epochs, features):
    pipeline = make_pipeline(*features(), KelvraSoftmaxClassifier())
    cv = StratifiedKFold(n_splits=3, shuffle=True, random_state=0)
    with mne.use_log_level("warning"):
        scores = cross_val_score(pipeline, epochs, recording.y, cv=cv)
    assert scores.mean() >= 1 / 3 + 0.2


def test_stream_with_partial_fit_learns_the_command_added_mid_session():
    rec = simulate_motor_imagery(n_classes=3, n_trials=30, n_runs=3, new_class_run=1, drift=0.3, seed=4)
    with mne.use_log_level("warning"):
        X = rec.epochs().get_data(copy=False)
        calibration = rec.run == 0
        csp = CSP(n_components=6).fit(X[calibration], rec.y[calibration])
    features = csp.transform(X)
    clf = KelvraSoftmaxClassifier().fit(features[calibration], rec.y[calibration])
    assert clf.classes_.tolist() == [0, 1]
    hits = []
    for i in np.flatnonzero(~calibration):
        hits.append(clf.predict(features[i : i + 1])[0] == rec.y[i])
        clf.partial_fit(features[i : i + 1], rec.y[i : i + 1])
    assert clf.classes_.tolist() == [0, 1, 2]
    assert int(clf.model_.params["class_counts"].sum()) == len(rec.y)
    last = rec.run[~calibration] == 2
    assert np.mean(np.array(hits)[last]) >= 1 / 3 + 0.2
    feet = rec.y[~calibration][last] == 2
    # The new command is decoded, not just the hands: CSP was fitted on the hands alone, so
    # its filters see the feet poorly, and a model refitted on all trials gets 3 to 4 of 10.
    assert np.mean(np.array(hits)[last][feet]) >= 0.2


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (("--scenario", "eeg", "--calibration-classes", "4"), 1, "calibrates on 2 classes"),
        (("--scenario", "eeg", "--calibration-size", "70"), 1, "calibration takes 2 to"),
    ],
)
def test_eeg_scenario_refusals(tmp_path, run_cli, argv, status, message):
    code, _, err = run_cli("demo", "--out", tmp_path, "--no-progress", *argv)
    assert code == status and message in err


def test_eeg_scenario_without_the_extra_says_how_to_install(tmp_path, monkeypatch, run_cli):
    monkeypatch.setitem(sys.modules, "mne", None)
    code, _, err = run_cli("demo", "--scenario", "eeg", "--out", tmp_path)
    assert code == 1 and err.count("\n") == 1 and "pip install 'kelvra-bci[eeg]'" in err


@pytest.mark.parametrize("calibration_classes, max_trials", [(2, None), (2, 30), (3, None)])
def test_eeg_scenario_calibrates_on_early_runs_and_streams_the_rest(calibration_classes, max_trials):
    session = eeg_scenario.session(
        seed=0, calibration_size=40, calibration_classes=calibration_classes, max_trials=max_trials
    )
    (Xc, yc), (Xs, ys) = session.calibration, session.stream
    assert Xc.shape == (40, eeg_scenario.CSP_COMPONENTS) and Xs.shape == (len(ys), eeg_scenario.CSP_COMPONENTS)
    total = 150 if calibration_classes == 2 else 180  # without feet in the first three runs, or with
    assert np.all(np.isfinite(Xs)) and len(ys) == (max_trials or total - 40)
    assert set(yc) == set(range(calibration_classes)) and session.n_classes == 3
    if calibration_classes == 2:
        # Feet imagery is new to the stream, and first_seen points at its first trial.
        (first,) = session.first_seen.values()
        assert list(session.first_seen) == [2] and ys[first] == 2 and 2 not in ys[:first]
    else:
        assert session.first_seen == {}
