"""Plain NumPy float64 model of the batch fit and the online update, shared by the tests."""

import numpy as np

EPS = np.finfo(np.float64).eps


def make_problem(n, p, k, seed, sep=4.0):
    """Gaussian blobs around random class centres, labels 0 .. k-1."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(k, p)) * sep
    y = rng.permutation(np.arange(n) % k)
    return centres[y] + rng.normal(size=(n, p)), y


def assert_matches(params, expected, rtol=1e-10):
    """Class layout exactly, coefficients to rtol relative to each array's scale."""
    for key in ("ref_class", "non_ref_classes", "class_counts"):
        np.testing.assert_array_equal(params[key], expected[key])
    for key in ("beta_mean", "beta_cov_chol"):
        got, want = np.asarray(params[key], dtype=np.float64), expected[key]
        assert got.shape == want.shape
        assert np.max(np.abs(got - want)) <= rtol * np.max(np.abs(want)), key


def pg_update(Xa, z, offset, m0, prec0, m, S):
    psi = Xa @ m - offset
    c = np.maximum(np.sqrt(psi * psi + np.einsum("nd,de,ne->n", Xa, S, Xa) + EPS), EPS)
    omega = np.tanh(c / 2) / (2 * c)
    prec = prec0 + Xa.T @ (Xa * omega[:, None])
    b = prec0 @ m0 + Xa.T @ (z - 0.5 + omega * offset)
    return np.linalg.solve(prec, b), np.linalg.inv(prec)


def _offset(Xa, means, i):
    """Log-sum-exp of every logit but row i's (reference logit 0 included)."""
    eta = Xa @ means.T
    full = np.concatenate([eta, np.zeros((len(Xa), 1))], axis=1)
    top = full.max(axis=1)
    log_z = top + np.log(np.exp(full - top[:, None]).sum(axis=1))
    return log_z + np.log(np.maximum(1 - np.exp(eta[:, i] - log_z), EPS))


def _sweeps(Xa, y0, non_ref, means, covs, alpha, steps, prior):
    """Damped Gauss-Seidel sweeps; prior None means each class's current Gaussian."""
    means, covs = means.copy(), covs.copy()
    for _ in range(steps):
        for i, cls in enumerate(non_ref):
            m0, prec0 = prior if prior is not None else (means[i], np.linalg.inv(covs[i]))
            z = (y0 == cls).astype(np.float64)
            m_new, S_new = pg_update(Xa, z, _offset(Xa, means, i), m0, prec0, means[i], covs[i])
            means[i] = (1 - alpha) * means[i] + alpha * m_new
            covs[i] = (1 - alpha) * covs[i] + alpha * S_new
    return means, covs


def _prior(p, w_loc, w_scale, b_loc, b_scale):
    mean = np.r_[np.full(p, w_loc), b_loc]
    return mean, np.diag(np.r_[np.full(p, w_scale**-2.0), b_scale**-2.0])


def _augment(X):
    X = np.asarray(X, dtype=np.float64)
    return np.hstack([X, np.ones((X.shape[0], 1))])


def fit(X, y, K, label_base, w_loc, w_scale, b_loc, b_scale, alpha, steps):
    Xa = _augment(X)
    y0 = np.asarray(y).astype(np.int64) - int(label_base)
    counts = np.bincount(y0, minlength=K)
    ref = int(np.argmax(counts))
    non_ref = np.array([c for c in range(K) if c != ref], dtype=np.int64)
    m0, prec0 = _prior(Xa.shape[1] - 1, w_loc, w_scale, b_loc, b_scale)
    means = np.tile(m0, (K - 1, 1))
    covs = np.tile(np.linalg.inv(prec0), (K - 1, 1, 1))
    means, covs = _sweeps(Xa, y0, non_ref, means, covs, alpha, steps, (m0, prec0))
    return dict(
        ref_class=ref,
        non_ref_classes=non_ref,
        class_counts=counts,
        beta_mean=means,
        beta_cov_chol=np.linalg.cholesky(covs),
    )


