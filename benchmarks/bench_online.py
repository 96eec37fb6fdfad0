"""Prequential stream on scikit-learn's digits: each block is predicted first, then learnt.

A decoder is calibrated on a few classes (digits 0-5 by default); classes 6-7
and then 8-9 join the stream later. Each block of trials is first predicted by
every decoder and then given to it with its labels. Decoders:

- mode, once, resweep: the calibrated model updated block by block by the
  engine, under each update rule ("mode", the default, revisits the model's
  memory of recent trials), predicted at the posterior means; the "S=" rows
  predict the same models by averaging the softmax over posterior draws;
- refit: the same model fitted afresh (engine.fit) on every trial seen so far;
- logreg: scikit-learn's LogisticRegression(max_iter=1000), refitted likewise;
- sgd: SGDClassifier(loss="log_loss"), told all ten classes up front; ten passes
  over the calibration trials, then one partial_fit per block.

The model's settings are defaults.FIT. Features are standardised over the whole
data set, the same for every decoder. A decoder gives probability 0 to a class
it has not seen; for the log-loss every probability is raised to at least 1e-15
and each row renormalised, so a trial of an unseen class costs about 34.5 nats. The printed
count of such trials is the same for every decoder but sgd; "ll seen" leaves
them out. "2nd" columns: the second half of the stream. ECE: top label, ten
equal-width bins of confidence. Update time: the median over blocks of learning
one block (for the refitted decoders, the whole refit).

    .venv/bin/python benchmarks/bench_online.py [--block 60] [--seeds 0 1 2] [--draws 50]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from jax_options import add_jax_options, configure_jax, describe
from sklearn.datasets import load_digits
from sklearn.linear_model import LogisticRegression, SGDClassifier
from sklearn.metrics import log_loss
from sklearn.preprocessing import StandardScaler

from kelvra_bci.models.kelvra_softmax import defaults, engine

N_CLASSES = 10
CLIP = 1e-15
SETTINGS = {key: value for key, value in defaults.FIT.items() if key != "tol"}
TOL = defaults.FIT["tol"]


def stream_order(y, calibration_classes, arrivals, n_calibration, rs):
    """Indices of the calibration trials and of the stream, in order.

    A class first allowed at fraction a of the stream gets keys spread over
    [a, 1]: none of its trials comes earlier and the rest mix with the others.
    """
    order = rs.permutation(len(y))
    calibration = [i for i in order if y[i] in calibration_classes][:n_calibration]
    rest = np.setdiff1d(order, calibration)
    start = np.array([arrivals.get(int(label), 0.0) for label in y[rest]])
    keys = start + (1.0 - start) * rs.uniform(size=rest.size)
    return np.asarray(calibration), rest[np.argsort(keys)]


def full_columns(proba, classes):
    out = np.zeros((proba.shape[0], N_CLASSES))
    out[:, np.asarray(classes)] = proba
    return out


class EngineUpdates:
    def __init__(self, rule, settings=SETTINGS):
        self.rule, self.settings = rule, settings

    def calibrate(self, X, y):
        self.model = engine.fit(X, y, int(y.max()) + 1, 0, rng_seed=0, **self.settings, tol=TOL)

    def learn(self, X, y, X_seen, y_seen):
        self.model = engine.update(self.model, X, y, rule=self.rule, tol=TOL)

    def predict_proba(self, X):
        proba = engine.predict_proba(self.model, X, 1, 0)
        return full_columns(proba, np.arange(proba.shape[1]))


class PosteriorDraws:
    """Another decoder's model, predicted by averaging the softmax over posterior draws."""

    def __init__(self, of, draws):
        self.of, self.draws = of, draws

    def calibrate(self, X, y):
        pass

    def learn(self, X, y, X_seen, y_seen):
        pass  # the decoder it reads learns, before or after: prediction comes first

    def predict_proba(self, X):
        proba = engine.predict_proba(self.of.model, X, self.draws, 0)
        return full_columns(proba, np.arange(proba.shape[1]))


class EngineRefit(EngineUpdates):
    def learn(self, X, y, X_seen, y_seen):
        self.calibrate(X_seen, y_seen)


