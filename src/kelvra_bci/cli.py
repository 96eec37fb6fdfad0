"""The ``kelvra-softmax`` command line: fit, predict, update, info and demo.

Only NumPy is imported up front; JAX and the compiled model modules load
inside the commands that compute, so ``--help`` and ``info`` stay quick.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import os
import sys
import zipfile

import numpy as np

from . import __version__
from .kelvra_io import KelvraModel, ModelFileError

__all__ = ["main"]

PROG = "kelvra-softmax"

DESCRIPTION = """\
Bayesian softmax classifier for brain-computer-interface trials.

Fit a model on labelled trials, predict labels or class probabilities for
new trials, and update the model with new labelled trials as they arrive
(new classes may appear in an update). Models are kept in .npz files.

Data files: features come from a .csv (one trial per row, one feature per
column, optional header line), a .npy (2-D array) or a .npz (named array).
Labels are whole numbers starting at 0 or 1; they come from a column of the
features .csv (--label-column), a separate file (--labels) or an array of a
.npz (--labels-key)."""

EPILOG = """\
examples:
  kelvra-softmax fit train.csv --label-column label -o model.npz
  kelvra-softmax predict model.npz new.csv --label-column label --proba -o proba.csv
  kelvra-softmax update model.npz more.csv --label-column label
  kelvra-softmax info model.npz
  kelvra-softmax demo --out out/

Run 'kelvra-softmax COMMAND --help' for the options of a command."""

DEMO_HINT = "the demo needs the optional extra [demo]: pip install 'kelvra-bci[demo]' (or run 'make demo')"


class UsageError(Exception):
    """A mistake in what the user asked for or gave; reported in one line."""


# ---------------------------------------------------------------- data files


def _read_csv(path: str, delimiter: str) -> tuple[list[str] | None, np.ndarray]:
    """A numeric table and its header (None when the first line holds numbers)."""
    with open(path, newline="") as fh:
        rows = [row for row in csv.reader(fh, delimiter=delimiter) if any(cell.strip() for cell in row)]
    if not rows:
        raise UsageError(f"{path} is empty")
    header = None
    try:
        [float(cell) for cell in rows[0]]
    except ValueError:
        header, rows = [cell.strip() for cell in rows[0]], rows[1:]
    width = len(header) if header is not None else len(rows[0]) if rows else 0
    if not rows:
        raise UsageError(f"{path} has a header but no data rows")
    table = np.empty((len(rows), width))
    first = 2 if header is not None else 1
    for i, row in enumerate(rows):
        if len(row) != width:
            raise UsageError(f"{path}: row {first + i} has {len(row)} values, expected {width}")
        for j, cell in enumerate(row):
            try:
                table[i, j] = float(cell)
            except ValueError:
                raise UsageError(f"{path}: row {first + i}, column {j + 1}: {cell.strip()!r} is not a number") from None
    return header, table


def _column_index(column: str, header: list[str] | None, width: int, path: str) -> int:
    if header is not None and column in header:
        return header.index(column)
    try:
        index = int(column)
    except ValueError:
        names = ", ".join(header) if header else "none: the file has no header line"
        raise UsageError(f"{path} has no column {column!r} (columns: {names})") from None
    if not -width <= index < width:
        raise UsageError(f"{path} has {width} columns; column number {index} does not exist")
    return index % width


def _npz_array(path: str, key: str | None, default: str, what: str) -> np.ndarray:
    with np.load(path, allow_pickle=False) as archive:
        names = list(archive.files)
        if key is None:
            if default in names:
                key = default
            elif len(names) == 1:
                key = names[0]
            else:
                raise UsageError(f"{path} holds arrays {', '.join(names)}; name the {what} with --{what}-key")
        if key not in names:
            raise UsageError(f"{path} has no array {key!r} (arrays: {', '.join(names)})")
        return archive[key]


def _load_table(path: str, what: str, reader) -> object:
    """Runs ``reader`` on ``path``, turning the libraries' complaints into one line."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in (".csv", ".npy", ".npz"):
        raise UsageError(f"cannot read {what} from {path}: expected a .csv, .npy or .npz file")
    try:
        return reader(ext)
    except (UsageError, OSError):
        raise
    except (ValueError, EOFError, zipfile.BadZipFile) as exc:
        raise UsageError(f"cannot read {what} from {path}: {exc}") from None


