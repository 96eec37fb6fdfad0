import jax
import jax.numpy as jnp
import numpy as np
import pytest

from kelvra_bci import kelvra_math
from kelvra_bci.models.kelvra_softmax import inference as inf
from kelvra_bci.models.kelvra_softmax import learning

predict, samples = inf.kelvra_softmax_predict, inf.kelvra_softmax_predict_samples


@pytest.mark.parametrize("base", [0, 1])
@pytest.mark.parametrize("S", [1, 4])
def test_predict_is_first_argmax_plus_base(x64, make_model, base, S):
    model = make_model(seed=2, label_base=base)  # a model under which every class wins somewhere
    X = np.random.default_rng(5).normal(scale=3.0, size=(30, 2))
    got = predict(model, X, S, 3)
    assert got.dtype == np.int64
    probs = inf.kelvra_softmax_predict_proba(model, X, S, 3)
    np.testing.assert_array_equal(got, np.argmax(probs, axis=1) + base)
    assert set(got) == {base, base + 1, base + 2}


@pytest.mark.parametrize("base", [0, 1])
# bias of each row; the weights are zero
@pytest.mark.parametrize("non_ref, ref, biases", [((0, 2), 1, [2.0, 2.0]), ((1, 2), 0, [-1.0, 0.0])])
def test_tie_between_classes_0_and_2_goes_to_0(make_model, base, non_ref, ref, biases):
    model = make_model(non_ref, ref, label_base=base)
    model.params["beta_mean"] = np.array([[0.0, 0.0, biases[0]], [0.0, 0.0, biases[1]]])
    # one sample uses the means, so the tie is exact
    np.testing.assert_array_equal(predict(model, np.ones((3, 2)), 1, 9), [base] * 3)


@pytest.mark.parametrize("fn", [predict, samples])
@pytest.mark.parametrize(
    "missing, X, error, key",
    [
        (("label_base",), np.zeros(3), ValueError, None),
        (("label_base", "beta_cov_chol"), np.zeros((2, 2)), KeyError, "beta_cov_chol"),
        (("label_base",), np.zeros((2, 2)), KeyError, "label_base"),
    ],
)
def test_label_base_is_read_after_the_work(monkeypatch, make_model, fn, missing, X, error, key):
    calls = []

    def spy(logits):
        calls.append(logits.shape)
        return kelvra_math.kelvra_softmax(logits)

    monkeypatch.setattr(inf, "kelvra_softmax", spy)
    model = make_model()
    for name in missing:
        del model.params[name]
    with pytest.raises(error) as info:
        fn(model, X, 2, 0)
    if key is not None:
        assert info.value.args == (key,)
    assert bool(calls) == (key == "label_base")


@pytest.mark.parametrize("mode, dtype", [("x64", np.float64), ("x32", np.float32)])
@pytest.mark.parametrize("S", [1, 3])
def test_samples_match_documented_draws(request, make_model, ref_np, mode, dtype, S):
    request.getfixturevalue(mode)
    non_ref, ref, K, seed = (2, 0), 1, 3, 21
    model = make_model(non_ref, ref, K, label_base=1)
    X = np.random.default_rng(6).normal(size=(40, 2))
    got = samples(model, X, S, seed)
    assert got.shape == (S, 40) and got.dtype == np.int64

    key_eps, key_cat = jax.random.split(jax.random.PRNGKey(seed), 2)
    beta_s = ref_np.draws(model.params, key_eps, S, dtype)
    probs = ref_np.softmax(ref_np.logits(X, beta_s, non_ref, ref, K))
    logp = jnp.asarray(np.log(probs + np.finfo(dtype).eps), dtype)
    keys = jax.random.split(key_cat, S)
    expected = [jax.random.categorical(keys[s], logp[s], axis=-1) for s in range(S)]
    np.testing.assert_array_equal(got, np.stack(expected) + 1)
    np.testing.assert_array_equal(got, samples(model, X, S, seed))
    assert not np.array_equal(got, samples(model, X, S, seed + 1))


def test_zero_probability_classes_can_still_be_drawn(monkeypatch, make_model):
    # Every class at probability zero: only the added epsilon keeps them drawable.
    monkeypatch.setattr(inf, "kelvra_softmax", jnp.zeros_like)
    got = samples(make_model(label_base=1), np.zeros((100, 2)), 2, 0)
    assert set(np.unique(got)) == {1, 2, 3}


def test_fitted_model_recovers_training_labels_and_inputs_are_kept(x64):
    rng = np.random.default_rng(7)
    X = rng.normal(size=(60, 2))
    y = np.argmax(3.0 * X @ rng.normal(size=(2, 3)), axis=1) + 1
    X_before, y_list = X.copy(), y.tolist()
    model = learning.kelvra_softmax_fit(X, y_list, 3, 1, 0.0, 1.0, 0.0, 1.0, 0, 0.5, 20)
    np.testing.assert_array_equal(X, X_before)
    assert y_list == y.tolist()
    for S in (1, 30):
        assert np.mean(predict(model, X, S, 0) == y) > 0.9
    assert np.mean(samples(model, X, 30, 0) == y) > 0.6