class LogRegRefit:
    def calibrate(self, X, y):
        self.model = LogisticRegression(max_iter=1000).fit(X, y)

    def learn(self, X, y, X_seen, y_seen):
        self.calibrate(X_seen, y_seen)

    def predict_proba(self, X):
        return full_columns(self.model.predict_proba(X), self.model.classes_)


class SGDStream:
    def __init__(self, seed):
        self.model = SGDClassifier(loss="log_loss", random_state=seed)

    def calibrate(self, X, y):
        for _ in range(10):
            self.model.partial_fit(X, y, classes=np.arange(N_CLASSES))

    def learn(self, X, y, X_seen, y_seen):
        self.model.partial_fit(X, y)

    def predict_proba(self, X):
        return full_columns(self.model.predict_proba(X), self.model.classes_)


def clipped(proba):
    proba = np.clip(proba, CLIP, 1.0)
    return proba / proba.sum(axis=1, keepdims=True)


def ece(proba, y, n_bins=10):
    confidence = proba.max(axis=1)
    correct = proba.argmax(axis=1) == y
    bins = np.minimum((confidence * n_bins).astype(int), n_bins - 1)
    total = 0.0
    for b in range(n_bins):
        inside = bins == b
        if inside.any():
            total += inside.mean() * abs(correct[inside].mean() - confidence[inside].mean())
    return total


# Confidence ranges of the reliability summary: coarser than the ECE's bins, so
# that each holds enough trials of a stream to tell over- from under-confidence.
RELIABILITY_EDGES = (0.0, 0.5, 0.7, 0.9, 1.0)


def reliability(proba, y, edges=RELIABILITY_EDGES):
    """Per confidence range [lo, hi): (trials, mean confidence, accuracy); the last range includes 1."""
    confidence = proba.max(axis=1)
    correct = proba.argmax(axis=1) == y
    ranges = np.clip(np.searchsorted(edges, confidence, side="right") - 1, 0, len(edges) - 2)
    out = []
    for r in range(len(edges) - 1):
        inside = ranges == r
        n = int(inside.sum())
        out.append(
            (n, float(confidence[inside].mean()) if n else np.nan, float(correct[inside].mean()) if n else np.nan)
        )
    return out


def summary(proba, y):
    return {
        "acc": float(np.mean(proba.argmax(axis=1) == y)),
        "ll": float(log_loss(y, clipped(proba), labels=np.arange(N_CLASSES))),
        "ece": ece(proba, y),
    }


def engine_decoders(settings):
    return {
        "mode": EngineUpdates("mode", settings),
        "once": EngineUpdates("once", settings),
        "resweep": EngineUpdates("resweep", settings),
        "refit": EngineRefit("refit", settings),
    }


def run_stream(decoders, X, y, calibration, blocks, n_classes=N_CLASSES):
    """Probabilities of every stream trial before it was learnt; seconds of each update; class-adding blocks."""
    for decoder in decoders.values():
        decoder.calibrate(X[calibration], y[calibration])
    n_stream = sum(block.size for block in blocks)
    proba = {name: np.zeros((n_stream, n_classes)) for name in decoders}
    seconds = {name: [] for name in decoders}
    seen_classes, adds = set(y[calibration].tolist()), []
    position = 0
    for block in blocks:
        X_b, y_b = X[block], y[block]
        for name, decoder in decoders.items():
            proba[name][position : position + block.size] = decoder.predict_proba(X_b)
        position += block.size
        seen = np.concatenate([calibration, *blocks])[: calibration.size + position]
        for name, decoder in decoders.items():
            start = time.perf_counter()
            decoder.learn(X_b, y_b, X[seen], y[seen])
            seconds[name].append(time.perf_counter() - start)
        adds.append(not set(y_b.tolist()) <= seen_classes)
        seen_classes.update(y_b.tolist())
    return proba, seconds, np.asarray(adds)


