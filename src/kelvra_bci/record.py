"""The model record of kelvra_bci: ``KelvraModel``, the kelvra_softmax schema and its check.

This module holds the one definition of the kelvra_softmax record
(:data:`SOFTMAX_SCHEMA`) and its check (:func:`check_softmax_params`), which
the model files, the command line and the compiled engine all use. It does no
file I/O: :meth:`KelvraModel.save` and :meth:`KelvraModel.load` hand over to
:mod:`kelvra_bci.modelfiles`, imported only when they are called.
"""

from __future__ import annotations

import functools
import math
import os
from collections.abc import Iterable, Mapping
from types import MappingProxyType
from typing import Any

import numpy as np

from .errors import InputError
from .limits import INT32_MAX, INT64_MAX, INT64_MIN, MAX_CLASSES, MAX_MEMORY

__all__ = [
    "BACKEND",
    "MEMORY_KEYS",
    "MEMORY_SCHEMA",
    "MODEL_TYPE",
    "SCALE_SCHEMA",
    "SOFTMAX_KEYS",
    "SOFTMAX_SCHEMA",
    "KelvraModel",
    "RecordError",
    "check_softmax_params",
]

MODEL_TYPE = "kelvra_softmax"
BACKEND = "pg_softmax_ref"

# What a kelvra_softmax record holds, in the order the fit writes it:
# key -> (number of dimensions, dtype kind).
SOFTMAX_SCHEMA: Mapping[str, tuple[int, str]] = MappingProxyType(
    {
        "backend": (0, "O"),
        "n_classes": (0, "i"),
        "label_base": (0, "i"),
        "ref_class": (0, "i"),
        "non_ref_classes": (1, "i"),
        "beta_mean": (2, "f"),
        "beta_cov_chol": (3, "f"),
        "w_loc": (0, "f"),
        "w_scale": (0, "f"),
        "b_loc": (0, "f"),
        "b_scale": (0, "f"),
        "rng_seed": (0, "i"),
        "learning_rate": (0, "f"),
        "num_steps": (0, "i"),
        "class_counts": (1, "i"),
    }
)
SOFTMAX_KEYS: tuple[str, ...] = tuple(SOFTMAX_SCHEMA)

# What a record of method "mode" adds for its next update to revisit: all of
# these or none. memory_X, memory_y, memory_weight are the last trials (at
# most memory_size), their zero-based classes and the weight forgetting has
# left them; anchor_hessian and anchor_shift are the trials that left the
# memory, as the quadratic 1/2 w'Hw - s'w of the stacked rows (k rows of d
# coefficients) that their log-likelihood was at the mode when they left;
# anchor_tilt (k, d, d) is their part of each row's tilted precision;
# memory_trials is the trial count of class_counts when the memory was
# written: once the counts move on without it, the memory is not trusted and
# an update starts a new one from the stored Gaussians.
MEMORY_SCHEMA: Mapping[str, tuple[int, str]] = MappingProxyType(
    {
        "memory_X": (2, "f"),
        "memory_y": (1, "i"),
        "memory_weight": (1, "f"),
        "anchor_hessian": (2, "f"),
        "anchor_shift": (1, "f"),
        "anchor_tilt": (3, "f"),
        "memory_size": (0, "i"),
        "memory_trials": (0, "i"),
    }
)
MEMORY_KEYS: tuple[str, ...] = tuple(MEMORY_SCHEMA)

# Where the evidence chose w_scale at the fit, updates by the mode move it on:
# w_scale_follows is 1 for such a record (0, or absent in records written
# before, keeps w_scale fixed), and scale_direction (the stacked rows, as
# anchor_shift) is how the mode moved with the log weight precision at the last
# update. An update by another rule may leave a direction of an earlier class
# count, which the next update by the mode does not use.
SCALE_SCHEMA: Mapping[str, tuple[int, str]] = MappingProxyType(
    {
        "w_scale_follows": (0, "i"),
        "scale_direction": (1, "f"),
    }
)

# How far the anchor's pull at the stored means may reach, measured as the
# step the stored covariances make of it, in units of (1 + the largest mean
# or prior mean): a record written by the engine stays within a few units.
_ANCHOR_REACH = 1e4
# Rounding allowance of the anchor's comparisons with the stored precisions.
_ANCHOR_SLACK = 1e-3

