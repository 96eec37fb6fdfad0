"""The commands of ``kelvra-softmax``: what each does with its parsed options.

Every file is read and checked before any computation starts, and results
are written only once all the work has succeeded. JAX and the compiled
modules load inside the commands that compute, so ``--help`` and ``info``
stay quick.
"""

from __future__ import annotations

import contextlib
import functools
import os
import sys

import numpy as np

from ..datafiles import read_features, read_labels, write_table
from ..errors import InputError
from ..models.kelvra_softmax import defaults
from ..record import MODEL_TYPE, KelvraModel, RecordError, check_softmax_params
from .errors import UsageError
from .labels import check_new_labels, classes_of

__all__ = ["PROG", "cmd_demo", "cmd_fit", "cmd_info", "cmd_live", "cmd_predict", "cmd_update"]

PROG = "kelvra-softmax"

# Monte-Carlo draws hold draws x trials x classes float64 values at once.
DRAW_MEMORY_LIMIT = 2**30

DEMO_EXTRAS = ("sklearn", "matplotlib", "tqdm")
DEMO_HINT = "the demo needs the optional extra [demo]: pip install 'kelvra-bci[demo]' (or run 'make demo')"


def cmd_fit(args) -> None:
    _check_output(args.output)
    X, y = _read_trials(args, with_labels=True)
    n_classes, label_base = classes_of(y, args.n_classes, args.label_base)
    _check_range(X, args.float64, args.features)
    # The prior and sweep options carry the names of the shared defaults they override.
    settings = {key: getattr(args, key) for key in defaults.FIT}
    engine = _engine(args)
    with _precision(args.float64):
        model = engine.fit(X, y, n_classes, label_base, rng_seed=args.seed, **settings)
    _check_result(model, "fit")
    model.save(args.output)
    print(
        f"fitted {n_classes} classes on {len(y)} trials x {X.shape[1]} features{_sweeps(model)}; wrote {args.output}",
        file=sys.stderr,
    )


def cmd_update(args) -> None:
    _check_output(args.output or args.model)
    model = _load_model(args.model)
    X, y = _read_trials(args, with_labels=True)
    _check_features(model, X, args.features)
    _check_range(X, _model_is_double(model), args.features)
    check_new_labels(y, int(model.params["label_base"]))
    old = int(model.params["n_classes"])
    params = dict(model.params)
    if args.learning_rate is not None:
        params["learning_rate"] = np.array(args.learning_rate, dtype=np.float64)
    if args.num_steps is not None:
        params["num_steps"] = np.array(args.num_steps, dtype=np.int64)
    model = KelvraModel(model_type=model.model_type, params=params)
    engine = _engine(args)
    with _precision(_model_is_double(model)):
        new = engine.update(model, X, y, rule=args.rule, tol=args.tol, forgetting=args.forgetting)
    _check_result(new, "update")
    out = args.output or args.model
    new.save(out)
    grown = int(new.params["n_classes"]) - old
    note = f", {grown} new class{'es' if grown > 1 else ''}" if grown else ""
    print(f"updated with {len(y)} trials ({args.rule}){note}{_sweeps(new)}; wrote {out}", file=sys.stderr)


def cmd_predict(args) -> None:
    _check_output(args.output, stream_ok=True)
    model = _load_model(args.model)
    X, _ = _read_trials(args, with_labels=False)
    _check_features(model, X, args.features)
    _check_range(X, _model_is_double(model), args.features)
    n_classes, base = int(model.params["n_classes"]), int(model.params["label_base"])
    option, draws = ("--samples", args.samples) if args.samples is not None else ("--draws", args.draws)
    _check_draw_memory(option, draws, len(X), n_classes)
    engine = _engine(args)
    with _precision(_model_is_double(model)):
        if args.samples is not None:
            table = np.asarray(engine.predict_samples(model, X, args.samples, args.seed)).T
            header, fmt = [f"sample_{s + 1}" for s in range(args.samples)], "%d"
        elif args.proba:
            table = np.asarray(engine.predict_proba(model, X, args.draws, args.seed), dtype=np.float64)
            header, fmt = [f"p_{base + c}" for c in range(n_classes)], "%.6g"
        else:
            table = np.asarray(engine.predict(model, X, args.draws, args.seed))[:, None]
            header, fmt = ["label"], "%d"
        if args.proba and not np.isfinite(table).all():
            # An overflow of the logits shows here as NaN; labels and samples cannot show it.
            raise UsageError(_overflow(f"the probabilities for {args.features} are not finite", model))
    write_table(sys.stdout if args.output == "-" else args.output, header, table, fmt)
    if args.output == "-":
        sys.stdout.flush()


