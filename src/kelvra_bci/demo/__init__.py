"""Simulated adaptive BCI sessions: the demo behind ``kelvra-softmax demo``.

Each scenario supplies a calibration block and a stream of trials in time
order; ``stream.play`` runs the same session on all of them: calibrate, then
predict each block before learning its labels, while new classes appear.

- ``digits``: scikit-learn's bundled handwritten digits (the default);
- ``eeg``: simulated motor-imagery EEG with drifting electrodes, decoded from
  frozen CSP features (needs the ``[eeg]`` extra);
- ``session``: simulated log band-power features of four motor-imagery
  classes with drift (``kelvra_bci.simulation``).

Needs the ``[demo]`` extra (scikit-learn, matplotlib, tqdm). JAX's options,
the compilation cache among them, are the caller's to set.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass

from ..models.kelvra_softmax import defaults

# The private helpers stay reachable through the package, as when the demo was one module.
from .digits import _session as _session
from .stream import _LABELS as _LABELS
from .stream import PATHS, SettingError, play
from .stream import _ece as _ece
from .stream import _reliability as _reliability

__all__ = ["EXTRAS", "PATHS", "SCENARIOS", "SettingError", "run"]

# Modules of the [demo] extra, imported only when the demo runs.
EXTRAS = ("matplotlib", "sklearn", "tqdm")


@dataclass(frozen=True)
class Scenario:
    """A scenario's defaults and what it needs beyond the [demo] extra."""

    help: str
    n_classes: int
    block_size: int
    calibration_size: int
    calibration_classes: int
    extras: tuple[str, ...] = ()
    hint: str = ""


SCENARIOS = {
    "digits": Scenario("handwritten digits, digits 6-9 joining one after another", 10, 60, 180, 6),
    "eeg": Scenario(
        "simulated motor-imagery EEG, drifting electrodes, feet imagery joining in run 4",
        3,
        15,
        40,
        2,
        extras=("mne",),
        hint="the eeg scenario needs the optional extra [eeg]: pip install 'kelvra-bci[eeg]'",
    ),
    "session": Scenario(
        "simulated log band-power features with drift, feet and then tongue imagery joining", 4, 40, 60, 2
    ),
}


def run(
    out: str = "out",
    *,
    scenario: str = "digits",
    seed: int = 0,
    block_size: int | None = None,
    calibration_size: int | None = None,
    calibration_classes: int | None = None,
    draws: int = defaults.DRAWS,
    progress: bool = True,
    path: str = "engine",
    max_trials: int | None = None,
) -> dict:
    """Runs a scenario's session, prints a summary and writes the figure, metrics and final model to ``out``.

    ``block_size``, ``calibration_size`` and ``calibration_classes`` default to
    the scenario's (digits: 60, 180 and 6). ``max_trials`` keeps that many
    trials of the session stream (picked at random, in stream order) for a
    shorter run. ``draws`` is the number of posterior draws the Bayesian
    models' predictions average; the default, the estimator's, predicts at the
    posterior mean. ``path`` picks the compiled code of the Bayesian models (see
    ``PATHS``). Returns, per model, its accuracy, log-loss and ECE over the
    stream, and its median and slowest update and median prediction time per
    block, in milliseconds.
    """
    from matplotlib.figure import Figure  # noqa: F401  (fail early when an extra is missing)

    if scenario not in SCENARIOS:
        raise SettingError(f"scenario must be one of {', '.join(SCENARIOS)}, got {scenario!r}")
    if path not in PATHS:
        raise SettingError(f"path must be one of {', '.join(PATHS)}, got {path!r}")
    chosen = SCENARIOS[scenario]
    session = importlib.import_module(f".{scenario}", __name__).session(
        seed=seed,
        calibration_size=chosen.calibration_size if calibration_size is None else calibration_size,
        calibration_classes=chosen.calibration_classes if calibration_classes is None else calibration_classes,
        max_trials=max_trials,
    )
    block_size = chosen.block_size if block_size is None else block_size
    return play(session, out, seed=seed, block_size=block_size, draws=draws, progress=progress, path=path)
