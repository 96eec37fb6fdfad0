"""``kelvra-softmax live`` refuses what cannot make a session in one line, before any stream is looked for."""

import pytest


@pytest.mark.parametrize(
    ("args", "said"),
    [
        (["--markers", "m", "--calibrate", "4", "--class", "1=a"], "name the EEG stream: --eeg NAME"),
        (["--eeg", "e", "--calibrate", "4", "--class", "1=a"], "name the marker stream"),
        (["--eeg", "e", "--markers", "m", "--calibrate", "4"], "calibrating needs the class of each marker"),
        (["--eeg", "e", "--markers", "m"], "does not exist: calibrate a new model with --calibrate N"),
        (["--eeg", "e", "--markers", "m", "--calibrate", "4", "--class", "1=a", "--class", "1=b"], "two classes"),
        (["--eeg", "e", "--markers", "m", "--calibrate", "4", "--class", "1=a", "--cue", "1"], "both a class"),
        (["--eeg", "e", "--markers", "m", "--calibrate", "4", "--class", "1=label"], "'label' names the outlet"),
    ],
)
def test_a_session_that_cannot_start_is_refused(run_cli, tmp_path, args, said):
    status, _, err = run_cli("live", "--model", tmp_path / "new.npz", *args)
    assert status == 1 and said in err and len(err.strip().splitlines()) == 1, err


def test_calibrating_over_an_existing_model_file_is_refused(run_cli, tmp_path):
    path = tmp_path / "kept.npz"
    path.write_bytes(b"a model of an earlier session")
    status, _, err = run_cli(
        "live", "--eeg", "e", "--markers", "m", "--class", "1=a", "--calibrate", 4, "--model", path
    )
    assert status == 1 and "--calibrate would replace it" in err
    assert path.read_bytes() == b"a model of an earlier session"


@pytest.mark.parametrize(
    ("option", "value"),
    [(option, value) for option in ("--window", "--band") for value in ("2,1", "1", "0,x")]
    + [("--channels", "C3,,C4"), ("--channels", "C3,C4,C3")],
)
def test_window_band_and_channels_are_checked_when_parsed(run_cli, tmp_path, option, value):
    status, _, err = run_cli("live", "--model", tmp_path / "m.npz", option, value)
    assert status == 2 and option in err


@pytest.mark.parametrize(
    ("missing", "said"), [("--eeg", "no EEG stream named"), ("--markers", "no marker stream named")]
)
def test_a_stream_not_found_is_named_in_one_line(lsl, run_cli, tmp_path, missing, said):
    from live_helpers import unique
    from mne_lsl.lsl import StreamInfo, StreamOutlet

    present = unique("present")
    outlet = StreamOutlet(StreamInfo(present, "EEG", 2, 100.0, "float32", present))
    streams = {"--eeg": present, "--markers": present, missing: unique("absent")}
    args = [a for option, name in streams.items() for a in (option, name)]
    status, _, err = run_cli(
        "live", *args, "--class", "1=a", "--calibrate", 4, "--model", tmp_path / "m.npz", "--resolve-timeout", 1
    )
    del outlet
    assert status == 1 and said in err and "within 1 s" in err and len(err.strip().splitlines()) == 1, err
    assert not (tmp_path / "m.npz").exists()


def test_a_band_beyond_the_streams_nyquist_frequency_is_refused_before_calibrating(lsl, run_cli, tmp_path):
    from live_helpers import unique
    from mne_lsl.lsl import StreamInfo, StreamOutlet

    name = unique("slow")
    eeg = StreamOutlet(StreamInfo(name, "EEG", 2, 50.0, "float32", name))
    markers = StreamOutlet(StreamInfo(f"{name}-m", "Markers", 1, 0.0, "string", f"{name}-m"))
    status, _, err = run_cli(
        "live", "--eeg", name, "--markers", f"{name}-m", "--class", "1=a", "--calibrate", 4,
        "--model", tmp_path / "m.npz", "--band", "8,30",
    )  # fmt: skip
    del eeg, markers
    assert status == 1 and "reaches the EEG stream's Nyquist frequency (25 Hz)" in err, err