def _read_data(args, need_labels: bool) -> tuple[np.ndarray, np.ndarray | None]:
    """Features (n, p) and, when asked for or given, labels (n,) as int64."""
    path = args.features
    label_col = None

    def features(ext):
        nonlocal label_col
        if ext == ".csv":
            header, table = _read_csv(path, args.delimiter)
            if args.label_column is None:
                return table
            index = _column_index(args.label_column, header, table.shape[1], path)
            label_col = table[:, index]
            return np.delete(table, index, axis=1)
        if args.label_column is not None:
            raise UsageError("--label-column needs a .csv features file; use --labels or --labels-key")
        if ext == ".npy":
            return np.load(path, allow_pickle=False)
        return _npz_array(path, args.features_key, "X", "features")

    X = np.asarray(_load_table(path, "features", features))
    if X.ndim != 2:
        raise UsageError(f"features in {path} must be a 2-D table (trials x features), got shape {X.shape}")
    if X.dtype.kind not in "biuf":
        raise UsageError(f"features in {path} must be numbers, got dtype {X.dtype}")
    if not np.all(np.isfinite(X)):
        raise UsageError(f"features in {path} contain NaN or infinite values")

    y = label_col
    if args.labels is not None:
        if label_col is not None:
            raise UsageError("give the labels once: --label-column or --labels, not both")
        lpath = args.labels

        def labels(ext):
            if ext == ".csv":
                header, table = _read_csv(lpath, args.delimiter)
                if table.shape[1] != 1:
                    raise UsageError(f"{lpath} should hold one column of labels, found {table.shape[1]}")
                return table[:, 0]
            if ext == ".npy":
                return np.load(lpath, allow_pickle=False)
            return _npz_array(lpath, args.labels_key, "y", "labels")

        y = _load_table(lpath, "labels", labels)
    elif args.labels_key is not None:
        if not path.lower().endswith(".npz"):
            raise UsageError("--labels-key names an array of a .npz file (the features file or --labels)")
        y = _load_table(path, "labels", lambda ext: _npz_array(path, args.labels_key, "y", "labels"))
    if y is None:
        if need_labels:
            raise UsageError("labels are needed: give --label-column NAME, --labels FILE or --labels-key NAME")
        return X, None
    y = np.asarray(y)
    if y.ndim == 2 and 1 in y.shape:
        y = y.reshape(-1)
    if y.ndim != 1:
        raise UsageError(f"labels must be one value per trial, got shape {y.shape}")
    if len(y) != len(X):
        raise UsageError(f"{len(X)} trials of features but {len(y)} labels")
    if y.dtype.kind not in "biuf" or not np.all(np.isfinite(y)) or not np.all(y == np.round(y)):
        raise UsageError("labels must be whole numbers")
    return X, y.astype(np.int64)


# ------------------------------------------------------------------- helpers


def _load_model(path: str) -> KelvraModel:
    model = KelvraModel.load(path)
    if model.model_type != "kelvra_softmax":
        raise UsageError(f"{path} holds a {model.model_type!r} model; this tool handles kelvra_softmax models")
    return model


def _check_features(model: KelvraModel, X: np.ndarray, path: str) -> None:
    expected = np.asarray(model.params["beta_mean"]).shape[1] - 1
    if X.shape[1] != expected:
        hint = "; name a label column with --label-column" if X.shape[1] == expected + 1 else ""
        raise UsageError(f"the model expects {expected} features per trial, {path} has {X.shape[1]}{hint}")


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


@contextlib.contextmanager
def _output(path: str):
    if path == "-":
        yield sys.stdout
        sys.stdout.flush()
    else:
        with open(path, "w", newline="") as fh:
            yield fh


