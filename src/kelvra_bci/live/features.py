"""The feature stage of a live decoder: band-pass, epoch checks, and CSP or tangent-space features.

A :class:`FeatureStage` is fitted once, at calibration, and then only applied.
What it applies is plain arrays (second-order sections of the filter, spatial
filters, a reference covariance, feature means and scales), so that it is
stored in the model file beside the model and comes back without pickle.

Each epoch is filtered on its own, causally, from a stretch of signal before
the window (``PAD_SECONDS``) so that the filter has settled when the window
begins: the same samples give the same features whether they were cut from a
recording offline or from a stream, and no state runs across epochs, gaps or
reconnections. Fitting uses MNE's CSP and pyRiemann's Riemannian mean (the
``[eeg]`` extra); applying needs NumPy and SciPy alone.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

__all__ = [
    "DEFAULT_BAND",
    "DEFAULT_WINDOW",
    "FEATURE_KINDS",
    "PAD_SECONDS",
    "EpochProblem",
    "FeatureStage",
    "check_epoch",
    "fit_feature_stage",
]

# The imagery period of a motor-imagery cue, less the first half second while
# the desynchronisation sets in, and the mu and beta bands.
DEFAULT_WINDOW = (0.5, 2.5)
DEFAULT_BAND = (8.0, 30.0)
# Signal taken before each window for the band-pass to settle: a 4th-order
# Butterworth from 8 Hz has decayed to well under 1% of a step in 0.5 s.
PAD_SECONDS = 1.0
FILTER_ORDER = 4
FEATURE_KINDS = ("csp", "tangent")
CSP_COMPONENTS = 6
# A channel whose peak-to-peak range within an epoch is below this many volts
# (or units of the stream) is flat: disconnected, saturated or zeroed.
FLAT_RANGE = 1e-12

# Names of the stage's entries in a model file; every one is a plain array.
_PREFIX = "live_"
_ARRAY_KEYS = ("sos", "spatial", "reference", "feature_mean", "feature_scale")


class EpochProblem(ValueError):
    """An epoch that cannot be decoded: its reason is a few words for the status line."""


@dataclass
class FeatureStage:
    """What turns one epoch (channels x samples, padding included) into one feature row."""

    kind: str
    sfreq: float
    channels: tuple[str, ...]
    window: tuple[float, float]
    band: tuple[float, float]
    sos: np.ndarray
    spatial: np.ndarray = field(default_factory=lambda: np.zeros((0, 0)))
    reference: np.ndarray = field(default_factory=lambda: np.zeros((0, 0)))
    feature_mean: np.ndarray = field(default_factory=lambda: np.zeros(0))
    feature_scale: np.ndarray = field(default_factory=lambda: np.zeros(0))

    @property
    def n_pad(self) -> int:
        return round(PAD_SECONDS * self.sfreq)

    @property
    def n_window(self) -> int:
        return window_samples(self.window, self.sfreq)

    @property
    def n_features(self) -> int:
        return int(self.feature_mean.size)

    def transform(self, epochs: np.ndarray) -> np.ndarray:
        """Features of epochs (n, channels, pad + window samples), standardised as at calibration."""
        return (self.raw_features(epochs) - self.feature_mean) / self.feature_scale

    def raw_features(self, epochs: np.ndarray) -> np.ndarray:
        windows = band_pass(self.sos, epochs)[..., -self.n_window :]
        if self.kind == "csp":
            return csp_log_power(self.spatial, windows)
        return tangent_vectors(self.reference, shrunk_covariances(windows))

    def to_arrays(self) -> dict[str, np.ndarray]:
        """The stage as model-file entries: arrays and text only."""
        arrays = {
            "kind": np.array(self.kind),
            "sfreq": np.array(float(self.sfreq)),
            "channels": np.array(self.channels, dtype=str),
            "window": np.array(self.window, dtype=np.float64),
            "band": np.array(self.band, dtype=np.float64),
        }
        arrays.update({key: np.asarray(getattr(self, key), dtype=np.float64) for key in _ARRAY_KEYS})
        return {_PREFIX + key: value for key, value in arrays.items()}

    @classmethod
    def from_arrays(cls, params) -> FeatureStage | None:
        """The stage stored among a model file's entries; None when it holds none. ValueError when damaged."""
        if _PREFIX + "kind" not in params:
            return None
        try:
            get = {key: np.asarray(params[_PREFIX + key]) for key in ("kind", "sfreq", "channels", "window", "band")}
            stage = cls(
                kind=str(get["kind"][()]),
                sfreq=float(get["sfreq"]),
                channels=tuple(str(c) for c in get["channels"].reshape(-1)),
                window=(float(get["window"][0]), float(get["window"][1])),
                band=(float(get["band"][0]), float(get["band"][1])),
                **{key: np.asarray(params[_PREFIX + key], dtype=np.float64) for key in _ARRAY_KEYS},
            )
        except (KeyError, IndexError, TypeError, ValueError) as exc:
            raise ValueError(f"the feature stage stored in the model file is damaged ({exc})") from None
        stage.check()
        return stage

    def check(self) -> None:
        """Refuses a stage whose arrays do not fit together (a damaged or hand-edited file)."""
        n_ch, p = len(self.channels), self.n_features
        problems = []
        if self.kind not in FEATURE_KINDS:
            problems.append(f"unknown feature kind {self.kind!r}")
        elif self.kind == "csp" and self.spatial.shape != (p, n_ch):
            problems.append(f"spatial filters of shape {self.spatial.shape} for {p} features of {n_ch} channels")
        elif self.kind == "tangent" and (self.reference.shape != (n_ch, n_ch) or p != n_ch * (n_ch + 1) // 2):
            problems.append(f"reference of shape {self.reference.shape} for {p} features of {n_ch} channels")
        if not (self.sfreq > 0 and 0 < self.band[0] < self.band[1] < self.sfreq / 2):
            problems.append(f"band {self.band} at {self.sfreq} Hz")
        if self.feature_scale.shape != (p,) or not np.all(self.feature_scale > 0):
            problems.append("feature scales")
        if self.sos.ndim != 2 or self.sos.shape[1] != 6:
            problems.append("filter sections")
        arrays = (self.sos, self.spatial, self.reference, self.feature_mean, self.feature_scale)
        if not all(np.isfinite(a).all() for a in arrays):
            problems.append("values that are not finite")
        if p == 0 or not self.window[0] < self.window[1]:
            problems.append("an empty window or no features")
        if problems:
            raise ValueError(f"the feature stage stored in the model file is damaged ({problems[0]})")


def window_samples(window: tuple[float, float], sfreq: float) -> int:
    return round((window[1] - window[0]) * sfreq)


def design_band_pass(band: tuple[float, float], sfreq: float) -> np.ndarray:
    from scipy.signal import butter

    return butter(FILTER_ORDER, band, btype="bandpass", fs=sfreq, output="sos")


def band_pass(sos: np.ndarray, epochs: np.ndarray) -> np.ndarray:
    """Causal band-pass along the last axis, started at rest on each epoch's first sample."""
    from scipy.signal import sosfilt, sosfilt_zi

    # sosfilt wants the state as (sections, *leading axes, 2): each channel's
    # steady state for a constant input equal to its first sample.
    base = sosfilt_zi(sos).reshape(sos.shape[0], *([1] * (epochs.ndim - 1)), 2)
    out, _ = sosfilt(sos, epochs, axis=-1, zi=base * epochs[..., :1][None])
    return out


def csp_log_power(spatial: np.ndarray, windows: np.ndarray) -> np.ndarray:
    """Log of the mean power of each spatially filtered component."""
    components = np.einsum("kc,nct->nkt", spatial, windows)
    return np.log(np.mean(components**2, axis=-1))


def shrunk_covariances(windows: np.ndarray) -> np.ndarray:
    """Oracle-approximating shrinkage covariance of each window (channels x samples), as scikit-learn's ``oas``."""
    n_times, n_ch = windows.shape[-1], windows.shape[-2]
    centred = windows - windows.mean(axis=-1, keepdims=True)
    emp = np.einsum("nct,ndt->ncd", centred, centred) / n_times
    mu = np.trace(emp, axis1=-2, axis2=-1) / n_ch
    alpha = np.mean(emp**2, axis=(-2, -1))
    num = alpha + mu**2
    den = (n_times + 1) * (alpha - mu**2 / n_ch)
    with np.errstate(divide="ignore", invalid="ignore"):
        shrinkage = np.where(den == 0, 1.0, np.minimum(num / np.where(den == 0, 1.0, den), 1.0))
    eye = np.eye(n_ch)
    return (1 - shrinkage)[:, None, None] * emp + (shrinkage * mu)[:, None, None] * eye


def tangent_vectors(reference: np.ndarray, covariances: np.ndarray) -> np.ndarray:
    """Each covariance mapped to the tangent space at ``reference``: the upper triangle of
    log(R^-1/2 C R^-1/2), off-diagonal entries weighted by sqrt(2) so that the Euclidean
    norm of the vector is the Riemannian distance to the reference."""
    values, vectors = np.linalg.eigh(reference)
    isqrt = (vectors / np.sqrt(values)) @ vectors.T
    whitened = isqrt @ covariances @ isqrt
    w, v = np.linalg.eigh(whitened)
    logs = (v * np.log(w)[:, None, :]) @ np.swapaxes(v, -1, -2)
    n_ch = reference.shape[0]
    rows, cols = np.triu_indices(n_ch)
    coeffs = np.where(rows == cols, 1.0, np.sqrt(2.0))
    return logs[:, rows, cols] * coeffs


def check_epoch(epoch: np.ndarray, n_window: int | None = None) -> None:
    """Raises :class:`EpochProblem` for an epoch holding NaN or infinite samples, or a channel flat in its window.

    NaN anywhere, the padding included, would run through the filter into the
    window; flatness counts within the window (the last ``n_window`` samples).
    """
    if not np.isfinite(epoch).all():
        raise EpochProblem("NaN or infinite samples")
    flat = np.ptp(epoch[..., -(n_window or epoch.shape[-1]) :], axis=-1) < FLAT_RANGE
    if flat.any():
        raise EpochProblem(f"{int(flat.sum())} flat channel{'s' if flat.sum() > 1 else ''}")


def fit_feature_stage(
    kind: str,
    epochs: np.ndarray,
    y: np.ndarray,
    *,
    sfreq: float,
    channels: tuple[str, ...],
    window: tuple[float, float] = DEFAULT_WINDOW,
    band: tuple[float, float] = DEFAULT_BAND,
) -> FeatureStage:
    """Fits the stage on calibration epochs (n, channels, pad + window samples) and their labels."""
    if kind not in FEATURE_KINDS:
        raise ValueError(f"feature kind must be one of {', '.join(FEATURE_KINDS)}, got {kind!r}")
    sos = design_band_pass(band, sfreq)
    stage = FeatureStage(kind, float(sfreq), tuple(channels), tuple(window), tuple(band), sos)
    windows = band_pass(sos, epochs)[..., -stage.n_window :]
    if kind == "csp":
        import mne
        from mne.decoding import CSP

        n_components = min(CSP_COMPONENTS, len(channels))
        csp = CSP(n_components=n_components, log=True)
        with mne.use_log_level("warning"):  # its notes on rank and covariances would bury the status lines
            csp.fit(windows, y)
        stage.spatial = np.asarray(csp.filters_[:n_components], dtype=np.float64)
    else:
        from pyriemann.geometry.mean import mean_riemann

        stage.reference = mean_riemann(shrunk_covariances(windows))
    raw = stage.raw_features(epochs)
    stage.feature_mean = raw.mean(axis=0)
    scale = raw.std(axis=0)
    stage.feature_scale = np.where(scale > 0, scale, 1.0)
    return stage
