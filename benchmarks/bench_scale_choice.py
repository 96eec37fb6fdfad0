"""Whether a change to the engine moves the scale the evidence chooses, case by case, against a saved run.

The default fit (w_scale "auto") on every training split of bench_scale_rule.py's
cases and on six bench_scale.py shapes: the chosen w_scale, the held-out
log-loss and the Newton steps of each fit. `--save FILE` writes them;
`--compare FILE` runs again and prints, against the saved run, the total
Newton steps, how far the scales moved (largest, mean, and how many by more
than 5%), the change of the held-out log-loss, and the cases that moved most.

The evidence's choice is a maximum over a grid refined by a parabola; where
the evidence is flat near its maximum, a change of rounding alone can move it
by tens of percent, so a change meant to leave the arithmetic as it was should
show no move at all. Takes about two minutes on 2 cores.

    .venv/bin/python benchmarks/bench_scale_choice.py --save before.json
    (rebuild)
    .venv/bin/python benchmarks/bench_scale_choice.py --compare before.json
"""

import argparse
import json
import os
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import bench_scale
import bench_scale_rule
import numpy as np
from sklearn.preprocessing import StandardScaler

from kelvra_bci.models.kelvra_softmax import defaults, engine

SHAPES = [(288, 64), (1000, 64), (5000, 32), (288, 253), (288, 512), (1000, 253)]
MOVED = 0.05


def chosen(name, X_train, y_train, X_test, y_test, n_classes):
    model = engine.fit(X_train.astype(np.float32), y_train, n_classes, 0, rng_seed=0, **defaults.FIT)
    P = engine.predict_proba(model, X_test.astype(np.float32), 1, 0)
    loss = float(np.mean(-np.log(np.clip(P[np.arange(len(y_test)), y_test], 1e-15, None))))
    return {"case": name, "w_scale": float(model.params["w_scale"]), "log_loss": loss, "steps": int(model.n_sweeps)}


def run():
    results = []
    for name, X, y, splits in bench_scale_rule.cases(quick=False):
        n_classes = len(np.unique(y))
        for i, (train, test) in enumerate(splits):
            scaler = StandardScaler().fit(X[train])
            A, B = scaler.transform(X[train]), scaler.transform(X[test])
            results.append(chosen(f"{name} #{i}", A, y[train], B, y[test], n_classes))
    for n, p in SHAPES:
        X, y = bench_scale.problem(n + 500, p, seed=1)
        results.append(chosen(f"make_classification {n} × {p}", X[:n], y[:n], X[n:], y[n:], bench_scale.K))
    return results


def compare(before, after):
    if [r["case"] for r in before] != [r["case"] for r in after]:
        raise SystemExit("the saved run holds other cases; save it again with this script")
    moved = np.array([abs(a["w_scale"] / b["w_scale"] - 1) for b, a in zip(before, after, strict=True)])
    loss = np.array([a["log_loss"] - b["log_loss"] for b, a in zip(before, after, strict=True)])
    steps = sum(r["steps"] for r in before), sum(r["steps"] for r in after)
    print(f"{len(after)} fits; Newton steps {steps[0]} -> {steps[1]} ({steps[1] / steps[0]:.2f}×)")
    print(
        f"w_scale moved: largest {moved.max():.1%}, mean {moved.mean():.2%}, "
        f"by more than {MOVED:.0%} in {int((moved > MOVED).sum())}"
    )
    print(f"held-out log-loss change: mean {loss.mean():+.5f}, from {loss.min():+.5f} to {loss.max():+.5f}")
    for i in np.argsort(-moved)[:8]:
        if moved[i] == 0:
            break
        b, a = before[i], after[i]
        print(
            f"  {b['case']:<36} w_scale {b['w_scale']:.4f} -> {a['w_scale']:.4f}  "
            f"log-loss {b['log_loss']:.4f} -> {a['log_loss']:.4f}  steps {b['steps']} -> {a['steps']}"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--save", metavar="FILE", help="write this run's choices to FILE")
    group.add_argument("--compare", metavar="FILE", help="compare this run with the one saved in FILE")
    args = parser.parse_args()
    warnings.filterwarnings("ignore")
    results = run()
    if args.save:
        with open(args.save, "w") as out:
            json.dump(results, out, indent=1)
        print(f"{len(results)} fits saved to {args.save}")
    else:
        with open(args.compare) as saved:
            compare(json.load(saved), results)


if __name__ == "__main__":
    main()
