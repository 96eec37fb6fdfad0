"""Where inputs enter the engine: refused when a conversion would change them, bounded work, log probabilities."""

import os
import time
import warnings

import jax
import numpy as np
import pytest
import softmax_reference as ref

from kelvra_bci.models.kelvra_softmax import engine, learning

X0, Y0 = ref.make_problem(20, 2, 3, seed=3)
FIRST = np.arange(20) == 0
NAMES = ("X", "y", "n_classes", "label_base", "w_loc", "w_scale", "b_loc", "b_scale", "rng_seed")
FIT = dict(zip(NAMES, (X0, Y0, 3, 0, 0.0, 1.0, 0.0, 1.0, 0), strict=True)) | dict(learning_rate=0.5, num_steps=2)


@pytest.fixture(scope="module")
def fitted():
    return engine.fit(**FIT)


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(y=np.where(FIRST, 0.7, Y0)), "y must hold integer labels, not 0.7"),
        (dict(y=np.where(FIRST, 0.5, Y0).astype(object)), "y must hold integer labels, not 0.5"),
        (dict(y=Y0 + 0j), "y must hold integer labels, not complex128"),
        # Labels no model has are out of range, however they are spelled, and without a warning.
        *((dict(y=np.where(FIRST, bad, Y0)), "y out of range for n_classes/label_base") for bad in (np.nan, 2.0**63)),
        (dict(X=X0 * (1 + 1j)), "X must hold real numbers, not complex128"),
        (dict(n_classes=3.7), "n_classes must be an integer, not 3.7"),
        (dict(num_steps=np.float64(3.9)), "num_steps must be an integer, not 3.9"),
        (dict(rng_seed=0.5), "rng_seed must be an integer, not 0.5"),
        (dict(X=X0[:0], y=Y0[:0]), "X and y must hold at least one trial"),
    ],
)
def test_fit_refuses_what_the_module_would_convert(changes, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # refused, not warned about and then converted
        with pytest.raises(ValueError) as error:
            engine.fit(**FIT | changes)
    assert str(error.value).startswith(message) and "\n" not in str(error.value)


def test_the_module_keeps_its_lenient_conversions():
    # The learning module's documented behaviour: fractions truncated, as before.
    plain = learning.kelvra_softmax_fit(**FIT)
    converted = learning.kelvra_softmax_fit(**FIT | dict(y=Y0 + 0.7, n_classes=3.9, num_steps=2.5))
    np.testing.assert_array_equal(converted.params["beta_mean"], plain.params["beta_mean"])
    with pytest.raises(ValueError, match="zero-size array"):
        learning.kelvra_softmax_fit(**FIT | dict(X=X0[:0], y=Y0[:0]))


def test_whole_numbers_of_other_types_are_accepted(fitted):
    for y in (Y0.astype(np.float32), Y0.astype(str), Y0.astype(object)):
        same = engine.fit(**FIT | dict(y=y, n_classes=3.0, num_steps=np.float64(2), rng_seed=True))
        np.testing.assert_array_equal(same.params["beta_mean"], fitted.params["beta_mean"])
        assert int(same.params["rng_seed"]) == 1


@pytest.mark.parametrize(
    "X, y, message",
    [
        (X0, np.where(FIRST, 0.5, Y0), "y must hold integer labels, not 0.5"),
        (X0 + 1j, Y0, "X must hold real numbers, not complex128"),
        (X0[:0], Y0[:0], "X and y must hold at least one trial"),
    ],
)
def test_update_refuses_what_the_module_would_convert(fitted, X, y, message):
    with pytest.raises(ValueError, match=message):
        engine.update(fitted, X, y)


@pytest.mark.parametrize(
    "X, S, seed, message",
    [
        (X0, 2.5, 0, "num_posterior_samples must be an integer, not 2.5"),
        (X0, 2, 1.5, "rng_seed must be an integer, not 1.5"),
        (X0 - 2j, 1, 0, "X must hold real numbers, not complex128"),
    ],
)
@pytest.mark.parametrize("name", ["predict_proba", "predict_log_proba", "predict", "predict_samples"])
def test_predictions_refuse_what_the_module_would_convert(fitted, name, X, S, seed, message):
    with pytest.raises(ValueError, match=message):
        getattr(engine, name)(fitted, X, S, seed)


@pytest.mark.parametrize("args", [(2.5, 3), (2, 3.7)])
def test_precompile_refuses_fractional_sizes(args):
    with pytest.raises(ValueError, match="must be an integer, not"):
        engine.precompile(*args)


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(n_classes=10**6), "fit: 2 sweeps over 1000000 classes, 20 trials and 2 features come to about 1.2e+14"),
        (dict(num_steps=10**9), "fit: 1000000000 sweeps over 3 classes"),
        (dict(num_steps=10**9, tol=1e-3), "fit: 1000000000 sweeps over 3 classes"),
    ],
)
def test_work_beyond_the_bound_is_refused_at_once(changes, message):
    started = time.perf_counter()
    with pytest.raises(ValueError, match="more than the 1e\\+13 one engine call may do") as error:
        engine.fit(**FIT | changes)
    assert str(error.value).startswith(message)
    assert time.perf_counter() - started < 30