_FLOAT_DTYPES = (np.dtype(np.float32), np.dtype(np.float64))


class RecordError(InputError):
    """A model record whose entries are missing, malformed or inconsistent."""


class KelvraModel:
    """A fitted model: its family name and its parameter mapping.

    The mapping is kept as given, not copied: ``model.params is params``.
    ``n_sweeps`` is the number of sweeps the fit or update that made the
    model ran (scikit-learn's ``n_iter_``); it starts as ``None``, and it is
    neither part of ``params`` nor saved to files.
    """

    __slots__ = ("model_type", "n_sweeps", "params")

    def __init__(self, *, model_type: str, params: Mapping[str, Any]) -> None:
        self.model_type = model_type
        self.params = params
        self.n_sweeps: int | None = None

    def __repr__(self) -> str:
        keys = ", ".join(map(str, self.params))
        return f"KelvraModel(model_type={self.model_type!r}, params={{{keys}}})"

    def save(self, path: str | os.PathLike) -> None:
        """Write the model to ``path`` as a ``.npz`` archive, atomically.

        The archive is written to a temporary file beside ``path``, synced to
        disk and then renamed over ``path``: a crash or an error mid-write
        leaves any previous file at ``path`` as it was. A file that replaces
        an existing one keeps its permissions; a new one gets the usual
        ``0o666`` less the umask. Errors name ``path``; the temporary file is
        removed on failure, and temporaries that crashed saves to ``path``
        left behind are removed by the next save.
        """
        from . import modelfiles  # file code loads only when a file is written

        modelfiles.save_model(self.model_type, self.params, path)

    @classmethod
    def load(cls, path: str | os.PathLike) -> KelvraModel:
        """Read a model written by :meth:`save`.

        Raises ``FileNotFoundError`` for a missing file (and other ``OSError``
        when the file cannot be opened), and
        :class:`~kelvra_bci.modelfiles.ModelFileError` for anything that is
        not an intact model file: not a regular file, too large, damaged,
        truncated, pickled, or an inconsistent record.
        """
        from . import modelfiles

        model_type, params = modelfiles.load_model(path)
        return cls(model_type=model_type, params=params)


# ---------------------------------------------------------------- the record


def check_softmax_params(
    params: Mapping[str, Any], keys: Iterable[str] | None = None, anchor_values: bool = True
) -> None:
    """Raise :class:`RecordError` naming the first problem of a kelvra_softmax record.

    ``keys=None`` checks the whole record (other extra keys are ignored); otherwise
    only the entries named in ``keys`` are checked, together with how they
    agree with each other. The whole record's check also checks the memory
    of a record of method "mode" (:data:`MEMORY_KEYS`) where it has one;
    ``anchor_values=False`` leaves out the values of its anchor, the check's
    costliest part, for :func:`check_anchor_values` to do while the update
    that reads them runs.
    Array entries (``non_ref_classes``, ``beta_mean``, ``beta_cov_chol``,
    ``class_counts``) must be arrays, objects with a ``dtype`` and a
    ``shape`` such as NumPy's: the engine reads them as such.
    Scalar entries may also be plain Python or NumPy scalars. Integer entries
    must be integers (``3``, not ``3.0``).
    """
    _check_softmax(params, SOFTMAX_KEYS if keys is None else keys, from_file=False)
    if keys is None:
        _check_memory(params, from_file=False, anchor_values=anchor_values)
        _check_scale_following(params, from_file=False)


def check_anchor_values(params: Mapping[str, Any]) -> None:
    """The rest of :func:`check_softmax_params` after ``anchor_values=False``: the values of the memory's anchor.

    ``params`` has passed that check. Nothing computed from the anchor may
    be returned before this has passed.
    """
    if all(k in params for k in MEMORY_KEYS):
        _check_anchor_values(params)


def check_stored_softmax_params(params: Mapping[str, Any]) -> None:
    """The check of a record read back from a model file: :func:`check_softmax_params`, and exact dtypes.

    Files hold exactly the dtypes and ranks the modules write, so a file gets
    none of the leniency an in-memory record gets. ``params`` holds NumPy arrays.
    """
    _check_softmax(params, SOFTMAX_KEYS, from_file=True)
    _check_memory(params, from_file=True)
    _check_scale_following(params, from_file=True)


