"""The shared file code: the bounded .npy and .npz reader, and the atomic replacement of a file."""

import io
import os
import subprocess
import sys
import tracemalloc
import zipfile

import numpy as np
import pytest
from hostile import npy_bytes, npy_header, raw_zip, stored, zip_bytes

from kelvra_bci import fileio
from kelvra_bci.fileio import (
    ArchiveError,
    NpyError,
    NpyTruncated,
    check_zip_directory,
    read_npy_data,
    read_npy_header,
    replace_file,
)
from kelvra_bci.limits import MAX_ARCHIVE_MEMBERS

# ---------------------------------------------------------------- reading


@pytest.mark.parametrize(
    "array",
    [
        np.arange(12.0).reshape(4, 3),
        np.asfortranarray(np.arange(12.0).reshape(4, 3)),
        np.arange(6, dtype=">i4").reshape(2, 3),  # the other byte order
        np.array("text"),
        np.zeros((0, 5), np.float32),
    ],
)
def test_arrays_read_back_as_numpy_wrote_them(array):
    stream = io.BytesIO(npy_bytes(array) + b"next")
    header = read_npy_header(stream)
    got = read_npy_data(stream, header)
    np.testing.assert_array_equal(got, array)
    assert got.dtype == array.dtype.newbyteorder("=") and got.flags.writeable
    assert stream.read() == b"next"  # nothing read past the array


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "EOF"),
        (b"not an array at all", "magic string"),
        (b"\x93NUMPY\x03\x00" + bytes(20), "unsupported .npy format version 3.0"),
        # A length field claiming 64 kB: refused before those bytes are asked for.
        (b"\x93NUMPY\x01\x00\xff\xff" + bytes(20), "its header declares 65535 bytes"),
        (b"\x93NUMPY\x02\x00\xff\xff\xff\xff" + bytes(20), "its header declares 4294967295 bytes"),
        (npy_header((2, 2))[:-10], "EOF"),
    ],
)
def test_unreadable_headers_are_refused(content, message):
    with pytest.raises(NpyError, match=message) as error:
        read_npy_header(io.BytesIO(content))
    assert "\n" not in str(error.value)


def test_memory_follows_the_bytes_that_arrive():
    # A header declaring 1 GiB over a stream that holds 64 bytes: the read stops at what is there.
    stream = io.BytesIO(npy_header((2**27,)) + bytes(64))
    header = read_npy_header(stream)
    tracemalloc.start()
    try:
        with pytest.raises(NpyTruncated) as error:
            read_npy_data(stream, header)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert (error.value.got, error.value.need) == (64, 1 << 30)
    assert peak < 4 << 20


def test_zip_directories_are_bounded_before_zipfile_reads_them():
    many = raw_zip([stored(f"x{i}.npy", b"") for i in range(MAX_ARCHIVE_MEMBERS + 1)])
    with pytest.raises(ArchiveError, match=rf"an archive of {MAX_ARCHIVE_MEMBERS + 1} entries"):
        check_zip_directory(io.BytesIO(many), len(many), allow_zip64=True)
    few = zip_bytes([("a.npy", b"1"), ("b.npy", b"2")])
    check_zip_directory(io.BytesIO(few), len(few), allow_zip64=False)


def _zip64(members, monkeypatch):
    """An archive with the end records of one too large for the classic one: its counts only in the zip64 record."""
    with monkeypatch.context() as patch:
        patch.setattr(zipfile, "ZIP_FILECOUNT_LIMIT", 0)  # zipfile then writes the zip64 end record
        data = bytearray(zip_bytes(members))
    end = data.rindex(b"PK\x05\x06")
    data[end + 8 : end + 12] = b"\xff" * 4  # the classic record's entry counts say "see the zip64 record"
    return bytes(data)


