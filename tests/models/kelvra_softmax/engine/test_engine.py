"""The engine against the modules: same records, same answers, compiled once per shape."""

import concurrent.futures

import jax
import numpy as np
import pytest
import softmax_reference as ref

from kelvra_bci.kelvra_io import KelvraModel
from kelvra_bci.models.kelvra_softmax import defaults, engine, inference, learning

SETTINGS = (0.1, 1.5, -0.2, 2.0, 7, 0.6, 4)  # w_loc, w_scale, b_loc, b_scale, rng_seed, learning_rate, num_steps
# Relative tolerance of means and factors: padding only reorders sums in float64.
RTOL = {"x64": 1e-9, "x32": 1e-4}


def both_fits(X, y, K, label_base=0):
    args = (X, y, K, label_base, *SETTINGS)
    return engine.fit(*args), learning.kelvra_softmax_fit(*args)


def assert_same_record(got, want, rtol):
    assert got.model_type == want.model_type and list(got.params) == list(want.params)
    for key, value in want.params.items():
        mine = got.params[key]
        assert type(mine) is type(value) and mine.dtype == value.dtype and mine.shape == value.shape, key
        if key in ("beta_mean", "beta_cov_chol"):
            scale = np.max(np.abs(value))
            assert np.max(np.abs(mine.astype(np.float64) - value)) <= rtol * scale, key
        else:
            assert mine.tolist() == value.tolist(), key


@pytest.mark.parametrize("precision", ["x64", "x32"])
@pytest.mark.parametrize("n, p, K", [(16, 3, 2), (17, 2, 3), (40, 5, 4)])
def test_fit_and_update_match_the_modules(request, precision, n, p, K):
    request.getfixturevalue(precision)
    X, y = ref.make_problem(n, p, K, seed=n + K)
    fitted, expected = both_fits(X, y, K)
    assert_same_record(fitted, expected, RTOL[precision])
    assert fitted.n_sweeps == SETTINGS[-1]
    # An update that grows the class set by two, one of them without a trial.
    X_new, y_new = X[:5], np.array([0, K + 1, 1, K + 1, 0])
    updated = engine.update(fitted, X_new, y_new)
    assert_same_record(updated, learning.kelvra_softmax_update(expected, X_new, y_new), RTOL[precision])
    assert updated.params["w_scale"] is fitted.params["w_scale"]


@pytest.mark.parametrize("precision, atol", [("x64", 1e-12), ("x32", 1e-5)])
def test_predictions_match_the_modules(request, precision, atol):
    request.getfixturevalue(precision)
    X, y = ref.make_problem(40, 3, 4, seed=5)
    model, _ = both_fits(X, y + 1, 4, label_base=1)
    for S in (1, 7):
        want = inference.kelvra_softmax_predict_proba(model, X, S, 3)
        got = engine.predict_proba(model, X, S, 3)
        assert got.dtype == want.dtype and got.shape == want.shape
        np.testing.assert_allclose(got, want, rtol=0, atol=atol)
        # The classes are well apart: no near-ties for rounding to flip.
        np.testing.assert_array_equal(engine.predict(model, X, S, 3), inference.kelvra_softmax_predict(model, X, S, 3))
    # Label samples come from the same keys, so they are the same labels.
    for n in (1, 13):
        np.testing.assert_array_equal(
            engine.predict_samples(model, X[:n], 5, 11), inference.kelvra_softmax_predict_samples(model, X[:n], 5, 11)
        )


def test_padding_rows_add_nothing(x64):
    # All-zero rows (bias column included) carry zero weight into every sum of
    # the binary update, whatever their target and offset.
    rng = np.random.default_rng(0)
    Xa = np.hstack([rng.normal(size=(11, 4)), np.ones((11, 1))])
    z, offset = (rng.random(11) < 0.5).astype(float), rng.normal(size=11)
    m0, m = rng.normal(size=5), rng.normal(size=5)
    A = rng.normal(size=(5, 5))
    prec0, S = np.eye(5) * 2.0, A @ A.T / 5 + np.eye(5)
    pad = lambda a, value: np.concatenate([a, np.full((5,) + a.shape[1:], value)])
    plain = engine._pg_binary_update(Xa, z, offset, m0, prec0, m, S)
    padded = engine._pg_binary_update(pad(Xa, 0.0), pad(z, 1.0), pad(offset, 3.0), m0, prec0, m, S)
    for a, b in zip(plain, padded, strict=True):
        np.testing.assert_allclose(b, a, rtol=1e-13, atol=0)
    # And a whole fit padded from 20 to 32 trials agrees with the unpadded float64 reference.
    X, y = ref.make_problem(20, 3, 3, seed=2)
    want = ref.fit(X, y, 3, 0, *SETTINGS[:4], SETTINGS[5], SETTINGS[6])
    ref.assert_matches(engine.fit(X, y, 3, 0, *SETTINGS).params, want, rtol=1e-10)


