"""Importing the extension modules: bound names, one interpreter, no side effects."""

import importlib
import importlib.util
import os
import subprocess
import sys
import typing

import jax
import numpy as np
import pytest

from kelvra_bci import kelvra_io, kelvra_math

PACKAGE = "kelvra_bci.models.kelvra_softmax."
BOUND = {
    "learning": [
        "Literal",
        "jax",
        "jnp",
        "np",
        "KelvraModel",
        "_jax_dtype_from_numpy",
        "_pg_expected_omega",
        "_pg_binary_update",
        "_build_logits",
        "kelvra_softmax_fit",
        "kelvra_softmax_update",
    ],
    "inference": [
        "jax",
        "jnp",
        "np",
        "KelvraModel",
        "kelvra_softmax",
        "_logits_from_beta",
        "kelvra_softmax_predict_proba",
        "kelvra_softmax_predict",
        "kelvra_softmax_predict_samples",
    ],
}
IMPORTED = {
    "Literal": typing.Literal,
    "jax": jax,
    "jnp": jax.numpy,
    "np": np,
    "KelvraModel": kelvra_io.KelvraModel,
    "kelvra_softmax": kelvra_math.kelvra_softmax,
}


def run_python(code, **env):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env={**os.environ, **env})
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


@pytest.mark.parametrize("short", BOUND)
def test_bound_names(short):
    module = importlib.import_module(PACKAGE + short)
    assert [k for k in vars(module) if not k.startswith("__")] == BOUND[short]
    assert all(getattr(module, k) is v for k, v in IMPORTED.items() if k in BOUND[short])
    assert module.__doc__ is None


@pytest.mark.parametrize("x64", ["0", "1"])
def test_import_leaves_64_bit_switch(x64):
    code = (
        f"import jax; print(jax.config.jax_enable_x64); import {PACKAGE}learning, {PACKAGE}inference; "
        "print(jax.config.jax_enable_x64)"
    )
    assert run_python(code, JAX_ENABLE_X64=x64) == [str(x64 == "1")] * 2


@pytest.mark.parametrize("short", BOUND)
def test_reimport_returns_the_same_module(short):
    code = f"""import importlib, sys
first = importlib.import_module("{PACKAGE}{short}"); names = dict(vars(first))
del sys.modules["{PACKAGE}{short}"]
print(importlib.import_module("{PACKAGE}{short}") is first, importlib.reload(first) is first, vars(first) == names)"""
    assert run_python(code) == ["True"] * 3


# The private module that creates interpreters is _xxsubinterpreters up to 3.12;
# 3.13 renamed it _interpreters with another interface.
@pytest.mark.skipif(
    importlib.util.find_spec("_xxsubinterpreters") is None, reason="no _xxsubinterpreters in this Python"
)
@pytest.mark.parametrize("short", BOUND)
def test_second_interpreter_is_refused(short):
    code = f"""import _xxsubinterpreters as interpreters, {PACKAGE}{short}
try:
    interpreters.run_string(interpreters.create(), "import {PACKAGE}{short}")
except interpreters.RunFailedError as error:
    print(error)"""
    message = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert " ".join(run_python(code)) == "<class 'ImportError'>: " + message