def test_zip64_archives_are_refused_unless_allowed_and_bounded_by_their_own_counts(monkeypatch):
    data = _zip64([("x.npy", npy_bytes(np.ones(3)))], monkeypatch)
    with pytest.raises(ArchiveError, match="a zip64 archive"):
        check_zip_directory(io.BytesIO(data), len(data), allow_zip64=False)
    check_zip_directory(io.BytesIO(data), len(data), allow_zip64=True)
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        assert zf.namelist() == ["x.npy"]
    many = _zip64([(f"x{i}.npy", b"") for i in range(MAX_ARCHIVE_MEMBERS + 1)], monkeypatch)
    with pytest.raises(ArchiveError, match=rf"an archive of {MAX_ARCHIVE_MEMBERS + 1} entries"):
        check_zip_directory(io.BytesIO(many), len(many), allow_zip64=True)


# ---------------------------------------------------------------- writing


def _write(text):
    return lambda fh: fh.write(text)


@pytest.mark.parametrize("existing_mode", [None, 0o600, 0o644])
def test_replace_keeps_mode_without_touching_umask(existing_mode, tmp_path, monkeypatch):
    path = tmp_path / "f"
    if existing_mode is not None:
        path.write_bytes(b"old")
        path.chmod(existing_mode)
    previous = os.umask(0o027)
    try:
        monkeypatch.setattr(os, "umask", lambda mask: pytest.fail("the write changed the process umask"))
        replace_file(path, _write(b"new"))
    finally:
        monkeypatch.undo()
        os.umask(previous)
    assert path.stat().st_mode & 0o7777 == (0o640 if existing_mode is None else existing_mode)
    assert path.read_bytes() == b"new" and os.listdir(tmp_path) == ["f"]


@pytest.mark.parametrize("failure", [OSError(28, "No space left on device"), KeyboardInterrupt()])
def test_failed_write_leaves_the_previous_file_and_no_temporary(failure, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"old")

    def fail(fh):
        fh.write(b"half")
        raise failure

    with pytest.raises(type(failure)):
        replace_file(path, fail)
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["f"]


def test_replace_syncs_the_file_and_its_folder(tmp_path, monkeypatch):
    synced = []
    real_fsync = os.fsync
    monkeypatch.setattr(fileio.os, "fsync", lambda fd: synced.append(os.path.isdir(f"/proc/self/fd/{fd}")))
    replace_file(tmp_path / "f", _write(b"x"))
    monkeypatch.setattr(fileio.os, "fsync", real_fsync)
    assert synced == [False, True]  # the file before the rename, then its folder


def test_failed_replace_names_the_target(tmp_path):
    target = tmp_path / "f"
    target.mkdir()
    (target / "x").touch()
    with pytest.raises(OSError) as info:  # replacing a non-empty directory
        replace_file(target, _write(b"x"))
    assert info.value.filename == str(target) and ".kelvra-tmp" not in str(info.value)
    assert sorted(os.listdir(tmp_path)) == ["f"]
    with pytest.raises(FileNotFoundError) as info:
        replace_file(tmp_path / "missing" / "f", _write(b"x"))
    assert info.value.filename == str(tmp_path / "missing" / "f")


def test_replace_removes_only_stale_temporaries_of_its_target(tmp_path):
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    dead_pid, live_pid = int(dead.stdout), os.getppid()
    names = {
        f".f.{dead_pid}.0123abcd.kelvra-tmp": False,  # left by a process that is gone
        f".f.{live_pid}.0123abcd.kelvra-tmp": True,  # another process may still be writing it
        f".other.{dead_pid}.0123abcd.kelvra-tmp": True,  # another target's
        f".f.{dead_pid}.notmine.kelvra-tmp": True,  # not a name the writer makes
    }
    for name in names:
        (tmp_path / name).write_bytes(b"partial")
    replace_file(tmp_path / "f", _write(b"x"))
    assert sorted(os.listdir(tmp_path)) == sorted(["f", *(n for n, kept in names.items() if kept)])
