"""Which prediction a session should trust: the one that predicted its trials better before they were learnt.

The posterior mean is the best calibrated prediction while the model keeps up
with the session; when the session outruns it (drift, a calibration that left
it over-confident) the moderated prediction, which widens each trial's
probabilities by the joint posterior uncertainty of its logits, loses less on
the trials it gets wrong. Which of the two holds is read from the session
itself: every block of trials is scored by both before its labels are learnt
(prequentially), and predictions use the one with the higher total
log-likelihood so far, the mean on a tie.
"""

from __future__ import annotations

import numpy as np

__all__ = ["CANDIDATES", "block_scores", "chosen", "moderated_proba"]

# The two predictions, the first of them taken on a tie.
CANDIDATES = ("mean", "moderated")

# A probability below this counts as this in a score, so that one trial the
# model ruled out costs a bounded -log(1e-15), about 35 nats.
SCORE_FLOOR = 1e-15


def moderated_proba(model, X) -> np.ndarray:
    """engine.predict_proba_moderated in float64."""
    # Imported here: the scores and the choice need no compiled code.
    from kelvra_bci.models.kelvra_softmax import engine

    return np.asarray(engine.predict_proba_moderated(model, X), dtype=np.float64)


def block_scores(probabilities: dict, labels) -> dict:
    """Log-likelihood of `labels` (model class indices) under each candidate's (n, K) probabilities.

    Labels of classes the model does not hold yet (index K or above) have no
    probability under either candidate and are left out.
    """
    labels = np.asarray(labels)
    scores = {}
    for name in CANDIDATES:
        proba = np.asarray(probabilities[name], dtype=np.float64)
        known = labels < proba.shape[1]
        hit = proba[np.flatnonzero(known), labels[known]]
        scores[name] = float(np.sum(np.log(np.maximum(hit, SCORE_FLOOR))))
    return scores


def chosen(totals: dict | None) -> str:
    """The candidate with the higher total; the mean on a tie and without totals."""
    if not totals:
        return CANDIDATES[0]
    return max(CANDIDATES, key=lambda name: (totals[name], name == CANDIDATES[0]))
