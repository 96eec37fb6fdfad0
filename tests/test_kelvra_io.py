import io
import json
import os
import zipfile

import numpy as np
import pytest

from kelvra_bci.kelvra_io import KelvraModel, ModelFileError
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
        _rewrite(good, bad, drop={"class_counts.npy"}, replace={"__kelvra_model__.npy": _npy(np.array(json.dumps(manifest)))})
    else:
        _rewrite(good, bad, replace={"beta_cov_chol.npy": _npy(np.zeros((2, 4, 3), np.float32))})
    with pytest.raises(ModelFileError, match=message):
        KelvraModel.load(bad)
