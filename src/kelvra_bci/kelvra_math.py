"""Array functions shared by kelvra_bci's models."""

from __future__ import annotations

import jax
import jax.numpy as jnp

__all__ = ["kelvra_softmax"]


def kelvra_softmax(logits: jax.Array) -> jax.Array:
    """Softmax over the last axis, in the dtype of ``logits``.

    The inference module and the engine call it by this name; JAX's own
    softmax does the work (shifted by the row maximum, so large logits do not
    overflow), and ``jax.jit`` and ``jax.vmap`` trace it.
    """
    return jax.nn.softmax(jnp.asarray(logits), axis=-1)
