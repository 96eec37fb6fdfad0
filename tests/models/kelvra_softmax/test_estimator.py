import numpy as np
import pytest

pytest.importorskip("sklearn")
from sklearn.base import clone
from sklearn.datasets import load_iris, make_blobs
from sklearn.exceptions import NotFittedError
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier


def blobs(n=60, centers=3):
    return make_blobs(n_samples=n, centers=centers, n_features=2, cluster_std=0.6, random_state=0)


@parametrize_with_checks([KelvraSoftmaxClassifier()])
def test_sklearn_compatible(estimator, check):
    check(estimator)


def test_pipeline_cross_validation_and_grid_search():
    X, y = load_iris(return_X_y=True)
    pipe = make_pipeline(StandardScaler(), KelvraSoftmaxClassifier())
    assert cross_val_score(pipe, X, y, cv=3).mean() > 0.85
    # A near-zero weight prior leaves only the bias, which cannot separate balanced classes.
    grid = GridSearchCV(pipe, {"kelvrasoftmaxclassifier__w_scale": [1e-3, 1.0]}, cv=3).fit(X, y)
    assert grid.best_params_ == {"kelvrasoftmaxclassifier__w_scale": 1.0}
    assert grid.cv_results_["mean_test_score"][0] < 0.5 < grid.best_score_
    np.testing.assert_array_equal(grid.classes_, [0, 1, 2])


@pytest.mark.parametrize("labels", [["rest", "left", "right"], [7, 12, 9], [-1, 3, 0]])
def test_labels_round_trip(labels):
    X, codes = blobs()
    labels = np.asarray(labels)
    y = labels[codes]
    est = KelvraSoftmaxClassifier().fit(X, y)
    np.testing.assert_array_equal(est.classes_, np.sort(labels))
    assert np.mean(est.predict(X) == y) > 0.9
    # Same problem with 0-based codes in the order of sorted labels: identical fit.
    ranks = np.searchsorted(np.sort(labels), y)
    reference = KelvraSoftmaxClassifier().fit(X, ranks)
    np.testing.assert_array_equal(est.predict_proba(X), reference.predict_proba(X))
    np.testing.assert_allclose(est.predict_log_proba(X), np.log(reference.predict_proba(X)))


def test_partial_fit_appends_unseen_class():
    X, codes = blobs(n=90)
    y = np.array(["b", "c", "a"])[codes]
    first, later = codes != 2, np.arange(90) < 45
    est = KelvraSoftmaxClassifier().partial_fit(X[first], y[first])
    np.testing.assert_array_equal(est.classes_, ["b", "c"])
    est.partial_fit(X[later], y[later])
    np.testing.assert_array_equal(est.classes_, ["b", "c", "a"])
    expected_counts = [np.sum(first & (y == c)) + np.sum(later & (y == c)) for c in "bca"]
    np.testing.assert_array_equal(est.model_.params["class_counts"], expected_counts)
    proba = est.predict_proba(X)
    assert proba.shape == (90, 3)
    assert proba[codes == 2, 2].mean() > 0.5 > proba[codes != 2, 2].mean()


def test_partial_fit_classes_argument():
    X, codes = blobs()
    y = np.array([5, 6, 7])[codes]
    est = KelvraSoftmaxClassifier().partial_fit(X[y != 7], y[y != 7], classes=[7, 5, 6])
    np.testing.assert_array_equal(est.classes_, [7, 5, 6])
    assert est.predict_proba(X).shape == (60, 3)
    np.testing.assert_array_equal(est.model_.params["class_counts"], [0, 20, 20])
    one, failed = y == 5, KelvraSoftmaxClassifier()
    with pytest.raises(ValueError, match="class"):
        failed.fit(X[one], y[one])
    with pytest.raises(NotFittedError):
        failed.predict(X)
    with pytest.raises(ValueError, match="not seen"):
        est.partial_fit(X, y, classes=[5, 8])
    est = KelvraSoftmaxClassifier().partial_fit(X[one], y[one], classes=[5, 6])
    np.testing.assert_array_equal(est.predict(X[one]), y[one])


def test_sample_predictive_matches_predictive_probabilities():
    X, codes = blobs(centers=2)
    y = np.array(["up", "down"])[codes]
    est = KelvraSoftmaxClassifier().fit(X, y)
    rows = np.vstack([X[:3], X.mean(axis=0)])  # the last row lies between the classes
    samples = est.sample_predictive(rows, n_samples=4000)
    assert samples.shape == (4000, 4)
    assert set(np.unique(samples)) <= {"up", "down"}
    freq = (samples[:, :, None] == est.classes_).mean(axis=0)
    mc = est.set_params(num_posterior_samples=4000).predict_proba(rows)
    np.testing.assert_allclose(freq, mc, atol=0.04)
    assert est.set_params(num_posterior_samples=3).sample_predictive(rows).shape == (3, 4)
    seeded = clone(est).set_params(random_state=0).fit(X, y)
    np.testing.assert_array_equal(seeded.sample_predictive(rows), est.sample_predictive(rows))
    other = seeded.set_params(random_state=1).sample_predictive(rows, n_samples=50)
    assert not np.array_equal(other, est.sample_predictive(rows, n_samples=50))
