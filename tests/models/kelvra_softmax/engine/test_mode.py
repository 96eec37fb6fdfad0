"""The fit and the update by the posterior mode: the right mode, the evidence's scale, a memory that keeps up."""

import numpy as np
import pytest
import softmax_reference as ref
from scipy.linalg import block_diag
from sklearn.datasets import load_digits, load_iris, make_classification
from sklearn.linear_model import LogisticRegression
from sklearn.model_selection import StratifiedKFold
from sklearn.preprocessing import StandardScaler

from kelvra_bci.models.kelvra_softmax import engine, learning
from kelvra_bci.record import KelvraModel

MEMORY_KEYS = (
    "memory_X",
    "memory_y",
    "memory_weight",
    "anchor_hessian",
    "anchor_shift",
    "anchor_tilt",
    "memory_size",
    "memory_trials",
)


def fit(X, y, K, w_scale=1.0, b_scale=1e4, memory=None, tol=1e-10, num_steps=100):
    return engine.fit(X, y, K, 0, 0.0, w_scale, 0.0, b_scale, 0, 1.0, num_steps, tol=tol, method="mode", memory=memory)


@pytest.fixture(scope="module")
def iris():
    X, y = load_iris(return_X_y=True)
    return StandardScaler().fit_transform(X), y


@pytest.mark.parametrize("relabel", [None, [2, 0, 1], [1, 2, 0]])
def test_mode_is_logistic_regression_whatever_the_reference(x64, iris, relabel):
    # A prior that treats the classes alike and a flat bias prior make the mode
    # scikit-learn's multinomial LogisticRegression(C=1), whichever class the
    # fit takes as the reference (the most frequent one, moved by relabelling).
    X, y = iris
    keep = np.r_[0:50, 50:90, 100:150] if relabel else slice(None)
    X, y = X[keep], y[keep]
    if relabel:
        y = np.asarray(relabel)[y]
    model = fit(X, y, 3)
    want = LogisticRegression(C=1.0, tol=1e-12, max_iter=10_000).fit(X, y).predict_proba(X)
    np.testing.assert_allclose(engine.predict_proba(model, X, 1, 0), want, atol=2e-5)
    assert 3 <= model.n_sweeps <= 20


def test_evidence_scale_is_stored_and_is_the_mode_of_that_scale(x64, iris):
    X, y = iris
    auto = engine.fit(X, y, 3, 0, 0.0, "auto", 0.0, 10.0, 0, 1.0, 100, tol=1e-8, method="mode")
    w_scale = float(auto.params["w_scale"])
    # Iris is nearly separable: the evidence asks for a much weaker prior than 1.
    assert 3.0 < w_scale < 15.0
    again = fit(X, y, 3, w_scale=w_scale, b_scale=10.0)
    np.testing.assert_allclose(auto.params["beta_mean"], again.params["beta_mean"], atol=1e-5)
    # The Laplace covariance of a weaker prior is wider.
    narrow = fit(X, y, 3, w_scale=1.0, b_scale=10.0)
    assert np.trace(auto.params["beta_cov_chol"][0]) > np.trace(narrow.params["beta_cov_chol"][0])


def test_evidence_scale_holds_in_float32_whatever_the_tolerance(x32):
    # Most of the digits: in float32 the evidence of a weak prior can rise
    # again by rounding far past its peak. The scale must be the float64 one,
    # not jump to a far grid point with the tolerance of the search.
    X, y = load_digits(return_X_y=True)
    train, _ = list(StratifiedKFold(5, shuffle=True, random_state=0).split(X, y))[1]
    X, y = StandardScaler().fit_transform(X[train]), y[train]
    scales = [
        float(engine.fit(X, y, 10, 0, 0.0, "auto", 0.0, 10.0, 0, 1.0, 100, tol=tol, method="mode").params["w_scale"])
        for tol in (1e-4, 3e-5, 1e-5)
    ]
    assert max(scales) / min(scales) < 1.05, scales


