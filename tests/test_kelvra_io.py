import io
import json
import os
import re
import subprocess
import sys
import zipfile

import numpy as np
import pytest

from kelvra_bci.kelvra_io import (
    SOFTMAX_KEYS,
    SOFTMAX_SCHEMA,
    KelvraModel,
    ModelFileError,
    RecordError,
    check_softmax_params,
)
from kelvra_bci.models.kelvra_softmax import inference, learning


@pytest.fixture(scope="module")
def records():
    rng = np.random.default_rng(3)
    X = rng.normal(size=(24, 3))
    y = np.arange(24) % 3
    fitted = learning.kelvra_softmax_fit(X, y, 3, 0, 0.0, 1.0, 0.0, 2.0, 5, 0.5, 3)
    # Label 3 grows the class set, so the update's own layout is saved too.
    updated = learning.kelvra_softmax_update(fitted, X[:6], np.array([0, 1, 3, 3, 2, 1]))
    return {"fitted": fitted, "updated": updated, "X": X}


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


def _npy(arr, allow_pickle=False):
    buf = io.BytesIO()
    np.lib.format.write_array(buf, arr, allow_pickle=allow_pickle)
    return buf.getvalue()


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
        _rewrite(good, bad, replace={"beta_mean.npy": _npy(np.array([{"x": 1}], dtype=object), True)})
    elif damage == "missing_member":
        _rewrite(good, bad, drop={"beta_mean.npy"})
    elif damage == "missing_key":
        manifest = json.loads(str(np.load(good)["__kelvra_model__"]))
        manifest["keys"].remove("class_counts")
        manifest_npy = _npy(np.array(json.dumps(manifest)))
        _rewrite(good, bad, drop={"class_counts.npy"}, replace={"__kelvra_model__.npy": manifest_npy})
    else:
        _rewrite(good, bad, replace={"beta_cov_chol.npy": _npy(np.zeros((2, 4, 3), np.float32))})
    with pytest.raises(ModelFileError, match=message):
        KelvraModel.load(bad)


def test_fitted_record_follows_the_schema(records):
    for model in (records["fitted"], records["updated"]):
        assert list(model.params) == list(SOFTMAX_KEYS)
        for key, (ndim, kind) in SOFTMAX_SCHEMA.items():
            value = model.params[key]
            assert (value.ndim, value.dtype.kind) == (ndim, kind), key
        check_softmax_params(model.params)


def test_model_keeps_params_and_leaves_sweeps_out_of_files(records, tmp_path):
    params = dict(records["fitted"].params)
    model = KelvraModel(model_type="kelvra_softmax", params=params)
    assert model.params is params and model.n_sweeps is None
    with pytest.raises(TypeError):
        KelvraModel("kelvra_softmax", params)
    model.n_sweeps = 5
    model.save(tmp_path / "m.npz")
    loaded = KelvraModel.load(tmp_path / "m.npz")
    assert loaded.n_sweeps is None and "n_sweeps" not in loaded.params


def _set(key, index, value):
    def change(params):
        arr = np.array(params[key], copy=True)
        arr[index] = value
        return {key: arr}

    return change


def _zero_width(params):
    k = params["beta_mean"].shape[0]
    return {"beta_mean": np.zeros((k, 0)), "beta_cov_chol": np.zeros((k, 0, 0))}


