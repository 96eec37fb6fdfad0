import io
import os
import tracemalloc
import zipfile
import zlib

import numpy as np
import pytest
from hostile import deflated_zeros, npy_bytes, npy_header, raw_zip, stored

from kelvra_bci import datafiles
from kelvra_bci.datafiles import DataFileError, read_features, read_labels, write_table


def _write(path, content):
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    return str(path)


@pytest.mark.parametrize(
    "text, options, X, y",
    [
        ("a,b\n1,2\n3,4\n", {}, [[1, 2], [3, 4]], None),
        ("1,2\n3,4\n", {}, [[1, 2], [3, 4]], None),  # no header line
        ("\n1,2\n\n  \n3,4\n", {}, [[1, 2], [3, 4]], None),  # blank lines
        ("\ufeffa,b\n 1 , 2e1 \n", {}, [[1, 20]], None),  # byte-order mark, spaces, exponents
        ("a;b;c\n1;0;2\n3;1;4\n", {"delimiter": ";", "label_column": "b"}, [[1, 2], [3, 4]], [0, 1]),
        ("1,5,2\n3,6,4\n", {"label_column": "1"}, [[1, 2], [3, 4]], [5, 6]),  # by number, no header
        ("f,g,lab\n1,2,3\n4,5,6\n", {"label_column": "-1"}, [[1, 2], [4, 5]], [3, 6]),
    ],
)
def test_csv_tables(tmp_path, text, options, X, y):
    got_X, got_y = read_features(_write(tmp_path / "t.csv", text), **options)
    np.testing.assert_array_equal(got_X, X)
    if y is None:
        assert got_y is None
    else:
        assert got_y.dtype == np.int64 and got_y.tolist() == y


@pytest.mark.parametrize(
    "text, options, message",
    [
        ("", {}, "t.csv is empty"),
        ("\n \n", {}, "t.csv is empty"),
        ("a,b\n", {}, "header but no data rows"),
        ("a,b,c\n1,2,3\n4,5\n", {}, "row 3 has 2 values, expected 3"),
        ("1,2\n\n3,4,5\n", {}, "row 3 has 3 values, expected 2"),  # rows count file lines, blank ones too
        ("a,b\n1,2\n3,x\n", {}, "row 3, column 2: 'x' is not a number"),
        ("a,b\n1,\n", {}, "row 2, column 2: '' is not a number"),
        ("a;b\n1;2\n", {}, "'1;2' is not a number (are the fields separated by ';'?"),
        ("a,b\n1,nan\n", {}, "features must be finite, trial 1 feature 2 is nan"),
        ("label\n1\n2\n", {"label_column": "label"}, "holds no feature columns"),
        ("a,lab\n1,0.5\n", {"label_column": "lab"}, "column 'lab': labels must be whole numbers, found 0.5"),
        ("a,lab\n1,1e20\n", {"label_column": "lab"}, "label 1e+20 is out of range"),
        ("a,lab\n1,2\n", {"label_column": "nope"}, "no column 'nope' (columns: a, lab)"),
        ("a,lab\n1,2\n", {"label_column": "2"}, "has 2 columns; column number 2 does not exist"),
        ("a\n" + "1" * 200_000 + "\n", {}, "row 2: field larger than field limit"),
        (b"\x93\xff\x00\xfe garbage", {}, "not a UTF-8 text file"),
    ],
)
def test_csv_mistakes_are_located(tmp_path, text, options, message):
    with pytest.raises(DataFileError) as error:
        read_features(_write(tmp_path / "t.csv", text), **options)
    assert message in str(error.value) and "\n" not in str(error.value)


def test_labels_files(tmp_path):
    y = np.array([0, 2, 1])
    np.save(tmp_path / "y.npy", y[:, None])  # a column vector is one label per trial too
    np.savez(tmp_path / "y.npz", labels=y)
    assert read_labels(_write(tmp_path / "y.csv", "y\n0\n2\n1\n")).tolist() == y.tolist()
    assert read_labels(str(tmp_path / "y.npy")).tolist() == y.tolist()
    assert read_labels(str(tmp_path / "y.npz")).tolist() == y.tolist()  # the only array


@pytest.mark.parametrize(
    "values, message",
    [
        (np.array([0.0, 1.5]), "whole numbers, found 1.5"),
        (np.array([0.0, np.nan]), "whole numbers, found nan"),
        (np.array([1.0, -(2.0**63) - 4096]), "out of range"),
        (np.array([2**63], dtype=np.uint64), "label 9223372036854775808 is out of range"),
        (np.array(["a", "b"]), "whole numbers, got dtype <U1"),
        (np.ones((2, 2)), "one value per trial, got shape (2, 2)"),
    ],
)
def test_bad_labels(tmp_path, values, message):
    np.save(tmp_path / "y.npy", values)
    with pytest.raises(DataFileError) as error:
        read_labels(str(tmp_path / "y.npy"))
    assert message in str(error.value)


@pytest.mark.parametrize(
    "array",
    [
        np.arange(12.0).reshape(4, 3),
        np.asfortranarray(np.arange(12.0).reshape(4, 3)),
        np.arange(12, dtype=">f4").reshape(3, 4),  # the other byte order
        np.arange(6, dtype=np.int16).reshape(2, 3),
    ],
)
def test_npy_and_npz_arrays_read_as_numpy_does(tmp_path, array):
    np.save(tmp_path / "X.npy", array)
    np.savez_compressed(tmp_path / "d.npz", X=array, y=np.arange(len(array)))
    for path in (tmp_path / "X.npy", tmp_path / "d.npz"):
        X, _ = read_features(str(path))
        np.testing.assert_array_equal(X, array)
        assert X.dtype == array.dtype.newbyteorder("=") and X.flags.writeable