def cmd_info(args) -> None:
    model = KelvraModel.load(args.model)
    p = model.params
    print(f"model file      {args.model}")
    print(f"model type      {model.model_type}")
    if model.model_type != MODEL_TYPE:
        for key, value in p.items():
            print(f"  {key:<14}{np.asarray(value).dtype} {np.asarray(value).shape}")
        return
    k, base, ref = int(p["n_classes"]), int(p["label_base"]), int(p["ref_class"])
    counts = np.asarray(p["class_counts"])
    per_label = " ".join(f"{base + c}:{n}" for c, n in enumerate(counts))
    print(f"classes         {k} (labels {base}..{base + k - 1}; reference class label {base + ref})")
    print(f"features        {p['beta_mean'].shape[1] - 1}")
    print(f"precision       {p['beta_mean'].dtype}")
    print(f"trials seen     {int(counts.sum())} (per label: {per_label})")
    print(
        f"prior           w_loc={float(p['w_loc']):g} w_scale={float(p['w_scale']):g} "
        f"b_loc={float(p['b_loc']):g} b_scale={float(p['b_scale']):g}"
    )
    print(
        f"sweeps          learning_rate={float(p['learning_rate']):g} num_steps={int(p['num_steps'])} "
        f"seed={int(p['rng_seed'])}"
    )


def cmd_demo(args) -> None:
    try:
        from .. import demo

        for name in DEMO_EXTRAS:
            __import__(name)
    except ModuleNotFoundError as exc:
        if exc.name and exc.name.split(".")[0] in DEMO_EXTRAS:
            raise UsageError(DEMO_HINT) from None
        raise
    scenario = demo.SCENARIOS[args.scenario]
    block_size = scenario.block_size if args.block_size is None else args.block_size
    _check_draw_memory("--draws", args.draws, block_size, scenario.n_classes)
    try:
        for name in scenario.extras:
            __import__(name)
    except ModuleNotFoundError as exc:
        if exc.name and exc.name.split(".")[0] in scenario.extras:
            raise UsageError(scenario.hint) from None
        raise
    cache = _enable_compile_cache(args)
    try:
        demo.run(
            args.out,
            scenario=args.scenario,
            seed=args.seed,
            block_size=block_size,
            calibration_size=args.calibration_size,
            calibration_classes=args.calibration_classes,
            draws=args.draws,
            progress=not args.no_progress,
            path=args.path,
            max_trials=args.max_trials,
        )
    except demo.SettingError as exc:  # a setting the scenario refuses, before the session starts
        raise UsageError(str(exc)) from None
    if cache:
        print(f"Compiled code is cached in {cache} for later runs.")


