"""The moderated prediction: the joint Laplace posterior of all rows at the stored mode, as NumPy computes it."""

import numpy as np
import pytest
import softmax_reference as ref

from kelvra_bci.models.kelvra_softmax import engine


def joint_moderated(model, X):
    """The probit-scaled pairwise softmax under the joint precision: prior + anchor + remembered trials."""
    params = model.params
    n_classes = int(params["n_classes"])
    rows = np.asarray(params["non_ref_classes"], dtype=np.int64)
    beta = np.asarray(params["beta_mean"], dtype=np.float64)
    n_rows, d = beta.shape
    is_weight = np.r_[np.ones(d - 1), 0.0]
    coupling = np.eye(n_rows) - 1.0 / n_classes
    w_prec = 1.0 / float(params["w_scale"]) ** 2
    b_prec = 1.0 / float(params["b_scale"]) ** 2
    hessian = np.kron(coupling, np.diag(w_prec * is_weight + b_prec * (1 - is_weight)))
    hessian += np.asarray(params["anchor_hessian"], dtype=np.float64)
    X_m = np.hstack([params["memory_X"], np.ones((len(params["memory_X"]), 1))])
    c = np.asarray(params["memory_weight"], dtype=np.float64)
    logits = np.zeros((len(X_m), n_classes))
    logits[:, rows] = X_m @ beta.T
    p = np.exp(logits - logits.max(axis=1, keepdims=True))
    P = (p / p.sum(axis=1, keepdims=True))[:, rows]
    curvature = c[:, None, None] * (np.einsum("nr,rq->nrq", P, np.eye(n_rows)) - P[:, :, None] * P[:, None, :])
    hessian += np.einsum("nrq,ni,nj->riqj", curvature, X_m, X_m).reshape(n_rows * d, n_rows * d)
    cov = np.linalg.inv(hessian).reshape(n_rows, d, n_rows, d)
    X_aug = np.hstack([X, np.ones((len(X), 1))])
    mean = np.zeros((len(X), n_classes))
    mean[:, rows] = X_aug @ beta.T
    V = np.zeros((len(X), n_classes, n_classes))
    V[np.ix_(np.arange(len(X)), rows, rows)] = np.einsum("ni,risj,nj->nrs", X_aug, cov, X_aug)
    diag = np.einsum("nkk->nk", V)
    var = np.maximum(diag[:, :, None] + diag[:, None, :] - 2 * V, 0.0)
    scaled = (mean[:, :, None] - mean[:, None, :]) / np.sqrt(1.0 + np.pi / 8.0 * var)
    q = 1.0 / np.sum(np.exp(np.minimum(-scaled, 700.0)), axis=2)
    return q / q.sum(axis=1, keepdims=True)


def mode_fit(X, y, K, w_scale="auto", memory=None):
    return engine.fit(X, y, K, 0, 0.0, w_scale, 0.0, 10.0, 0, 1.0, 100, tol=1e-10, method="mode", memory=memory)


def fitted_only(X, y):
    return mode_fit(X[:60], y[:60], 3)


def anchored_and_forgetting(X, y):
    # Most calibration trials in the anchor, then updates that forget and move the scale.
    model = mode_fit(X[:60], y[:60], 3, memory=16)
    for start in (60, 70):
        model = engine.update(model, X[start : start + 10], y[start : start + 10], rule="mode", forgetting=0.98)
    return model


def class_joins(X, y):
    # Two classes at the fit; the third joins in an update and becomes a row of the joint precision.
    first = y[:60] < 2
    model = mode_fit(X[:60][first], y[:60][first], 2, w_scale=0.7)
    return engine.update(model, X[60:80], y[60:80], rule="mode")


@pytest.mark.parametrize("make", [fitted_only, anchored_and_forgetting, class_joins])
def test_matches_the_joint_laplace_reference(x64, make):
    X, y = ref.make_problem(120, 4, 3, seed=3, sep=1.5)
    model = make(X, y)
    X_new = X[80:] * 1.5  # partly beyond what the model has seen, where the moderation matters
    got = engine.predict_proba_moderated(model, X_new)
    want = joint_moderated(model, X_new)
    assert got.dtype == np.float64 and got.shape == want.shape
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-10)
    # Not the mean under another name: the uncertainty flattens every trial's probabilities.
    mean = np.asarray(engine.predict_proba(model, X_new, 1, 0))
    assert np.all(got.max(axis=1) <= mean.max(axis=1) + 1e-12)
    assert np.max(mean.max(axis=1) - got.max(axis=1)) > 1e-3


@pytest.mark.parametrize(
    "make",
    [
        lambda X, y: engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 10.0, 0, 1.0, 20, method="sweeps"),
        # An update by another rule leaves the memory behind its class counts.
        lambda X, y: engine.update(mode_fit(X[:40], y[:40], 3), X[40:], y[40:], rule="once"),
    ],
    ids=["sweeps", "updated by sweeps"],
)
def test_refuses_a_record_without_a_trusted_memory(make):
    X, y = ref.make_problem(60, 3, 3, seed=1)
    with pytest.raises(ValueError, match=r"memory .* by the mode"):
        engine.predict_proba_moderated(make(X, y), X[:5])
