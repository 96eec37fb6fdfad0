import jax.numpy as jnp
import numpy as np
import pytest

from kelvra_bci.models.kelvra_softmax import inference as inf


@pytest.mark.parametrize(
    "non_ref, ref, K",
    [
        ((1, 2), 0, 3),
        ((0, 1, 2), 1, 3),  # reference also listed: still zero
        ((3, 0), 2, 5),  # classes 1 and 4 in neither: zero
    ],
)
def test_matches_numpy(x64, ref_np, non_ref, ref, K):
    rng = np.random.default_rng(1)
    X, beta = rng.normal(size=(6, 3)), rng.normal(size=(len(non_ref), 4))
    got = inf._logits_from_beta(X, jnp.asarray(beta), np.array(non_ref), ref, K)
    np.testing.assert_allclose(got, ref_np.logits(X, beta, non_ref, ref, K), rtol=1e-13, atol=1e-13)


@pytest.mark.parametrize("n", [0, 4])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_shape_and_dtype_follow_X(x64, n, dtype):
    beta = np.ones((2, 3), dtype)
    got = inf._logits_from_beta(jnp.ones((n, 2), dtype), beta, np.array([0, 2]), 1, 4)
    assert got.shape == (n, 4) and got.dtype == dtype