def _check_softmax(params: Mapping[str, Any], keys: Iterable[str], from_file: bool) -> None:
    if not isinstance(params, Mapping):
        raise RecordError(f"the record's parameters should be a mapping, not {type(params).__name__}")
    if keys is not SOFTMAX_KEYS:
        keys = tuple(keys)
        unknown = [k for k in keys if k not in SOFTMAX_SCHEMA]
        if unknown:
            raise ValueError(f"not a kelvra_softmax record key: {', '.join(map(repr, unknown))}")
    missing = [k for k in keys if k not in params]
    if missing:
        raise RecordError(f"missing parameter{'s' if len(missing) > 1 else ''} {', '.join(map(repr, missing))}")
    v = {k: params[k] for k in keys}
    if from_file:
        # Files hold exactly the dtypes the modules write; no leniency there.
        for key, value in v.items():
            ndim, kind = SOFTMAX_SCHEMA[key]
            if value.ndim != ndim or value.dtype.kind != kind:
                raise RecordError(f"parameter {key!r} has dtype {value.dtype} and shape {value.shape}")

    if "backend" in v:
        _check_backend(v["backend"])
    n_classes = ref = None
    if "n_classes" in v:
        n_classes = _int_scalar("n_classes", v["n_classes"])
        if not 2 <= n_classes <= MAX_CLASSES:
            raise RecordError(f"parameter 'n_classes' is {n_classes}, expected 2 to {MAX_CLASSES} classes")
    if "label_base" in v:
        base = _int_scalar("label_base", v["label_base"])
        if base not in (0, 1):
            raise RecordError(f"parameter 'label_base' is {base}, expected 0 or 1")
    if "ref_class" in v:
        ref = _int_scalar("ref_class", v["ref_class"])
        if ref < 0 or (n_classes is not None and ref >= n_classes):
            upper = "" if n_classes is None else f" and below n_classes={n_classes}"
            raise RecordError(f"parameter 'ref_class' is {ref}, expected a class index from 0{upper}")

    rows = None if n_classes is None else n_classes - 1
    if "non_ref_classes" in v:
        rows = _check_non_ref(_int_array("non_ref_classes", v["non_ref_classes"], 1), n_classes, ref)
    mean = chol = None
    if "beta_mean" in v:
        mean = _float_array("beta_mean", v["beta_mean"], 2)
        if (rows is not None and mean.shape[0] != rows) or mean.shape[1] < 1:
            want = f"({'K-1' if rows is None else rows}, d) with d >= 1"
            raise RecordError(f"parameter 'beta_mean' has shape {mean.shape}, expected {want}{_for_classes(n_classes)}")
        rows = mean.shape[0]
    if "beta_cov_chol" in v:
        chol = _float_array("beta_cov_chol", v["beta_cov_chol"], 3)
        d = chol.shape[1] if mean is None else mean.shape[1]
        want = (chol.shape[0] if rows is None else rows, d, d)
        if chol.shape != want or d < 1:
            raise RecordError(
                f"parameter 'beta_cov_chol' has shape {chol.shape}, expected {want}{_for_classes(n_classes)}"
            )
    if mean is not None:
        if chol is not None and chol.dtype != mean.dtype:
            raise RecordError(
                f"parameters 'beta_mean' and 'beta_cov_chol' differ in dtype ({mean.dtype}, {chol.dtype})"
            )
        if not np.isfinite(mean).all():
            raise RecordError("parameter 'beta_mean' holds NaN or infinite values")
    if chol is not None:
        _check_cholesky(chol)
    if "class_counts" in v:
        counts = _int_array("class_counts", v["class_counts"], 1)
        if n_classes is not None and counts.shape != (n_classes,):
            raise RecordError(f"parameter 'class_counts' has shape {counts.shape}, expected ({n_classes},)")
        if counts.size and counts.min() < 0:
            raise RecordError("parameter 'class_counts' holds a negative count")

    for key in ("w_loc", "b_loc"):
        if key in v:
            loc = _float_scalar(key, v[key])
            if not math.isfinite(loc):
                raise RecordError(f"parameter {key!r} is {loc}, expected a finite number")
    for key in ("w_scale", "b_scale"):
        if key in v:
            _check_scale(key, _float_scalar(key, v[key]))
    if "learning_rate" in v:
        rate = _float_scalar("learning_rate", v["learning_rate"])
        if not 0 < rate <= 1:
            raise RecordError(f"parameter 'learning_rate' is {rate}, expected a value in (0, 1]")
    if "num_steps" in v:
        steps = _int_scalar("num_steps", v["num_steps"])
        if not 1 <= steps <= INT32_MAX:
            raise RecordError(f"parameter 'num_steps' is {steps}, expected 1 to {INT32_MAX}")
    if "rng_seed" in v:
        seed = _int_scalar("rng_seed", v["rng_seed"])
        if not INT64_MIN <= seed <= INT64_MAX:
            raise RecordError(f"parameter 'rng_seed' is {seed}, outside the 64-bit integer range")


