import os
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("sklearn")
from scipy.special import logsumexp
from sklearn.datasets import load_iris, make_blobs
from sklearn.exceptions import NotFittedError
from sklearn.metrics import log_loss, roc_auc_score
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
    np.testing.assert_array_equal(est.predict_log_proba(X), reference.predict_log_proba(X))


def test_partial_fit_appends_unseen_class():
    X, codes = blobs(n=90)
    y = np.array(["b", "c", "a"])[codes]
    first, later = codes != 2, np.arange(90) < 45
    est = KelvraSoftmaxClassifier().partial_fit(X[first], y[first])
    np.testing.assert_array_equal(est.classes_, ["b", "c"])
    est.partial_fit(X[later], y[later])
    np.testing.assert_array_equal(est.classes_, ["a", "b", "c"])
    # The model keeps its class indices: the class added later takes the next one.
    expected_counts = [np.sum(first & (y == c)) + np.sum(later & (y == c)) for c in "bca"]
    np.testing.assert_array_equal(est.model_.params["class_counts"], expected_counts)
    proba = est.predict_proba(X)
    assert proba.shape == (90, 3)
    assert proba[codes == 2, 0].mean() > 0.5 > proba[codes != 2, 0].mean()


@pytest.mark.parametrize("cleared", [False, True])
def test_partial_fit_compiles_the_next_class_ahead(monkeypatch, cleared):
    from kelvra_bci.models.kelvra_softmax import engine, estimator

    X, y = make_blobs(n_samples=80, centers=5, n_features=3, random_state=2)
    known = np.flatnonzero(y < 4)
    model = KelvraSoftmaxClassifier().partial_fit(X[known[:40]], y[known[:40]])
    estimator._compile_ahead.wait()
    if cleared:
        # What was compiled ahead is gone: the next call asks for it again.
        engine.clear_cache()
        model.partial_fit(X[known[41:43]], y[known[41:43]])
        estimator._compile_ahead.wait()
    # From here on nothing is compiled ahead: what the loop needs must be there.
    monkeypatch.setattr(estimator._compile_ahead, "request", lambda **shape: None)
    misses = engine.cache_info()["misses"]
    # A trial of a known class; the fifth class joins, then outgrows the padding.
    for i in [known[40], *np.flatnonzero(y == 4)[:2]]:
        model.partial_fit(X[i : i + 1], y[i : i + 1]).predict_proba(X[i : i + 1])
    assert engine.cache_info()["misses"] == misses
    np.testing.assert_array_equal(model.classes_, np.arange(5))


