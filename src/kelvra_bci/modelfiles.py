"""Model files of kelvra_bci: saving and loading model records.

A model file is a NumPy ``.npz`` archive holding one array per ``params``
entry plus a small JSON manifest (model type, key order, which entries are
text). Nothing in it is pickled, so loading a file never runs code from it.
:meth:`KelvraModel.save <kelvra_bci.record.KelvraModel.save>` and
:meth:`~kelvra_bci.record.KelvraModel.load` call :func:`save_model` and
:func:`load_model`.
"""

from __future__ import annotations

import json
import os
import stat
import zipfile
from collections.abc import Mapping
from typing import Any, BinaryIO

import numpy as np

from .fileio import (
    DAMAGE,
    ArchiveError,
    NpyError,
    NpyHeader,
    check_zip_directory,
    member_problem,
    one_line,
    read_npy_data,
    read_npy_header,
    replace_file,
)
from .limits import MAX_MANIFEST_CHARS, MAX_MODEL_DATA_BYTES, MAX_MODEL_FILE_BYTES, MAX_NDIM, NPY_HEADER_BYTES
from .record import MODEL_TYPE, RecordError, check_stored_softmax_params

__all__ = ["FORMAT_VERSION", "ModelFileError", "load_model", "save_model"]

FORMAT_VERSION = 1

_MANIFEST = "__kelvra_model__"
_FORMAT_NAME = "kelvra-model"
_MANIFEST_FIELDS = frozenset({"format", "version", "model_type", "keys", "text_keys"})


class ModelFileError(ValueError):
    """A model file that cannot be read back: damaged, truncated or not a model."""


# ---------------------------------------------------------------- saving


def save_model(model_type: str, params: Mapping[str, Any], path: str | os.PathLike) -> None:
    """Writes a model file atomically (see :func:`kelvra_bci.fileio.replace_file`)."""
    entries = _encode(model_type, params)
    replace_file(path, lambda fh: _write_npz(fh, entries))


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


def _write_npz(fh: BinaryIO, entries: Mapping[str, np.ndarray]) -> None:
    # Written entry by entry rather than through np.savez so that any
    # parameter name is allowed and the archive order is the key order.
    with zipfile.ZipFile(fh, mode="w", compression=zipfile.ZIP_STORED) as zf:
        for key, arr in entries.items():
            with zf.open(f"{key}.npy", mode="w") as member:
                np.lib.format.write_array(member, arr, allow_pickle=False)


# ---------------------------------------------------------------- loading


class _Damage(Exception):
    """What is wrong with one archive entry, worded to follow "entry 'key' "."""


def load_model(path: str | os.PathLike) -> tuple[str, dict[str, Any]]:
    """The model type and parameters of a model file.

    Raises ``FileNotFoundError`` for a missing file (and other ``OSError`` when
    the file cannot be opened), and :class:`ModelFileError`, naming the file,
    for anything that is not an intact model file.
    """
    path = os.fspath(path)
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
    if st.st_size > MAX_MODEL_FILE_BYTES:
        raise fail(f"not a model file ({st.st_size} bytes, more than the {MAX_MODEL_FILE_BYTES} a model file may have)")
    return st.st_size


def _decode(fh, size: int, fail) -> tuple[str, dict[str, Any]]:
    if fh.read(4) != b"PK\x03\x04":
        raise fail("not a model file (not a .npz archive)")
    try:
        check_zip_directory(fh, size, allow_zip64=False)
    except ArchiveError as exc:
        raise fail(f"not a model file ({exc})") from None
    try:
        zf = zipfile.ZipFile(fh)
    except DAMAGE:
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
            check_stored_softmax_params(params)
        except RecordError as exc:
            raise fail(str(exc)) from None
    return model_type, params


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
        problem = member_problem(info)
        if problem is not None:
            raise fail(f"entry {key!r} {problem}")
        declared += info.file_size
        if declared > MAX_MODEL_DATA_BYTES:
            raise fail(f"entries declare more than the {MAX_MODEL_DATA_BYTES} bytes a model file may hold")
        infos[key] = info
    return infos


def _read_manifest(zf: zipfile.ZipFile, infos, fail) -> tuple[str, list[str], set[str]]:
    info = infos.get(_MANIFEST)
    if info is None:
        raise fail("not a kelvra model file (no manifest)")
    if info.file_size > NPY_HEADER_BYTES + 4 * MAX_MANIFEST_CHARS:  # NumPy stores text as UTF-32
        raise fail("damaged manifest")
    try:
        arr = _entry_data(zf, info, _entry_header(zf, info))
        if arr.ndim != 0 or arr.dtype.kind != "U":
            raise _Damage
        text = str(arr[()])
        if len(text) > MAX_MANIFEST_CHARS:
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


def _entry_header(zf: zipfile.ZipFile, info: zipfile.ZipInfo) -> NpyHeader:
    """Reads an entry's .npy header, inflating only its first bytes, and checks it against the entry's size."""
    try:
        with zf.open(info) as member:
            header = read_npy_header(member)
    except NpyError as exc:
        raise _Damage(f"is truncated or damaged ({exc})") from None
    except DAMAGE as exc:
        raise _Damage(f"is truncated or damaged ({one_line(exc)})") from None
    dtype, shape = header.dtype, header.shape
    if dtype.hasobject:
        raise _Damage("holds pickled Python objects; refusing to load it")
    if dtype.kind not in "biufcU" or dtype.itemsize == 0:
        raise _Damage(f"has an unsupported dtype {one_line(dtype)}")
    if len(shape) > MAX_NDIM or min(shape, default=0) < 0 or header.size + header.nbytes != info.file_size:
        raise _Damage(f"is damaged (its size does not match its shape {one_line(shape, 60)})")
    return header


def _entry_data(zf: zipfile.ZipFile, info: zipfile.ZipInfo, header: NpyHeader) -> np.ndarray:
    # Read to the entry's declared end, which the header accounts for, so that zipfile checks the CRC.
    try:
        with zf.open(info) as member:
            read_npy_header(member)
            return read_npy_data(member, header)
    except NpyError:
        raise _Damage("is truncated or damaged") from None
    except DAMAGE as exc:
        raise _Damage(f"is truncated or damaged ({one_line(exc)})") from None
