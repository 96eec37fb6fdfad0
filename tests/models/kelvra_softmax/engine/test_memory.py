"""The memory of a record of method "mode": checked like the rest of the record; an anchor that restores the past."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import softmax_reference as ref

from kelvra_bci.errors import InputError
from kelvra_bci.modelfiles import ModelFileError
from kelvra_bci.models.kelvra_softmax import engine
from kelvra_bci.record import MEMORY_KEYS, KelvraModel, RecordError, check_softmax_params


def fit(X, y, K, w_loc=0.0, w_scale=1.0, b_loc=0.0, b_scale=1e4, memory=None, tol=1e-10):
    return engine.fit(X, y, K, 0, w_loc, w_scale, b_loc, b_scale, 0, 1.0, 100, tol=tol, method="mode", memory=memory)


@pytest.fixture(scope="module")
def remembering():
    """A record of 3 classes and 2 features whose memory holds 8 trials and whose anchor holds 32."""
    X, y = ref.make_problem(48, 2, 3, seed=5)
    return fit(X[:40], y[:40], 3, memory=8), X[40:], y[40:]


def changed(model, key, value):
    return KelvraModel(model_type=model.model_type, params={**model.params, key: value})


def _asymmetric(p):
    h = np.array(p["anchor_hessian"], copy=True)
    h[0, 1] += 1.0 + abs(h[0, 1])
    return h


def _entry(p, key, index, value):
    arr = np.array(p[key], copy=True)
    arr[index] = value
    return arr


# Each bad memory: the entry changed, how, and the entry the refusal names.
BAD_MEMORIES = {
    "memory_size 2**62": ("memory_size", lambda p: np.int64(2**62), "memory_size"),
    "memory_size 2**64-1": ("memory_size", lambda p: np.uint64(2**64 - 1), "memory_size"),
    "memory_size below its trials": ("memory_size", lambda p: np.int64(4), "memory_X"),
    "label 99": ("memory_y", lambda p: _entry(p, "memory_y", 0, 99), "memory_y"),
    "label -1": ("memory_y", lambda p: _entry(p, "memory_y", 0, -1), "memory_y"),
    "label K": ("memory_y", lambda p: _entry(p, "memory_y", 0, 3), "memory_y"),
    "fractional labels": ("memory_y", lambda p: p["memory_y"] + 0.5, "memory_y"),
    "NaN features": ("memory_X", lambda p: _entry(p, "memory_X", (0, 0), np.nan), "memory_X"),
    "weight 2": ("memory_weight", lambda p: _entry(p, "memory_weight", 0, 2.0), "memory_weight"),
    "trials of two lengths": ("memory_y", lambda p: p["memory_y"][:-1], "memory_y"),
    "shift 1e30": ("anchor_shift", lambda p: _entry(p, "anchor_shift", 0, 1e30), "anchor_shift"),
    "shift -1e30": ("anchor_shift", lambda p: _entry(p, "anchor_shift", 0, -1e30), "anchor_shift"),
    "asymmetric hessian": ("anchor_hessian", _asymmetric, "anchor_hessian"),
    "NaN hessian": ("anchor_hessian", lambda p: _entry(p, "anchor_hessian", (0, 0), np.nan), "anchor_hessian"),
    "negative-definite hessian": ("anchor_hessian", lambda p: -p["anchor_hessian"], "anchor_hessian"),
    "tilt 1e30": ("anchor_tilt", lambda p: _entry(p, "anchor_tilt", (0, 0, 0), 1e30), "anchor_tilt"),
    "hessian of other rows": ("anchor_hessian", lambda p: p["anchor_hessian"][:-1, :-1], "anchor_hessian"),
    "scale follows 2": ("w_scale_follows", lambda p: np.int64(2), "w_scale_follows"),
    "NaN scale direction": ("scale_direction", lambda p: np.array([np.nan, 0.0]), "scale_direction"),
}


@pytest.mark.parametrize("case", list(BAD_MEMORIES))
def test_a_bad_memory_is_refused_in_one_line_naming_it_before_any_update_and_on_load(x64, remembering, case, tmp_path):
    model, X, y = remembering
    key, make, named = BAD_MEMORIES[case]
    bad = changed(model, key, make(model.params))
    for rule in ("mode", "once"):
        with pytest.raises(RecordError, match=named) as info:
            engine.update(bad, X, y, rule=rule)
        assert "\n" not in str(info.value)
    with pytest.raises(RecordError, match=named):
        engine.predict_proba_moderated(bad, X)
    # A file keeps exact dtypes and is checked as it is read.
    path = tmp_path / "model.npz"
    bad.save(path)
    with pytest.raises(ModelFileError, match=named):
        KelvraModel.load(path)


# The anchor's values are checked while the compiled call runs; a bad anchor
# must still be named before any complaint about the call's other arguments.
BAD_CALLS = {
    "update, features of another model": lambda m, X, y: engine.update(m, np.hstack([X, X]), y, rule="mode"),
    "update, memory 0": lambda m, X, y: engine.update(m, X, y, rule="mode", memory=0),
    "moderated, features of another model": lambda m, X, y: engine.predict_proba_moderated(m, np.hstack([X, X])),
}


@pytest.mark.parametrize("call", list(BAD_CALLS))
@pytest.mark.parametrize("case", ["NaN hessian", "tilt 1e30", "shift 1e30"])
def test_a_bad_anchor_is_named_before_the_calls_other_faults(x64, remembering, call, case):
    model, X, y = remembering
    key, make, named = BAD_MEMORIES[case]
    with pytest.raises((ValueError, InputError)) as sound:
        BAD_CALLS[call](model, X, y)
    assert not isinstance(sound.value, RecordError)
    with pytest.raises(RecordError, match=named):
        BAD_CALLS[call](changed(model, key, make(model.params)), X, y)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("relative, refused", [(1e-5, False), (1e-2, True)])
def test_the_anchor_symmetry_is_judged_by_its_slack_in_any_stored_precision(x64, remembering, dtype, relative, refused):
    # The check works in the stored precision: its rounding
    # must neither refuse a sound anchor nor let a skewed one through.
    model, _, _ = remembering
    h = np.array(model.params["anchor_hessian"], dtype=np.float64)
    scale = np.abs(h).max()
    h[0, 1] += relative * scale
    params = {**model.params, "anchor_hessian": h.astype(dtype)}
    if refused:
        with pytest.raises(RecordError, match="'anchor_hessian' is not symmetric"):
            check_softmax_params(params)
    else:
        check_softmax_params(params)


def test_a_memory_missing_an_entry_is_refused_and_a_sound_one_travels_through_a_file(x64, remembering, tmp_path):
    model, X, y = remembering
    params = dict(model.params)
    del params["anchor_tilt"]
    with pytest.raises(RecordError, match="lacks 'anchor_tilt'"):
        engine.update(KelvraModel(model_type=model.model_type, params=params), X, y, rule="mode")
    model.save(tmp_path / "model.npz")
    loaded = KelvraModel.load(tmp_path / "model.npz")
    assert set(MEMORY_KEYS) <= set(loaded.params)
    np.testing.assert_array_equal(
        engine.update(loaded, X, y, rule="mode").params["beta_mean"],
        engine.update(model, X, y, rule="mode").params["beta_mean"],
    )


def _coupled_prior(K, d, w_scale, b_scale):
    diag = np.full(d, w_scale**-2.0)
    diag[-1] = b_scale**-2.0
    k = K - 1
    return np.kron(np.eye(k) - np.ones((k, k)) / K, np.diag(diag))


@pytest.mark.parametrize("K", [2, 3, 5])
def test_a_record_without_a_memory_is_restored_exactly_by_prior_and_anchor(x64, K):
    # More features than trials: directions no trial touches are held by the
    # prior alone, which the anchor must neither cancel nor count twice.
    X, y = ref.make_problem(40, 40, K, seed=K)
    y[:K] = np.arange(K)
    model = fit(X[:12], y[:12], K, b_scale=10.0)
    once = engine.update(model, X[12:20], y[12:20], rule="once")
    # The sweeps leave the memory behind their class counts: it is not trusted.
    assert int(once.params["memory_trials"]) < int(np.sum(once.params["class_counts"]))
    moded = engine.update(once, X[20:24], y[20:24], rule="mode", tol=1e-10)
    # Nothing left the memory: the anchor written back is the one the update started from.
    d = X.shape[1] + 1
    chol = np.asarray(once.params["beta_cov_chol"])
    stored = np.linalg.inv(chol @ chol.transpose(0, 2, 1))
    restored = _coupled_prior(K, d, 1.0, 10.0) + moded.params["anchor_hessian"]
    want = np.zeros_like(restored)
    for r in range(K - 1):
        want[r * d : (r + 1) * d, r * d : (r + 1) * d] = stored[r]
    np.testing.assert_allclose(restored, want, atol=1e-8 * np.abs(want).max())
    # And the result is close to a refit on every trial.
    refit = fit(X[:24], y[:24], K, b_scale=10.0)
    got = engine.predict_proba(moded, X[:24], 1, 0)
    assert np.all(np.isfinite(got))
    assert np.max(np.abs(got - engine.predict_proba(refit, X[:24], 1, 0))) < 0.15


@pytest.mark.parametrize("path", ["fit", "fallback anchor", "class joining"])
def test_a_dominating_prior_puts_every_row_at_its_weight_and_bias_locations(x64, path):
    # w_loc and b_loc travel to the right places: swapped, the rows would show it.
    X, y = ref.make_problem(30, 3, 3, seed=9)
    strong = dict(w_loc=0.3, w_scale=1e-3, b_loc=-0.7, b_scale=1e-3)
    if path == "fit":
        model = fit(X, y, 3, **strong)
    elif path == "fallback anchor":
        model = engine.update(fit(X[:20], y[:20], 3, **strong), X[20:], y[20:], rule="once")
        model = engine.update(model, X[:5], y[:5], rule="mode", tol=1e-12)
    else:
        early = y < 2
        model = engine.update(fit(X[early], y[early], 2, **strong), X[~early], y[~early], rule="mode", tol=1e-12)
        assert int(model.params["n_classes"]) == 3
    want = np.r_[np.full(3, 0.3), -0.7]
    np.testing.assert_allclose(model.params["beta_mean"], np.tile(want, (2, 1)), atol=1e-3)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda X, y: fit(X, y, 10_000), "operations"),
        (lambda X, y: engine.precompile(3, 10**6, rule="mode"), "cache keeps"),
        (lambda X, y: engine.precompile(3, 300, rule="mode", min_classes=2), "cache keeps"),
        (lambda X, y: engine.precompile(3, 10_000, rule="mode", min_classes=10_000), "operations"),
        (lambda X, y: engine.precompile(3, 4, rule="mode", memory=10**6), "memory must be"),
        (lambda X, y: engine.update(fit(X, y, 3), X, y, rule="modes"), "'mode', 'once' or 'resweep'"),
        (lambda X, y: engine.update(fit(X, y, 3), X, y, rule="mode", forgetting=True), "forgetting"),
        (lambda X, y: engine.update(fit(X, y, 3), X, y, rule="mode", tol=True), "tol"),
    ],
)
def test_work_beyond_the_bound_and_bad_settings_are_refused_before_compiling(call, message):
    X, y = ref.make_problem(24, 3, 3, seed=1)
    misses = engine.cache_info()["misses"]
    with pytest.raises(InputError, match=message) as info:
        call(X, y)
    assert "\n" not in str(info.value)
    if "precompile" in message or message in ("operations", "cache keeps"):
        assert engine.cache_info()["misses"] == misses


FORK_DURING_COMPILE = textwrap.dedent(
    """
    import os, sys, threading, time
    import numpy as np
    from kelvra_bci.models.kelvra_softmax import engine

    rng = np.random.default_rng(0)
    X, y = rng.standard_normal((20, 3)), np.arange(20) % 3
    model = engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 10.0, 0, 1.0, 20, method="mode")
    engine.predict_proba(model, X, 1, 0)
    ahead = threading.Thread(target=engine.precompile, args=(3, 7), kwargs=dict(rule="mode", min_classes=7))
    ahead.start()
    time.sleep(0.2)
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        answers = []
        answers.append("known:" + str(engine.predict_proba(model, X, 1, 0).shape))
        try:
            engine.update(model, X, np.full(20, 6), rule="mode")
            answers.append("new:compiled")
        except RuntimeError as exc:
            answers.append("new:" + str(exc))
        os.write(write, "|".join(answers).encode())
        os._exit(0)
    os.close(write)
    _, status = os.waitpid(pid, 0)
    print(os.read(read, 4096).decode())
    ahead.join()
    """
)


def test_a_child_forked_during_a_compile_runs_what_is_compiled_and_refuses_a_compile_in_one_line():
    done = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", FORK_DURING_COMPILE],
        capture_output=True,
        text=True,
        timeout=240,
        env={**os.environ, "JAX_PLATFORMS": "cpu"},
    )
    assert done.returncode == 0, done.stderr
    known, new = done.stdout.strip().splitlines()[-1].split("|")
    assert known == "known:(20, 3)"
    assert new.startswith("new:this process was forked") and "'spawn' or 'forkserver'" in new
