"""Quality of KelvraSoftmaxClassifier with its defaults beside scikit-learn's classifiers, on the same data.

Every table gives accuracy, log-loss and expected calibration error (ECE: top
label, ten equal-width bins of confidence) together, and the time to learn.

Cross-validation: 5-fold stratified (shuffled, random_state 0) on scikit-learn's
digits, iris, wine and breast cancer, a StandardScaler fitted inside each fold
(a Pipeline), metrics over the pooled out-of-fold probabilities, fit time the
median over folds. Kelvra fits one untimed fold first so that compiling is not
counted.

Prequential streams: each block is predicted by every decoder first and then
learnt. Decoders:

- kelvra partial_fit: KelvraSoftmaxClassifier() fitted on the calibration
  trials, then partial_fit with each block (a new label adds a class);
- kelvra refit, logreg refit (LogisticRegression(C=1, max_iter=1000)), LDA
  refit (LinearDiscriminantAnalysis(solver="lsqr", shrinkage="auto")): fitted
  afresh on every trial seen so far after each block;
- adaptive LDA: the shrunk within-class covariance of the calibration trials,
  kept; each class mean follows every labelled trial, mu <- 0.95 mu + 0.05 x,
  and a class new to it starts at its first trial; equal class priors;
- sgd: SGDClassifier(loss="log_loss"), told every class up front, ten passes
  over the calibration trials, then one partial_fit per block.

Streams: digits with late classes (standardised, calibration on 45 trials of
digits 0-5, 6-7 allowed from a third of the stream, 8-9 from two thirds, blocks
of 15); a simulated 4-class session of 600 trials, 16 channels, without drift
and with drift=1 (kelvra_bci.simulation; calibration on the first run of 100
trials, then blocks of 10). A decoder gives probability 0 to a class it has not
seen; for the log-loss every probability is raised to at least 1e-15 and each
row renormalised, so a trial of a class not seen yet costs about 34.5 nats ("ll
seen" leaves those trials out). Below each stream's table, a reliability
summary pools every seed's stream: per confidence range (top label, 0-0.5,
0.5-0.7, 0.7-0.9, 0.9-1), accuracy less mean confidence in points with the
trial count (+ under-confident, - over-confident), then the mean confidence
and accuracy over the stream. Update time: the median over blocks of learning
one block (for the refitted decoders, the whole refit). Figures are means over
seeds: three simulated sessions (--seeds) and one order of the digits
(--digits-seeds), whose kelvra refit takes a second or more per block. An
untimed pass of the kelvra decoders over each stream compiles its shapes first;
the class-adding updates of that pass are reported apart, since a session pays
them too (they compile the new class count, unless the persistent cache of
--compile-cache holds it). The last line counts the functions the engine
compiled or loaded from that cache; a timed pass that needed one says so above
its table.

BLAS threads: one by default (--blas-threads). On the shared 2-core development
machine, under load, the worker threads of the process's OpenBLAS libraries
(NumPy's and SciPy's) spent more time waiting than computing: a
LogisticRegression fit on digits took 0.25-2.8 s with two threads and 0.05 s
with one, and a KelvraSoftmaxClassifier fit 19-26 s and 2.6 s (its JAX
computation was slowed by them too).
scikit-learn's FutureWarnings about LogisticRegressionCV's coming defaults are
silenced; the figures are for its defaults of today.

On that machine at a load of 10-12 the run took 6.4 minutes, 4.5 with the
persistent cache warm (--compile-cache DIR, a second run); --quick (one
simulated session, the digits in blocks of 60) 2.5.

    .venv/bin/python benchmarks/bench_quality.py [--quick] [--seeds 0 1 2] [--part cv|streams]
"""

from __future__ import annotations

import argparse
import itertools
import statistics
import time
import warnings

import numpy as np
from bench_online import RELIABILITY_EDGES, clipped, ece, reliability, run_stream, stream_order
from jax_options import add_jax_options, configure_jax, describe
from sklearn.datasets import load_breast_cancer, load_digits, load_iris, load_wine
from sklearn.discriminant_analysis import LinearDiscriminantAnalysis
from sklearn.linear_model import LogisticRegression, LogisticRegressionCV, SGDClassifier
from sklearn.metrics import log_loss
from sklearn.model_selection import StratifiedKFold
from sklearn.naive_bayes import GaussianNB
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from threadpoolctl import threadpool_info, threadpool_limits

from kelvra_bci.models.kelvra_softmax import engine
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier
from kelvra_bci.simulation import simulate_session

DATASETS = {"digits": load_digits, "iris": load_iris, "wine": load_wine, "breast_cancer": load_breast_cancer}

