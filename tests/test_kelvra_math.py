"""The host package's softmax."""

import jax
import jax.numpy as jnp
import numpy as np
import pytest

from kelvra_bci.kelvra_math import kelvra_softmax


@pytest.mark.parametrize("dtype", [jnp.float32, jnp.float64])
def test_softmax(x64, dtype):
    logits = np.random.default_rng(0).normal(size=(2, 4, 5)) * 3
    got = kelvra_softmax(jnp.asarray(logits, dtype=dtype))
    expected = np.exp(logits) / np.exp(logits).sum(axis=-1, keepdims=True)
    assert got.dtype == dtype
    np.testing.assert_allclose(got, expected, rtol=1e-5 if dtype == jnp.float32 else 1e-12)
    np.testing.assert_allclose(jax.jit(kelvra_softmax)(logits), expected, rtol=1e-12)
    np.testing.assert_allclose(jax.vmap(kelvra_softmax)(logits), expected, rtol=1e-12)


def test_softmax_large_logits():
    got = np.asarray(kelvra_softmax(jnp.array([[1e4, -1e4, 0.0], [-1e4, -1e4, -1e4]], dtype=jnp.float32)))
    assert np.all(np.isfinite(got))
    np.testing.assert_allclose(got, [[1, 0, 0], [1 / 3] * 3], atol=1e-6)