def run_seed(seed, args, X, y):
    """One shuffled stream: prints its table; returns the second-half log-loss of each decoder."""
    rs = np.random.RandomState(seed)
    arrivals = {6: 0.2, 7: 0.2, 8: 0.35, 9: 0.35}
    calibration, stream = stream_order(y, set(range(6)), arrivals, args.calibration, rs)
    blocks = [stream[i : i + args.block] for i in range(0, stream.size, args.block)]
    half = stream.size // 2
    y_stream = y[stream]
    # Stream positions of the trials whose class neither calibration nor an earlier block held.
    seen, unseen = set(y[calibration].tolist()), []
    for start, block in zip(range(0, stream.size, args.block), blocks, strict=True):
        unseen += [start + i for i, label in enumerate(y[block].tolist()) if label not in seen]
        seen.update(y[block].tolist())
    unseen = np.asarray(unseen, dtype=int)

    # An untimed pass with one sweep per fit and update compiles every shape the
    # stream meets, so that compilation is not counted as update time.
    run_stream(engine_decoders({**SETTINGS, "num_steps": 1}), X, y, calibration, blocks)
    decoders = engine_decoders(SETTINGS)
    for rule in ("mode", "once", "resweep"):
        decoders[f"{rule} S={args.draws}"] = PosteriorDraws(decoders[rule], args.draws)
    decoders.update({"logreg": LogRegRefit(), "sgd": SGDStream(seed)})
    proba, seconds, _ = run_stream(decoders, X, y, calibration, blocks)

    print(
        f"\nseed {seed}: {calibration.size} calibration trials of classes 0-5, then {stream.size} trials in"
        f" {len(blocks)} blocks of {args.block}; {unseen.size} trials predicted before their class was seen,"
        f" {np.sum(unseen >= half)} of them in the second half"
    )
    print(
        f"{'decoder':<12} | {'acc':>6} {'acc 2nd':>7} | {'logloss':>7} {'ll seen':>7} {'ll 2nd':>7} |"
        f" {'ECE':>6} {'ECE 2nd':>7} | {'update ms':>9}"
    )
    print("-" * 90)
    second_half = {}
    for name, decoder in decoders.items():
        whole = summary(proba[name], y_stream)
        known = summary(np.delete(proba[name], unseen, axis=0), np.delete(y_stream, unseen))
        second = summary(proba[name][half:], y_stream[half:])
        second_half[name] = second["ll"]
        ms = "(shared)" if isinstance(decoder, PosteriorDraws) else f"{1e3 * np.median(seconds[name]):.1f}"
        print(
            f"{name:<12} | {whole['acc']:>6.3f} {second['acc']:>7.3f} | {whole['ll']:>7.3f} {known['ll']:>7.3f}"
            f" {second['ll']:>7.3f} | {whole['ece']:>6.3f} {second['ece']:>7.3f} | {ms:>9}"
        )
    return second_half


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--block", type=int, default=60, help="trials per block (default: 60)")
    parser.add_argument("--calibration", type=int, default=180, help="calibration trials (default: 180)")
    parser.add_argument(
        "--seeds", type=int, nargs="+", default=[0, 1, 2], help="seeds of the trial order (default: 0 1 2)"
    )
    parser.add_argument("--draws", type=int, default=50, help="posterior draws of the S= rows (default: 50)")
    add_jax_options(parser)
    args = parser.parse_args()
    configure_jax(args)

    X, y = load_digits(return_X_y=True)
    X = StandardScaler().fit_transform(X)
    print(f"{describe(args)}; machine shared with other jobs: times are indicative")
    print(f"model settings: {defaults.FIT}; classes 6-7 join at 20% of the stream, 8-9 at 35%")
    results = [run_seed(seed, args, X, y) for seed in args.seeds]

    print("\nsecond-half log-loss, once against resweep (how much lower once is), and the refitted model:")
    for seed, ll in zip(args.seeds, results, strict=True):
        parts = []
        for label, suffix in (("means", ""), (f"{args.draws} draws", f" S={args.draws}")):
            once, resweep = ll["once" + suffix], ll["resweep" + suffix]
            parts.append(f"{label} {once:.3f} vs {resweep:.3f} ({100 * (1 - once / resweep):+.0f}%)")
        refit = ll["refit"]
        print(f"  seed {seed}: {'; '.join(parts)}; refit {refit:.3f}, once at the means {ll['once'] / refit:.2f}x")


if __name__ == "__main__":
    main()
