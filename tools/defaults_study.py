"""Cross-validated accuracy, log-loss and fit time of the estimator over a grid of settings.

The study behind ``defaults.FIT``: on scikit-learn's bundled data sets, 5-fold
stratified cross-validation (shuffled, fixed seed) of ``KelvraSoftmaxClassifier``
for every learning rate, sweep cap, tolerance and bias prior of the grid, with
``w_scale`` = 1. Standardised data sets are scaled on each training fold.

A fit is deterministic, which lets the study run fewer fits than the grid has
cells without changing any figure: a fit with a tolerance that stops after s
sweeps is the same fit for every cap >= s, and one whose cap comes first runs
exactly the sweeps of the fit without a tolerance and that cap. Each cell is
timed by the fit that produced it. Digits takes nearly all the run time: about
10 ms a sweep on a quiet core (several times that on a busy one), a fit of up
to 200 sweeps per fold and cell. The whole grid took 7 minutes on two cores
shared with other jobs, --quick 16 seconds.

    .venv/bin/python tools/defaults_study.py                  # the whole grid
    .venv/bin/python tools/defaults_study.py --datasets iris wine
    .venv/bin/python tools/defaults_study.py --results study.json   # keep, and reprint later
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import pathlib
import sys
import time

import numpy as np

# The benchmarks' JAX options (precision, compile cache), shared with this study.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "benchmarks"))
from jax_options import add_jax_options, configure_jax, describe
from sklearn.datasets import load_breast_cancer, load_digits, load_iris, load_wine
from sklearn.metrics import log_loss
from sklearn.model_selection import StratifiedKFold
from sklearn.preprocessing import StandardScaler

from kelvra_bci.models.kelvra_softmax import defaults
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier

# name: (loader, standardise)
DATASETS = {
    "digits": (load_digits, True),
    "iris": (load_iris, False),
    # Wine's raw features span four orders of magnitude (proline ~1e3): unscaled, no
    # setting gets its log-loss below 1.4, which says nothing about the settings.
    "wine": (load_wine, True),
    "breast_cancer": (load_breast_cancer, True),
}
LEARNING_RATES = (0.5, 0.8, 1.0)
CAPS = (20, 50, 100, 200)
TOLS = (None, 1e-3, 1e-4)
B_SCALES = (1.0, 10.0)
W_SCALE = 1.0
# The estimator's defaults before this study.
PREVIOUS = {"learning_rate": 0.5, "num_steps": 20, "tol": None, "b_scale": 10.0}


def folds(name, n_folds, seed):
    loader, standardise = DATASETS[name]
    X, y = loader(return_X_y=True)
    splits = []
    for train, test in StratifiedKFold(n_folds, shuffle=True, random_state=seed).split(X, y):
        X_train, X_test = X[train], X[test]
        if standardise:
            scaler = StandardScaler().fit(X_train)
            X_train, X_test = scaler.transform(X_train), scaler.transform(X_test)
        splits.append((X_train, y[train], X_test, y[test]))
    return splits, np.unique(y)


def run_fit(split, labels, lr, b_scale, cap, tol):
    X_train, y_train, X_test, y_test = split
    est = KelvraSoftmaxClassifier(
        w_scale=W_SCALE, b_scale=b_scale, learning_rate=lr, num_steps=cap, tol=tol, random_state=0
    )
    start = time.perf_counter()
    est.fit(X_train, y_train)
    seconds = time.perf_counter() - start
    proba = est.predict_proba(X_test)
    return {
        "accuracy": float(np.mean(est.classes_[np.argmax(proba, axis=1)] == y_test)),
        "log_loss": float(log_loss(y_test, proba, labels=labels)),
        "seconds": seconds,
        "sweeps": est.n_iter_,
    }


def study_group(split, labels, lr, b_scale):
    """Every (cap, tol) cell of one fold, learning rate and bias prior; the fewest fits that give them."""
    plain = {}  # cap -> the fit without a tolerance

    def without_tol(cap):
        if cap not in plain:
            plain[cap] = run_fit(split, labels, lr, b_scale, cap, None)
        return plain[cap]

    cells = {}
    largest = max(CAPS)
    ran_to_cap = False
    for tol in sorted((t for t in TOLS if t is not None), reverse=True):
        # A smaller tolerance never stops earlier: once one runs to the cap, so do the rest,
        # and their sweeps are those of the fit without a tolerance.
        if ran_to_cap:
            converged = without_tol(largest)
        else:
            converged = run_fit(split, labels, lr, b_scale, largest, tol)
            if converged["sweeps"] >= largest:
                ran_to_cap = True
                plain.setdefault(largest, converged)
        for cap in CAPS:
            cells[(cap, tol)] = converged if converged["sweeps"] <= cap else without_tol(cap)
    for cap in CAPS:
        cells[(cap, None)] = without_tol(cap)
    return cells


def warm_up(split, labels):
    # Compile the fit with and without a tolerance for this trial bucket, and the prediction.
    for tol in (None, 1e-3):
        run_fit(split, labels, 1.0, 1.0, 1, tol)


def aggregate(runs):
    return {
        "accuracy": float(np.mean([r["accuracy"] for r in runs])),
        "log_loss": float(np.mean([r["log_loss"] for r in runs])),
        "seconds": float(np.median([r["seconds"] for r in runs])),
        "sweeps": float(np.mean([r["sweeps"] for r in runs])),
        "fold_log_losses": [r["log_loss"] for r in runs],
    }


def run_study(names, n_folds, seed, results, only=None):
    """Measure the grid on each data set; with `only`, just those settings on digits."""
    for name in names:
        splits, labels = folds(name, n_folds, seed)
        warm_up(splits[0], labels)
        if only is not None and name == "digits":
            for setting in only:
                lr, cap, tol, b_scale = (setting[k] for k in ("learning_rate", "num_steps", "tol", "b_scale"))
                runs = [run_fit(split, labels, lr, b_scale, cap, tol) for split in splits]
                results[cell_key(name, lr, cap, tol, b_scale)] = aggregate(runs)
            continue
        for lr, b_scale in itertools.product(LEARNING_RATES, B_SCALES):
            start = time.perf_counter()
            per_fold = [study_group(split, labels, lr, b_scale) for split in splits]
            for cap, tol in itertools.product(CAPS, TOLS):
                results[cell_key(name, lr, cap, tol, b_scale)] = aggregate([cells[(cap, tol)] for cells in per_fold])
            print(f"  {name} lr={lr:g} b_scale={b_scale:g}: {time.perf_counter() - start:.1f} s", flush=True)


def cell_key(name, lr, cap, tol, b_scale):
    return f"{name} lr={lr:g} cap={cap} tol={tol} b_scale={b_scale:g}"


def cells_of(name, only):
    """Keys of the cells a run measures on a data set."""
    if only is not None and name == "digits":
        keys = ("learning_rate", "num_steps", "tol", "b_scale")
        return [cell_key(name, *(setting[k] for k in keys)) for setting in only]
    return [cell_key(name, *cell) for cell in itertools.product(LEARNING_RATES, CAPS, TOLS, B_SCALES)]


def print_table(names, results, chosen):
    width = 27
    print(f"{'':22}|" + "".join(f"{name:^{width}}|" for name in names))
    head = f"{'lr':>4} {'cap':>4} {'tol':>6} {'b_sc':>4} |" + f"{'ll':>7} {'acc':>5} {'sw':>4} {'fit_s':>7} |" * len(
        names
    )
    print(head)
    print("-" * len(head))
    for lr, cap, tol, b_scale in itertools.product(LEARNING_RATES, CAPS, TOLS, B_SCALES):
        setting = {"learning_rate": lr, "num_steps": cap, "tol": tol, "b_scale": b_scale}
        mark = " <- chosen" if setting == chosen else " <- previous" if setting == PREVIOUS else ""
        row = f"{lr:>4g} {cap:>4} {tol if tol is not None else '-':>6} {b_scale:>4g} |"
        for name in names:
            r = results.get(cell_key(name, lr, cap, tol, b_scale))
            if r is None:
                row += f"{'-':>7} {'-':>5} {'-':>4} {'-':>7} |"
            else:
                row += f"{r['log_loss']:>7.4f} {r['accuracy']:>5.3f} {r['sweeps']:>4.0f} {r['seconds']:>7.3f} |"
        print(row + mark)


def print_comparison(names, results, chosen):
    """The chosen setting against the previous one, fold by fold on the same folds."""
    keys = ("learning_rate", "num_steps", "tol", "b_scale")
    print("\nchosen minus previous log-loss, paired over the same folds (mean ± standard error):")
    for name in names:
        new = results.get(cell_key(name, *(chosen[k] for k in keys)), {}).get("fold_log_losses")
        old = results.get(cell_key(name, *(PREVIOUS[k] for k in keys)), {}).get("fold_log_losses")
        if new is None or old is None:
            print(f"  {name}: not measured fold by fold")
            continue
        diff = np.subtract(new, old)
        error = diff.std(ddof=1) / np.sqrt(diff.size)
        print(
            f"  {name:<13} {np.mean(old):.4f} -> {np.mean(new):.4f}: {diff.mean():+.4f} ± {error:.4f},"
            f" worse in {np.sum(diff > 0)} of {diff.size} folds"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--datasets", nargs="+", choices=list(DATASETS), default=list(DATASETS))
    parser.add_argument("--folds", type=int, default=5)
    parser.add_argument("--seed", type=int, default=0, help="seed of the fold shuffle")
    parser.add_argument(
        "--results", metavar="FILE", help="JSON file of measured cells: read if present, written at the end"
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help="digits only at the previous and the current defaults; the other data sets on the whole grid",
    )
    add_jax_options(parser)
    args = parser.parse_args()
    configure_jax(args)

    results = {}
    if args.results and os.path.exists(args.results):
        with open(args.results) as f:
            results = json.load(f)
    chosen = {key: defaults.FIT[key] for key in PREVIOUS}
    only = [PREVIOUS, chosen] if args.quick else None
    todo = [n for n in args.datasets if any(key not in results for key in cells_of(n, only))]
    print(f"{describe(args)}; {args.folds}-fold stratified CV, seed {args.seed}; w_scale={W_SCALE:g}")
    print(f"measuring: {', '.join(todo) or 'nothing (all in the results file)'}")
    start = time.perf_counter()
    run_study(todo, args.folds, args.seed, results, only)
    print(f"study time: {time.perf_counter() - start:.0f} s (two shared cores: times are indicative)\n")
    if args.results:
        with open(args.results, "w") as f:
            json.dump(results, f, indent=1, sort_keys=True)

    print("5-fold mean log-loss (ll) and accuracy, mean sweeps run, median fit seconds")
    print_table(args.datasets, results, chosen)
    print_comparison(args.datasets, results, chosen)


if __name__ == "__main__":
    main()
