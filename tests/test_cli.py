import sys

import numpy as np
import pytest

from kelvra_bci.cli import main
from kelvra_bci.kelvra_io import KelvraModel
from kelvra_bci.models.kelvra_softmax import inference, learning


@pytest.fixture
def data(tmp_path):
    rng = np.random.default_rng(11)
    X = rng.normal(size=(30, 2))
    y = 1 + np.arange(30) % 3  # labels 1..3, so the label base is inferred as 1
    lines = ["f1,label,f2"] + [f"{a:.17g},{lab},{b:.17g}" for (a, b), lab in zip(X, y)]
    (tmp_path / "train.csv").write_text("\n".join(lines) + "\n")
    return tmp_path, X, y


def _read(path):
    return np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)


def test_fit_predict_update_info_round_trip(data, capsys):
    d, X, y = data
    csv, model = str(d / "train.csv"), str(d / "m.npz")
    assert main(["fit", csv, "--label-column", "label", "-o", model]) == 0
    fitted = KelvraModel.load(model)
    # The documented defaults reach the fit: prior 0/1/0/1, seed 0, damping 0.5, 20 sweeps.
    direct = learning.kelvra_softmax_fit(X, y, 3, 1, 0.0, 1.0, 0.0, 1.0, 0, 0.5, 20)
    assert fitted.params["backend"].item() == "pg_softmax_ref"
    for key in list(direct.params)[1:]:
        np.testing.assert_allclose(fitted.params[key].astype(float), direct.params[key].astype(float), err_msg=key)

    args = ["predict", model, csv, "--label-column", "label", "--seed", "4"]
    assert main([*args, "-o", str(d / "labels.csv")]) == 0
    expected = inference.kelvra_softmax_predict(fitted, X, 100, 4)
    np.testing.assert_array_equal(_read(d / "labels.csv")[:, 0], expected)
    assert main([*args, "--proba", "--draws", "7", "-o", str(d / "p.csv")]) == 0
    np.testing.assert_allclose(_read(d / "p.csv"), inference.kelvra_softmax_predict_proba(fitted, X, 7, 4), rtol=1e-5)
    capsys.readouterr()
    assert main([*args, "--samples", "5"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0] == ",".join(f"sample_{s}" for s in range(1, 6)) and len(out) == 1 + len(X)
    draws = np.array([line.split(",") for line in out[1:]], dtype=int)
    np.testing.assert_array_equal(draws, inference.kelvra_softmax_predict_samples(fitted, X, 5, 4).T)

    # New labels bring class 4 (label 5 with base 1 and classes up to index 4).
    np.savez(d / "more.npz", X=X[:4], y=np.array([5, 5, 1, 2]))
    assert main(["update", model, str(d / "more.npz"), "--labels-key", "y"]) == 0
    updated = KelvraModel.load(model)
    assert int(updated.params["n_classes"]) == 5
    assert updated.params["class_counts"].tolist() == np.bincount(np.r_[y, 5, 5, 1, 2] - 1).tolist()
    capsys.readouterr()
    assert main(["info", model]) == 0
    assert "labels 1..5" in capsys.readouterr().out


@pytest.mark.parametrize("argv, message", [
    ("fit {d}/no_such.csv --label-column label -o {d}/m.npz", "no_such.csv"),
    ("fit {d}/flat.npy --labels {d}/flat.npy -o {d}/m.npz", "2-D"),
    ("fit {d}/train.csv --label-column label --n-classes 2 -o {d}/m.npz", "out of range"),
    ("predict {d}/junk.npz {d}/train.csv --label-column label", "not a model file"),
    ("predict {d}/m.npz {d}/three.npy", "expects 2 features"),
])
def test_user_errors_end_in_one_line(data, argv, message, capsys):
    d, X, y = data
    np.save(d / "flat.npy", X[:, 0])
    (d / "junk.npz").write_bytes(b"\x00" * 64)
    np.save(d / "three.npy", np.ones((4, 3)))
    if argv.startswith("predict {d}/m.npz"):
        learning.kelvra_softmax_fit(X, y, 3, 1, 0.0, 1.0, 0.0, 1.0, 0, 0.5, 1).save(d / "m.npz")
    assert main([arg.format(d=d) for arg in argv.split()]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("kelvra-softmax: error:") and message in err


def test_demo_without_extra_says_how_to_install(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert main(["demo", "--out", str(tmp_path)]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "pip install 'kelvra-bci[demo]'" in err
