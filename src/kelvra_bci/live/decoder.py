"""The live decoder's loop: cues in, epochs cut, probabilities out, the model learning as it goes.

One thread runs the loop: it waits on the EEG inlet (at most
``streams.POLL_SECONDS``), moves what arrived into the ring buffer, reads the
markers, and handles every cue whose epoch is complete, in order. A cue's
prediction is published before its label is learnt, so learning never delays
the output. A class new to the model joins at its first labelled trial: the
update for one more class is compiled ahead, on a background thread, as soon
as the model's class count is known.

Nothing is lost: the model file is written at calibration, every
``checkpoint_every`` learnt trials and at the end, atomically; SIGTERM and
Ctrl-C end the loop between two cues and the file is written before exit. A
session that ends on a fault (a stream that does not come back) writes it too.
"""

from __future__ import annotations

import contextlib
import os
import signal
import threading
import time
from dataclasses import dataclass, field

import numpy as np

from ..models.kelvra_softmax import defaults
from .calibration import calibrate, precompile_shape
from .features import DEFAULT_BAND, DEFAULT_WINDOW, EpochProblem, check_epoch
from .session_file import ClassMap, SessionFile, load_session, save_session
from .status import SessionStatus
from .streams import (
    INLET_OPEN_TIMEOUT,
    EegInlet,
    LiveError,
    MarkerInlet,
    StreamLost,
    StreamQuery,
    find_stream,
    find_successor,
    local_clock,
    make_outlet,
)

__all__ = ["LiveConfig", "run_live"]

# How long an EEG stream may send nothing before the status says so.
SILENCE_NOTE_SECONDS = 2.0
# A quiet EEG stream is looked for anew this often; the marker stream every
# PROBE_MARKERS_SECONDS while no cue waits. Each look takes at most PROBE_TIMEOUT.
PROBE_QUIET_SECONDS = 1.0
PROBE_MARKERS_SECONDS = 5.0
PROBE_TIMEOUT = 0.2


@dataclass
class LiveConfig:
    eeg: StreamQuery
    markers: StreamQuery
    model_path: str
    class_map: ClassMap | None = None  # None: the one stored in the model file
    calibrate: int | None = None  # labelled trials to calibrate on; None: resume from model_path
    features: str = "csp"
    window: tuple[float, float] = DEFAULT_WINDOW
    band: tuple[float, float] = DEFAULT_BAND
    channels: tuple[str, ...] | None = None  # EEG channels to decode, by name; None: all (or the model's)
    outlet_name: str = "kelvra-decoder"
    outlet_source_id: str | None = None
    resolve_timeout: float = 10.0
    reconnect_timeout: float = 30.0
    # Seconds past the end of its window that a cue waits for its samples.
    epoch_timeout: float = 5.0
    checkpoint_every: int = 10
    forgetting: float | None = None
    learn: bool = True
    max_cues: int | None = None
    duration: float | None = None
    quiet: bool = False


@dataclass
class _Cue:
    marker: str
    stamp: float  # LSL time of the cue
    arrived: float  # local LSL clock when the marker arrived
    label: str | None  # the class it names, or None for an unlabelled cue


@dataclass
class _State:
    session: SessionFile | None = None
    calibration: list = field(default_factory=list)
    unsaved: bool = False
    since_checkpoint: int = 0


def run_live(config: LiveConfig, status: SessionStatus | None = None, stop: threading.Event | None = None) -> None:
    """Runs a live session until stopped (signal, ``stop``, ``max_cues``, ``duration``); saves the model file.

    Raises :class:`~kelvra_bci.live.streams.LiveError` (a one-line problem of
    the session) after saving what was learnt.
    """
    status = status or SessionStatus(quiet=config.quiet)
    stop = stop or threading.Event()
    state = _State()
    loop = _Loop(config, status, stop, state)
    running = False
    with _stop_on_signals(stop):
        try:
            loop.prepare()
            running = True
            loop.run()
        finally:
            loop.close()
            if state.session is not None and state.unsaved:
                save_session(config.model_path, state.session)
                status.say(f"saved {config.model_path}")
            if running:
                status.say("summary: " + status.summary().replace("\n", "\n[live]   "))