CV_MODELS = {
    "kelvra": KelvraSoftmaxClassifier,
    "logreg": lambda: LogisticRegression(C=1, max_iter=1000),
    "logregCV": lambda: LogisticRegressionCV(max_iter=1000),
    "LDA shrinkage": lambda: LinearDiscriminantAnalysis(solver="lsqr", shrinkage="auto"),
    "GaussianNB": GaussianNB,
}

ADAPTATION = 0.05  # adaptive LDA: weight of each new trial in its class mean


def summary(proba, y, n_classes):
    return {
        "acc": float(np.mean(proba.argmax(axis=1) == y)),
        "ll": float(log_loss(y, clipped(proba), labels=np.arange(n_classes))),
        "ece": ece(proba, y),
    }


def full_columns(proba, classes, n_classes):
    out = np.zeros((proba.shape[0], n_classes))
    out[:, np.asarray(classes)] = proba
    return out


# ---------------------------------------------------------------- cross-validation


def cross_validate(make, X, y, folds, warm_up):
    """Pooled out-of-fold probabilities and the median fit seconds of a scaler + model pipeline."""
    if warm_up:
        train, test = folds[0]
        make_pipeline(StandardScaler(), make()).fit(X[train], y[train]).predict_proba(X[test])
    proba = np.zeros((y.size, int(y.max()) + 1))
    seconds = []
    for train, test in folds:
        pipe = make_pipeline(StandardScaler(), make())
        start = time.perf_counter()
        pipe.fit(X[train], y[train])
        seconds.append(time.perf_counter() - start)
        proba[test] = pipe.predict_proba(X[test])
    return proba, statistics.median(seconds)


def cv_tables():
    print("\n5-fold stratified cross-validation, StandardScaler inside each fold")
    print(f"{'data set':<14} {'model':<14} | {'acc':>6} {'logloss':>8} {'ECE':>6} | {'fit ms':>8}")
    print("-" * 66)
    for name, load in DATASETS.items():
        X, y = load(return_X_y=True)
        folds = list(StratifiedKFold(5, shuffle=True, random_state=0).split(X, y))
        for model, make in CV_MODELS.items():
            proba, seconds = cross_validate(make, X, y, folds, warm_up=model == "kelvra")
            m = summary(proba, y, proba.shape[1])
            print(
                f"{name:<14} {model:<14} | {m['acc']:>6.3f} {m['ll']:>8.3f} {m['ece']:>6.3f} | {1e3 * seconds:>8.1f}",
                flush=True,
            )


# ---------------------------------------------------------------- stream decoders


class Refitted:
    """A scikit-learn classifier fitted afresh on every trial seen so far."""

    def __init__(self, make, n_classes):
        self.make, self.n_classes = make, n_classes

    def calibrate(self, X, y):
        self.model = self.make().fit(X, y)

    def learn(self, X, y, X_seen, y_seen):
        self.calibrate(X_seen, y_seen)

    def predict_proba(self, X):
        return full_columns(self.model.predict_proba(X), self.model.classes_, self.n_classes)


class PartialFit(Refitted):
    """A classifier fitted on the calibration trials, then given each block with partial_fit."""

    def learn(self, X, y, X_seen, y_seen):
        self.model.partial_fit(X, y)


class SGDStream(Refitted):
    def __init__(self, n_classes, seed):
        super().__init__(lambda: SGDClassifier(loss="log_loss", random_state=seed), n_classes)

    def calibrate(self, X, y):
        self.model = self.make()
        for _ in range(10):
            self.model.partial_fit(X, y, classes=np.arange(self.n_classes))

    def learn(self, X, y, X_seen, y_seen):
        self.model.partial_fit(X, y)


class AdaptiveLDA:
    """Shared shrunk covariance from calibration; class means that follow each labelled trial."""

    def __init__(self, n_classes, rate=ADAPTATION):
        self.n_classes, self.rate = n_classes, rate

    def calibrate(self, X, y):
        lda = LinearDiscriminantAnalysis(solver="lsqr", shrinkage="auto").fit(X, y)
        self.covariance = lda.covariance_
        self.means = {int(k): X[y == k].mean(axis=0) for k in np.unique(y)}

    def learn(self, X, y, X_seen, y_seen):
        for x, label in zip(X, y.tolist(), strict=True):
            mean = self.means.get(label)
            self.means[label] = x.copy() if mean is None else (1 - self.rate) * mean + self.rate * x

    def predict_proba(self, X):
        classes = sorted(self.means)
        means = np.stack([self.means[k] for k in classes])
        weights = np.linalg.solve(self.covariance, means.T)  # (p, K)
        logits = X @ weights - 0.5 * np.sum(means.T * weights, axis=0)
        logits -= logits.max(axis=1, keepdims=True)
        proba = np.exp(logits)
        return full_columns(proba / proba.sum(axis=1, keepdims=True), classes, self.n_classes)


