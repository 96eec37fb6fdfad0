import csv

import numpy as np
import pytest

for extra in ("sklearn", "matplotlib", "tqdm"):
    pytest.importorskip(extra)

from kelvra_bci import demo  # noqa: E402  (after the skips: the demo needs its extras)
from kelvra_bci.demo import session as session_scenario  # noqa: E402
from kelvra_bci.kelvra_io import KelvraModel  # noqa: E402

# Two blocks; digits 8 and 9 arrive during them.
SLICE = ("--max-trials", "60", "--block-size", "30", "--calibration-size", "60", "--calibration-classes", "8")
SLICE += ("--draws", "20", "--no-progress")


@pytest.mark.parametrize(
    "path, tracks", [("engine", ["mode", "once", "static", "logreg"]), ("modules", ["resweep", "static", "logreg"])]
)
def test_demo_on_a_slice_of_the_session(tmp_path, run_cli, path, tracks):
    status, out, err = run_cli("demo", "--out", tmp_path, "--path", path, *SLICE)
    assert status == 0, err
    for name in tracks:
        assert demo._LABELS[name] in out
    with open(tmp_path / "metrics.csv", newline="") as fh:
        rows = list(csv.DictReader(fh))
    assert [int(row["trials_seen"]) for row in rows] == [30, 60]
    assert list(rows[0]) == ["trials_seen", *(f"{t}_{m}" for t in tracks for m in ("accuracy", "log_loss"))]
    # New digits arrive during the session: the adapted model knows them, the static one cannot.
    adaptive = np.mean([float(row[f"{tracks[0]}_log_loss"]) for row in rows])
    static = np.mean([float(row["static_log_loss"]) for row in rows])
    assert adaptive < static
    model = KelvraModel.load(tmp_path / "model.npz")
    assert int(model.params["class_counts"].sum()) == 60 + 60 and int(model.params["n_classes"]) == 10
    assert (tmp_path / "demo.png").read_bytes().startswith(b"\x89PNG")


def _top_label_probabilities(confidence, correct):
    """Two-class probabilities whose top label has ``confidence`` and is right where ``correct``."""
    p = np.column_stack([confidence, 1 - confidence])
    return p, np.where(correct, 0, 1)


@pytest.mark.parametrize(
    "confidence, correct, ece",
    [
        ([0.95] * 4, [1, 1, 0, 0], 0.45),  # one bin: 95% sure, half right
        ([0.6] * 5 + [0.9] * 5, [1, 1, 1, 0, 0] + [1] * 5, (5 * 0.0 + 5 * 0.1) / 10),
        ([0.7, 0.7, 1.0, 1.0], [1, 0, 1, 1], (2 * 0.2 + 2 * 0.0) / 4),  # confidence 1 falls in the top bin
    ],
)
def test_expected_calibration_error(confidence, correct, ece):
    p, y = _top_label_probabilities(np.array(confidence), np.array(correct, bool))
    assert demo._ece(p, y) == pytest.approx(ece)
    assert demo._reliability(p, y)[:, 2].sum() == len(y)


@pytest.mark.parametrize("max_trials", [None, 100])
def test_session_split(max_trials):
    y = np.arange(300) % 10
    X = np.arange(300.0)[:, None]  # each trial's feature is its index
    (Xc, yc), (Xs, ys), first_seen = demo._session(X, y, 3, 50, 4, max_trials)
    calibration, stream = Xc[:, 0].astype(int), Xs[:, 0].astype(int)
    assert len(yc) == 50 and set(yc) <= {0, 1, 2, 3}
    assert len(ys) == (250 if max_trials is None else max_trials)
    assert not set(calibration) & set(stream) and len(set(stream)) == len(stream)
    assert (y[calibration] == yc).all() and (y[stream] == ys).all()
    assert sorted(first_seen) == sorted(set(ys) - {0, 1, 2, 3})
    for c, pos in first_seen.items():
        assert ys[pos] == c and c not in ys[:pos]


def test_cli_offers_the_demos_scenarios():
    from kelvra_bci import cli

    demo_parser = cli.build_parser()._subparsers._group_actions[0].choices["demo"]
    scenario = next(action for action in demo_parser._actions if action.dest == "scenario")
    assert tuple(scenario.choices) == tuple(demo.SCENARIOS) and scenario.default == "digits"


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (("--scenario", "nope"), 2, "invalid choice"),
        (("--scenario", "session", "--calibration-classes", "5"), 1, "calibrates on 2 to 4 classes"),
        (("--scenario", "session", "--calibration-size", "1000"), 1, "calibration takes 2 to"),
    ],
)
def test_demo_scenario_refusals(tmp_path, run_cli, argv, status, message):
    code, _, err = run_cli("demo", "--out", tmp_path, "--no-progress", *argv)
    assert code == status and message in err
    assert not any(tmp_path.iterdir())  # refused before anything was written


@pytest.mark.parametrize("calibration_classes, max_trials", [(2, None), (3, 100), (4, None)])
def test_simulated_session_scenario(calibration_classes, max_trials):
    session = session_scenario.session(
        seed=1, calibration_size=60, calibration_classes=calibration_classes, max_trials=max_trials
    )
    (Xc, yc), (Xs, ys) = session.calibration, session.stream
    assert len(yc) == 60 and set(yc) == set(range(calibration_classes)) and Xs.shape[1] == Xc.shape[1]
    if max_trials:
        assert len(ys) == max_trials
    # Standardised with the calibration trials alone.
    np.testing.assert_allclose(Xc.mean(axis=0), 0, atol=1e-12)
    np.testing.assert_allclose(Xc.std(axis=0), 1)
    assert sorted(session.first_seen) == list(range(calibration_classes, 4))
    for c, pos in session.first_seen.items():
        assert ys[pos] == c and c not in ys[:pos]
    # Later commands join in order, and the calibrated ones run through the whole stream.
    assert list(session.first_seen.values()) == sorted(session.first_seen.values())
    assert set(ys[-len(ys) // 4 :]) >= set(range(calibration_classes))