def _for_classes(n_classes: int | None) -> str:
    return "" if n_classes is None else f" for {n_classes} classes"


def _describe(value: Any) -> str:
    if isinstance(value, (np.ndarray, np.generic)):
        if value.ndim:
            return f"an array of dtype {value.dtype} and shape {value.shape}"
        return f"{_short_repr(value.item())} of dtype {value.dtype}"
    return _short_repr(value)


def _short_repr(value: Any) -> str:
    text = " ".join(repr(value).split())
    return text if len(text) <= 60 else text[:57] + "..."


def _as_array(key: str, value: Any) -> np.ndarray:
    if type(value) is np.ndarray:
        return value
    try:
        return np.asarray(value)
    except Exception:  # whatever an arbitrary object's conversion raises
        raise RecordError(f"parameter {key!r} cannot be read as an array: {_describe(value)}") from None


def _int_scalar(key: str, value: Any) -> int:
    if type(value) is int:  # bool is refused: type(True) is bool
        return value
    arr = value if isinstance(value, np.generic) else _as_array(key, value)
    if arr.ndim == 0 and arr.dtype.kind in "iu":
        return int(arr)
    raise RecordError(f"parameter {key!r} should be an integer, got {_describe(value)}")


def _float_scalar(key: str, value: Any) -> float:
    if type(value) is float:
        return value
    if type(value) is not int:
        arr = value if isinstance(value, np.generic) else _as_array(key, value)
        if arr.ndim != 0 or arr.dtype.kind not in "iuf":
            raise RecordError(f"parameter {key!r} should be a real number, got {_describe(value)}")
        value = arr.item()
    try:
        return float(value)
    except OverflowError:  # an int beyond the float range
        return math.inf


def _array_entry(key: str, value: Any, want: str) -> np.ndarray:
    # The engine calls array methods on these entries: a list would pass a
    # conversion here and then fail there, so only arrays are taken.
    if not (hasattr(value, "dtype") and hasattr(value, "shape")):
        raise RecordError(f"parameter {key!r} should be {want}, got {_describe(value)}")
    return _as_array(key, value)


def _int_array(key: str, value: Any, ndim: int) -> np.ndarray:
    want = f"a {ndim}-d integer array"
    arr = _array_entry(key, value, want)
    if arr.ndim != ndim or arr.dtype.kind not in "iu":
        raise RecordError(f"parameter {key!r} should be {want}, got {_describe(arr)}")
    return arr


def _float_array(key: str, value: Any, ndim: int) -> np.ndarray:
    want = f"a {ndim}-d float32 or float64 array"
    arr = _array_entry(key, value, want)
    if arr.ndim != ndim or arr.dtype not in _FLOAT_DTYPES:
        raise RecordError(f"parameter {key!r} should be {want}, got {_describe(arr)}")
    return arr


def _check_backend(value: Any) -> None:
    text = value
    if not isinstance(value, str):
        arr = _as_array("backend", value)
        text = arr.item() if arr.ndim == 0 and arr.dtype.kind in "OU" else None
    if text != BACKEND:
        raise RecordError(f"parameter 'backend' is {_describe(value)}, expected {BACKEND!r}")


