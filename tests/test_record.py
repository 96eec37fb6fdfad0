import re
import subprocess
import sys

import numpy as np
import pytest

from kelvra_bci.modelfiles import ModelFileError
from kelvra_bci.record import SOFTMAX_KEYS, SOFTMAX_SCHEMA, KelvraModel, RecordError, check_softmax_params


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


@pytest.mark.parametrize(
    "changes, ok",
    [
        ({"n_classes": 3, "ref_class": np.int64(0), "label_base": np.int32(1), "num_steps": np.uint8(2)}, True),
        ({"learning_rate": 1, "w_scale": np.float32(0.5), "b_loc": -2, "backend": "pg_softmax_ref"}, True),
        ({"non_ref_classes": np.array([2, 1]), "class_counts": np.array([0, 4, 9], np.uint8)}, True),
        # Array entries must be arrays: the engine calls array methods on them.
        ({"non_ref_classes": [2, 1]}, False),
        ({"class_counts": (0, 4, 9)}, False),
        ({"beta_mean": [[0.0, 0.0, 0.0, 0.0]] * 2}, False),
        ({"n_classes": 3.0}, False),
        ({"ref_class": np.float64(0.0)}, False),
        ({"label_base": True}, False),
        ({"learning_rate": "0.5"}, False),
        ({"non_ref_classes": np.array([1, 2], dtype=object)}, False),
        ({"rng_seed": 2**63}, False),
    ],
)
def test_in_memory_record_accepts_scalars_of_any_kind_and_arrays_only(records, changes, ok):
    params = {**records["fitted"].params, **changes}
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


def test_the_record_loads_no_file_code():
    # The compiled modules import the record through kelvra_io when they load: no file reading with it.
    code = (
        "import sys, kelvra_bci.kelvra_io, kelvra_bci.record; "
        "print(sorted(m for m in ('kelvra_bci.modelfiles', 'kelvra_bci.fileio', 'zipfile') if m in sys.modules))"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"
    from kelvra_bci import kelvra_io

    assert kelvra_io.ModelFileError is ModelFileError
