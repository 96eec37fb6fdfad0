"""Calibration over a whole session: how the adaptive model should predict, and whether its scale should move.

Each stream is decoded block by block, every block predicted first and then
learnt. The kelvra decoders start from one fit on the calibration trials
(defaults.FIT, w_scale "auto") and are updated by the mode:

- "follows": the record as the fit writes it, whose w_scale each update
  moves along the prequential evidence (the new trials' log-likelihood at the
  stored mode, before their labels count); the estimator's default;
- "fixed": the same fit with w_scale_follows set to 0, so the scale the
  evidence chose on the calibration trials stays for the session (the
  behaviour before the scale followed).

Both are predicted at the posterior mean and by averaging the softmax over S
posterior draws (S = 10, 50, 200 by default; --draws with no count skips
them). Other candidates (--candidates), each a variant of "follows":

- "forget g": updates with forgetting=g (each new trial multiplies the weight
  of every earlier one by g);
- "cap c": the calibration's scale held to at most c before the session (a
  prior sized for a small calibration, the scale following from there);
- "moderated": probabilities that carry each row's stored covariance, through
  the mean-field approximation of the Gaussian-softmax integral (each pair of
  logits compared by their probit-scaled difference); "joint moderated" the
  same with the covariance of the logits from the joint Laplace posterior of
  all rows (prior, anchor and remembered trials at the stored mode), which
  counts the correlation of the rows that the per-row covariances ignore;
- "prequential choice": each block predicted at the mean or by "joint
  moderated", whichever gave the blocks before it the higher log-likelihood
  (scored before their labels were learnt; the mean on a tie), with the
  engine's predict_proba_moderated: the estimator's prediction="auto";
- "by trial": every block learnt one trial at a time, as a live decoder does,
  so the scale takes a step per trial.

Beside them, in the same process on the same blocks:
LogisticRegression(C=1, max_iter=1000) refitted on every trial seen, and the
adaptive LDA of bench_quality.py (a shrunk covariance kept from calibration,
class means that follow each trial).

Streams: those of bench_quality.py (the digits with late classes, calibration
45, blocks of 15; simulated 4-class sessions of 600 trials with and without
drift, seeds 0-2, calibration on the first run, blocks of 10) and the demo's
scenarios (digits, eeg, session; their own calibration and blocks; seeds
--demo-seeds, the eeg's 110 stream trials make its ECE noisy by 0.03-0.05, so
take the mean of seeds 0-5). Log-loss floors probabilities at 1e-15 on the
benchmark streams and at the demo's 1e-7 on its scenarios, so each column
matches the table it comes from. ECE: top label, ten equal-width bins. Every
row is the mean over the seeds; the last columns give a candidate's final
w_scale and the median time of one of its updates (ms, for its block size).

    .venv/bin/python benchmarks/bench_calibration.py [--streams digits sim demo] [--draws 10 50 200]
        [--candidates follows fixed ...] [--demo-seeds 0 1 2 3 4 5]
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

from kelvra_bci.models.kelvra_softmax import defaults, engine, prequential
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


def capped_scale(model, cap):
    """The same record with its scale no weaker than `cap` (a prior sized for a small calibration)."""
    params = dict(model.params)
    params["w_scale"] = np.array(min(float(params["w_scale"]), cap), dtype=np.float64)
    return KelvraModel(model_type=model.model_type, params=params)


def moderated_proba(model, X):
    """Class probabilities that carry each row's posterior variance (mean-field Gaussian-softmax integral).

    The logit of row j has mean x'm_j and variance s_j = |L_j'x|^2 under the
    stored per-row covariances (the reference's logit is 0 and certain). Each
    pair of classes is compared by the probit-scaled difference of their
    logits, (a_k - a_i) / sqrt(1 + pi/8 (s_k + s_i)), and the pairwise terms
    are combined as in the softmax, then renormalised.
    """
    params = model.params
    n_classes = int(params["n_classes"])
    rows = np.asarray(params["non_ref_classes"], dtype=np.int64)
    beta = np.asarray(params["beta_mean"], dtype=np.float64)
    chol = np.asarray(params["beta_cov_chol"], dtype=np.float64)
    X_aug = np.hstack([np.asarray(X, dtype=np.float64), np.ones((X.shape[0], 1))])
    mean = np.zeros((X.shape[0], n_classes))
    var = np.zeros((X.shape[0], n_classes))
    mean[:, rows] = X_aug @ beta.T
    var[:, rows] = np.sum(np.einsum("nd,jde->nje", X_aug, chol) ** 2, axis=2)
    gap = mean[:, :, None] - mean[:, None, :]
    scaled = gap / np.sqrt(1.0 + np.pi / 8.0 * (var[:, :, None] + var[:, None, :]))
    p = 1.0 / np.sum(np.exp(np.minimum(-scaled, 700.0)), axis=2)
    return p / p.sum(axis=1, keepdims=True)


# Candidate decoders: how the calibration record is prepared, the update's
# keyword arguments, and how it predicts ("mean", "moderated" or a draw count).
CANDIDATES = {
    "follows": dict(prepare=None, update={}, predict="mean"),
    "fixed": dict(prepare=fixed_scale, update={}, predict="mean"),
    "follows, moderated": dict(prepare=None, update={}, predict="moderated"),
    "follows, forget .99": dict(prepare=None, update={"forgetting": 0.99}, predict="mean"),
    "follows, forget .995": dict(prepare=None, update={"forgetting": 0.995}, predict="mean"),
    "follows, forget .998": dict(prepare=None, update={"forgetting": 0.998}, predict="mean"),
    "follows, forget .995, moderated": dict(prepare=None, update={"forgetting": 0.995}, predict="moderated"),
    "follows, cap 3": dict(prepare=lambda m: capped_scale(m, 3.0), update={}, predict="mean"),
    "follows, forget .99, moderated": dict(prepare=None, update={"forgetting": 0.99}, predict="moderated"),
    "follows, cap 3, moderated": dict(prepare=lambda m: capped_scale(m, 3.0), update={}, predict="moderated"),
    "follows, cap 3, forget .99, moderated": dict(
        prepare=lambda m: capped_scale(m, 3.0), update={"forgetting": 0.99}, predict="moderated"
    ),
    "follows, cap 1, moderated": dict(prepare=lambda m: capped_scale(m, 1.0), update={}, predict="moderated"),
    "follows, joint moderated": dict(prepare=None, update={}, predict="joint"),
    "follows, prequential choice": dict(prepare=None, update={}, predict="choose"),
    "follows, cap 3, joint moderated": dict(prepare=lambda m: capped_scale(m, 3.0), update={}, predict="joint"),
    # Each block learnt one trial at a time, as a live decoder learns: the scale may take a step per trial.
    "follows, by trial": dict(prepare=None, update={}, predict="mean", by_trial=True),
    "follows, by trial, forget .998": dict(prepare=None, update={"forgetting": 0.998}, predict="mean", by_trial=True),
}


def play(X, y, calibration, blocks, n_classes, draws, candidates):
    """Probabilities of every stream trial before its label was learnt, per decoder; final scales; update ms."""
    Xc, yc = X[calibration], y[calibration]
    fitted = engine.fit(Xc, yc, int(yc.max()) + 1, 0, rng_seed=0, **SETTINGS, tol=TOL)
    models = {}
    for name in candidates:
        prepare = CANDIDATES[name]["prepare"]
        models[name] = fitted if prepare is None else prepare(fitted)
    lda = AdaptiveLDA(n_classes)
    lda.calibrate(Xc, yc)
    seen_X, seen_y = [Xc], [yc]
    logreg = LogisticRegression(max_iter=1000).fit(Xc, yc)
    out, seconds, chosen = {}, {name: [] for name in models}, {}
    for b, block in enumerate(blocks):
        Xb, yb = X[block], y[block]
        for name, model in models.items():
            how = CANDIDATES[name]["predict"]
            ways = (how, *draws) if name in ("follows", "fixed") else (how,)
            for way in ways:
                if way == "moderated":
                    p = moderated_proba(model, Xb)
                elif way == "joint":
                    p = prequential.moderated_proba(model, Xb)
                elif way == "choose":
                    # As the estimator's prediction="auto": whichever of the two predicted the
                    # blocks so far better, by their log-likelihood, the moderated one compiled.
                    both = {
                        "mean": np.asarray(engine.predict_proba(model, Xb, 1, b), dtype=np.float64),
                        "moderated": prequential.moderated_proba(model, Xb),
                    }
                    p = both[prequential.chosen(chosen.get(name))]
                    scores = prequential.block_scores(both, yb)
                    totals = chosen.setdefault(name, dict.fromkeys(scores, 0.0))
                    for k, value in scores.items():
                        totals[k] += value
                else:
                    s = 1 if way == "mean" else way
                    p = np.asarray(engine.predict_proba(model, Xb, s, b), dtype=np.float64)
                label = f"kelvra, {name}" + (f", S={way}" if isinstance(way, int) else "")
                out.setdefault(label, []).append(padded(p, np.arange(p.shape[1]), n_classes))
        out.setdefault("LogisticRegression refit", []).append(
            padded(logreg.predict_proba(Xb), logreg.classes_, n_classes)
        )
        out.setdefault("adaptive LDA", []).append(lda.predict_proba(Xb))
        for name in models:
            start = time.perf_counter()
            pieces = [slice(i, i + 1) for i in range(len(yb))] if CANDIDATES[name].get("by_trial") else [slice(None)]
            for piece in pieces:
                models[name] = engine.update(
                    models[name], Xb[piece], yb[piece], rule=defaults.UPDATE_RULE, tol=TOL, **CANDIDATES[name]["update"]
                )
            seconds[name].append(time.perf_counter() - start)
        lda.learn(Xb, yb, None, None)
        seen_X.append(Xb)
        seen_y.append(yb)
        logreg = LogisticRegression(max_iter=1000).fit(np.concatenate(seen_X), np.concatenate(seen_y))
    scales = {name: float(model.params["w_scale"]) for name, model in models.items()}
    ms = {name: 1e3 * statistics.median(s) for name, s in seconds.items()}
    return {name: np.concatenate(p) for name, p in out.items()}, scales, ms


def scores(p, y, n_classes, floor):
    clipped = np.maximum(p, floor)
    clipped /= clipped.sum(axis=1, keepdims=True)
    return (
        float(np.mean(p.argmax(axis=1) == y)),
        float(log_loss(y, clipped, labels=np.arange(n_classes))),
        ece(p, y),
    )


def table(title, runs, floor):
    """Means over the runs (seeds) of one stream."""
    print(f"\n{title}")
    print(f"{'decoder':<40} | {'acc':>6} {'logloss':>8} {'ECE':>6} | {'w_scale':>7} {'upd ms':>6}")
    print("-" * 80)
    names = runs[0][0].keys()
    for name in names:
        m = np.mean([scores(proba[name], y, n_classes, floor) for proba, y, n_classes, _, _ in runs], axis=0)
        candidate = name.removeprefix("kelvra, ")
        extra = ""
        if name.startswith("kelvra") and candidate in runs[0][3]:
            scale = np.mean([scales[candidate] for *_, scales, _ in runs])
            ms = np.mean([run[-1][candidate] for run in runs])
            extra = f" | {scale:>7.2f} {ms:>6.1f}"
        print(f"{name:<40} | {m[0]:>6.3f} {m[1]:>8.3f} {m[2]:>6.3f}{extra}")


def run_streams(make, seeds, draws, candidates):
    runs = []
    for seed in seeds:
        X, y, calibration, blocks, n_classes = make(seed)
        proba, scales, ms = play(X, y, calibration, blocks, n_classes, draws, candidates)
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
    parser.add_argument("--draws", type=int, nargs="*", default=[10, 50, 200])
    parser.add_argument("--candidates", nargs="+", choices=tuple(CANDIDATES), default=list(CANDIDATES))
    parser.add_argument("--demo-seeds", type=int, nargs="+", default=[0], help="demo scenarios (default: 0)")
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
        runs = run_streams(lambda seed: digits_stream(seed, quality), [0], args.draws, args.candidates)
        table("bench_quality digits stream (calibration 45, blocks of 15)", runs, 1e-15)
    if "sim" in args.streams:
        for drift in (0.0, 1.0):
            runs = run_streams(
                lambda seed, d=drift: simulated_stream(seed, quality, d), args.seeds, args.draws, args.candidates
            )
            seeds = ", ".join(map(str, args.seeds))
            table(f"bench_quality simulated session, drift {drift:g} (seeds {seeds})", runs, 1e-15)
    if "demo" in args.streams:
        for scenario in args.scenarios:
            runs = run_streams(demo_stream(scenario), args.demo_seeds, args.draws, args.candidates)
            seeds = ", ".join(map(str, args.demo_seeds))
            table(f"demo scenario {scenario} (seeds {seeds})", runs, 1e-7)


if __name__ == "__main__":
    main()