def _check_non_ref(non_ref: np.ndarray, n_classes: int | None, ref: int | None) -> int:
    """Checks that ``non_ref`` lists each class but the reference class once; returns its length."""
    if n_classes is not None and non_ref.shape != (n_classes - 1,):
        raise RecordError(f"parameter 'non_ref_classes' has shape {non_ref.shape}, expected ({n_classes - 1},)")
    ordered = np.sort(non_ref)
    if n_classes is not None and ref is not None:
        want = np.arange(1, n_classes)
        want[:ref] -= 1
        ok = bool((ordered == want).all())
    else:
        ok = ordered.size == 0 or (
            ordered[0] >= 0
            and not (ordered[1:] == ordered[:-1]).any()
            and (n_classes is None or ordered[-1] < n_classes)
            and (ref is None or not (ordered == ref).any())
        )
    if not ok:
        shown = np.array2string(non_ref, separator=", ", threshold=8, edgeitems=3, max_line_width=10**6)
        ref_text = "the reference class" if ref is None else f"the reference class {ref}"
        raise RecordError(f"parameter 'non_ref_classes' is {shown}, expected every class but {ref_text} once")
    return non_ref.shape[0]


@functools.lru_cache(maxsize=16)
def _strict_upper(d: int) -> np.ndarray:
    return np.triu(np.ones((d, d), dtype=bool), 1)


def _check_cholesky(chol: np.ndarray) -> None:
    if not chol.size:
        return
    if not np.isfinite(chol).all():
        raise RecordError("parameter 'beta_cov_chol' holds NaN or infinite values")
    d = chol.shape[-1]
    # Cheaper than np.triu: the mask is made once per size.
    if np.logical_and(chol, _strict_upper(d)).any():
        raise RecordError("parameter 'beta_cov_chol' is not lower-triangular")
    if not chol.reshape(chol.shape[0], -1)[:, :: d + 1].min() > 0:
        raise RecordError("parameter 'beta_cov_chol' has a diagonal entry that is not positive")


def _check_scale(key: str, scale: float) -> None:
    # The prior precision is 1 / scale**2: it must be finite and non-zero too.
    square = scale * scale
    if not (scale > 0 and 0 < square < math.inf and 1 / square < math.inf):
        raise RecordError(f"parameter {key!r} is {scale}, expected a positive scale whose 1/scale**2 is finite")


# ---------------------------------------------------------------- the memory


def _check_memory(params: Mapping[str, Any], from_file: bool, anchor_values: bool = True) -> None:
    """Checks the memory of a whole record already checked by :func:`_check_softmax`."""
    present = [k for k in MEMORY_KEYS if k in params]
    if not present:
        return
    missing = [k for k in MEMORY_KEYS if k not in params]
    if missing:
        raise RecordError(
            f"the record's memory lacks {', '.join(map(repr, missing))}: a record holds all of its entries or none"
        )
    v = {k: params[k] for k in MEMORY_KEYS}
    if from_file:
        for key, value in v.items():
            ndim, kind = MEMORY_SCHEMA[key]
            if value.ndim != ndim or value.dtype.kind != kind:
                raise RecordError(f"parameter {key!r} has dtype {value.dtype} and shape {value.shape}")
    n_classes = _int_scalar("n_classes", params["n_classes"])
    mean = _as_array("beta_mean", params["beta_mean"])
    rows, d = mean.shape
    size = _int_scalar("memory_size", v["memory_size"])
    if not 1 <= size <= MAX_MEMORY:
        raise RecordError(f"parameter 'memory_size' is {size}, expected 1 to {MAX_MEMORY}")
    trials = _int_scalar("memory_trials", v["memory_trials"])
    if not 0 <= trials <= INT64_MAX:
        raise RecordError(f"parameter 'memory_trials' is {trials}, expected 0 to {INT64_MAX}")

    X = _float_array("memory_X", v["memory_X"], 2)
    m = X.shape[0]
    if X.shape[1] != d - 1:
        raise RecordError(f"parameter 'memory_X' has shape {X.shape}, expected (m, {d - 1}) for {d - 1} features")
    if m > size:
        raise RecordError(f"parameter 'memory_X' holds {m} trials, more than memory_size={size}")
    y = _int_array("memory_y", v["memory_y"], 1)
    weight = _float_array("memory_weight", v["memory_weight"], 1)
    for key, arr in (("memory_y", y), ("memory_weight", weight)):
        if arr.shape != (m,):
            raise RecordError(f"parameter {key!r} has shape {arr.shape}, expected ({m},) as memory_X has {m} trials")
    if not _finite_in(X, mean.dtype):
        raise RecordError(f"parameter 'memory_X' holds NaN, infinite or values beyond {mean.dtype}")
    if m and (y.min() < 0 or y.max() >= n_classes):
        bad = y[(y < 0) | (y >= n_classes)][0]
        raise RecordError(f"parameter 'memory_y' holds class {bad}, expected classes 0 to {n_classes - 1}")
    if not (np.isfinite(weight).all() and (weight >= 0).all() and (weight <= 1).all()):
        raise RecordError("parameter 'memory_weight' holds a weight outside [0, 1]")

    hessian = _float_array("anchor_hessian", v["anchor_hessian"], 2)
    shift = _float_array("anchor_shift", v["anchor_shift"], 1)
    tilt = _float_array("anchor_tilt", v["anchor_tilt"], 3)
    # Once the class counts moved on without the memory it is replaced, not
    # used: its anchor may then have the rows of an earlier class count.
    counts = _as_array("class_counts", params["class_counts"])
    trusted = trials == int(counts.sum())
    k = rows if trusted else tilt.shape[0]
    if tilt.shape != (k, d, d):
        raise RecordError(f"parameter 'anchor_tilt' has shape {tilt.shape}, expected {(k, d, d)}")
    for key, arr, want in (("anchor_hessian", hessian, (k * d, k * d)), ("anchor_shift", shift, (k * d,))):
        if arr.shape != want:
            raise RecordError(f"parameter {key!r} has shape {arr.shape}, expected {want} for {k} rows of {d}")
    if anchor_values:
        _check_anchor_values(params)


