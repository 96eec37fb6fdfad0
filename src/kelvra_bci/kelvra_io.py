"""Model records of kelvra_bci and their files.

A model file is a NumPy ``.npz`` archive holding one array per ``params``
entry plus a small JSON manifest (model type, key order, which entries are
text). Nothing in it is pickled, so loading a file never runs code from it.

This module also holds the one definition of the kelvra_softmax record
(:data:`SOFTMAX_SCHEMA`) and its check (:func:`check_softmax_params`), which
the loader, the command line and the compiled engine all use.
"""

from __future__ import annotations

import contextlib
import errno
import functools
import io
import json
import math
import os
import re
import secrets
import stat
import struct
import tokenize
import zipfile
import zlib
from collections.abc import Iterable, Mapping
from types import MappingProxyType
from typing import Any

import numpy as np

from .limits import INT32_MAX as _INT32_MAX
from .limits import INT64_MAX as _INT64_MAX
from .limits import INT64_MIN as _INT64_MIN
from .limits import MAX_CLASSES as _MAX_CLASSES

__all__ = [
    "BACKEND",
    "FORMAT_VERSION",
    "MODEL_TYPE",
    "SOFTMAX_KEYS",
    "SOFTMAX_SCHEMA",
    "KelvraModel",
    "ModelFileError",
    "RecordError",
    "check_softmax_params",
]

FORMAT_VERSION = 1
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

_MANIFEST = "__kelvra_model__"
_FORMAT_NAME = "kelvra-model"
_MANIFEST_FIELDS = frozenset({"format", "version", "model_type", "keys", "text_keys"})

# Bounds that keep a hostile file from costing more than a large model would.
_MAX_FILE_BYTES = 1 << 30
_MAX_DATA_BYTES = 256 << 20  # all entries together, as declared, before decompressing any
_MAX_MANIFEST_BYTES = 64 << 10
_MAX_DIRECTORY_BYTES = 1 << 20  # the zip directory: zipfile builds one object per entry
_MAX_MEMBERS = 1024
_MAX_NDIM = 32
_NPY_HEADER_BYTES = 12 + 10_000  # magic, version, length field and NumPy's own header bound

_FLOAT_DTYPES = (np.dtype(np.float32), np.dtype(np.float64))

# What the zip and .npy readers raise on damaged input. The archive is read
# from a file already opened and checked, so an OSError here means damage too
# (a seek to a negative offset, say).
_DAMAGE = (
    zipfile.BadZipFile,
    zipfile.LargeZipFile,
    EOFError,
    OSError,
    ValueError,  # UnicodeDecodeError among them
    TypeError,
    KeyError,
    IndexError,
    OverflowError,
    RuntimeError,  # RecursionError and NotImplementedError among them
    struct.error,
    zlib.error,
    tokenize.TokenError,
    SyntaxError,
)

_TMP_SUFFIX = ".kelvra-tmp"
_TMP_MIDDLE = re.compile(r"([0-9]+)\.[0-9a-f]{8}", re.ASCII)


class ModelFileError(ValueError):
    """A model file that cannot be read back: damaged, truncated or not a model."""


class RecordError(ValueError):
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
        entries = _encode(self.model_type, self.params)
        path = os.fspath(path)
        directory = os.path.dirname(os.path.abspath(path))
        base = os.path.basename(path)
        _remove_stale_temporaries(directory, base)
        mode = _existing_mode(path)
        fd, tmp = _create_temporary(directory, base, path, mode)
        try:
            with _fdopen(fd) as fh:
                _write_npz(fh, entries)
                fh.flush()
                os.fsync(fh.fileno())
            os.replace(tmp, path)
        except BaseException as exc:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
            if isinstance(exc, OSError) and exc.errno is not None and exc.filename in (None, tmp):
                raise OSError(exc.errno, exc.strerror, path).with_traceback(exc.__traceback__) from None
            raise
        _fsync_directory(directory)

    @classmethod
    def load(cls, path: str | os.PathLike) -> KelvraModel:
        """Read a model written by :meth:`save`.

        Raises ``FileNotFoundError`` for a missing file (and other ``OSError``
        when the file cannot be opened), and :class:`ModelFileError` for
        anything that is not an intact model file: not a regular file, too
        large, damaged, truncated, pickled, or an inconsistent record.
        """
        path = os.fspath(path)
        model_type, params = _read_model_file(path)
        return cls(model_type=model_type, params=params)


# ---------------------------------------------------------------- the record