def cmd_live(args) -> None:
    from .. import live  # NumPy alone; the extra's packages load when the session starts

    eeg = live.StreamQuery("EEG", args.eeg, args.eeg_source_id)
    markers = live.StreamQuery("marker", args.markers, args.markers_source_id)
    for query, option in ((eeg, "--eeg"), (markers, "--markers")):
        if not query.name and not query.source_id:
            raise UsageError(f"name the {query.what} stream: {option} NAME or {option}-source-id ID")
    if args.calibrate is not None:
        if os.path.exists(args.model):
            raise UsageError(
                f"{args.model} exists: --calibrate would replace it; resume from it without --calibrate, "
                "or name a new file"
            )
        if not args.classes:
            raise UsageError("calibrating needs the class of each marker: --class MARKER=CLASS, once per class")
        _check_output(args.model)
    elif not os.path.exists(args.model):
        raise UsageError(f"{args.model} does not exist: calibrate a new model with --calibrate N")
    class_map = None
    if args.classes:
        labelled = {}
        for marker, name in args.classes:
            if labelled.get(marker, name) != name:
                raise UsageError(f"marker {marker!r} is given two classes, {labelled[marker]!r} and {name!r}")
            labelled[marker] = name
        class_map = live.ClassMap(labelled, tuple(args.cue))
        try:
            class_map.check()
        except ValueError as exc:
            raise UsageError(str(exc)) from None
    elif args.cue:
        raise UsageError("--cue needs the classes too: give --class MARKER=CLASS for every class")
    try:
        from ..live.streams import mne_lsl

        mne_lsl()
    except ModuleNotFoundError as exc:
        if exc.name == "mne_lsl":
            raise UsageError(live.LIVE_HINT) from None
        raise
    _enable_compile_cache(args)
    config = live.LiveConfig(
        eeg=eeg,
        markers=markers,
        model_path=args.model,
        class_map=class_map,
        calibrate=args.calibrate,
        features=args.features,
        channels=args.channels,
        window=tuple(args.window),
        band=tuple(args.band),
        outlet_name=args.outlet,
        outlet_source_id=args.outlet_source_id,
        resolve_timeout=args.resolve_timeout,
        reconnect_timeout=args.reconnect_timeout,
        checkpoint_every=args.checkpoint_every,
        forgetting=args.forgetting,
        learn=args.learn,
        max_cues=args.max_cues,
        duration=args.duration,
        quiet=args.quiet,
    )
    try:
        live.run_live(config)
    except live.LiveError as exc:
        raise UsageError(str(exc)) from None
    except live.SessionFileError as exc:
        raise UsageError(str(exc)) from None


# ------------------------------------------------- reading and checking input


def _read_trials(args, with_labels: bool) -> tuple[np.ndarray, np.ndarray | None]:
    """Features (n, p) and, for commands that learn, their labels (n,) as int64."""
    X, y = read_features(
        args.features, delimiter=args.delimiter, features_key=args.features_key, label_column=args.label_column
    )
    if not with_labels:
        return X, None
    if args.label_column is not None and args.labels is not None:
        raise UsageError("give the labels once: --label-column or --labels, not both")
    if args.labels is not None:
        y = read_labels(args.labels, delimiter=args.delimiter, labels_key=args.labels_key)
    elif args.labels_key is not None:
        if not args.features.lower().endswith(".npz"):
            raise UsageError("--labels-key names an array of a .npz file (the features file or --labels)")
        y = read_labels(args.features, labels_key=args.labels_key)
    if y is None:
        raise UsageError("labels are needed: give --label-column NAME, --labels FILE or --labels-key NAME")
    if len(y) != len(X):
        raise UsageError(f"{len(X)} trials of features but {len(y)} labels")
    return X, y


def _load_model(path: str) -> KelvraModel:
    model = KelvraModel.load(path)
    if model.model_type != MODEL_TYPE:
        raise UsageError(f"{path} holds a {model.model_type!r} model; this tool handles {MODEL_TYPE} models")
    return model


def _check_features(model: KelvraModel, X: np.ndarray, path: str) -> None:
    expected = np.asarray(model.params["beta_mean"]).shape[1] - 1
    if X.shape[1] != expected:
        hint = "; name a label column with --label-column" if X.shape[1] == expected + 1 else ""
        raise UsageError(f"the model expects {expected} features per trial, {path} has {X.shape[1]}{hint}")


