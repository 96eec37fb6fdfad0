"""Calibration over a whole session: how the adaptive model should predict, and whether its scale should move.

Each stream is decoded block by block, every block predicted first and then
learnt. The kelvra decoders start from one fit on the calibration trials
(defaults.FIT, w_scale "auto") and are updated by the mode:

- "scale follows": the record as the fit writes it, whose w_scale each update
  moves along the prequential evidence (the new trials' log-likelihood at the
  stored mode, before their labels count);
- "scale fixed": the same fit with w_scale_follows set to 0, so the scale the
  evidence chose on the calibration trials stays for the session (the
  behaviour before the scale followed).

Each is predicted at the posterior mean (S=1) and by averaging the softmax
over S posterior draws (S = 10, 50, 200 by default). Beside them, in the same
process on the same blocks: LogisticRegression(C=1, max_iter=1000) refitted on
every trial seen, and the adaptive LDA of bench_quality.py (a shrunk
covariance kept from calibration, class means that follow each trial).

Streams: those of bench_quality.py (the digits with late classes, calibration
45, blocks of 15; simulated 4-class sessions of 600 trials with and without
drift, seeds 0-2, calibration on the first run, blocks of 10) and the demo's
scenarios (digits, eeg, session; their own calibration and blocks). Log-loss
floors probabilities at 1e-15 on the benchmark streams and at the demo's 1e-7
on its scenarios, so each column matches the table it comes from. ECE: top
label, ten equal-width bins. The last columns give the final w_scale and the
median time of an update of the "scale follows" model (ms, for its block size).

    .venv/bin/python benchmarks/bench_calibration.py [--streams digits sim demo] [--draws 10 50 200]
"""

from __future__ import annotations

import argparse
import importlib
import statistics
import time
import warnings

import numpy as np
from bench_online import ece
from bench_quality import AdaptiveLDA, digits_stream, simulated_stream
from jax_options import add_jax_options, configure_jax, describe
from sklearn.linear_model import LogisticRegression
from sklearn.metrics import log_loss
from threadpoolctl import threadpool_limits

from kelvra_bci.models.kelvra_softmax import defaults, engine
from kelvra_bci.record import KelvraModel

SETTINGS = {key: value for key, value in defaults.FIT.items() if key != "tol"}
TOL = defaults.FIT["tol"]


def padded(p, classes, n_classes):
    out = np.zeros((p.shape[0], n_classes))
    out[:, np.asarray(classes)] = p
    return out


def fixed_scale(model):
    """The same record with its scale held: what every update by the mode did before the scale followed."""
    params = dict(model.params)
    params["w_scale_follows"] = np.array(0, dtype=np.int64)
    return KelvraModel(model_type=model.model_type, params=params)


def play(X, y, calibration, blocks, n_classes, draws):
    """Probabilities of every stream trial before its label was learnt, per decoder; final scales; update ms."""
    Xc, yc = X[calibration], y[calibration]
    fitted = engine.fit(Xc, yc, int(yc.max()) + 1, 0, rng_seed=0, **SETTINGS, tol=TOL)
    models = {"scale follows": fitted, "scale fixed": fixed_scale(fitted)}
    lda = AdaptiveLDA(n_classes)
    lda.calibrate(Xc, yc)
    seen_X, seen_y = [Xc], [yc]
    logreg = LogisticRegression(max_iter=1000).fit(Xc, yc)
    out, seconds = {}, []
    for b, block in enumerate(blocks):
        Xb, yb = X[block], y[block]
        for name, model in models.items():
            for s in (1, *draws):
                p = np.asarray(engine.predict_proba(model, Xb, s, b), dtype=np.float64)
                out.setdefault(f"kelvra, {name}, S={s}", []).append(padded(p, np.arange(p.shape[1]), n_classes))
        out.setdefault("LogisticRegression refit", []).append(
            padded(logreg.predict_proba(Xb), logreg.classes_, n_classes)
        )
        out.setdefault("adaptive LDA", []).append(lda.predict_proba(Xb))
        for name in models:
            start = time.perf_counter()
            models[name] = engine.update(models[name], Xb, yb, rule=defaults.UPDATE_RULE, tol=TOL)
            if name == "scale follows":
                seconds.append(time.perf_counter() - start)
        lda.learn(Xb, yb, None, None)
        seen_X.append(Xb)
        seen_y.append(yb)
        logreg = LogisticRegression(max_iter=1000).fit(np.concatenate(seen_X), np.concatenate(seen_y))
    scales = {name: float(model.params["w_scale"]) for name, model in models.items()}
    return {name: np.concatenate(p) for name, p in out.items()}, scales, 1e3 * statistics.median(seconds)


