import contextlib
import warnings

import jax
import pytest


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
