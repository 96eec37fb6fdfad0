"""The ``kelvra-softmax`` command line: fit, predict, update, info and demo.

Only NumPy is imported up front; JAX and the compiled model modules load
inside the commands that compute, so ``--help`` and ``info`` stay quick.

Every option is checked when it is parsed and every file is read and checked
before any computation starts; results are written only once all the work
has succeeded. A mistake ends in one ``kelvra-softmax: error: ...`` line.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import sys
import warnings

import numpy as np

from . import __version__
from .datafiles import read_features, read_labels, write_table
from .kelvra_io import MODEL_TYPE, KelvraModel, RecordError, check_softmax_params
from .limits import INT32_MAX, INT64_MAX, INT64_MIN
from .models.kelvra_softmax import defaults

__all__ = ["main"]

PROG = "kelvra-softmax"

# Bounds that keep a request within what the model code and the machine can do.
MAX_CLASSES = 10_000
MAX_STEPS = INT32_MAX
SEED_RANGE = (INT64_MIN, INT64_MAX)
# Monte-Carlo draws hold draws x trials x classes float64 values at once.
DRAW_MEMORY_LIMIT = 2**30

DESCRIPTION = """\
Bayesian softmax classifier for brain-computer-interface trials.

Fit a model on labelled trials, predict labels or class probabilities for
new trials, and update the model with new labelled trials as they arrive
(new classes may appear in an update). Models are kept in .npz files.

Data files: features come from a .csv (one trial per row, one feature per
column, optional header line), a .npy (2-D array) or a .npz (named array).
Labels are whole numbers starting at 0 or 1; they come from a column of the
features .csv (--label-column), a separate file (--labels) or an array of a
.npz (--labels-key).

Compiled code is kept in JAX's persistent compilation cache (a folder per
user), so that later runs skip compilation; --no-compile-cache turns it off."""

EPILOG = """\
examples:
  kelvra-softmax fit train.csv --label-column label -o model.npz
  kelvra-softmax predict model.npz new.csv --label-column label --proba -o proba.csv
  kelvra-softmax update model.npz more.csv --label-column label
  kelvra-softmax info model.npz
  kelvra-softmax demo --out out/