@pytest.mark.parametrize("columns", ["informative", "a zero and a constant column"])
def test_float32_newton_settles_at_the_mode_past_4096_trials(x32, columns):
    # Past 4096 trials float32 cannot resolve the objective's change near the
    # mode, and its step-length search used to score lengths wrongly there:
    # Newton crawled to its step cap. It must settle in a few steps, at
    # LogisticRegression's mode, with columns that carry nothing too.
    X, y = make_classification(4200, 8, n_informative=6, n_redundant=0, n_classes=3, random_state=0)
    X = StandardScaler().fit_transform(X)
    if columns != "informative":
        X[:, 0], X[:, 1] = 0.0, 3.0
    model = fit(X.astype(np.float32), y, 3, tol=1e-4)
    assert model.n_sweeps <= 12
    want = LogisticRegression(C=1.0, tol=1e-10, max_iter=10_000).fit(X, y).predict_proba(X)
    np.testing.assert_allclose(engine.predict_proba(model, X.astype(np.float32), 1, 0), want, atol=2e-4)


@pytest.mark.parametrize("w_loc, b_loc", [(0.3, -0.5), (-0.6, 0.4)])
@pytest.mark.parametrize("path", ["fit", "update, a class joins", "update of a sweeps record"])
def test_the_mode_under_prior_means_away_from_zero_is_plain_newtons(x64, path, w_loc, b_loc):
    # The weights' and the bias's prior means enter the fit, the update, and
    # the anchor an update makes from a record's Gaussians: each must land on
    # the mode a plain Newton finds on the same objective.
    X, y = ref.make_problem(60, 3, 3, seed=12, sep=1.0)
    w_scale, b_scale = 0.7, 0.5
    settings = (0, w_loc, w_scale, b_loc, b_scale, 0, 1.0, 100)
    A, b = ref.coupled_prior(3, 3, w_loc, w_scale, b_loc, b_scale)
    if path == "fit":
        model = engine.fit(X, y, 3, *settings, tol=1e-12, method="mode")
    elif path == "update, a class joins":
        early = y < 2
        first = engine.fit(X[early], y[early], 2, *settings, tol=1e-12, method="mode", memory=256)
        model = engine.update(first, X[~early], y[~early], rule="mode", tol=1e-12)
    else:
        first = engine.fit(X[:30], y[:30], 3, *settings, tol=1e-12)
        model = engine.update(first, X[30:], y[30:], rule="mode", tol=1e-12)
        # Without a memory the prior and the anchor together are the stored
        # Gaussians, whatever the prior means: only the new trials add to them.
        chol = first.params["beta_cov_chol"]
        precisions = np.linalg.inv(chol @ np.swapaxes(chol, 1, 2))
        A = block_diag(*precisions)
        b = np.einsum("kij,kj->ki", precisions, first.params["beta_mean"]).reshape(-1)
        X, y = X[30:], y[30:]
    want = ref.newton_mode(X, y, model.params["non_ref_classes"], A, b)
    # Swapping the two means moves this mode by 0.4 or more.
    np.testing.assert_allclose(model.params["beta_mean"], want, rtol=0, atol=1e-6)


@pytest.mark.parametrize("memory", [512, 24])
def test_updates_by_the_mode_keep_up_with_a_refit(x64, memory):
    X, y = ref.make_problem(200, 4, 3, seed=3)
    model = fit(X[:40], y[:40], 3, memory=memory)
    for start in range(40, 200, 16):
        model = engine.update(model, X[start : start + 16], y[start : start + 16], rule="mode", tol=1e-10)
    refit = fit(X, y, 3)
    got = engine.predict_proba(model, X, 1, 0)
    want = engine.predict_proba(refit, X, 1, 0)
    if memory >= len(y):
        # Every trial is still remembered: the update is the refit.
        np.testing.assert_allclose(got, want, atol=1e-6)
    else:
        # Older trials count through their quadratic at the mode they left.
        assert np.max(np.abs(got - want)) < 0.05
    assert len(model.params["memory_y"]) == min(memory, len(y))
    assert int(model.params["memory_trials"]) == int(np.sum(model.params["class_counts"]))


