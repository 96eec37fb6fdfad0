"""Reading .npy arrays and .npz archives within bounds, and replacing files atomically.

Model files and data files both read through here, so that there is one
reader to get right:

* :func:`read_npy_header` reads at most :data:`~kelvra_bci.limits.NPY_HEADER_BYTES`
  whatever a header's length field says;
* :func:`read_npy_data` reads an array's bytes in blocks, so memory grows
  only with the bytes that really arrive: neither a header nor an archive
  directory that overstates a size, nor a compressed member, can make it
  allocate more than the data it really holds (the caller bounds how much it
  asks for before reading);
* :func:`check_zip_directory` bounds an archive's directory before zipfile
  builds one object per entry of it.

:func:`replace_file` writes a file beside its target, syncs it and renames it
over the target, without ever changing the process umask.
"""

from __future__ import annotations

import contextlib
import errno
import io
import math
import os
import re
import secrets
import stat
import struct
import tokenize
import zipfile
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO, BinaryIO

import numpy as np

from .limits import MAX_ARCHIVE_DIRECTORY_BYTES, MAX_ARCHIVE_MEMBERS, NPY_HEADER_BYTES

__all__ = [
    "DAMAGE",
    "NUMPY_METHODS",
    "ArchiveError",
    "NpyError",
    "NpyHeader",
    "NpyTruncated",
    "check_zip_directory",
    "member_problem",
    "one_line",
    "read_npy_data",
    "read_npy_header",
    "replace_file",
]

