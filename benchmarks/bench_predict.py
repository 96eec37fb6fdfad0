"""Median latency of kelvra_softmax prediction for one trial and for a batch.

Each configuration gets one warm-up call (tracing, compilation caches), then
`--repeats` timed calls; the table shows the median and the fastest call.
"""

import argparse
import statistics
import time

import numpy as np
from jax_options import add_jax_options, configure_jax, describe

from kelvra_bci.kelvra_io import KelvraModel
from kelvra_bci.models.kelvra_softmax import inference


def make_model(p, K, seed):
    """A record shaped like a fitted one: K - 1 coefficient rows over p features plus a bias."""
    rng = np.random.default_rng(seed)
    d = p + 1
    chol = np.tril(rng.normal(scale=0.05, size=(K - 1, d, d)))
    chol[:, np.arange(d), np.arange(d)] = rng.uniform(0.1, 0.3, size=(K - 1, d))
    params = {
        "n_classes": np.int64(K),
        "label_base": np.int64(0),
        "ref_class": np.int64(0),
        "non_ref_classes": np.arange(1, K, dtype=np.int64),
        "beta_mean": rng.normal(size=(K - 1, d)),
        "beta_cov_chol": chol,
    }
    return KelvraModel(model_type="kelvra_softmax", params=params)


def time_calls(fn, model, X, S, repeats):
    fn(model, X, S, 0)  # warm-up
    times = []
    for seed in range(1, repeats + 1):
        start = time.perf_counter()
        fn(model, X, S, seed)  # returns a NumPy array, so the work is finished here
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--features", "-p", type=int, default=32)
    parser.add_argument("--classes", "-K", type=int, default=4)
    parser.add_argument("--batch", type=int, default=1000, help="trials in the batch case")
    parser.add_argument("--samples", type=int, nargs="+", default=[1, 100])
    parser.add_argument("--repeats", type=int, default=20)
    add_jax_options(parser)
    args = parser.parse_args()

    configure_jax(args)
    model = make_model(args.features, args.classes, seed=0)
    rng = np.random.default_rng(1)
    functions = [inference.kelvra_softmax_predict_proba, inference.kelvra_softmax_predict_samples]

    print(f"{describe(args)} p={args.features} K={args.classes} repeats={args.repeats}")
    print(f"{'function':<32}{'n':>6}{'S':>6}{'median ms':>12}{'min ms':>10}")
    for fn in functions:
        for n in (1, args.batch):
            X = rng.normal(size=(n, args.features))
            for S in args.samples:
                median, best = time_calls(fn, model, X, S, args.repeats)
                print(f"{fn.__name__:<32}{n:>6}{S:>6}{median * 1e3:>12.2f}{best * 1e3:>10.2f}")


if __name__ == "__main__":
    main()