def decoders(n_classes, seed, kelvra_only=False, **kelvra_settings):
    make_kelvra = lambda: KelvraSoftmaxClassifier(**kelvra_settings)
    out = {
        "kelvra partial_fit": PartialFit(make_kelvra, n_classes),
        "kelvra refit": Refitted(make_kelvra, n_classes),
    }
    if not kelvra_only:
        out.update(
            {
                "logreg refit": Refitted(lambda: LogisticRegression(C=1, max_iter=1000), n_classes),
                "LDA refit": Refitted(lambda: LinearDiscriminantAnalysis(solver="lsqr", shrinkage="auto"), n_classes),
                "adaptive LDA": AdaptiveLDA(n_classes),
                "sgd partial_fit": SGDStream(n_classes, seed),
            }
        )
    return out


# ---------------------------------------------------------------- streams


def unseen_positions(y, calibration, blocks):
    """Stream positions of the trials whose class neither calibration nor an earlier block held."""
    seen, unseen, start = set(y[calibration].tolist()), [], 0
    for block in blocks:
        unseen += [start + i for i, label in enumerate(y[block].tolist()) if label not in seen]
        seen.update(y[block].tolist())
        start += block.size
    return np.asarray(unseen, dtype=int)


def digits_stream(seed, args):
    X, y = load_digits(return_X_y=True)
    X = StandardScaler().fit_transform(X)
    rs = np.random.RandomState(seed)
    arrivals = {6: 1 / 3, 7: 1 / 3, 8: 2 / 3, 9: 2 / 3}
    calibration, stream = stream_order(y, set(range(6)), arrivals, args.digits_calibration, rs)
    blocks = [stream[i : i + args.digits_block] for i in range(0, stream.size, args.digits_block)]
    return X, y, calibration, blocks, 10


def simulated_stream(seed, args, drift):
    s = simulate_session(args.sim_trials, args.sim_classes, drift=drift, seed=seed)
    calibration = np.flatnonzero(s.run == 0)
    rest = np.flatnonzero(s.run > 0)
    blocks = [rest[i : i + args.sim_block] for i in range(0, rest.size, args.sim_block)]
    return s.X, s.y, calibration, blocks, args.sim_classes


def stream_table(title, make_stream, seeds, latency):
    rows, update_ms, n_unseen, recompiled = {}, {}, [], 0
    pooled, y_pooled = {}, []
    for seed in seeds:
        X, y, calibration, blocks, n_classes = make_stream(seed)
        # Untimed pass: compiles the kelvra shapes (trial buckets, class counts) of this stream.
        # The partial_fit decoder runs with its real settings, so that its class-adding
        # updates show what a session pays when the class count first changes.
        warm = decoders(n_classes, seed, kelvra_only=True)
        warm["kelvra refit"] = Refitted(lambda: KelvraSoftmaxClassifier(num_steps=1), n_classes)
        _, cold_seconds, adds = run_stream(warm, X, y, calibration, blocks, n_classes)
        cold_adds = np.asarray(cold_seconds["kelvra partial_fit"])[adds]

        decs = decoders(n_classes, seed)
        misses = engine.cache_info()["misses"]
        proba, seconds, adds = run_stream(decs, X, y, calibration, blocks, n_classes)
        recompiled += engine.cache_info()["misses"] - misses
        y_stream = np.concatenate([y[block] for block in blocks])
        y_pooled.append(y_stream)
        unseen = unseen_positions(y, calibration, blocks)
        n_unseen.append(unseen.size)
        for name in decs:
            m = summary(proba[name], y_stream, n_classes)
            m["seen"] = summary(np.delete(proba[name], unseen, axis=0), np.delete(y_stream, unseen), n_classes)["ll"]
            rows.setdefault(name, []).append(m)
            pooled.setdefault(name, []).append(proba[name])
            update_ms.setdefault(name, []).append(1e3 * statistics.median(seconds[name]))
        kelvra = np.asarray(seconds["kelvra partial_fit"])
        latency["block"].append(1e3 * np.median(kelvra[~adds]))
        if adds.any():
            latency["adds"] += list(1e3 * kelvra[adds])
            latency["adds cold"] += list(1e3 * cold_adds)

    print(
        f"\n{title}: {calibration.size} calibration trials, then {y_stream.size} trials in {len(blocks)} blocks;"
        f" {np.mean(n_unseen):g} trials of a class not seen yet; mean over seeds {', '.join(map(str, seeds))}"
    )
    if recompiled:
        print(f"  ({recompiled} engine compiles during the timed passes: their update times include compiling)")
    print(f"{'decoder':<19} | {'acc':>6} {'logloss':>8} {'ll seen':>8} {'ECE':>6} | {'update ms':>9}")
    print("-" * 67)
    for name, ms in rows.items():
        mean = {key: np.mean([m[key] for m in ms]) for key in ("acc", "ll", "seen", "ece")}
        print(
            f"{name:<19} | {mean['acc']:>6.3f} {mean['ll']:>8.3f} {mean['seen']:>8.3f} {mean['ece']:>6.3f} |"
            f" {np.mean(update_ms[name]):>9.1f}",
            flush=True,
        )
    reliability_table(pooled, np.concatenate(y_pooled))


