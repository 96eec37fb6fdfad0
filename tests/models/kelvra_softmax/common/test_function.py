"""The callable type of the extension modules: binding, conversion, attributes."""

import contextlib
import copy
import ctypes
import gc
import importlib
import math
import pickle
import re
import sys
import traceback
import tracemalloc
import weakref

import numpy as np
import pytest

from kelvra_bci.kelvra_io import KelvraModel

LEARNING = "kelvra_bci.models.kelvra_softmax.learning"
INFERENCE = "kelvra_bci.models.kelvra_softmax.inference"

FIT_DOC = """

Fit Bayesian multinomial softmax regression using Polya-Gamma VI.

This uses a reference-class softmax model and iteratively updates each
class's parameters using a coupled one-vs-rest Polya-Gamma update.

Args:
    X: Feature matrix of shape (n_trials, n_features).
    y: Integer labels of shape (n_trials,). Labels must be in
        {label_base, ..., label_base + n_classes - 1}.
    n_classes: Number of classes.
    label_base: 0 or 1, describing the minimum label value in y.
    w_loc: Scalar prior mean for weights (broadcast per feature).
    w_scale: Prior weight scale (>0).
    b_loc: Scalar prior mean for bias.
    b_scale: Prior bias scale (>0).
    rng_seed: Seed reserved for future use.
    learning_rate: Damping factor in (0, 1].
    num_steps: Number of coordinate sweeps (>=1).

Returns:
    KelvraModel containing a Gaussian posterior approximation per class.

Raises:
    ValueError: If inputs have invalid shapes, label ranges, or hyperparameters."""
PREDICT = "(model: KelvraModel, X: np.ndarray, int num_posterior_samples: int, int rng_seed: int) -> np.ndarray"
# Documented docstrings: the signature line, then an optional summary.
DOCS = {
    "_jax_dtype_from_numpy": (LEARNING, "_jax_dtype_from_numpy(x: np.ndarray) -> jnp.dtype", ""),
    "_pg_expected_omega": (LEARNING, "_pg_expected_omega(c: jax.Array) -> jax.Array", ""),
    "_pg_binary_update": (
        LEARNING,
        "_pg_binary_update(Xa: jax.Array, z: jax.Array, offset: jax.Array, m0: jax.Array, prec0: jax.Array, m: jax.Array, S: jax.Array) -> tuple[jax.Array, jax.Array]",  # noqa: E501 (documented texts, kept whole)
        "",
    ),
    "_build_logits": (
        LEARNING,
        "_build_logits(X_aug: jax.Array, beta_mean: jax.Array, non_ref_classes: jax.Array, int ref_class: int, int n_classes: int) -> jax.Array",  # noqa: E501 (documented texts, kept whole)
        "",
    ),
    "kelvra_softmax_fit": (
        LEARNING,
        "kelvra_softmax_fit(X: np.ndarray, y: np.ndarray, int n_classes: int, label_base: Literal[0, 1], double w_loc: float, double w_scale: float, double b_loc: float, double b_scale: float, int rng_seed: int, double learning_rate: float, int num_steps: int) -> KelvraModel",  # noqa: E501 (documented texts, kept whole)
        FIT_DOC,
    ),
    "kelvra_softmax_update": (
        LEARNING,
        "kelvra_softmax_update(model: KelvraModel, X: np.ndarray, y: np.ndarray) -> KelvraModel",
        "\n\nUpdate a softmax model with additional labeled observations.",
    ),
    "_logits_from_beta": (
        INFERENCE,
        "_logits_from_beta(X: jax.Array, beta_mean: jax.Array, non_ref_classes: np.ndarray, int ref_class: int, int n_classes: int) -> jax.Array",  # noqa: E501 (documented texts, kept whole)
        "",
    ),
    "kelvra_softmax_predict_proba": (
        INFERENCE,
        "kelvra_softmax_predict_proba" + PREDICT,
        "\n\nPredict class probabilities for Bayesian multinomial softmax regression.",
    ),
    "kelvra_softmax_predict": (
        INFERENCE,
        "kelvra_softmax_predict" + PREDICT,
        "\n\nPredict the most likely class label for each row of X.",
    ),
    "kelvra_softmax_predict_samples": (
        INFERENCE,
        "kelvra_softmax_predict_samples" + PREDICT,
        "\n\nDraw label samples from the posterior predictive distribution.",
    ),
}


