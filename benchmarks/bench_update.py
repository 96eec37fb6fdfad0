"""Median latency of one kelvra_softmax_update call for 1, 10 and 100 new trials.

A model is fitted once; for each batch size one warm-up update runs first,
then `--repeats` timed updates of the same fitted model.
"""

import argparse
import statistics
import time

import numpy as np
from jax_options import add_jax_options, configure_jax, describe

from kelvra_bci.models.kelvra_softmax import learning


def make_problem(n, p, K, rng, centres):
    y = rng.integers(0, K, size=n)
    return centres[y] + rng.normal(size=(n, p)), y


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--features", "-p", type=int, default=32)
    parser.add_argument("--classes", "-K", type=int, default=4)
    parser.add_argument("--num-steps", type=int, default=20)
    parser.add_argument("--train", type=int, default=200, help="trials of the initial fit")
    parser.add_argument("--batches", type=int, nargs="+", default=[1, 10, 100])
    parser.add_argument("--repeats", type=int, default=5)
    add_jax_options(parser)
    args = parser.parse_args()

    configure_jax(args)
    p, K = args.features, args.classes
    rng = np.random.default_rng(0)
    centres = rng.normal(scale=2.0, size=(K, p))
    X, y = make_problem(args.train, p, K, rng, centres)
    # Every class occurs in the training set, so no update below grows the class set.
    y[:K] = np.arange(K)
    model = learning.kelvra_softmax_fit(X, y, K, 0, 0.0, 1.0, 0.0, 1.0, 0, 0.5, args.num_steps)

    print(f"{describe(args)} p={p} K={K} num_steps={args.num_steps} repeats={args.repeats}")
    print(f"{'new trials':>10}{'warm-up ms':>12}{'median ms':>12}{'min ms':>10}")
    for n in args.batches:
        X_new, y_new = make_problem(n, p, K, rng, centres)
        times = []
        for _ in range(args.repeats + 1):
            start = time.perf_counter()
            learning.kelvra_softmax_update(model, X_new, y_new)  # returns NumPy arrays: finished
            times.append(time.perf_counter() - start)
        warm_up, rest = times[0], times[1:]
        print(
            f"{n:>10}{warm_up * 1e3:>12.1f}{statistics.median(rest) * 1e3:>12.1f}{min(rest) * 1e3:>10.1f}", flush=True
        )


if __name__ == "__main__":
    main()
