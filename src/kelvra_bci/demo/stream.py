"""The adaptive session shared by the demo's scenarios: stream, scores, figure and report.

A scenario hands over a ``Session``: a calibration block, which may show only
some of the classes, and a stream of trials ordered in time. ``play``
calibrates on the first block, then decodes the stream block by block: each
block is predicted first and its labels are folded in afterwards, so classes
that were not calibrated join the model as soon as they appear, as a new mental
command would in a real session. Two adaptive models see the stream, one whose
updates find the posterior mode given every trial so far (the decoder of
KelvraSoftmaxClassifier with its defaults: updates by the mode, the prior's
scale following the evidence, predictions by the estimator's choice between
the posterior mean and the moderated prediction unless ``draws`` asks for
draws) and one whose
Polya-Gamma updates count each new trial once (on the modules' path, one whose
updates resweep); they are compared with the calibration model left static and with
scikit-learn's LogisticRegression refitted on every trial seen so far.
"""

from __future__ import annotations

import csv
import os
import sys
import time
from dataclasses import dataclass, field

import numpy as np

from ..models.kelvra_softmax import defaults, prequential

# Which compiled code runs the Bayesian models: the engine, or the learning and
# inference modules (whose updates always resweep), kept for comparison.
PATHS = ("engine", "modules")

# Probabilities are floored here before the log so that a class a model
# cannot predict (probability 0) costs a finite -log(1e-7) ~ 16 nats.
LOG_LOSS_FLOOR = 1e-7
ECE_BINS = 10
# Reliability bins with fewer trials are left out of the figure (not of the ECE).
MIN_BIN_TRIALS = 5

_LABELS = {
    "mode": "kelvra adaptive, estimator defaults",
    "once": "kelvra adaptive, updates count once",
    "resweep": "kelvra adaptive, updates resweep",
    "static": "kelvra static (calibration only)",
    "logreg": "LogisticRegression (refit on all seen)",
}
_COLORS = {
    "mode": "tab:blue",
    "once": "tab:red",
    "resweep": "tab:purple",
    "static": "tab:orange",
    "logreg": "tab:green",
}


class SettingError(ValueError):
    """A demo setting that the scenario cannot run with; the message says which, in one line."""


@dataclass
class Session:
    """What a scenario hands to ``play``.

    The calibration labels are 0..``calibration_classes``-1; the stream may
    hold classes up to ``n_classes``-1. ``first_seen`` maps each class that is
    new in the stream to the stream position of its first trial; ``names``
    labels the classes in the figure.
    """

    calibration: tuple[np.ndarray, np.ndarray]
    stream: tuple[np.ndarray, np.ndarray]
    n_classes: int
    calibration_classes: int
    first_seen: dict[int, int]
    description: str
    title: str
    names: tuple[str, ...] = ()


@dataclass
class _Track:
    """Everything one model produced on the stream."""

    name: str
    proba: list = field(default_factory=list)
    block_acc: list = field(default_factory=list)
    block_loss: list = field(default_factory=list)
    predict_s: list = field(default_factory=list)
    update_s: list = field(default_factory=list)