@pytest.mark.parametrize("K", [2, 4, 6])
def test_trials_beyond_the_memory_leave_the_likelihood_hessian_and_gradient_at_the_mode(x64, K):
    # The anchor is the quadratic that the folded trials' log-likelihood is at
    # the mode, so every block of the softmax Hessian, each row pair and its
    # transpose, must be in its place: checked against a NumPy sum over trials.
    X, y = ref.make_problem(90, 5, K, seed=K, sep=1.0)
    model = fit(X, y, K, memory=50)
    p = model.params
    folded = np.hstack([X[:40], np.ones((40, 1))])
    rows = np.asarray(p["non_ref_classes"])
    W = np.asarray(p["beta_mean"])
    logits = np.hstack([folded @ W.T, np.zeros((40, 1))])
    P = np.exp(logits - logits.max(1, keepdims=True))
    P = (P / P.sum(1, keepdims=True))[:, :-1]
    d = folded.shape[1]
    H = np.zeros((len(rows) * d, len(rows) * d))
    for r in range(len(rows)):
        for s in range(len(rows)):
            weight = P[:, r] * ((r == s) - P[:, s])
            H[r * d : (r + 1) * d, s * d : (s + 1) * d] = (folded * weight[:, None]).T @ folded
    gradient = ((P - (y[:40, None] == rows[None, :])).T @ folded).ravel()
    np.testing.assert_allclose(p["anchor_hessian"], H, atol=1e-9)
    np.testing.assert_allclose(p["anchor_shift"], H @ W.ravel() - gradient, atol=1e-8)


def test_a_class_joining_late_is_weighed_against_the_remembered_trials_without_a_compile(x64):
    X, y = ref.make_problem(120, 3, 3, seed=11)
    early = y < 2
    model = engine.fit(X[early], y[early], 2, 0, 0.0, 1.0, 0.0, 1e4, 0, 1.0, 100, tol=1e-10, method="mode", memory=256)
    engine.precompile(3, 3, update_trials=int(np.sum(~early)), rule="mode", memory=256)
    before = engine.cache_info()["misses"]
    grown = engine.update(model, X[~early], y[~early], rule="mode", tol=1e-10)
    assert engine.cache_info()["misses"] == before
    assert int(grown.params["n_classes"]) == 3
    # With every trial remembered, the late class's row is that of a fit on all.
    np.testing.assert_allclose(
        engine.predict_proba(grown, X, 1, 0), engine.predict_proba(fit(X, y, 3), X, 1, 0), atol=1e-6
    )


def test_forgetting_follows_a_changed_rule(x64):
    # The classes swap halfway: with forgetting the model sides with the new rule.
    X, y = ref.make_problem(160, 2, 2, seed=4)
    first = fit(X[:80], y[:80], 2, memory=64)
    kept = forgot = first
    flipped = 1 - y[80:]
    for start in range(0, 80, 8):
        block = slice(80 + start, 88 + start)
        kept = engine.update(kept, X[block], flipped[start : start + 8], rule="mode")
        forgot = engine.update(forgot, X[block], flipped[start : start + 8], rule="mode", forgetting=0.95)
    accuracy = lambda m: np.mean(engine.predict(m, X[80:], 1, 0) == flipped)
    assert accuracy(forgot) > max(accuracy(kept), 0.8)
    same = engine.update(first, X[80:88], y[80:88], rule="mode", forgetting=1.0)
    np.testing.assert_array_equal(
        same.params["beta_mean"], engine.update(first, X[80:88], y[80:88], rule="mode").params["beta_mean"]
    )


@pytest.mark.parametrize("path", ["sweeps record", "stale memory"])
def test_update_by_the_mode_starts_a_memory_where_the_record_has_none_it_can_trust(x64, path):
    X, y = ref.make_problem(80, 3, 3, seed=2)
    if path == "sweeps record":
        model = engine.fit(X[:40], y[:40], 3, 0, 0.0, 1.0, 0.0, 10.0, 0, 1.0, 50, tol=1e-6)
    else:
        # The learning module's update leaves the memory behind its class counts.
        model = learning.kelvra_softmax_update(fit(X[:30], y[:30], 3), X[30:40], y[30:40])
    updated = engine.update(model, X[40:], y[40:], rule="mode", tol=1e-8)
    assert len(updated.params["memory_y"]) == 40
    assert np.mean(engine.predict(updated, X, 1, 0) == y) > 0.7


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda X, y, m: engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 5, method="newton"), "method must be"),
        (
            lambda X, y, m: engine.fit(X, y, 3, 0, 0.0, "auto", 0.0, 1.0, 0, 1.0, 5),
            "w_scale='auto' needs method='mode'",
        ),
        (lambda X, y, m: engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 5, method="mode", memory=0), "memory must"),
        (lambda X, y, m: engine.update(m, X, y, rule="mode", forgetting=1.5), "forgetting must"),
        (lambda X, y, m: engine.update(m, X, y, rule="once", forgetting=0.99), "forgetting needs rule='mode'"),
    ],
)
def test_mode_settings_are_refused_in_one_line(call, message):
    X, y = ref.make_problem(20, 2, 3, seed=1)
    model = fit(X, y, 3)
    with pytest.raises(ValueError, match=message):
        call(X, y, model)


