import jax.numpy as jnp
import numpy as np
import pytest

from kelvra_bci.models.kelvra_softmax import inference as inf

# (non_ref_classes, ref_class, n_classes, logits of an all-zero row when the rows'
# biases are 10, 20, 30, ...)
LAYOUTS = [
    ((1, 2), 0, 3, [0, 10, 20]),
    ((0, 1, 2), 1, 3, [10, 0, 30]),  # reference also listed: still zero
    ((3, 0), 2, 5, [20, 0, 0, 10, 0]),  # classes 1 and 4 in neither: zero
]


def _bias_rows(k, p):
    beta = np.ones((k, p + 1))
    beta[:, -1] = 10.0 * np.arange(1, k + 1)
    return beta


@pytest.mark.parametrize("non_ref, ref, K, expected", LAYOUTS)
def test_zero_features_give_bias(x64, non_ref, ref, K, expected):
    beta = _bias_rows(len(non_ref), 2)
    got = inf._logits_from_beta(np.zeros((2, 2)), beta, np.array(non_ref), ref, K)
    np.testing.assert_array_equal(got, [expected, expected])


@pytest.mark.parametrize("non_ref, ref, K", [layout[:3] for layout in LAYOUTS])
def test_matches_numpy(x64, ref_np, non_ref, ref, K):
    rng = np.random.default_rng(1)
    X, beta = rng.normal(size=(6, 3)), rng.normal(size=(len(non_ref), 4))
    got = inf._logits_from_beta(jnp.asarray(X), jnp.asarray(beta), np.array(non_ref), ref, K)
    np.testing.assert_allclose(got, ref_np.logits(X, beta, non_ref, ref, K), rtol=1e-13, atol=1e-13)


@pytest.mark.parametrize("n", [0, 4])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_shape_and_dtype_follow_X(x64, n, dtype):
    beta = _bias_rows(2, 2).astype(dtype)
    got = inf._logits_from_beta(jnp.ones((n, 2), dtype), beta, np.array([0, 2]), 1, 4)
    assert got.shape == (n, 4) and got.dtype == dtype


def test_integer_arguments_are_truncated(x64):
    got = inf._logits_from_beta(np.zeros((1, 2)), _bias_rows(3, 2), np.array([0, 1, 2]), 1.9, 3.7)
    np.testing.assert_array_equal(got, [[10, 0, 30]])


@pytest.mark.parametrize("name", ["ref_class", "n_classes"])
def test_string_integer_argument_fails(name):
    args = dict(X=np.zeros((1, 2)), beta_mean=np.ones((2, 3)), non_ref_classes=np.array([1, 2]))
    args.update(ref_class=0, n_classes=3)
    args[name] = "1"
    message = f"Argument '{name}' has incorrect type (expected int, got str)"
    with pytest.raises(TypeError) as info:
        inf._logits_from_beta(**args)
    assert str(info.value) == message
