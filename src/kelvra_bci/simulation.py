"""Simulated motor-imagery sessions: log band-power features of a known generative model.

``simulate_session`` returns the trials of one seeded session, cut into runs,
for trying decoders where real recordings are not at hand or where the truth
has to be known (how hard the classes are, when drift sets in). NumPy only.

What is simulated, per trial and frequency band (mu 8-13 Hz, beta 13-30 Hz):

- **Scalp.** Channels lie evenly on a unit disk seen from above (x from left to
  right, y from back to front; the motor strip runs along y = 0).
- **Band-limited signal.** A spatially smooth background (squared-exponential
  covariance over channel distance, correlation length 0.35 head radii), plus
  sensorimotor rhythm sources mixed onto the channels through smooth
  topographies (volume conduction), plus independent sensor noise.
- **Band power.** The variance of the signal over one trial is estimated from a
  band's degrees of freedom (about twice bandwidth times duration: 20 for mu,
  68 for beta over 2 s), so it is a correlated chi-square variable; the feature
  is its natural logarithm.
- **Classes.** Each class is the imagery of one body part and desynchronises
  (lowers the power of) the rhythm over its own focus: left hand over the right
  motor area, right hand over the left one, feet at the vertex, tongue over
  both lateral ends of the motor strip. Other classes get foci on a ring.
  Feet and tongue imagery raise the rhythm of the hand areas (surround
  synchronisation); any other imagery lowers the other sources a little
  (attention). The mu band desynchronises more than beta.
- **Nuisance.** Trial-to-trial gain (common and per band), spontaneous
  fluctuations of each rhythm source, the depth of each trial's
  desynchronisation, lapses (trials with no imagery at all), per-channel
  offsets (electrode impedance), and a subject: the seed also jitters the foci
  and how strongly each class desynchronises.
- **Drift** (``drift`` > 0): the log-power offsets of every feature take a
  spatially smooth random walk that starts at trial 0, and the desynchronisation
  fades over the session (fatigue). With ``drift=1`` the walk has a standard
  deviation of 0.3 per feature at the last trial (natural log of power: a
  factor of 1.35 in power, about the size of the class effects on the best
  channels) and the desynchronisation has lost a quarter by then; ``drift=d``
  scales the walk by d and leaves ``0.75**d`` of the desynchronisation at the
  end. Drift draws from its own random stream: the same seed with another
  drift gives the same trial 0 and differs more and more towards the end.
  A decoder calibrated on the first run of 600 trials, 4 classes, scores 0.61
  on the last run without drift, 0.44 with drift=1 (0.56 when refitted on all
  earlier runs); mean over seeds 0-4.

Difficulty with the defaults (400 trials, 16 channels, no drift), measured as
5-fold stratified cross-validated accuracy of scikit-learn's
``make_pipeline(StandardScaler(), LogisticRegression(max_iter=1000))`` over
seeds 0-9: 2 classes 0.75-0.83 (mean 0.81), 3 classes 0.69-0.76 (0.73),
4 classes 0.62-0.74 (0.68); chance is 0.50, 0.33 and 0.25. That is the range
of motor-imagery decoding from band power in real subjects. More channels do
not make it easier at 400 trials (32 channels: 0.75, 0.71 and 0.65 for 2, 3
and 4 classes over seeds 0-2); fewer make it harder (8 channels: 0.75, 0.71
and 0.58).
"""

from __future__ import annotations

import numbers
from dataclasses import dataclass

import numpy as np

from .limits import INT64_MAX

__all__ = ["SimulatedSession", "simulate_session"]

# Band name, degrees of freedom of a trial's variance estimate, rhythm power
# relative to the background, and the share of the desynchronisation it shows.
_BANDS = (("mu", 20, 6.0, 1.0), ("beta", 68, 2.0, 0.6))

# Scalp geometry, in head radii.
_BACKGROUND_LENGTH = 0.35  # correlation length of the background activity
_TOPOGRAPHY_WIDTH = 0.25  # spread of a rhythm source over the scalp
_SENSOR_NOISE = 0.2  # variance of the independent noise per channel, background = 1