def update(params, X, y):
    """Returns the incoming mapping with the updated entries replaced."""
    Xa = _augment(X)
    num = lambda key: float(np.asarray(params[key], dtype=np.float64))
    y0 = np.asarray(y).astype(np.int64) - int(num("label_base"))
    K_old, ref = int(num("n_classes")), int(num("ref_class"))
    K = max(K_old, int(y0.max()) + 1)
    non_ref = np.asarray(params["non_ref_classes"], dtype=np.int64)
    means = np.asarray(params["beta_mean"], dtype=np.float64)
    chol = np.asarray(params["beta_cov_chol"], dtype=np.float64)
    covs = chol @ np.swapaxes(chol, 1, 2)
    counts = np.asarray(params["class_counts"], dtype=np.int64)
    if K_old < K:
        add = [c for c in range(K) if c != ref and c not in non_ref]
        m0, prec0 = _prior(Xa.shape[1] - 1, *(num(k) for k in ("w_loc", "w_scale", "b_loc", "b_scale")))
        means = np.concatenate([means, np.tile(m0, (len(add), 1))])
        covs = np.concatenate([covs, np.tile(np.linalg.inv(prec0), (len(add), 1, 1))])
        non_ref = np.r_[non_ref, add].astype(np.int64)
        counts = np.r_[counts, np.zeros(max(K - len(counts), 0), dtype=np.int64)]
    means, covs = _sweeps(Xa, y0, non_ref, means, covs, num("learning_rate"), int(num("num_steps")), None)
    return {
        **params,
        "n_classes": K,
        "non_ref_classes": non_ref,
        "class_counts": counts + np.bincount(y0, minlength=K),
        "beta_mean": means,
        "beta_cov_chol": np.linalg.cholesky(covs),
    }


def coupled_prior(K, p, w_loc, w_scale, b_loc, b_scale):
    """The mode's prior over the K - 1 stacked rows: precision A and linear term b of 1/2 w'Aw - b'w.

    Every class's coefficients are N((w_loc, ..., b_loc), diag(w_scale**2, ..., b_scale**2)) and a row is its
    class's minus the reference's, so the rows' precision is (I - 11'/K) (x) D, centred on the tiled mean.
    """
    R = K - 1
    _, D = _prior(p, w_loc, w_scale, b_loc, b_scale)
    A = np.kron(np.eye(R) - np.ones((R, R)) / K, D)
    return A, A @ np.tile(np.r_[np.full(p, w_loc), b_loc], R)


def newton_mode(X, y0, non_ref, A, b, steps=100):
    """The minimiser (R, d) of 1/2 w'Aw - b'w minus the softmax log-likelihood of rows `non_ref`, reference logit 0."""
    Xa = _augment(X)
    R, d = len(non_ref), Xa.shape[1]
    Y = (np.asarray(y0)[:, None] == np.asarray(non_ref)[None, :]).astype(np.float64)
    w = np.zeros(R * d)
    for _ in range(steps):
        eta = np.c_[Xa @ w.reshape(R, d).T, np.zeros(len(Xa))]
        P = np.exp(eta - eta.max(axis=1, keepdims=True))
        P = (P / P.sum(axis=1, keepdims=True))[:, :R]
        grad = A @ w - b + ((P - Y).T @ Xa).reshape(-1)
        curvature = np.einsum("nr,rs->nrs", P, np.eye(R)) - np.einsum("nr,ns->nrs", P, P)
        H = A + np.einsum("nrs,ni,nj->risj", curvature, Xa, Xa).reshape(R * d, R * d)
        step = np.linalg.solve(H, grad)
        w -= step
        if np.max(np.abs(step)) < 1e-14 * max(1.0, np.max(np.abs(w))):
            break
    return w.reshape(R, d)
