"""Many fits by the mode in one call, and trial buckets that the folds of one data set share."""

import numpy as np
import pytest
from sklearn.datasets import make_classification
from sklearn.model_selection import KFold, cross_val_score

from kelvra_bci.errors import InputError
from kelvra_bci.models.kelvra_softmax import engine
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier

K = 3


def data(n, p=6, seed=0):
    X, y = make_classification(
        n_samples=n,
        n_features=p,
        n_informative=4,
        n_redundant=0,
        n_classes=K,
        n_clusters_per_class=1,
        random_state=seed,
    )
    return (X - X.mean(0)) / X.std(0), y


def settings(w_scale="auto", **changed):
    values = dict(n_classes=K, label_base=0, w_loc=0.0, w_scale=w_scale, b_loc=0.0, b_scale=10.0)
    values.update(rng_seed=0, learning_rate=1.0, num_steps=100, tol=1e-8)
    values.update(changed)
    return values


def fit_alone(X, y, **values):
    return engine.fit(X, y, **values, method="mode")


def one_set(values, i):
    """The settings of set i: per-set lists give their i-th value."""
    return {name: value[i] if isinstance(value, list) else value for name, value in values.items()}


SUBJECTS = [data(60, seed=s) for s in range(3)]
X0, y0 = SUBJECTS[0]
# Trial counts in different buckets (30 alone pads to 32, with the others to 64),
# and a fold without a trial of class 2: n_classes is every record's class count.
FOLDS = ([X0[:50], X0[10:40], X0[:57]], [y0[:50], y0[10:40], np.where(y0[:57] == 2, 0, y0[:57])])


@pytest.mark.parametrize(
    ("Xs", "ys", "values"),
    [
        pytest.param([X for X, _ in SUBJECTS], [y for _, y in SUBJECTS], settings(), id="subjects, evidence"),
        pytest.param(
            np.stack([X for X, _ in SUBJECTS]), np.stack([y for _, y in SUBJECTS]), settings(), id="3-D arrays"
        ),
        pytest.param(*FOLDS, settings(1.0, w_loc=[0.0, 0.2, -0.1]), id="folds of several sizes"),
        pytest.param([X0] * 3, [y0] * 3, settings([0.3, 1.0, 3.0], b_scale=[1.0, 10.0, 100.0]), id="prior scales"),
    ],
)
def test_each_set_gets_the_record_of_its_own_fit(x64, Xs, ys, values):
    models = engine.fit_many(Xs, ys, **values)
    assert len(models) == len(Xs)
    for i, (X, y, many) in enumerate(zip(Xs, ys, models, strict=True)):
        alone = fit_alone(X, y, **one_set(values, i))
        assert many.params.keys() == alone.params.keys()
        for key, want in alone.params.items():
            got = many.params[key]
            if np.asarray(want).dtype.kind == "f":
                np.testing.assert_allclose(got, want, rtol=1e-7, atol=1e-9, err_msg=f"set {i}: {key}")
            else:
                np.testing.assert_array_equal(got, want, err_msg=f"set {i}: {key}")
        assert many.n_sweeps == alone.n_sweeps
    # The sets' own answers differ: nothing was shared between them but the compiled function.
    assert not np.allclose(models[0].params["beta_mean"], models[1].params["beta_mean"])


X1, y1 = SUBJECTS[1]
NAN = X1.copy()
NAN[3, 2] = np.nan


@pytest.mark.parametrize(
    ("Xs", "ys", "values", "error", "match"),
    [
        ([X0, X1], [y0, y1 + 5], settings(), ValueError, "^set 1: y out of range"),
        ([X0, X1[:, :4]], [y0, y1], settings(), ValueError, "^set 1: X has 4 features and set 0's 6"),
        ([X0, NAN], [y0, y1], settings(), InputError, "^set 1: .*(finite|NaN)"),
        ([X0, X1], [y0, y1], settings(["auto", 1.0]), ValueError, "^set 1: w_scale must be 'auto' for every set"),
        ([X0, X1], [y0, y1], settings([1.0, 2.0, 3.0]), ValueError, "^w_scale has 3 values for 2 sets$"),
        ([X0, X1], [y0, y1], settings(1.0, b_scale=[1.0, -1.0]), ValueError, "^set 1: b_scale must be > 0"),
        (X0, y0, settings(), TypeError, "^Xs must be a list or tuple of 2-D arrays"),
        ([X0, X1], [y0], settings(), ValueError, "^Xs has 2 sets and ys 1$"),
        ([], [], settings(), ValueError, "^fit_many needs at least one set$"),
        # Each set is within fit's bound of work; together they are not (as
        # many trials as coefficients: Newton's steps stay with the coefficients).
        (
            [np.zeros((256, 249))] * 2,
            [np.arange(256) % 10] * 2,
            settings(n_classes=10, num_steps=45),
            ValueError,
            "^fitting 2 sets by the mode: .* in each of 2 sets come to about",
        ),
    ],
)
def test_bad_input_is_refused_in_one_line_naming_the_set(Xs, ys, values, error, match):
    with pytest.raises(error, match=match) as caught:
        engine.fit_many(Xs, ys, **values)
    assert "\n" not in str(caught.value)


@pytest.mark.parametrize("larger_first", [False, True], ids=["smaller fold first", "larger fold first"])
def test_cross_validation_folds_across_a_bucket_edge_compile_once(x32, larger_first):
    # 801 trials in 5 folds: training sets of 640 and 641 trials, on both
    # sides of a bucket's edge. The folds must share one compiled fit (the
    # estimator's predictions are computed on the host).
    X, y = data(801, p=5, seed=3)
    folds = list(KFold(5).split(X))
    assert [len(train) for train, _ in folds] == [640, 641, 641, 641, 641]
    if larger_first:
        folds.reverse()
    engine.clear_cache()
    scores = cross_val_score(KelvraSoftmaxClassifier(), X, y, cv=folds)
    assert scores.mean() > 0.6
    assert engine.cache_info()["size"] == 1