# Foci of the named classes; (x, y) with x > 0 on the right hemisphere.
_NAMED_FOCI = (
    ("left hand", ((0.45, 0.0),)),
    ("right hand", ((-0.45, 0.0),)),
    ("feet", ((0.0, 0.05),)),
    ("tongue", ((-0.85, -0.3), (0.85, -0.3))),
)
MAX_CLASSES = 8
_RING_RADIUS = 0.6  # classes beyond the named ones have a focus on this ring, away from the strip

# Trial-to-trial variability: standard deviations of log quantities.
_GAIN_SD = 0.25  # all channels and bands of a trial together
_BAND_GAIN_SD = 0.1  # one band of a trial
_SOURCE_SD = 0.25  # one rhythm source in one band of a trial (spontaneous fluctuation)
_DEPTH_SD = 0.3  # the desynchronisation depth of a trial
_CHANNEL_OFFSET_SD = 0.3  # fixed per channel and band (electrode impedance)

_ATTENTION = 0.2  # share of the depth that imagery takes off the rhythm sources of the other classes
_SURROUND = 0.5  # share of the depth that feet and tongue imagery add to the hand areas
_FOCUS_JITTER = 0.05  # subject-to-subject displacement of a focus
_CLASS_DEPTH_SD = 0.1  # subject-to-subject variation of a class's depth (log factor)
_MAX_DEPTH = 0.95  # a rhythm never vanishes entirely

_DRIFT_WALK = 0.3  # standard deviation of the baseline walk at the last trial, per unit of drift
_DRIFT_FADE = 0.75  # share of the desynchronisation left at the last trial, per unit of drift
_MAX_DRIFT = 10.0


@dataclass(frozen=True, eq=False)
class SimulatedSession:
    """The trials of one simulated session, in the order they were recorded.

    Attributes
    ----------
    X : ndarray of shape (n_trials, n_features), float64
        Log band power. Columns are band-major: the mu band of every channel,
        then the beta band of every channel (``feature_names`` spells them out).
    y : ndarray of shape (n_trials,), int64
        Class of each trial, 0 .. n_classes - 1 (``class_names`` says which body part).
    run : ndarray of shape (n_trials,), int64
        Run of each trial, 0, 1, ...: runs are consecutive trials, each
        holding the classes in equal numbers (to one trial) in random order.
    class_names : tuple of str
        Imagined body part of each class.
    feature_names : tuple of str
        ``"<band> ch<channel>"`` for each column of X.
    channel_positions : ndarray of shape (n_channels, 2)
        Position of each channel on the unit disk (x to the right, y to the front).
    """

    X: np.ndarray
    y: np.ndarray
    run: np.ndarray
    class_names: tuple
    feature_names: tuple
    channel_positions: np.ndarray


