"""Live decoding over Lab Streaming Layer: EEG and cue markers in, class probabilities out.

A decoder subscribes to an EEG stream and a marker stream (found by name or
source id), cuts an epoch at each cue, computes the features of a feature stage
fitted at calibration (CSP log-power or tangent-space vectors), predicts with
the engine and publishes one sample per cue on its own LSL outlet: the
probability of each class and the chosen class's index, stamped with the
cue's time. Labelled cues are then learnt, so the model follows the session
and a class joins at its first labelled trial. The model and its feature stage
are saved together in one model file.

- :mod:`.streams`: finding, reading and publishing LSL streams (MNE-LSL).
- :mod:`.features`: the feature stage and the checks of an epoch.
- :mod:`.session_file`: the model file of a session.
- :mod:`.decoder`: the loop.
- :mod:`.status`: the status lines and the summary.

Needs the ``[live]`` extra; ``kelvra-softmax live`` runs it from the command line.
"""

from __future__ import annotations

from .decoder import LiveConfig, run_live
from .features import DEFAULT_BAND, DEFAULT_WINDOW, FeatureStage, fit_feature_stage
from .session_file import ClassMap, SessionFileError, load_session, save_session
from .status import SessionStatus
from .streams import LIVE_HINT, LiveError, StreamQuery

__all__ = [
    "DEFAULT_BAND",
    "DEFAULT_WINDOW",
    "LIVE_HINT",
    "ClassMap",
    "FeatureStage",
    "LiveConfig",
    "LiveError",
    "SessionFileError",
    "SessionStatus",
    "StreamQuery",
    "fit_feature_stage",
    "load_session",
    "run_live",
    "save_session",
]