SCALE_KEYS = ("w_scale_follows", "scale_direction")


def with_params(model, drop=(), **params):
    kept = {key: value for key, value in model.params.items() if key not in drop}
    return KelvraModel(model_type=model.model_type, params={**kept, **params})


@pytest.mark.parametrize("written_by", ["fit", "update"])
def test_scale_direction_is_how_the_mode_moves_with_the_scale(x64, written_by):
    # A fit and every update store dw/dlog(w_prec) at their mode, which the
    # next update's step of the scale relies on: it must match moving the
    # scale and solving again.
    X, y = ref.make_problem(90, 3, 3, seed=5, sep=1.5)
    start = engine.update(fit(X[:40], y[:40], 3, w_scale=0.7, memory=24), X[40:60], y[40:60], rule="mode", tol=1e-12)
    held = with_params(start, w_scale_follows=np.array(0))

    def solved_at(w_prec):
        if written_by == "fit":
            return fit(X[:60], y[:60], 3, w_scale=1 / np.sqrt(w_prec), b_scale=10.0, memory=24, tol=1e-12)
        scaled = with_params(held, w_scale=np.array(1 / np.sqrt(w_prec)))
        return engine.update(scaled, X[60:], y[60:], rule="mode", tol=1e-12)

    w_prec, h = 1 / 0.7**2, 1e-4
    direction = solved_at(w_prec).params["scale_direction"]
    moved = (solved_at(w_prec * np.exp(h)).params["beta_mean"] - solved_at(w_prec * np.exp(-h)).params["beta_mean"]) / (
        2 * h
    )
    np.testing.assert_allclose(direction, moved.reshape(-1), rtol=1e-6, atol=1e-6 * np.max(np.abs(moved)))


@pytest.mark.parametrize(
    "start, moves, factor", [(0.05, "up", 4), (1.0, "down", 4), (20.0, "down", 1.5), (20.0, "stays", 1)]
)
def test_a_followed_scale_leaves_a_prior_the_trials_contradict(x64, start, moves, factor):
    # Separated classes want a weak prior, 20 features of pure noise a strong
    # one; from a scale far off either way, updates move it towards what the
    # new trials predict best. A scale beyond the bound of 10 (where the fit's
    # evidence may leave it) moves only inwards: well separated trials, which
    # want it weaker still, leave it where it is, not at the bound. So weak a
    # prior barely moves the mode, and its steps down are slow.
    X, y = {
        "up": lambda: ref.make_problem(400, 4, 3, seed=7, sep=3.0),
        "down": lambda: ref.make_problem(400, 20, 3, seed=7, sep=0),
        "stays": lambda: ref.make_problem(400, 4, 3, seed=7, sep=10.0),
    }[moves]()
    model = with_params(fit(X[:40], y[:40], 3, w_scale=start, b_scale=10.0), w_scale_follows=np.array(1))
    scales = []
    for begin in range(40, 400, 10):
        model = engine.update(model, X[begin : begin + 10], y[begin : begin + 10], rule="mode", tol=1e-8)
        scales.append(float(model.params["w_scale"]))
    scale = scales[-1]
    assert max(scales) <= max(start, 10.0)
    if moves == "stays":
        assert scales[:5] == [start] * 5, scales
    else:
        assert (scale > factor * start) if moves == "up" else (scale < start / factor), scale


