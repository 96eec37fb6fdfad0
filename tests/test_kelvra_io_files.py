"""Damaged, crafted and unusual model files: each is refused with one ModelFileError line, promptly."""

import contextlib
import io
import json
import os
import signal
import struct
import time
import tracemalloc
import zipfile
import zlib

import numpy as np
import pytest

from kelvra_bci.kelvra_io import KelvraModel, ModelFileError, check_softmax_params
from kelvra_bci.models.kelvra_softmax import learning


@pytest.fixture(scope="module")
def good(tmp_path_factory):
    """A saved fitted model: its bytes, its params and its members (name -> .npy bytes)."""
    rng = np.random.default_rng(5)
    X, y = rng.normal(size=(12, 3)), np.arange(12) % 3
    model = learning.kelvra_softmax_fit(X, y, 3, 0, 0.0, 1.0, 0.0, 2.0, 1, 0.5, 2)
    path = tmp_path_factory.mktemp("good") / "m.npz"
    model.save(path)
    with zipfile.ZipFile(path) as zf:
        members = {name: zf.read(name) for name in zf.namelist()}
    return path.read_bytes(), model.params, members


@contextlib.contextmanager
def deadline(seconds=5):
    """Turns a load that blocks (on a FIFO, say) into a failure instead of a hung suite."""

    def expired(signum, frame):
        raise TimeoutError("load did not return")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def outcome(path, params):
    """Loads ``path``: "ok" when it loads as exactly ``params``, else the one-line refusal."""
    try:
        model = KelvraModel.load(path)
    except ModelFileError as exc:
        assert "\n" not in str(exc)
        return str(exc)
    check_softmax_params(model.params)
    assert list(model.params) == list(params)
    for key, value in params.items():
        got = model.params[key]
        assert got.dtype == value.dtype and got.shape == value.shape and got.tolist() == value.tolist(), key
    return "ok"


def test_truncated_and_bit_flipped_files_are_refused(good, tmp_path):
    data, params, _ = good
    path = tmp_path / "bad.npz"
    rng = np.random.default_rng(11)
    flips = list(zip(rng.integers(0, len(data), 400).tolist(), (1 << rng.integers(0, 8, 400)).tolist(), strict=True))
    # Every offset near the end, where the directory lies; every fifth before.
    ends = sorted({*range(0, len(data), 5), *range(len(data) - 256, len(data))})
    results = {"truncated": [], "flipped": []}
    for kind, mutated in [
        *(("truncated", data[:end]) for end in ends),
        *(("flipped", data[:at] + bytes([data[at] ^ bit]) + data[at + 1 :]) for at, bit in flips),
    ]:
        path.unlink(missing_ok=True)  # a fresh file: overwriting one in place is slow on ext4
        path.write_bytes(mutated)
        results[kind].append(outcome(path, params))
    assert "ok" not in results["truncated"]
    # Flips in fields nothing reads (timestamps, say) leave the same model; the rest are refused.
    refused = [r for r in results["flipped"] if r != "ok"]
    print(f"{len(ends)} truncations, {len(flips)} bit flips ({len(refused)} refused)")
    assert len(refused) > len(flips) // 2


def _zip(members):
    """A zip archive written byte by byte: (name, data, method, declared size, crc) per member."""
    out, directory = io.BytesIO(), []
    for name, data, method, size, crc in members:
        raw = name.encode()
        offset = out.tell()
        out.write(struct.pack("<4s5H3L2H", b"PK\x03\x04", 20, 0, method, 0, 0, crc, len(data), size, len(raw), 0))
        out.write(raw + data)
        directory.append(
            struct.pack(
                "<4s6H3L5H2L",
                b"PK\x01\x02",
                20,
                20,
                0,
                method,
                0,
                0,
                crc,
                len(data),
                size,
                len(raw),
                0,
                0,
                0,
                0,
                0,
                offset,
            )
            + raw
        )
    start, listing = out.tell(), b"".join(directory)
    out.write(
        listing + struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, len(directory), len(directory), len(listing), start, 0)
    )
    return out.getvalue()


def _stored(name, data):
    return name, data, zipfile.ZIP_STORED, len(data), zlib.crc32(data)


def _npy(arr):
    buf = io.BytesIO()
    np.lib.format.write_array(buf, arr)
    return buf.getvalue()


def _manifest(members, **changes):
    manifest = json.loads(str(np.load(io.BytesIO(members["__kelvra_model__.npy"]))))
    return _npy(np.array(json.dumps({**manifest, **changes})))


def _npy_header(shape, descr="<f8"):
    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, {"descr": descr, "fortran_order": False, "shape": shape})
    return buf.getvalue()