def _check_anchor_values(params: Mapping[str, Any]) -> None:
    """The anchor of a memory whose entries and shapes :func:`_check_memory` has checked."""
    mean = _as_array("beta_mean", params["beta_mean"])
    hessian, shift, tilt = (_as_array(k, params[k]) for k in ("anchor_hessian", "anchor_shift", "anchor_tilt"))
    trusted = _int_scalar("memory_trials", params["memory_trials"]) == int(
        _as_array("class_counts", params["class_counts"]).sum()
    )
    k = tilt.shape[0]
    for key, arr in (("anchor_hessian", hessian), ("anchor_shift", shift), ("anchor_tilt", tilt)):
        if not _finite_in(arr, mean.dtype):
            raise RecordError(f"parameter {key!r} holds NaN, infinite or values beyond {mean.dtype}")
    # The curvature's shape is checked in the stored precision (float32 at
    # least: its rounding is far below the slack), without a float64 copy of
    # the largest entry of the record.
    _check_curvature("anchor_hessian", np.asarray(hessian, dtype=np.result_type(hessian, np.float32))[None])
    _check_curvature("anchor_tilt", np.asarray(tilt, dtype=np.result_type(tilt, np.float32)))
    if trusted and k:
        # On one BLAS thread: OpenBLAS's threaded trtri at a few hundred
        # features is ten times slower than its serial one (30 ms against 2 at
        # 253 features on two cores), and this runs before every update.
        with _blas_threads().limit(limits=1, user_api="blas"):
            _check_anchor_bounds(
                params,
                mean,
                np.asarray(hessian, dtype=np.float64),
                np.asarray(shift, dtype=np.float64),
                np.asarray(tilt, dtype=np.float64),
            )


def _check_scale_following(params: Mapping[str, Any], from_file: bool) -> None:
    """Checks the entries with which updates by the mode move an evidence-chosen w_scale."""
    if from_file:
        for key, (ndim, kind) in SCALE_SCHEMA.items():
            value = params.get(key)
            if value is not None and (value.ndim != ndim or value.dtype.kind != kind):
                raise RecordError(f"parameter {key!r} has dtype {value.dtype} and shape {value.shape}")
    if "w_scale_follows" in params:
        follows = _int_scalar("w_scale_follows", params["w_scale_follows"])
        if follows not in (0, 1):
            raise RecordError(f"parameter 'w_scale_follows' is {follows}, expected 0 or 1")
    if "scale_direction" in params:
        direction = _float_array("scale_direction", params["scale_direction"], 1)
        if not _finite_in(direction, _as_array("beta_mean", params["beta_mean"]).dtype):
            raise RecordError("parameter 'scale_direction' holds NaN, infinite or values beyond the record's dtype")


