"""Calibrating a live session, from a stream's first trials or from a recording.

The decoder calibrates through :func:`calibrate` on the epochs it cut from the
stream; :func:`cut_epochs` cuts the same epochs from a recording held in memory,
so that a session can be calibrated offline (and its file handed to
``kelvra-softmax live``) and a live session's accuracy compared with the same
procedure run offline.
"""

from __future__ import annotations

import numpy as np

from ..models.kelvra_softmax import defaults
from .features import DEFAULT_BAND, DEFAULT_WINDOW, PAD_SECONDS, fit_feature_stage, window_samples
from .session_file import ClassMap, SessionFile

__all__ = ["calibrate", "cut_epochs", "precompile_shape"]


def cut_epochs(data: np.ndarray, sfreq: float, cues: np.ndarray, window=DEFAULT_WINDOW) -> np.ndarray:
    """Epochs (n, channels, pad + window samples) of a recording (channels x samples) at cue samples.

    The same samples the decoder takes from the stream: the window starts at
    the sample nearest to ``cue + window[0]`` and the padding precedes it.
    """
    n_pad, n_window = round(PAD_SECONDS * sfreq), window_samples(window, sfreq)
    starts = np.asarray(cues) + round(window[0] * sfreq) - n_pad
    if starts.min() < 0 or starts.max() + n_pad + n_window > data.shape[1]:
        raise ValueError("a cue's epoch, with its padding, runs past the recording")
    return np.stack([data[:, s : s + n_pad + n_window] for s in starts])


def calibrate(
    epochs: np.ndarray,
    labels,
    *,
    sfreq: float,
    channels: tuple[str, ...],
    class_map: ClassMap,
    kind: str = "csp",
    window=DEFAULT_WINDOW,
    band=DEFAULT_BAND,
) -> SessionFile:
    """Fits the feature stage and the model on labelled epochs; classes are indexed in order of first appearance."""
    from ..models.kelvra_softmax import engine

    names = tuple(dict.fromkeys(labels))
    if len(names) < 2:
        raise ValueError(f"calibration needs trials of two classes at least, got {', '.join(names) or 'none'}")
    y = np.array([names.index(label) for label in labels], dtype=np.int64)
    stage = fit_feature_stage(kind, epochs, y, sfreq=sfreq, channels=channels, window=window, band=band)
    model = engine.fit(stage.transform(epochs), y, len(names), 0, rng_seed=0, **defaults.FIT)
    return SessionFile(model, stage, names, class_map)


def precompile_shape(session: SessionFile) -> dict:
    """The shape of a session's predictions and one-trial updates, as ``engine.precompile`` takes it."""
    memory = session.model.params.get("memory_size")
    return dict(
        n_features=session.stage.n_features,
        update_trials=1,
        num_posterior_samples=1,
        rule=defaults.UPDATE_RULE,
        tol=defaults.FIT["tol"],
        memory=None if memory is None else int(memory),
    )