def test_compiles_once_per_shape_bucket():
    engine.clear_cache()
    X, y = ref.make_problem(64, 3, 3, seed=1)
    # 17 and 32 trials share the bucket of 32; settings and sweep counts are arguments.
    for n, lr, steps, w_scale in [(17, 0.5, 3, 1.0), (32, 1.0, 9, 0.3), (25, 0.2, 1, 5.0)]:
        engine.fit(X[:n], y[:n], 3, 0, 0.0, w_scale, 0.0, 1.0, 0, lr, steps)
    model = engine.fit(X[:17], y[:17], 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 0.5, 3, tol=1e-3)
    for n in (1, 5, 16):
        engine.update(model, X[:n], y[:n], rule="once", tol=1e-4 * n)
        engine.predict_proba(model, X[:n], 1, n)
    info = engine.cache_info()
    assert (info["misses"], info["size"]) == (4, 4)  # fit, fit with tol, update, probabilities
    assert info["hits"] == 2 + 2 * 2
    engine.clear_cache()
    # The generation counts the four functions that left with the clear.
    assert engine.cache_info() == {
        "hits": 0,
        "misses": 0,
        "size": 0,
        "max_size": info["max_size"],
        "generation": info["generation"] + 4,
    }


# By the mode, a fit whose trials all stay in the memory (30) compiles
# another function than one that folds some into the anchor (100).
@pytest.mark.parametrize("rule, n", [("once", 30), ("mode", 30), ("mode", 100)])
def test_precompile_leaves_nothing_to_compile(rule, n):
    engine.clear_cache()
    compiled = engine.precompile(3, 3, fit_trials=n, update_trials=2, num_posterior_samples=4, rule=rule)
    assert len(compiled) == 3
    misses = engine.cache_info()["misses"]
    X, y = ref.make_problem(n, 3, 3, seed=4)
    if rule == "mode":
        model = engine.fit(X, y, 3, 0, rng_seed=0, **defaults.FIT)
    else:
        model = engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 0.5, 5)
    model = engine.update(model, X[:2], y[:2], rule=rule)
    engine.predict_proba(model, X[:2], 4, 0)
    assert engine.cache_info()["misses"] == misses


def test_sweeps_stop_at_convergence(x64):
    X, y = ref.make_problem(60, 3, 3, seed=6, sep=1.0)
    capped = engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 0.7, 300)
    converged = engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 0.7, 300, tol=1e-8)
    assert 1 < converged.n_sweeps < 300
    np.testing.assert_allclose(converged.params["beta_mean"], capped.params["beta_mean"], rtol=1e-6, atol=1e-7)
    # tol 0 never counts as converged: the cap is run in full.
    assert engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 0.7, 4, tol=0.0).n_sweeps == 4
    for rule in ("once", "resweep"):
        assert 1 <= engine.update(converged, X[:9], y[:9], rule=rule, tol=1e-6).n_sweeps <= 300


def test_threads_get_the_serial_results():
    X, y = ref.make_problem(50, 4, 3, seed=8)
    model = engine.fit(X, y, 3, 0, *SETTINGS)
    # Two calls of each kind per compiled function, with different data.
    jobs = [lambda i=i: engine.fit(X[: 20 + i], y[: 20 + i], 3, 0, *SETTINGS).params["beta_mean"] for i in range(2)]
    jobs += [
        lambda i=i: engine.update(model, X[i : i + 3], y[i : i + 3], rule="once").params["beta_cov_chol"]
        for i in range(2)
    ]
    jobs += [lambda i=i: engine.predict_proba(model, X, 3, i) for i in range(2)]
    jobs += [lambda i=i: engine.predict_samples(model, X[i : i + 2], 3, i) for i in range(2)]
    serial = [job() for job in jobs]
    engine.clear_cache()  # the threads also race to compile
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        threaded = list(pool.map(lambda job: job(), jobs * 3))
    for got, want in zip(threaded, serial * 3, strict=True):
        np.testing.assert_array_equal(got, want)


def test_threads_asking_for_one_shape_compile_it_once(monkeypatch):
    traced = []
    jit = jax.jit
    monkeypatch.setattr(jax, "jit", lambda function: traced.append(function.__name__) or jit(function))
    session = lambda _: engine.precompile(4, 3, rule="mode", memory=8)
    engine.clear_cache()
    session(0)
    alone, traced[:] = sorted(traced), []
    engine.clear_cache()
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(session, range(4)))
    # The threads that came second waited for the first one's compile.
    assert sorted(traced) == alone


X0, Y0 = ref.make_problem(12, 2, 3, seed=3)
FIT_ARGS = (X0, Y0, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 0.5, 2)
NAN = float("nan")


