import contextlib
import os
import warnings

import jax
import numpy as np
import pytest

# The estimator turns on the per-user compile cache at its first fit; the
# suite leaves JAX's process-wide options and the user's cache folder alone.
os.environ["KELVRA_BCI_COMPILE_CACHE"] = "0"


@contextlib.contextmanager
def _x64_switch(on):
    previous = jax.config.jax_enable_x64
    jax.config.update("jax_enable_x64", on)
    try:
        yield
    finally:
        jax.config.update("jax_enable_x64", previous)


@pytest.fixture
def x64():
    """Runs a test with JAX's 64-bit switch on, restoring it afterwards."""
    with _x64_switch(True):
        yield


@pytest.fixture
def x32():
    """Runs a test with JAX's 64-bit switch off, restoring it afterwards."""
    with _x64_switch(False):
        yield


@pytest.fixture
def run_cli(capsys):
    """Runs the command line in this process; returns (exit status, standard output, standard error).

    The persistent compilation cache stays off so that a test leaves JAX's global
    options and the user's cache folder as they were. A failed command must say
    what went wrong in its one error line: a warning that escapes it fails the test.
    """
    from kelvra_bci.cli import main

    def run(*args):
        capsys.readouterr()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            status = main(["--no-compile-cache", *map(str, args)])
        out, err = capsys.readouterr()
        assert status == 0 or not caught, [str(w.message) for w in caught]
        return status, out, err

    return run


@pytest.fixture(scope="module")
def records():
    """A fitted record and one an update grew by a class, from the learning module."""
    from kelvra_bci.models.kelvra_softmax import learning

    rng = np.random.default_rng(3)
    X = rng.normal(size=(24, 3))
    y = np.arange(24) % 3
    fitted = learning.kelvra_softmax_fit(X, y, 3, 0, 0.0, 1.0, 0.0, 2.0, 5, 0.5, 3)
    # Label 3 grows the class set, so the update's own layout is saved too.
    updated = learning.kelvra_softmax_update(fitted, X[:6], np.array([0, 1, 3, 3, 2, 1]))
    return {"fitted": fitted, "updated": updated, "X": X}
