"""How well each rule for w_scale="auto" predicts, against the best fixed scale in hindsight.

w_scale="auto" takes the geometric mean of two estimates of the prior's scale:
MacKay's fixed point (which holds the likelihood's curvature fixed and tends to
shrink too much) and the maximum of the Laplace evidence (which sees the
curvature fall as weights grow and tends to shrink too little). This script
checks that choice on more than the four data sets of bench_quality.py: each
case is fitted at 15 fixed scales from 0.1 to 10 (the MAP of the same
exchangeable prior, by L-BFGS in float64, with a N(0, 100) bias), and at each
scale it records the Laplace evidence, MacKay's scale and the held-out
log-loss. A rule's choice is then scored by the held-out log-loss at the scale
it picks (interpolated in log scale), relative to the best scale of the grid.

Cases: digits, iris, wine and breast cancer cross-validated (5 folds) and
subsampled to 45-150 training trials; simulated sessions of 2, 3 and 4 classes
calibrated on 100 trials; eight make_classification problems of 60-120
trials; four with more features than trials (60-120 trials, 120-400
features; --wide runs these alone). Standardised inside each split. Takes
about 15 minutes on 2 cores.
"""

import argparse
import warnings

import numpy as np
from scipy.optimize import minimize
from scipy.special import logsumexp
from sklearn.datasets import load_breast_cancer, load_digits, load_iris, load_wine, make_classification
from sklearn.model_selection import StratifiedKFold, StratifiedShuffleSplit
from sklearn.preprocessing import StandardScaler

from kelvra_bci.simulation import simulate_session

BIAS_VARIANCE = 100.0
LOG_SCALES = np.linspace(np.log(0.1), np.log(10), 15)


def map_fit(A, y, K, variance, start):
    """MAP of softmax regression under N(0, variance) weights, with the evidence and MacKay's scale there."""
    n, p = A.shape
    Y = np.eye(K)[y]

    def objective(theta):
        W, b = theta[: K * p].reshape(K, p), theta[K * p :]
        Z = A @ W.T + b
        L = logsumexp(Z, 1)
        G = np.exp(Z - L[:, None]) - Y
        value = -(Z * Y).sum() + L.sum() + 0.5 / variance * (W**2).sum() + 0.5 / BIAS_VARIANCE * (b**2).sum()
        return value, np.concatenate([(G.T @ A + W / variance).ravel(), G.sum(0) + b / BIAS_VARIANCE])

    result = minimize(objective, start, jac=True, method="L-BFGS-B", options=dict(maxiter=5000, gtol=1e-7))
    W, b = result.x[: K * p].reshape(K, p), result.x[K * p :]
    Z = A @ W.T + b
    P = np.exp(Z - logsumexp(Z, 1)[:, None])
    Ab = np.hstack([A, np.ones((n, 1))])
    q = p + 1
    H = np.zeros((K * q, K * q))
    for i in range(K):
        for j in range(K):
            H[i * q : (i + 1) * q, j * q : (j + 1) * q] = (Ab * (P[:, i] * ((i == j) - P[:, j]))[:, None]).T @ Ab
    precision = np.tile(np.r_[np.full(p, 1 / variance), 1 / BIAS_VARIANCE], K)
    posterior = H + np.diag(precision)
    evidence = -result.fun - 0.5 * np.linalg.slogdet(posterior)[1] + 0.5 * np.log(precision).sum()
    weights = np.tile(np.r_[np.ones(p, bool), False], K)
    gamma = np.sum(1 - np.diag(np.linalg.inv(posterior))[weights] / variance)
    log_mackay = 0.5 * np.log((W**2).sum() / max(gamma, 1e-9))
    return W, b, evidence, log_mackay, result.x


