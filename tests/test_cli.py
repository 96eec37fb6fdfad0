import io
import os
import subprocess
import sys
import zipfile

import jax
import numpy as np
import pytest

from kelvra_bci.cli import commands
from kelvra_bci.errors import InputError
from kelvra_bci.models.kelvra_softmax import defaults, engine
from kelvra_bci.record import KelvraModel, RecordError


@pytest.fixture
def data(tmp_path):
    rng = np.random.default_rng(11)
    X = rng.normal(size=(30, 2))
    y = 1 + np.arange(30) % 3  # labels 1..3, so the label base is inferred as 1
    lines = ["f1,label,f2"] + [f"{a:.17g},{lab},{b:.17g}" for (a, b), lab in zip(X, y, strict=True)]
    (tmp_path / "train.csv").write_text("\n".join(lines) + "\n")
    return tmp_path, X, y


def _read(path):
    return np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)


def _fit(X, y, n_classes, label_base, num_steps=defaults.FIT["num_steps"]):
    return engine.fit(X, y, n_classes, label_base, rng_seed=0, **{**defaults.FIT, "num_steps": num_steps})


def _assert_same_model(a, b):
    assert list(a.params) == list(b.params)
    for key in list(a.params)[1:]:
        if a.params[key].dtype.kind in "US":  # a word, such as the fit's fit_newton_space
            np.testing.assert_array_equal(a.params[key], b.params[key], err_msg=key)
        else:
            np.testing.assert_allclose(a.params[key].astype(float), b.params[key].astype(float), err_msg=key)


def test_fit_predict_update_info_round_trip(data, run_cli):
    d, X, y = data
    csv, model = d / "train.csv", d / "m.npz"
    assert run_cli("fit", csv, "--label-column", "label", "-o", model)[0] == 0
    fitted = KelvraModel.load(model)
    # The shared defaults reach the fit.
    _assert_same_model(fitted, _fit(X, y, 3, 1))
    assert fitted.params["backend"].item() == "pg_softmax_ref"

    args = ("predict", model, csv, "--label-column", "label", "--seed", "4")
    assert run_cli(*args, "-o", d / "labels.csv")[0] == 0
    # Labels from the shared number of draws, as the estimator predicts.
    np.testing.assert_array_equal(_read(d / "labels.csv")[:, 0], engine.predict(fitted, X, defaults.DRAWS, 4))
    assert run_cli(*args, "--proba", "--draws", "7", "-o", d / "p.csv")[0] == 0
    np.testing.assert_allclose(_read(d / "p.csv"), engine.predict_proba(fitted, X, 7, 4), rtol=1e-5)
    status, out, _ = run_cli(*args, "--samples", "5")
    lines = out.splitlines()
    assert status == 0 and lines[0] == ",".join(f"sample_{s}" for s in range(1, 6)) and len(lines) == 1 + len(X)
    draws = np.array([line.split(",") for line in lines[1:]], dtype=int)
    np.testing.assert_array_equal(draws, engine.predict_samples(fitted, X, 5, 4).T)

    # New labels bring class 4 (label 5 with base 1 and classes up to index 4).
    X_more, y_more = X[:4], np.array([5, 5, 1, 2])
    np.savez(d / "more.npz", X=X_more, y=y_more)
    more = ("update", model, d / "more.npz", "--labels-key", "y")
    assert run_cli(*more, "--rule", "resweep", "--tol", "0.01", "-o", d / "resweep.npz")[0] == 0
    assert run_cli(*more)[0] == 0
    updated = KelvraModel.load(model)
    _assert_same_model(
        updated, engine.update(fitted, X_more, y_more, rule=defaults.UPDATE_RULE, tol=defaults.FIT["tol"])
    )
    resweep = KelvraModel.load(d / "resweep.npz")
    _assert_same_model(resweep, engine.update(fitted, X_more, y_more, rule="resweep", tol=0.01))
    assert not np.allclose(resweep.params["beta_mean"], updated.params["beta_mean"])
    assert updated.params["class_counts"].tolist() == np.bincount(np.r_[y, y_more] - 1).tolist()
    status, out, _ = run_cli("info", model)
    assert status == 0 and "labels 1..5" in out


