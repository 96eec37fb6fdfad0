"""Reading trials from data files and writing prediction tables.

Features come from a ``.csv`` (one trial per row, optional header line), a
``.npy`` (2-D array) or a ``.npz`` (named array); labels from a column of the
features ``.csv``, a separate file, or an array of a ``.npz``. Every mistake
in a file raises :class:`DataFileError` with one line that names the file and,
for a CSV, the row and column.

Arrays are read from their ``.npy`` headers and checked against the bytes the
file really holds before anything is allocated, and then read in blocks, so a
damaged or hostile file cannot ask for more memory than its own size. A
compressed ``.npz`` array is the one thing that may hold more than its file:
it is inflated block by block and refused past
:data:`~kelvra_bci.limits.MAX_INFLATED_BYTES`, whatever its header and the
archive's directory declare.
"""

from __future__ import annotations

import csv
import io
import os
import zipfile
from collections.abc import Sequence
from typing import IO

import numpy as np

from .fileio import (
    DAMAGE,
    NUMPY_METHODS,
    ArchiveError,
    NpyError,
    NpyTruncated,
    check_zip_directory,
    member_problem,
    read_npy_data,
    read_npy_header,
    replace_file,
)
from .limits import INT64_MAX, INT64_MIN, MAX_INFLATED_BYTES

__all__ = ["SUFFIXES", "DataFileError", "read_features", "read_labels", "write_table"]

SUFFIXES = (".csv", ".npy", ".npz")

# Compression methods of .npz data files: what NumPy writes, and what zipfile
# inflates block by block besides.
_METHODS = (*NUMPY_METHODS, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA)

# Default array names of a .npz data file.
FEATURES_KEY = "X"
LABELS_KEY = "y"

# int64 holds labels in [-2**63, 2**63); as floats the bounds are exact.
_INT64_LIMIT = float(-INT64_MIN)


class DataFileError(ValueError):
    """A data file that cannot be used as asked: unreadable, malformed or inconsistent."""


def read_features(
    path: str, *, delimiter: str = ",", features_key: str | None = None, label_column: str | None = None
) -> tuple[np.ndarray, np.ndarray | None]:
    """Features (trials x features) of ``path`` and, with ``label_column``, that column's labels.

    ``label_column`` names a column of a ``.csv`` by header name or 0-based
    number; the column is taken out of the features and returned as int64 labels.
    """
    kind = _suffix(path, "features")
    labels = None
    if kind == ".csv":
        header, table = _read_csv(path, delimiter)
        if label_column is not None:
            index = _column_index(label_column, header, table.shape[1], path)
            name = header[index] if header is not None else str(index)
            labels = _whole_numbers(table[:, index], f"{path}, column {name!r}")
            table = np.delete(table, index, axis=1)
        X = table
    elif label_column is not None:
        raise DataFileError(f"{path}: a label column can only be taken from a .csv file")
    elif kind == ".npy":
        X = _read_npy_file(path)
    else:
        X = _read_npz_member(path, features_key, FEATURES_KEY, "features")
    if X.ndim != 2:
        raise DataFileError(f"{path}: features must be a 2-D table (trials x features), got shape {X.shape}")
    if X.dtype.kind not in "biuf":
        raise DataFileError(f"{path}: features must be real numbers, got dtype {X.dtype}")
    if X.shape[0] == 0:
        raise DataFileError(f"{path} holds no trials")
    if X.shape[1] == 0:
        raise DataFileError(f"{path} holds no feature columns")
    if X.dtype.kind == "f" and not np.isfinite(X).all():
        row, col = np.argwhere(~np.isfinite(X))[0]
        raise DataFileError(f"{path}: features must be finite, trial {row + 1} feature {col + 1} is {X[row, col]}")
    return X, labels