def reliability_table(pooled, y):
    """Accuracy less mean confidence per confidence range, over every seed's stream: + under-confident."""
    ranges = [f"{lo:.1f}-{hi:.1f}" for lo, hi in itertools.pairwise(RELIABILITY_EDGES)]
    print("reliability: accuracy - mean confidence, points (trials), per confidence range; + is under-confident")
    print(f"{'decoder':<19} | {' '.join(f'{r:>12}' for r in ranges)} | {'conf':>5} {'acc':>5}")
    for name, probas in pooled.items():
        p = np.concatenate(probas)
        cells = [f"{100 * (acc - conf):>+5.1f} ({n:>4})" if n else f"{'-':>12}" for n, conf, acc in reliability(p, y)]
        overall = f"{p.max(axis=1).mean():>5.3f} {np.mean(p.argmax(axis=1) == y):>5.3f}"
        print(f"{name:<19} | {' '.join(cells)} | {overall}")


def stream_tables(args):
    streams = {
        "digits": (
            f"digits, late classes, blocks of {args.digits_block}",
            lambda seed: digits_stream(seed, args),
            args.digits_seeds,
        ),
        "simulated": (
            f"simulated, no drift, blocks of {args.sim_block}",
            lambda seed: simulated_stream(seed, args, 0.0),
            args.seeds,
        ),
        "simulated, drift": (
            f"simulated, drift={args.drift:g}, blocks of {args.sim_block}",
            lambda seed: simulated_stream(seed, args, args.drift),
            args.seeds,
        ),
    }
    latencies = {}
    for short, (title, make, seeds) in streams.items():
        latencies[short] = {"block": [], "adds": [], "adds cold": []}
        stream_table(title, make, seeds, latencies[short])

    print("\nkelvra partial_fit latency (ms, medians)")
    print(f"  {'stream':<18} {'a block':>8} {'adds a class':>13} {'same, 1st pass':>15}")
    for short, lat in latencies.items():
        block = np.mean(lat["block"])
        if lat["adds"]:
            print(f"  {short:<18} {block:>8.1f} {np.median(lat['adds']):>13.1f} {np.median(lat['adds cold']):>15.1f}")
        else:
            print(f"  {short:<18} {block:>8.1f} {'-':>13} {'-':>15}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--quick", action="store_true", help="one seed of each stream, and the digits stream in blocks of 60"
    )
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2], help="simulated sessions (default: 0 1 2)")
    parser.add_argument(
        "--digits-seeds", type=int, nargs="+", default=[0], help="orders of the digits stream (default: 0)"
    )
    parser.add_argument("--part", choices=("all", "cv", "streams"), default="all")
    parser.add_argument("--digits-block", type=int, default=15)
    parser.add_argument("--digits-calibration", type=int, default=45)
    parser.add_argument("--sim-trials", type=int, default=600)
    parser.add_argument("--sim-classes", type=int, default=4)
    parser.add_argument("--sim-block", type=int, default=10)
    parser.add_argument("--drift", type=float, default=1.0)
    parser.add_argument("--blas-threads", type=int, default=1, help="OpenBLAS threads (default: 1)")
    add_jax_options(parser)
    args = parser.parse_args()
    if args.quick:
        args.seeds, args.digits_seeds, args.digits_block = args.seeds[:1], args.digits_seeds[:1], 60
    configure_jax(args)
    warnings.filterwarnings("ignore", category=FutureWarning, module="sklearn")
    # The LDA refit of the digits stream meets a class with one trial just after it first appears.
    warnings.filterwarnings("ignore", message="Only one sample available")
    threadpool_limits(args.blas_threads)
    threads = sorted({pool["num_threads"] for pool in threadpool_info()})
    print(
        f"{describe(args)} BLAS threads={threads}; KelvraSoftmaxClassifier() with its defaults;"
        " machine shared: times are indicative"
    )
    start = time.perf_counter()
    sections = []
    if args.part in ("all", "cv"):
        cv_tables()
        sections.append(f"cross-validation {time.perf_counter() - start:.0f} s")
    if args.part in ("all", "streams"):
        middle = time.perf_counter()
        stream_tables(args)
        sections.append(f"streams {time.perf_counter() - middle:.0f} s")
    compiled = engine.cache_info()["misses"]
    print(
        f"\n{', '.join(sections)}; total {time.perf_counter() - start:.0f} s;"
        f" {compiled} engine functions compiled or loaded from the persistent cache"
    )


if __name__ == "__main__":
    main()
