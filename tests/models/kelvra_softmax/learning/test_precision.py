"""Which floating dtype learning works in."""

import types

import jax
import jax.numpy as jnp
import numpy as np
import pytest

from kelvra_bci.models.kelvra_softmax import learning


@pytest.mark.parametrize("switch", ["x64", "x32"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.float16, np.int64, np.int32, np.bool_, np.complex128])
def test_dtype_policy(request, switch, dtype):
    request.getfixturevalue(switch)
    expected = jnp.float64 if dtype is np.float64 and switch == "x64" else jnp.float32
    assert learning._jax_dtype_from_numpy(np.zeros((2, 2), dtype=dtype)) is expected
    assert learning._jax_dtype_from_numpy(x=types.SimpleNamespace(dtype=np.dtype(dtype))) is expected


def test_switch_is_read_on_every_call(x32):
    x = np.zeros(3)
    assert learning._jax_dtype_from_numpy(x) is jnp.float32
    jax.config.update("jax_enable_x64", True)
    assert learning._jax_dtype_from_numpy(x) is jnp.float64