def _write_csv(path: str, header: list[str], rows: np.ndarray, fmt: str) -> None:
    buf = io.StringIO()
    buf.write(",".join(header) + "\n")
    for row in rows:
        buf.write(",".join(format(v, fmt) for v in row) + "\n")
    with _output(path) as fh:
        fh.write(buf.getvalue())


# ------------------------------------------------------------------ commands


def cmd_fit(args) -> None:
    X, y = _read_data(args, need_labels=True)
    if len(y) == 0:
        raise UsageError("no trials to fit")
    if args.label_base is None:
        args.label_base = 0 if y.min() == 0 else 1
    if y.min() < args.label_base:
        raise UsageError(f"label {y.min()} is below the label base {args.label_base}")
    n_classes = args.n_classes if args.n_classes is not None else int(y.max()) - args.label_base + 1
    if n_classes < 2:
        raise UsageError("at least two classes are needed; the labels show one (set --n-classes to add more)")
    top = args.label_base + n_classes - 1
    if y.max() > top:
        raise UsageError(f"label {y.max()} is out of range: with {n_classes} classes labels run {args.label_base}..{top}")
    from .models.kelvra_softmax import learning

    with _precision(args.float64):
        model = learning.kelvra_softmax_fit(
            X, y, n_classes, args.label_base, args.w_loc, args.w_scale, args.b_loc, args.b_scale,
            args.seed, args.learning_rate, args.num_steps,
        )
    model.save(args.output)
    print(f"fitted {n_classes} classes on {len(y)} trials x {X.shape[1]} features; wrote {args.output}", file=sys.stderr)


def cmd_update(args) -> None:
    model = _load_model(args.model)
    X, y = _read_data(args, need_labels=True)
    _check_features(model, X, args.features)
    if len(y) == 0:
        raise UsageError("no trials to update with")
    base = int(model.params["label_base"])
    if y.min() < base:
        raise UsageError(f"label {y.min()} is below the model's label base {base}")
    params = dict(model.params)
    if args.learning_rate is not None:
        params["learning_rate"] = np.array(args.learning_rate, dtype=np.float64)
    if args.num_steps is not None:
        params["num_steps"] = np.array(args.num_steps, dtype=np.int64)
    from .models.kelvra_softmax import learning

    old = int(model.params["n_classes"])
    with _precision(_model_is_double(model)):
        new = learning.kelvra_softmax_update(KelvraModel(model_type=model.model_type, params=params), X, y)
    out = args.output or args.model
    new.save(out)
    grown = int(new.params["n_classes"]) - old
    note = f", {grown} new class{'es' if grown > 1 else ''}" if grown else ""
    print(f"updated with {len(y)} trials{note}; wrote {out}", file=sys.stderr)


def cmd_predict(args) -> None:
    model = _load_model(args.model)
    X, _ = _read_data(args, need_labels=False)
    _check_features(model, X, args.features)
    from .models.kelvra_softmax import inference

    base = int(model.params["label_base"])
    labels = base + np.arange(int(model.params["n_classes"]))
    with _precision(_model_is_double(model)):
        if args.samples is not None:
            draws = inference.kelvra_softmax_predict_samples(model, X, args.samples, args.seed)
            _write_csv(args.output, [f"sample_{s + 1}" for s in range(args.samples)], draws.T, "d")
        elif args.proba:
            proba = inference.kelvra_softmax_predict_proba(model, X, args.draws, args.seed)
            _write_csv(args.output, [f"p_{label}" for label in labels], np.asarray(proba, np.float64), ".6g")
        else:
            pred = inference.kelvra_softmax_predict(model, X, args.draws, args.seed)
            _write_csv(args.output, ["label"], pred[:, None], "d")