@pytest.mark.parametrize("record", ["auto", "auto, forgetting", "fixed", "written before"])
def test_only_a_scale_the_evidence_chose_follows_it(record):
    X, y = ref.make_problem(160, 4, 3, seed=8, sep=2.0)
    w_scale = "auto" if record.startswith("auto") else 0.3
    forgetting = 0.99 if record == "auto, forgetting" else None
    model = engine.fit(X[:40], y[:40], 3, 0, 0.0, w_scale, 0.0, 10.0, 0, 1.0, 100, tol=1e-6, method="mode")
    assert int(model.params["w_scale_follows"]) == (w_scale == "auto")
    if record == "written before":
        model = with_params(model, drop=SCALE_KEYS)
    chosen = model.params["w_scale"]
    for begin in range(40, 160, 20):
        model = engine.update(
            model, X[begin : begin + 20], y[begin : begin + 20], rule="mode", tol=1e-6, forgetting=forgetting
        )
    if record.startswith("auto"):
        assert float(model.params["w_scale"]) != float(chosen)
        assert 0.01 <= float(model.params["w_scale"]) <= 10.0
    else:
        # A scale the user set (or a record from before the scale followed) stays exactly.
        assert model.params["w_scale"] == chosen
        assert int(model.params["w_scale_follows"]) == 0


@pytest.mark.parametrize(
    "K, w_scale, memory",
    [(2, "auto", None), (3, "auto", 4), (4, 1.0, 4), (4, "auto", None)],
)
def test_fewer_trials_than_features_take_the_trial_space_to_the_dense_fit(x64, K, w_scale, memory):
    # 12 trials of 30 features pad to fewer trials than coefficients, so a fit
    # on them alone steps in the space of the trials; fit_many pads them with
    # a set of 70 trials, beyond the coefficients, where the same fit steps
    # with the dense Hessian. Padding weighs nothing: every output must agree.
    X, y = ref.make_problem(12, 30, K, seed=K, sep=1.0)
    X_more, y_more = ref.make_problem(70, 30, K, seed=K + 10, sep=1.0)
    values = dict(n_classes=K, label_base=0, w_loc=0.1, w_scale=w_scale, b_loc=0.0, b_scale=10.0)
    values.update(rng_seed=0, learning_rate=1.0, num_steps=100, tol=1e-10, memory=memory)
    alone = engine.fit(X, y, **values, method="mode")
    dense = engine.fit_many([X, X_more], [y, y_more], **values)[0]
    assert (str(alone.params["fit_newton_space"]), str(dense.params["fit_newton_space"])) == ("trials", "coefficients")
    assert set(alone.params) == set(dense.params)
    for key, want in dense.params.items():
        if key == "fit_newton_space":
            continue
        want, got = np.asarray(want), np.asarray(alone.params[key])
        if want.dtype.kind in "fi":
            np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-6 * np.max(np.abs(want), initial=0))
        else:
            np.testing.assert_array_equal(got, want)
    if memory is not None:
        assert np.max(np.abs(alone.params["anchor_hessian"])) > 0


def test_a_fit_too_wide_for_the_dense_steps_runs_in_the_trial_space_to_the_mode(x64):
    # 16 trials of 1200 features, 4 classes: Newton steps on the 3603
    # coefficients would go beyond the bound of work; in the space of the
    # trials they are small. The result must be the mode of the prior the
    # evidence chose: the log-posterior's gradient vanishes there.
    K, n, p = 4, 16, 1200
    X, y = ref.make_problem(n, p, K, seed=3, sep=0.3)
    model = engine.fit(X, y, K, 0, 0.0, "auto", 0.0, 10.0, 0, 1.0, 100, tol=1e-10, method="mode")
    params = model.params
    assert str(params["fit_newton_space"]) == "trials"
    W = np.asarray(params["beta_mean"])
    rows = np.asarray(params["non_ref_classes"])
    X_aug = np.hstack([X, np.ones((n, 1))])
    logits = np.hstack([X_aug @ W.T, np.zeros((n, 1))])
    P = np.exp(logits - logits.max(1, keepdims=True))
    P = (P / P.sum(1, keepdims=True))[:, :-1]
    likelihood = (P - (y[:, None] == rows[None, :])).T @ X_aug
    coupling = np.eye(K - 1) - np.ones((K - 1, K - 1)) / K
    precisions = np.r_[np.full(p, float(params["w_scale"]) ** -2), 1 / 10.0**2]
    gradient = likelihood + coupling @ (W * precisions)
    assert np.max(np.abs(gradient)) < 1e-6 * np.max(np.abs(likelihood))
