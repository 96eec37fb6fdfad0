"""Wall time of kelvra_softmax_fit over a grid of problem sizes.

For each configuration the first call is timed on its own (it traces and
compiles the sweep loops), then `--repeats` identical calls give a median, so
that staging cost can be told apart from the arithmetic.
"""

import argparse
import statistics
import time

import numpy as np
from jax_options import add_jax_options, configure_jax, describe

from kelvra_bci.models.kelvra_softmax import learning


def make_problem(n, p, K, seed):
    """Gaussian blobs around random class centres, labels 0 .. K-1."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=2.0, size=(K, p))
    y = rng.permutation(np.arange(n) % K)
    return centres[y] + rng.normal(size=(n, p)), y


def timed_fit(X, y, K, num_steps):
    start = time.perf_counter()
    # The record holds NumPy arrays, so the computation has finished on return.
    learning.kelvra_softmax_fit(X, y, K, 0, 0.0, 1.0, 0.0, 1.0, 0, 0.5, num_steps)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller grid and fewer repeats")
    parser.add_argument("--repeats", type=int, default=3, help="timed calls after the first")
    parser.add_argument("--num-steps", type=int, default=20)
    add_jax_options(parser)
    args = parser.parse_args()

    configure_jax(args)
    trials, features, classes = (100, 300, 1000), (8, 32, 128), (2, 4)
    repeats = args.repeats
    if args.quick:
        trials, features, repeats = (100, 1000), (8, 128), min(repeats, 2)

    print(f"{describe(args)} num_steps={args.num_steps} repeats={repeats}")
    print(f"{'n':>6}{'p':>6}{'K':>4}{'first s':>10}{'median s':>10}{'first-median s':>16}")
    for n in trials:
        for p in features:
            for K in classes:
                X, y = make_problem(n, p, K, seed=n + p + K)
                first = timed_fit(X, y, K, args.num_steps)
                median = statistics.median(timed_fit(X, y, K, args.num_steps) for _ in range(repeats))
                print(f"{n:>6}{p:>6}{K:>4}{first:>10.3f}{median:>10.3f}{first - median:>16.3f}", flush=True)


if __name__ == "__main__":
    main()
