"""Bad input to every public callable: the documented exception, in one line, and never a non-finite success.

One table per kind of callable (fit, update, predictions, engine records, estimator; the command line's
are in test_cli.py); each
row is one hostile value. Rows whose refusal happens before any JAX computation are cheap, so the tables
run them through the learning and inference modules as well as the engine; rows that reach JAX use the
engine, whose compiled functions are shared by every test that uses the same shapes (6 trials, 2 features,
3 classes). Requests too large for the machine run in child processes under a memory cap.
"""

import copy
import os
import re
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest
from hostile import DOCUMENTED, ShiftingRecord, finite_result

from kelvra_bci.errors import InputError
from kelvra_bci.models.kelvra_softmax import engine, inference, learning
from kelvra_bci.record import KelvraModel, RecordError

pytestmark = pytest.mark.usefixtures("x32")

RNG = np.random.default_rng(7)
X0 = RNG.normal(size=(6, 2))
Y0 = np.array([0, 1, 2, 0, 1, 2])
NAN_X = np.where(np.eye(6, 2, dtype=bool), np.nan, X0)
INF_X = np.where(np.eye(6, 2, dtype=bool), -np.inf, X0)
OBJECTS = np.array([[object(), object()]] * 6, dtype=object)
# Features 1e5 above zero are ordinary in uncentred recordings; float32 sweeps must still end in a
# finite model, or the fit say why not.
OFFSET_X = X0 + 1e5
# [0, 2**31 - 2]: beyond any machine's memory at 3 coefficients per class, within the int32 class index.
UNAFFORDABLE_LABEL = 2**31 - 2

# The fit's arguments in their order, with values that fit.
FIT_DEFAULTS = {"X": X0, "y": Y0, "n_classes": 3, "label_base": 0, "w_loc": 0.0, "w_scale": 1.0, "b_loc": 0.0}
FIT_DEFAULTS |= {"b_scale": 1.0, "rng_seed": 0, "learning_rate": 0.5, "num_steps": 20}

FITS = [pytest.param(engine.fit, id="engine"), pytest.param(learning.kelvra_softmax_fit, id="module")]
UPDATES = [pytest.param(engine.update, id="engine"), pytest.param(learning.kelvra_softmax_update, id="module")]
PREDICTIONS = [
    pytest.param(getattr(where, prefix + name), id=f"{tag}-{name}")
    for where, prefix, tag in ((engine, "", "engine"), (inference, "kelvra_softmax_", "module"))
    for name in ("predict_proba", "predict", "predict_samples")
]


def _fit_args(**changes):
    return list({**FIT_DEFAULTS, **changes}.values())