def _finite_in(arr: np.ndarray, dtype: np.dtype) -> bool:
    if not arr.size:
        return True
    top = np.abs(arr).max()
    return bool(np.isfinite(top) and top <= np.finfo(dtype).max)


def _check_curvature(key: str, blocks: np.ndarray) -> None:
    """A sum of trials' curvatures: symmetric, with a diagonal that is not negative and holds its largest entry.

    Both are what a positive semi-definite matrix has (|a_ij| <= sqrt(a_ii a_jj)).
    """
    if not blocks.size:
        return
    scale = max(blocks.max(), -blocks.min())
    # One temporary, reused: this runs on the (rows d)^2 anchor before every update.
    asymmetry = np.subtract(blocks, blocks.transpose(0, 2, 1))
    np.abs(asymmetry, out=asymmetry)
    if not asymmetry.max() <= _ANCHOR_SLACK * scale:
        raise RecordError(f"parameter {key!r} is not symmetric")
    diag = np.diagonal(blocks, axis1=1, axis2=2)
    if (diag < -_ANCHOR_SLACK * scale).any():
        raise RecordError(f"parameter {key!r} has a negative diagonal entry: no curvature of trials")
    if scale > (1 + _ANCHOR_SLACK) * diag.max():
        raise RecordError(f"parameter {key!r} has an entry larger than its diagonal allows: no curvature of trials")


@functools.lru_cache(maxsize=1)
def _blas_threads():
    """A controller of the BLAS libraries, made once SciPy's LAPACK is loaded (a dependency of JAX)."""
    import scipy.linalg.lapack  # noqa: F401
    from threadpoolctl import ThreadpoolController

    return ThreadpoolController()


def _precision_traces(chol: np.ndarray) -> np.ndarray:
    """tr((L L')^-1) = ||L^-1||_F^2 of each lower factor L, already checked to be triangular with a positive diagonal.

    The triangular inverse is a third of the work of a general one, which
    every update by the mode pays once per row.
    """
    from scipy.linalg import lapack

    (trtri,) = lapack.get_lapack_funcs(("trtri",), (chol,))
    traces = np.empty(chol.shape[0])
    for row, factor in enumerate(chol):
        # L' is upper triangular and, in LAPACK's column order, L itself: no copy.
        inverse, _ = trtri(factor.T, lower=0)
        traces[row] = np.vdot(inverse, inverse)
    return traces


def _check_anchor_bounds(
    params: Mapping[str, Any], mean: np.ndarray, hessian: np.ndarray, shift: np.ndarray, tilt: np.ndarray
) -> None:
    """The anchor against the stored Gaussians: the trials it holds are counted in them.

    Each row's stored precision holds the prior, the remembered trials and
    the anchor's trials: the anchor's curvature cannot exceed it. At the stored
    means, which the update that wrote the anchor found as the mode, the
    anchor's pull balances the prior's and the remembered trials'.
    """
    k, d = mean.shape
    chol = np.asarray(params["beta_cov_chol"], dtype=np.float64)
    precision_trace = _precision_traces(chol)
    allowed = (1 + 100 * _ANCHOR_SLACK) * precision_trace
    if not (np.trace(tilt, axis1=1, axis2=2) <= allowed).all():
        raise RecordError("parameter 'anchor_tilt' exceeds the precision the stored covariances hold")
    blocks = hessian.reshape(k, d, k, d)[np.arange(k), :, np.arange(k), :]
    if not (np.trace(blocks, axis1=1, axis2=2) <= allowed).all():
        raise RecordError("parameter 'anchor_hessian' exceeds the precision the stored covariances hold")
    m = mean.astype(np.float64)
    pull = (hessian @ m.reshape(-1) - shift).reshape(k, d)
    # The step L L' pull of each row, as two batched products.
    step = (chol @ (chol.transpose(0, 2, 1) @ pull[:, :, None]))[:, :, 0]
    loc = max(abs(_float_scalar("w_loc", params["w_loc"])), abs(_float_scalar("b_loc", params["b_loc"])))
    reach = _ANCHOR_REACH * (1 + np.abs(m).max() + loc)
    if not np.abs(step).max() <= reach:
        raise RecordError("parameter 'anchor_shift' pulls the means far beyond what the stored covariances allow")
