import numpy as np
import pytest
import softmax_reference as ref

from kelvra_bci.models.kelvra_softmax import learning

NAN = float("nan")
X0, Y0 = ref.make_problem(24, 2, 3, seed=0)
GOOD = dict(
    X=X0,
    y=Y0,
    n_classes=3,
    label_base=0,
    w_loc=0.0,
    w_scale=1.0,
    b_loc=0.0,
    b_scale=1.0,
    rng_seed=0,
    learning_rate=0.5,
    num_steps=2,
)
PRIOR = dict(w_loc=0.3, w_scale=1.5, b_loc=-0.2, b_scale=2.0)
LAYOUT = [
    ("backend", object),
    ("n_classes", np.int64),
    ("label_base", np.int64),
    ("ref_class", np.int64),
    ("non_ref_classes", np.int64),
    ("beta_mean", None),
    ("beta_cov_chol", None),
    ("w_loc", np.float64),
    ("w_scale", np.float64),
    ("b_loc", np.float64),
    ("b_scale", np.float64),
    ("rng_seed", np.int64),
    ("learning_rate", np.float64),
    ("num_steps", np.int64),
    ("class_counts", np.int64),
]
SCALARS = ["n_classes", "label_base", "w_loc", "w_scale", "b_loc", "b_scale", "rng_seed", "learning_rate", "num_steps"]


def fit(**changes):
    return learning.kelvra_softmax_fit(**{**GOOD, **changes})


def reference_fit(X, y, K, label_base=0, alpha=0.7, steps=4):
    return ref.fit(X, y, K, label_base, *PRIOR.values(), alpha, steps)


@pytest.mark.parametrize(
    "bad, message",
    [
        (dict(X=np.zeros(24), y=np.zeros((24, 2)), n_classes=1), "X must be 2D: (n_trials, n_features)"),
        (dict(X=np.zeros((24, 2, 1)), label_base=2), "X must be 2D: (n_trials, n_features)"),
        (dict(y=np.zeros((24, 1)), X=np.zeros((5, 2)), w_scale=0.0), "y must be 1D: (n_trials,)"),
        (dict(y=Y0[0], learning_rate=0.0), "y must be 1D: (n_trials,)"),
        (dict(X=X0[:23], n_classes=1, b_scale=0.0), "X and y must have same number of rows"),
        (dict(n_classes=1, label_base=2, w_scale=0.0), "n_classes must be >= 2"),
        (dict(label_base=2, w_scale=-1.0, learning_rate=0.0), "label_base must be 0 or 1"),
        (dict(label_base=0.5, y=Y0 - 3), "label_base must be 0 or 1"),
        (dict(label_base="1"), "label_base must be 0 or 1"),
        (dict(w_scale=0.0, b_scale=0.0, num_steps=0), "w_scale must be > 0"),
        (dict(w_scale=-2.0, learning_rate=NAN), "w_scale must be > 0"),
        (dict(w_scale=NAN, b_scale=-1.0), "w_scale must be > 0"),
        (dict(b_scale=-1.0, learning_rate=2.0), "b_scale must be > 0"),
        (dict(b_scale=NAN, learning_rate=NAN), "b_scale must be > 0"),
        (dict(learning_rate=0.0, num_steps=0), "learning_rate must be in (0, 1]"),
        (dict(learning_rate=1.5, y=Y0 + 7), "learning_rate must be in (0, 1]"),
        (dict(learning_rate=NAN), "learning_rate must be in (0, 1]"),
        (dict(num_steps=0, y=Y0 - 1), "num_steps must be >= 1"),
        (dict(y=Y0 - 1), "y out of range for n_classes/label_base"),
        (dict(y=np.r_[Y0[:-1], 3]), "y out of range for n_classes/label_base"),
        (dict(label_base=1), "y out of range for n_classes/label_base"),
        (dict(y=Y0 + 1, label_base=True, n_classes=2), "y out of range for n_classes/label_base"),
    ],
)
def test_first_failing_check_wins(bad, message):
    with pytest.raises(ValueError) as info:
        fit(**bad)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "switch, x_dtype, work",
    [("x64", np.float64, np.float64), ("x64", np.float32, np.float64), ("x32", np.float64, np.float32)],
)
def test_record_layout(request, switch, x_dtype, work):
    request.getfixturevalue(switch)
    model = fit(X=X0.astype(x_dtype), rng_seed=7, **PRIOR)
    p = model.params
    assert model.model_type == "kelvra_softmax"
    assert list(p) == [key for key, _ in LAYOUT]
    shapes = dict(non_ref_classes=(2,), beta_mean=(2, 3), beta_cov_chol=(2, 3, 3), class_counts=(3,))
    for key, dtype in LAYOUT:
        assert isinstance(p[key], np.ndarray) and p[key].dtype == (dtype or work), key
        assert p[key].shape == shapes.get(key, ()), key
    assert p["backend"][()] == "pg_softmax_ref"
    stored = {**GOOD, **PRIOR, "rng_seed": 7}
    assert [p[k][()] for k in SCALARS] == [stored[k] for k in SCALARS]
    want = reference_fit(X0.astype(x_dtype), Y0, 3, alpha=0.5, steps=2)
    ref.assert_matches(p, want, rtol=1e-10 if work == np.float64 else 1e-4)


@pytest.mark.parametrize("K", [2, 3, 4])
@pytest.mark.parametrize("seed", [1, 2])
def test_matches_reference(x64, K, seed):
    X, y = ref.make_problem(30, 3, K, seed)
    model = learning.kelvra_softmax_fit(X, y, K, 0, *PRIOR.values(), seed, 0.7, 4)
    want = reference_fit(X, y, K)
    ref.assert_matches(model.params, want)


@pytest.mark.parametrize(
    "X, y, K, expect",
    [
        # counts (1, 3, 3): the tie goes to the smaller class index
        (X0[:7], [2, 1, 2, 1, 0, 2, 1], 3, dict(ref_class=1, non_ref_classes=[0, 2])),
        (X0[:6], [3, 3, 2, 2, 1, 1], 4, dict(ref_class=1, non_ref_classes=[0, 2, 3])),
        # class 3 never occurs, yet keeps a coefficient row fitted against all-zero targets
        (X0[:9], [0, 1, 2, 0, 1, 2, 0, 0, 1], 4, dict(ref_class=0, class_counts=[4, 3, 2, 0])),
        # no feature columns: the bias alone is fitted
        (np.zeros((9, 0)), [0, 1, 2, 0, 1, 2, 1, 1, 2], 3, dict(ref_class=1, beta_mean_shape=(2, 1))),
    ],
)
def test_small_layouts(x64, X, y, K, expect):
    model = learning.kelvra_softmax_fit(X, np.array(y), K, 0, *PRIOR.values(), 0, 0.7, 4)
    p = model.params
    for key, value in expect.items():
        got = p["beta_mean"].shape if key == "beta_mean_shape" else p[key]
        np.testing.assert_array_equal(got, value, err_msg=key)
    ref.assert_matches(p, reference_fit(X, y, K))


@pytest.mark.parametrize("label_base", [1, 1.0, True, np.int64(0)])
def test_label_base(x64, label_base):
    y = Y0 + int(label_base)
    p = learning.kelvra_softmax_fit(X0, y, 3, label_base, *PRIOR.values(), 0, 0.7, 4).params
    assert p["label_base"].dtype == np.int64 and p["label_base"][()] == int(label_base)
    ref.assert_matches(p, reference_fit(X0, Y0, 3))
