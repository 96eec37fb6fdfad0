"""A decoder resumed from a model file, fed by a plain LSL program, with the faults of a real session.

The program pushes the EEG faster than real time with exact timestamps, so the
decoder's epochs are the samples the test cuts offline: its probabilities must
be those of the model file, trial after trial, while bad trials are skipped and
counted, a stray marker and a late cue are ignored, and a stream that goes away
for good ends the session with one line and the model saved.
"""

import numpy as np
import pytest

pytest.importorskip("mne_lsl", reason="the live tests need the [live] extra (mne-lsl)")
pytest.importorskip("pyriemann", reason="the live tests need the [eeg] extra")

from live_helpers import unique

from kelvra_bci.live.calibration import calibrate, cut_epochs, precompile_shape
from kelvra_bci.live.replay import ArrayPlayer, simulated_session
from kelvra_bci.live.session_file import ClassMap, load_session, save_session

WINDOW = (0.5, 2.0)
N_CALIBRATION = 12
CLASS_MAP = ClassMap({"1": "left_hand", "2": "right_hand"}, ("?",))


@pytest.fixture(scope="module")
def recording():
    session = simulated_session(2, 12, 2, sfreq=250.0, imagery=2.0, erd=0.6, seed=7)
    # What the decoder receives: float32 samples.
    data = session.raw.get_data().astype(np.float32).astype(np.float64)
    return session, data


@pytest.fixture
def model_file(tmp_path, recording):
    session, data = recording
    epochs = cut_epochs(data, session.sfreq, session.cues[:N_CALIBRATION], WINDOW)
    fitted = calibrate(
        epochs, list(session.labels[:N_CALIBRATION]), sfreq=session.sfreq, channels=tuple(session.raw.ch_names),
        class_map=CLASS_MAP, window=WINDOW,
    )  # fmt: skip
    path = tmp_path / "resume.npz"
    save_session(path, fitted)
    return path


def test_a_resumed_decoder_gives_the_files_probabilities_and_survives_faults(
    lsl, tmp_path, recording, model_file, decoders, readers
):
    from kelvra_bci.models.kelvra_softmax import engine

    session, data = recording
    fitted = load_session(model_file)  # before the decoder saves over it
    sfreq = session.sfreq
    start = session.cues[N_CALIBRATION] - round(2 * sfreq)  # the stream begins 2 s before the first cue
    part = data[:, start:].copy()
    cues = session.cues[N_CALIBRATION:] - start
    labels = list(session.labels[N_CALIBRATION:])
    markers = [session.markers[N_CALIBRATION + i] for i in range(len(cues))]
    window = slice(round(WINDOW[0] * sfreq), round(WINDOW[1] * sfreq))
    part[0, cues[1] + window.start + 50] = np.nan  # a NaN in the second cue's epoch
    part[5, cues[3] + window.start : cues[3] + window.stop] = 0.0  # a channel falls off during the fourth
    markers[5] = "?"  # the sixth cue carries no label: decoded, not learnt
    pushed = [(i, m, None) for i, m in zip(cues, markers, strict=True)]
    pushed += [(cues[2] + 10, "99", None), (None, "1", -100.0)]  # a marker of no class; a cue long gone
    name, out_name = unique("plain"), unique("decoder")
    # As many amplifiers do, the stream carries a trigger channel beside the EEG (flat here): the
    # decoder keeps the model's channels.
    with_trigger = np.vstack([np.zeros((1, part.shape[1])), part])
    channels = ["TRIG", *session.raw.ch_names]
    pusher = ArrayPlayer(name, with_trigger, sfreq, channels, pushed, speed=5.0, hold=True)
    pusher.start()
    outputs = readers(out_name)
    decoder = decoders(
        "--eeg", name, "--markers", f"{name}-markers", "--model", model_file, "--outlet", out_name,
        "--cue", "?", *[a for m, c in CLASS_MAP.labelled.items() for a in ("--class", f"{m}={c}")],
        "--reconnect-timeout", 4, "--resolve-timeout", 60, "--checkpoint-every", 100,
    )  # fmt: skip
    decoder.wait_for("publishing on")
    assert outputs.ready.wait(60), "the reader did not subscribe to the decoder's outlet"
    pusher.go.set()
    status = decoder.finish(timeout=180)  # ends when the program is gone for good
    pusher.done.wait(10)
    outputs.stop()
    assert pusher.error is None, pusher.error
    log = decoder.text()
    assert status == 1, log
    # Whichever of the program's two streams is missed first ends the session.
    assert "did not come back within 4 s" in log.splitlines()[-1], log
    assert "saved" in log, log  # what the session learnt is not lost
    assert f"skipped cue {markers[1]}: NaN or infinite samples" in log, log
    assert f"skipped cue {markers[3]}: 1 flat channel" in log, log
    assert "skipped cue 1: cue arrived too late" in log and "marker '99' maps to no class" in log, log

    # Offline, the same procedure from the file as it was: predict each sound cue, then learn it if labelled.
    engine.precompile(n_classes=2, min_classes=2, **precompile_shape(fitted))
    model, expected, learnt = fitted.model, [], 0
    for i, (cue, label, marker) in enumerate(zip(cues, labels, markers, strict=True)):
        if i in (1, 3):
            continue
        x = fitted.stage.transform(cut_epochs(part, sfreq, np.array([cue]), WINDOW))
        expected.append(np.asarray(engine.predict_proba(model, x, 1, 0))[0])
        if marker != "?":
            model = engine.update(model, x, np.array([fitted.class_names.index(label)]), rule="mode", tol=1e-4)
            learnt += 1
    got = np.array(outputs.samples)
    assert got.shape == (len(expected), 3), log
    order = [fitted.class_names.index(c) for c in ("left_hand", "right_hand")]
    np.testing.assert_allclose(got[:, :2], np.array(expected)[:, order], rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(np.sort(outputs.stamps), pusher.t0 + np.delete(cues, [1, 3]) / sfreq, atol=1e-3)

    saved = load_session(model_file)
    assert int(np.sum(saved.model.params["class_counts"])) == N_CALIBRATION + learnt
    np.testing.assert_allclose(saved.model.params["beta_mean"], model.params["beta_mean"], rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize(
    ("n_channels", "sfreq", "said"),
    [(15, 250.0, "has no channel 'P4'"), (16, 500.0, "runs at 500 Hz; the model was calibrated at 250 Hz")],
)
def test_a_stream_unlike_the_calibration_is_refused_in_one_line(
    lsl, recording, model_file, decoders, n_channels, sfreq, said
):
    session, data = recording
    name = unique("other")
    pusher = ArrayPlayer(name, data[:n_channels, :2000], sfreq, session.raw.ch_names[:n_channels], [], speed=5.0)
    pusher.start()
    decoder = decoders(
        "--eeg", name, "--markers", f"{name}-markers", "--model", model_file, "--resolve-timeout", 60,
    )  # fmt: skip
    status = decoder.finish(timeout=120)
    before = model_file.read_bytes()
    log = decoder.text()
    assert status == 1, log
    assert said in log.splitlines()[-1], log
    assert model_file.read_bytes() == before
