import re

import jax
import numpy as np
import pytest

from kelvra_bci.kelvra_io import KelvraModel
from kelvra_bci.models.kelvra_softmax import inference as inf

proba = inf.kelvra_softmax_predict_proba
# kelvra_softmax_predict hands validation and loading to proba; samples repeats them.
PREDICTORS = [proba, inf.kelvra_softmax_predict_samples]
X_2D = "X must be 2D: (n_trials, n_features)"
# Each with K - 1 coefficient rows; the second lists the reference and leaves class 0 out.
LAYOUTS = [((1, 2), 0, 3), ((2, 1), 1, 3), ((0, 3, 1), 2, 4)]


@pytest.mark.parametrize("fn", PREDICTORS)
@pytest.mark.parametrize(
    "X, full_record, S, message",
    [
        ([["a"]], False, 0, "could not convert string to float"),
        (np.zeros(0), True, 0, X_2D),
        (np.zeros((2, 1, 1)), False, 1, X_2D),
        (np.zeros((0, 2)), False, 0, "num_posterior_samples must be >= 1"),
        (np.zeros((1, 2)), False, -3, "num_posterior_samples must be >= 1"),
    ],
)
def test_checks_come_first_in_order(make_model, fn, X, full_record, S, message):
    model = make_model() if full_record else KelvraModel(model_type="kelvra_softmax", params={})
    with pytest.raises(ValueError, match=re.escape(message)):
        fn(model, X, S, 0)


@pytest.mark.parametrize("fn", PREDICTORS)
@pytest.mark.parametrize("S", [1, 3])
@pytest.mark.parametrize("first_missing", range(5))
def test_missing_key_is_the_first_in_read_order(make_model, ref_np, fn, S, first_missing):
    full = make_model().params
    params = {key: full[key] for key in ref_np.keys[:first_missing]}
    with pytest.raises(KeyError) as info:
        fn(KelvraModel(model_type="kelvra_softmax", params=params), np.zeros((2, 2)), S, 0)
    assert info.value.args == (ref_np.keys[first_missing],)


@pytest.mark.parametrize("non_ref, ref, K", LAYOUTS + [((0, 1, 2), 1, 3)])
def test_single_sample_is_softmax_of_mean_logits(x64, make_model, ref_np, non_ref, ref, K):
    model = make_model(non_ref, ref, K)
    X = np.random.default_rng(2).normal(size=(5, 2))
    expected = ref_np.softmax(ref_np.logits(X, model.params["beta_mean"], non_ref, ref, K))
    for seed in (0, 12345):
        np.testing.assert_allclose(proba(model, X, 1, seed), expected, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("mode, dtype, tol", [("x64", np.float64, 1e-12), ("x32", np.float32, 2e-6)])
@pytest.mark.parametrize(
    "layout, seed", list(zip(LAYOUTS, (11, 12, 13), strict=True))
)  # the draws must follow the seed
def test_monte_carlo_average_matches_numpy(request, make_model, ref_np, mode, dtype, tol, layout, seed):
    non_ref, ref, K = layout
    request.getfixturevalue(mode)
    model, S = make_model(non_ref, ref, K, p=3), 6
    X = np.random.default_rng(4).normal(size=(5, 3))
    beta_s = ref_np.draws(model.params, jax.random.PRNGKey(seed), S, dtype)
    expected = ref_np.softmax(ref_np.logits(X, beta_s, non_ref, ref, K)).mean(axis=0)
    got = proba(model, X, S, seed)
    assert got.shape == (5, K) and got.dtype == dtype
    np.testing.assert_allclose(got, expected, rtol=tol, atol=tol)
    np.testing.assert_allclose(got.sum(axis=1), 1.0, rtol=tol)


@pytest.mark.parametrize(
    "mode, stored, working",
    [
        ("x64", np.float64, np.float64),
        ("x64", np.float32, np.float32),  # the stored means decide
        ("x32", np.float64, np.float32),
    ],
)
@pytest.mark.parametrize("S", [1, 3])
def test_integer_features_use_the_working_dtype(request, make_model, mode, stored, working, S):
    request.getfixturevalue(mode)
    model, X = make_model(dtype=stored), [[1, -2], [0, 3]]
    got = proba(model, X, S, 5)
    assert got.dtype == working
    np.testing.assert_array_equal(got, proba(model, np.asarray(X, np.float64), S, 5))