def _check_range(X: np.ndarray, double: bool, path: str) -> None:
    """Refuses features that become infinite in the precision the model computes in."""
    dtype = np.dtype(np.float64 if double else np.float32)
    largest = float(np.max(np.abs(X)))
    if largest > np.finfo(dtype).max:
        hint = "" if double else ", or compute in 64 bits (fit --float64)"
        raise UsageError(f"features of {path} reach {largest:g}, beyond the range of {dtype}: scale them{hint}")


def _check_draw_memory(option: str, draws: int, n_trials: int, n_classes: int) -> None:
    need = draws * n_trials * n_classes * 8
    if need > DRAW_MEMORY_LIMIT:
        raise UsageError(
            f"{option} {draws} for {n_trials} trials x {n_classes} classes needs {need / 2**30:.1f} GiB "
            f"of draws, over the limit of {DRAW_MEMORY_LIMIT / 2**30:g} GiB: ask for fewer, or split the trials"
        )


def _check_output(path: str, *, stream_ok: bool = False) -> None:
    """Refuses an output path that cannot be written, before any work is done."""
    if path == "-":
        if stream_ok:
            return
        raise UsageError("a model is a .npz file and cannot go to standard output: name a file")
    if os.path.isdir(path):
        raise UsageError(f"cannot write {path}: it is a folder")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UsageError(f"cannot write {path}: folder {folder} does not exist")
    if not os.access(folder, os.W_OK):
        raise UsageError(f"cannot write {path}: no permission to write in {folder}")


# ---------------------------------------------------------------- computing


def _check_result(model: KelvraModel, what: str) -> None:
    """Refuses to write a model whose numbers overflowed, which could never be loaded back."""
    try:
        check_softmax_params(model.params)
    except RecordError as exc:
        raise UsageError(_overflow(f"the {what} gave an unusable model ({exc})", model)) from None


def _overflow(problem: str, model: KelvraModel) -> str:
    dtype = np.asarray(model.params["beta_mean"]).dtype
    hint = "" if dtype == np.float64 else ", or compute in 64 bits (fit --float64)"
    return f"{problem}: features or prior means too large for {dtype}? scale the features{hint}"


def _engine(args) -> Engine:
    """The compiled model functions every command calls, with the compile cache turned on first."""
    _enable_compile_cache(args)
    from ..models.kelvra_softmax import engine

    return Engine(engine)


class Engine:
    """The engine module, whose callables' refusals of bad input become the command's one-line error.

    The engine checks everything it is handed and refuses it with an
    :class:`~kelvra_bci.errors.InputError` (``RecordError`` among them),
    which becomes a :class:`UsageError` chained to it. Any other exception is
    a fault and passes through.
    """

    def __init__(self, module) -> None:
        self._module = module

    def __getattr__(self, name: str):
        function = getattr(self._module, name)

        @functools.wraps(function)
        def call(*args, **kwargs):
            try:
                return function(*args, **kwargs)
            except InputError as exc:
                raise UsageError(str(exc)) from exc

        return call


def _enable_compile_cache(args) -> str | None:
    """Turns on JAX's persistent compilation cache unless --no-compile-cache; returns its folder.

    The one place the command line changes JAX's process-wide options besides
    the 64-bit switch. A folder that cannot be made costs speed, not the run.
    """
    if not args.compile_cache:
        return None
    from ..models.kelvra_softmax import engine

    try:
        return engine.enable_persistent_cache()
    except OSError as exc:
        print(f"{PROG}: note: running without the compile cache ({exc.strerror or exc})", file=sys.stderr)
        return None


@contextlib.contextmanager
def _precision(double: bool):
    """Sets JAX's 64-bit switch for one command and puts it back afterwards."""
    import jax

    previous = jax.config.jax_enable_x64
    jax.config.update("jax_enable_x64", bool(double))
    try:
        yield
    finally:
        jax.config.update("jax_enable_x64", previous)


def _model_is_double(model: KelvraModel) -> bool:
    return np.asarray(model.params["beta_mean"]).dtype == np.float64


def _sweeps(model) -> str:
    n = getattr(model, "n_sweeps", None)
    return "" if n is None else f" in {n} sweep{'s' if n != 1 else ''}"
