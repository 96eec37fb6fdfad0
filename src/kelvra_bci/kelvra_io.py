"""Model records of kelvra_bci and their files.

A model file is a NumPy ``.npz`` archive holding one array per ``params``
entry plus a small JSON manifest (model type, key order, which entries are
text). Nothing in it is pickled, so loading a file never runs code from it.
"""

from __future__ import annotations

import io
import json
import os
import tempfile
import zipfile
from collections.abc import Mapping
from typing import Any

import numpy as np

__all__ = ["KelvraModel", "ModelFileError", "FORMAT_VERSION"]

FORMAT_VERSION = 1
_MANIFEST = "__kelvra_model__"
_FORMAT_NAME = "kelvra-model"

# What a kelvra_softmax record must hold: key -> (number of dimensions, dtype kind).
_SOFTMAX_SCHEMA = {
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


class ModelFileError(ValueError):
    """A model file that cannot be read back: damaged, truncated or not a model."""


class KelvraModel:
    """A fitted model: its family name and its parameter mapping.

    The mapping is kept as given, not copied: ``model.params is params``.
    """

    __slots__ = ("model_type", "params")

    def __init__(self, *, model_type: str, params: Mapping[str, Any]) -> None:
        self.model_type = model_type
        self.params = params

    def __repr__(self) -> str:
        keys = ", ".join(map(str, self.params))
        return f"KelvraModel(model_type={self.model_type!r}, params={{{keys}}})"

    def save(self, path: str | os.PathLike) -> None:
        """Write the model to ``path`` as a ``.npz`` archive, atomically.

        The archive is written to a temporary file beside ``path``, synced to
        disk and then renamed over ``path``: a crash or an error mid-write
        leaves any previous file at ``path`` as it was.
        """
        entries = _encode(self.model_type, self.params)
        path = os.fspath(path)
        directory = os.path.dirname(os.path.abspath(path))
        fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
        try:
            with os.fdopen(fd, "wb") as fh:
                _write_npz(fh, entries)
                fh.flush()
                os.fsync(fh.fileno())
            # mkstemp creates the file private; give it the usual permissions.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(tmp, 0o666 & ~umask)
            os.replace(tmp, path)
        except BaseException:
            try:
                os.unlink(tmp)
            except FileNotFoundError:
                pass
            raise
        _fsync_directory(directory)

    @classmethod
    def load(cls, path: str | os.PathLike) -> KelvraModel:
        """Read a model written by :meth:`save`.

        Raises ``FileNotFoundError`` for a missing file and
        :class:`ModelFileError` for a file that is not an intact model.
        """
        path = os.fspath(path)
        with open(path, "rb") as fh:
            data = fh.read()
        model_type, params = _decode(data, path)
        return cls(model_type=model_type, params=params)


def _encode(model_type: str, params: Mapping[str, Any]) -> dict[str, np.ndarray]:
    if not isinstance(model_type, str):
        raise TypeError(f"model_type must be a string, not {type(model_type).__name__}")
    arrays: dict[str, np.ndarray] = {}
    text_keys = []
    for key, value in params.items():
        if not isinstance(key, str) or not key or key.startswith("__kelvra"):
            raise ValueError(f"cannot store parameter name {key!r}")
        arr = np.asarray(value)
        if arr.dtype == object:
            # Text such as "backend" is kept as a fixed-width string and
            # turned back into an object array on loading.
            if arr.ndim != 0 or not isinstance(arr.item(), str):
                raise ValueError(f"cannot store parameter {key!r}: only numeric arrays and text are supported")
            arr = np.array(arr.item())
            text_keys.append(key)
        elif arr.dtype.kind not in "biufcU":
            raise ValueError(f"cannot store parameter {key!r} of dtype {arr.dtype}")
        arrays[key] = arr
    manifest = {
        "format": _FORMAT_NAME,
        "version": FORMAT_VERSION,
        "model_type": model_type,
        "keys": list(arrays),
        "text_keys": text_keys,
    }
    return {_MANIFEST: np.array(json.dumps(manifest)), **arrays}


def _write_npz(fh, entries: Mapping[str, np.ndarray]) -> None:
    # Written entry by entry rather than through np.savez so that any
    # parameter name is allowed and the archive order is the key order.
    with zipfile.ZipFile(fh, mode="w", compression=zipfile.ZIP_STORED) as zf:
        for key, arr in entries.items():
            with zf.open(f"{key}.npy", mode="w") as member:
                np.lib.format.write_array(member, arr, allow_pickle=False)


def _fsync_directory(directory: str) -> None:
    # Makes the rename itself durable; not every platform can open a directory.
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _decode(data: bytes, path: str) -> tuple[str, dict[str, Any]]:
    def fail(problem: str) -> ModelFileError:
        return ModelFileError(f"{path}: {problem}")

    if not data.startswith(b"PK\x03\x04"):
        raise fail("not a model file (not a .npz archive)")
    try:
        zf = zipfile.ZipFile(io.BytesIO(data))
    except zipfile.BadZipFile:
        raise fail("truncated or damaged archive") from None
    with zf:
        members = {name.removesuffix(".npy"): name for name in zf.namelist()}

        def read(key: str) -> np.ndarray:
            try:
                with zf.open(members[key]) as fh:
                    return np.lib.format.read_array(fh, allow_pickle=False)
            except ValueError as exc:
                if "allow_pickle" in str(exc):
                    raise fail(f"entry {key!r} holds pickled Python objects; refusing to load it") from None
                raise fail(f"entry {key!r} is damaged ({exc})") from None
            except (zipfile.BadZipFile, EOFError, OSError) as exc:
                raise fail(f"entry {key!r} is truncated or damaged ({exc})") from None

        if _MANIFEST not in members:
            raise fail("not a kelvra model file (no manifest)")
        try:
            manifest = json.loads(str(read(_MANIFEST)[()]))
            keys, text_keys = manifest["keys"], set(manifest["text_keys"])
            model_type, version = manifest["model_type"], manifest["version"]
            if (
                manifest["format"] != _FORMAT_NAME
                or not isinstance(model_type, str)
                or not isinstance(keys, list)
                or not all(isinstance(k, str) for k in [*keys, *text_keys])
            ):
                raise ValueError
        except ModelFileError:
            raise
        except (ValueError, KeyError, TypeError, IndexError):
            raise fail("damaged manifest") from None
        if version != FORMAT_VERSION:
            raise fail(f"unsupported format version {version!r} (this version reads {FORMAT_VERSION})")
        missing = [k for k in keys if k not in members]
        if missing:
            raise fail(f"missing entr{'y' if len(missing) == 1 else 'ies'} {', '.join(map(repr, missing))}")

        params: dict[str, Any] = {}
        for key in keys:
            arr = read(key)
            if key in text_keys:
                if arr.dtype.kind != "U" or arr.ndim != 0:
                    raise fail(f"entry {key!r} should hold text")
                arr = np.array(str(arr[()]), dtype=object)
            params[key] = arr
    if model_type == "kelvra_softmax":
        problem = _softmax_problem(params)
        if problem:
            raise fail(problem)
    return model_type, params


def _softmax_problem(params: Mapping[str, np.ndarray]) -> str | None:
    """Says what makes ``params`` unusable as a kelvra_softmax record, if anything."""
    missing = [k for k in _SOFTMAX_SCHEMA if k not in params]
    if missing:
        return f"missing parameter{'s' if len(missing) > 1 else ''} {', '.join(map(repr, missing))}"
    for key, (ndim, kind) in _SOFTMAX_SCHEMA.items():
        arr = params[key]
        if arr.ndim != ndim or arr.dtype.kind != kind:
            return f"parameter {key!r} has dtype {arr.dtype} and shape {arr.shape}"
    k, base, ref = int(params["n_classes"]), int(params["label_base"]), int(params["ref_class"])
    if k < 2 or base not in (0, 1) or not 0 <= ref < k:
        return f"inconsistent classes: n_classes={k}, label_base={base}, ref_class={ref}"
    d = params["beta_mean"].shape[1]
    expected = {
        "non_ref_classes": (k - 1,),
        "beta_mean": (k - 1, d),
        "beta_cov_chol": (k - 1, d, d),
        "class_counts": (k,),
    }
    for key, shape in expected.items():
        if params[key].shape != shape:
            return f"parameter {key!r} has shape {params[key].shape}, expected {shape} for {k} classes"
    return None