@contextlib.contextmanager
def _stop_on_signals(stop: threading.Event):
    """SIGTERM and SIGINT set ``stop`` instead of interrupting whatever runs (in the main thread only)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {sig: signal.getsignal(sig) for sig in (signal.SIGTERM, signal.SIGINT)}
    for sig in previous:
        signal.signal(sig, lambda *_: stop.set())
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


class _Loop:
    def __init__(self, config: LiveConfig, status: SessionStatus, stop: threading.Event, state: _State):
        self.config, self.status, self.stop, self.state = config, status, stop, state
        self.eeg = self.markers = self.outlet = None
        self.pending: list[_Cue] = []
        self.class_map: ClassMap | None = None
        self.engine = None

    # ------------------------------------------------------------ setting up

    def prepare(self) -> None:
        from ..models.kelvra_softmax import engine

        self.engine = engine
        config = self.config
        if config.calibrate is None:
            session = load_session(config.model_path)
            self.class_map = config.class_map or session.class_map
            missing = [c for c in session.class_names if c not in self.class_map.classes]
            if missing:
                raise LiveError(f"the marker map names no marker for the model's class {missing[0]!r}")
            self.state.session = session
            if np.asarray(session.model.params["beta_mean"]).dtype == np.float64:
                import jax

                jax.config.update("jax_enable_x64", True)  # the model computes in the precision it was made in
            self.status.say(
                f"resumed {config.model_path}: classes {', '.join(session.class_names)}, "
                f"{session.stage.kind} features of {len(session.stage.channels)} channels at {session.stage.sfreq:g} Hz"
            )
        else:
            self.class_map = config.class_map
        self.class_map.check()
        self.eeg = self._open_eeg()
        if self.state.session is None and not config.band[1] < self.eeg.sfreq / 2:
            raise LiveError(
                f"the band-pass {config.band[0]:g}-{config.band[1]:g} Hz reaches the EEG stream's Nyquist "
                f"frequency ({self.eeg.sfreq / 2:g} Hz): give a lower --band"
            )
        self.markers = self._open(config.markers, MarkerInlet)
        if self.state.session is not None:
            self._precompile_now()  # after the streams are found and checked, before the first cue
        self.opened = local_clock()
        source_id = config.outlet_source_id or f"{config.outlet_name}@{os.getpid()}"
        self.outlet = make_outlet(config.outlet_name, source_id, self.class_map.classes)
        self.status.say(
            f"publishing on {config.outlet_name!r}: channels {', '.join(self.class_map.classes)}, label"
            + ("" if self.state.session else f"; calibrating on the first {config.calibrate} labelled trials")
        )

    def _open(self, query: StreamQuery, kind, **kwargs):
        sinfo = find_stream(query, self.config.resolve_timeout, self.stop.is_set)
        return kind(sinfo, INLET_OPEN_TIMEOUT, **kwargs)

    def _open_eeg(self) -> EegInlet:
        config = self.config
        seconds = config.window[1] - config.window[0] + 2.0
        if self.state.session is not None:
            w = self.state.session.stage.window
            seconds = w[1] - w[0] + 2.0
        eeg = self._open(config.eeg, EegInlet, min_seconds=seconds, picks=self._picks())
        try:
            self._check_eeg(eeg)
        except LiveError:
            eeg.close()
            raise
        return eeg

    def _picks(self) -> tuple[str, ...] | None:
        """The channels to decode: those asked for, else the model's when it knows their names, else all."""
        if self.config.channels is not None:
            return self.config.channels
        session = self.state.session
        if session is not None and not session.stage.channels[0].startswith("#"):
            return session.stage.channels
        return None

    def _check_eeg(self, eeg: EegInlet) -> None:
        """Refuses an EEG stream whose rate or channels differ from the calibration's."""
        session = self.state.session
        if session is None:
            return
        stage = session.stage
        if abs(eeg.sfreq - stage.sfreq) > 1e-6 * stage.sfreq:
            raise LiveError(
                f"the EEG stream {eeg.name!r} runs at {eeg.sfreq:g} Hz; the model was calibrated at {stage.sfreq:g} Hz"
            )
        named = eeg.channels is not None and not stage.channels[0].startswith("#")
        if eeg.n_channels != len(stage.channels) or (named and eeg.channels != stage.channels):
            shown = ", ".join(eeg.channels) if eeg.channels else f"{eeg.n_channels} unnamed channels"
            raise LiveError(
                f"the EEG stream {eeg.name!r} has channels {_short(shown)}; "
                f"the model was calibrated on {_short(', '.join(stage.channels))}"
            )

    def close(self) -> None:
        for inlet in (self.eeg, self.markers):
            if inlet is not None:
                inlet.close()
        if self.outlet is not None:
            with contextlib.suppress(Exception):
                self.outlet._del()

    # ------------------------------------------------------------ the loop

    def run(self) -> None:
        config, status = self.config, self.status
        started = time.monotonic()
        silent_noted = False
        last_probe = time.monotonic()
        while not self.stop.is_set():
            if config.duration is not None and time.monotonic() - started >= config.duration:
                status.say(f"ran for {config.duration:g} s; stopping")
                break
            try:
                self.eeg.pull()
            except StreamLost:
                self._replace("EEG", wait=config.reconnect_timeout)
                continue
            try:
                for marker, stamp in self.markers.pull():
                    self._add_cue(marker, stamp)
            except StreamLost:
                self._replace("marker", wait=config.reconnect_timeout)
            now = local_clock()
            quiet_for = now - (self.eeg.last_arrival or self.opened)
            if quiet_for > SILENCE_NOTE_SECONDS and not silent_noted:
                silent_noted = True
                if self.eeg.last_arrival is None:
                    status.say(f"no sample from the EEG stream {self.eeg.name!r} yet; waiting")
                else:
                    status.say(
                        f"EEG stream {self.eeg.name!r} silent for {quiet_for:.0f} s; waiting for it to come back"
                    )
            elif quiet_for <= SILENCE_NOTE_SECONDS and silent_noted:
                silent_noted = False
                status.say("EEG stream sending again")
            if quiet_for > config.reconnect_timeout:
                what = "stopped and did not come back" if self.eeg.last_arrival else "sent no sample"
                raise LiveError(f"the EEG stream {self.eeg.name!r} {what} within {config.reconnect_timeout:g} s")
            # A quiet EEG stream may have been restarted as a new outlet (a driver
            # or player started again): look for one, and for the markers' too,
            # whose program often restarts with it. Markers are quiet between
            # cues, so theirs is also looked for now and then while no cue waits.
            probe_every = PROBE_QUIET_SECONDS if quiet_for > PROBE_QUIET_SECONDS else PROBE_MARKERS_SECONDS
            if time.monotonic() - last_probe > probe_every and (quiet_for > PROBE_QUIET_SECONDS or not self.pending):
                last_probe = time.monotonic()
                if quiet_for > PROBE_QUIET_SECONDS:
                    self._replace("EEG", wait=PROBE_TIMEOUT)
                self._replace("marker", wait=PROBE_TIMEOUT)
            self._handle_due_cues(now)
            if config.max_cues is not None and status.decoded >= config.max_cues:
                status.say(f"decoded {config.max_cues} cues; stopping")
                break

    def _replace(self, which: str, wait: float) -> None:
        """Switches to a new outlet of a stream when one appears within ``wait`` seconds; the model is kept.

        After a loss (``wait`` the reconnect timeout) the stream must come
        back; when probing a quiet stream, finding none changes nothing.
        """
        config, status = self.config, self.status
        query = config.eeg if which == "EEG" else config.markers
        old = self.eeg if which == "EEG" else self.markers
        lost = wait == config.reconnect_timeout
        if lost:
            status.say(f"{which} stream lost; looking for it again (up to {wait:g} s)")
        sinfo = find_successor(query, old.uid, wait, self.stop.is_set, lost=lost)
        if sinfo is None:
            if lost and not self.stop.is_set():
                raise LiveError(f"the {which} stream was lost and did not come back within {wait:g} s")
            return
        if which == "EEG":
            fresh = EegInlet(sinfo, INLET_OPEN_TIMEOUT, min_seconds=old.buffer_seconds / 4, picks=self._picks())
            try:
                self._check_eeg(fresh)
            except LiveError:
                fresh.close()
                raise
            # The samples before the switch stay: cues whose epochs lie there are still decoded.
            fresh.adopt_buffer(old)
            old.close()
            self.eeg = fresh
        else:
            old.close()
            self.markers = MarkerInlet(sinfo, INLET_OPEN_TIMEOUT)
        status.reconnections += 1
        status.say(f"{which} stream back (a new outlet, {sinfo.name!r}); decoding goes on with the same model")

    def _add_cue(self, marker: str, stamp: float) -> None:
        class_map = self.class_map
        if marker in class_map.labelled:
            label = class_map.labelled[marker]
        elif marker in class_map.unlabelled:
            label = None
        else:
            self.status.unmapped_marker(marker)
            return
        self.pending.append(_Cue(marker, stamp, local_clock(), label))

    def _window(self) -> tuple[tuple[float, float], int, int]:
        session = self.state.session
        if session is not None:
            stage = session.stage
            return stage.window, stage.n_pad, stage.n_window
        from .features import PAD_SECONDS, window_samples

        sfreq = self.eeg.sfreq
        return self.config.window, round(PAD_SECONDS * sfreq), window_samples(self.config.window, sfreq)

    def _handle_due_cues(self, now: float) -> None:
        if not self.pending:
            return
        window, n_pad, n_window = self._window()
        waiting = []
        for cue in sorted(self.pending, key=lambda c: c.stamp):
            state, epoch = self.eeg.epoch(cue.stamp + window[0], n_pad, n_window)
            if state == "wait":
                if now - cue.arrived > (window[1] - window[0]) + max(window[0], 0) + self.config.epoch_timeout:
                    self.status.skip(cue.marker, "its epoch did not complete in time")
                else:
                    waiting.append(cue)
                continue
            if state == "late":
                self.status.skip(cue.marker, "cue arrived too late: its epoch has left the buffer")
            elif state == "gap":
                self.status.skip(cue.marker, "the EEG has a gap within its epoch")
            else:
                self._handle_epoch(cue, epoch)
            if self.stop.is_set() or (self.config.max_cues is not None and self.status.decoded >= self.config.max_cues):
                break
        self.pending = waiting if not self.stop.is_set() else []

    # ------------------------------------------------------------ one trial

    def _handle_epoch(self, cue: _Cue, epoch: np.ndarray) -> None:
        try:
            check_epoch(epoch, self._window()[2])
        except EpochProblem as exc:
            self.status.skip(cue.marker, str(exc))
            return
        session = self.state.session
        if session is None:
            self._collect(cue, epoch)
            return
        x = session.stage.transform(epoch[None])
        if not np.isfinite(x).all():
            self.status.skip(cue.marker, "its features are not finite")
            return
        proba = np.asarray(self.engine.predict_proba(session.model, x, 1, 0), dtype=np.float64)[0]
        classes = self.class_map.classes
        out = np.zeros(len(classes) + 1, dtype=np.float32)
        for index, name in enumerate(session.class_names):
            out[classes.index(name)] = proba[index]
        best = int(np.argmax(out[:-1]))
        out[-1] = best
        self.outlet.push_sample(out, timestamp=cue.stamp)
        window, _, n_window = self._window()
        # From the moment the last piece (the epoch's last sample, or a late marker) was here.
        latency = local_clock() - max(self.eeg.arrival_of(cue.stamp + window[0], n_window), cue.arrived)
        self.status.trial(cue.marker, classes[best], float(out[best]), cue.label, latency)
        if cue.label is not None and self.config.learn:
            self._learn(x, cue.label)

    def _learn(self, x: np.ndarray, label: str) -> None:
        session, status = self.state.session, self.status
        names = session.class_names
        joins = label not in names
        index = len(names) if joins else names.index(label)
        model = self.engine.update(
            session.model,
            x,
            np.array([index]),
            rule=defaults.UPDATE_RULE,
            tol=defaults.FIT["tol"],
            forgetting=self.config.forgetting,
        )
        session.model = model
        status.learned += 1
        self.state.unsaved = True
        if joins:
            session.class_names = (*names, label)
            status.joined.append(label)
            status.say(f"class {label!r} joins the session on its first labelled trial")
            self._precompile_ahead()
        self.state.since_checkpoint += 1
        if self.state.since_checkpoint >= self.config.checkpoint_every:
            self._checkpoint()

    def _checkpoint(self) -> None:
        save_session(self.config.model_path, self.state.session)
        self.state.unsaved = False
        self.state.since_checkpoint = 0

    # ------------------------------------------------------------ calibration

    def _collect(self, cue: _Cue, epoch: np.ndarray) -> None:
        if cue.label is None:
            self.status.skip(cue.marker, "unlabelled cue during calibration")
            return
        calibration = self.state.calibration
        calibration.append((epoch, cue.label))
        labels = {label for _, label in calibration}
        if not self.status.quiet:
            self.status.say(f"calibration trial {len(calibration)}/{self.config.calibrate}: {cue.label}")
        if len(calibration) >= self.config.calibrate:
            if len(labels) < 2:
                self.status.say(f"calibration trials show one class ({cue.label}) so far; waiting for another")
                return
            self._calibrate()

    def _calibrate(self) -> None:
        config, status = self.config, self.status
        started = time.perf_counter()
        epochs = np.stack([epoch for epoch, _ in self.state.calibration])
        labels = [label for _, label in self.state.calibration]
        channels = self.eeg.channels or tuple(f"#{i + 1}" for i in range(self.eeg.n_channels))
        session = calibrate(
            epochs,
            labels,
            sfreq=self.eeg.sfreq,
            channels=channels,
            class_map=self.class_map,
            kind=config.features,
            window=config.window,
            band=config.band,
        )
        self.state.session = session
        self.state.calibration = []
        status.calibration = len(labels)
        self._precompile_now()
        self._checkpoint()
        status.say(
            f"calibrated on {len(labels)} trials ({', '.join(session.class_names)}), {session.stage.n_features} "
            f"{session.stage.kind} features, in {time.perf_counter() - started:.1f} s; "
            f"wrote {config.model_path}; decoding"
        )

    # ------------------------------------------------------------ compiling ahead

    def _precompile_now(self) -> None:
        """The prediction and update of the model's class count, before its first cue; the rest ahead."""
        k = len(self.state.session.class_names)
        self.engine.precompile(n_classes=k, min_classes=k, **precompile_shape(self.state.session))
        self._precompile_ahead()

    def _precompile_ahead(self) -> None:
        """Every class count up to the map's, on the background thread, so that no class joins with a compile."""
        k, total = len(self.state.session.class_names), len(self.class_map.classes)
        if total > k:
            from ..models.kelvra_softmax.estimator import _compile_ahead

            _compile_ahead.request(n_classes=total, min_classes=k + 1, **precompile_shape(self.state.session))


def _short(text: str, limit: int = 120) -> str:
    return text if len(text) <= limit else text[: limit - 3] + "..."
