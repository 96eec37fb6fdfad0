"""Default settings of the softmax model, shared by the estimator, the CLI and the demo.

One place, so that a model fitted from the command line and one fitted through
scikit-learn with default arguments are the same model.
"""

from __future__ import annotations

__all__ = ["FIT", "UPDATE_RULE"]

# Prior, damping and sweep cap of a fit; stored in the model and reused by updates.
# `tol` stops the sweeps once the largest relative change of any mean falls below it;
# `num_steps` is then the cap.
FIT = {
    "w_loc": 0.0,
    "w_scale": 1.0,
    "b_loc": 0.0,
    "b_scale": 1.0,
    "learning_rate": 0.5,
    "num_steps": 20,
    "tol": None,
}

# How updates fold new trials in: "once" counts each trial once.
UPDATE_RULE = "once"