def test_threads_sharing_an_estimator_lose_no_class():
    import threading

    X, y = make_blobs(n_samples=110, centers=11, n_features=3, random_state=3)
    est = KelvraSoftmaxClassifier().partial_fit(X[y < 3], y[y < 3])
    errors = []

    def learn(classes):
        try:
            for c in classes:
                est.partial_fit(X[y == c], y[y == c])
        except Exception as exc:  # reported below, with the classes lost
            errors.append(exc)

    threads = [threading.Thread(target=learn, args=(range(3 + i, 11, 4),)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not errors, errors
    np.testing.assert_array_equal(est.classes_, np.arange(11))
    assert int(np.sum(est.model_.params["class_counts"])) == 110


def test_memory_sizes_the_memory_a_sweeps_record_starts():
    X, y = blobs()
    est = KelvraSoftmaxClassifier(method="sweeps", w_scale=1.0, memory=8).partial_fit(X[:30], y[:30])
    est.partial_fit(X[30:], y[30:])
    assert int(est.model_.params["memory_size"]) == 8
    assert len(est.model_.params["memory_y"]) == 8


def test_cross_validation_in_worker_processes():
    X, y = load_iris(return_X_y=True)
    scores = cross_val_score(KelvraSoftmaxClassifier(), X, y, cv=3, n_jobs=2)
    assert scores.mean() > 0.85


def test_partial_fit_classes_argument():
    X, codes = blobs()
    y = np.array([5, 6, 7])[codes]
    est = KelvraSoftmaxClassifier().partial_fit(X[y != 7], y[y != 7], classes=[7, 5, 6])
    np.testing.assert_array_equal(est.classes_, [5, 6, 7])
    assert est.predict_proba(X).shape == (60, 3)
    np.testing.assert_array_equal(est.model_.params["class_counts"], [20, 20, 0])
    one, failed = y == 5, KelvraSoftmaxClassifier()
    with pytest.raises(ValueError, match="class"):
        failed.fit(X[one], y[one])
    with pytest.raises(NotFittedError):
        failed.predict(X)
    with pytest.raises(ValueError, match="not seen"):
        est.partial_fit(X, y, classes=[5, 8])
    est = KelvraSoftmaxClassifier().partial_fit(X[one], y[one], classes=[5, 6])
    np.testing.assert_array_equal(est.predict(X[one]), y[one])
    with pytest.raises(ValueError, match="update_rule"):
        est.set_params(update_rule="twice").partial_fit(X, y)


def test_sample_predictive_matches_predictive_probabilities():
    X, codes = blobs(centers=2)
    y = np.array(["up", "down"])[codes]
    est = KelvraSoftmaxClassifier(random_state=0).fit(X, y)
    rows = np.vstack([X[:3], X.mean(axis=0)])  # the last row lies between the classes
    samples = est.sample_predictive(rows, n_samples=4000)
    assert samples.shape == (4000, 4)
    assert set(np.unique(samples)) <= {"up", "down"}
    freq = (samples[:, :, None] == est.classes_).mean(axis=0)
    mc = est.set_params(num_posterior_samples=4000).predict_proba(rows)
    np.testing.assert_allclose(freq, mc, atol=0.04)
    assert est.set_params(num_posterior_samples=3).sample_predictive(rows).shape == (3, 4)


@pytest.mark.parametrize(
    "labels, added",
    [
        ([10, 20, 30, 40], 10),  # the added class sorts first: every column moves
        ([10, 20, 30, 40], 30),
        ([10, 20, 30, 40], 40),  # sorts last: the model's order is already the sorted one
        (["left", "rest", "right", "tongue"], "left"),
    ],
)
def test_partial_fit_keeps_classes_sorted(labels, added):
    X, codes = make_blobs(n_samples=240, centers=4, n_features=2, cluster_std=0.7, random_state=1)
    y = np.asarray(labels)[codes]
    first = (np.arange(240) < 120) & (y != added)
    est = KelvraSoftmaxClassifier(random_state=0).fit(X[first], y[first])
    est.partial_fit(X[120:], y[120:])
    np.testing.assert_array_equal(est.classes_, np.sort(labels))
    proba = est.predict_proba(X)
    for column, label in enumerate(est.classes_):
        assert proba[y == label, column].mean() > 0.5, label
    # Both metrics read the columns in the order of the sorted labels.
    assert log_loss(y, proba) < 0.5
    assert roc_auc_score(y, proba, multi_class="ovr") > 0.95
    assert np.mean(est.predict(X) == y) > 0.9
    np.testing.assert_array_equal(est.classes_[np.argmax(est.predict_log_proba(X), axis=1)], est.predict(X))
    samples = est.sample_predictive(X, n_samples=20)
    for column, label in enumerate(est.classes_):
        drawn = np.mean(samples[:, y == label] == label)
        assert abs(drawn - proba[y == label, column].mean()) < 0.05, label


@pytest.mark.parametrize("method", ["predict_proba", "predict_log_proba", "sample_predictive"])
def test_random_state_of_posterior_draws(method):
    X, codes = blobs()
    # Midpoints of pairs of trials of two classes: uncertain, so that label draws vary too.
    rows = (X[codes == 0][:20] + X[codes == 1][:20]) / 2

    def calls(random_state, n=2):
        est = KelvraSoftmaxClassifier(num_posterior_samples=8, random_state=random_state).fit(X, codes)
        return [getattr(est, method)(rows) for _ in range(n)]

    first, second = calls(3)
    np.testing.assert_array_equal(first, second)
    np.testing.assert_array_equal(first, calls(3, n=1)[0])
    assert not np.array_equal(first, calls(4, n=1)[0])
    # None: fresh draws on every call, from NumPy's global generator.
    first, second = calls(None)
    assert not np.array_equal(first, second)
    state = np.random.get_state()
    try:
        np.random.seed(0)
        replay = calls(None)
        np.random.seed(0)
        np.testing.assert_array_equal(calls(None), replay)
    finally:
        np.random.set_state(state)
    # A RandomState instance is advanced by each call.
    first, second = calls(np.random.RandomState(0))
    assert not np.array_equal(first, second)
    np.testing.assert_array_equal(calls(np.random.RandomState(0)), [first, second])


@pytest.mark.parametrize("precision", ["x32", "x64"])
@pytest.mark.parametrize("num_posterior_samples", [1, 30])
def test_predict_log_proba_where_probabilities_underflow(request, precision, num_posterior_samples):
    request.getfixturevalue(precision)
    X, codes = blobs()
    est = KelvraSoftmaxClassifier(num_posterior_samples=num_posterior_samples, random_state=0).fit(X, codes)
    rows = np.vstack([X, 200 * X])  # far out along the data: logits in the thousands
    proba = est.predict_proba(rows)
    log_proba = est.predict_log_proba(rows)
    assert (proba == 0).any()
    assert np.isfinite(log_proba).all()
    assert log_proba.min() < -1000
    np.testing.assert_allclose(logsumexp(log_proba, axis=1), 0, atol=1e-9)
    # Where log(proba) is finite they agree up to the rounding of proba's precision
    # (the draws are the same ones for the same seed).
    shown = proba > 1e-30
    np.testing.assert_allclose(log_proba[shown], np.log(proba[shown]), rtol=1e-5, atol=1e-4)


@pytest.mark.parametrize("tol", [None, 1e-3])
def test_n_iter_counts_the_sweeps_of_the_last_call(tol):
    X, codes = blobs(n=90)
    # Sweeps: Newton may end early, at a step that changes nothing.
    sweeps = dict(method="sweeps", w_scale=1.0, update_rule="once")
    est = KelvraSoftmaxClassifier(num_steps=300, tol=tol, **sweeps).fit(X[:60], codes[:60])
    fit_sweeps = est.n_iter_
    # An update's cap is the num_steps stored at the first fit, not the current one.
    est.set_params(num_steps=5).partial_fit(X[60:], codes[60:])
    if tol is None:
        assert fit_sweeps == est.n_iter_ == 300
    else:
        # Starting from a posterior that already fits, the update converges sooner.
        assert 1 <= est.n_iter_ < fit_sweeps < 300


def posterior_std(est):
    return np.sqrt(np.sum(est.model_.params["beta_cov_chol"].astype(float) ** 2, axis=-1))


@pytest.mark.parametrize(
    "method, rule, like_one_fit", [("mode", "mode", True), ("sweeps", "once", True), ("sweeps", "resweep", False)]
)
def test_update_rule_of_partial_fit(method, rule, like_one_fit):
    # Unequal classes, so that the reference class of the first block is that of all trials.
    X, codes = make_blobs(n_samples=[200, 120, 80], n_features=2, cluster_std=2.0, random_state=0)
    order = np.random.RandomState(0).permutation(len(codes))
    X, codes = X[order], codes[order]
    settings = dict(tol=1e-4, method=method, w_scale=1.0)
    whole = KelvraSoftmaxClassifier(**settings).fit(X, codes)
    blocks = KelvraSoftmaxClassifier(**settings, update_rule=rule).fit(X[:100], codes[:100])
    for start in range(100, 400, 100):
        blocks.partial_fit(X[start : start + 100], codes[start : start + 100])
    ratio = np.median(posterior_std(blocks) / posterior_std(whole))
    assert (abs(ratio - 1) < 0.15) == like_one_fit, ratio


def test_predict_log_proba_refuses_draws_beyond_memory():
    # Under an address-space limit a billion posterior draws must be refused up
    # front: an allocation that fails inside XLA aborts the interpreter.
    code = """import resource
import numpy as np
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier
X, y = np.random.default_rng(0).normal(size=(30, 2)), np.arange(30) % 3
est = KelvraSoftmaxClassifier(num_posterior_samples=10**9, random_state=0).fit(X, y)
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**31, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    est.predict_log_proba(X)
except (MemoryError, ValueError) as error:
    print(type(error).__name__)"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() in (["MemoryError"], ["ValueError"])


def test_first_fit_turns_on_the_per_user_compile_cache_unless_opted_out(tmp_path):
    # Fresh processes, so that JAX's process-wide cache setting and the user's
    # cache folder stay untouched here. Opted out, the fit leaves the cache
    # off; by default it turns it on in the per-user folder and fills it; a
    # folder the user set later is kept.
    code = """
import os, sys, jax
from sklearn.datasets import make_blobs
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier
X, y = make_blobs(n_samples=60, centers=3, n_features=2, random_state=0)
os.environ["KELVRA_BCI_COMPILE_CACHE"] = sys.argv[1]
KelvraSoftmaxClassifier(w_scale=1.0).fit(X, y)
print(jax.config.jax_compilation_cache_dir)
jax.config.update("jax_compilation_cache_dir", os.path.join(os.environ["XDG_CACHE_HOME"], "mine"))
KelvraSoftmaxClassifier(w_scale=1.0).fit(X, y)
print(jax.config.jax_compilation_cache_dir)"""
    env = dict(os.environ, XDG_CACHE_HOME=str(tmp_path))
    folder = tmp_path / "kelvra_bci" / "jax"
    mine = str(tmp_path / "mine")
    for setting, first in (("0", "None"), ("1", str(folder))):
        run = [sys.executable, "-c", code, setting]
        done = subprocess.run(run, capture_output=True, text=True, timeout=600, env=env)
        assert done.returncode == 0, done.stderr[-2000:]
        assert done.stdout.split() == [first, mine]
        assert folder.is_dir() == (setting == "1")
    assert any(folder.iterdir())