def _bomb(header_shape=(2**27,)):
    """A deflated .npy of zeros declaring 1 GiB, about 1 MiB packed (flushed blocks repeat exactly)."""
    header = _npy_header(header_shape)
    pack = zlib.compressobj(9, zlib.DEFLATED, -15)
    head = pack.compress(header) + pack.flush(zlib.Z_FULL_FLUSH)
    zeros = bytes(1 << 20)
    block = pack.compress(zeros) + pack.flush(zlib.Z_FULL_FLUSH)
    crc = zlib.crc32(header)
    for _ in range(1024):
        crc = zlib.crc32(zeros, crc)
    return head + block * 1024 + pack.flush(), len(header) + (1 << 30), crc


def _crafted(kind, members):
    entries = [_stored(name, data) for name, data in members.items()]
    if kind == "duplicate":
        return _zip([*entries, entries[3]])
    if kind == "unexpected":
        return _zip([*entries, _stored("notes.txt", b"hello")])
    if kind == "no manifest":
        return _zip(entries[1:])
    if kind == "bzip2":
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_BZIP2) as zf:
            for name, data in members.items():
                zf.writestr(name, data)
        return buf.getvalue()
    if kind == "huge shape":
        fake = _stored("beta_mean.npy", _npy_header((10**12,)) + bytes(64))
        return _zip([fake if name == "beta_mean.npy" else entry for name, entry in zip(members, entries, strict=True)])
    if kind == "many entries":
        return _zip(entries + [_stored(f"x{i}.npy", b"") for i in range(2000)])
    manifest = {
        "version 2": lambda: _manifest(members, version=2),
        "nested manifest": lambda: _npy(np.array("[" * 30_000)),
        "huge manifest": lambda: _manifest(members, pad="x" * 70_000),
        "extra manifest field": lambda: _manifest(members, extra={"a": [1]}),
        "text keys not listed": lambda: _manifest(members, text_keys=["nope"]),
    }[kind]()
    return _zip([_stored("__kelvra_model__.npy", manifest), *entries[1:]])


@pytest.mark.parametrize(
    "kind, message",
    [
        ("duplicate", "duplicate entry"),
        ("unexpected", "unexpected entry 'notes.txt'"),
        ("no manifest", "no manifest"),
        ("bzip2", "unsupported compression"),
        ("huge shape", "does not match its shape"),
        ("many entries", "an archive of 2016 entries"),
        ("version 2", "unsupported format version 2"),
        ("nested manifest", "damaged manifest"),
        ("huge manifest", "damaged manifest"),
        ("extra manifest field", "damaged manifest"),
        ("text keys not listed", "damaged manifest"),
    ],
)
def test_crafted_archives_are_refused(good, kind, message, tmp_path):
    _, params, members = good
    path = tmp_path / "bad.npz"
    path.write_bytes(_crafted(kind, members))
    result = outcome(path, params)
    assert message in result and result.startswith(f"{path}: ")


def test_zip_bomb_is_refused_before_inflating(good, tmp_path):
    _, params, members = good
    data, size, crc = _bomb()
    entries = [_stored(name, body) for name, body in members.items() if name != "beta_mean.npy"]
    path = tmp_path / "bomb.npz"
    path.write_bytes(_zip([*entries, ("beta_mean.npy", data, zipfile.ZIP_DEFLATED, size, crc)]))
    tracemalloc.start()
    start = time.perf_counter()
    try:
        result = outcome(path, params)
        took = time.perf_counter() - start
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    print(f"{path.stat().st_size} byte bomb declaring {size} bytes refused in {took * 1e3:.1f} ms, peak {peak} bytes")
    assert "bytes a model file may hold" in result
    assert peak < 50 << 20


def test_other_model_types_load_without_the_softmax_check(good, tmp_path):
    members = good[2]
    changed = {
        **members,
        "__kelvra_model__.npy": _manifest(members, model_type="other"),
        "n_classes.npy": _npy(np.array(0)),
    }
    path = tmp_path / "other.npz"
    path.write_bytes(_zip([_stored(name, data) for name, data in changed.items()]))
    model = KelvraModel.load(path)
    assert model.model_type == "other" and model.params["n_classes"] == 0


@pytest.mark.parametrize(
    "kind, message",
    [
        ("fifo", "named pipe"),
        ("device", "character device"),
        ("directory", "is a directory"),
        ("sparse", "bytes, more than"),
        ("link", None),
    ],
)
def test_only_regular_files_of_sane_size_are_opened(good, kind, message, tmp_path):
    data, params, _ = good
    path = tmp_path / "m.npz"
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        path.symlink_to("/dev/zero")
    elif kind == "directory":
        path.mkdir()
    elif kind == "sparse":
        with open(path, "wb") as fh:
            fh.truncate(2 << 30)
    else:
        (tmp_path / "real.npz").write_bytes(data)
        path.symlink_to(tmp_path / "real.npz")
    with deadline():
        result = outcome(path, params)
    assert result == "ok" if message is None else message in result
    with pytest.raises(FileNotFoundError):
        KelvraModel.load(tmp_path / "missing.npz")