def parse(line):
    """(name, conversion, annotation) per parameter, and the return annotation, of a signature line."""
    params, ret = line.split("(", 1)[1].rsplit(") -> ", 1)
    parts = re.split(r", (?![^\[]*\])", params)  # commas inside brackets belong to an annotation
    return [re.fullmatch(r"(?:(int|double) )?(\w+): (.+)", p).group(2, 1, 3) for p in parts], ret


PARAMS = {name: parse(first)[0] for name, (_, first, _) in DOCS.items()}
NAMES = list(DOCS)


def fn(name):
    return getattr(importlib.import_module(DOCS[name][0]), name)


def count_message(name, given):
    n = len(PARAMS[name])
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def raises(exc, call, *args, **kwargs):
    with pytest.raises(exc) as info:
        call(*args, **kwargs)
    return info.value


def frame_names(error):
    return [frame.name for frame in traceback.extract_tb(error.__traceback__)]


@pytest.mark.parametrize("name", NAMES)
def test_attributes_and_docstring(name):
    module, first, summary = DOCS[name]
    f = fn(name)
    params, ret = parse(first)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, module)
    assert f.__annotations__ == {**{p: a for p, _, a in params}, "return": ret}
    assert f.__doc__ == first + summary
    assert weakref.ref(f)() is f and {f: 1}[f] == 1
    # Pickled and copied by reference, as builtin functions are.
    assert pickle.loads(pickle.dumps(f)) is f and copy.deepcopy(f) is f


@pytest.mark.parametrize("name", NAMES)
def test_binding_errors(name):
    f, names = fn(name), [p for p, _, _ in PARAMS[name]]
    n = len(names)
    for given in {0, n - 1, n + 1}:
        assert str(raises(TypeError, f, *[None] * given)) == count_message(name, given)
    # Too many positionals are reported before any keyword is looked at.
    assert str(raises(TypeError, f, *[None] * (n + 1), alpha=1)) == count_message(name, n + 1)
    for k in range(n):  # the count names the first unbound parameter
        assert str(raises(TypeError, f, **{p: 0 for p in reversed(names) if p != names[k]})) == count_message(name, k)
        if k + 1 < n:
            assert str(raises(TypeError, f, *[None] * k, **{names[k + 1]: 0})) == count_message(name, k)
    # Keywords are checked in the order given.
    error = raises(TypeError, f, None, **{names[0]: 1, "alpha": 1})
    assert str(error) == f"{name}() got multiple values for keyword argument '{names[0]}'"
    assert (
        str(raises(TypeError, f, None, alpha=1, **{names[0]: 1}))
        == f"{name}() got an unexpected keyword argument 'alpha'"
    )
    assert frame_names(error)[-1] == name


@pytest.mark.parametrize("name", NAMES)
def test_non_string_keyword(name):
    # f(**d) has the interpreter reject such keywords itself; a raw vectorcall gets them through.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    args = ctypes.cast((ctypes.py_object * 1)(None), ctypes.c_void_p)
    assert str(raises(TypeError, vectorcall, fn(name), args, 0, (1,))) == f"{name}() keywords must be strings"


CONVERTED = [(n, i) for n in NAMES for i, (_, conv, _) in enumerate(PARAMS[n]) if conv]


@pytest.mark.parametrize("bad", ["3", None])
@pytest.mark.parametrize("name,index", CONVERTED)
def test_conversion_errors_in_parameter_order(name, index, bad):
    params, good = PARAMS[name], {"int": 0, "double": 0.0, None: None}
    args = [good[c] if j < index else bad if j == index else "later" for j, (_, c, _) in enumerate(params)]
    pname, conversion, _ = params[index]
    if conversion == "int":
        expected = f"Argument '{pname}' has incorrect type (expected int, got {type(bad).__name__})"
    else:
        expected = str(raises(TypeError, math.isnan, bad))  # the interpreter's float conversion
    assert str(raises(TypeError, fn(name), *args)) == expected
    by_keyword = dict(reversed([(p, a) for (p, _, _), a in zip(params, args, strict=True)]))
    assert str(raises(TypeError, fn(name), **by_keyword)) == expected


class Number:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __float__(self):
        return float(self.value)


LOGIT_ARGS = (np.ones((2, 2), np.float32), np.ones((0, 2), np.float32), np.zeros(0, dtype=np.int64), 0)


@pytest.mark.parametrize("value", [3.7, True, np.int64(4), np.float32(2.9), Number(3)])
def test_integer_conversion(value):
    assert fn("_build_logits")(*LOGIT_ARGS, value).shape == (2, int(value))


