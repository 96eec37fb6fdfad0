"""Array functions shared by kelvra_bci's models."""

from __future__ import annotations

import jax
import jax.numpy as jnp

__all__ = ["kelvra_softmax"]


def kelvra_softmax(logits: jax.Array) -> jax.Array:
    """Softmax over the last axis, in the dtype of ``logits``.

    Made of JAX operations only, so ``jax.jit`` and ``jax.vmap`` trace it.
    Shifting by the row maximum keeps ``exp`` from overflowing for large logits.
    """
    logits = jnp.asarray(logits)
    shifted = logits - jax.lax.stop_gradient(jnp.max(logits, axis=-1, keepdims=True))
    weights = jnp.exp(shifted)
    return weights / jnp.sum(weights, axis=-1, keepdims=True)