def play(session: Session, out: str, *, seed: int, block_size: int, draws: int, progress: bool, path: str) -> dict:
    """Runs the session, prints a summary and writes the figure, metrics and final model to ``out``.

    Returns, per model, its accuracy, log-loss and ECE over the stream, and its
    median and slowest update and median prediction time per block, in
    milliseconds.
    """
    from sklearn.linear_model import LogisticRegression
    from tqdm import tqdm

    if path not in PATHS:
        raise SettingError(f"path must be one of {', '.join(PATHS)}, got {path!r}")
    fit, update, predict_proba = _functions(path)
    os.makedirs(out, exist_ok=True)
    (Xc, yc), (Xs, ys) = session.calibration, session.stream
    n_classes, calibration_classes = session.n_classes, session.calibration_classes
    blocks = [slice(i, min(i + block_size, len(ys))) for i in range(0, len(ys), block_size)]

    new = range(calibration_classes, n_classes)
    joining = f", classes {new[0]}-{new[-1]}" if len(new) > 1 else f", class {new[0]}" if new else ""
    print(
        f"{session.description}\n"
        f"Calibration: {len(yc)} trials of classes 0-{calibration_classes - 1}; then {len(ys)} trials "
        f"in {len(blocks)} blocks of {block_size}{joining}{' introduced during the session' if new else ''}. "
        f"Bayesian models run on the {path} path."
    )
    static, fit_s = _timed(fit, Xc, yc, calibration_classes, 0, seed)
    print(f"Calibration fit: {fit_s:.2f} s.")

    rules = ("mode", "once") if path == "engine" else ("resweep",)
    # The estimator's default decoder predicts as the estimator does: by the
    # prequential choice, scored on each block before its labels are learnt.
    prediction = defaults.PREDICTION if path == "engine" and draws == defaults.DRAWS else "mean"
    if path == "engine":
        # As the estimator does for an online session: no class joining the
        # stream waits for a compile in the loop.
        _, ahead_s = _timed(
            _compile_ahead, Xc.shape[1], calibration_classes, n_classes, block_size, draws, rules, prediction != "mean"
        )
        print(f"Compiled ahead for {calibration_classes} to {n_classes} classes: {ahead_s:.2f} s.")
    adaptive = dict.fromkeys(rules, static)
    totals, candidates, picks = None, None, []
    seen_X, seen_y = [Xc], [yc]
    tracks = {name: _Track(name) for name in (*rules, "static", "logreg")}
    logreg = LogisticRegression(max_iter=1000).fit(Xc, yc)
    bar = tqdm(blocks, desc="session", unit="block", file=sys.stderr, disable=not progress)
    for b, block in enumerate(bar):
        Xb, yb = Xs[block], ys[block]
        key = seed * 100_003 + b
        for name, model in (*adaptive.items(), ("static", static)):
            p, seconds = _timed(predict_proba, model, Xb, draws, key)
            if name == "mode" and prediction != "mean":
                moderated, more = _timed(prequential.moderated_proba, model, Xb)
                seconds += more
                candidates = {"mean": p, "moderated": moderated}
                picks.append(prequential.chosen(totals) if prediction == "auto" else prediction)
                p = candidates[picks[-1]]
            tracks[name].predict_s.append(seconds)
            tracks[name].proba.append(_pad(p, np.arange(p.shape[1]), n_classes))
        t = time.perf_counter()
        p = logreg.predict_proba(Xb)
        tracks["logreg"].predict_s.append(time.perf_counter() - t)
        tracks["logreg"].proba.append(_pad(p, logreg.classes_, n_classes))

        # The labels of the block arrive: score the candidates, then adapt.
        if candidates is not None:
            scores = prequential.block_scores(candidates, yb)
            totals = {k: (totals or {}).get(k, 0.0) + v for k, v in scores.items()}
        for rule in rules:
            adaptive[rule], seconds = _timed(update, adaptive[rule], Xb, yb, rule)
            tracks[rule].update_s.append(seconds)
        seen_X.append(Xb)
        seen_y.append(yb)
        t = time.perf_counter()
        logreg = LogisticRegression(max_iter=1000).fit(np.concatenate(seen_X), np.concatenate(seen_y))
        tracks["logreg"].update_s.append(time.perf_counter() - t)

        for track in tracks.values():
            track.block_acc.append(_accuracy(track.proba[-1], yb))
            track.block_loss.append(_log_loss(track.proba[-1], yb, n_classes))
        first = tracks[rules[0]]
        bar.set_postfix(classes=int(adaptive[rules[0]].params["n_classes"]), acc=f"{first.block_acc[-1]:.2f}")
    bar.close()

    summary = _summarise(tracks, ys)
    _print_summary(summary, calibration_classes, block_size, draws, path, picks)
    ends = np.array([blk.stop for blk in blocks])
    fig_path = os.path.join(out, "demo.png")
    _plot(fig_path, tracks, ys, ends, session, block_size, draws)
    model_path = os.path.join(out, "model.npz")
    adaptive[rules[0]].save(model_path)
    _write_metrics(os.path.join(out, "metrics.csv"), tracks, ends)
    print(f"Wrote {fig_path}, {model_path} (the {rules[0]} model) and {os.path.join(out, 'metrics.csv')}.")
    return summary


def _compile_ahead(n_features: int, fewest: int, most: int, block_size: int, draws: int, rules, moderated) -> None:
    from ..models.kelvra_softmax import engine

    for rule in rules:
        engine.precompile(
            n_features,
            most,
            update_trials=block_size,
            num_posterior_samples=draws,
            rule=rule,
            tol=defaults.FIT["tol"],
            memory=defaults.FIT["memory"],
            min_classes=fewest,
            moderated=moderated and rule == "mode",
        )