def fit_with(**changes):
    names = [
        "X",
        "y",
        "n_classes",
        "label_base",
        "w_loc",
        "w_scale",
        "b_loc",
        "b_scale",
        "rng_seed",
        "learning_rate",
        "num_steps",
    ]
    return {**dict(zip(names, FIT_ARGS, strict=True)), **changes}


@pytest.mark.parametrize(
    "changes",
    [
        dict(X=X0[:, 0]),
        dict(y=Y0[:, None]),
        dict(X=X0[:5]),
        dict(n_classes=1, label_base=3),
        dict(label_base=2),
        dict(w_scale=0.0, b_scale=-1.0),
        dict(b_scale=NAN),
        dict(learning_rate=1.5),
        dict(num_steps=0),
        dict(y=Y0 + 1),
        dict(num_steps=2**31),
        dict(rng_seed=2**63),
        dict(w_loc=np.inf),
        dict(w_scale=1e30),
        dict(X=np.where(X0 > 1, np.nan, X0)),
        dict(n_classes="3"),
        dict(w_scale="s"),
    ],
)
def test_fit_refuses_what_the_module_refuses(changes):
    args = fit_with(**changes)
    with pytest.raises(Exception) as module_error:
        learning.kelvra_softmax_fit(**args)
    with pytest.raises(type(module_error.value)) as engine_error:
        engine.fit(**args)
    assert str(engine_error.value) == str(module_error.value).replace("kelvra_softmax_fit", "fit")


@pytest.fixture(scope="module")
def fitted():
    return engine.fit(*FIT_ARGS)


@pytest.mark.parametrize(
    "X, y",
    [(X0[0], Y0), (X0, Y0[:, None]), (X0, Y0[:5]), (X0, Y0 - 1), (X0 * np.inf, Y0), (X0[:2], np.array([0, 2**40]))],
)
def test_update_refuses_what_the_module_refuses(fitted, X, y):
    with pytest.raises(Exception) as module_error:
        learning.kelvra_softmax_update(fitted, X, y)
    with pytest.raises(type(module_error.value)) as engine_error:
        engine.update(fitted, X, y)
    assert str(engine_error.value) == str(module_error.value)


@pytest.mark.parametrize(
    "X, S, seed", [(X0[0], 1, 0), (X0, 0, 0), (X0, 2**31, 0), (X0, 2, 2**64), (np.full((2, 2), np.nan), 1, 0)]
)
@pytest.mark.parametrize("name", ["predict_proba", "predict", "predict_samples"])
def test_predictions_refuse_what_the_module_refuses(fitted, name, X, S, seed):
    with pytest.raises(Exception) as module_error:
        getattr(inference, "kelvra_softmax_" + name)(fitted, X, S, seed)
    with pytest.raises(type(module_error.value)) as engine_error:
        getattr(engine, name)(fitted, X, S, seed)
    assert str(engine_error.value) == str(module_error.value)


@pytest.mark.parametrize(
    "params, message",
    [
        (dict(non_ref_classes=np.array([1, 7])), "non_ref_classes"),
        (dict(beta_mean=np.full((2, 3), np.nan, np.float32)), "beta_mean"),
        (dict(n_classes=np.array(0)), "n_classes"),
    ],
)
@pytest.mark.parametrize("call", [lambda m: engine.update(m, X0, Y0), lambda m: engine.predict_proba(m, X0, 2, 0)])
def test_damaged_records_are_refused(fitted, params, message, call):
    model = KelvraModel(model_type="kelvra_softmax", params={**fitted.params, **params})
    with pytest.raises(ValueError, match=message):
        call(model)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: engine.update(), "update() takes at least 3 positional arguments (0 given)"),
        (lambda: engine.update(*[None] * 8), "update() takes at most 7 positional arguments (8 given)"),
        (lambda: engine.fit(*[None] * 10), "fit() takes at least 11 positional arguments (10 given)"),
        (lambda: engine.cache_info(1), "cache_info() takes exactly 0 positional arguments (1 given)"),
        (lambda: engine.update(None, None, rule="once"), "update() takes at least 3 positional arguments (2 given)"),
    ],
)
def test_optional_parameters_bind(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


@pytest.mark.parametrize("bad, error", [("twice", ValueError), (3, ValueError)])
def test_update_rule_is_checked(fitted, bad, error):
    with pytest.raises(error, match="rule must be 'mode', 'once' or 'resweep'"):
        engine.update(fitted, X0, Y0, rule=bad)


def test_persistent_cache_is_opt_in(tmp_path, monkeypatch):
    before = jax.config.jax_compilation_cache_dir
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    try:
        assert engine.enable_persistent_cache() == str(tmp_path / "xdg" / "kelvra_bci" / "jax")
        folder = engine.enable_persistent_cache(tmp_path / "mine")
        assert folder == str(tmp_path / "mine") == jax.config.jax_compilation_cache_dir
        assert (tmp_path / "mine").is_dir()
    finally:
        jax.config.update("jax_compilation_cache_dir", before)