def check_softmax_params(params: Mapping[str, Any], keys: Iterable[str] | None = None) -> None:
    """Raise :class:`RecordError` naming the first problem of a kelvra_softmax record.

    ``keys=None`` checks the whole record (extra keys are ignored); otherwise
    only the entries named in ``keys`` are checked, together with how they
    agree with each other. Entries may be NumPy arrays or any array-like;
    scalar entries may also be plain Python or NumPy scalars. Integer entries
    must be integers (``3``, not ``3.0``).
    """
    _check_softmax(params, SOFTMAX_KEYS if keys is None else keys, from_file=False)


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
        if not 2 <= n_classes <= _MAX_CLASSES:
            raise RecordError(f"parameter 'n_classes' is {n_classes}, expected 2 to {_MAX_CLASSES} classes")
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
        if not 1 <= steps <= _INT32_MAX:
            raise RecordError(f"parameter 'num_steps' is {steps}, expected 1 to {_INT32_MAX}")
    if "rng_seed" in v:
        seed = _int_scalar("rng_seed", v["rng_seed"])
        if not _INT64_MIN <= seed <= _INT64_MAX:
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


def _int_array(key: str, value: Any, ndim: int) -> np.ndarray:
    arr = _as_array(key, value)
    if arr.ndim != ndim or arr.dtype.kind not in "iu":
        raise RecordError(f"parameter {key!r} should be a {ndim}-d integer array, got {_describe(arr)}")
    return arr


def _float_array(key: str, value: Any, ndim: int) -> np.ndarray:
    arr = _as_array(key, value)
    if arr.ndim != ndim or arr.dtype not in _FLOAT_DTYPES:
        raise RecordError(f"parameter {key!r} should be a {ndim}-d float32 or float64 array, got {_describe(arr)}")
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


# ---------------------------------------------------------------- saving


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


def _existing_mode(path: str) -> int | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return stat.S_IMODE(st.st_mode) if stat.S_ISREG(st.st_mode) else None


def _create_temporary(directory: str, base: str, path: str, mode: int | None) -> tuple[int, str]:
    """Creates ``.{base}.{pid}.{random}.kelvra-tmp`` beside the target; returns its descriptor and path.

    A new file is created ``0o666`` and the kernel applies the umask, so the
    process umask is never changed. A replacement starts private and takes
    the mode of the file it replaces, so it is never more open than that one.
    """
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    for _ in range(16):
        tmp = os.path.join(directory, f".{base}.{os.getpid()}.{secrets.token_hex(4)}{_TMP_SUFFIX}")
        try:
            fd = os.open(tmp, flags, 0o666 if mode is None else 0o600)
        except FileExistsError:
            continue
        except OSError as exc:
            raise OSError(exc.errno, exc.strerror, path) from None
        if mode is not None:
            try:
                if hasattr(os, "fchmod"):
                    os.fchmod(fd, mode)
                else:
                    os.chmod(tmp, mode)
            except BaseException:
                os.close(fd)
                os.unlink(tmp)
                raise
        return fd, tmp
    raise FileExistsError(errno.EEXIST, "no free name for a temporary file", path)


def _fdopen(fd: int):
    try:
        return os.fdopen(fd, "wb")
    except BaseException:
        os.close(fd)
        raise


def _remove_stale_temporaries(directory: str, base: str) -> None:
    """Removes temporaries of saves to ``base`` whose process is gone; never another's."""
    if os.name != "posix":  # os.kill(pid, 0) is a probe only on POSIX; elsewhere it ends the process
        return
    prefix = f".{base}."
    try:
        entries = os.scandir(directory)
    except OSError:
        return
    with entries:
        for entry in entries:
            name = entry.name
            if not (name.startswith(prefix) and name.endswith(_TMP_SUFFIX)):
                continue
            match = _TMP_MIDDLE.fullmatch(name[len(prefix) : -len(_TMP_SUFFIX)])
            if match is None or _process_may_live(int(match[1])):
                continue
            with contextlib.suppress(OSError):
                st = entry.stat(follow_symlinks=False)
                if stat.S_ISREG(st.st_mode) and st.st_uid == os.getuid():
                    os.unlink(entry.path)


def _process_may_live(pid: int) -> bool:
    if pid <= 0 or pid == os.getpid():  # our own may be another thread's save in progress
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError):  # another user's process, or a pid we cannot ask about
        return True
    return True


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


# ---------------------------------------------------------------- loading


class _Damage(Exception):
    """What is wrong with one archive entry, worded to follow "entry 'key' "."""


def _one_line(exc: BaseException, limit: int = 100) -> str:
    text = " ".join(str(exc).split()) or type(exc).__name__
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _read_model_file(path: str) -> tuple[str, dict[str, Any]]:
    name = os.fsdecode(path)

    def fail(problem: str) -> ModelFileError:
        return ModelFileError(f"{name}: {problem}")

    # Checked before opening, since opening a FIFO blocks, and again on the
    # open descriptor, in case the path was swapped in between.
    _check_file_kind(os.stat(path), fail)
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    try:
        fh = open(fd, "rb")  # noqa: SIM115 - closed by the with below; on failure the descriptor is closed here
    except BaseException:
        os.close(fd)
        raise
    with fh:
        size = _check_file_kind(os.fstat(fd), fail)
        return _decode(fh, size, fail)