def simulate_session(
    n_trials=400,
    n_classes=3,
    *,
    n_channels=16,
    drift=0.0,
    seed=0,
    trials_per_run=100,
    erd_depth=0.6,
    lapse_rate=0.1,
):
    """Simulate one motor-imagery session (see the module's description of the model).

    Parameters
    ----------
    n_trials : int, default=400
        Trials in the session, at least ``n_classes``.
    n_classes : int, default=3
        Imagined movements, 2 .. 8: left hand, right hand, feet, tongue, then
        classes with a focus away from the motor strip.
    n_channels : int, default=16
        EEG channels, 2 .. 256; there are two features (mu, beta) per channel.
    drift : float, default=0.0
        Non-stationarity, 0 .. 10: 0 is a stationary session; 1 a baseline walk
        of standard deviation 0.3 (log power) by the last trial and a
        desynchronisation weakened by a quarter by then.
    seed : int, default=0
        Seed (>= 0) of everything random: the subject, the labels, the trials
        and the drift. The same arguments give the same session.
    trials_per_run : int, default=100
        Trials per run (the last run may be shorter), at least 1.
    erd_depth : float, default=0.6
        Mean fraction of the rhythm power that imagery takes off its focus,
        in [0, 0.95]; larger is easier. 0 leaves nothing to decode.
    lapse_rate : float, default=0.1
        Fraction of trials, in [0, 1], in which the subject imagines nothing.

    Returns
    -------
    SimulatedSession

    Raises
    ------
    ValueError
        If an argument is of the wrong type or out of range.
    """
    n_classes = _integer("n_classes", n_classes, 2, MAX_CLASSES)
    n_trials = _integer("n_trials", n_trials, n_classes, 10**6)
    n_channels = _integer("n_channels", n_channels, 2, 256)
    trials_per_run = _integer("trials_per_run", trials_per_run, 1, 10**6)
    seed = _integer("seed", seed, 0, INT64_MAX)
    drift = _real("drift", drift, 0.0, _MAX_DRIFT)
    erd_depth = _real("erd_depth", erd_depth, 0.0, _MAX_DEPTH)
    lapse_rate = _real("lapse_rate", lapse_rate, 0.0, 1.0)

    # Separate streams, so that drift, say, changes nothing but the drift.
    subject_rng, label_rng, trial_rng, drift_rng = (
        np.random.default_rng(s) for s in np.random.SeedSequence(seed).spawn(4)
    )

    positions = _channel_positions(n_channels)
    class_names, foci, focus_class = _foci(n_classes)
    foci = foci + subject_rng.normal(scale=_FOCUS_JITTER, size=foci.shape)
    class_depth = erd_depth * np.exp(subject_rng.normal(scale=_CLASS_DEPTH_SD, size=n_classes))
    n_bands = len(_BANDS)
    channel_offset = subject_rng.normal(scale=_CHANNEL_OFFSET_SD, size=(n_bands, n_channels))

    background_chol = np.linalg.cholesky(_background_correlation(positions))
    distance2 = np.sum((positions[:, None, :] - foci[None, :, :]) ** 2, axis=-1)
    topographies = np.exp(-distance2 / (2 * _TOPOGRAPHY_WIDTH**2))  # (n_channels, n_sources)

    y, run = _labels(n_trials, n_classes, trials_per_run, label_rng)

    # Desynchronisation of each trial: the class's depth, jittered, faded by drift,
    # zero in lapses; the focus of the cued class loses it all, the other sources
    # a share of it.
    position_in_session = np.arange(n_trials) / max(n_trials - 1, 1)
    depth = class_depth[y] * np.exp(trial_rng.normal(scale=_DEPTH_SD, size=n_trials) - _DEPTH_SD**2 / 2)
    depth *= _DRIFT_FADE ** (drift * position_in_session)
    depth[trial_rng.uniform(size=n_trials) < lapse_rate] = 0.0
    depth = np.minimum(depth, _MAX_DEPTH)
    modulation = _modulation(n_classes, focus_class)[y]  # (n_trials, n_sources)
    log_gain = trial_rng.normal(scale=_GAIN_SD, size=n_trials)

    X = np.empty((n_trials, n_bands * n_channels))
    for b, (_, dof, rhythm_power, band_share) in enumerate(_BANDS):
        log_source = np.log(rhythm_power) + np.log1p(-band_share * depth[:, None] * modulation)
        log_source += trial_rng.normal(scale=_SOURCE_SD, size=log_source.shape)
        gain = np.exp(log_gain + trial_rng.normal(scale=_BAND_GAIN_SD, size=n_trials))
        # dof independent samples of the band-limited signal per trial and channel.
        background = trial_rng.standard_normal((n_trials, dof, n_channels)) @ background_chol.T
        sources = trial_rng.standard_normal((n_trials, dof, foci.shape[0])) * np.exp(log_source / 2)[:, None, :]
        noise = np.sqrt(_SENSOR_NOISE) * trial_rng.standard_normal((n_trials, dof, n_channels))
        signal = background + sources @ topographies.T + noise
        power = gain[:, None] * np.mean(signal**2, axis=1)
        X[:, b * n_channels : (b + 1) * n_channels] = np.log(power) + channel_offset[b]

    if drift > 0:
        X += drift * _baseline_walk(n_trials, n_bands, background_chol, drift_rng)

    feature_names = tuple(f"{band} ch{c:02d}" for band, *_ in _BANDS for c in range(n_channels))
    return SimulatedSession(
        X=X, y=y, run=run, class_names=class_names, feature_names=feature_names, channel_positions=positions
    )


