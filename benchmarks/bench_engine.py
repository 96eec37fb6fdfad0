"""The engine beside the module path and scikit-learn, in one process, on the same data.

Prints one table per operation with medians and ratios: fits over a size grid,
updates of 1, 10 and 100 trials, predict_proba of 1 and 1000 trials, the
online loop (update one trial, then predict one), classes joining an
estimator's session, the first (compiling) call of
each, the first fit of a fresh process with the persistent cache warm, and the
memory that 10,000 warm updates hold.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
from jax_options import add_jax_options, configure_jax, describe
from sklearn.linear_model import LogisticRegression

from kelvra_bci.models.kelvra_softmax import defaults, engine, inference, learning
from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier

SETTINGS = (0.0, 1.0, 0.0, 1.0, 0, 0.5)  # w_loc, w_scale, b_loc, b_scale, rng_seed, learning_rate


def make_problem(n, p, K, seed):
    """Gaussian blobs around random class centres, labels 0 .. K-1, every class present."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=2.0 / np.sqrt(p), size=(K, p)) * 3
    y = rng.permutation(np.arange(n) % K)
    return centres[y] + rng.normal(size=(n, p)), y


def timed(call, repeats):
    """(first call, median of the next `repeats`) in seconds."""
    times = []
    for _ in range(repeats + 1):
        start = time.perf_counter()
        call()  # every call returns NumPy arrays: the work is done on return
        times.append(time.perf_counter() - start)
    return times[0], statistics.median(times[1:])


def rss_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fmt(seconds):
    return f"{seconds * 1e3:9.2f}"


def bench_fits(args, num_steps):
    trials, features = (100, 300, 1000), (8, 32, 128)
    if args.quick:
        trials, features = (100, 1000), (8, 128)
    print(f"\nfit, {num_steps} sweeps (ms; module and engine first calls compile)")
    print(
        f"{'n':>5}{'p':>5}{'K':>3}{'module 1st':>11}{'module':>9}{'engine 1st':>11}{'engine':>9}"
        f"{'LogReg':>9}{'mod/eng':>9}{'LR/eng':>8}{'GFLOP/s':>9}"
    )
    for n in trials:
        for p in features:
            for K in (2, 4):
                X, y = make_problem(n, p, K, seed=n + p + K)
                mod_first, mod = timed(
                    lambda: learning.kelvra_softmax_fit(X, y, K, 0, *SETTINGS, num_steps), args.module_repeats
                )
                eng_first, eng = timed(lambda: engine.fit(X, y, K, 0, *SETTINGS, num_steps), args.repeats)
                _, logreg = timed(lambda: LogisticRegression(max_iter=1000).fit(X, y), args.repeats)
                d = p + 1
                flops = num_steps * (K - 1) * (4 * n * d * d + d**3 / 3 + 2 * d**3)
                print(
                    f"{n:>5}{p:>5}{K:>3}{fmt(mod_first):>11}{fmt(mod)}{fmt(eng_first):>11}{fmt(eng)}"
                    f"{fmt(logreg)}{mod / eng:>9.0f}{logreg / eng:>8.2f}{flops / eng / 1e9:>9.1f}",
                    flush=True,
                )


def bench_updates(args, p=32, K=4, num_steps=20):
    X, y = make_problem(300, p, K, seed=1)
    model = engine.fit(X, y, K, 0, *SETTINGS, num_steps)
    print(f"\nupdate, p={p} K={K}, {num_steps} sweeps (ms)")
    print(
        f"{'trials':>6}{'module 1st':>11}{'module':>9}{'resweep 1st':>12}{'resweep':>9}{'once 1st':>10}"
        f"{'once':>9}{'mod/eng':>9}"
    )
    for n in (1, 10, 100):
        Xn, yn = make_problem(n + K, p, K, seed=n)
        Xn, yn = Xn[:n], yn[:n]
        mod_first, mod = timed(lambda: learning.kelvra_softmax_update(model, Xn, yn), args.module_repeats)
        re_first, re = timed(lambda: engine.update(model, Xn, yn, rule="resweep"), args.repeats)
        once_first, once = timed(lambda: engine.update(model, Xn, yn, rule="once"), args.repeats)
        print(
            f"{n:>6}{fmt(mod_first):>11}{fmt(mod)}{fmt(re_first):>12}{fmt(re)}{fmt(once_first):>10}{fmt(once)}"
            f"{mod / re:>9.0f}",
            flush=True,
        )
    return model