# Each change breaks the fitted record (3 classes, reference class 0) in one way.
BROKEN_RECORDS = [
    ("non_ref_classes", lambda p: {"non_ref_classes": np.array([1, 7])}),
    ("non_ref_classes", lambda p: {"non_ref_classes": np.array([1, 1])}),
    ("non_ref_classes", lambda p: {"non_ref_classes": np.array([-1, 1])}),
    ("beta_mean", _set("beta_mean", (0, 0), np.nan)),
    ("beta_cov_chol", _set("beta_cov_chol", (0, 1, 0), np.nan)),
    ("beta_cov_chol", _set("beta_cov_chol", (1, 0, 0), np.inf)),
    ("beta_cov_chol", lambda p: {"beta_cov_chol": np.zeros_like(p["beta_cov_chol"])}),
    ("beta_cov_chol", _set("beta_cov_chol", (0, 0, 2), 0.5)),
    ("beta_cov_chol", _set("beta_cov_chol", (1, 2, 2), -1.0)),
    ("beta_cov_chol", lambda p: {"beta_cov_chol": p["beta_cov_chol"].astype(np.float16)}),
    ("beta_mean", _zero_width),
    ("learning_rate", lambda p: {"learning_rate": np.array(5.0)}),
    ("num_steps", lambda p: {"num_steps": np.array(0)}),
    ("num_steps", lambda p: {"num_steps": np.array(2**31)}),
    ("w_scale", lambda p: {"w_scale": np.array(0.0)}),
    ("w_scale", lambda p: {"w_scale": np.array(1e200)}),
    ("b_scale", lambda p: {"b_scale": np.array(1e-200)}),
    ("b_loc", lambda p: {"b_loc": np.array(np.inf)}),
    ("n_classes", lambda p: {"n_classes": np.array(0)}),
    ("n_classes", lambda p: {"n_classes": np.array(1)}),
    ("n_classes", lambda p: {"n_classes": np.array(3.0)}),
    ("ref_class", lambda p: {"ref_class": np.array(3)}),
    ("label_base", lambda p: {"label_base": np.array(2)}),
    ("class_counts", _set("class_counts", 1, -1)),
    ("backend", lambda p: {"backend": np.array("other", dtype=object)}),
]


@pytest.mark.parametrize("key, change", BROKEN_RECORDS)
def test_broken_record_is_refused_in_memory_and_in_files(records, key, change, tmp_path):
    params = {**records["fitted"].params, **change(records["fitted"].params)}
    with pytest.raises(RecordError, match=re.escape(repr(key))):
        check_softmax_params(params)
    KelvraModel(model_type="kelvra_softmax", params=params).save(tmp_path / "m.npz")
    with pytest.raises(ModelFileError, match=re.escape(repr(key))) as info:
        KelvraModel.load(tmp_path / "m.npz")
    assert str(info.value).startswith(f"{tmp_path / 'm.npz'}: ") and "\n" not in str(info.value)


AS_LISTS = object()


@pytest.mark.parametrize(
    "changes, ok",
    [
        ({"n_classes": 3, "ref_class": np.int64(0), "label_base": np.int32(1), "num_steps": np.uint8(2)}, True),
        ({"learning_rate": 1, "w_scale": np.float32(0.5), "b_loc": -2, "backend": "pg_softmax_ref"}, True),
        ({"non_ref_classes": [2, 1], "class_counts": (0, 4, 9), "beta_mean": AS_LISTS}, True),
        ({"n_classes": 3.0}, False),
        ({"ref_class": np.float64(0.0)}, False),
        ({"label_base": True}, False),
        ({"learning_rate": "0.5"}, False),
        ({"non_ref_classes": np.array([1, 2], dtype=object)}, False),
        ({"rng_seed": 2**63}, False),
    ],
)
def test_in_memory_record_accepts_scalars_and_array_likes(records, changes, ok):
    params = {**records["fitted"].params, **changes}
    if params["beta_mean"] is AS_LISTS:
        params["beta_mean"] = records["fitted"].params["beta_mean"].astype(np.float64).tolist()
        params["beta_cov_chol"] = records["fitted"].params["beta_cov_chol"].astype(np.float64)
    if ok:
        check_softmax_params(params)
    else:
        with pytest.raises(RecordError, match=re.escape(repr(next(iter(changes))))):
            check_softmax_params(params)


PREDICT_KEYS = ("n_classes", "ref_class", "non_ref_classes", "beta_mean", "beta_cov_chol", "label_base")


