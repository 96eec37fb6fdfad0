import contextlib

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