Run 'kelvra-softmax COMMAND --help' for the options of a command."""

DEMO_EXTRAS = ("sklearn", "matplotlib", "tqdm")
DEMO_HINT = "the demo needs the optional extra [demo]: pip install 'kelvra-bci[demo]' (or run 'make demo')"


class UsageError(Exception):
    """A mistake in what the user asked for or gave; reported in one line."""


# ------------------------------------------------------------------ commands


def cmd_fit(args) -> None:
    _check_output(args.output)
    X, y = _read_trials(args, with_labels=True)
    n_classes, label_base = _classes_of(y, args.n_classes, args.label_base)
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
    base, old = int(model.params["label_base"]), int(model.params["n_classes"])
    lo, hi = int(y.min()), int(y.max())
    if lo < base:
        raise UsageError(f"label {lo} is below the model's label base {base}")
    if hi - base + 1 > MAX_CLASSES:
        raise UsageError(f"label {hi} would make {hi - base + 1} classes; at most {MAX_CLASSES} are supported")
    params = dict(model.params)
    if args.learning_rate is not None:
        params["learning_rate"] = np.array(args.learning_rate, dtype=np.float64)
    if args.num_steps is not None:
        params["num_steps"] = np.array(args.num_steps, dtype=np.int64)
    model = KelvraModel(model_type=model.model_type, params=params)
    engine = _engine(args)
    with _precision(_model_is_double(model)):
        new = engine.update(model, X, y, rule=args.rule, tol=args.tol)
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
        from . import demo

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
    if cache:
        print(f"Compiled code is cached in {cache} for later runs.")


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


def _classes_of(y: np.ndarray, n_classes: int | None, label_base: int | None) -> tuple[int, int]:
    """The class count and label base of a fit: from the options, or from labels that leave no doubt.

    Labels 0..K-1 or 1..K with a trial of every class settle both. Anything else
    (no label 0 or 1, or a class without trials inside the range) could mean
    more than one layout, so the options that settle it are asked for.
    """
    lo, hi = int(y.min()), int(y.max())
    if lo < 0:
        raise UsageError(f"label {lo} is negative; labels start at 0 or 1")
    if label_base is None:
        if lo == 0:
            label_base = 0
        elif (n_classes is None and lo == 1) or (n_classes is not None and hi >= n_classes):
            label_base = 1  # base 0 would leave the top label out of range
        elif n_classes is None:
            raise UsageError(
                f"labels run {lo}..{hi} with no label 0 or 1, so the label base is unclear: "
                f"give --label-base (0 or 1) and --n-classes"
            )
        else:
            raise UsageError(f"labels {lo}..{hi} fit {n_classes} classes counted from 0 or from 1: give --label-base")
    if lo < label_base:
        raise UsageError(f"label {lo} is below the label base {label_base}")
    span = hi - label_base + 1
    if n_classes is None:
        if span > MAX_CLASSES:
            raise UsageError(f"label {hi} would make {span} classes; at most {MAX_CLASSES} are supported")
        empty = np.setdiff1d(np.arange(label_base, hi + 1), y)
        if empty.size:
            shown = ", ".join(map(str, empty[:5])) + (", ..." if empty.size > 5 else "")
            raise UsageError(
                f"no trial has label {shown} (labels run {label_base}..{hi}), so the class count is unclear: "
                f"give --n-classes (e.g. --n-classes {span} keeps every label of the range as a class)"
            )
        n_classes = span
        if n_classes < 2:
            raise UsageError("at least two classes are needed; the labels show one (set --n-classes to add more)")
    if span > n_classes:
        top = label_base + n_classes - 1
        raise UsageError(f"label {hi} is out of range: with {n_classes} classes labels run {label_base}..{top}")
    return n_classes, label_base


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


def _engine(args):
    """The compiled model functions every command calls, with the compile cache turned on first."""
    _enable_compile_cache(args)
    from .models.kelvra_softmax import engine

    return engine


def _enable_compile_cache(args) -> str | None:
    """Turns on JAX's persistent compilation cache unless --no-compile-cache; returns its folder.

    The one place the command line changes JAX's process-wide options besides
    the 64-bit switch. A folder that cannot be made costs speed, not the run.
    """
    if not args.compile_cache:
        return None
    from .models.kelvra_softmax import engine

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


# ------------------------------------------------------------------ options


def _int_in(lo: int, hi: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if not lo <= value <= hi:
            raise argparse.ArgumentTypeError(f"must be in [{lo}, {hi}], got {text}")
        return value

    return parse


def _float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def _positive_float(text: str) -> float:
    value = _float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be > 0, got {text}")
    return value


def _rate(text: str) -> float:
    value = _float(text)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be in (0, 1], got {text}")
    return value


def _delimiter(text: str) -> str:
    if len(text) != 1 or text in '"\r\n':
        raise argparse.ArgumentTypeError(f"must be one character other than a quote or line break, got {text!r}")
    return text


_steps = _int_in(1, MAX_STEPS)
_count = _int_in(1, INT32_MAX)
_seed = _int_in(*SEED_RANGE)
_n_classes = _int_in(2, MAX_CLASSES)


# The prior and sweep options of fit, named after the shared defaults they override.
_FIT_SETTINGS = {
    "w_loc": (_float, "X", "prior mean of each feature weight"),
    "w_scale": (_positive_float, "X", "prior standard deviation of each feature weight, > 0; smaller is smoother"),
    "b_loc": (_float, "X", "prior mean of each class bias"),
    "b_scale": (_positive_float, "X", "prior standard deviation of each class bias, > 0"),
    "learning_rate": (_rate, "X", "damping of each sweep, in (0, 1]; 1 = no damping"),
    "num_steps": (_steps, "N", f"coordinate sweeps per fit and per update, at most {MAX_STEPS}"),
}


def _default(value) -> str:
    return "none" if value is None else f"{value:g}"


def _add_data_options(p: argparse.ArgumentParser, with_labels: bool) -> None:
    p.add_argument("features", help="features file: .csv, .npy or .npz, one trial per row")
    g = p.add_argument_group("where the features and labels are")
    left_out = "" if with_labels else "; it is left out of the features"
    g.add_argument(
        "--label-column",
        metavar="NAME",
        help=f"column of the features .csv that holds the labels (header name or 0-based number){left_out}",
    )
    if with_labels:
        g.add_argument("--labels", metavar="FILE", help="separate labels file: .csv (one column), .npy or .npz")
        g.add_argument(
            "--labels-key", metavar="NAME", help="array of a .npz holding the labels (default: 'y' or the only array)"
        )
    g.add_argument(
        "--features-key", metavar="NAME", help="array of a .npz features file (default: 'X' or the only array)"
    )
    g.add_argument(
        "--delimiter", type=_delimiter, default=",", metavar="C", help="field separator of .csv files (default: ',')"
    )


def _add_tol_option(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--tol",
        type=_positive_float,
        default=defaults.FIT["tol"],
        metavar="X",
        help="stop the sweeps once the largest relative change of any posterior mean falls below X; "
        f"the sweep count is then a cap. Not stored (default: {_default(defaults.FIT['tol'])})",
    )


def build_parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG, formatter_class=fmt)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    cache_help = "do not keep compiled code in JAX's persistent compilation cache"
    parser.add_argument("--no-compile-cache", dest="compile_cache", action="store_false", help=cache_help)
    # Also accepted after the command; SUPPRESS keeps the subcommand from resetting the global choice.
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "--no-compile-cache", dest="compile_cache", action="store_false", default=argparse.SUPPRESS, help=cache_help
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    fit = defaults.FIT

    p = sub.add_parser(
        "fit",
        help="fit a model on labelled trials",
        formatter_class=fmt,
        parents=[common],
        description="Fit a model on labelled trials and write it to a .npz model file.",
    )
    _add_data_options(p, with_labels=True)
    p.add_argument("-o", "--output", required=True, metavar="MODEL", help="model file to write (.npz)")
    h = p.add_argument_group("model settings (kept in the model file and used by later updates)")
    h.add_argument(
        "--n-classes",
        type=_n_classes,
        metavar="K",
        help=f"number of classes, 2..{MAX_CLASSES} (default: from the labels when they leave no doubt)",
    )
    h.add_argument(
        "--label-base",
        type=int,
        choices=(0, 1),
        help="value of the first label (default: 0 if a label 0 occurs, 1 if the labels start at 1)",
    )
    for key, (kind, metavar, text) in _FIT_SETTINGS.items():
        option = "--" + key.replace("_", "-")
        h.add_argument(option, type=kind, default=fit[key], metavar=metavar, help=f"{text} (default: {fit[key]:g})")
    h.add_argument(
        "--seed",
        type=_seed,
        default=0,
        metavar="N",
        help="seed stored with the model, a 64-bit integer; fitting draws no random numbers (default: 0)",
    )
    h.add_argument(
        "--float64", action="store_true", help="compute and store the model in 64-bit floats (default: 32-bit)"
    )
    _add_tol_option(p)
    p.set_defaults(func=cmd_fit)

    p = sub.add_parser(
        "update",
        help="fold new labelled trials into a model",
        formatter_class=fmt,
        parents=[common],
        description="Update a model with new labelled trials. Labels beyond the model's classes\n"
        "add new classes. The model keeps its precision and its settings unless overridden.",
    )
    p.add_argument("model", help="model file (.npz) to update")
    _add_data_options(p, with_labels=True)
    p.add_argument(
        "-o",
        "--output",
        metavar="MODEL",
        help="where to write the updated model (default: replace MODEL; the write is atomic)",
    )
    p.add_argument(
        "--rule",
        choices=("once", "resweep"),
        default=defaults.UPDATE_RULE,
        help="'once' counts each new trial once; 'resweep' reuses the new trials in every sweep, "
        f"as the learning module does (default: {defaults.UPDATE_RULE})",
    )
    p.add_argument("--learning-rate", type=_rate, metavar="X", help="new damping in (0, 1], stored for later updates")
    p.add_argument("--num-steps", type=_steps, metavar="N", help="new sweep count, stored for later updates")
    _add_tol_option(p)
    p.set_defaults(func=cmd_update)

    p = sub.add_parser(
        "predict",
        help="predict labels, probabilities or samples for new trials",
        formatter_class=fmt,
        parents=[common],
        description="Predict for new trials and write CSV, one row per trial:\n"
        "  default    the most probable label (column 'label')\n"
        "  --proba    class probabilities (columns p_<label>)\n"
        "  --samples  S labels drawn from the posterior predictive (columns sample_1..S)",
    )
    p.add_argument("model", help="model file (.npz)")
    _add_data_options(p, with_labels=False)
    what = p.add_mutually_exclusive_group()
    what.add_argument("--proba", action="store_true", help="write class probabilities instead of labels")
    what.add_argument("--samples", type=_count, metavar="S", help="write S predictive label samples per trial")
    p.add_argument(
        "--draws",
        type=_count,
        default=100,
        metavar="N",
        help="posterior draws averaged for labels and --proba; 1 uses the posterior mean (default: 100)",
    )
    p.add_argument("--seed", type=_seed, default=0, metavar="N", help="random seed of the draws (default: 0)")
    p.add_argument("-o", "--output", default="-", metavar="FILE", help="CSV file to write (default: standard output)")
    p.set_defaults(func=cmd_predict)

    p = sub.add_parser("info", help="describe a model file", description="Print what a model file holds.")
    p.add_argument("model", help="model file (.npz)")
    p.set_defaults(func=cmd_info)

    p = sub.add_parser(
        "demo",
        help="simulated adaptive session on digits or EEG (needs the [demo] extra)",
        formatter_class=fmt,
        parents=[common],
        description=(
            "Simulate an adaptive BCI session: calibrate on a few classes, then predict each\n"
            "block before learning its labels while new classes appear. Compares updates that\n"
            "count each trial once with updates that resweep, the calibration model left static,\n"
            "and LogisticRegression refitted on all trials seen. Writes demo.png, metrics.csv and\n"
            "model.npz to --out. Scenarios:\n"
            "  digits   scikit-learn's handwritten digits, digits 6-9 joining one after another\n"
            "  eeg      simulated motor-imagery EEG with drifting electrodes, CSP features,\n"
            "           feet imagery joining mid-session (needs the [eeg] extra)\n"
            "  session  simulated log band-power features of four imagery classes, drift,\n"
            "           feet and then tongue imagery joining mid-session"
        ),
    )
    p.add_argument("--out", default="out", metavar="DIR", help="output folder (default: out)")
    p.add_argument(
        "--scenario",
        choices=("digits", "eeg", "session"),
        default="digits",
        help="what the session decodes (default: digits)",
    )
    p.add_argument(
        "--seed", type=_seed, default=0, metavar="N", help="seed of the data, trial order and draws (default: 0)"
    )
    p.add_argument(
        "--block-size",
        type=_count,
        metavar="N",
        help="trials per block (default: 60 for digits, 15 for eeg, 40 for session)",
    )
    p.add_argument(
        "--calibration-size",
        type=_count,
        metavar="N",
        help="calibration trials (default: 180 for digits, 60 for session; for eeg the first two runs, 40)",
    )
    p.add_argument(
        "--calibration-classes",
        type=int,
        choices=range(2, 10),
        metavar="{2..9}",
        help="classes present at calibration, the first N (default: 6 for digits, 2 for eeg and session); "
        "eeg has 3 classes, session 4",
    )
    p.add_argument(
        "--draws", type=_count, default=200, metavar="N", help="posterior draws per prediction (default: 200)"
    )
    p.add_argument(
        "--max-trials",
        type=_count,
        metavar="N",
        help="use only N trials of the session stream, picked at random, in stream order (default: all)",
    )
    p.add_argument(
        "--path",
        choices=("engine", "modules"),
        default="engine",
        help="'engine': the jit-compiled engine, updates counting each trial once and resweeping; "
        "'modules': the learning and inference modules, whose updates resweep (default: engine)",
    )
    p.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    p.set_defaults(func=cmd_demo)
    return parser


# --------------------------------------------------------------------- main


def main(argv: list[str] | None = None) -> int:
    """Runs one command; returns the exit status (0 success, 1 error, 2 bad usage)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else 2
    try:
        # Warnings raised on the way to a mistake (a cast of a bad value, say)
        # would only bury the one line that says what went wrong.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("default")
            args.func(args)
    except (UsageError, ValueError) as exc:  # DataFileError, ModelFileError and the model's own checks
        return _fail(str(exc))
    except BrokenPipeError:
        # The reader of standard output went away (e.g. `| head`); stop quietly.
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as exc:
        where = f" {exc.filename}" if exc.filename else ""
        return _fail(f"cannot access{where}: {exc.strerror or exc}")
    except MemoryError as exc:  # the model code names the request that would not fit
        return _fail(str(exc) or "not enough memory for this request")
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    for w in caught:
        warnings.showwarning(w.message, w.category, w.filename, w.lineno)
    return 0


def _fail(message: str, status: int = 1) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status
