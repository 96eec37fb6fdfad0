"""Model files: saved and loaded back exactly, and damaged, crafted or unusual files each refused
with one ModelFileError line, promptly."""

import contextlib
import io
import json
import os
import signal
import time
import tracemalloc
import zipfile

import numpy as np
import pytest
from hostile import deflated_zeros, npy_bytes, npy_header, raw_zip, stored

from kelvra_bci.modelfiles import ModelFileError
from kelvra_bci.models.kelvra_softmax import inference, learning
from kelvra_bci.record import KelvraModel, check_softmax_params


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


def _manifest(members, **changes):
    manifest = json.loads(str(np.load(io.BytesIO(members["__kelvra_model__.npy"]))))
    return npy_bytes(np.array(json.dumps({**manifest, **changes})))


def _bomb(header_shape=(2**27,)):
    """A deflated .npy of zeros declaring 1 GiB, about 1 MiB packed."""
    return deflated_zeros(npy_header(header_shape), 1 << 30)


def _crafted(kind, members):
    entries = [stored(name, data) for name, data in members.items()]
    if kind == "duplicate":
        return raw_zip([*entries, entries[3]])
    if kind == "unexpected":
        return raw_zip([*entries, stored("notes.txt", b"hello")])
    if kind == "no manifest":
        return raw_zip(entries[1:])
    if kind == "bzip2":
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_BZIP2) as zf:
            for name, data in members.items():
                zf.writestr(name, data)
        return buf.getvalue()
    if kind == "huge shape":
        fake = stored("beta_mean.npy", npy_header((10**12,)) + bytes(64))
        return raw_zip(
            [fake if name == "beta_mean.npy" else entry for name, entry in zip(members, entries, strict=True)]
        )
    if kind == "many entries":
        return raw_zip(entries + [stored(f"x{i}.npy", b"") for i in range(2000)])
    manifest = {
        "version 2": lambda: _manifest(members, version=2),
        "nested manifest": lambda: npy_bytes(np.array("[" * 30_000)),
        "huge manifest": lambda: _manifest(members, pad="x" * 70_000),
        "extra manifest field": lambda: _manifest(members, extra={"a": [1]}),
        "text keys not listed": lambda: _manifest(members, text_keys=["nope"]),
    }[kind]()
    return raw_zip([stored("__kelvra_model__.npy", manifest), *entries[1:]])


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
    entries = [stored(name, body) for name, body in members.items() if name != "beta_mean.npy"]
    path = tmp_path / "bomb.npz"
    path.write_bytes(raw_zip([*entries, ("beta_mean.npy", data, zipfile.ZIP_DEFLATED, size, crc)]))
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
        "n_classes.npy": npy_bytes(np.array(0)),
    }
    path = tmp_path / "other.npz"
    path.write_bytes(raw_zip([stored(name, data) for name, data in changed.items()]))
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


@pytest.mark.parametrize("which", ["fitted", "updated"])
def test_round_trip_keeps_entries_dtypes_and_order(records, which, tmp_path):
    model = records[which]
    path = tmp_path / "m.npz"
    model.save(path)
    loaded = KelvraModel.load(path)
    assert loaded.model_type == "kelvra_softmax"
    assert list(loaded.params) == list(model.params)
    for key, value in model.params.items():
        got = loaded.params[key]
        assert type(got) is np.ndarray and got.dtype == value.dtype and got.shape == value.shape, key
        assert got.tolist() == value.tolist(), key
    X = records["X"]
    want = inference.kelvra_softmax_predict_proba(model, X, 4, 1)
    np.testing.assert_array_equal(inference.kelvra_softmax_predict_proba(loaded, X, 4, 1), want)
    learning.kelvra_softmax_update(loaded, X[:3], np.array([1, 2, 0]))


@pytest.mark.parametrize("broken", ["write", "replace"])
def test_failed_save_leaves_previous_file(records, broken, tmp_path, monkeypatch):
    path = tmp_path / "m.npz"
    records["fitted"].save(path)
    before = path.read_bytes()

    def boom(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(*((np.lib.format, "write_array") if broken == "write" else (os, "replace")), boom)
    with pytest.raises(OSError, match="disk full"):
        records["updated"].save(path)
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["m.npz"]


def _rewrite(src, dst, drop=(), replace=None):
    """Copies a model archive, leaving out or replacing members."""
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w") as zout:
        for name in zin.namelist():
            if name not in drop:
                zout.writestr(name, (replace or {}).get(name, zin.read(name)))


@pytest.mark.parametrize(
    "damage, message",
    [
        ("truncated", "truncated or damaged"),
        ("not_npz", "not a .npz"),
        ("pickled", "pickled"),
        ("missing_member", "missing entry 'beta_mean'"),
        ("missing_key", "missing parameter 'class_counts'"),
        ("bad_shape", "'beta_cov_chol'"),
    ],
)
def test_load_refuses_damaged_files(records, damage, message, tmp_path):
    good, bad = tmp_path / "good.npz", tmp_path / "bad.npz"
    records["fitted"].save(good)
    data = good.read_bytes()
    if damage == "truncated":
        bad.write_bytes(data[: len(data) // 2])
    elif damage == "not_npz":
        bad.write_text("label,a\n0,1.5\n")
    elif damage == "pickled":
        _rewrite(good, bad, replace={"beta_mean.npy": npy_bytes(np.array([{"x": 1}], dtype=object), True)})
    elif damage == "missing_member":
        _rewrite(good, bad, drop={"beta_mean.npy"})
    elif damage == "missing_key":
        manifest = json.loads(str(np.load(good)["__kelvra_model__"]))
        manifest["keys"].remove("class_counts")
        manifest_npy = npy_bytes(np.array(json.dumps(manifest)))
        _rewrite(good, bad, drop={"class_counts.npy"}, replace={"__kelvra_model__.npy": manifest_npy})
    else:
        _rewrite(good, bad, replace={"beta_cov_chol.npy": npy_bytes(np.zeros((2, 4, 3), np.float32))})
    with pytest.raises(ModelFileError, match=message):
        KelvraModel.load(bad)
