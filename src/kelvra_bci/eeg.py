"""Simulated motor-imagery EEG, made with MNE on a spherical head model.

A small recording for examples, tests and the demo, built without any download:
dipoles in a volume source space of a three-shell sphere fitted to a standard
10-20 montage, projected onto 16 electrodes over the sensorimotor strip.
Three dipoles sit under C4, C3 and Cz (right and left hand areas, and the
medial foot area). Each carries a mu (about 11 Hz) and a beta (about 22 Hz)
rhythm that desynchronises while the subject imagines moving the body part it
controls: left hand -> right hemisphere, right hand -> left hemisphere, feet ->
midline. Dipoles scattered through the head add 1/f background activity, and
each electrode adds its own white noise.

A session is a sequence of runs; each run shows every class it holds equally
often, in random order. ``drift`` lets each electrode's gain wander slowly over
the session (gel drying, impedance changing), and ``new_class_run`` holds the
last class back until that run, as a command introduced mid-session.

Needs the ``[eeg]`` extra (MNE); it is imported when a function runs, so that
this module imports without it.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass

import numpy as np

from .limits import INT64_MAX
from .simulation import _integer, _real

__all__ = ["CHANNELS", "CLASSES", "MotorImagery", "simulate_motor_imagery"]

# Sensorimotor electrodes of the extended 10-20 system.
CHANNELS = ("FC3", "FCz", "FC4", "C5", "C3", "C1", "Cz", "C2", "C4", "C6", "CP3", "CPz", "CP4", "P3", "Pz", "P4")
CLASSES = ("left_hand", "right_hand", "feet")

# The electrode above each class's motor area, and how deep below it (as a
# fraction of the way from the sphere's centre to the electrode) the dipole
# sits: the foot area lies on the medial wall, deeper than the hand knobs.
_MOTOR_AREAS = {"left_hand": ("C4", 0.75), "right_hand": ("C3", 0.75), "feet": ("Cz", 0.6)}

# colin27_1020 is the name MNE 1.13 gave the standard 10-20 positions (formerly standard_1020).
_MONTAGE = "colin27_1020"

EXTRA_HINT = "simulated EEG needs the optional extra [eeg]: pip install 'kelvra-bci[eeg]'"

# Amplitudes in A·m (dipoles) and V (electrodes): motor rhythms of 20 nA·m
# amid 24 background dipoles of as much give scalp signals of about 6 µV RMS.
# With the default depth of desynchronisation, CSP and LDA then decode the
# three classes with about 85% accuracy, a good but not an exceptional subject.
_RHYTHM_AM = 20e-9
_BACKGROUND_AM = 20e-9
_N_BACKGROUND = 24
_SENSOR_NOISE_V = 1.5e-6
_BANDS = ((11.0, 1.5, 1.0), (22.0, 3.0, 0.5))  # (centre Hz, width Hz, relative amplitude): mu, beta
_REST = (1.5, 2.5)  # seconds of rest after each imagery period, drawn uniformly
_LEAD_IN = 2.0  # seconds before the first cue of a run
_RAMP = 0.5  # seconds over which the desynchronisation sets in and wears off

# Bounds of the settings: a drift of 3 already lets a gain wander by e**12 at
# four standard deviations, and more would overflow the samples; a recording
# of more samples than _MAX_SAMPLES per channel would take gigabytes.
_MAX_DRIFT = 3.0
_MAX_SFREQ = 4096.0
_MAX_IMAGERY = 60.0
_MAX_SAMPLES = 2**23


def _mne():
    try:
        import mne
    except ModuleNotFoundError as exc:
        if exc.name == "mne":
            raise ModuleNotFoundError(EXTRA_HINT, name="mne") from None
        raise
    return mne


@dataclass(frozen=True)
class MotorImagery:
    """A simulated recording: the continuous EEG and one event per cue.

    ``events`` is MNE's (n_trials, 3) array: the cue's sample, 0, and the event
    code from ``event_id`` (class index + 1). ``y`` holds the 0-based class of
    each trial and ``run`` its run index, in the order of ``events``.
    """

    raw: object  # mne.io.RawArray, in volts
    events: np.ndarray
    event_id: dict
    run: np.ndarray
    imagery: float

    @property
    def y(self) -> np.ndarray:
        return (self.events[:, 2] - 1).astype(np.int64)

    def epochs(self, tmin: float = 0.5, tmax: float = 2.5, l_freq: float = 8.0, h_freq: float = 30.0):
        """``mne.Epochs`` of the imagery period, band-passed by a causal filter.

        The filter is MNE's default Butterworth band-pass run forward only, as
        an online decoder would run it sample by sample, so offline and online
        analyses see the same signal. The default window skips the first half second after the
        cue, while the desynchronisation sets in.
        """
        mne = _mne()
        if not 0 <= tmin < tmax <= self.imagery:
            raise ValueError(f"the epoch must lie within the imagery period 0..{self.imagery} s, got {tmin}..{tmax}")
        raw = self.raw.copy().filter(l_freq, h_freq, method="iir", phase="forward", verbose=False)
        return mne.Epochs(
            raw, self.events, self.event_id, tmin, tmax, baseline=None, preload=True, proj=False, verbose=False
        )


def simulate_motor_imagery(
    n_classes: int = 3,
    n_trials: int = 40,
    n_runs: int = 4,
    *,
    sfreq: float = 128.0,
    imagery: float = 3.0,
    erd: float = 0.3,
    drift: float = 0.0,
    new_class_run: int | None = None,
    seed: int = 0,
) -> MotorImagery:
    """Simulates a motor-imagery session; deterministic for a given seed.

    ``n_classes`` (2 or 3) picks the first classes of ``CLASSES``. Each class
    has ``n_trials`` trials, ``n_trials // n_runs`` in every run. ``erd`` is
    the mean fraction of rhythm amplitude lost during imagery (it varies from
    trial to trial). ``drift`` is the standard deviation, over electrodes, of
    the log gain each has reached by the end of the session (0: none).
    ``new_class_run`` (0-based) keeps the last class out of the runs before it;
    it then has ``n_trials // n_runs`` trials in each later run.

    Raises ``ValueError`` in one line for a setting out of its range: counts
    that are not integers, ``erd`` outside [0, 1), ``drift`` outside [0, 3],
    ``imagery`` outside [0.5, 60] s, ``sfreq`` outside 88..4096 Hz (four times
    the beta band at least), NaN or infinity anywhere, and a session of more
    than 2**23 samples per channel.
    """
    n_classes = _integer("n_classes", n_classes, 2, 3)
    n_runs = _integer("n_runs", n_runs, 1, 10**4)
    n_trials = _integer("n_trials", n_trials, 1, 10**6)
    seed = _integer("seed", seed, 0, INT64_MAX)
    sfreq = _real("sfreq", sfreq, 4 * _BANDS[-1][0], _MAX_SFREQ)
    imagery = _real("imagery", imagery, _RAMP, _MAX_IMAGERY)
    erd = _real("erd", erd, 0.0, 1.0)
    if erd == 1.0:
        raise ValueError("erd must be in [0, 1), got 1.0")
    drift = _real("drift", drift, 0.0, _MAX_DRIFT)
    per_run = n_trials // n_runs
    if per_run < 1:
        raise ValueError(f"n_trials={n_trials} leaves no trial per class in each of {n_runs} runs")
    if new_class_run is not None:
        new_class_run = _integer("new_class_run", new_class_run, 1, max(1, n_runs - 1))
        if new_class_run >= n_runs:
            raise ValueError(f"new_class_run must be in 1..{n_runs - 1}, got {new_class_run}")
    longest = (n_runs * _LEAD_IN + n_classes * per_run * n_runs * (imagery + _REST[1]) + 1.0) * sfreq
    if longest > _MAX_SAMPLES:
        raise ValueError(
            f"the session would last up to {longest:.3g} samples per channel, "
            f"more than the {_MAX_SAMPLES} simulated at once"
        )
    mne = _mne()
    rng = np.random.default_rng(seed)
    gain, motor_gain = _head()

    # The cue schedule: run by run, a shuffled, balanced list of classes.
    labels, runs, onsets = [], [], []
    t = 0.0
    for r in range(n_runs):
        present = n_classes if new_class_run is None or r >= new_class_run else n_classes - 1
        t += _LEAD_IN
        for c in rng.permutation(np.repeat(np.arange(present), per_run)):
            labels.append(int(c))
            runs.append(r)
            onsets.append(t)
            t += imagery + rng.uniform(*_REST)
    n_times = int(np.ceil((t + 1.0) * sfreq))
    cues = np.round(np.asarray(onsets) * sfreq).astype(np.int64)
    labels = np.asarray(labels, dtype=np.int64)

    # Motor rhythms: each area's envelope dips while its class is imagined. An
    # area whose class the session leaves out keeps its rhythm, as background.
    length, ramp = int(imagery * sfreq), int(_RAMP * sfreq)
    sources = np.empty((len(CLASSES), n_times))
    for area in range(len(CLASSES)):
        envelope = np.ones(n_times)
        for cue in cues[labels == area]:
            depth = min(erd * rng.uniform(0.5, 1.5), 0.95)  # trials differ in how well the subject imagines
            envelope[cue : cue + length] -= depth * _plateau(length, ramp)
        rhythm = sum(a * _band_noise(rng, n_times, sfreq, f0, width) for f0, width, a in _BANDS)
        sources[area] = _RHYTHM_AM * envelope * rhythm
    data = motor_gain @ sources

    # Background dipoles at random places and orientations, different in every session.
    where = rng.choice(gain.shape[1], _N_BACKGROUND, replace=False)
    orientation = rng.standard_normal((_N_BACKGROUND, 3))
    orientation /= np.linalg.norm(orientation, axis=1, keepdims=True)
    background_gain = np.einsum("cnk,nk->cn", gain[:, where], orientation)
    data += background_gain @ (_BACKGROUND_AM * _pink_noise(rng, (_N_BACKGROUND, n_times), sfreq))
    data += _SENSOR_NOISE_V * rng.standard_normal(data.shape)
    if drift > 0:
        log_gain = drift * rng.standard_normal((data.shape[0], 1)) * np.linspace(0.0, 1.0, n_times)
        data *= np.exp(log_gain)

    info = mne.create_info(list(CHANNELS), float(sfreq), "eeg")
    info.set_montage(_MONTAGE)
    raw = mne.io.RawArray(data, info, verbose=False)
    events = np.column_stack([cues, np.zeros_like(cues), labels + 1])
    event_id = {name: i + 1 for i, name in enumerate(CLASSES[:n_classes])}
    return MotorImagery(raw, events, event_id, np.asarray(runs, dtype=np.int64), float(imagery))


@functools.lru_cache(maxsize=1)
def _head() -> tuple[np.ndarray, np.ndarray]:
    """The forward model, computed once per process (about a second).

    Returns the gain of free dipoles, (channels, sources, 3) in head
    coordinates, and the gain (channels, 3) of the three motor areas' dipoles,
    each pointing radially (the pyramidal cells of a gyral crown face the scalp).
    """
    mne = _mne()
    info = mne.create_info(list(CHANNELS), 100.0, "eeg")
    info.set_montage(_MONTAGE)
    sphere = mne.make_sphere_model("auto", "auto", info, verbose=False)
    src = mne.setup_volume_source_space(sphere=sphere, pos=10.0, verbose=False)
    fwd = mne.make_forward_solution(info, trans=None, src=src, bem=sphere, eeg=True, meg=False, verbose=False)
    gain = fwd["sol"]["data"].reshape(len(CHANNELS), -1, 3)
    rr, r0 = fwd["source_rr"], sphere["r0"]
    electrodes = info.get_montage().get_positions()["ch_pos"]
    motor = []
    for name in CLASSES:
        electrode, depth = _MOTOR_AREAS[name]
        nearest = np.argmin(np.linalg.norm(rr - (r0 + depth * (electrodes[electrode] - r0)), axis=1))
        radial = (rr[nearest] - r0) / np.linalg.norm(rr[nearest] - r0)
        motor.append(gain[:, nearest] @ radial)
    gain.flags.writeable = False
    motor = np.column_stack(motor)
    motor.flags.writeable = False
    return gain, motor


def _plateau(length: int, ramp: int) -> np.ndarray:
    """Ones with raised-cosine ramps of ``ramp`` samples at both ends."""
    shape = np.ones(length)
    rise = 0.5 - 0.5 * np.cos(np.pi * np.arange(ramp) / ramp)
    shape[:ramp] = rise
    shape[length - ramp :] = rise[::-1]
    return shape


def _band_noise(rng, n_times: int, sfreq: float, centre: float, width: float) -> np.ndarray:
    """A rhythm: Gaussian noise with a Gaussian spectral peak, scaled to unit variance."""
    f = np.fft.rfftfreq(n_times, 1.0 / sfreq)
    spectrum = (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)) * np.exp(
        -0.5 * ((f - centre) / width) ** 2
    )
    x = np.fft.irfft(spectrum, n_times)
    return x / x.std()


def _pink_noise(rng, shape: tuple[int, int], sfreq: float) -> np.ndarray:
    """Rows of 1/f noise above 0.5 Hz, each of unit variance."""
    f = np.fft.rfftfreq(shape[1], 1.0 / sfreq)
    slope = np.where(f >= 0.5, 1.0 / np.sqrt(np.maximum(f, 0.5)), 0.0)
    spectrum = (rng.standard_normal((shape[0], f.size)) + 1j * rng.standard_normal((shape[0], f.size))) * slope
    x = np.fft.irfft(spectrum, shape[1], axis=1)
    return x / x.std(axis=1, keepdims=True)