def test_more_classes_than_trials_stay_legal(fitted):
    model = engine.fit(**FIT | dict(n_classes=40))
    assert model.params["beta_mean"].shape == (39, 3)
    # An update counts the record's sweeps against the bound.
    params = {**fitted.params, "num_steps": np.array(10**9)}
    with pytest.raises(ValueError, match="update: 1000000000 sweeps over 3 classes"):
        engine.update(type(fitted)(model_type="kelvra_softmax", params=params), X0, Y0)


def test_state_beyond_memory_is_refused_before_allocating():
    # 10**5 classes of 10**4 coefficients each: a hundred terabytes of factors.
    with pytest.raises(MemoryError, match="fitting n_classes=100000 needs about"):
        engine.fit(**FIT | dict(X=np.zeros((2, 10**4 - 1)), y=np.array([0, 1]), n_classes=10**5))


@pytest.mark.parametrize("precision, rtol", [("x64", 1e-12), ("x32", 1e-5)])
@pytest.mark.parametrize("S", [1, 7, 5000])
def test_log_probabilities_are_those_of_predict_proba(request, precision, rtol, S):
    request.getfixturevalue(precision)
    X, y = ref.make_problem(200, 3, 3, seed=1)
    model = engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 5)
    # 5000 draws of 200 trials and 3 classes are reduced in more than one block.
    log_proba = engine.predict_log_proba(model, X, S, 4)
    assert log_proba.dtype == np.float64 and log_proba.shape == (200, 3)
    np.testing.assert_allclose(np.exp(log_proba), engine.predict_proba(model, X, S, 4), rtol=rtol, atol=rtol)
    np.testing.assert_allclose(np.logaddexp.reduce(log_proba, axis=1), 0, atol=1e-12)


def test_log_probabilities_stay_finite_where_probabilities_underflow(x64):
    X, y = ref.make_problem(40, 2, 3, seed=2)
    model = engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 5)
    far = 1e4 * X
    assert (engine.predict_proba(model, far, 3, 0) == 0).any()
    log_proba = engine.predict_log_proba(model, far, 3, 0)
    assert np.isfinite(log_proba).all() and log_proba.min() < -1000


def test_log_probabilities_refuse_draws_beyond_memory(fitted):
    with pytest.raises(MemoryError, match="drawing num_posterior_samples=2147483647 coefficient sets"):
        engine.predict_log_proba(fitted, X0, 2**31 - 1, 0)


@pytest.fixture
def jax_cache_dir():
    before = jax.config.jax_compilation_cache_dir
    yield
    jax.config.update("jax_compilation_cache_dir", before)


def test_persistent_cache_expands_the_home_folder(tmp_path, monkeypatch, jax_cache_dir):
    monkeypatch.setenv("HOME", str(tmp_path))
    assert engine.enable_persistent_cache("~/jax") == str(tmp_path / "jax")
    assert (tmp_path / "jax").is_dir()


@pytest.mark.parametrize(
    "path, error, message", [("", ValueError, "path must not be empty"), (b"cache", TypeError, "path must be text")]
)
def test_persistent_cache_refuses_a_path_before_creating_anything(
    tmp_path, monkeypatch, jax_cache_dir, path, error, message
):
    monkeypatch.chdir(tmp_path)
    before = jax.config.jax_compilation_cache_dir
    with pytest.raises(error, match=message):
        engine.enable_persistent_cache(path)
    assert os.listdir(tmp_path) == [] and jax.config.jax_compilation_cache_dir == before