@pytest.mark.parametrize(
    "drop, changes, error",
    [
        (("w_scale", "class_counts", "backend"), {}, None),
        ((), {"learning_rate": 7.0, "class_counts": [-1]}, None),  # not among the keys checked
        (("beta_cov_chol",), {}, "missing parameter 'beta_cov_chol'"),
        ((), {"non_ref_classes": np.array([2, 3])}, "'non_ref_classes'"),
        ((), {"beta_cov_chol": np.zeros((2, 3, 3))}, "'beta_cov_chol'"),
    ],
)
def test_subset_check_reads_only_its_keys(records, drop, changes, error):
    params = {k: v for k, v in {**records["fitted"].params, **changes}.items() if k not in drop}
    if error is None:
        check_softmax_params(params, PREDICT_KEYS)
    else:
        with pytest.raises(RecordError, match=re.escape(error)):
            check_softmax_params(params, PREDICT_KEYS)


def test_record_check_refuses_unknown_keys_and_non_mappings(records):
    with pytest.raises(ValueError, match="not a kelvra_softmax record key") as info:
        check_softmax_params(records["fitted"].params, ["n_classes", "bogus"])
    assert type(info.value) is ValueError
    with pytest.raises(RecordError, match="mapping"):
        check_softmax_params([("n_classes", 3)])


@pytest.mark.parametrize("existing_mode", [None, 0o600, 0o644])
def test_save_keeps_mode_without_touching_umask(records, existing_mode, tmp_path, monkeypatch):
    path = tmp_path / "m.npz"
    if existing_mode is not None:
        path.write_bytes(b"old")
        path.chmod(existing_mode)
    previous = os.umask(0o027)
    try:
        monkeypatch.setattr(os, "umask", lambda mask: pytest.fail("save changed the process umask"))
        records["fitted"].save(path)
    finally:
        monkeypatch.undo()
        os.umask(previous)
    assert path.stat().st_mode & 0o7777 == (0o640 if existing_mode is None else existing_mode)
    assert os.listdir(tmp_path) == ["m.npz"]


def test_failed_save_names_the_target_and_leaves_no_temporary(records, tmp_path):
    target = tmp_path / "m.npz"
    target.mkdir()
    (target / "x").touch()
    with pytest.raises(OSError) as info:  # replacing a non-empty directory
        records["fitted"].save(target)
    assert info.value.filename == str(target) and ".kelvra-tmp" not in str(info.value)
    assert sorted(os.listdir(tmp_path)) == ["m.npz"]
    with pytest.raises(FileNotFoundError) as info:
        records["fitted"].save(tmp_path / "missing" / "m.npz")
    assert info.value.filename == str(tmp_path / "missing" / "m.npz")


def test_save_after_interruption_leaves_no_temporary(records, tmp_path, monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(np.lib.format, "write_array", interrupted)
    with pytest.raises(KeyboardInterrupt):
        records["fitted"].save(tmp_path / "m.npz")
    assert os.listdir(tmp_path) == []


def test_save_removes_only_stale_temporaries_of_its_target(records, tmp_path):
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    dead_pid, live_pid = int(dead.stdout), os.getppid()
    names = {
        f".m.npz.{dead_pid}.0123abcd.kelvra-tmp": False,  # left by a process that is gone
        f".m.npz.{live_pid}.0123abcd.kelvra-tmp": True,  # another process may still be writing it
        f".other.npz.{dead_pid}.0123abcd.kelvra-tmp": True,  # another target's
        f".m.npz.{dead_pid}.notmine.kelvra-tmp": True,  # not a name save makes
    }
    for name in names:
        (tmp_path / name).write_bytes(b"partial")
    records["fitted"].save(tmp_path / "m.npz")
    assert sorted(os.listdir(tmp_path)) == sorted(["m.npz", *(n for n, kept in names.items() if kept)])
