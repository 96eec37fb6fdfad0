import jax
import numpy as np
import pytest
import softmax_reference as ref

from kelvra_bci.kelvra_io import KelvraModel
from kelvra_bci.models.kelvra_softmax import inference, learning

NAN = float("nan")
DROP = object()
REPLACED = ["backend", "n_classes", "non_ref_classes", "beta_mean", "beta_cov_chol", "class_counts"]
X0, Y0 = ref.make_problem(31, 2, 4, seed=3)
_fits = {}


def fitted(K=3):
    """A record fitted on classes 0 .. K-1 (reference class 0), once per 64-bit setting."""
    key = (K, bool(jax.config.jax_enable_x64))
    if key not in _fits:
        keep = Y0 < K
        _fits[key] = learning.kelvra_softmax_fit(X0[keep], Y0[keep], K, 0, 0.2, 1.5, -0.1, 2.0, 5, 0.6, 3)
    return _fits[key]


def with_params(model, **changes):
    params = {**model.params, **changes}
    return KelvraModel(model_type="kelvra_softmax", params={k: v for k, v in params.items() if v is not DROP})


def frozen(model):
    return [(k, id(v), np.array(v, copy=True)) for k, v in model.params.items()]


def assert_unchanged(model, before):
    assert [k for k, _, _ in before] == list(model.params)
    for key, ident, value in before:
        assert id(model.params[key]) == ident
        np.testing.assert_array_equal(model.params[key], value)


XN, YN = X0[:5], np.array([0, 2, 1, 1, 2])


@pytest.mark.parametrize(
    "X, y, changes, error, message",
    [
        (XN[0], YN[:, None], dict(label_base=DROP), ValueError, "X must be 2D: (n_trials, n_features)"),
        (XN, YN[:, None], dict(label_base=DROP), ValueError, "y must be 1D: (n_trials,)"),
        (XN, YN[:4], dict(label_base=DROP), ValueError, "X and y must have same number of rows"),
        (XN, YN, dict(label_base=DROP), KeyError, "label_base"),
        (XN, YN - 1, dict(n_classes=DROP, learning_rate=0.0), ValueError, "y out of range for label_base"),
        (XN, YN, dict(label_base=np.array(1), num_steps=0), ValueError, "y out of range for label_base"),
        (XN, YN, dict(n_classes=DROP), KeyError, "n_classes"),
        (XN, YN, dict(b_scale=DROP, learning_rate=0.0), KeyError, "b_scale"),
        (XN, YN, dict(learning_rate=DROP, num_steps=0), KeyError, "learning_rate"),
        (XN, YN, dict(learning_rate=0.0, num_steps=0, beta_mean=DROP), ValueError, "learning_rate must be in (0, 1]"),
        (XN, YN, dict(learning_rate=np.array(1.5)), ValueError, "learning_rate must be in (0, 1]"),
        (XN, YN, dict(learning_rate=NAN), ValueError, "learning_rate must be in (0, 1]"),
        (XN, YN, dict(num_steps=DROP), KeyError, "num_steps"),
        (
            XN,
            YN,
            dict(num_steps=0, beta_mean=DROP, beta_cov_chol=DROP, class_counts=DROP),
            ValueError,
            "num_steps must be >= 1",
        ),
        (XN, YN, dict(beta_mean=DROP, class_counts=DROP), KeyError, "beta_mean"),
        (XN, YN, dict(class_counts=DROP), KeyError, "class_counts"),
        # fails late, in the count addition, after every read
        (XN, YN, dict(class_counts=np.zeros(2, np.int64)), ValueError, None),
    ],
)
def test_errors_in_order_leave_the_record_alone(X, y, changes, error, message):
    model = with_params(fitted(), **changes)
    before = frozen(model)
    with pytest.raises(error) as info:
        learning.kelvra_softmax_update(model, X, y)
    assert message is None or info.value.args[0] == message
    assert_unchanged(model, before)


