"""Polya-Gamma moment and the binary Gaussian update against float64 NumPy."""

import jax
import jax.numpy as jnp
import numpy as np
import pytest
import softmax_reference as ref

from kelvra_bci.models.kelvra_softmax import learning


def spd(rng, d):
    a = rng.normal(size=(d, d))
    return a @ a.T / d + np.eye(d)


def problem(seed, n, d):
    rng = np.random.default_rng(seed)
    Xa = np.concatenate([rng.normal(size=(n, d - 1)), np.ones((n, 1))], axis=1)
    return (
        Xa,
        (rng.random(n) < 0.4).astype(float),
        rng.normal(size=n),
        rng.normal(size=d),
        spd(rng, d),
        rng.normal(size=d),
        np.linalg.inv(spd(rng, d)),
    )


def close(got, expected, rtol):
    got = np.asarray(got, dtype=np.float64)
    assert got.shape == expected.shape
    assert np.max(np.abs(got - expected), initial=0) <= rtol * np.max(np.abs(expected))


@pytest.mark.parametrize(
    "c,expected",
    [
        (0.0, 0.25),
        (-3.0, 0.25),
        (1e-300, 0.25),
        (1.0, 0.23105857863000487),
        (2.0, 0.1903985389889412),
        (10.0, 0.049995460213129755),
    ],
)
def test_expected_omega_values(x64, c, expected):
    got = learning._pg_expected_omega(jnp.array([c, c]))
    assert got.dtype == jnp.float64 and np.allclose(got, expected, rtol=1e-14, atol=0)
    got = learning._pg_expected_omega(jnp.full((2, 1), c, dtype=jnp.float32))
    assert got.dtype == jnp.float32 and got.shape == (2, 1) and np.allclose(got, expected, rtol=1e-6)


@pytest.mark.parametrize("dtype,rtol", [(np.float64, 1e-12), (np.float32, 1e-4)])
@pytest.mark.parametrize("seed,n,d", [(0, 7, 3), (1, 25, 4), (2, 2, 5), (3, 0, 3)])
def test_binary_update_matches_reference(x64, seed, n, d, dtype, rtol):
    args = [a.astype(dtype) for a in problem(seed, n, d)]
    m_ref, S_ref = ref.pg_update(*(a.astype(np.float64) for a in args))  # n == 0: the prior comes back
    # Eager dispatch compiles every operation on its own: one shape of it is enough.
    update = learning._pg_binary_update if n == 0 else jax.jit(learning._pg_binary_update)
    m_new, S_new = update(*map(jnp.asarray, args))
    assert m_new.dtype == S_new.dtype == dtype
    close(m_new, m_ref, rtol)
    close(S_new, S_ref, rtol)