def test_float64_and_other_delimiters(data, run_cli, x64):
    d, X, y = data
    # No header line, fields separated by ';', labels in column 0.
    rows = [f"{lab};{a:.17g};{b:.17g}" for (a, b), lab in zip(X, y, strict=True)]
    (d / "semi.csv").write_text("\n".join(rows) + "\n")
    argv = ("fit", d / "semi.csv", "--delimiter", ";", "--label-column", "0", "--num-steps", "3")
    assert run_cli(*argv, "--float64", "-o", d / "m64.npz")[0] == 0
    model = KelvraModel.load(d / "m64.npz")
    assert model.params["beta_mean"].dtype == np.float64
    _assert_same_model(model, _fit(X, y, 3, 1, num_steps=3))
    # Without --float64 the model is 32-bit whatever JAX's switch, and the switch is put back.
    assert run_cli(*argv, "-o", d / "m32.npz")[0] == 0
    assert KelvraModel.load(d / "m32.npz").params["beta_mean"].dtype == np.float32
    assert jax.config.jax_enable_x64


@pytest.mark.parametrize(
    "labels, options, expected",
    [
        ([0, 1, 2], [], (3, 0)),
        ([1, 2, 3], [], (3, 1)),
        ([2, 3, 4], [], "give --label-base (0 or 1) and --n-classes"),
        ([2, 3, 4], ["--label-base", "1"], "no trial has label 1 (labels run 1..4)"),
        ([2, 3, 4], ["--label-base", "1", "--n-classes", "4"], (4, 1)),
        ([0, 1, 3], [], "give --n-classes (e.g. --n-classes 4"),
        ([0, 1, 3], ["--n-classes", "5"], (5, 0)),
        ([1, 2, 3], ["--n-classes", "4"], "fit 4 classes counted from 0 or from 1: give --label-base"),
        ([1, 2, 4], ["--n-classes", "4"], (4, 1)),  # label 4 rules out base 0
        ([1, 1, 1], [], "at least two classes are needed"),
        ([0, 1, 2], ["--n-classes", "2"], "label 2 is out of range: with 2 classes labels run 0..1"),
        ([0, 1, 2], ["--label-base", "1"], "label 0 is below the label base 1"),
        ([-1, 0, 1], [], "label -1 is negative"),
        ([0, 1, 20_000], [], "label 20000 would make 20001 classes; at most 10000"),
    ],
)
def test_class_layout_from_labels_or_options(tmp_path, run_cli, labels, options, expected):
    y = np.repeat(labels, 2)
    np.savez(tmp_path / "d.npz", X=np.random.default_rng(0).normal(size=(len(y), 2)), y=y)
    argv = ("fit", tmp_path / "d.npz", "--labels-key", "y", "-o", tmp_path / "m.npz", "--num-steps", "1", *options)
    status, _, err = run_cli(*argv)
    if isinstance(expected, str):
        assert status == 1 and expected in err and not (tmp_path / "m.npz").exists()
        return
    assert status == 0, err
    params = KelvraModel.load(tmp_path / "m.npz").params
    assert (int(params["n_classes"]), int(params["label_base"])) == expected
    assert params["class_counts"].tolist() == np.bincount(y - expected[1], minlength=expected[0]).tolist()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A folder of good and bad inputs, with a fitted model m.npz; commands that fail leave it as it is."""
    d = tmp_path_factory.mktemp("files")
    rng = np.random.default_rng(11)
    X, y = rng.normal(size=(30, 2)), 1 + np.arange(30) % 3
    lines = ["f1,label,f2"] + [f"{a:.17g},{lab},{b:.17g}" for (a, b), lab in zip(X, y, strict=True)]
    (d / "train.csv").write_text("\n".join(lines) + "\n")
    _fit(X, y, 3, 1, num_steps=1).save(d / "m.npz")
    # A model file intact in form whose posterior means are NaN.
    with zipfile.ZipFile(d / "m.npz") as src, zipfile.ZipFile(d / "nan_model.npz", "w") as dst:
        for name in src.namelist():
            member = src.read(name)
            if name == "beta_mean.npy":
                mean = np.lib.format.read_array(src.open(name))
                buf = io.BytesIO()
                np.save(buf, np.full_like(mean, np.nan))
                member = buf.getvalue()
            dst.writestr(name, member)
    text = {
        "empty.csv": "",
        "ragged.csv": "f1,label,f2\n1,1,2\n3,2\n",
        "word.csv": "f1,label,f2\n1,1,2\n3,x,4\n",
        "huge.csv": "f1,label,f2\n1,1e20,2\n3,2,4\n",
        "nan.csv": "f1,label,f2\n1,1,nan\n3,2,4\n",
    }
    for name, content in text.items():
        (d / name).write_text(content)
    (d / "binary.csv").write_bytes(bytes(range(256)) * 8)
    (d / "junk.npz").write_bytes(b"\x00" * 64)
    (d / "folder.csv").mkdir()
    np.save(d / "flat.npy", X[:, 0])
    np.save(d / "three.npy", np.ones((4, 3)))
    np.save(d / "X.npy", X)
    np.save(d / "offset.npy", X + 1e5)  # overflows a float32 fit
    np.save(d / "vast.npy", np.full((4, 2), 1e39))  # beyond float32 itself
    np.save(d / "y_short.npy", y[:5])
    np.save(d / "y.npy", y)
    np.save(d / "no_trials.npy", np.zeros((0, 2)))
    np.save(d / "strings.npy", np.array([["a", "b"]] * 30))
    np.save(d / "y_fraction.npy", y + 0.5)
    np.save(d / "y_growth.npy", np.r_[y[:29], 10**9])
    np.save(d / "y_zero.npy", np.r_[y[:29], 0])  # below the model's label base 1
    good = (d / "m.npz").read_bytes()
    (d / "truncated.npz").write_bytes(good[: len(good) // 2])
    (d / "garbage.npz").write_bytes(b"PK\x03\x04" + bytes(range(256)) * 4)
    # A record that passes the record check, though its means are near float32's largest value.
    fitted = KelvraModel.load(d / "m.npz")
    huge = {**fitted.params, "beta_mean": np.full_like(fitted.params["beta_mean"], 3e38)}
    KelvraModel(model_type="kelvra_softmax", params=huge).save(d / "huge_means.npz")
    header = np.lib.format.header_data_from_array_1_0(X) | {"shape": (10**12, 2)}
    with open(d / "claims.npy", "wb") as fh:
        np.lib.format.write_array_header_1_0(fh, header)
        fh.write(X.tobytes())
    np.savez(d / "other.npz", a=np.ones((2, 2)))
    return d


# Every refusal of the command line: (command line, message). Mistakes in files and requests exit 1 with
# one error line and write nothing; option mistakes exit 2 from the parser, after its usage lines.
FIT = "fit {d}/train.csv --label-column label -o {d}/out.npz"
MISTAKES = [
    ("fit {d}/no_such.csv --label-column label -o {d}/out.npz", "cannot access {d}/no_such.csv"),
    ("fit {d}/folder.csv --label-column label -o {d}/out.npz", "cannot access {d}/folder.csv: Is a directory"),
    ("fit {d}/empty.csv --label-column label -o {d}/out.npz", "empty.csv is empty"),
    ("fit {d}/ragged.csv --label-column label -o {d}/out.npz", "row 3 has 2 values, expected 3"),
    ("fit {d}/word.csv --label-column label -o {d}/out.npz", "row 3, column 2: 'x' is not a number"),
    ("fit {d}/binary.csv --label-column label -o {d}/out.npz", "not a UTF-8 text file"),
    ("fit {d}/huge.csv --label-column label -o {d}/out.npz", "label 1e+20 is out of range"),
    ("fit {d}/nan.csv --label-column label -o {d}/out.npz", "features must be finite"),
    ("fit {d}/flat.npy --labels {d}/flat.npy -o {d}/out.npz", "features must be a 2-D table"),
    ("fit {d}/strings.npy --labels {d}/y.npy -o {d}/out.npz", "features must be real numbers, got dtype <U1"),
    # Zero trials are refused where the features are read, before any label or model code sees them.
    ("fit {d}/no_trials.npy --labels {d}/y.npy -o {d}/out.npz", "no_trials.npy holds no trials"),
    ("fit {d}/claims.npy --labels {d}/y_short.npy -o {d}/out.npz", "declares an array of shape (1000000000000, 2)"),
    ("fit {d}/X.npy --labels {d}/y_short.npy -o {d}/out.npz", "30 trials of features but 5 labels"),
    ("fit {d}/X.npy --labels {d}/y_fraction.npy -o {d}/out.npz", "labels must be whole numbers, found 1.5"),
    ("fit {d}/X.npy -o {d}/out.npz", "labels are needed"),
    ("fit {d}/offset.npy --labels {d}/y.npy -o {d}/out.npz", "the sweeps ended in NaN or infinity in float32"),
    ("fit {d}/vast.npy --labels {d}/y.npy -o {d}/out.npz", "4 trials of features but 30 labels"),
    # A refusal of the engine's own checks, reported in its words.
    ("fit {d}/X.npy --labels {d}/y.npy --w-scale 1e-300 -o {d}/out.npz", "w_scale=1e-300 is out of range"),
    ("fit {d}/other.npz --labels-key y -o {d}/out.npz", "has no array 'y' (arrays: a)"),
    (FIT + " --n-classes 2", "label 3 is out of range: with 2 classes labels run 1..2"),
    ("fit {d}/train.csv --label-column label -o {d}/folder.csv", "cannot write {d}/folder.csv: it is a folder"),
    ("fit {d}/train.csv --label-column label -o {d}/nowhere/out.npz", "does not exist"),
    ("fit {d}/train.csv --label-column label -o -", "cannot go to standard output"),
    ("predict {d}/junk.npz {d}/train.csv --label-column label -o {d}/out.csv", "not a model file (not a .npz"),
    ("predict {d}/truncated.npz {d}/X.npy -o {d}/out.csv", "truncated.npz: truncated or damaged archive"),
    ("predict {d}/garbage.npz {d}/X.npy -o {d}/out.csv", "garbage.npz: truncated or damaged archive"),
    ("predict {d}/other.npz {d}/X.npy -o {d}/out.csv", "other.npz: not a kelvra model file (no manifest)"),
    ("predict {d}/nan_model.npz {d}/X.npy -o {d}/out.csv", "parameter 'beta_mean' holds NaN or infinite values"),
    ("predict {d}/m.npz {d}/three.npy -o {d}/out.csv", "the model expects 2 features per trial"),
    ("predict {d}/m.npz {d}/train.csv -o {d}/out.csv", "has 3; name a label column with --label-column"),
    ("predict {d}/m.npz {d}/vast.npy -o {d}/out.csv", "reach 1e+39, beyond the range of float32"),
    ("predict {d}/m.npz {d}/X.npy --draws 2000000 -o {d}/out.csv", "--draws 2000000 for 30 trials x 3 classes"),
    ("update {d}/m.npz {d}/X.npy --labels {d}/y_short.npy", "30 trials of features but 5 labels"),
    ("update {d}/m.npz {d}/huge.csv --label-column label", "label 1e+20 is out of range"),
    ("update {d}/m.npz {d}/X.npy --labels {d}/y_growth.npy", "label 1000000000 would make 1000000000 classes"),
    ("update {d}/m.npz {d}/X.npy --labels {d}/y_zero.npy", "label 0 is below the model's label base 1"),
    ("info {d}/junk.npz", "junk.npz: not a model file (not a .npz archive)"),
    ("info {d}", "is a directory, not a model file"),
]
BAD_OPTIONS = [
    ("frobnicate", "invalid choice: 'frobnicate'"),
    (FIT + " --delimiter=", "--delimiter: must be one character"),
    (FIT + " --seed 1180591620717411303424", "--seed: must be in [-9223372036854775808, 9223372036854775807]"),
    (FIT + " --seed 1.5", "--seed: '1.5' is not a whole number"),
    (FIT + " --num-steps 2147483648", "--num-steps: must be in [1, 2147483647]"),
    (FIT + " --n-classes 1", "--n-classes: must be in [2, 10000]"),
    (FIT + " --label-base 2", "--label-base: invalid choice: 2"),
    (FIT + " --w-scale inf", "--w-scale: must be a finite number"),
    (FIT + " --b-loc nan", "--b-loc: must be a finite number"),
    (FIT + " --learning-rate 2", "--learning-rate: must be in (0, 1], got 2"),
    (FIT + " --tol 0", "--tol: must be > 0"),
    ("predict {d}/m.npz {d}/train.csv --samples 3 --proba", "not allowed with argument"),
    ("predict {d}/m.npz {d}/train.csv --seed -9223372036854775809", "--seed: must be in"),
    ("predict {d}/m.npz {d}/train.csv --draws 2147483648", "--draws: must be in [1, 2147483647]"),
    ("update {d}/m.npz {d}/train.csv --rule twice", "invalid choice: 'twice'"),
]


@pytest.mark.parametrize(
    "argv, message, status",
    [*((argv, message, 1) for argv, message in MISTAKES), *((argv, message, 2) for argv, message in BAD_OPTIONS)],
)
def test_command_line_refuses_in_one_line_and_writes_nothing(files, run_cli, argv, message, status):
    before = {p: p.read_bytes() for p in files.iterdir() if p.is_file()}
    got, out, err = run_cli(*argv.format(d=files).split())
    assert got == status and out == "", err
    lines = err.strip().splitlines()
    # Option mistakes come after argparse's usage lines; every other mistake is the only line.
    assert [line for line in lines if "error:" in line] == lines[-1:] and (status == 2 or len(lines) == 1), err
    assert lines[-1].startswith("kelvra-softmax") and message.format(d=files) in lines[-1], err
    assert {p: p.read_bytes() for p in files.iterdir() if p.is_file()} == before


# Input whose computation overflows: refused in one line, or a model that loads back and finite
# probabilities; never a success with a NaN result.
@pytest.mark.parametrize(
    "argv, output",
    [
        ("fit {d}/X.npy --labels {d}/y.npy -o {d}/loc.npz --w-loc 1e300", "loc.npz"),
        ("predict {d}/huge_means.npz {d}/X.npy --proba --draws 2 -o {d}/q.csv", "q.csv"),
        ("update {d}/huge_means.npz {d}/X.npy --labels {d}/y.npy -o {d}/u.npz", "u.npz"),
    ],
)
def test_command_line_success_is_sound(files, run_cli, argv, output):
    status, _, err = run_cli(*argv.format(d=files).split())
    if status != 0:
        assert len(err.strip().splitlines()) == 1 and "Traceback" not in err, err
        return
    path = files / output
    try:
        if output.endswith(".npz"):
            KelvraModel.load(path)  # ModelFileError when the model holds NaN
        else:
            assert np.isfinite(np.loadtxt(path, delimiter=",", skiprows=1)).all()
    finally:
        path.unlink()


def _raise(error):
    def call(*args, **kwargs):
        raise error

    return call


# Only the user's mistakes become one line: an error of the program's own code propagates with its
# traceback, and so does an engine error that is not one of its refusals (an InputError).
@pytest.mark.parametrize(
    "where, name, error, status",
    [
        (commands, "write_table", ValueError("a fault of the program"), None),
        (commands, "write_table", TypeError("a fault of the program"), None),
        (engine, "predict", InputError("X must not contain NaN or infinite values"), 1),
        (engine, "predict", RecordError("parameter 'n_classes' is 1, expected 2 to 1000000 classes"), 1),
        # Decided by type, not by the look of the message: a one-line ValueError is a fault too.
        (engine, "predict", ValueError("a fault of the program in one line"), None),
        (engine, "predict", TypeError("a fault of the program: Argument 'X' has incorrect type"), None),
        (engine, "predict", ValueError("a fault of the compiler\nwith its listing"), None),
        (engine, "predict", RuntimeError("a fault of the runtime"), None),
    ],
)
def test_only_the_users_mistakes_become_one_line(files, run_cli, monkeypatch, where, name, error, status):
    monkeypatch.setattr(where, name, _raise(error))
    argv = ("predict", files / "m.npz", files / "X.npy")
    if status is None:
        with pytest.raises(type(error), match="a fault of"):
            run_cli(*argv)
    else:
        got, out, err = run_cli(*argv)
        assert (got, out, err) == (status, "", f"kelvra-softmax: error: {error}\n")


def test_options_and_files_are_checked_before_any_computation(data, run_cli, monkeypatch):
    d = data[0]

    def no_work(args):
        raise AssertionError("computation started")

    monkeypatch.setattr(commands, "_engine", no_work)
    for argv in (
        ("fit", d / "train.csv", "--label-column", "label", "-o", d / "missing" / "m.npz"),
        ("fit", d / "train.csv", "--label-column", "no_such", "-o", d / "m.npz"),
    ):
        assert run_cli(*argv)[0] == 1


def test_demo_without_extra_says_how_to_install(tmp_path, monkeypatch, run_cli):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, _, err = run_cli("demo", "--out", tmp_path)
    assert status == 1 and err.count("\n") == 1 and "pip install 'kelvra-bci[demo]'" in err


def test_installed_command_keeps_a_compile_cache_unless_told_not_to(data):
    d = data[0]
    homes = d / "home", d / "home_without_cache"

    def kelvra(home, *argv):
        env = {**os.environ, "HOME": str(home), "XDG_CACHE_HOME": str(home / ".cache")}
        env.pop("JAX_COMPILATION_CACHE_DIR", None)
        return subprocess.run(
            [sys.executable, "-m", "kelvra_bci", *map(str, argv)], capture_output=True, text=True, env=env
        )

    for home in homes:
        home.mkdir()
    fitted = kelvra(homes[0], "fit", d / "train.csv", "--label-column", "label", "-o", d / "m.npz", "--num-steps", "2")
    assert fitted.returncode == 0 and "fitted 3 classes on 30 trials x 2 features" in fitted.stderr
    assert any(files for _, _, files in os.walk(homes[0]))
    # The option is accepted after the command too.
    done = kelvra(homes[1], "predict", d / "m.npz", d / "train.csv", "--label-column", "label", "--no-compile-cache")
    assert done.returncode == 0 and done.stdout.splitlines()[0] == "label" and len(done.stdout.splitlines()) == 31
    assert not any(files for _, _, files in os.walk(homes[1]))