def test_growth_starts_new_classes_at_the_prior(x64):
    # a tiny learning rate leaves every Gaussian where the sweeps found it
    model = with_params(fitted(), learning_rate=1e-9, w_scale=np.array(-1.5), n_classes=3, session="kept as is")
    before = frozen(model)
    y = np.array([4, 0, 1, 4, 2])
    new = learning.kelvra_softmax_update(model, XN, y)
    p, old = new.params, model.params
    assert isinstance(new, KelvraModel) and new.model_type == "kelvra_softmax"
    assert list(p) == list(old) and p is not old
    for key in set(old) - set(REPLACED):
        assert p[key] is old[key], key
    assert p["backend"].dtype == object and p["backend"][()] == "pg_softmax_ref"
    assert p["n_classes"].dtype == np.int64 and p["n_classes"].shape == () and p["n_classes"] == 5
    assert p["class_counts"].dtype == np.int64  # layout and counts: the reference case with these labels
    np.testing.assert_allclose(p["beta_mean"][:2], old["beta_mean"], atol=1e-7)
    np.testing.assert_allclose(p["beta_mean"][2:], [[0.2, 0.2, -0.1]] * 2, atol=1e-7)
    np.testing.assert_allclose(p["beta_cov_chol"][:2], old["beta_cov_chol"], atol=1e-7)
    np.testing.assert_allclose(p["beta_cov_chol"][2:], [np.diag([1.5, 1.5, 2.0])] * 2, atol=1e-7)
    assert_unchanged(model, before)


@pytest.mark.parametrize(
    "switch, stored, work",
    [("x64", np.float32, np.float64), ("x32", np.float64, np.float32), ("x32", np.float32, np.float32)],
)
def test_working_dtype_follows_the_switch(request, switch, stored, work):
    request.getfixturevalue(switch)
    model = fitted()
    model = with_params(model, **{k: model.params[k].astype(stored) for k in REPLACED[3:5]})
    p = learning.kelvra_softmax_update(model, XN.astype(np.float32), YN).params
    assert p["beta_mean"].dtype == work and p["beta_cov_chol"].dtype == work
    # float32 loses digits in log(1 - p) for confident trials; a float32 NumPy run drifts as far
    rtol = 1e-10 if work == np.float64 else 2e-3
    ref.assert_matches(p, ref.update(model.params, XN.astype(np.float32), YN), rtol=rtol)


@pytest.mark.parametrize(
    "K, y, changes",
    [
        (2, [0, 1, 1, 0, 1], {}),
        (2, [0, 1, 1, 3, 1], dict(learning_rate=1.0, num_steps=2)),
        (3, [2, 2, 2, 2, 2], dict(learning_rate=0.3, num_steps=1)),
        (3, [4, 0, 1, 4, 2], {}),
        (4, [3, 0, 1, 3, 2], dict(learning_rate=1.0)),
    ],
)
def test_matches_reference(x64, K, y, changes):
    model = with_params(fitted(K), **changes)
    ref.assert_matches(learning.kelvra_softmax_update(model, XN, y).params, ref.update(model.params, XN, y))


def test_update_of_an_update(x64):
    first = learning.kelvra_softmax_update(fitted(), XN, YN)
    second = learning.kelvra_softmax_update(first, X0[5:9], [1, 3, 0, 3])
    want = ref.update(ref.update(fitted().params, XN, YN), X0[5:9], [1, 3, 0, 3])
    ref.assert_matches(second.params, want)


def test_more_trials_keep_or_improve_held_out_accuracy():
    X, y = ref.make_problem(150, 4, 3, seed=11, sep=2.0)
    model = learning.kelvra_softmax_fit(X[:12], y[:12], 3, 0, 0.0, 3.0, 0.0, 3.0, 0, 0.5, 20)
    accuracy = lambda m: np.mean(inference.kelvra_softmax_predict(m, X[75:], 1, 0) == y[75:])
    before = accuracy(model)
    after = accuracy(learning.kelvra_softmax_update(model, X[12:75], y[12:75]))
    assert after >= before and after >= 0.85
