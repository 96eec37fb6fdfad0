import numpy as np
import pytest

from kelvra_bci.simulation import simulate_session


@pytest.mark.parametrize("drift", [0.0, 1.0])
def test_same_seed_same_session_other_seed_another(drift):
    a, b = simulate_session(120, 3, drift=drift, seed=5), simulate_session(120, 3, drift=drift, seed=5)
    for field in ("X", "y", "run", "channel_positions"):
        np.testing.assert_array_equal(getattr(a, field), getattr(b, field))
    assert not np.allclose(a.X, simulate_session(120, 3, drift=drift, seed=6).X)


@pytest.mark.parametrize(
    ("n_trials", "n_classes", "n_channels", "trials_per_run"),
    [(400, 3, 16, 100), (250, 4, 8, 60), (7, 2, 2, 3), (90, 8, 32, 1000)],
)
def test_shapes_types_runs_and_balance(n_trials, n_classes, n_channels, trials_per_run):
    s = simulate_session(n_trials, n_classes, n_channels=n_channels, trials_per_run=trials_per_run)
    assert s.X.shape == (n_trials, 2 * n_channels) and s.X.dtype == np.float64
    assert np.isfinite(s.X).all()
    assert s.y.shape == s.run.shape == (n_trials,)
    assert s.y.dtype == s.run.dtype == np.int64
    assert len(s.feature_names) == s.X.shape[1] and len(s.class_names) == n_classes
    assert s.channel_positions.shape == (n_channels, 2)
    np.testing.assert_array_equal(s.run, np.arange(n_trials) // trials_per_run)
    counts = np.bincount(s.y, minlength=n_classes)
    assert counts.size == n_classes and counts.max() - counts.min() <= 1
    for r in np.unique(s.run):
        in_run = np.bincount(s.y[s.run == r], minlength=n_classes)
        assert in_run.max() - in_run.min() <= 1


def test_labels_are_shuffled_within_runs():
    y = simulate_session(400, 4).y
    assert not np.array_equal(y, np.arange(400) % 4)


@pytest.mark.parametrize(("cued", "other", "focus"), [(0, 1, (0.45, 0.0)), (1, 0, (-0.45, 0.0))])
def test_hand_imagery_lowers_mu_power_over_the_opposite_hemisphere(cued, other, focus):
    s = simulate_session(600, 2, seed=3)
    channel = np.argmin(np.sum((s.channel_positions - focus) ** 2, axis=1))
    mu = s.X[:, channel]  # mu band: the first n_channels columns
    assert mu[s.y == cued].mean() < mu[s.y == other].mean() - 0.1


def test_drift_changes_later_trials_and_not_earlier_ones():
    still = simulate_session(600, 4, seed=2)
    drifting = simulate_session(600, 4, seed=2, drift=1.0)
    np.testing.assert_array_equal(still.y, drifting.y)
    np.testing.assert_array_equal(still.X[0], drifting.X[0])
    change = np.abs(drifting.X - still.X).mean(axis=1)
    assert change[1:60].mean() < 0.4 * change[-60:].mean()
    stronger = np.abs(simulate_session(600, 4, seed=2, drift=2.0).X - still.X).mean(axis=1)
    assert stronger[-60:].mean() > 1.5 * change[-60:].mean()


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("n_classes", [2, 3, 4])
def test_default_difficulty_is_that_of_a_real_session(seed, n_classes):
    from sklearn.linear_model import LogisticRegression
    from sklearn.model_selection import StratifiedKFold, cross_val_score
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    s = simulate_session(400, n_classes, seed=seed)
    model = make_pipeline(StandardScaler(), LogisticRegression(max_iter=1000))
    accuracy = cross_val_score(model, s.X, s.y, cv=StratifiedKFold(5, shuffle=True, random_state=0)).mean()
    assert 0.60 <= accuracy <= 0.85


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"n_classes": 1}, "n_classes must be in"),
        ({"n_classes": 9}, "n_classes must be in"),
        ({"n_trials": 2, "n_classes": 3}, "n_trials must be in"),
        ({"n_trials": 10.0}, "n_trials must be an integer"),
        ({"n_channels": 1}, "n_channels must be in"),
        ({"n_channels": True}, "n_channels must be an integer"),
        ({"seed": -1}, "seed must be in"),
        ({"seed": None}, "seed must be an integer"),
        ({"trials_per_run": 0}, "trials_per_run must be in"),
        ({"drift": -0.1}, "drift must be in"),
        ({"drift": float("nan")}, "drift must be in"),
        ({"drift": "1"}, "drift must be a number"),
        ({"erd_depth": 1.0}, "erd_depth must be in"),
        ({"lapse_rate": 1.5}, "lapse_rate must be in"),
    ],
)
def test_bad_arguments_are_refused_by_name(kwargs, message):
    with pytest.raises(ValueError, match=message):
        simulate_session(**kwargs)