# What the zip and .npy readers raise on damaged input. Archives are read from
# files already opened and checked, so an OSError there means damage too (a
# seek to a negative offset, say).
DAMAGE = (
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

_BLOCK = 1 << 20  # bytes read at a time: the most a single read allocates ahead of the data


def one_line(exc: object, limit: int = 100) -> str:
    """``str(exc)`` on one line of at most ``limit`` characters, or the type's name when it is empty."""
    text = " ".join(str(exc).split()) or type(exc).__name__
    return text if len(text) <= limit else text[: limit - 3] + "..."


# ---------------------------------------------------------------- .npy


class NpyError(ValueError):
    """A .npy array that cannot be read; the message is the cause, in one line."""


class NpyTruncated(NpyError):
    """Fewer bytes follow a .npy header than its shape and dtype need."""

    def __init__(self, got: int, need: int) -> None:
        super().__init__(f"{got} of {need} bytes")
        self.got, self.need = got, need


@dataclass(frozen=True)
class NpyHeader:
    """What a .npy header declares, and its own size in bytes (magic included)."""

    dtype: np.dtype
    shape: tuple[int, ...]
    fortran: bool
    size: int

    @property
    def nbytes(self) -> int:
        return math.prod(self.shape) * self.dtype.itemsize


def read_npy_header(stream: IO[bytes]) -> NpyHeader:
    """Reads the .npy header at the stream's position, and not one byte past it.

    Only format versions 1.0 and 2.0 are read, and no header longer than
    NumPy's own bound; anything NumPy would not read back raises
    :class:`NpyError`. The dtype is returned as declared: refusing Python
    objects or odd dtypes is the caller's choice.
    """
    fmt = np.lib.format
    try:
        start = stream.read(10)
        major, minor = fmt.read_magic(io.BytesIO(start))
        if (major, minor) == (1, 0):
            (length,) = struct.unpack("<H", start[8:10])
        elif (major, minor) == (2, 0):
            start += stream.read(2)
            (length,) = struct.unpack("<I", start[8:12])
        else:
            raise NpyError(f"unsupported .npy format version {major}.{minor}")
        if len(start) + length > NPY_HEADER_BYTES:
            raise NpyError(f"its header declares {length} bytes, more than a .npy header may have")
        buf = io.BytesIO(start + stream.read(length))
        fmt.read_magic(buf)
        read = fmt.read_array_header_1_0 if major == 1 else fmt.read_array_header_2_0
        shape, fortran, dtype = read(buf)
    except NpyError:
        raise
    except (*DAMAGE, MemoryError) as exc:  # MemoryError: the header parser's stack, on 10 kB
        raise NpyError(one_line(exc)) from None
    return NpyHeader(dtype, shape, fortran, buf.tell())


def read_npy_data(stream: IO[bytes], header: NpyHeader) -> np.ndarray:
    """The array of ``header``, from the ``header.nbytes`` bytes that follow it in ``stream``.

    The bytes are read in blocks into one growing buffer, so that memory
    follows what really arrives; bound ``header.nbytes`` before calling.
    Raises :class:`NpyTruncated` when fewer bytes arrive. The array is
    writable, laid out as the header says and in native byte order. Errors of
    the stream itself (a damaged archive member, say) pass through.
    """
    count = math.prod(header.shape)
    if header.dtype.itemsize == 0:
        return np.empty(header.shape, dtype=header.dtype)
    need = header.nbytes
    data = bytearray()
    while len(data) < need:
        block = stream.read(min(_BLOCK, need - len(data)))
        if not block:
            raise NpyTruncated(len(data), need)
        data += block
    arr = np.frombuffer(data, dtype=header.dtype, count=count)
    arr = arr.reshape(header.shape, order="F" if header.fortran else "C")
    # Arrays written on a machine of the other byte order come back in native order.
    return arr.astype(header.dtype.newbyteorder("="), order="K", copy=False)


# ---------------------------------------------------------------- .npz


class ArchiveError(ValueError):
    """An archive refused before zipfile reads it; the message says why, in one line."""


def check_zip_directory(fh: BinaryIO, size: int, *, allow_zip64: bool) -> None:
    """Refuses an archive whose directory holds more than a kelvra archive could need.

    zipfile reads the whole directory into objects, one per entry, before any
    other check can run. This finds the end record the same way zipfile does
    and bounds the directory it describes; without ``allow_zip64`` a zip64
    archive is refused outright. A missing end record is left for zipfile to
    report. Leaves the file position anywhere.
    """
    end_size, locator_size, zip64_end_size = 22, 20, 56
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
    entries, directory_size = struct.unpack_from("<HL", tail, at + 10)
    locator = at - locator_size
    if locator >= 0 and tail[locator : locator + 4] == b"PK\x06\x07":
        if not allow_zip64:
            raise ArchiveError("a zip64 archive")
        (offset,) = struct.unpack_from("<Q", tail, locator + 8)
        if offset + zip64_end_size <= size:
            fh.seek(offset)
            record = fh.read(zip64_end_size)
            if record[:4] == b"PK\x06\x06":
                entries, directory_size = struct.unpack_from("<QQ", record, 32)
    if entries > MAX_ARCHIVE_MEMBERS or directory_size > MAX_ARCHIVE_DIRECTORY_BYTES:
        raise ArchiveError(f"an archive of {entries} entries in a {directory_size}-byte directory")


NUMPY_METHODS = (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED)  # what np.savez and np.savez_compressed write


def member_problem(info: zipfile.ZipInfo, methods: tuple[int, ...] = NUMPY_METHODS) -> str | None:
    """Why an archive member cannot be read, worded to follow its name; None if it can.

    zipfile would ask for a password, or fail deep inside, on what this
    refuses: encrypted members, compression methods outside ``methods``, and
    stored members whose two sizes differ.
    """
    if info.flag_bits & 0x1:
        return "is encrypted"
    if info.compress_type not in methods:
        return f"uses an unsupported compression method ({info.compress_type})"
    if info.compress_type == zipfile.ZIP_STORED and info.compress_size != info.file_size:
        return "is damaged (its stored and declared sizes differ)"
    return None


# ---------------------------------------------------------------- writing

_TMP_SUFFIX = ".kelvra-tmp"
_TMP_MIDDLE = re.compile(r"([0-9]+)\.[0-9a-f]{8}", re.ASCII)


def replace_file(path: str | os.PathLike, write: Callable[[BinaryIO], None]) -> None:
    """Writes ``path`` through ``write(fh)`` atomically: a temporary file beside it, synced, then renamed.

    A crash or an error mid-write leaves any previous file at ``path`` as it
    was. A file that replaces an existing one keeps its permissions; a new
    one gets ``0o666`` less the umask, which the kernel applies when the
    temporary file is created, so the process umask is never read or changed.
    The folder is synced after the rename, so the rename itself survives a
    crash. Errors of the file system name ``path``; the temporary file
    (``.<name>.<pid>.<random>.kelvra-tmp``) is removed on failure, and
    temporaries that crashed writes to ``path`` left behind are removed first.
    """
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    base = os.path.basename(path)
    _remove_stale_temporaries(directory, base)
    fd, tmp = _create_temporary(directory, base, path, _existing_mode(path))
    try:
        with _fdopen(fd) as fh:
            write(fh)
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


def _existing_mode(path: str) -> int | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return stat.S_IMODE(st.st_mode) if stat.S_ISREG(st.st_mode) else None


def _create_temporary(directory: str, base: str, path: str, mode: int | None) -> tuple[int, str]:
    """Creates ``.{base}.{pid}.{random}.kelvra-tmp`` beside the target; returns its descriptor and path.

    A new file is created ``0o666`` and the kernel applies the umask. A
    replacement starts private and takes the mode of the file it replaces, so
    it is never more open than that one.
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


def _fdopen(fd: int) -> BinaryIO:
    try:
        return os.fdopen(fd, "wb")
    except BaseException:
        os.close(fd)
        raise


def _remove_stale_temporaries(directory: str, base: str) -> None:
    """Removes temporaries of writes to ``base`` whose process is gone; never another's."""
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
    if pid <= 0 or pid == os.getpid():  # our own may be another thread's write in progress
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
