"""How the default fit and the online loop scale with the shape, beside LogisticRegression and shrinkage LDA.

Sections (each can be skipped):

- fit: warm fit time of engine.fit with defaults.FIT (float32 unless --x64,
  K=4 make_classification data) against LogisticRegression(lbfgs, C=1) and
  LinearDiscriminantAnalysis(lsqr, shrinkage="auto"), medians of interleaved
  runs in one process, with the Newton steps and the scale the evidence chose;
  a shape whose first fit takes longer than --max-seconds ends the row of that
  trial count (larger feature counts are skipped);
- online: update of one trial (rule "mode") plus predict_proba of one, median
  and 99th percentile over a stream, after a 288-trial calibration;
- start: a fresh process's first fit on digits with an empty compile cache
  folder, then again with the folder the first run filled, by engine.fit and
  by the estimator (which turns on the per-user cache itself); then how many
  functions cross_val_score(cv=5) compiles for its folds;
- rss: the growth of a fresh process's peak RSS over one fit, against the
  bytes of the data and the model;
- subjects: 10 subjects of one shape fitted in one engine.fit_many call and
  by a loop of engine.fit, against LogisticRegression's loop over them.

BLAS threads: the script sets OPENBLAS_NUM_THREADS, MKL_NUM_THREADS and
OMP_NUM_THREADS to --threads (default 1) before NumPy loads, so scikit-learn
runs on that many; XLA's CPU backend keeps its own thread pool. On a shared
machine timings are noisy: runs are interleaved and medians reported.

    .venv/bin/python benchmarks/bench_scale.py --quick
"""

import argparse
import os
import sys


def _threads_from_argv(argv):
    for i, arg in enumerate(argv):
        if arg == "--threads" and i + 1 < len(argv):
            return argv[i + 1]
        if arg.startswith("--threads="):
            return arg.split("=", 1)[1]
    return "1"