_FILE_KINDS = (
    (stat.S_ISFIFO, "a named pipe"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


def _check_file_kind(st: os.stat_result, fail) -> int:
    mode = st.st_mode
    if stat.S_ISDIR(mode):
        raise fail("is a directory, not a model file")
    if not stat.S_ISREG(mode):
        kind = next((name for test, name in _FILE_KINDS if test(mode)), "not a regular file")
        raise fail(f"not a model file ({kind})")
    if st.st_size > _MAX_FILE_BYTES:
        raise fail(f"not a model file ({st.st_size} bytes, more than the {_MAX_FILE_BYTES} a model file may have)")
    return st.st_size


def _decode(fh, size: int, fail) -> tuple[str, dict[str, Any]]:
    if fh.read(4) != b"PK\x03\x04":
        raise fail("not a model file (not a .npz archive)")
    _check_directory_size(fh, size, fail)
    try:
        zf = zipfile.ZipFile(fh)
    except _DAMAGE:
        raise fail("truncated or damaged archive") from None
    with zf:
        infos = _member_infos(zf, fail)
        model_type, keys, text_keys = _read_manifest(zf, infos, fail)
        missing = [k for k in keys if k not in infos]
        if missing:
            raise fail(f"missing entr{'y' if len(missing) == 1 else 'ies'} {', '.join(map(repr, missing))}")
        unexpected = [k for k in infos if k not in keys and k != _MANIFEST]
        if unexpected:
            raise fail(f"unexpected entry {unexpected[0] + '.npy'!r}")
        # Every entry's header is checked against its size before any data is inflated.
        headers = {}
        for key in keys:
            try:
                headers[key] = _entry_header(zf, infos[key])
            except _Damage as exc:
                raise fail(f"entry {key!r} {exc}") from None
        params: dict[str, Any] = {}
        for key in keys:
            try:
                arr = _entry_data(zf, infos[key], headers[key])
            except _Damage as exc:
                raise fail(f"entry {key!r} {exc}") from None
            if key in text_keys:
                if arr.dtype.kind != "U" or arr.ndim != 0:
                    raise fail(f"entry {key!r} should hold text")
                arr = np.array(str(arr[()]), dtype=object)
            params[key] = arr
    if model_type == MODEL_TYPE:
        try:
            _check_softmax(params, SOFTMAX_KEYS, from_file=True)
        except RecordError as exc:
            raise fail(str(exc)) from None
    return model_type, params


def _check_directory_size(fh, size: int, fail) -> None:
    """Refuses an archive whose directory is larger than a model's could be.

    zipfile reads the whole directory into objects, one per entry, before any
    other check can run. This finds the end record the same way zipfile does
    and bounds the directory it describes. A missing end record is left for
    zipfile to report.
    """
    end_size, locator_size = 22, 20
    window = max(size - (1 << 16) - end_size, 0)  # where zipfile looks for the end record
    start = max(window - locator_size, 0)
    fh.seek(start)
    tail = fh.read(size - start)
    if tail[-end_size : -end_size + 4] == b"PK\x05\x06" and tail[-2:] == b"\0\0":
        at = len(tail) - end_size
    else:
        at = tail.rfind(b"PK\x05\x06", window - start)
    if at < 0 or at + end_size > len(tail):
        return
    if at >= locator_size and tail[at - locator_size : at - locator_size + 4] == b"PK\x06\x07":
        raise fail("not a model file (a zip64 archive)")
    entries, directory_size = struct.unpack_from("<HL", tail, at + 10)
    if entries > _MAX_MEMBERS or directory_size > _MAX_DIRECTORY_BYTES:
        raise fail(f"not a model file (an archive of {entries} entries in a {directory_size}-byte directory)")


def _member_infos(zf: zipfile.ZipFile, fail) -> dict[str, zipfile.ZipInfo]:
    """Maps each entry's key to its zip header, checking what the headers declare."""
    infos: dict[str, zipfile.ZipInfo] = {}
    declared = 0
    for info in zf.infolist():
        name = info.filename
        if not name.endswith(".npy"):
            raise fail(f"unexpected entry {name!r}")
        key = name[:-4]
        if key in infos:
            raise fail(f"duplicate entry {key!r}")
        if info.flag_bits & 0x1:
            raise fail(f"entry {key!r} is encrypted")
        if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
            raise fail(f"entry {key!r} uses an unsupported compression method ({info.compress_type})")
        if info.compress_type == zipfile.ZIP_STORED and info.compress_size != info.file_size:
            raise fail(f"entry {key!r} is damaged (its stored and declared sizes differ)")
        declared += info.file_size
        if declared > _MAX_DATA_BYTES:
            raise fail(f"entries declare more than the {_MAX_DATA_BYTES} bytes a model file may hold")
        infos[key] = info
    return infos


def _read_manifest(zf: zipfile.ZipFile, infos, fail) -> tuple[str, list[str], set[str]]:
    info = infos.get(_MANIFEST)
    if info is None:
        raise fail("not a kelvra model file (no manifest)")
    if info.file_size > _NPY_HEADER_BYTES + 4 * _MAX_MANIFEST_BYTES:  # NumPy stores text as UTF-32
        raise fail("damaged manifest")
    try:
        arr = _entry_data(zf, info, _entry_header(zf, info))
        if arr.ndim != 0 or arr.dtype.kind != "U":
            raise _Damage
        text = str(arr[()])
        if len(text) > _MAX_MANIFEST_BYTES:
            raise _Damage
        manifest = json.loads(text)
    except (_Damage, ValueError, RecursionError, MemoryError):  # MemoryError: the parser's stack, on 64 KiB
        raise fail("damaged manifest") from None
    if not isinstance(manifest, dict) or manifest.get("format") != _FORMAT_NAME or "version" not in manifest:
        raise fail("damaged manifest")
    version = manifest["version"]
    if type(version) is not int or version != FORMAT_VERSION:
        shown = " ".join(repr(version).split())[:40]
        raise fail(f"unsupported format version {shown} (this version reads {FORMAT_VERSION})")
    model_type, keys, text_keys = manifest.get("model_type"), manifest.get("keys"), manifest.get("text_keys")
    if (
        manifest.keys() != _MANIFEST_FIELDS
        or not isinstance(model_type, str)
        or not model_type
        or not _is_name_list(keys)
        or not _is_name_list(text_keys)
        or _MANIFEST in keys
        or not set(text_keys) <= set(keys)
    ):
        raise fail("damaged manifest")
    return model_type, keys, set(text_keys)


def _is_name_list(names: Any) -> bool:
    return isinstance(names, list) and all(isinstance(n, str) and n for n in names) and len(set(names)) == len(names)


def _entry_header(zf: zipfile.ZipFile, info: zipfile.ZipInfo) -> tuple[np.dtype, tuple[int, ...], bool, int]:
    """Reads an entry's .npy header, inflating only its first bytes: (dtype, shape, fortran order, header size)."""
    try:
        with zf.open(info) as member:
            prefix = member.read(min(info.file_size, _NPY_HEADER_BYTES))
        buf = io.BytesIO(prefix)
        major, _ = np.lib.format.read_magic(buf)
        if major == 1:
            shape, fortran, dtype = np.lib.format.read_array_header_1_0(buf)
        elif major == 2:
            shape, fortran, dtype = np.lib.format.read_array_header_2_0(buf)
        else:
            raise _Damage(f"is damaged (unsupported .npy version {major})")
    except _Damage:
        raise
    except (*_DAMAGE, MemoryError) as exc:  # MemoryError: the header parser's stack, on 10 kB
        raise _Damage(f"is truncated or damaged ({_one_line(exc)})") from None
    if dtype.hasobject:
        raise _Damage("holds pickled Python objects; refusing to load it")
    if dtype.kind not in "biufcU" or dtype.itemsize == 0:
        raise _Damage(f"has an unsupported dtype {_one_line(dtype)}")
    count = math.prod(shape)
    if len(shape) > _MAX_NDIM or min(shape, default=0) < 0 or buf.tell() + count * dtype.itemsize != info.file_size:
        raise _Damage(f"is damaged (its size does not match its shape {_one_line(shape, 60)})")
    return dtype, shape, fortran, buf.tell()


def _entry_data(zf: zipfile.ZipFile, info: zipfile.ZipInfo, header) -> np.ndarray:
    dtype, shape, fortran, offset = header
    try:
        raw = zf.read(info)  # at most the declared size, which the header accounts for; CRC checked
    except _DAMAGE as exc:
        raise _Damage(f"is truncated or damaged ({_one_line(exc)})") from None
    if len(raw) != info.file_size:
        raise _Damage("is truncated or damaged")
    arr = np.frombuffer(raw, dtype=dtype, count=math.prod(shape), offset=offset)
    # A writable copy in native byte order, laid out as the file says.
    return arr.reshape(shape, order="F" if fortran else "C").astype(dtype.newbyteorder("="), order="K")
