"""Hostile inputs and their judges, shared by the tests and tools/hostile_campaign.py.

Archives are built byte by byte where a test needs a zip that zipfile would
refuse to write (lying sizes, duplicate or encrypted members), and by zipfile
where every checksum must be right.
"""

import io
import struct
import warnings
import zipfile
import zlib

import numpy as np

from kelvra_bci.record import MODEL_TYPE, KelvraModel

# What any refusal may raise: the documented types (RecordError and ModelFileError are ValueErrors).
DOCUMENTED = (ValueError, TypeError, KeyError, MemoryError)


def finite_result(result):
    """Whether a call's result holds only finite numbers: a model's coefficients, an estimator's, or an array."""
    if isinstance(result, KelvraModel):
        arrays = [result.params[key] for key in ("beta_mean", "beta_cov_chol") if key in result.params]
    elif hasattr(result, "model_"):
        return finite_result(result.model_)
    else:
        arrays = [result]
    try:
        return all(np.isfinite(np.asarray(a, dtype=np.float64)).all() for a in arrays)
    except (TypeError, ValueError):
        return True  # not numbers (labels of an estimator, say): nothing to be non-finite


class ShiftingRecord:
    """A record whose params read differently after the first time: a check must cover what is used."""

    def __init__(self, first, later):
        self.model_type = MODEL_TYPE
        self._first, self._later, self._read = first, later, False

    @property
    def params(self):
        if self._read:
            return self._later
        self._read = True
        return self._first


def npy_bytes(array, allow_pickle=False):
    """``array`` as the bytes of a .npy file."""
    buf = io.BytesIO()
    np.lib.format.write_array(buf, array, allow_pickle=allow_pickle)
    return buf.getvalue()


def npy_header(shape, descr="<f8"):
    """The bytes of a version 1.0 .npy header declaring ``shape``, with no data after it."""
    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, {"descr": descr, "fortran_order": False, "shape": shape})
    return buf.getvalue()


def zip_bytes(members, compression=zipfile.ZIP_STORED):
    """An archive of (name, bytes) members written by zipfile, so that every checksum is right."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression=compression) as zf:
        for name, data in members:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # duplicate names, on purpose
                zf.writestr(name, data)
    return buf.getvalue()


def zip_members(data):
    """The (name, bytes) members of an archive, in order."""
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        return [(info.filename, zf.read(info)) for info in zf.infolist()]


def stored(name, data):
    """A member for :func:`raw_zip` that is stored as it is, and says so truthfully."""
    return name, data, zipfile.ZIP_STORED, len(data), zlib.crc32(data)


def raw_zip(members):
    """A zip archive written byte by byte: (name, data, method, declared size, crc[, flags]) per member.

    ``data`` is written as it is, whatever ``method`` says; ``declared size``
    is the uncompressed size both headers claim.
    """
    out, directory = io.BytesIO(), []
    for name, data, method, size, crc, *flags in members:
        flag = flags[0] if flags else 0
        raw = name.encode()
        offset = out.tell()
        out.write(struct.pack("<4s5H3L2H", b"PK\x03\x04", 20, flag, method, 0, 0, crc, len(data), size, len(raw), 0))
        out.write(raw + data)
        header = (b"PK\x01\x02", 20, 20, flag, method, 0, 0, crc, len(data), size, len(raw), 0, 0, 0, 0, 0, offset)
        directory.append(struct.pack("<4s6H3L5H2L", *header) + raw)
    start, listing = out.tell(), b"".join(directory)
    end = struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, len(directory), len(directory), len(listing), start, 0)
    out.write(listing + end)
    return out.getvalue()


def deflated_zeros(prefix, n_zeros):
    """``prefix`` and then ``n_zeros`` zero bytes (a multiple of 1 MiB), deflated: (data, size, crc).

    Flushed blocks of zeros repeat exactly, so 1 GiB packs into about 1 MiB
    without compressing it.
    """
    pack = zlib.compressobj(9, zlib.DEFLATED, -15)
    head = pack.compress(prefix) + pack.flush(zlib.Z_FULL_FLUSH)
    zeros = bytes(1 << 20)
    block = pack.compress(zeros) + pack.flush(zlib.Z_FULL_FLUSH)
    crc = zlib.crc32(prefix)
    for _ in range(n_zeros >> 20):
        crc = zlib.crc32(zeros, crc)
    return head + block * (n_zeros >> 20) + pack.flush(), len(prefix) + n_zeros, crc