_THREADS = _threads_from_argv(sys.argv)
for _name in ("OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "OMP_NUM_THREADS"):
    os.environ.setdefault(_name, _THREADS)

import json  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402
from jax_options import add_jax_options, configure_jax, describe  # noqa: E402
from sklearn.datasets import make_classification  # noqa: E402
from sklearn.discriminant_analysis import LinearDiscriminantAnalysis  # noqa: E402
from sklearn.exceptions import ConvergenceWarning  # noqa: E402
from sklearn.linear_model import LogisticRegression  # noqa: E402

from kelvra_bci.errors import InputError  # noqa: E402
from kelvra_bci.models.kelvra_softmax import defaults, engine  # noqa: E402

K = 4
TRIALS = (288, 1000, 5000)
FEATURES = (8, 32, 64, 128, 253, 512, 1024, 2080)
QUICK_SHAPES = ((288, 64), (288, 253), (1000, 253), (5000, 32))
ONLINE_FEATURES = (16, 32, 64, 128, 253)


def problem(n, p, seed=0):
    """K-class make_classification data, standardised, in float32."""
    informative = max(2, min(p, 16))
    X, y = make_classification(
        n_samples=n,
        n_features=p,
        n_informative=informative,
        n_redundant=0,
        n_classes=K,
        n_clusters_per_class=1,
        class_sep=1.0,
        random_state=seed,
    )
    X = (X - X.mean(0)) / X.std(0)
    return X.astype(np.float32), y


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def fit_kelvra(X, y):
    return engine.fit(X, y, K, 0, rng_seed=0, **defaults.FIT)


def fit_lr(X, y):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        return LogisticRegression(C=1.0, max_iter=1000).fit(X, y)


def fit_lda(X, y):
    return LinearDiscriminantAnalysis(solver="lsqr", shrinkage="auto").fit(X, y)


def fit_section(args):
    print(f"\n## warm fit, K={K}, medians of {args.repeats} interleaved runs")
    print(
        "| n × p | default fit | Newton steps | w_scale | LR (lbfgs, C=1) | shrinkage LDA "
        "| default / LR | default / LDA |"
    )
    print("|---|---|---|---|---|---|---|---|")
    shapes = args.shapes or (QUICK_SHAPES if args.quick else [(n, p) for n in TRIALS for p in FEATURES])
    skipped = set()
    for n, p in shapes:
        if n in skipped:
            print(f"| {n} × {p} | skipped (a smaller p took > {args.max_seconds:g} s) | | | | | | |")
            continue
        X, y = problem(n, p)
        try:
            first, model = timed(lambda: fit_kelvra(X, y))  # compiles
        except InputError as refusal:
            # The engine's bound on one call's work: a shape the default
            # fit refuses is a row of the table, not the end of it.
            print(f"| {n} × {p} | refused: {refusal} | | | | | | |", flush=True)
            continue
        if first > args.max_seconds:
            skipped.add(n)
        times = {"kelvra": [], "lr": [], "lda": []}
        repeats = 1 if first > args.max_seconds else args.repeats
        for _ in range(repeats):
            seconds, model = timed(lambda: fit_kelvra(X, y))
            times["kelvra"].append(seconds)
            times["lr"].append(timed(lambda: fit_lr(X, y))[0])
            times["lda"].append(timed(lambda: fit_lda(X, y))[0])
        med = {key: statistics.median(value) for key, value in times.items()}
        print(
            f"| {n} × {p} | {1e3 * med['kelvra']:.0f} ms | {model.n_sweeps} | {float(model.params['w_scale']):.3g} "
            f"| {1e3 * med['lr']:.0f} ms | {1e3 * med['lda']:.0f} ms | {med['kelvra'] / med['lr']:.1f}× "
            f"| {med['kelvra'] / med['lda']:.1f}× |",
            flush=True,
        )


def online_section(args):
    print("\n## online loop: update 1 trial (rule 'mode') + predict_proba 1, K=4, after 288 calibration trials")
    print("| p | median | p99 | p99 / median |")
    print("|---|---|---|---|")
    features = (32, 253) if args.quick else ONLINE_FEATURES
    steps = 60 if args.quick else 200
    for p in features:
        X, y = problem(288 + steps + 10, p, seed=1)
        model = fit_kelvra(X[:288], y[:288])
        for i in range(288, 298):  # warm-up: compiles the update and the prediction
            model = engine.update(model, X[i : i + 1], y[i : i + 1], rule="mode", tol=defaults.FIT["tol"])
            engine.predict_proba(model, X[i + 1 : i + 2], 1, 0)
        laps = []
        for i in range(298, 298 + steps):
            start = time.perf_counter()
            model = engine.update(model, X[i : i + 1], y[i : i + 1], rule="mode", tol=defaults.FIT["tol"])
            engine.predict_proba(model, X[i + 1 : i + 2], 1, 0)
            laps.append(time.perf_counter() - start)
        median, p99 = np.median(laps), np.percentile(laps, 99)
        print(f"| {p} | {1e3 * median:.2f} ms | {1e3 * p99:.2f} ms | {p99 / median:.1f} |", flush=True)


START_SCRIPT = r"""
import json, sys, time
start = time.perf_counter()
import numpy as np
from sklearn.datasets import load_digits
from kelvra_bci.models.kelvra_softmax import defaults, engine
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier
if sys.argv[1] == "engine" and sys.argv[2]:
    engine.enable_persistent_cache(sys.argv[2])
X, y = load_digits(return_X_y=True)
X = ((X - X.mean(0)) / np.maximum(X.std(0), 1e-12)).astype(np.float32)
imported = time.perf_counter()
if sys.argv[1] == "engine":
    engine.fit(X, y, 10, 0, rng_seed=0, **defaults.FIT)
else:  # the estimator turns on the per-user cache (XDG_CACHE_HOME) at its first fit
    KelvraSoftmaxClassifier().fit(X, y)
done = time.perf_counter()
print(json.dumps({"import": imported - start, "fit": done - imported, "total": done - start}))
"""

FOLDS_SCRIPT = r"""
import json, time
import numpy as np
from sklearn.datasets import load_digits
from sklearn.model_selection import cross_val_score
from kelvra_bci.models.kelvra_softmax import engine
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier
X, y = load_digits(return_X_y=True)
X = ((X - X.mean(0)) / np.maximum(X.std(0), 1e-12)).astype(np.float32)
start = time.perf_counter()
cross_val_score(KelvraSoftmaxClassifier(), X, y, cv=5)
print(json.dumps({"seconds": time.perf_counter() - start, "compiled": engine.cache_info()["size"]}))
"""


def fresh(script, *argv, env=None):
    out = subprocess.run([sys.executable, "-c", script, *argv], capture_output=True, text=True, check=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


def start_section(args):
    print("\n## a fresh process's first fit on digits (1797 × 64, K=10)")
    print("| path | compile cache | import + data | first fit | total |")
    print("|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder, tempfile.TemporaryDirectory() as home:
        rows = [("engine.fit", "none", ("engine", "")), ("engine.fit", "empty folder (cold)", ("engine", folder))]
        rows += [("engine.fit", "filled folder (warm)", ("engine", folder))]
        rows += [("estimator", "per-user default, empty (cold)", ("estimator", ""))]
        rows += [("estimator", "per-user default, filled (warm)", ("estimator", ""))]
        env = dict(os.environ, XDG_CACHE_HOME=home)
        env.pop("KELVRA_BCI_COMPILE_CACHE", None)
        for path, label, argv in rows:
            t = fresh(START_SCRIPT, *argv, env=env)
            print(f"| {path} | {label} | {t['import']:.2f} s | {t['fit']:.2f} s | {t['total']:.2f} s |", flush=True)
        folds = fresh(FOLDS_SCRIPT, env=env)
    print(
        f"\ncross_val_score(KelvraSoftmaxClassifier(), digits, cv=5) in a fresh process: {folds['seconds']:.1f} s, "
        f"{folds['compiled']} compiled function(s) for the five folds"
    )


RSS_SCRIPT = r"""
import json, resource, sys
import numpy as np
from sklearn.datasets import make_classification
from kelvra_bci.models.kelvra_softmax import defaults, engine
n, p = int(sys.argv[1]), int(sys.argv[2])
X, y = make_classification(n_samples=n, n_features=p, n_informative=min(p, 16), n_redundant=0,
                           n_classes=4, n_clusters_per_class=1, random_state=0)
X = X.astype(np.float32)
def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
base = rss("VmHWM:")
model = engine.fit(X, y, 4, 0, rng_seed=0, **defaults.FIT)
peak = rss("VmHWM:")
model_bytes = sum(np.asarray(v).nbytes for v in model.params.values())
print(json.dumps({"growth": peak - base, "data": X.nbytes + y.nbytes, "model": model_bytes}))
"""


def rss_section(args):
    print("\n## peak RSS growth of a fresh process over one default fit (K=4; includes compiling)")
    print("| n × p | peak growth | data + model | growth / (data + model) |")
    print("|---|---|---|---|")
    shapes = ((288, 253),) if args.quick else ((288, 64), (288, 253), (288, 512), (1000, 253))
    for n, p in args.shapes or shapes:
        r = fresh(RSS_SCRIPT, str(n), str(p))
        total = r["data"] + r["model"]
        print(
            f"| {n} × {p} | {r['growth'] / 2**20:.0f} MiB | {total / 2**20:.1f} MiB | {r['growth'] / total:.0f}× |",
            flush=True,
        )


def subjects_section(args):
    n, p, count = 288, 253, 10
    print(f"\n## {count} subjects of {n} × {p}, K={K}, warm, medians of interleaved runs")
    subjects = [problem(n, p, seed=100 + s) for s in range(count)]
    Xs, ys = [X for X, _ in subjects], [y for _, y in subjects]

    def many():
        return engine.fit_many(Xs, ys, K, 0, rng_seed=0, **defaults.FIT)

    fit_kelvra(*subjects[0])  # compiles
    many()
    times = {"many": [], "loop": [], "lr": []}
    for _ in range(1 if args.quick else 3):
        times["many"].append(timed(many)[0])
        times["loop"].append(timed(lambda: [fit_kelvra(X, y) for X, y in subjects])[0])
        times["lr"].append(timed(lambda: [fit_lr(X, y) for X, y in subjects])[0])
    med = {key: statistics.median(value) for key, value in times.items()}
    print("| engine.fit_many (one call) | loop of engine.fit | LR loop | fit_many / LR | loop / LR |")
    print("|---|---|---|---|---|")
    print(
        f"| {med['many']:.2f} s | {med['loop']:.2f} s | {med['lr']:.2f} s | {med['many'] / med['lr']:.1f}× "
        f"| {med['loop'] / med['lr']:.1f}× |",
        flush=True,
    )


SECTIONS = {
    "fit": fit_section,
    "online": online_section,
    "start": start_section,
    "rss": rss_section,
    "subjects": subjects_section,
}


def shape(text):
    n, p = text.lower().replace("×", "x").split("x")
    return int(n), int(p)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few shapes, a minute or two")
    parser.add_argument("--repeats", type=int, default=5, help="interleaved timed runs per shape")
    parser.add_argument("--threads", default="1", help="BLAS threads of NumPy and scikit-learn")
    parser.add_argument("--max-seconds", type=float, default=60.0, help="a first fit longer than this ends its row")
    parser.add_argument("--sections", nargs="+", choices=list(SECTIONS), default=list(SECTIONS))
    parser.add_argument(
        "--shapes", nargs="+", type=shape, help="n×p shapes of the fit and rss sections, as 288x2080 (default: a grid)"
    )
    add_jax_options(parser)
    args = parser.parse_args()
    if args.quick:
        args.repeats = min(args.repeats, 3)
    configure_jax(args)
    print(
        f"{describe(args)} OPENBLAS_NUM_THREADS={os.environ['OPENBLAS_NUM_THREADS']} "
        f"cpus={os.cpu_count()} (XLA keeps its own thread pool)"
    )
    for name in args.sections:
        SECTIONS[name](args)


if __name__ == "__main__":
    main()