def wide_cases():
    """More features than training trials, as tangent-space EEG features of a short calibration have."""
    for i, (n, p, K) in enumerate([(60, 120, 2), (80, 253, 3), (100, 400, 4), (120, 253, 2)]):
        X, y = make_classification(
            n + 400,
            p,
            n_informative=min(p // 4, 32),
            n_redundant=min(p // 4, 32),
            n_classes=K,
            n_clusters_per_class=1,
            class_sep=1.0,
            flip_y=0.03,
            random_state=100 + i,
        )
        yield f"wide n={n} p={p} K={K}", X, y, StratifiedShuffleSplit(3, train_size=n, random_state=1).split(X, y)


def cases(quick, wide_only=False):
    if wide_only:
        yield from wide_cases()
        return
    sets = [("digits", load_digits), ("iris", load_iris), ("wine", load_wine), ("breast cancer", load_breast_cancer)]
    for name, load in sets:
        X, y = load(return_X_y=True)
        yield f"{name}, 5-fold", X, y, StratifiedKFold(5, shuffle=True, random_state=0).split(X, y)
        for n in [45] if name == "iris" else [60, 150]:
            yield f"{name}, {n} trials", X, y, StratifiedShuffleSplit(4, train_size=n, random_state=1).split(X, y)
    for K in (2, 3, 4):
        session = simulate_session(400, K, seed=K)
        X, y = session.X, session.y
        yield f"simulated, {K} classes", X, y, StratifiedShuffleSplit(4, train_size=100, random_state=1).split(X, y)
    rs = np.random.RandomState(1)
    for i in range(4 if quick else 8):
        n, p, K = int(rs.choice([60, 120, 250])), int(rs.choice([4, 8, 16, 32])), int(rs.choice([2, 3, 4]))
        informative = max(2, int(p * rs.uniform(0.2, 0.8)))
        X, y = make_classification(
            n + 400,
            p,
            n_informative=informative,
            n_redundant=max(0, min(p - informative, informative // 2)),
            n_classes=K,
            n_clusters_per_class=1,
            class_sep=float(rs.uniform(0.5, 1.5)),
            flip_y=0.03,
            random_state=i,
        )
        splits = StratifiedShuffleSplit(3, train_size=n, random_state=1).split(X, y)
        yield f"synthetic n={n} p={p} K={K}", X, y, splits
    yield from wide_cases()


def evidence_maximum(evidence):
    i = int(np.argmax(evidence))
    if 0 < i < len(evidence) - 1:  # a parabola through the peak and its neighbours
        a, b, c = evidence[i - 1 : i + 2]
        return LOG_SCALES[i] + (a - c) / (2 * (a - 2 * b + c)) * (LOG_SCALES[1] - LOG_SCALES[0])
    return LOG_SCALES[i]


def mackay_fixed_point(log_mackay):
    gap = log_mackay - LOG_SCALES
    for i in range(len(gap) - 1):
        if gap[i] > 0 >= gap[i + 1]:
            return LOG_SCALES[i] + gap[i] / (gap[i] - gap[i + 1]) * (LOG_SCALES[i + 1] - LOG_SCALES[i])
    return LOG_SCALES[0] if gap[0] <= 0 else LOG_SCALES[-1]


RULES = {
    "w_scale=1": lambda laplace, mackay: 0.0,
    "geometric mean": lambda laplace, mackay: 0.5 * laplace + 0.5 * mackay,
    "MacKay 1/3": lambda laplace, mackay: 2 / 3 * laplace + 1 / 3 * mackay,
    "MacKay 1/4": lambda laplace, mackay: 0.75 * laplace + 0.25 * mackay,
    "evidence max": lambda laplace, mackay: laplace,
    "MacKay": lambda laplace, mackay: mackay,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="four synthetic problems instead of eight")
    parser.add_argument("--wide", action="store_true", help="only the problems with more features than trials")
    args = parser.parse_args()
    warnings.filterwarnings("ignore", category=RuntimeWarning)
    print(f"{'case':<28}" + "".join(f"{rule:>15}" for rule in RULES) + f"{'best':>8}")
    ratios = {rule: [] for rule in RULES}
    for name, X, y, splits in cases(args.quick, args.wide):
        K = len(np.unique(y))
        scored = {rule: [] for rule in RULES}
        best = []
        for train, test in splits:
            scaler = StandardScaler().fit(X[train])
            A, B = scaler.transform(X[train]), scaler.transform(X[test])
            start = np.zeros(K * (A.shape[1] + 1))
            evidence, mackay, loss = [], [], []
            for log_scale in LOG_SCALES:
                W, b, ev, log_mackay, start = map_fit(A, y[train], K, np.exp(2 * log_scale), start)
                Z = B @ W.T + b
                loss.append(np.mean(logsumexp(Z, 1) - Z[np.arange(len(test)), y[test]]))
                evidence.append(ev)
                mackay.append(log_mackay)
            laplace, fixed_point = evidence_maximum(np.array(evidence)), mackay_fixed_point(np.array(mackay))
            for rule, choose in RULES.items():
                scored[rule].append(np.interp(choose(laplace, fixed_point), LOG_SCALES, loss))
            best.append(min(loss))
        row = {rule: np.mean(values) for rule, values in scored.items()}
        for rule in RULES:
            ratios[rule].append(row[rule] / np.mean(best))
        print(f"{name:<28}" + "".join(f"{row[rule]:>15.4f}" for rule in RULES) + f"{np.mean(best):>8.4f}", flush=True)
    print(f"{'mean, relative to best':<28}" + "".join(f"{np.mean(ratios[rule]):>15.3f}" for rule in RULES))
    print(f"{'worst, relative to best':<28}" + "".join(f"{np.max(ratios[rule]):>15.3f}" for rule in RULES))


if __name__ == "__main__":
    main()