def _functions(path: str):
    """fit(X, y, n_classes, label_base, seed), update(model, X, y, rule) and predict_proba of a path."""
    settings = {key: value for key, value in defaults.FIT.items() if key != "tol"}
    tol = defaults.FIT["tol"]
    if path == "engine":
        from ..models.kelvra_softmax import engine

        def fit(X, y, n_classes, label_base, seed):
            return engine.fit(X, y, n_classes, label_base, rng_seed=seed, **settings, tol=tol)

        def update(model, X, y, rule):
            return engine.update(model, X, y, rule=rule, tol=tol)

        return fit, update, engine.predict_proba

    from ..models.kelvra_softmax import inference, learning

    # The modules fit by sweeps only, and have no evidence to set the prior's scale: they take 1.
    settings = {key: value for key, value in settings.items() if key not in ("method", "memory")}
    if settings["w_scale"] == "auto":
        settings["w_scale"] = 1.0

    def fit(X, y, n_classes, label_base, seed):
        return learning.kelvra_softmax_fit(X, y, n_classes, label_base, rng_seed=seed, **settings)

    def update(model, X, y, rule):
        return learning.kelvra_softmax_update(model, X, y)  # always resweeps

    return fit, update, inference.kelvra_softmax_predict_proba


def _timed(function, *args):
    """The result of a call and its wall time, including JAX's asynchronous work."""
    import jax

    t = time.perf_counter()
    result = function(*args)
    jax.block_until_ready(getattr(result, "params", result))
    return result, time.perf_counter() - t


def _pad(p, classes, n_classes: int) -> np.ndarray:
    """Probabilities over all classes; classes the model does not know get 0."""
    p = np.asarray(p, dtype=np.float64)
    full = np.zeros((p.shape[0], n_classes))
    full[:, np.asarray(classes)] = p
    return full


def _accuracy(p, y) -> float:
    from sklearn.metrics import accuracy_score

    return float(accuracy_score(y, np.argmax(p, axis=1)))


def _log_loss(p, y, n_classes: int) -> float:
    from sklearn.metrics import log_loss

    floored = np.maximum(p, LOG_LOSS_FLOOR)
    return float(log_loss(y, floored / floored.sum(axis=1, keepdims=True), labels=np.arange(n_classes)))


def _reliability(p, y):
    """Top-label reliability: per non-empty confidence bin, (mean confidence, accuracy, trials)."""
    from sklearn.calibration import calibration_curve

    conf = np.clip(p.max(axis=1), 0.0, 1.0)
    hit = (np.argmax(p, axis=1) == y).astype(int)
    accuracy, confidence = calibration_curve(hit, conf, n_bins=ECE_BINS, pos_label=1)
    # The same uniform bins as calibration_curve, for the trial counts it does not return.
    counts = np.bincount(np.searchsorted(np.linspace(0, 1, ECE_BINS + 1)[1:-1], conf), minlength=ECE_BINS)
    return np.column_stack([confidence, accuracy, counts[counts > 0]])


def _ece(p, y) -> float:
    """Expected calibration error: the trial-weighted gap between confidence and accuracy over the bins."""
    rel = _reliability(p, y)
    return float(np.sum(rel[:, 2] * np.abs(rel[:, 0] - rel[:, 1])) / len(y))


def _summarise(tracks, ys):
    summary = {}
    for name, track in tracks.items():
        p = np.concatenate(track.proba)
        summary[name] = dict(
            accuracy=_accuracy(p, ys),
            log_loss=_log_loss(p, ys, p.shape[1]),
            ece=_ece(p, ys),
            update_ms=1e3 * float(np.median(track.update_s)) if track.update_s else None,
            update_max_ms=1e3 * float(np.max(track.update_s)) if track.update_s else None,
            predict_ms=1e3 * float(np.median(track.predict_s)),
        )
    return summary


def _predictions(draws: int) -> str:
    """How the Bayesian models predict, in words."""
    if draws == 1:
        return "at the posterior mean (one draw; the default decoder chooses as the estimator does)"
    return f"by averaging {draws} posterior draws (the estimator's default: {defaults.DRAWS})"