def _integer(name, value, low, high):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{name} must be an integer, got {value!r}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be in [{low}, {high}], got {value}")
    return int(value)


def _real(name, value, low, high):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, got {value!r}")
    if not low <= value <= high:  # also refuses NaN
        raise ValueError(f"{name} must be in [{low}, {high}], got {value}")
    return float(value)


def _channel_positions(n_channels):
    """Evenly spread points on the unit disk (a sunflower spiral), the same for every seed."""
    index = np.arange(n_channels) + 0.5
    radius = np.sqrt(index / n_channels)
    angle = index * np.pi * (3.0 - np.sqrt(5.0))
    return np.column_stack([radius * np.cos(angle), radius * np.sin(angle)])


def _foci(n_classes):
    """Class names, focus positions (n_sources, 2) and the class of each focus."""
    names, foci, owner = [], [], []
    for k in range(n_classes):
        if k < len(_NAMED_FOCI):
            name, points = _NAMED_FOCI[k]
        else:
            # Further classes sit on a ring, front and back of the strip in turn.
            extra = k - len(_NAMED_FOCI)
            angle = np.pi / 2 + np.pi * (extra % 2) + (extra // 2 - 0.5) * np.pi / 4
            name, points = f"class {k}", ((_RING_RADIUS * np.cos(angle), _RING_RADIUS * np.sin(angle)),)
        names.append(name)
        foci.extend(points)
        owner.extend([k] * len(points))
    return tuple(names), np.asarray(foci, dtype=float), np.asarray(owner)


def _modulation(n_classes, focus_class):
    """(n_classes, n_sources): the share of a trial's depth that imagery of each class takes off each source.

    1 at the class's own foci. Feet and tongue imagery synchronise the hand
    areas instead (a negative share: surround synchronisation); any other
    imagery desynchronises every other source a little (attention).
    """
    share = np.full((n_classes, focus_class.size), _ATTENTION)
    hands = focus_class < 2
    for k in range(2, min(n_classes, len(_NAMED_FOCI))):
        share[k, hands] = -_SURROUND
    share[focus_class[None, :] == np.arange(n_classes)[:, None]] = 1.0
    return share


def _background_correlation(positions):
    distance2 = np.sum((positions[:, None, :] - positions[None, :, :]) ** 2, axis=-1)
    covariance = np.exp(-distance2 / (2 * _BACKGROUND_LENGTH**2)) + _SENSOR_NOISE * np.eye(len(positions))
    scale = np.sqrt(np.diag(covariance))
    return covariance / np.outer(scale, scale)


def _labels(n_trials, n_classes, trials_per_run, rng):
    """Classes balanced within each run (and so over the session, to one trial), shuffled per run."""
    y = np.arange(n_trials, dtype=np.int64) % n_classes
    run = np.arange(n_trials, dtype=np.int64) // trials_per_run
    for r in range(int(run[-1]) + 1):
        inside = slice(r * trials_per_run, min((r + 1) * trials_per_run, n_trials))
        y[inside] = rng.permutation(y[inside])
    return y, run


def _baseline_walk(n_trials, n_bands, background_chol, rng):
    """Random walk of the log-power offsets: 0 at trial 0, standard deviation _DRIFT_WALK at the last trial.

    The steps are spatially smooth (the background's correlation) and half shared
    between the bands, as a slow change of electrode contact or of the subject's
    state would be.
    """
    n_channels = background_chol.shape[0]
    shared = rng.standard_normal((n_trials - 1, 1, n_channels))
    own = rng.standard_normal((n_trials - 1, n_bands, n_channels))
    steps = np.sqrt(0.5) * (shared + own) @ background_chol.T
    steps *= _DRIFT_WALK / np.sqrt(max(n_trials - 1, 1))
    walk = np.concatenate([np.zeros((1, n_bands, n_channels)), np.cumsum(steps, axis=0)])
    return walk.reshape(n_trials, n_bands * n_channels)