def cmd_info(args) -> None:
    model = KelvraModel.load(args.model)
    p = model.params
    print(f"model file      {args.model}")
    print(f"model type      {model.model_type}")
    if model.model_type != "kelvra_softmax":
        for key, value in p.items():
            print(f"  {key:<14}{np.asarray(value).dtype} {np.asarray(value).shape}")
        return
    k, base, ref = int(p["n_classes"]), int(p["label_base"]), int(p["ref_class"])
    counts = np.asarray(p["class_counts"])
    print(f"classes         {k} (labels {base}..{base + k - 1}; reference class label {base + ref})")
    print(f"features        {p['beta_mean'].shape[1] - 1}")
    print(f"precision       {p['beta_mean'].dtype}")
    print(f"trials seen     {int(counts.sum())} (per label: {' '.join(f'{base + c}:{n}' for c, n in enumerate(counts))})")
    print(f"prior           w_loc={float(p['w_loc']):g} w_scale={float(p['w_scale']):g} "
          f"b_loc={float(p['b_loc']):g} b_scale={float(p['b_scale']):g}")
    print(f"sweeps          learning_rate={float(p['learning_rate']):g} num_steps={int(p['num_steps'])} "
          f"seed={int(p['rng_seed'])}")


def cmd_demo(args) -> None:
    try:
        from . import demo

        for name in demo.EXTRAS:
            __import__(name)
    except ModuleNotFoundError as exc:
        if exc.name and exc.name.split(".")[0] in ("sklearn", "matplotlib", "tqdm"):
            raise UsageError(DEMO_HINT) from None
        raise
    demo.run(
        args.out, seed=args.seed, block_size=args.block_size, calibration_size=args.calibration_size,
        calibration_classes=args.calibration_classes, draws=args.draws, progress=not args.no_progress,
    )


# -------------------------------------------------------------------- parser


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
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