def read_labels(path: str, *, delimiter: str = ",", labels_key: str | None = None) -> np.ndarray:
    """Labels (one whole number per trial, int64) of a one-column ``.csv``, a ``.npy`` or a ``.npz`` array."""
    kind = _suffix(path, "labels")
    if kind == ".csv":
        _, table = _read_csv(path, delimiter)
        if table.shape[1] != 1:
            raise DataFileError(f"{path} should hold one column of labels, found {table.shape[1]}")
        values = table[:, 0]
    elif kind == ".npy":
        values = _read_npy_file(path)
    else:
        values = _read_npz_member(path, labels_key, LABELS_KEY, "labels")
    if values.ndim == 2 and 1 in values.shape:
        values = values.reshape(-1)
    if values.ndim != 1:
        raise DataFileError(f"{path}: labels must be one value per trial, got shape {values.shape}")
    return _whole_numbers(values, path)


def write_table(out: str | IO[str], header: Sequence[str], rows: np.ndarray, fmt: str) -> None:
    """Writes ``rows`` as CSV under a header line, to a file path or an open text stream.

    A regular file is replaced atomically, as model files are (see
    :func:`kelvra_bci.fileio.replace_file`), so a failed write never leaves
    half a table behind.
    """
    buf = io.StringIO()
    np.savetxt(buf, rows, fmt=fmt, delimiter=",", header=",".join(header), comments="")
    text = buf.getvalue()
    if not isinstance(out, str):
        out.write(text)
        return
    if os.path.exists(out) and not os.path.isfile(out):
        # A device or pipe named on purpose (/dev/stdout): it cannot be replaced.
        with open(out, "w", newline="") as fh:
            fh.write(text)
        return
    replace_file(out, lambda fh: fh.write(text.encode()))


# ---------------------------------------------------------------------- CSV


def _read_csv(path: str, delimiter: str) -> tuple[list[str] | None, np.ndarray]:
    """A numeric table and its header (None when the first line holds numbers)."""
    rows, lines = [], []
    try:
        # utf-8-sig drops the byte-order mark that spreadsheet programs put first.
        with open(path, newline="", encoding="utf-8-sig") as fh:
            reader = csv.reader(fh, delimiter=delimiter)
            for row in reader:
                if any(cell.strip() for cell in row):
                    rows.append(row)
                    lines.append(reader.line_num)
    except UnicodeDecodeError:
        raise DataFileError(f"{path} is not a UTF-8 text file; expected a CSV table") from None
    except csv.Error as exc:
        # The csv module's own limit on a field (128 KiB): no number is that long.
        raise DataFileError(f"{path}, row {reader.line_num}: {exc}; is this a CSV table?") from None
    if not rows:
        raise DataFileError(f"{path} is empty")
    header = None
    if not all(_is_number(cell) for cell in rows[0]):
        header = [cell.strip() for cell in rows[0]]
        rows, lines = rows[1:], lines[1:]
        if not rows:
            raise DataFileError(f"{path} has a header but no data rows")
    width = len(header) if header is not None else len(rows[0])
    try:
        return header, np.array(rows, dtype=float)
    except ValueError:
        _locate_bad_cell(path, rows, lines, width, delimiter)
        raise


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _locate_bad_cell(path: str, rows: list[list[str]], lines: list[int], width: int, delimiter: str) -> None:
    """Raises the error for the first ragged row or non-number, in file order."""
    for line, row in zip(lines, rows, strict=True):
        if len(row) != width:
            raise DataFileError(f"{path}: row {line} has {len(row)} values, expected {width}")
        for col, cell in enumerate(row, start=1):
            if not _is_number(cell):
                other = next((c for c in ";\t|," if c != delimiter and c in cell), None)
                hint = f" (are the fields separated by {other!r}? give --delimiter)" if other else ""
                raise DataFileError(f"{path}: row {line}, column {col}: {cell.strip()!r} is not a number{hint}")


def _column_index(column: str, header: list[str] | None, width: int, path: str) -> int:
    if header is not None and column in header:
        return header.index(column)
    try:
        index = int(column)
    except ValueError:
        names = ", ".join(header) if header else "none: the file has no header line"
        raise DataFileError(f"{path} has no column {column!r} (columns: {names})") from None
    if not -width <= index < width:
        raise DataFileError(f"{path} has {width} columns; column number {index} does not exist")
    return index % width