def _print_summary(summary, calibration_classes, block_size, draws, path, picks):
    head = f"{'model':<40}{'accuracy':>9}{'log-loss':>10}{'ECE':>7}{'update ms':>11}{'(max)':>9}{'predict ms':>12}"
    print()
    print(head)
    print("-" * len(head))
    for name, s in summary.items():
        upd = ("-", "-") if s["update_ms"] is None else (f"{s['update_ms']:.1f}", f"{s['update_max_ms']:.0f}")
        print(
            f"{_LABELS[name]:<40}{s['accuracy']:>9.3f}{s['log_loss']:>10.3f}{s['ece']:>7.3f}"
            f"{upd[0]:>11}{upd[1]:>9}{s['predict_ms']:>12.1f}"
        )
    print(
        f"\nScores over the whole stream, each block predicted before its labels were used.\n"
        f"The static model knows classes 0-{calibration_classes - 1} only: its probability for any\n"
        f"other class is set to 0 (padding), as is an adaptive model's for a class not yet seen.\n"
        f"Log-loss floors probabilities at {LOG_LOSS_FLOOR:g}; ECE uses {ECE_BINS} confidence bins.\n"
        f"Times are wall-clock medians per block of {block_size} trials, with the slowest in brackets\n"
        f"(compilation: the first call, and calls after the class count changes).\n"
        f"Kelvra models predict {_predictions(draws)}; LogisticRegression's update is its refit."
    )
    if path == "engine" and draws == defaults.DRAWS:
        print(
            f"'{_LABELS['mode']}' is KelvraSoftmaxClassifier() with its defaults: fit by the mode, updates by\n"
            f"the mode with the prior's scale following the evidence, {_chosen_predictions(picks)}."
        )


def _chosen_predictions(picks) -> str:
    """Which predictions the estimator's default decoder made, in words."""
    if not picks:
        return "predictions at the posterior mean"
    moderated = picks.count("moderated")
    return (
        f"predictions by the estimator's choice\n(prediction='{defaults.PREDICTION}'): moderated for {moderated} "
        f"of {len(picks)} blocks, at the posterior mean for the others; '{picks[-1]}' at the end"
    )


def _plot(path, tracks, ys, ends, session, block_size, draws):
    from matplotlib.figure import Figure

    fig = Figure(figsize=(15, 4.6), layout="constrained")
    ax_acc, ax_loss, ax_rel = fig.subplots(1, 3)
    for name, track in tracks.items():
        style = dict(color=_COLORS[name], label=_LABELS[name])
        ax_acc.plot(ends, track.block_acc, "o-", ms=3, **style)
        ax_loss.plot(ends, track.block_loss, "o-", ms=3, **style)
        rel = _reliability(np.concatenate(track.proba), ys)
        rel = rel[rel[:, 2] >= MIN_BIN_TRIALS]
        ax_rel.plot(rel[:, 0], rel[:, 1], "-", **style)
        ax_rel.scatter(rel[:, 0], rel[:, 1], s=8 * np.sqrt(rel[:, 2]), color=_COLORS[name], alpha=0.8)
    for ax in (ax_acc, ax_loss):
        for c, pos in session.first_seen.items():
            ax.axvline(pos, color="0.6", ls=":", lw=1)
            ax.text(
                pos,
                1.0,
                f" +{session.names[c] if session.names else c}",
                transform=ax.get_xaxis_transform(),
                va="top",
                fontsize=8,
                color="0.4",
            )
        ax.set_xlabel("trial in session stream (end of block)")
        ax.grid(alpha=0.3)
    ax_acc.set_ylabel(f"accuracy per block of {block_size}")
    ax_acc.set_ylim(0, 1.05)
    ax_acc.set_title("Accuracy (dotted: a new class appears)")
    ax_acc.legend(loc="lower right", fontsize=8)
    ax_loss.set_ylabel("log-loss per block (nats)")
    ax_loss.set_yscale("log")
    ax_loss.set_title("Log-loss (lower is better)")
    ax_rel.plot([0, 1], [0, 1], color="0.5", ls="--", lw=1, label="perfect calibration")
    ax_rel.set_xlim(0, 1.02)
    ax_rel.set_ylim(0, 1.02)
    ax_rel.set_xlabel("confidence (top predicted probability)")
    ax_rel.set_ylabel("accuracy")
    ax_rel.set_title("Reliability, whole stream (marker area ~ trials)")
    ax_rel.legend(loc="upper left", fontsize=8)
    ax_rel.grid(alpha=0.3)
    fig.suptitle(
        f"{session.title}: predict each block, then learn its labels; "
        + ("kelvra at the mean or as the estimator chooses" if draws == 1 else f"kelvra averages {draws} draws")
    )
    fig.savefig(path, dpi=110)


def _write_metrics(path, tracks, ends):
    with open(path, "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(["trials_seen", *(f"{n}_{m}" for n in tracks for m in ("accuracy", "log_loss"))])
        for i, end in enumerate(ends):
            w.writerow([int(end), *(f"{v:.6g}" for t in tracks.values() for v in (t.block_acc[i], t.block_loss[i]))])
