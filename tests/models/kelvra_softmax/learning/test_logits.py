"""The full reference-class logit matrix."""

import jax.numpy as jnp
import numpy as np
import pytest

from kelvra_bci.models.kelvra_softmax import learning


@pytest.mark.parametrize(
    "non_ref,ref_class,n_classes",
    [
        ([2, 0], 1, 4),  # class 3 is neither listed nor the reference
        ([0, 1], 1, 3),  # the reference listed too
        ([0, 1, 2], -1, 3),  # counted from the end
    ],
)
def test_build_logits(x64, non_ref, ref_class, n_classes):
    rng = np.random.default_rng(len(non_ref))
    X_aug, beta = rng.normal(size=(5, 3)), rng.normal(size=(len(non_ref), 3))
    expected = np.zeros((5, n_classes))
    expected[:, non_ref] = X_aug @ beta.T
    expected[:, ref_class] = 0.0
    got = learning._build_logits(jnp.asarray(X_aug), jnp.asarray(beta), jnp.asarray(non_ref), ref_class, n_classes)
    assert got.dtype == jnp.float64
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12)
    assert not np.any(np.asarray(got)[:, ref_class])


@pytest.mark.parametrize("n", [0, 4])
def test_build_logits_shape_and_dtype(x64, n):
    X_aug = jnp.ones((n, 2), dtype=jnp.float32)
    got = learning._build_logits(X_aug, jnp.ones((1, 2), dtype=jnp.float32), jnp.array([1]), 0, 3)
    assert got.shape == (n, 3) and got.dtype == jnp.float32