def bench_predictions(args, model, p=32):
    print("\npredict_proba (ms)")
    print(f"{'trials':>6}{'S':>5}{'module 1st':>11}{'module':>9}{'engine 1st':>11}{'engine':>9}{'mod/eng':>9}")
    rng = np.random.default_rng(2)
    for n in (1, 1000):
        X = rng.normal(size=(n, p))
        for S in (1, 100):
            mod_first, mod = timed(lambda: inference.kelvra_softmax_predict_proba(model, X, S, 0), args.repeats)
            eng_first, eng = timed(lambda: engine.predict_proba(model, X, S, 0), args.repeats)
            print(
                f"{n:>6}{S:>5}{fmt(mod_first):>11}{fmt(mod)}{fmt(eng_first):>11}{fmt(eng)}{mod / eng:>9.1f}", flush=True
            )


def bench_online_loop(args, model, p=32, K=4):
    X, y = make_problem(200, p, K, seed=3)
    print("\nonline loop: update with 1 trial, then predict_proba of 1 trial, S=1 (ms, median)")
    for rule in ("once", "resweep"):
        state = {"model": model}

        def step(i=[0]):  # noqa: B006 (a counter kept between calls)
            i[0] = (i[0] + 1) % len(y)
            state["model"] = engine.update(state["model"], X[i[0] : i[0] + 1], y[i[0] : i[0] + 1], rule=rule)
            engine.predict_proba(state["model"], X[i[0] : i[0] + 1], 1, 0)

        _, loop = timed(step, args.repeats * 5)
        print(f"  engine, rule={rule:<8}{fmt(loop)}")

    # The defaults of the estimator and the CLI: a fit by the mode, updates by
    # the mode revisiting the model's memory, stopped at defaults.FIT["tol"].
    settings = {key: value for key, value in defaults.FIT.items() if key != "tol"}
    fitted = engine.fit(*make_problem(300, p, K, seed=1), K, 0, rng_seed=0, **settings)
    state = {"model": fitted}

    def step_mode(i=[0]):  # noqa: B006 (a counter kept between calls)
        i[0] = (i[0] + 1) % len(y)
        trial = slice(i[0], i[0] + 1)
        state["model"] = engine.update(state["model"], X[trial], y[trial], rule="mode", tol=defaults.FIT["tol"])
        engine.predict_proba(state["model"], X[trial], 1, 0)

    _, loop = timed(step_mode, args.repeats * 5)
    print(f"  engine, rule=mode    {fmt(loop)}  (defaults.FIT: memory {defaults.FIT['memory']})")

    estimator = KelvraSoftmaxClassifier().fit(*make_problem(300, p, K, seed=1))
    # What partial_fit would compile ahead for a fifth class, compiled now: the
    # loop's figure is the steady state, not the seconds that compile shares
    # the machine (bench_classes_joining shows those).
    engine.precompile(p, K + 1, min_classes=K, rule="mode", tol=defaults.FIT["tol"], memory=defaults.FIT["memory"])

    def step_estimator(i=[0]):  # noqa: B006 (a counter kept between calls)
        i[0] = (i[0] + 1) % len(y)
        trial = slice(i[0], i[0] + 1)
        estimator.partial_fit(X[trial], y[trial])
        estimator.predict_proba(X[trial])

    _, loop = timed(step_estimator, args.repeats * 5)
    print(f"  KelvraSoftmaxClassifier partial_fit + predict_proba {fmt(loop)}")