@pytest.mark.parametrize("value", [float("nan"), float("inf"), Number("3")])
def test_integer_conversion_passes_interpreter_errors(value):
    expected = raises(Exception, int, value)
    got = raises(type(expected), fn("_build_logits"), *LOGIT_ARGS, value)
    assert type(got) is type(expected) and str(got) == str(expected)


def test_fit_receives_converted_numbers():
    X, y = np.random.default_rng(0).normal(size=(9, 2)), np.arange(9) % 3
    # Number objects support no comparison or arithmetic: the body must see floats.
    p = fn("kelvra_softmax_fit")(X, y, 3.7, 0, Number(0), 2, np.float32(0.5), Number(1), True, 0.5, Number(1)).params
    assert [int(p[k]) for k in ("n_classes", "rng_seed", "num_steps")] == [3, 1, 1]
    assert [float(p[k]) for k in ("w_loc", "w_scale", "b_loc", "b_scale")] == [0.0, 2.0, 0.5, 1.0]


def record():
    params = {
        "n_classes": 3,
        "label_base": 1,
        "ref_class": 0,
        "non_ref_classes": np.array([1, 2]),
        "beta_mean": np.arange(6.0).reshape(2, 3) / 6,
        "beta_cov_chol": np.stack([np.eye(3) * 0.1] * 2),
    }
    return KelvraModel(model_type="kelvra_softmax", params=params)


class Trap:
    """Stands in for a module attribute; any use raises its one error object."""

    def __init__(self):
        self.error = LookupError("trapped")

    def __getattr__(self, *args, **kwargs):
        raise self.error

    __call__ = __getattr__


F64, F32, VEC, MAT = np.ones((3, 2)), np.ones((3, 2), np.float32), np.zeros(2), np.eye(2)
FIT = (F64, np.array([0, 1, 1]), 2, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1)


@pytest.mark.parametrize(
    "module,attr,name,args",
    [
        (LEARNING, "_pg_expected_omega", "_pg_binary_update", (F32, np.zeros(3), np.zeros(3), VEC, MAT, VEC, MAT)),
        (LEARNING, "jnp", "_pg_expected_omega", (VEC,)),
        (LEARNING, "jax", "_jax_dtype_from_numpy", (F64,)),
        (LEARNING, "_jax_dtype_from_numpy", "kelvra_softmax_fit", FIT),
        (LEARNING, "KelvraModel", "kelvra_softmax_fit", FIT),
        (INFERENCE, "kelvra_softmax", "kelvra_softmax_predict_samples", (record(), F64, 2, 0)),
        (INFERENCE, "_logits_from_beta", "kelvra_softmax_predict_proba", (record(), F64, 1, 0)),
        (INFERENCE, "kelvra_softmax_predict_proba", "kelvra_softmax_predict", (record(), F64, 1, 0)),
    ],
)
def test_names_resolve_at_call_time(monkeypatch, module, attr, name, args):
    trap = Trap()
    monkeypatch.setattr(importlib.import_module(module), attr, trap)
    error = raises(LookupError, fn(name), *args)
    assert error is trap.error and name in frame_names(error)


def test_nested_calls_leave_nested_entries(monkeypatch):
    monkeypatch.setattr(importlib.import_module(INFERENCE), "_logits_from_beta", Trap())
    names = frame_names(raises(LookupError, fn("kelvra_softmax_predict"), record(), F64, 1, 0))
    assert names.index("kelvra_softmax_predict") < names.index("kelvra_softmax_predict_proba")


def repeat(call, count):
    for _ in range(count):
        with contextlib.suppress(Exception):
            call()


def test_repeated_calls_do_not_leak():
    X, marker = np.ones((2, 3)), object()
    logits, fit = fn("_build_logits"), fn("kelvra_softmax_fit")
    calls = [
        lambda: logits(),
        lambda: logits(X, beta_mean=X),
        lambda: logits(X, X_aug=marker),
        lambda: logits(X, alpha=marker),
        lambda: logits(X, X, X, marker, 3),
        lambda: logits(X, X, X, math.nan, 3),
        lambda: fit(X, X, 3, marker, 0.0, "s", 0.0, 1.0, 0, 1.0, 1),
        lambda: fn("_pg_expected_omega")(marker),
        lambda: fn("_jax_dtype_from_numpy")(X),
    ]
    for call in calls:
        refs = sys.getrefcount(X), sys.getrefcount(marker)
        repeat(call, 100)  # warms caches up
        tracemalloc.start()
        start = tracemalloc.get_traced_memory()[0]
        repeat(call, 10_000)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
        tracemalloc.stop()
        assert (sys.getrefcount(X), sys.getrefcount(marker)) == refs and growth < 32_000
