"""The options of ``kelvra-softmax``: every one is checked when it is parsed."""

from __future__ import annotations

import argparse
import math

from .. import __version__
from ..limits import INT32_MAX, INT64_MAX, INT64_MIN, MAX_MEMORY
from ..models.kelvra_softmax import defaults
from .commands import PROG, cmd_demo, cmd_fit, cmd_info, cmd_live, cmd_predict, cmd_update
from .labels import MAX_CLASSES

__all__ = ["build_parser"]

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
  kelvra-softmax live --eeg EEG --markers Markers --class 1=left --class 2=right --calibrate 40 --model live.npz

Run 'kelvra-softmax COMMAND --help' for the options of a command."""


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


def _scale_or_auto(text: str) -> float | str:
    return "auto" if text == "auto" else _positive_float(text)


def _forgetting(text: str) -> float:
    value = _float(text)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be in (0, 1], got {text}")
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


_steps = _int_in(1, INT32_MAX)
_count = _int_in(1, INT32_MAX)
_memory = _int_in(1, MAX_MEMORY)
_seed = _int_in(INT64_MIN, INT64_MAX)
_n_classes = _int_in(2, MAX_CLASSES)


# The prior and sweep options of fit, named after the shared defaults they override.
_FIT_SETTINGS = {
    "w_loc": (_float, "X", "prior mean of each feature weight"),
    "w_scale": (
        _scale_or_auto,
        "X",
        "prior standard deviation of each feature weight, > 0 (smaller is smoother), "
        "or 'auto' for the scale the evidence picks (method mode)",
    ),
    "b_loc": (_float, "X", "prior mean of each class bias"),
    "b_scale": (_positive_float, "X", "prior standard deviation of each class bias, > 0"),
    "learning_rate": (_rate, "X", "damping of each sweep of method sweeps, in (0, 1]; 1 = no damping"),
    "num_steps": (_steps, "N", f"Newton steps (or sweeps) per fit and per update, at most {INT32_MAX}"),
}


def _default(value) -> str:
    if isinstance(value, str):
        return value
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
        h.add_argument(
            option, type=kind, default=fit[key], metavar=metavar, help=f"{text} (default: {_default(fit[key])})"
        )
    h.add_argument(
        "--method",
        choices=("mode", "sweeps"),
        default=fit["method"],
        help="'mode': Newton to the posterior mode with the Laplace covariance; 'sweeps': the learning "
        f"module's Polya-Gamma sweeps (default: {fit['method']})",
    )
    h.add_argument(
        "--memory",
        type=_memory,
        default=fit["memory"],
        metavar="N",
        help=f"trials a model of method mode keeps for its updates to revisit, at most "
        f"{MAX_MEMORY} (default: {fit['memory']})",
    )
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
        choices=("mode", "once", "resweep"),
        default=defaults.UPDATE_RULE,
        help="'mode' finds the posterior mode given every trial so far (the model's memory of recent "
        "trials is revisited); 'once' counts each new trial once; 'resweep' reuses the new trials in "
        f"every sweep, as the learning module does (default: {defaults.UPDATE_RULE})",
    )
    p.add_argument(
        "--forgetting",
        type=_forgetting,
        metavar="G",
        help="rule mode only: each new trial multiplies the weight of every earlier one by G in (0, 1], "
        "for drifting sessions; 0.99-0.999 is the useful range (default: none)",
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
        default=defaults.DRAWS,
        metavar="N",
        help=f"posterior draws averaged for labels and --proba; 1 uses the posterior mean (default: {defaults.DRAWS})",
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
            "find the posterior mode given every trial so far with updates that count each trial\n"
            "once, the calibration model left static, and LogisticRegression refitted on all\n"
            "trials seen. Writes demo.png, metrics.csv and\n"
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
        "--draws",
        type=_count,
        default=defaults.DRAWS,
        metavar="N",
        help="posterior draws averaged by the Bayesian models' predictions; 1 predicts at the posterior mean, "
        f"as the estimator does by default (default: {defaults.DRAWS})",
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
        help="'engine': the jit-compiled engine, updates finding the posterior mode and counting each "
        "trial once; "
        "'modules': the learning and inference modules, whose updates resweep (default: engine)",
    )
    p.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    p.set_defaults(func=cmd_demo)
    _add_live_command(sub, common, fmt)
    return parser


def _marker_class(text: str) -> tuple[str, str]:
    marker, sep, name = text.partition("=")
    if not sep or not marker.strip() or not name.strip():
        raise argparse.ArgumentTypeError(f"must be MARKER=CLASS, got {text!r}")
    return marker.strip(), name.strip()


def _names(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    if not all(names) or len(set(names)) != len(names):
        raise argparse.ArgumentTypeError(f"must be distinct channel names separated by commas, got {text!r}")
    return names


def _seconds_pair(text: str) -> tuple[float, float]:
    parts = text.replace(",", " ").split()
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"must be two numbers, START,END, got {text!r}")
    lo, hi = (_float(part) for part in parts)
    if not lo < hi:
        raise argparse.ArgumentTypeError(f"the first number must be below the second, got {text!r}")
    return lo, hi


def _non_negative_pair(text: str) -> tuple[float, float]:
    lo, hi = _seconds_pair(text)
    if lo <= 0:
        raise argparse.ArgumentTypeError(f"must be two frequencies above 0 Hz, got {text!r}")
    return lo, hi


def _add_live_command(sub, common, fmt) -> None:
    from ..live.features import DEFAULT_BAND, DEFAULT_WINDOW, FEATURE_KINDS

    p = sub.add_parser(
        "live",
        help="decode a live session over Lab Streaming Layer (needs the [live] extra)",
        formatter_class=fmt,
        parents=[common],
        description=(
            "Decode a live session: subscribe to an EEG stream and a marker stream, cut an epoch\n"
            "at each cue marker, publish the class probabilities on an LSL outlet (one sample per\n"
            "cue, stamped with the cue's time: one channel per class, then 'label', the index of\n"
            "the most probable class), and learn from each labelled cue. Calibrates on the first\n"
            "N labelled trials (--calibrate N) or resumes from the model file. The model and its\n"
            "feature stage are saved to --model at calibration, at checkpoints and at the end;\n"
            "Ctrl-C or SIGTERM saves and stops."
        ),
    )
    g = p.add_argument_group("streams (by name, source id, or both)")
    g.add_argument("--eeg", metavar="NAME", help="name of the EEG stream")
    g.add_argument("--eeg-source-id", metavar="ID", help="source id of the EEG stream")
    g.add_argument(
        "--channels",
        type=_names,
        metavar="A,B,...",
        help="EEG channels to decode, by name, leaving out trigger or auxiliary channels "
        "(default: every channel at calibration, the model's channels after)",
    )
    g.add_argument("--markers", metavar="NAME", help="name of the marker stream")
    g.add_argument("--markers-source-id", metavar="ID", help="source id of the marker stream")
    g.add_argument(
        "--outlet", default="kelvra-decoder", metavar="NAME", help="name of the outlet (default: kelvra-decoder)"
    )
    g.add_argument(
        "--outlet-source-id", metavar="ID", help="source id of the outlet (default: its name and the process id)"
    )
    g.add_argument(
        "--resolve-timeout",
        type=_positive_float,
        default=10.0,
        metavar="S",
        help="seconds to wait for each stream at the start (default: 10)",
    )
    g.add_argument(
        "--reconnect-timeout",
        type=_positive_float,
        default=30.0,
        metavar="S",
        help="seconds to wait for a lost or silent stream to come back before ending (default: 30)",
    )
    g = p.add_argument_group("cues")
    g.add_argument(
        "--class",
        dest="classes",
        action="append",
        type=_marker_class,
        metavar="MARKER=CLASS",
        help="a marker that cues CLASS and labels its trial; repeat for every class (default: the model file's)",
    )
    g.add_argument(
        "--cue",
        action="append",
        default=[],
        metavar="MARKER",
        help="a marker that cues a trial without a label: decoded, not learnt; may be repeated",
    )
    g = p.add_argument_group("model and features")
    g.add_argument("--model", required=True, metavar="FILE", help="model file to resume from and save to (.npz)")
    g.add_argument(
        "--calibrate",
        type=_count,
        metavar="N",
        help="calibrate on the first N labelled trials of the stream (the model file must not exist yet)",
    )
    g.add_argument(
        "--features",
        choices=FEATURE_KINDS,
        default="csp",
        help="'csp': log-power of CSP components; 'tangent': covariances mapped to the tangent space (default: csp)",
    )
    g.add_argument(
        "--window",
        type=_seconds_pair,
        default=DEFAULT_WINDOW,
        metavar="START,END",
        help=f"epoch window in seconds from the cue (default: {DEFAULT_WINDOW[0]:g},{DEFAULT_WINDOW[1]:g})",
    )
    g.add_argument(
        "--band",
        type=_non_negative_pair,
        default=DEFAULT_BAND,
        metavar="LOW,HIGH",
        help=f"band-pass in Hz, a causal 4th-order Butterworth (default: {DEFAULT_BAND[0]:g},{DEFAULT_BAND[1]:g})",
    )
    g.add_argument(
        "--forgetting",
        type=_forgetting,
        metavar="G",
        help="each learnt trial multiplies the weight of earlier ones by G in (0, 1], to follow drift (default: none)",
    )
    g.add_argument("--no-learning", dest="learn", action="store_false", help="decode only; learn no labels")
    g = p.add_argument_group("running")
    g.add_argument(
        "--checkpoint-every",
        type=_count,
        default=10,
        metavar="N",
        help="save after every N learnt trials (default: 10)",
    )
    g.add_argument("--max-cues", type=_count, metavar="N", help="stop after decoding N cues")
    g.add_argument("--duration", type=_positive_float, metavar="S", help="stop after S seconds")
    g.add_argument("--quiet", action="store_true", help="no line per trial; events and the summary only")
    p.set_defaults(func=cmd_live)