def bench_classes_joining(args, p=32):
    """Classes joining an estimator's session, one trial at a time.

    partial_fit compiles what one more class needs on a background thread; this
    shows what reaches the loop, with a pause between trials (as in a session)
    and back to back (where the compile ahead is still running when the class
    arrives). Each pass has its own feature count, so that its shapes are new.
    """
    print("\nclasses joining an estimator's session (3 classes, then a 4th and a 5th; ms per trial)")
    for features, pause in ((p, args.trial_interval), (p - 1, 0.0)):
        X, y = make_problem(600, features, 5, seed=5)
        calibration = np.flatnonzero(y < 3)[:90]
        estimator = KelvraSoftmaxClassifier().partial_fit(X[calibration], y[calibration])
        rest = np.setdiff1d(np.arange(len(y)), calibration)
        stream = [*rest[y[rest] < 3][:30], rest[y[rest] == 3][0], *rest[y[rest] < 4][1:21]]
        stream += [rest[y[rest] == 4][0], *rest[y[rest] < 5][21:41]]
        times, joins, seen = [], [], {0, 1, 2}
        for i in stream:
            time.sleep(pause)
            start = time.perf_counter()
            estimator.partial_fit(X[i : i + 1], y[i : i + 1])
            estimator.predict_proba(X[i : i + 1])
            times.append(time.perf_counter() - start)
            if y[i] not in seen:
                seen.add(y[i])
                joins.append(times[-1])
        # The first update waits for its own compile, started by the calibration.
        print(
            f"  {pause:g} s between trials: first {fmt(times[0]).strip()}, median"
            f" {fmt(statistics.median(times)).strip()}, a class joining"
            f" {' and '.join(fmt(t).strip() for t in joins)}, slowest after the first {fmt(max(times[1:])).strip()}"
        )


def bench_memory(args, model, p=32, K=4):
    X, y = make_problem(200, p, K, seed=4)
    print(f"\nmemory: resident set growth over warm updates of 1 trial (p={p}, K={K})")
    for _ in range(20):
        engine.update(model, X[:1], y[:1], rule="once")
    before = rss_bytes()
    for i in range(args.memory_updates):
        engine.update(model, X[i % 200 : i % 200 + 1], y[i % 200 : i % 200 + 1], rule="once")
    grown = rss_bytes() - before
    print(f"  engine: {args.memory_updates} updates grew RSS by {grown / 2**20:.1f} MiB")
    before = rss_bytes()
    for i in range(args.module_memory_updates):
        learning.kelvra_softmax_update(model, X[i : i + 1], y[i : i + 1])
    grown = rss_bytes() - before
    per_call = grown / args.module_memory_updates
    print(
        f"  module: {args.module_memory_updates} updates grew RSS by {grown / 2**20:.1f} MiB "
        f"({per_call / 2**20:.2f} MiB per call; {per_call * 10_000 / 2**30:.1f} GiB for 10,000)"
    )


FRESH = """
import sys, time
import numpy as np
start = time.perf_counter()
from kelvra_bci.models.kelvra_softmax import engine
engine.enable_persistent_cache(sys.argv[1])
rng = np.random.default_rng(0)
X, y = rng.normal(size=(300, 32)), np.arange(300) % 4
imported = time.perf_counter()
engine.fit(X, y, 4, 0, 0.0, 1.0, 0.0, 1.0, 0, 0.5, 20)
done = time.perf_counter()
print(f"{imported - start:.3f} {done - imported:.3f}")
"""


def bench_fresh_process(args):
    print("\nfirst fit in a fresh process (n=300, p=32, K=4; s): import, then the fit")
    env = {**os.environ, "JAX_ENABLE_X64": "1" if args.x64 else "0"}
    with tempfile.TemporaryDirectory() as cache:
        for label in ("cold persistent cache", "warm persistent cache"):
            out = subprocess.run(
                [sys.executable, "-c", FRESH, cache], capture_output=True, text=True, env=env, check=True
            ).stdout.split()
            print(f"  {label:<22} import {float(out[0]):.2f}   first fit {float(out[1]):.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller grid and fewer repeats")
    parser.add_argument("--repeats", type=int, default=7, help="timed engine and scikit-learn calls after the first")
    parser.add_argument("--module-repeats", type=int, default=2, help="timed module calls after the first")
    parser.add_argument("--memory-updates", type=int, default=10_000)
    parser.add_argument("--module-memory-updates", type=int, default=20)
    parser.add_argument(
        "--trial-interval", type=float, default=0.25, help="seconds between trials of the joining-classes session"
    )
    add_jax_options(parser)
    args = parser.parse_args()
    if args.quick:
        args.repeats, args.module_repeats, args.memory_updates = 3, 1, 2000
    configure_jax(args)
    print(f"{describe(args)} cpus={os.cpu_count()}")
    bench_fits(args, num_steps=20)
    model = bench_updates(args)
    bench_predictions(args, model)
    bench_online_loop(args, model)
    bench_classes_joining(args)
    bench_memory(args, model)
    bench_fresh_process(args)


if __name__ == "__main__":
    main()