def _float(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def _add_data_options(p: argparse.ArgumentParser, labels: str) -> None:
    p.add_argument("features", help="features file: .csv, .npy or .npz, one trial per row")
    g = p.add_argument_group("where the features and labels are")
    g.add_argument("--label-column", metavar="NAME",
                   help="column of the features .csv that holds the labels (header name or 0-based number)"
                   + ("; it is left out of the features" if labels == "ignored" else ""))
    if labels != "ignored":
        g.add_argument("--labels", metavar="FILE", help="separate labels file: .csv (one column), .npy or .npz")
        g.add_argument("--labels-key", metavar="NAME",
                       help="array of a .npz holding the labels (default: 'y' or the only array)")
    else:
        p.set_defaults(labels=None, labels_key=None)
    g.add_argument("--features-key", metavar="NAME",
                   help="array of a .npz features file (default: 'X' or the only array)")
    g.add_argument("--delimiter", default=",", metavar="C", help="field separator of .csv files (default: ',')")


def build_parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG, formatter_class=fmt)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("fit", help="fit a model on labelled trials", formatter_class=fmt,
                       description="Fit a model on labelled trials and write it to a .npz model file.")
    _add_data_options(p, "required")
    p.add_argument("-o", "--output", required=True, metavar="MODEL", help="model file to write (.npz)")
    h = p.add_argument_group("model settings (kept in the model file and used by later updates)")
    h.add_argument("--n-classes", type=int, metavar="K",
                   help="number of classes (default: from the labels, largest label - label base + 1)")
    h.add_argument("--label-base", type=int, choices=(0, 1),
                   help="value of the first label (default: 0 if a label 0 occurs, else 1)")
    h.add_argument("--w-loc", type=_float, default=0.0, metavar="X", help="prior mean of each feature weight (default: 0)")
    h.add_argument("--w-scale", type=_positive_float, default=1.0, metavar="X",
                   help="prior standard deviation of each feature weight, > 0 (default: 1); smaller is smoother")
    h.add_argument("--b-loc", type=_float, default=0.0, metavar="X", help="prior mean of each class bias (default: 0)")
    h.add_argument("--b-scale", type=_positive_float, default=1.0, metavar="X",
                   help="prior standard deviation of each class bias, > 0 (default: 1)")
    h.add_argument("--learning-rate", type=_rate, default=0.5, metavar="X",
                   help="damping of each sweep, in (0, 1]; 1 = no damping (default: 0.5)")
    h.add_argument("--num-steps", type=_positive_int, default=20, metavar="N", help="coordinate sweeps per fit and per update (default: 20)")
    h.add_argument("--seed", type=int, default=0, metavar="N", help="seed stored with the model; fitting draws no random numbers (default: 0)")
    h.add_argument("--float64", action="store_true", help="compute and store the model in 64-bit floats (default: 32-bit)")
    p.set_defaults(func=cmd_fit)

    p = sub.add_parser("update", help="fold new labelled trials into a model", formatter_class=fmt,
                       description="Update a model with new labelled trials. Labels beyond the model's classes\n"
                       "add new classes. The model keeps its precision and its settings unless overridden.")
    p.add_argument("model", help="model file (.npz) to update")
    _add_data_options(p, "required")
    p.add_argument("-o", "--output", metavar="MODEL",
                   help="where to write the updated model (default: replace MODEL; the write is atomic)")
    p.add_argument("--learning-rate", type=_rate, metavar="X", help="new damping in (0, 1], stored for later updates")
    p.add_argument("--num-steps", type=_positive_int, metavar="N", help="new sweep count, stored for later updates; each sweep reuses the new trials")
    p.set_defaults(func=cmd_update)

    p = sub.add_parser("predict", help="predict labels, probabilities or samples for new trials", formatter_class=fmt,
                       description="Predict for new trials and write CSV, one row per trial:\n"
                       "  default    the most probable label (column 'label')\n"
                       "  --proba    class probabilities (columns p_<label>)\n"
                       "  --samples  S labels drawn from the posterior predictive (columns sample_1..S)")
    p.add_argument("model", help="model file (.npz)")
    _add_data_options(p, "ignored")
    what = p.add_mutually_exclusive_group()
    what.add_argument("--proba", action="store_true", help="write class probabilities instead of labels")
    what.add_argument("--samples", type=_positive_int, metavar="S", help="write S predictive label samples per trial")
    p.add_argument("--draws", type=_positive_int, default=100, metavar="N",
                   help="posterior draws averaged for labels and --proba; 1 uses the posterior mean (default: 100)")
    p.add_argument("--seed", type=int, default=0, metavar="N", help="random seed of the draws (default: 0)")
    p.add_argument("-o", "--output", default="-", metavar="FILE", help="CSV file to write (default: standard output)")
    p.set_defaults(func=cmd_predict)

    p = sub.add_parser("info", help="describe a model file", description="Print what a model file holds.")
    p.add_argument("model", help="model file (.npz)")
    p.set_defaults(func=cmd_info)

    p = sub.add_parser("demo", help="simulated adaptive session on handwritten digits (needs the [demo] extra)",
                       formatter_class=fmt, description=(
                           "Simulate an adaptive BCI session on scikit-learn's handwritten digits: calibrate\n"
                           "on a few classes, then predict each block before learning its labels while new\n"
                           "classes appear. Compares with the calibration model left static and with\n"
                           "LogisticRegression refitted on all trials seen. Writes demo.png, metrics.csv\n"
                           "and model.npz to --out."))
    p.add_argument("--out", default="out", metavar="DIR", help="output folder (default: out)")
    p.add_argument("--seed", type=int, default=0, help="seed of the trial order and of the draws (default: 0)")
    p.add_argument("--block-size", type=_positive_int, default=60, help="trials per block (default: 60)")
    p.add_argument("--calibration-size", type=_positive_int, default=180, help="calibration trials (default: 180)")
    p.add_argument("--calibration-classes", type=int, default=6, choices=range(2, 10), metavar="{2..9}",
                   help="classes present at calibration, digits 0..N-1 (default: 6)")
    p.add_argument("--draws", type=_positive_int, default=200, help="posterior draws per prediction (default: 200)")
    p.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    p.set_defaults(func=cmd_demo)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs one command; returns the exit status (0 success, 1 error, 2 bad usage)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else 2
    try:
        args.func(args)
    except (UsageError, ModelFileError) as exc:
        return _fail(str(exc))
    except BrokenPipeError:
        # The reader of standard output went away (e.g. `| head`); stop quietly.
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as exc:
        where = f" {exc.filename}" if exc.filename else ""
        return _fail(f"cannot access{where}: {exc.strerror or exc}")
    except ValueError as exc:  # the model's own checks of its inputs and settings
        return _fail(str(exc))
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    return 0


def _fail(message: str, status: int = 1) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status
