import jax
import pytest


@pytest.fixture
def x64():
    """Runs a test with JAX's 64-bit switch on, restoring it afterwards."""
    previous = jax.config.jax_enable_x64
    jax.config.update("jax_enable_x64", True)
    yield
    jax.config.update("jax_enable_x64", previous)


@pytest.fixture
def x32():
    """Runs a test with JAX's 64-bit switch off, restoring it afterwards."""
    previous = jax.config.jax_enable_x64
    jax.config.update("jax_enable_x64", False)
    yield
    jax.config.update("jax_enable_x64", previous)
