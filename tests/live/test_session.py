"""A live session end to end over the loopback: a player, the decoder in its own process, a feedback reader.

The simulated session (kelvra_bci.eeg, electrodes drifting, feet imagery
joining in the last run) is replayed by MNE-LSL's PlayerLSL; the decoder
calibrates on its first labelled trials, decodes and learns the rest, survives
the player being stopped and started again, and saves its model on SIGTERM.
"""

import contextlib
import signal
import time

import numpy as np
import pytest

pytest.importorskip("mne_lsl", reason="the live tests need the [live] extra (mne-lsl)")
pytest.importorskip("pyriemann", reason="the live tests need the [eeg] extra")

from live_helpers import unique
from mne_lsl.lsl import local_clock

from kelvra_bci.live.calibration import calibrate, cut_epochs, precompile_shape
from kelvra_bci.live.features import check_epoch
from kelvra_bci.live.replay import simulated_session, start_player
from kelvra_bci.live.session_file import ClassMap, load_session

CLASS_ARGS = ("--class", "1=left_hand", "--class", "2=right_hand", "--class", "3=feet")
CALIBRATION = 8
WINDOW = (0.5, 2.0)
# The session begins with this much signal before its first cue: time for the
# decoder to start and subscribe.
LEAD_IN = 12.0


@pytest.fixture(scope="module")
def session():
    # 3 trials of each class per run; feet imagery joins in the third run. A
    # clear desynchronisation, since eight calibration trials are few.
    return simulated_session(
        3, 9, 3, sfreq=250.0, imagery=2.0, erd=0.6, drift=0.3, new_class_run=2, lead_in=LEAD_IN, seed=4
    )


def stop_player(player):
    # A player that reached the end of its recording has stopped itself.
    with contextlib.suppress(RuntimeError):
        player.stop()


def offline_replay(session, cues, labels, n_calibration):
    """The decoder's procedure on the recording itself: calibrate, then predict each cue before learning it."""
    from kelvra_bci.models.kelvra_softmax import engine

    epochs = cut_epochs(session.raw.get_data(), session.sfreq, cues, WINDOW)
    class_map = ClassMap({"1": "left_hand", "2": "right_hand", "3": "feet"})
    channels = tuple(session.raw.ch_names)
    fitted = calibrate(
        epochs[:n_calibration], labels[:n_calibration], sfreq=session.sfreq, channels=channels,
        class_map=class_map, window=WINDOW,
    )  # fmt: skip
    engine.precompile(n_classes=3, min_classes=2, **precompile_shape(fitted))
    names, model, hits = list(fitted.class_names), fitted.model, []
    for epoch, label in zip(epochs[n_calibration:], labels[n_calibration:], strict=True):
        check_epoch(epoch)
        x = fitted.stage.transform(epoch[None])
        proba = np.asarray(engine.predict_proba(model, x, 1, 0))[0]
        hits.append(names[int(np.argmax(proba))] == label)
        if label not in names:
            names.append(label)
        model = engine.update(model, x, np.array([names.index(label)]), rule="mode", tol=1e-4)
    return np.mean(hits)


def test_a_replayed_session_is_decoded_learnt_and_saved(lsl, tmp_path, session, decoders, readers):
    name, out_name = unique("eeg"), unique("decoder")
    model_path = tmp_path / "session.npz"
    sfreq, cues = session.sfreq, session.cues
    decoder = decoders(
        "--eeg", name, "--markers", f"{name}-annotations", *CLASS_ARGS, "--calibrate", CALIBRATION,
        "--window", f"{WINDOW[0]},{WINDOW[1]}", "--model", model_path, "--outlet", out_name,
        "--checkpoint-every", 4, "--reconnect-timeout", 20, "--resolve-timeout", 60,
    )  # fmt: skip
    # The player's stream must exist for the decoder to find it; the lead-in
    # leaves the decoder time to start before the first cue.
    stop_at = (cues[15] / sfreq) + WINDOW[1] + 0.7  # after the 16th cue's epoch, before the 17th cue
    restart_from = cues[16] / sfreq - 3.0  # time for a reader to subscribe to the new outlets
    first = session.part(0, stop_at)
    second = session.part(restart_from)
    player = start_player(first, name, name)
    started = time.monotonic()
    markers = readers(f"{name}-annotations")
    outputs = readers(out_name)
    try:
        decoder.wait_for("publishing on", timeout=LEAD_IN + 60)
        assert outputs.ready.wait(30), "the reader did not subscribe to the decoder's outlet"
        time.sleep(max(0.0, stop_at + 0.3 - (time.monotonic() - started)))
        stop_player(player)
        time.sleep(3.0)  # the player is away for a while; the decoder waits
        player = start_player(second, name, name)
        # A reader of its own for the new marker outlet (an inlet's own recovery may or may not follow it).
        markers_again = readers(f"{name}-annotations")
        time.sleep(second.raw.times[-1] + 3.0)
    finally:
        stop_player(player)
    time.sleep(1.0)
    status = decoder.finish(signal.SIGTERM)
    markers.stop()
    markers_again.stop()
    outputs.stop()
    log = decoder.text()
    assert status == 0, log
    assert "joins the session" in log and "stream back" in log and f"saved {model_path}" in log, log

    # Every cue from the first decoded one on got exactly one prediction, stamped with the cue's time.
    cue_stamps = np.unique(np.round(np.array(markers.stamps + markers_again.stamps), 4))
    out_stamps = np.array(outputs.stamps)
    assert len(cue_stamps) == len(cues), "the reader missed cues"
    n_calibration = int(np.sum(cue_stamps < out_stamps.min() - 1e-3))
    assert n_calibration >= CALIBRATION
    decoded = cue_stamps[n_calibration:]
    assert len(out_stamps) == len(decoded), log
    np.testing.assert_allclose(np.sort(out_stamps), decoded, atol=1e-3)

    # The outlet's format: one channel per class, in the order of the map, and the label's index.
    assert outputs.channels == ["left_hand", "right_hand", "feet", "label"]
    samples = np.array(outputs.samples)
    np.testing.assert_allclose(samples[:, :3].sum(axis=1), 1.0, atol=1e-5)
    np.testing.assert_array_equal(samples[:, 3], np.argmax(samples[:, :3], axis=1))
    labels = np.array(session.labels)
    joined = int(np.argmax(labels == "feet"))
    order = np.argsort(out_stamps)
    assert np.all(samples[order][: joined - n_calibration, 2] == 0)  # no probability before feet joined
    assert samples[order][-1, 2] > 0

    # Above chance, and as good as the same procedure run offline on the same recording.
    predicted = np.array(["left_hand", "right_hand", "feet"])[samples[order][:, 3].astype(int)]
    live_accuracy = np.mean(predicted == labels[n_calibration:])
    offline = offline_replay(session, cues, list(labels), n_calibration)
    assert live_accuracy >= 0.6, (live_accuracy, offline, log)
    assert live_accuracy >= offline - 0.15, (live_accuracy, offline, log)

    # The saved file holds what the session learnt: every trial, and the class that joined.
    saved = load_session(model_path)
    assert saved.class_names == ("left_hand", "right_hand", "feet") or set(saved.class_names) == {
        "left_hand", "right_hand", "feet",
    }  # fmt: skip
    assert int(np.sum(saved.model.params["class_counts"])) == len(cues)
    assert local_clock() > 0
