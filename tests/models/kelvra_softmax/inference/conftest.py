from types import SimpleNamespace

import jax
import numpy as np
import pytest

from kelvra_bci.kelvra_io import KelvraModel

# The record keys prediction reads, in the order it reads them.
KEYS = ("n_classes", "ref_class", "non_ref_classes", "beta_mean", "beta_cov_chol")


def _make_model(non_ref=(1, 2), ref=0, K=3, p=2, seed=0, label_base=0, dtype=np.float64):
    """A hand-made record: random means, lower-triangular factors with a positive diagonal."""
    rng = np.random.default_rng(seed)
    k, d = len(non_ref), p + 1
    chol = np.tril(rng.normal(scale=0.3, size=(k, d, d)))
    chol[:, np.arange(d), np.arange(d)] = rng.uniform(0.2, 0.8, size=(k, d))
    params = {
        "n_classes": np.array(K),
        "label_base": np.array(label_base),
        "ref_class": np.array(ref),
        "non_ref_classes": np.array(non_ref),
        "beta_mean": rng.normal(size=(k, d)).astype(dtype),
        "beta_cov_chol": chol.astype(dtype),
    }
    return KelvraModel(model_type="kelvra_softmax", params=params)


def _logits(X, beta, non_ref, ref, K):
    """Float64 logits for coefficients of shape (..., k, d); leading axes are draws."""
    X = np.asarray(X, np.float64)
    X_aug = np.hstack([X, np.ones((X.shape[0], 1))])
    eta = X_aug @ np.swapaxes(np.asarray(beta, np.float64), -1, -2)
    out = np.zeros(eta.shape[:-1] + (K,))
    out[..., list(non_ref)] = eta
    out[..., ref] = 0.0
    return out


def _softmax(logits):
    z = np.exp(logits - logits.max(axis=-1, keepdims=True))
    return z / z.sum(axis=-1, keepdims=True)


def _draws(params, key, S, dtype):
    """Coefficient draws mean + L @ eps, fed the same standard-normal noise as the product."""
    mean = np.asarray(params["beta_mean"], np.float64)
    chol = np.asarray(params["beta_cov_chol"], np.float64)
    eps = np.asarray(jax.random.normal(key, (S,) + mean.shape, dtype), np.float64)
    return mean + (chol[None] @ eps[..., None])[..., 0]


@pytest.fixture
def make_model():
    return _make_model


@pytest.fixture
def ref_np():
    return SimpleNamespace(keys=KEYS, logits=_logits, softmax=_softmax, draws=_draws)