# ----------------------------------------------------------------- NPY, NPZ


def _read_npy_file(path: str) -> np.ndarray:
    with open(path, "rb") as fh:
        return _read_npy(fh, os.fstat(fh.fileno()).st_size, path)


def _read_npz_member(path: str, key: str | None, default: str, what: str) -> np.ndarray:
    with open(path, "rb") as fh:
        try:
            check_zip_directory(fh, os.fstat(fh.fileno()).st_size, allow_zip64=True)
            with zipfile.ZipFile(fh) as archive:
                members = {info.filename.removesuffix(".npy"): info for info in archive.infolist()}
                names = ", ".join(members) or "none"
                if key is None:
                    if default in members:
                        key = default
                    elif len(members) == 1:
                        (key,) = members
                    else:
                        raise DataFileError(f"{path} holds arrays {names}; name the {what} with --{what}-key")
                if key not in members:
                    raise DataFileError(f"{path} has no array {key!r} (arrays: {names})")
                info, where = members[key], f"{path}, array {key!r}"
                problem = member_problem(info, _METHODS)
                if problem is not None:
                    raise DataFileError(f"{where} {problem}")
                # A stored array holds what its directory entry declares; a compressed one may
                # inflate to anything, so only the bound is trusted there.
                compressed = info.compress_type != zipfile.ZIP_STORED
                with archive.open(info) as member:
                    return _read_npy(member, info.file_size, where, compressed=compressed)
        except DataFileError:
            raise
        except (ArchiveError, *DAMAGE) as exc:
            raise DataFileError(f"{path} is not an intact .npz archive ({exc})") from None


def _read_npy(fh: IO[bytes], size: int, where: str, *, compressed: bool = False) -> np.ndarray:
    """Reads one array; ``size`` is the byte count of the file, header included."""
    try:
        header = read_npy_header(fh)
    except NpyError as exc:
        raise DataFileError(f"{where} is not a readable .npy array ({exc})") from None
    if header.dtype.hasobject:
        raise DataFileError(f"{where} holds Python objects; refusing to load them")
    need, have = header.nbytes, size - header.size
    if need > have:
        raise DataFileError(
            f"{where}: its header declares an array of shape {header.shape} ({need} bytes), "
            f"but only {have} bytes follow"
        )
    if compressed and need > MAX_INFLATED_BYTES:
        raise DataFileError(
            f"{where}: its header declares an array of shape {header.shape} ({need} bytes), "
            f"more than the {MAX_INFLATED_BYTES} bytes a compressed array may inflate to"
        )
    try:
        return read_npy_data(fh, header)
    except NpyTruncated as exc:
        raise DataFileError(f"{where} is truncated: {exc.got} of {exc.need} bytes") from None


# ------------------------------------------------------------------- checks


def _suffix(path: str, what: str) -> str:
    kind = os.path.splitext(path)[1].lower()
    if kind not in SUFFIXES:
        raise DataFileError(f"cannot read {what} from {path}: expected a .csv, .npy or .npz file")
    return kind


def _whole_numbers(values: np.ndarray, where: str) -> np.ndarray:
    """Labels as int64, refusing fractions, NaN, infinities and values beyond int64."""
    kind = values.dtype.kind
    if kind not in "biuf":
        raise DataFileError(f"{where}: labels must be whole numbers, got dtype {values.dtype}")
    if kind == "f":
        bad = ~np.isfinite(values) | (values != np.floor(values))
        if bad.any():
            raise DataFileError(f"{where}: labels must be whole numbers, found {values[bad][0]:g}")
        big = (values >= _INT64_LIMIT) | (values < -_INT64_LIMIT)
        if big.any():
            raise DataFileError(f"{where}: label {values[big][0]:g} is out of range")
    elif kind == "u" and values.size and values.max() > INT64_MAX:
        raise DataFileError(f"{where}: label {values.max()} is out of range")
    return values.astype(np.int64)