def refused(call, error, match):
    """The call raises `error` with a one-line message matching `match`; returns the exception."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # casts of hostile values may warn on the way to the refusal
        with pytest.raises(error) as info:
            call()
    message = str(info.value)
    assert "\n" not in message, message
    assert re.search(match, message), message
    return info.value


def refused_or_finite(call):
    """The call is refused with a documented one-line error, or returns nothing but finite numbers.

    For inputs a fix may handle either way: refuse them, or compute a sound result.
    """
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = call()
        except DOCUMENTED as exc:
            assert "\n" not in str(exc), str(exc)
            return exc
    assert finite_result(result), f"non-finite result returned as success: {result}"
    return result


def _record(model, **changes):
    return KelvraModel(model_type="kelvra_softmax", params={**model.params, **changes})


@pytest.fixture
def model(x32):
    return engine.fit(*_fit_args(num_steps=3))


# ------------------------------------------------------------------ fit

OVERFLOW = "an int() or float() conversion raises OverflowError, which is neither a ValueError nor a TypeError"
# (changes, error, message): documented checks first, then the soundness checks that follow them.
FIT_CASES = [
    ({"X": X0[0]}, ValueError, r"^X must be 2D: \(n_trials, n_features\)$"),
    ({"X": X0[None]}, ValueError, r"^X must be 2D"),
    ({"X": None}, ValueError, r"^X must be 2D"),
    ({"X": [["a", "b"]] * 6}, ValueError, r"could not convert string to float"),
    ({"X": OBJECTS}, TypeError, r"float\(\) argument"),
    ({"y": Y0[:, None]}, ValueError, r"^y must be 1D: \(n_trials,\)$"),
    ({"y": None}, ValueError, r"^y must be 1D"),
    ({"y": Y0[:5]}, ValueError, r"^X and y must have same number of rows$"),
    ({"y": OBJECTS[:, 0]}, TypeError, r"int\(\) argument"),
    ({"n_classes": 1}, ValueError, r"^n_classes must be >= 2$"),
    ({"n_classes": -(2**63) - 1}, ValueError, r"^n_classes must be >= 2$"),
    ({"n_classes": None}, TypeError, r"Argument 'n_classes' has incorrect type"),
    ({"n_classes": "3"}, TypeError, r"Argument 'n_classes' has incorrect type"),
    ({"n_classes": float("nan")}, ValueError, r"NaN"),
    ({"label_base": 2}, ValueError, r"^label_base must be 0 or 1$"),
    ({"label_base": 2**63}, ValueError, r"^label_base must be 0 or 1$"),
    ({"label_base": None}, ValueError, r"^label_base must be 0 or 1$"),
    ({"label_base": "0"}, ValueError, r"^label_base must be 0 or 1$"),
    ({"label_base": 0.5}, ValueError, r"^label_base must be 0 or 1$"),
    *(
        ({key: bad}, ValueError, rf"^{key} must be > 0$")
        for key in ("w_scale", "b_scale")
        for bad in (0, -1.0, float("nan"), -float("inf"))
    ),
    *(
        ({key: bad}, ValueError, rf"^{key}=.* is out of range: the prior precision 1/{key}\*\*2 does not fit")
        for key in ("w_scale", "b_scale")
        for bad in (1e300, 1e-300)
    ),
    ({"w_scale": float("inf")}, ValueError, r"^w_scale must be finite$"),
    ({"b_scale": "1"}, TypeError, r"real number"),
    *(
        ({key: bad}, ValueError, rf"^{key} must be finite$")
        for key in ("w_loc", "b_loc")
        for bad in (float("nan"), float("inf"), -float("inf"))
    ),
    ({"w_loc": None}, TypeError, r"real number"),
    *(
        ({"learning_rate": bad}, ValueError, r"^learning_rate must be in \(0, 1\]$")
        for bad in (0, -0.5, 1.5, float("nan"), float("inf"), 2**63)
    ),
    *(({"num_steps": bad}, ValueError, r"^num_steps must be >= 1$") for bad in (0, -1, -(2**63) - 1)),
    *(({"num_steps": bad}, ValueError, r"^num_steps must be <= 2147483647$") for bad in (2**31, 2**63, 2**70)),
    ({"num_steps": "20"}, TypeError, r"Argument 'num_steps' has incorrect type"),
    *(
        ({"rng_seed": bad}, ValueError, r"^rng_seed must fit in a signed 64-bit integer$")
        for bad in (2**63, 2**70, -(2**63) - 1)
    ),
    ({"rng_seed": None}, TypeError, r"Argument 'rng_seed' has incorrect type"),
    # Labels outside 0..K-1, however they are spelled.
    *(
        ({"y": np.r_[Y0[:5], bad]}, ValueError, r"^y out of range for n_classes/label_base$")
        for bad in (-1, 3, float("nan"), 1e20, -1e20, 2**63 - 1, -(2**63))
    ),
    ({"y": np.array([0, 1, 2, 0, 1, 2**64 - 1], dtype=np.uint64)}, ValueError, r"^y out of range"),
    ({"y": Y0 + 1, "label_base": 0}, ValueError, r"^y out of range for n_classes/label_base$"),
    # Class counts no index type or memory holds.
    *(({"n_classes": bad}, ValueError, r"more than the 1000000 supported") for bad in (2**31, 2**63, 2**70, 10**12)),
    ({"X": np.zeros((6, 3000)), "n_classes": 10**6}, MemoryError, r"fitting n_classes=1000000 needs about"),
    # Non-finite and oversized features.
    ({"X": NAN_X}, ValueError, r"^X must not contain NaN or infinite values$"),
    ({"X": INF_X}, ValueError, r"^X must not contain NaN or infinite values$"),
    ({"X": X0 * 1e300}, ValueError, r"^X holds values too large for float32$"),
    # The documented checks come first, in their order; the soundness checks after all of them.
    ({"X": X0[0], "n_classes": 1, "w_scale": -1}, ValueError, r"^X must be 2D"),
    ({"n_classes": 1, "w_scale": -1}, ValueError, r"^n_classes must be >= 2$"),
    ({"w_scale": -1, "learning_rate": 0}, ValueError, r"^w_scale must be > 0$"),
    ({"w_loc": float("nan"), "num_steps": 0}, ValueError, r"^num_steps must be >= 1$"),
    ({"X": NAN_X, "y": np.r_[Y0[:5], 7]}, ValueError, r"^y out of range"),
    ({"X": NAN_X, "num_steps": 2**31}, ValueError, r"^num_steps must be <= 2147483647$"),
]


@pytest.mark.parametrize("fit", FITS)
@pytest.mark.parametrize("changes, error, message", FIT_CASES)
def test_fit_refuses(fit, changes, error, message):
    refused(lambda: fit(*_fit_args(**changes)), error, message)


@pytest.mark.parametrize(
    "tol, error, message",
    [
        *((bad, ValueError, r"^tol must be a finite number >= 0$") for bad in (-1.0, float("nan"), float("inf"))),
        ("0.1", TypeError, r"real number"),
    ],
)
def test_engine_fit_refuses_a_bad_tol(tol, error, message):
    refused(lambda: engine.fit(*_fit_args(), tol=tol), error, message)


# An X of no trials: the engine refuses it (test_edges.py), and the estimator and the command line before
# it gets there; the learning module has no check of its own yet and passes NumPy's "zero-size array"
# error through.
@pytest.mark.xfail(strict=True, reason="the learning module checks no trial count")
@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda m: learning.kelvra_softmax_fit(*_fit_args(X=X0[:0], y=Y0[:0])), id="fit"),
        pytest.param(lambda m: learning.kelvra_softmax_update(m, X0[:0], Y0[:0]), id="update"),
    ],
)
def test_module_refuses_no_trials(model, call):
    refused(lambda: call(model), ValueError, r"^X and y must hold at least one trial$")


# Numbers no integer or double holds: the learning and inference modules convert as int() and float() do,
# and their OverflowError escapes the documented types.
@pytest.mark.xfail(strict=True, reason=OVERFLOW)
@pytest.mark.parametrize(
    "call, argument",
    [
        pytest.param(
            lambda: learning.kelvra_softmax_fit(*_fit_args(num_steps=-float("inf"))),
            "num_steps",
            id="fit-num_steps-inf",
        ),
        pytest.param(
            lambda: inference.kelvra_softmax_predict(None, X0, float("inf"), 0),
            "num_posterior_samples",
            id="predict-S-inf",
        ),
    ],
)
def test_unrepresentable_numbers_are_refused(call, argument):
    # Refused as the argument's other out-of-range values are: in a line that names it.
    refused(call, (ValueError, TypeError), rf"\b{argument}\b")


# The engine refuses them as the caller's bad input, in one line that names the argument.
@pytest.mark.parametrize(
    "call, argument",
    [
        pytest.param(lambda: engine.fit(*_fit_args(n_classes=float("inf"))), "n_classes", id="fit-n_classes-inf"),
        pytest.param(lambda: engine.fit(*_fit_args(w_scale=2**2000)), "w_scale", id="fit-w_scale-2**2000"),
        pytest.param(lambda: engine.fit(*_fit_args(b_loc=-(2**2000))), "b_loc", id="fit-b_loc--2**2000"),
        pytest.param(lambda: engine.fit(*_fit_args(), tol=2**2000), "tol", id="fit-tol-2**2000"),
        pytest.param(
            lambda: engine.predict_samples(None, X0, 1, float("inf")), "rng_seed", id="predict_samples-seed-inf"
        ),
        pytest.param(lambda: engine.precompile(2, float("inf")), "n_classes", id="precompile-n_classes-inf"),
    ],
)
def test_engine_refuses_unrepresentable_numbers_as_input_errors(call, argument):
    refused(call, InputError, rf"\b{argument}\b")


# Inputs that pass every check: the sweeps must then end in a finite model, or the input be refused.
NON_FINITE_FITS = [
    pytest.param({"X": OFFSET_X}, id="features-offset-1e5"),
    pytest.param({"X": np.outer([1, -1, 1, -1, 1, -1], [1.0, 1.0]) * 1e7}, id="duplicated-features-1e7"),
    pytest.param({"X": X0 * 1e20}, id="features-1e20"),
    pytest.param({"w_loc": 1e300}, id="w_loc-beyond-float32"),
    pytest.param({"b_loc": 3e38}, id="b_loc-near-float32-max"),
    pytest.param({"w_scale": 1e-19}, id="w_scale-precision-1e38"),
]


@pytest.mark.parametrize("changes", NON_FINITE_FITS)
def test_fit_never_returns_a_non_finite_model(changes):
    refused_or_finite(lambda: engine.fit(*_fit_args(**changes)))


def test_module_fit_never_returns_a_non_finite_model():
    refused_or_finite(lambda: learning.kelvra_softmax_fit(*_fit_args(X=OFFSET_X)))


def test_float64_fit_never_returns_a_non_finite_model(x64):
    refused_or_finite(lambda: engine.fit(*_fit_args(X=X0 * 1e200)))


# Odd spellings the bindings convert: whatever they give must be a finite model.
@pytest.mark.parametrize(
    "changes",
    [
        {"X": X0 > 0},
        {"X": (X0 * 100).astype(np.int64)},
        {"X": X0.astype(np.float16)},
        {"y": Y0.astype(np.uint8)},
        {"y": Y0.astype(str)},
        {"n_classes": np.int8(3)},
        {"label_base": True, "y": Y0 + 1},
        {"label_base": np.float32(0)},
        {"w_scale": 1e18},
        {"b_scale": 1e-18},
        {"w_loc": 2**63},
        {"learning_rate": 1e-300},
        {"num_steps": 3.0},
        {"rng_seed": 2**63 - 1},
        {"rng_seed": -(2**63)},
    ],
)
def test_fit_conversions_give_finite_models(changes):
    assert isinstance(refused_or_finite(lambda: engine.fit(*_fit_args(**changes))), KelvraModel)


# ------------------------------------------------------------------ update

UPDATE_CASES = [
    ({"X": X0[0]}, ValueError, r"^X must be 2D: \(n_trials, n_features\)$"),
    ({"X": None}, ValueError, r"^X must be 2D"),
    ({"y": Y0[:, None]}, ValueError, r"^y must be 1D: \(n_trials,\)$"),
    ({"y": Y0[:5]}, ValueError, r"^X and y must have same number of rows$"),
    ({"y": [None] * 6}, TypeError, r"int\(\) argument"),
    *(
        ({"y": np.r_[Y0[:5], bad]}, ValueError, r"^y out of range for label_base$")
        for bad in (-1, float("nan"), 1e20, -1e20, -(2**63))
    ),
    ({"y": np.array([0, 1, 2, 0, 1, 2**64 - 1], dtype=np.uint64)}, ValueError, r"^y out of range for label_base$"),
    ({"X": NAN_X}, ValueError, r"^X must not contain NaN or infinite values$"),
    ({"X": INF_X}, ValueError, r"^X must not contain NaN or infinite values$"),
    ({"X": X0 * 1e300}, ValueError, r"^X holds values too large for float32$"),
    ({"X": NAN_X, "y": np.r_[Y0[:5], -1]}, ValueError, r"^y out of range for label_base$"),
    # Labels that would grow the model past any index type or memory.
    *(
        ({"y": np.r_[Y0[:5], bad]}, ValueError, rf"^label {bad} would grow the model to .* 1000000 supported")
        for bad in (10**6, 2**31, UNAFFORDABLE_LABEL, 2**63 - 1)
    ),
]


@pytest.mark.parametrize("update", UPDATES)
@pytest.mark.parametrize("changes, error, message", UPDATE_CASES)
def test_update_refuses(model, update, changes, error, message):
    args = {"X": X0, "y": Y0, **changes}
    refused(lambda: update(model, args["X"], args["y"]), error, message)


@pytest.mark.parametrize("update", UPDATES)
def test_update_reports_a_label_below_the_base(model, update):
    refused(
        lambda: update(_record(model, label_base=np.array(1)), X0[:1], [-(2**63)]),
        ValueError,
        r"^y out of range for label_base$",
    )


@pytest.mark.parametrize(
    "update",
    [
        pytest.param(engine.update, id="engine"),
        pytest.param(
            learning.kelvra_softmax_update,
            marks=pytest.mark.xfail(strict=True, reason="the module's update checks no feature count: JAX's leaks"),
            id="module",
        ),
    ],
)
@pytest.mark.parametrize("n_features", [0, 3])
def test_update_refuses_features_the_model_lacks(model, update, n_features):
    refused(
        lambda: update(model, np.ones((6, n_features)), Y0),
        ValueError,
        rf"^X has {n_features} features, but the model expects 2$",
    )


def test_update_never_returns_a_non_finite_model(model):
    refused_or_finite(lambda: engine.update(model, X0 * 1e20, Y0))


# ------------------------------------------------------------------ predictions

PREDICT_CASES = [
    ({"X": X0[0]}, ValueError, r"^X must be 2D: \(n_trials, n_features\)$"),
    ({"X": X0[None]}, ValueError, r"^X must be 2D"),
    ({"X": None}, ValueError, r"^X must be 2D"),
    ({"X": [["a", "b"]]}, ValueError, r"could not convert string to float"),
    ({"X": OBJECTS}, TypeError, r"float\(\) argument"),
    ({"X": NAN_X}, ValueError, r"^X must not contain NaN or infinite values$"),
    ({"X": INF_X}, ValueError, r"^X must not contain NaN or infinite values$"),
    *(({"S": bad}, ValueError, r"^num_posterior_samples must be >= 1$") for bad in (0, -1, -(2**63) - 1)),
    *(({"S": bad}, ValueError, r"^num_posterior_samples must be <= 2147483647$") for bad in (2**31, 2**63, 2**70)),
    ({"S": None}, TypeError, r"Argument 'num_posterior_samples' has incorrect type"),
    ({"S": "2"}, TypeError, r"Argument 'num_posterior_samples' has incorrect type"),
    ({"S": float("nan")}, ValueError, r"NaN"),
    *(
        ({"seed": bad}, ValueError, r"^rng_seed must fit in a signed 64-bit integer$")
        for bad in (2**63, 2**70, -(2**63) - 1)
    ),
    ({"seed": None}, TypeError, r"Argument 'rng_seed' has incorrect type"),
    # Checks in their order: the shape of X, then the sample count, then the values of X.
    ({"X": X0[0], "S": 0}, ValueError, r"^X must be 2D"),
    ({"X": NAN_X, "S": 0}, ValueError, r"^num_posterior_samples must be >= 1$"),
    ({"X": NAN_X, "seed": 2**63}, ValueError, r"^rng_seed must fit"),
]


@pytest.mark.parametrize("predict", PREDICTIONS)
@pytest.mark.parametrize("changes, error, message", PREDICT_CASES)
def test_predictions_refuse(model, predict, changes, error, message):
    args = {"X": X0, "S": 2, "seed": 0, **changes}
    refused(lambda: predict(model, args["X"], args["S"], args["seed"]), error, message)


@pytest.mark.parametrize(
    "predict_proba, S, scale",
    [
        # Beyond float32: the fit refuses such features, the predictions cast them to infinity.
        pytest.param(engine.predict_proba, 1, 1e39, id="engine-means-1e39"),
        pytest.param(engine.predict_proba, 2, 1e39, id="engine-draws-1e39"),
        pytest.param(inference.kelvra_softmax_predict_proba, 1, 1e39, id="module-means-1e39"),
        # Within float32, where the logits of drawn coefficients overflow.
        pytest.param(engine.predict_proba, 2, 3e38, id="engine-draws-3e38"),
    ],
)
def test_probabilities_are_finite_or_refused(model, predict_proba, S, scale):
    refused_or_finite(lambda: predict_proba(model, np.full((6, 2), scale), S, 0))


# X of no features against a model of 2: the draws' einsum would broadcast the bias column over
# every coefficient and answer for features that were never given.
@pytest.mark.parametrize("predict", PREDICTIONS)
def test_predictions_refuse_features_the_model_lacks(model, predict):
    refused(lambda: predict(model, np.ones((6, 0)), 2, 0), ValueError, r"^X has 0 features, but the model expects 2$")


@pytest.mark.parametrize("predict", PREDICTIONS[:3])
def test_predictions_of_no_trials_are_sound(model, predict):
    refused_or_finite(lambda: predict(model, np.zeros((0, 2)), 2, 0))


# ------------------------------------------------------------------ records handed to the engine

CHOL_UPPER = np.tril(np.ones((2, 3, 3))) + np.triu(np.ones((2, 3, 3)), 1) * 0.5
PREDICTION_RECORDS = [
    ({"non_ref_classes": np.array([1, 7])}, "non_ref_classes"),
    ({"non_ref_classes": np.array([1, 1])}, "non_ref_classes"),
    ({"beta_mean": np.full((2, 3), np.nan, np.float32)}, "beta_mean"),
    ({"beta_mean": np.zeros(3, np.float32)}, "beta_mean"),
    ({"beta_mean": np.zeros((2, 3), np.int64)}, "beta_mean"),
    ({"beta_mean": "abc"}, "beta_mean"),
    # Lists where the record holds arrays: the engine would call array methods on them.
    ({"beta_mean": [[0.0, 0.0, 0.0]] * 2, "beta_cov_chol": np.eye(3)[None].repeat(2, 0).tolist()}, "beta_mean"),
    ({"non_ref_classes": [1, 2]}, "non_ref_classes"),
    ({"beta_cov_chol": np.full((2, 3, 3), np.inf, np.float32)}, "beta_cov_chol"),
    ({"beta_cov_chol": CHOL_UPPER.astype(np.float32)}, "beta_cov_chol"),
    ({"beta_cov_chol": np.zeros((2, 3, 3), np.float32)}, "beta_cov_chol"),
    ({"beta_cov_chol": np.eye(3, dtype=np.float16)[None].repeat(2, 0)}, "beta_cov_chol"),
    ({"n_classes": np.array(0)}, "n_classes"),
    ({"n_classes": np.array(2**40)}, "n_classes"),
    ({"n_classes": np.array(3.0)}, "n_classes"),
    ({"ref_class": np.array(5)}, "ref_class"),
    ({"ref_class": np.array(-1)}, "ref_class"),
]
UPDATE_RECORDS = [
    ({"label_base": np.array(7)}, "label_base"),
    ({"num_steps": np.array(2**40)}, "num_steps"),
    ({"w_scale": np.array(0.0)}, "w_scale"),
    ({"b_loc": np.array(np.nan)}, "b_loc"),
    ({"learning_rate": np.array(2.0)}, "learning_rate"),
    ({"rng_seed": np.array(1.5)}, "rng_seed"),
    ({"class_counts": np.array([-1, 2, 2])}, "class_counts"),
    ({"class_counts": [2, 2, 2]}, "class_counts"),
    ({"backend": "other"}, "backend"),
]
ENGINE_CALLS = {
    "update": lambda m: engine.update(m, X0, Y0),
    "predict_proba": lambda m: engine.predict_proba(m, X0, 2, 0),
    "predict": lambda m: engine.predict(m, X0, 1, 0),
    "predict_samples": lambda m: engine.predict_samples(m, X0, 2, 0),
}


@pytest.mark.parametrize("call", ENGINE_CALLS.values(), ids=ENGINE_CALLS.keys())
@pytest.mark.parametrize("changes, key", PREDICTION_RECORDS)
def test_engine_refuses_a_damaged_record(model, call, changes, key):
    refused(lambda: call(_record(model, **changes)), RecordError, re.escape(repr(key)))


@pytest.mark.parametrize("changes, key", UPDATE_RECORDS)
def test_engine_update_refuses_a_damaged_setting(model, changes, key):
    refused(lambda: engine.update(_record(model, **changes), X0, Y0), RecordError, re.escape(repr(key)))


@pytest.mark.parametrize("call", ENGINE_CALLS.values(), ids=ENGINE_CALLS.keys())
def test_engine_refuses_a_record_without_a_mapping_or_key(model, call):
    refused(lambda: call(KelvraModel(model_type="kelvra_softmax", params=[1, 2])), RecordError, r"mapping")
    params = dict(model.params)
    del params["beta_mean"]
    refused(lambda: call(KelvraModel(model_type="kelvra_softmax", params=params)), RecordError, r"'beta_mean'")


@pytest.mark.parametrize("call", ENGINE_CALLS.values(), ids=ENGINE_CALLS.keys())
def test_engine_refuses_what_is_not_a_model(model, call):
    refused(lambda: call(dict(model.params)), TypeError, r"^model must be a KelvraModel, not dict$")


@pytest.mark.parametrize(
    "call, make",
    [
        pytest.param(
            ENGINE_CALLS["predict_proba"],
            lambda m: _record(m, beta_mean=np.full((2, 3), 3e38, np.float32)),
            id="proba-huge-means",
        ),
        pytest.param(
            ENGINE_CALLS["update"],
            lambda m: _record(m, beta_mean=np.full((2, 3), 3e38, np.float32)),
            id="update-huge-means",
        ),
        pytest.param(
            lambda m: engine.update(m, X0, np.r_[Y0[:5], 4]),
            lambda m: _record(m, w_loc=np.array(1e300)),
            id="growth-from-w_loc-1e300",
        ),
        pytest.param(
            ENGINE_CALLS["predict_proba"],
            lambda m: ShiftingRecord(m.params, {**m.params, "beta_mean": np.full((2, 3), np.nan, np.float32)}),
            id="proba-params-change",
        ),
    ],
)
def test_engine_results_of_checked_records_are_finite(model, call, make):
    refused_or_finite(lambda: call(make(model)))


# ------------------------------------------------------------------ engine session functions


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"n_features": -1}, ValueError, r"^n_features must be in \[0, 2147483647\]$"),
        ({"n_features": None}, TypeError, r"Argument 'n_features' has incorrect type"),
        ({"n_classes": 1}, ValueError, r"^n_classes must be >= 2$"),
        ({"n_classes": 10**12}, ValueError, r"more than the 1000000 supported"),
        ({"n_features": 10**6, "n_classes": 1000}, MemoryError, r"^precompiling for n_classes=1000 needs about"),
        *(
            ({key: bad}, ValueError, rf"^{key} must be None or an int in \[1, 2147483647\]$")
            for key in ("fit_trials", "update_trials", "num_posterior_samples")
            for bad in (0, 2**31, 2**63, True, 2.0, "8")
        ),
        *(
            ({"min_classes": bad}, ValueError, r"^min_classes must be None or an int in \[2, 2147483647\]$")
            for bad in (1, 2**31, True, 3.0)
        ),
        ({"rule": "twice"}, ValueError, r"^rule must be 'mode', 'once' or 'resweep'"),
        ({"tol": float("nan")}, ValueError, r"^tol must be a finite number >= 0$"),
        ({"tol": "0.1"}, TypeError, r"real number"),
        pytest.param(
            {"n_features": 2**63},
            ValueError,
            r"2147483647",
        ),
    ],
)
def test_precompile_refuses(kwargs, error, message):
    refused(lambda: engine.precompile(**{"n_features": 2, "n_classes": 3, **kwargs}), error, message)


@pytest.mark.parametrize(
    "path, error, message",
    [
        (3, TypeError, r"^expected str, bytes or os.PathLike object, not int$"),
        (["cache"], TypeError, r"^expected str, bytes or os.PathLike object, not list$"),
        ("a\0b", ValueError, r"embedded null byte"),
        ("/dev/null/cache", OSError, r"Not a directory: '/dev/null/cache'"),
    ],
)
def test_persistent_cache_refuses_a_bad_folder(path, error, message):
    # Refused before JAX's options change, so the process keeps running without a cache.
    refused(lambda: engine.enable_persistent_cache(path), error, message)


@pytest.mark.parametrize("call", [lambda: engine.cache_info(1), lambda: engine.clear_cache(None)])
def test_session_functions_take_no_arguments(call):
    refused(call, TypeError, r"takes exactly 0 positional arguments \(1 given\)$")


# ------------------------------------------------------------------ estimator


@pytest.fixture(scope="module")
def estimator_class():
    return pytest.importorskip("kelvra_bci.models.kelvra_softmax.estimator").KelvraSoftmaxClassifier


@pytest.fixture(scope="module")
def fitted_estimator(estimator_class):
    # The module's fit compiles on every call: fit once, hand each test its own copy.
    return estimator_class(num_steps=3).fit(X0, Y0)


PARAMETER = r"^The '{}' parameter of KelvraSoftmaxClassifier must be "


def _fit_case(settings, X, message, id, y=Y0):
    return pytest.param(settings, X, y[: len(X)], message, id=id)


ESTIMATOR_CASES = [
    _fit_case({}, INF_X, r"^Input X contains infinity", "X-inf"),
    _fit_case({}, NAN_X, r"^Input X contains NaN", "X-nan"),
    _fit_case({}, [["a", "b"]] * 6, r"dtype='numeric' is not compatible with arrays of bytes/strings", "X-strings"),
    _fit_case(
        {}, X0 + 1j, r"^Complex data not supported: X holds complex numbers; features must be real$", "X-complex"
    ),
    _fit_case({}, np.zeros((0, 2)), r"^X holds no trials; at least one is needed$", "X-no-trials"),
    _fit_case({}, X0[:, 0], r"^Expected 2D array, got 1D array instead", "X-1d"),
    _fit_case({}, X0 * 1e300, r"^X holds values too large for float32$", "X-1e300"),
    # Labels are classes as they are: a fraction is no class, and nothing rounds it to one.
    _fit_case({}, X0, r"^Unknown label type: continuous", "y-fractional", y=Y0 + 0.7),
    _fit_case({}, X0, r"^Complex data not supported: y holds complex numbers", "y-complex", y=Y0 + 1j),
    *(
        _fit_case({key: bad}, X0, PARAMETER.format(key), f"{key}={bad!r}")
        for key, bad in (
            ("w_scale", 0),
            ("w_scale", float("nan")),
            ("w_loc", float("inf")),
            ("learning_rate", 2),
            ("num_steps", 0),
            ("num_steps", 1.5),
            ("num_steps", 2**63),
            ("num_steps", "20"),
            ("num_posterior_samples", -3),
            ("num_posterior_samples", 0),
            ("num_posterior_samples", 2.5),
            ("tol", -1.0),
            ("update_rule", "twice"),
            ("random_state", 2**63),
        )
    ),
    # Within the parameter's range, beyond what float32 holds: the engine's own refusal.
    _fit_case({"b_scale": 1e-300}, X0, r"^b_scale=1e-300 is out of range", "b_scale=1e-300"),
]


@pytest.mark.parametrize("settings, X, y, message", ESTIMATOR_CASES)
def test_estimator_fit_refuses(estimator_class, settings, X, y, message):
    refused(lambda: estimator_class(**settings).fit(X, y), ValueError, message)


@pytest.mark.parametrize(
    "settings, call, message",
    [
        *(
            pytest.param(
                {"num_posterior_samples": bad},
                lambda est: est.predict_proba(X0),
                PARAMETER.format("num_posterior_samples"),
                id=f"samples-{bad!r}",
            )
            for bad in (0, 2**31, None, 2.5)
        ),
        pytest.param(
            {},
            lambda est: est.sample_predictive(X0, n_samples=2**40),
            r"^The 'n_samples' parameter of sample_predictive must be an int in the range \[1, 2147483647\]",
            id="n_samples-2**40",
        ),
        pytest.param({}, lambda est: est.predict_proba(INF_X), r"^Input X contains infinity", id="X-inf"),
        pytest.param(
            {},
            lambda est: est.predict(X0[:, :1]),
            r"^X has 1 features, but KelvraSoftmaxClassifier is expecting 2",
            id="X-too-few-features",
        ),
        pytest.param({}, lambda est: est.predict(np.zeros((0, 2))), r"^X holds no trials", id="X-no-trials"),
        pytest.param(
            {},
            lambda est: est.partial_fit(X0[:2], [0, 1], classes=[[0, 1]]),
            r"^classes must be a 1-D list of distinct labels$",
            id="classes-2d",
        ),
        pytest.param(
            {},
            lambda est: est.partial_fit(X0[:2], [0, 1], classes=[0, 7]),
            r"names classes not seen by the fitted estimator",
            id="classes-unseen",
        ),
        pytest.param(
            {},
            lambda est: type(est)(num_steps=3).partial_fit(X0, Y0, classes=[0, 1, 2, 2.5]),
            r"^Unknown label type: continuous",
            id="classes-fractional",
        ),
        pytest.param({}, lambda est: est.partial_fit(X0[:2], [0.5, 1]), r"^Unknown label type", id="y-fractional"),
        pytest.param(
            {"update_rule": "twice"},
            lambda est: est.partial_fit(X0, Y0),
            PARAMETER.format("update_rule"),
            id="update_rule-after-fit",
        ),
    ],
)
def test_fitted_estimator_refuses(fitted_estimator, settings, call, message):
    fitted = copy.deepcopy(fitted_estimator).set_params(**settings)
    refused(lambda: call(fitted), ValueError, message)


def test_estimator_never_fits_a_non_finite_model(estimator_class):
    refused_or_finite(lambda: estimator_class().fit(OFFSET_X, Y0).model_)


# ------------------------------------------------------------------ huge requests, in child processes

# Each child caps its address space, so that a request the checks let through fails there rather than
# on the machine, and prints one "case: ExceptionType: message" line per case.
CHILD_PRELUDE = textwrap.dedent("""
    import resource, sys, warnings
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    warnings.simplefilter("ignore")
    import numpy as np
    from kelvra_bci.kelvra_io import KelvraModel
    from kelvra_bci.models.kelvra_softmax import engine, inference, learning

    def record(K, d, n_trials=10):
        # A valid record made by hand, so that no child spends time compiling a fit.
        return KelvraModel(model_type="kelvra_softmax", params={
            "backend": np.array("pg_softmax_ref", dtype=object), "n_classes": np.array(K),
            "label_base": np.array(0), "ref_class": np.array(0), "non_ref_classes": np.arange(1, K),
            "beta_mean": np.zeros((K - 1, d), np.float32),
            "beta_cov_chol": np.broadcast_to(np.eye(d, dtype=np.float32), (K - 1, d, d)).copy(),
            "w_loc": np.array(0.0), "w_scale": np.array(1.0), "b_loc": np.array(0.0), "b_scale": np.array(1.0),
            "rng_seed": np.array(0), "learning_rate": np.array(0.5), "num_steps": np.array(2),
            "class_counts": np.full(K, n_trials // K)})

    def run(name, call):
        try:
            call()
            print(f"{name}: accepted", flush=True)
        except Exception as exc:
            print(f"{name}: {type(exc).__name__}: {exc}".replace("\\n", " | "), flush=True)
""")

CHILDREN = {
    # The requests the checks must refuse before allocating anything: K=10 classes, 65 features, 1000 trials.
    "huge": (
        60,
        """
        rng = np.random.default_rng(0)
        m, X, y = record(10, 66), rng.normal(size=(1000, 65)), np.arange(1000) % 10
        for where, prefix in ((engine, ""), (inference, "kelvra_softmax_")):
            for name in ("predict_samples", "predict_proba", "predict"):
                run(f"{where.__name__}.{name}", lambda: getattr(where, prefix + name)(m, X, 2 * 10**7, 0))
        run("engine.update", lambda: engine.update(m, X[:2], [0, 10**9]))
        run("learning.update", lambda: learning.kelvra_softmax_update(m, X[:2], [0, 10**9]))
        fit_args = (0.0, 1.0, 0.0, 1.0, 0, 0.5, 20)
        run("engine.fit", lambda: engine.fit(X, y, 10**7, 0, *fit_args))
        run("learning.fit", lambda: learning.kelvra_softmax_fit(X, y, 10**7, 0, *fit_args))
    """,
    ),
    # Class counts that fit in memory at one feature, but whose sweeps take hours: K**2 work per sweep.
    "fit_classes": (
        30,
        """
        run("engine.fit", lambda: engine.fit(np.arange(4.0)[:, None], [0, 1, 0, 1], 10**7, 0,
                                             0.0, 1.0, 0.0, 1.0, 0, 0.5, 1))
    """,
    ),
    "grow_classes": (
        30,
        """
        run("engine.update", lambda: engine.update(record(2, 2), np.ones((2, 1)), [0, 10**7]))
    """,
    ),
    # A request within the machine's free memory but beyond the process's address-space limit.
    "address_space": (
        60,
        """
        available = int(next(line.split()[1] for line in open("/proc/meminfo") if line.startswith("MemAvailable")))
        if available < 16 << 20:  # kB: the check would refuse the request for the machine's sake already
            print("skip: not enough free memory to tell the limits apart", flush=True)
            sys.exit(0)
        rng = np.random.default_rng(0)
        m, X = record(10, 66), rng.normal(size=(1000, 65))
        run("engine.predict_proba", lambda: engine.predict_proba(m, X, 48_000, 0))
    """,
    ),
}


@pytest.fixture(scope="module")
def children():
    """Starts every child at once (they spend their time waiting or computing alone); name -> (status, output)."""
    started = {
        name: (
            time.monotonic() + timeout,
            subprocess.Popen(
                [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body)],
                stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT,
                text=True,
                env={**os.environ, "JAX_PLATFORMS": "cpu"},
            ),
        )
        for name, (timeout, body) in CHILDREN.items()
    }
    results = {}

    def result(name):
        if name not in results:
            deadline, process = started[name]
            try:
                output, _ = process.communicate(timeout=max(deadline - time.monotonic(), 0))
                results[name] = (process.returncode, output)
            except subprocess.TimeoutExpired:
                process.kill()
                output, _ = process.communicate()
                results[name] = (f"no answer within {CHILDREN[name][0]} s", output)
        return results[name]

    yield result
    for _, process in started.values():
        if process.poll() is None:
            process.kill()
            process.wait()


def _refusals(status, output):
    assert status == 0, f"child ended with {status}:\n{output}"
    return dict(line.split(": ", 1) for line in output.splitlines() if ": " in line)


def test_huge_requests_are_refused_without_harm(children):
    cases = _refusals(*children("huge"))
    assert len(cases) == 10, cases
    for name, outcome in cases.items():
        assert re.match(r"(MemoryError|ValueError|InputError): .*(memory|supported)", outcome), f"{name}: {outcome}"


@pytest.mark.parametrize("name", ["fit_classes", "grow_classes"])
def test_absurd_class_counts_are_refused_promptly(children, name):
    (outcome,) = _refusals(*children(name)).values()
    assert re.match(r"(MemoryError|ValueError|InputError): ", outcome), outcome


def test_memory_check_honours_the_process_limit(children):
    status, output = children("address_space")
    if output.startswith("skip:"):
        pytest.skip(output.strip())
    (outcome,) = _refusals(status, output).values()
    assert outcome.startswith("MemoryError: "), outcome