def scores(p, y, n_classes, floor):
    clipped = np.maximum(p, floor)
    clipped /= clipped.sum(axis=1, keepdims=True)
    return (
        float(np.mean(p.argmax(axis=1) == y)),
        float(log_loss(y, clipped, labels=np.arange(n_classes))),
        ece(p, y),
    )


def table(title, runs, floor, draws):
    """Means over the runs (seeds) of one stream."""
    print(f"\n{title}")
    print(f"{'decoder':<34} | {'acc':>6} {'logloss':>8} {'ECE':>6}")
    print("-" * 60)
    names = runs[0][0].keys()
    for name in names:
        m = np.mean([scores(proba[name], y, n_classes, floor) for proba, y, n_classes, _, _ in runs], axis=0)
        print(f"{name:<34} | {m[0]:>6.3f} {m[1]:>8.3f} {m[2]:>6.3f}")
    follows = np.mean([scales["scale follows"] for *_, scales, _ in runs])
    fixed = np.mean([scales["scale fixed"] for *_, scales, _ in runs])
    ms = np.mean([run[-1] for run in runs])
    print(f"final w_scale: follows {follows:.2f}, fixed {fixed:.2f}; update of a block {ms:.1f} ms (follows)")


def run_streams(make, seeds, draws):
    runs = []
    for seed in seeds:
        X, y, calibration, blocks, n_classes = make(seed)
        proba, scales, ms = play(X, y, calibration, blocks, n_classes, draws)
        y_stream = np.concatenate([y[block] for block in blocks])
        runs.append((proba, y_stream, n_classes, scales, ms))
    return runs


def demo_stream(scenario):
    from kelvra_bci.demo import SCENARIOS

    chosen = SCENARIOS[scenario]
    module = importlib.import_module(f"kelvra_bci.demo.{scenario}")

    def make(seed):
        session = module.session(
            seed=seed,
            calibration_size=chosen.calibration_size,
            calibration_classes=chosen.calibration_classes,
            max_trials=None,
        )
        (Xc, yc), (Xs, ys) = session.calibration, session.stream
        X, y = np.concatenate([Xc, Xs]), np.concatenate([yc, ys])
        calibration = np.arange(len(yc))
        start = len(yc)
        blocks = [np.arange(i, min(i + chosen.block_size, len(y))) for i in range(start, len(y), chosen.block_size)]
        return X, y, calibration, blocks, session.n_classes

    return make


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--streams", nargs="+", choices=("digits", "sim", "demo"), default=["digits", "sim", "demo"])
    parser.add_argument("--scenarios", nargs="+", default=["digits", "eeg", "session"])
    parser.add_argument("--draws", type=int, nargs="+", default=[10, 50, 200])
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2], help="simulated sessions (default: 0 1 2)")
    parser.add_argument("--blas-threads", type=int, default=1)
    add_jax_options(parser)
    args = parser.parse_args()
    configure_jax(args)
    warnings.filterwarnings("ignore", category=FutureWarning, module="sklearn")
    threadpool_limits(args.blas_threads)
    print(f"{describe(args)} BLAS threads={args.blas_threads}; machine shared: times are indicative")
    # The settings bench_quality.py's streams use.
    quality = argparse.Namespace(
        digits_calibration=45, digits_block=15, sim_trials=600, sim_classes=4, sim_block=10, drift=1.0
    )
    if "digits" in args.streams:
        runs = run_streams(lambda seed: digits_stream(seed, quality), [0], args.draws)
        table("bench_quality digits stream (calibration 45, blocks of 15)", runs, 1e-15, args.draws)
    if "sim" in args.streams:
        for drift in (0.0, 1.0):
            runs = run_streams(lambda seed, d=drift: simulated_stream(seed, quality, d), args.seeds, args.draws)
            seeds = ", ".join(map(str, args.seeds))
            table(f"bench_quality simulated session, drift {drift:g} (seeds {seeds})", runs, 1e-15, args.draws)
    if "demo" in args.streams:
        for scenario in args.scenarios:
            runs = run_streams(demo_stream(scenario), [0], args.draws)
            table(f"demo scenario {scenario} (seed 0)", runs, 1e-7, args.draws)


if __name__ == "__main__":
    main()