def _declaring(shape):
    """A small .npy whose header claims an array of ``shape``."""
    data = npy_bytes(np.zeros((2, 2)))
    return data.replace(b"(2, 2)", repr(shape).encode().ljust(len(repr((2, 2)))), 1)


@pytest.mark.parametrize(
    "content, message",
    [
        (_declaring((10**12, 2)), "declares an array of shape (1000000000000, 2) (16000000000000 bytes)"),
        (npy_bytes(np.zeros((4, 2)))[:-8], "declares an array of shape (4, 2) (64 bytes), but only 56 bytes follow"),
        (b"\x93NUMPY\x01\x00" + b"garbage" * 10, "is not a readable .npy array"),
        (b"not an array at all", "is not a readable .npy array"),
        (npy_bytes(np.array([[1, None]], dtype=object), allow_pickle=True), "holds Python objects"),
        (npy_bytes(np.ones((2, 2), dtype=complex)), "must be real numbers, got dtype complex128"),
        (npy_bytes(np.zeros((0, 3))), "holds no trials"),
        (npy_bytes(np.zeros(3)), "2-D table (trials x features), got shape (3,)"),
    ],
)
def test_damaged_or_hostile_npy(tmp_path, content, message):
    path = _write(tmp_path / "X.npy", content)
    archive = tmp_path / "d.npz"
    with zipfile.ZipFile(archive, "w") as zf:
        zf.writestr("X.npy", content)
    for source in (path, str(archive)):
        with pytest.raises(DataFileError) as error:
            read_features(source)
        assert message in str(error.value) and "\n" not in str(error.value)


@pytest.mark.parametrize(
    "arrays, key, message",
    [
        ({"a": np.ones((2, 2)), "b": np.ones(2)}, None, "holds arrays a, b; name the features with --features-key"),
        ({"X": np.ones((2, 2))}, "Z", "has no array 'Z' (arrays: X)"),
    ],
)
def test_npz_array_choice(tmp_path, arrays, key, message):
    np.savez(tmp_path / "d.npz", **arrays)
    with pytest.raises(DataFileError) as error:
        read_features(str(tmp_path / "d.npz"), features_key=key)
    assert message in str(error.value)


X_NPY = npy_bytes(np.ones((2, 2)))


@pytest.mark.parametrize(
    "content, message",
    [
        (b"PK\x03\x04 truncated", "d.npz is not an intact .npz archive"),
        (os.urandom(300), "d.npz is not an intact .npz archive"),
        # zipfile would build an object per directory entry before anything else is checked.
        (raw_zip([stored(f"x{i}.npy", b"") for i in range(2000)]), "not an intact .npz archive (an archive of 2000"),
        # zipfile would ask for a password.
        (raw_zip([(*stored("X.npy", X_NPY), 0x1)]), "d.npz, array 'X' is encrypted"),
        (raw_zip([("X.npy", X_NPY, 99, len(X_NPY), zlib.crc32(X_NPY))]), "unsupported compression method (99)"),
    ],
)
def test_damaged_npz(tmp_path, content, message):
    with pytest.raises(DataFileError) as error:
        read_features(_write(tmp_path / "d.npz", content))
    assert message in str(error.value) and "\n" not in str(error.value)


def test_compressed_arrays_inflate_within_a_bound(tmp_path, monkeypatch):
    # 16 MiB of zeros packed in a few kB, declared truthfully by header and directory alike.
    monkeypatch.setattr(datafiles, "MAX_INFLATED_BYTES", 1 << 20)
    data, size, crc = deflated_zeros(npy_header((1 << 21,)), 16 << 20)
    path = _write(tmp_path / "y.npz", raw_zip([("y.npy", data, zipfile.ZIP_DEFLATED, size, crc)]))
    tracemalloc.start()
    try:
        with pytest.raises(DataFileError, match=r"more than the 1048576 bytes a compressed array may inflate to"):
            read_labels(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


def test_unknown_suffix_and_label_column_outside_csv(tmp_path):
    with pytest.raises(DataFileError, match=r"expected a \.csv, \.npy or \.npz file"):
        read_features(_write(tmp_path / "d.txt", "1,2\n"))
    np.save(tmp_path / "X.npy", np.ones((2, 2)))
    with pytest.raises(DataFileError, match=r"label column can only be taken from a \.csv"):
        read_features(str(tmp_path / "X.npy"), label_column="0")


@pytest.mark.parametrize(
    "rows, fmt", [(np.array([[0.1234567891, 2.0], [1e-9, -3.5]]), "%.6g"), (np.array([[3], [1]]), "%d")]
)
def test_write_table_round_trip(tmp_path, rows, fmt):
    path = tmp_path / "out.csv"
    write_table(str(path), ["u", "v"][: rows.shape[1]], rows, fmt)
    text = path.read_text()
    assert text.splitlines()[0] == ",".join(["u", "v"][: rows.shape[1]])
    np.testing.assert_allclose(
        np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2), rows, rtol=5e-6
    )  # six significant digits
    stream = io.StringIO()
    write_table(stream, ["u", "v"][: rows.shape[1]], rows, fmt)
    assert stream.getvalue() == text


def test_failed_write_keeps_the_previous_table(tmp_path, monkeypatch):
    path = tmp_path / "out.csv"
    path.write_text("old\n")

    def fail(src, dst):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", fail)
    with pytest.raises(OSError):
        write_table(str(path), ["label"], np.array([[1]]), "%d")
    assert path.read_text() == "old\n" and os.listdir(tmp_path) == ["out.csv"]
