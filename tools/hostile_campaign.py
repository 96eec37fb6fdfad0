"""A seeded hostile campaign against kelvra_bci: API calls, damaged model files and command lines.

    python tools/hostile_campaign.py [--seed N] [--api N] [--files N] [--cli N] [--cli-subprocess N]

Three phases, each drawn from one seeded generator so that a run can be repeated exactly:

* API calls: every public callable of the engine, the learning and inference modules, the estimator and
  the record check, called with valid arguments of which a few are replaced by hostile values.
  The modules compile on every call that reaches JAX, so their calls carry at least one value that a
  documented check refuses, apart from a small budget of unrestricted calls.
* Model files: saved models truncated, bit-flipped, overwritten, or rebuilt with crafted members, each
  loaded with KelvraModel.load; plus zip bombs, timed and measured with tracemalloc.
* Command lines: ``kelvra_bci.cli.main`` in this process, and some real ``python -m kelvra_bci`` runs.
* Memories, forks, threads and simulators: records of method "mode" whose memory entries are replaced
  by hostile values, each updated (both rules) and written to a file and loaded back, all in a child
  process so that a crash is counted rather than fatal; children forked while a thread compiles, which
  must answer within a limit; threads sharing one estimator, which must lose no label; and the EEG
  and band-power simulators called with hostile settings.

Every outcome is sorted into the table printed at the end: crashes (a child killed by a signal), results
that are not finite returned as successes, damaged files accepted, exceptions of types the interfaces do
not document, messages longer than one line, command-line tracebacks and command lines that succeed on
bad input. A few examples of each finding follow the table, described well enough to reproduce.

Inputs known to run for hours rather than fail (a fit of millions of classes, billions of sweeps) are
left out: the campaign is for faults that answer, and the test suite times the ones that do not.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import io
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time
import tracemalloc
import warnings
import zipfile
import zlib

import jax
import numpy as np

from kelvra_bci import cli
from kelvra_bci.modelfiles import ModelFileError
from kelvra_bci.models.kelvra_softmax import engine, inference, learning
from kelvra_bci.record import KelvraModel, RecordError, check_softmax_params

# The hostile values and archives the test suite builds, built the same way here.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "helpers"))
from hostile import (
    DOCUMENTED,
    ShiftingRecord,
    finite_result,
    npy_bytes,
    raw_zip,
    zip_bytes,
    zip_members,
)

SLOW_CALL_S = 10.0
EXAMPLES = 3

CATEGORIES = {
    "crash": "crashes (child killed by a signal, or no answer)",
    "non_finite": "non-finite results reported as success",
    "invalid_record": "records returned that fail check_softmax_params",
    "damaged_accepted": "damaged model files accepted",
    "undocumented": "exceptions of undocumented types",
    "multi_line": "error messages of more than one line",
    "traceback": "command lines printing a traceback",
    "cli_exit0_bad": "command lines exiting 0 on bad input",
    "cli_unsound": "command lines exiting 0 with unsound output",
    "good_refused": "valid input refused",
    "slow": f"calls slower than {SLOW_CALL_S:g} s",
    "memory_accepted": "bad record memories accepted",
    "hang": "calls that hang (no answer within the limit)",
    "lost_labels": "labels lost by threads sharing an estimator",
}


class Tally:
    """Counts per category, with the first few examples of each."""

    def __init__(self):
        self.counts = collections.Counter()
        self.examples = collections.defaultdict(list)
        self.causes = collections.defaultdict(collections.Counter)
        self.where = collections.defaultdict(collections.Counter)

    def add(self, category, example=None, causes=(), where=None):
        """Counts one finding; `causes` are the ingredients it is tallied under (the hostile values, say)."""
        self.counts[category] += 1
        self.causes[category].update(causes)
        if where is not None:
            self.where[category][where] += 1
        if example is not None and len(self.examples[category]) < EXAMPLES:
            self.examples[category].append(" ".join(str(example).split())[:400])


def _one_line(exc):
    return "\n" not in str(exc)


# ---------------------------------------------------------------- API calls

RNG_DATA = np.random.default_rng(12345)
X0 = RNG_DATA.normal(size=(6, 2))
Y0 = np.array([0, 1, 2, 0, 1, 2])
X20 = RNG_DATA.normal(size=(20, 2))
Y20 = np.arange(20) % 3


def _with(array, index, value):
    out = np.array(array, dtype=np.result_type(array, type(value)) if not isinstance(value, str) else object)
    out.flat[index] = value
    return out


# Pools of (label, value, refused): refused says that a documented check refuses the value before any
# computation, whatever the other arguments are; such values let module calls fail cheaply.
X_POOL = [
    ("X(6,2)", X0, False),
    ("X(1,2)", X0[:1], False),
    ("X(20,2)", X20, False),
    ("X-float32", X0.astype(np.float32), False),
    ("X-int", (X0 * 10).astype(np.int64), False),
    ("X-bool", X0 > 0, False),
    ("X-list", X0.tolist(), False),
    ("X-1e-300", X0 * 1e-300, False),
    X_NAN := ("X-nan", _with(X0, 3, np.nan), True),
    X_INF := ("X-inf", _with(X0, 0, np.inf), True),
    ("X--inf", _with(X0, 5, -np.inf), True),
    ("X-1e300", X0 * 1e300, False),
    ("X-1e39", np.full((6, 2), 1e39), False),
    ("X-3e38", np.full((6, 2), 3e38), False),
    ("X-1e20", X0 * 1e20, False),
    ("X-offset-1e5", X0 + 1e5, False),
    ("X-duplicated-1e7", np.outer([1, -1, 1, -1, 1, -1], [1.0, 1.0]) * 1e7, False),
    ("X-1d", X0[:, 0], True),
    ("X-3d", X0[None], True),
    ("X-None", None, True),
    ("X-strings", np.array([["a", "b"]] * 6), False),
    ("X-objects", np.array([[object(), 1]] * 6, dtype=object), False),
    ("X-empty(0,2)", np.zeros((0, 2)), False),
    ("X-no-features(6,0)", np.zeros((6, 0)), False),
    ("X-wide(6,3)", X0 @ np.ones((2, 3)), False),
    ("X-complex", X0 + 1j, False),
    ("X-ragged", [[1.0, 2.0], [3.0]], False),
]
Y_POOL = [
    ("y", Y0, False),
    ("y-uint8", Y0.astype(np.uint8), False),
    ("y-float", Y0.astype(float), False),
    ("y-str-digits", Y0.astype(str), False),
    ("y-grow-4", _with(Y0, 5, 4), False),
    ("y-grow-50", _with(Y0, 5, 50), False),
    ("y-1", _with(Y0, 0, -1), False),
    ("y-nan", _with(Y0, 2, np.nan), False),
    ("y-1e20", _with(Y0, 2, 1e20), False),
    ("y-2.5", _with(Y0, 2, 2.5), False),
    ("y-int64max", _with(Y0, 1, 2**63 - 1), False),
    ("y-int64min", _with(Y0, 1, -(2**63)), False),
    ("y-uint64max", np.array([0, 1, 2, 0, 1, 2**64 - 1], dtype=np.uint64), False),
    ("y-2**31", _with(Y0, 1, 2**31), False),
    ("y-2**31-2", _with(Y0, 1, 2**31 - 2), False),
    ("y-letters", np.array(list("abcabc")), False),
    ("y-None", None, True),
    ("y-2d", Y0[:, None], True),
    ("y-short", Y0[:5], False),
    ("y-objects", np.array([object()] * 6, dtype=object), False),
]
# Counts and seeds; large valid sweep counts and class counts are left out (they run for hours).
INT_HOSTILE = [
    ("0", 0, False),
    ("-1", -1, False),
    ("2**31", 2**31, False),
    ("2**63-1", 2**63 - 1, False),
    ("2**63", 2**63, False),
    ("2**70", 2**70, False),
    ("-2**63", -(2**63), False),
    ("-2**63-1", -(2**63) - 1, False),
    ("nan", float("nan"), False),
    ("inf", float("inf"), False),
    ("-inf", float("-inf"), False),
    ("2.5", 2.5, False),
    ("'3'", "3", False),
    ("None", None, False),
    ("True", True, False),
    ("int8(3)", np.int8(3), False),
    ("uint64max", np.uint64(2**64 - 1), False),
    ("object()", object(), False),
    ("1j", 1j, False),
    ("array[1,2]", np.array([1, 2]), False),
]
FLOAT_HOSTILE = [
    ("0.0", 0.0, False),
    ("-1.0", -1.0, False),
    ("nan", float("nan"), False),
    ("inf", float("inf"), False),
    ("-inf", float("-inf"), False),
    ("1e300", 1e300, False),
    ("-1e300", -1e300, False),
    ("1e-300", 1e-300, False),
    ("5e-324", 5e-324, False),
    ("1e-19", 1e-19, False),
    ("1e19", 1e19, False),
    ("3e38", 3e38, False),
    ("2**2000", 2**2000, False),
    ("2**63", 2**63, False),
    ("'1'", "1", False),
    ("None", None, False),
    ("True", True, False),
    ("float16(1)", np.float16(1), False),
    ("1j", 1j, False),
]
S_POOL = [
    ("1", 1, False),
    ("2", 2, False),
    ("3", 3, False),
    ("10**5", 10**5, False),
    ("2**31-1", 2**31 - 1, False),
    ("0", 0, True),
    ("-1", -1, True),
    ("2**31", 2**31, True),
    ("2**63", 2**63, True),
    ("2**70", 2**70, True),
    ("-2**63-1", -(2**63) - 1, True),
    ("nan", float("nan"), True),
    ("inf", float("inf"), True),
    ("2.5", 2.5, False),
    ("None", None, True),
    ("'2'", "2", True),
]
SEED_POOL = [
    ("0", 0, False),
    ("-1", -1, False),
    ("2**63-1", 2**63 - 1, False),
    ("-2**63", -(2**63), False),
    ("2**63", 2**63, True),
    ("2**70", 2**70, True),
    ("-2**63-1", -(2**63) - 1, True),
    ("nan", float("nan"), True),
    ("inf", float("inf"), True),
    ("None", None, True),
    ("'1'", "1", True),
    ("2.5", 2.5, False),
]
FIT_PARAM_POOLS = {
    "n_classes": [
        ("2", 2, True),
        ("3", 3, False),
        ("4", 4, False),
        ("40", 40, False),
        ("1", 1, True),
        ("10**12", 10**12, True),
    ]
    + INT_HOSTILE,
    "label_base": [("0", 0, False), ("1", 1, False), ("2", 2, True), ("-1", -1, True), ("0.5", 0.5, True)]
    + INT_HOSTILE,
    "w_loc": [("0.0", 0.0, False), ("-3.0", -3.0, False)] + FLOAT_HOSTILE,
    "w_scale": [("1.0", 1.0, False), ("0.01", 0.01, False), ("0", 0, True), ("-1", -1.0, True)] + FLOAT_HOSTILE,
    "b_loc": [("0.0", 0.0, False), ("2.0", 2.0, False)] + FLOAT_HOSTILE,
    "b_scale": [("1.0", 1.0, False), ("10.0", 10.0, False), ("0", 0, True)] + FLOAT_HOSTILE,
    "rng_seed": SEED_POOL,
    "learning_rate": [("0.5", 0.5, False), ("1.0", 1.0, False), ("0", 0, True), ("1.5", 1.5, True)] + FLOAT_HOSTILE,
    "num_steps": [("1", 1, False), ("3", 3, False), ("0", 0, True), ("-1", -1, True), ("2**31", 2**31, True)]
    + INT_HOSTILE,
}
# n_classes=2 is refused because every label set of the pool that passes its own checks holds label 2.
FIT_DEFAULTS = {
    "X": X0,
    "y": Y0,
    "n_classes": 3,
    "label_base": 0,
    "w_loc": 0.0,
    "w_scale": 1.0,
    "b_loc": 0.0,
    "b_scale": 1.0,
    "rng_seed": 0,
    "learning_rate": 0.5,
    "num_steps": 3,
}
TOL_POOL = [
    ("None", None, False),
    ("1e-3", 1e-3, False),
    ("0", 0, False),
    ("-1", -1.0, True),
    ("nan", float("nan"), True),
    ("inf", float("inf"), True),
    ("'a'", "a", True),
    ("2**2000", 2**2000, True),
]
RULE_POOL = [
    ("None", None, False),
    ("'once'", "once", False),
    ("'resweep'", "resweep", False),
    ("'twice'", "twice", True),
    ("3", 3, True),
]


def _model_pool(base):
    p = dict(base.params)

    def rec(**changes):
        return KelvraModel(model_type="kelvra_softmax", params={**p, **changes})

    def without(key):
        return KelvraModel(model_type="kelvra_softmax", params={k: v for k, v in p.items() if k != key})

    chol_upper = np.array(p["beta_cov_chol"])
    chol_upper[:, 0, 2] = 0.5
    # (label, factory, valid): factories, so that a call that mutates a record cannot affect the next.
    return [
        ("model", lambda: rec(), True),
        ("model-label_base-1", lambda: rec(label_base=np.array(1)), True),
        (
            "model-float64",
            lambda: rec(
                beta_mean=p["beta_mean"].astype(np.float64), beta_cov_chol=p["beta_cov_chol"].astype(np.float64)
            ),
            True,
        ),
        ("model-non_ref-[1,7]", lambda: rec(non_ref_classes=np.array([1, 7])), False),
        ("model-non_ref-[1,1]", lambda: rec(non_ref_classes=np.array([1, 1])), False),
        ("model-nan-means", lambda: rec(beta_mean=np.full_like(p["beta_mean"], np.nan)), False),
        ("model-inf-factor", lambda: rec(beta_cov_chol=np.full_like(p["beta_cov_chol"], np.inf)), False),
        ("model-upper-factor", lambda: rec(beta_cov_chol=chol_upper), False),
        ("model-zero-factor", lambda: rec(beta_cov_chol=np.zeros_like(p["beta_cov_chol"])), False),
        ("model-n_classes-0", lambda: rec(n_classes=np.array(0)), False),
        ("model-n_classes-2**40", lambda: rec(n_classes=np.array(2**40)), False),
        ("model-n_classes-3.0", lambda: rec(n_classes=np.array(3.0)), False),
        ("model-ref-5", lambda: rec(ref_class=np.array(5)), False),
        ("model-label_base-7", lambda: rec(label_base=np.array(7)), False),
        ("model-num_steps-0", lambda: rec(num_steps=np.array(0)), False),
        ("model-w_scale-0", lambda: rec(w_scale=np.array(0.0)), False),
        ("model-counts-negative", lambda: rec(class_counts=np.array([-1, 3, 3])), False),
        ("model-backend-other", lambda: rec(backend="other"), False),
        ("model-mean-int", lambda: rec(beta_mean=np.zeros((2, 3), np.int64)), False),
        ("model-factor-float16", lambda: rec(beta_cov_chol=p["beta_cov_chol"].astype(np.float16)), False),
        ("model-mean-1d", lambda: rec(beta_mean=np.zeros(3, np.float32)), False),
        ("model-dtypes-differ", lambda: rec(beta_mean=p["beta_mean"].astype(np.float64)), False),
        ("model-huge-means", lambda: rec(beta_mean=np.full_like(p["beta_mean"], 3e38)), True),
        ("model-huge-factor", lambda: rec(beta_cov_chol=p["beta_cov_chol"] * 1e38), True),
        ("model-w_loc-1e300", lambda: rec(w_loc=np.array(1e300)), True),
        ("model-missing-beta_mean", lambda: without("beta_mean"), False),
        ("model-missing-label_base", lambda: without("label_base"), False),
        ("model-params-list", lambda: KelvraModel(model_type="kelvra_softmax", params=[1, 2]), False),
        ("model-params-None", lambda: KelvraModel(model_type="kelvra_softmax", params=None), False),
        ("model-None", lambda: None, False),
        ("model-dict", lambda: dict(p), False),
        (
            "model-params-shift-to-nan",
            lambda: ShiftingRecord(p, {**p, "beta_mean": np.full_like(p["beta_mean"], np.nan)}),
            False,
        ),
    ]


class ApiCampaign:
    def __init__(self, rng, tally, module_budget):
        self.rng = rng
        self.tally = tally
        self.module_budget = module_budget
        self.module_compiling = 0
        self.calls = collections.Counter()
        self.outcomes = collections.Counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            self.base = engine.fit(*FIT_DEFAULTS.values())
        self.models = _model_pool(self.base)
        estimator_module = _optional_estimator()
        self.estimator = estimator_module

    def pick(self, pool):
        return pool[self.rng.integers(len(pool))]

    def mutate(self, slots, pools, force_refused=False):
        """Replaces 0 to 3 of `slots` (name -> (label, value, refused)) with draws from `pools`."""
        names = list(pools)
        k = int(self.rng.choice([0, 1, 1, 1, 2, 2, 3]))
        if force_refused:
            k = max(k, 1)
        changed = set()
        for name in self.rng.choice(names, size=min(k, len(names)), replace=False):
            slots[name] = self.pick(pools[name])
            changed.add(name)
        if force_refused and not any(item[2] for item in slots.values()):
            name = names[self.rng.integers(len(names))]
            refusing = [item for item in pools[name] if item[2]]
            while not refusing:
                name = names[self.rng.integers(len(names))]
                refusing = [item for item in pools[name] if item[2]]
            slots[name] = refusing[self.rng.integers(len(refusing))]
            changed.add(name)
        self.mutated = [f"{name}={slots[name][0]}" for name in sorted(changed)]
        return slots

    def run(self, n_calls):
        kinds = [
            "engine.fit",
            "engine.update",
            "engine.predict_proba",
            "engine.predict",
            "engine.predict_samples",
            "engine.precompile",
            "module.fit",
            "module.update",
            "module.predict_proba",
            "module.predict",
            "module.predict_samples",
            "check_softmax_params",
            "estimator",
        ]
        weights = np.array([10, 12, 10, 6, 6, 3, 9, 9, 8, 6, 6, 8, 7], dtype=float)
        if self.estimator is None:
            weights[-1] = 0
        for _ in range(n_calls):
            kind = kinds[self.rng.choice(len(kinds), p=weights / weights.sum())]
            self.calls[kind] += 1
            self.mutated = []
            getattr(self, "call_" + kind.replace(".", "_"))(kind)

    # Each call_* builds its arguments, then hands a thunk and its description to attempt().

    def attempt(self, kind, description, thunk, records_pass_through=False, check_record=False):
        """Runs one call and sorts its outcome; findings are tallied under the values the call changed."""
        start = time.perf_counter()
        suspects = [f"{kind}: {item}" for item in self.mutated] or [f"{kind}: (no value changed)"]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                result = thunk()
            except DOCUMENTED as exc:
                self.outcomes["refused"] += 1
                if not _one_line(exc):
                    first = str(exc).splitlines()[0][:50]
                    self.tally.add("multi_line", f"{description} -> {type(exc).__name__}: {exc}", [f"{kind}: {first}"])
                return
            except Exception as exc:  # what the tally is for
                self.outcomes["refused"] += 1
                if records_pass_through:
                    self.outcomes["module record errors passed through"] += 1
                else:
                    self.tally.add(
                        "undocumented",
                        f"{description} -> {type(exc).__name__}: {exc}",
                        [f"{kind}: {type(exc).__name__}"],
                    )
                return
            finally:
                elapsed = time.perf_counter() - start
                if elapsed > SLOW_CALL_S:
                    self.tally.add("slow", f"{description} took {elapsed:.1f} s")
        self.outcomes["accepted"] += 1
        if result is None:
            return  # the record check answers None when the record is sound
        if not finite_result(result):
            if records_pass_through:
                self.outcomes["module non-finite from a damaged record"] += 1
            else:
                self.tally.add("non_finite", description, suspects, where=kind)
        elif check_record and isinstance(result, KelvraModel):
            try:
                check_softmax_params(result.params)
            except RecordError as exc:
                self.tally.add("invalid_record", f"{description} -> {exc}", suspects)

    def _fit_slots(self, force_refused):
        slots = {
            name: (repr(value) if not isinstance(value, np.ndarray) else name, value, False)
            for name, value in FIT_DEFAULTS.items()
        }
        slots["X"], slots["y"] = ("X(6,2)", X0, False), ("y", Y0, False)
        slots = self.mutate(slots, {"X": X_POOL, "y": Y_POOL, **FIT_PARAM_POOLS}, force_refused)
        # Rows of y follow X when X is a valid table of another length, so that the call goes deeper.
        X = slots["X"][1]
        if isinstance(X, np.ndarray) and X.ndim == 2 and X.shape[0] == 20 and slots["y"][0] == "y":
            slots["y"] = ("y(20)", Y20, False)
        return slots

    @staticmethod
    def _describe(name, slots, extra=""):
        args = ", ".join(f"{key}={label}" for key, (label, _, _) in slots.items())
        return f"{name}({args}{extra})"

    def call_engine_fit(self, kind):
        slots = self._fit_slots(False)
        tol = self.pick(TOL_POOL)
        if tol[1] is not None:
            self.mutated.append(f"tol={tol[0]}")
        values = [value for _, value, _ in slots.values()]
        self.attempt(
            kind,
            self._describe(kind, slots, f", tol={tol[0]}"),
            lambda: engine.fit(*values, tol=tol[1]),
            check_record=True,
        )

    def call_module_fit(self, kind):
        free = self.module_compiling < self.module_budget and self.rng.random() < 0.02
        slots = self._fit_slots(force_refused=not free)
        values = [value for _, value, _ in slots.values()]
        if not any(item[2] for item in slots.values()):
            self.module_compiling += 1
        self.attempt(
            kind,
            self._describe("learning.kelvra_softmax_fit", slots),
            lambda: learning.kelvra_softmax_fit(*values),
            check_record=True,
        )

    def _update_slots(self, force_refused):
        model = self.pick(self.models)
        slots = {"model": (model[0], model[1], not model[2]), "X": ("X(6,2)", X0, False), "y": ("y", Y0, False)}
        slots = self.mutate(
            slots, {"model": [(m[0], m[1], not m[2]) for m in self.models], "X": X_POOL, "y": Y_POOL}, force_refused
        )
        X = slots["X"][1]
        if isinstance(X, np.ndarray) and X.ndim == 2 and X.shape[0] == 20 and slots["y"][0] == "y":
            slots["y"] = ("y(20)", Y20, False)
        self._blame_model(slots)
        return slots

    def _blame_model(self, slots):
        # The record is drawn for every call, so it is a suspect whenever it is not the fitted one.
        label = f"model={slots['model'][0]}"
        if slots["model"][0] != "model" and label not in self.mutated:
            self.mutated.append(label)

    def call_engine_update(self, kind):
        slots = self._update_slots(False)
        rule, tol = self.pick(RULE_POOL), self.pick(TOL_POOL)
        self.mutated += [f"{name}={item[0]}" for name, item in (("rule", rule), ("tol", tol)) if item[1] is not None]
        make, X, y = (value for _, value, _ in slots.values())
        self.attempt(
            kind,
            self._describe(kind, slots, f", rule={rule[0]}, tol={tol[0]}"),
            lambda: engine.update(make(), X, y, rule=rule[1], tol=tol[1]),
            check_record=True,
        )

    def call_module_update(self, kind):
        free = self.module_compiling < self.module_budget and self.rng.random() < 0.02
        slots = self._update_slots(force_refused=not free)
        # The modules do not check records: a damaged one in a model slot is not a refusal.
        damaged = slots["model"][2]
        if not free and not (slots["X"][2] or slots["y"][2]):
            slots["X"] = X_NAN
        if not (slots["X"][2] or slots["y"][2]):
            self.module_compiling += 1
        make, X, y = (value for _, value, _ in slots.values())
        self.attempt(
            kind,
            self._describe("learning.kelvra_softmax_update", slots),
            lambda: learning.kelvra_softmax_update(make(), X, y),
            records_pass_through=damaged,
            check_record=True,
        )

    def _prediction_slots(self, force_refused):
        model = self.pick(self.models)
        slots = {
            "model": (model[0], model[1], not model[2]),
            "X": ("X(6,2)", X0, False),
            "S": ("2", 2, False),
            "seed": ("0", 0, False),
        }
        slots = self.mutate(
            slots,
            {"model": [(m[0], m[1], not m[2]) for m in self.models], "X": X_POOL, "S": S_POOL, "seed": SEED_POOL},
            force_refused,
        )
        self._blame_model(slots)
        return slots

    def _engine_prediction(self, kind):
        slots = self._prediction_slots(False)
        make, X, S, seed = (value for _, value, _ in slots.values())
        fn = getattr(engine, kind.split(".")[1])
        self.attempt(kind, self._describe(kind, slots), lambda: fn(make(), X, S, seed))

    call_engine_predict_proba = call_engine_predict = call_engine_predict_samples = _engine_prediction

    def _module_prediction(self, kind):
        free = self.module_compiling < self.module_budget and self.rng.random() < 0.03
        slots = self._prediction_slots(force_refused=not free)
        damaged = slots["model"][2]
        if not free and not (slots["X"][2] or slots["S"][2] or slots["seed"][2]):
            slots["S"] = ("0", 0, True)
        if not (slots["X"][2] or slots["S"][2] or slots["seed"][2]):
            self.module_compiling += 1
        make, X, S, seed = (value for _, value, _ in slots.values())
        fn = getattr(inference, "kelvra_softmax_" + kind.split(".")[1])
        self.attempt(
            kind, self._describe(fn.__name__, slots), lambda: fn(make(), X, S, seed), records_pass_through=damaged
        )

    call_module_predict_proba = call_module_predict = call_module_predict_samples = _module_prediction

    def call_engine_precompile(self, kind):
        # Always with one refused value: a valid request compiles for seconds.
        pools = {
            "n_features": [
                ("2", 2, False),
                ("-1", -1, True),
                ("2**63", 2**63, True),
                ("None", None, True),
                ("inf", float("inf"), True),
            ],
            "n_classes": [("3", 3, False), ("1", 1, True), ("10**12", 10**12, True), ("'3'", "3", True)],
            "fit_trials": [("None", None, False), ("0", 0, True), ("2**31", 2**31, True), ("True", True, True)],
            "update_trials": [("None", None, False), ("-5", -5, True), ("2.0", 2.0, True)],
            "num_posterior_samples": [("None", None, False), ("0", 0, True), ("2**63", 2**63, True)],
            "rule": [("None", None, False), ("'x'", "x", True)],
            "tol": [("None", None, False), ("nan", float("nan"), True), ("'a'", "a", True)],
        }
        slots = {name: pool[0] for name, pool in pools.items()}
        slots = self.mutate(slots, pools, force_refused=True)
        kwargs = {name: value for name, (_, value, _) in slots.items()}
        self.attempt(kind, self._describe(kind, slots), lambda: engine.precompile(**kwargs))

    def call_check_softmax_params(self, kind):
        model = self.pick(self.models)[1]()
        params = getattr(model, "params", model)
        if isinstance(params, dict):
            params = dict(params)
            for key in self.rng.choice(sorted(params), size=int(self.rng.integers(0, 3)), replace=False):
                params[key] = self.pick(X_POOL + Y_POOL + INT_HOSTILE + FLOAT_HOSTILE)[1]
        self.attempt(kind, f"check_softmax_params(<{type(params).__name__}>)", lambda: check_softmax_params(params))

    def call_estimator(self, kind):
        cls = self.estimator
        settings = {}
        for name in self.rng.choice(
            [
                "w_loc",
                "w_scale",
                "b_loc",
                "b_scale",
                "learning_rate",
                "num_steps",
                "num_posterior_samples",
                "random_state",
            ],
            size=int(self.rng.integers(1, 3)),
            replace=False,
        ):
            pool = FIT_PARAM_POOLS.get(name, INT_HOSTILE if name != "random_state" else SEED_POOL)
            settings[name] = self.pick(pool)
        X, y = self.pick(X_POOL), self.pick(Y_POOL)
        # The estimator fits through the learning module: only inputs refused before JAX, apart from the
        # shared budget of unrestricted module calls. scikit-learn reshapes a column of labels, so only
        # refusals of X and of the settings count. Its message for NaN features spans lines: X-inf is the
        # refusal made here, lest one finding be counted a thousand times.
        refused_first = X[2] or any(item[2] for item in settings.values())
        if not refused_first:
            if self.module_compiling >= self.module_budget or self.rng.random() > 0.02:
                X = X_INF
            else:
                self.module_compiling += 1
        args = {name: value for name, (_, value, _) in settings.items()}
        description = (
            f"KelvraSoftmaxClassifier({', '.join(f'{k}={v[0]}' for k, v in settings.items())}).fit({X[0]}, {y[0]})"
        )
        self.attempt(kind, description, lambda: cls(**args).fit(X[1], y[1]))


def _optional_estimator():
    try:
        from kelvra_bci.models.kelvra_softmax.estimator import KelvraSoftmaxClassifier
    except ImportError:
        return None
    return KelvraSoftmaxClassifier


# ---------------------------------------------------------------- model files


def _npy(array):
    return npy_bytes(array, allow_pickle=True)


def _same_params(a, b):
    if list(a) != list(b):
        return False
    for key in a:
        x, y = np.asarray(a[key]), np.asarray(b[key])
        if x.shape != y.shape or x.dtype.kind != y.dtype.kind:
            return False
        if x.dtype.kind == "O" or x.dtype.kind == "U":
            if x.tolist() != y.tolist():
                return False
        elif not np.array_equal(x, y, equal_nan=True):
            return False
    return True


class FileCampaign:
    def __init__(self, rng, tally, folder, models):
        self.rng = rng
        self.tally = tally
        self.folder = folder
        self.loads = collections.Counter()
        self.outcomes = collections.Counter()
        self.bases = []
        for i, model in enumerate(models):
            path = os.path.join(folder, f"base{i}.npz")
            model.save(path)
            with open(path, "rb") as fh:
                data = fh.read()
            self.bases.append((f"base{i}", data, model.params, zip_members(data)))
        self.counter = 0

    def _load(self, data):
        self.counter += 1
        path = os.path.join(self.folder, f"f{self.counter % 2}.npz")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
        with open(path, "wb") as fh:
            fh.write(data)
        return KelvraModel.load(path)

    def run(self, n_loads):
        plan = [("truncated", 0.2), ("bit-flipped", 0.4), ("overwritten", 0.1), ("crafted", 0.3)]
        kinds = [k for k, _ in plan]
        weights = np.array([w for _, w in plan])
        for _ in range(n_loads):
            kind = kinds[self.rng.choice(len(kinds), p=weights)]
            name, data, params, members = self.bases[self.rng.integers(len(self.bases))]
            self.loads[kind] += 1
            if kind == "crafted":
                label, mutated, written = self.craft(members)
                self.check(f"{name} {label}", mutated, data, params, written, crafted=True)
            else:
                label, mutated = getattr(self, kind.replace("-", "_"))(data)
                self.check(f"{name} {label}", mutated, data, params, None)

    def truncated(self, data):
        end = int(self.rng.integers(0, len(data)))
        return f"truncated at {end} of {len(data)} bytes", data[:end]

    def bit_flipped(self, data):
        out = bytearray(data)
        # Half the flips land in the last 400 bytes, where the zip directory lies.
        spots = []
        for _ in range(int(self.rng.integers(1, 5))):
            lo = max(len(out) - 400, 0) if self.rng.random() < 0.5 else 0
            at, bit = int(self.rng.integers(lo, len(out))), int(self.rng.integers(8))
            out[at] ^= 1 << bit
            spots.append(f"{at}:{bit}")
        return f"bits flipped at {' '.join(spots)}", bytes(out)

    def overwritten(self, data):
        out = bytearray(data)
        at = int(self.rng.integers(len(out)))
        span = int(self.rng.integers(1, 64))
        how = self.rng.integers(4)
        if how == 0:
            out[at : at + span] = bytes(span)
            what = "zeroed"
        elif how == 1:
            out[at : at + span] = self.rng.bytes(span)
            what = "randomised"
        elif how == 2:
            out[at:at] = self.rng.bytes(span)
            what = "inserted before"
        else:
            del out[at : at + span]
            what = "deleted"
        return f"{span} bytes {what} at {at}", bytes(out)

    def craft(self, members):
        """Returns (label, archive bytes, params written or None when the archive is not a valid model)."""
        manifest = json.loads(str(np.load(io.BytesIO(dict(members)["__kelvra_model__.npy"]))))
        arrays = {
            name[:-4]: np.load(io.BytesIO(raw), allow_pickle=False)
            for name, raw in members
            if name != "__kelvra_model__.npy"
        }
        for key in manifest["text_keys"]:
            arrays[key] = np.array(str(arrays[key][()]), dtype=object)

        def archive(arrs, man=manifest, extra=(), compression=zipfile.ZIP_STORED, order=None):
            items = [("__kelvra_model__.npy", _npy(np.array(json.dumps(man))))]
            for key in order or arrs:
                value = arrs[key]
                if value.dtype == object and value.ndim == 0 and isinstance(value.item(), str):
                    value = np.array(value.item())
                items.append((f"{key}.npy", _npy(value)))
            return zip_bytes(items + list(extra), compression)

        def changed(label, key, value):
            new = {**arrays, key: value}
            try:
                # The loader hands back native byte order; the record is judged as it will be read.
                check_softmax_params({k: v.astype(v.dtype.newbyteorder("=")) for k, v in new.items()})
                valid = True
            except (RecordError, ValueError):
                valid = False
            return label, archive(new), new if valid else None

        mean, chol = arrays["beta_mean"], arrays["beta_cov_chol"]
        upper = chol.copy()
        upper[:, 0, -1] = 0.5
        choices = [
            lambda: changed("means NaN", "beta_mean", np.full_like(mean, np.nan)),
            lambda: changed("means 3e38", "beta_mean", np.full_like(mean, 3e38)),
            lambda: changed("factor inf", "beta_cov_chol", np.full_like(chol, np.inf)),
            lambda: changed("factor upper-triangular", "beta_cov_chol", upper),
            lambda: changed("factor x1e38", "beta_cov_chol", chol * 1e38),
            lambda: changed("factor float16", "beta_cov_chol", chol.astype(np.float16)),
            lambda: changed("factor big-endian", "beta_cov_chol", chol.astype(chol.dtype.newbyteorder(">"))),
            lambda: changed("means Fortran order", "beta_mean", np.asfortranarray(mean)),
            lambda: changed(
                "means of another width", "beta_mean", np.zeros((mean.shape[0], mean.shape[1] + 1), mean.dtype)
            ),
            lambda: changed("non_ref [1,7]", "non_ref_classes", np.array([1, 7] + [9] * (len(mean) - 2))),
            lambda: changed("non_ref repeated", "non_ref_classes", np.full(len(mean), 1)),
            lambda: changed("n_classes 0", "n_classes", np.array(0)),
            lambda: changed("n_classes 2**40", "n_classes", np.array(2**40)),
            lambda: changed("n_classes int32", "n_classes", arrays["n_classes"].astype(np.int32)),
            lambda: changed("n_classes float", "n_classes", arrays["n_classes"].astype(np.float64)),
            lambda: changed("label_base 7", "label_base", np.array(7)),
            lambda: changed("ref_class -1", "ref_class", np.array(-1)),
            lambda: changed("w_scale 0", "w_scale", np.array(0.0)),
            lambda: changed("w_loc 1e300", "w_loc", np.array(1e300)),
            lambda: changed("w_loc 2.0", "w_loc", np.array(2.0)),
            lambda: changed("learning_rate 2", "learning_rate", np.array(2.0)),
            lambda: changed("num_steps 2**40", "num_steps", np.array(2**40)),
            lambda: changed("rng_seed uint64 max", "rng_seed", np.array(2**64 - 1, dtype=np.uint64)),
            lambda: changed("class_counts negative", "class_counts", -arrays["class_counts"] - 1),
            lambda: changed("backend other", "backend", np.array("other", dtype=object)),
            lambda: ("pickled member", archive({**arrays, "beta_mean": np.array([{"a": 1}], dtype=object)}), None),
            lambda: ("deflated members", archive(arrays, compression=zipfile.ZIP_DEFLATED), arrays),
            lambda: ("members in another order", archive(arrays, order=list(arrays)[::-1]), arrays),
            lambda: ("member missing", archive({k: v for k, v in arrays.items() if k != "beta_mean"}), None),
            lambda: ("member extra", archive(arrays, extra=[("extra.npy", _npy(np.zeros(3)))]), None),
            lambda: ("member duplicated", archive(arrays, extra=[("beta_mean.npy", _npy(mean * 2))]), None),
            lambda: ("member not .npy", archive(arrays, extra=[("notes.txt", b"hello")]), None),
            lambda: ("manifest version 2", archive(arrays, man={**manifest, "version": 2}), None),
            lambda: ("manifest format other", archive(arrays, man={**manifest, "format": "npz"}), None),
            lambda: ("manifest keys short", archive(arrays, man={**manifest, "keys": manifest["keys"][:-1]}), None),
            lambda: (
                "manifest key unknown",
                archive(arrays, man={**manifest, "keys": [*manifest["keys"], "zz"]}),
                None,
            ),
            lambda: ("manifest text_keys wrong", archive(arrays, man={**manifest, "text_keys": ["beta_mean"]}), None),
            lambda: ("manifest extra field", archive(arrays, man={**manifest, "x": 1}), None),
            lambda: (
                "manifest not JSON",
                zip_bytes(
                    [
                        ("__kelvra_model__.npy", _npy(np.array("{not json"))),
                        *(
                            (f"{k}.npy", _npy(np.asarray(v, dtype=None if v.dtype != object else str)))
                            for k, v in arrays.items()
                        ),
                    ]
                ),
                None,
            ),
            lambda: ("header shape lies", self._header_lie(members), None),
        ]
        return choices[self.rng.integers(len(choices))]()

    def _header_lie(self, members):
        out = []
        for name, raw in members:
            if name == "beta_mean.npy":
                raw = raw.replace(b"'shape': (", b"'shape': (9", 1)
            out.append((name, raw))
        return zip_bytes(out)

    def check(self, label, mutated, original, params, written, crafted=False):
        """Loads a mutated file and sorts the outcome; `written` holds the params of a valid crafted file."""
        try:
            model = self._load(mutated)
        except ModelFileError as exc:
            self.outcomes["refused"] += 1
            if not _one_line(exc):
                self.tally.add("multi_line", f"{label} -> {exc}")
            return
        except Exception as exc:
            self.outcomes["refused"] += 1
            self.tally.add(
                "undocumented", f"load({label}) -> {type(exc).__name__}: {exc}", [f"load: {type(exc).__name__}"]
            )
            return
        self.outcomes["loaded"] += 1
        if crafted and written is None:
            self.tally.add("damaged_accepted", f"{label}: an archive that is not a valid model loaded")
            return
        expected = written if crafted else params
        differs = mutated != original
        if model.model_type != "kelvra_softmax":
            self.tally.add("damaged_accepted", f"{label}: loaded as model type {model.model_type!r}")
            return
        try:
            check_softmax_params(model.params)
            sound = True
        except RecordError:
            sound = False
        same = _same_params(model.params, expected)
        if differs and (not sound or not same):
            self.tally.add(
                "damaged_accepted",
                f"{label}: loaded params {'fail the record check' if not sound else 'differ from those written'}",
            )
            return
        if differs and not crafted:
            self.outcomes["loaded unchanged after damage to unread bytes"] += 1
        # What a loaded model gives: the engine checks it again and must answer in finite numbers.
        width = np.asarray(model.params["beta_mean"]).shape[1] - 1
        X = np.resize(X0, (6, width)) if width != 2 else X0
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                proba = engine.predict_proba(model, X, 2, 0)
            except DOCUMENTED:
                return
            except Exception as exc:
                self.tally.add(
                    "undocumented",
                    f"engine.predict_proba(load({label})) -> {type(exc).__name__}: {exc}",
                    [f"predict_proba of a loaded file: {type(exc).__name__}"],
                )
                return
        if not np.isfinite(proba).all():
            self.tally.add(
                "non_finite",
                f"engine.predict_proba(load({label}), X, 2, 0)",
                [f"file: {label.split(' ', 1)[1]}"],
                where="engine.predict_proba of a loaded file",
            )


def zip_bombs(folder, base_members):
    """Times and measures the refusal of archives that would inflate far beyond their size."""
    rows = []
    manifest = dict(base_members)["__kelvra_model__.npy"]
    others = [(n, r) for n, r in base_members if n not in ("__kelvra_model__.npy", "beta_cov_chol.npy")]
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {"descr": "<f8", "fortran_order": False, "shape": (1, 5120, 5120)})
    honest = header.getvalue() + bytes(5120 * 5120 * 8)
    bombs = {
        # 200 MiB of zeros that declare what they hold: inflated, then refused by the record check.
        "200 MiB honest member": zip_bytes(
            [("__kelvra_model__.npy", manifest), *others, ("beta_cov_chol.npy", honest)], zipfile.ZIP_DEFLATED
        ),
        # The same zeros under a declared size of 1 KiB: the reader stops at the declared size.
        "1 GiB under a 1 KiB declaration": _lying_zip(manifest, others, 1 << 30, 1 << 10),
        # A declared size beyond the file bound: refused before anything is inflated.
        "4 GiB declared": _lying_zip(manifest, others, 64 << 20, (4 << 30) - 1),
        "4000 members": zip_bytes([("__kelvra_model__.npy", manifest)] + [(f"m{i}.npy", b"") for i in range(4000)]),
    }
    for name, data in bombs.items():
        path = os.path.join(folder, "bomb.npz")
        with open(path, "wb") as fh:
            fh.write(data)
        tracemalloc.start()
        start = time.perf_counter()
        try:
            KelvraModel.load(path)
            outcome = "loaded"
        except ModelFileError as exc:
            outcome = f"refused: {str(exc).split(': ', 1)[-1][:70]}"
        except Exception as exc:
            outcome = f"{type(exc).__name__}: {exc}"[:80]
        elapsed = time.perf_counter() - start
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        rows.append((name, len(data), elapsed, peak, outcome))
    return rows


def _lying_zip(manifest, others, real_size, declared_size):
    """An archive whose beta_cov_chol member inflates to `real_size` zero bytes but declares `declared_size`."""
    body = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = bytes(1 << 20)
    compressed = b"".join(body.compress(chunk) for _ in range(real_size >> 20)) + body.flush()
    crc = 0  # wrong on purpose for the larger size: nothing may trust it
    members = zip_members(zip_bytes([("__kelvra_model__.npy", manifest), *others]))
    entries = [(n, r, zipfile.ZIP_STORED, len(r), zlib.crc32(r)) for n, r in members]
    entries.append(("beta_cov_chol.npy", compressed, zipfile.ZIP_DEFLATED, min(declared_size, 0xFFFFFFFF), crc))
    return raw_zip(entries)


# ---------------------------------------------------------------- command lines


class CliCampaign:
    def __init__(self, rng, tally, folder, file_campaign):
        self.rng = rng
        self.tally = tally
        self.folder = folder
        self.runs = collections.Counter()
        self.outcomes = collections.Counter()
        d = folder
        rng_data = np.random.default_rng(99)
        Xc = rng_data.normal(size=(12, 2))
        yc = np.arange(12) % 3

        def save(name, array):
            np.save(os.path.join(d, name), array)
            return os.path.join(d, name)

        def text(name, content):
            with open(os.path.join(d, name), "w") as fh:
                fh.write(content)
            return os.path.join(d, name)

        def csv_text(cell=None, value=None):
            """The trials as CSV with a header; `cell` (row, column) replaced by the text `value`."""
            rows = [[f"{a:.17g}", f"{b:.17g}", str(c)] for (a, b), c in zip(Xc, yc, strict=True)]
            if cell is not None:
                rows[cell[0]][cell[1]] = value
            return "a,b,label\n" + "\n".join(",".join(row) for row in rows) + "\n"

        good_csv = csv_text()
        # (label, path, kind): "good" must succeed soundly, "bad" must be refused, "hard" either.
        self.features = [
            ("X.npy", save("X.npy", Xc), "good"),
            ("train.csv", text("train.csv", good_csv), "good"),
            ("Xy.npz", self._npz("Xy.npz", X=Xc, y=yc), "good"),
            ("X-nan.npy", save("X-nan.npy", _with(Xc, 3, np.nan)), "bad"),
            ("X-inf.csv", text("X-inf.csv", csv_text((1, 0), "inf")), "bad"),
            ("X-1e400.csv", text("X-1e400.csv", csv_text((1, 0), "1e400")), "bad"),
            ("X-1e300.npy", save("X-1e300.npy", Xc * 1e300), "bad"),
            ("X-offset-1e5.npy", save("X-offset-1e5.npy", Xc + 1e5), "hard"),
            ("X-1e39.npy", save("X-1e39.npy", np.full((12, 2), 1e39)), "hard"),
            ("X-1d.npy", save("X-1d.npy", Xc[:, 0]), "bad"),
            ("X-strings.npy", save("X-strings.npy", np.array([["a", "b"]] * 12)), "bad"),
            ("X-object.npy", self._pickled("X-object.npy"), "bad"),
            ("X-empty.npy", save("X-empty.npy", np.zeros((0, 2))), "bad"),
            ("X-wide.npy", save("X-wide.npy", np.ones((12, 3))), "hard"),
            ("empty.csv", text("empty.csv", ""), "bad"),
            ("header-only.csv", text("header-only.csv", "a,b,label\n"), "bad"),
            ("ragged.csv", text("ragged.csv", "a,b,label\n1,2,0\n3,1\n"), "bad"),
            ("word.csv", text("word.csv", csv_text((2, 1), "hello")), "bad"),
            ("binary.csv", self._binary("binary.csv"), "bad"),
            ("long-field.csv", text("long-field.csv", "a,b,label\n" + "1" * 200_000 + ",1,0\n"), "bad"),
            ("truncated.npy", self._truncated("truncated.npy", save("t.npy", Xc)), "bad"),
            ("missing.npy", os.path.join(d, "missing.npy"), "bad"),
            ("folder", d, "bad"),
            ("X.txt", text("X.txt", "1,2\n"), "bad"),
        ]
        self.labels = [
            ("y.npy", save("y.npy", yc), "good"),
            ("y-huge.npy", save("y-huge.npy", _with(yc, 4, 10**9)), "bad"),
            ("y-int64max.npy", save("y-int64max.npy", _with(yc, 4, 2**63 - 1)), "bad"),
            ("y-negative.npy", save("y-negative.npy", -yc), "bad"),
            ("y-fraction.npy", save("y-fraction.npy", yc + 0.5), "bad"),
            ("y-nan.npy", save("y-nan.npy", _with(yc.astype(float), 2, np.nan)), "bad"),
            ("y-1e30.npy", save("y-1e30.npy", _with(yc.astype(float), 2, 1e30)), "bad"),
            ("y-short.npy", save("y-short.npy", yc[:5]), "bad"),
            ("y-2d.npy", save("y-2d.npy", np.ones((12, 2))), "bad"),
            ("y-words.csv", text("y-words.csv", "\n".join(["a"] * 12) + "\n"), "bad"),
        ]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            base = engine.fit(Xc, yc, 3, 0, 0.0, 1.0, 0.0, 1.0, 0, 0.5, 3)
        base.save(os.path.join(d, "model.npz"))
        with open(os.path.join(d, "model.npz"), "rb") as fh:
            good = fh.read()
        crafted = {
            "model-nan.npz": {**base.params, "beta_mean": np.full_like(base.params["beta_mean"], np.nan)},
            "model-huge-means.npz": {**base.params, "beta_mean": np.full_like(base.params["beta_mean"], 3e38)},
        }
        self.models = [("model.npz", os.path.join(d, "model.npz"), "good")]
        for name, params in crafted.items():
            path = os.path.join(d, name)
            KelvraModel(model_type="kelvra_softmax", params=params).save(path)
            self.models.append((name, path, "bad" if "nan" in name else "hard"))
        self.models += [
            ("model-truncated.npz", self._bytes("model-truncated.npz", good[: len(good) // 3]), "bad"),
            (
                "model-flipped.npz",
                self._bytes("model-flipped.npz", good[:-30] + bytes([good[-30] ^ 4]) + good[-29:]),
                "bad" if self._refused("model-flipped.npz") else "good",
            ),
            ("not-a-model.npz", self._npz("not-a-model.npz", X=Xc), "bad"),
            ("X.npy-as-model", os.path.join(d, "X.npy"), "bad"),
            ("missing.npz", os.path.join(d, "missing.npz"), "bad"),
            ("folder", d, "bad"),
        ]
        self.counter = 0

    def _refused(self, name):
        try:
            KelvraModel.load(os.path.join(self.folder, name))
        except ModelFileError:
            return True
        return False

    def _npz(self, name, **arrays):
        path = os.path.join(self.folder, name)
        np.savez(path, **arrays)
        return path

    def _pickled(self, name):
        path = os.path.join(self.folder, name)
        np.save(path, np.array([[object(), 1]] * 12, dtype=object), allow_pickle=True)
        return path

    def _binary(self, name):
        return self._bytes(name, bytes(range(256)) * 8)

    def _truncated(self, name, source):
        with open(source, "rb") as fh:
            return self._bytes(name, fh.read()[:100])

    def _bytes(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as fh:
            fh.write(data)
        return path

    def pick(self, pool):
        return pool[self.rng.integers(len(pool))]

    def pick_half_good(self, pool):
        good = [item for item in pool if item[-1] == "good"]
        return self.pick(good if self.rng.random() < 0.5 else [item for item in pool if item[-1] != "good"])

    def option(self, choices):
        """One (argv items, kind) from [(flag, [(value, kind), ...]), ...]."""
        flag, values = choices[self.rng.integers(len(choices))]
        value, kind = values[self.rng.integers(len(values))]
        return ([flag] if value is None else [flag, value]), kind

    def make_case(self):
        """(argv, kind, output path or None, what the output is)."""
        self.counter += 1
        out_model = os.path.join(self.folder, f"out{self.counter}.npz")
        out_csv = os.path.join(self.folder, f"out{self.counter}.csv")
        command = self.rng.choice(["fit", "fit", "predict", "predict", "update", "info", "junk"])
        kinds, argv = [], [command]
        if command == "junk":
            tokens = [
                "--bogus",
                "fit",
                "-o",
                "--w-scale",
                "nan",
                "predict",
                "\x00",
                "",
                "-",
                "update",
                "--tol",
                "1e999",
                "info",
                "ünïcode",
                "--samples",
                "-1",
            ]
            if self.rng.random() < 0.15:
                return self.pick([["--help"], ["--version"], ["fit", "--help"], ["predict", "-h"]]), "good", None, None
            argv = [self.pick(tokens) for _ in range(int(self.rng.integers(1, 5)))]
            return argv, "bad", None, None
        # Half the files are good ones, so that runs get past the first check often enough.
        if command in ("predict", "update", "info"):
            name, path, kind = self.pick_half_good(self.models)
            argv.append(path)
            kinds.append(kind)
        if command != "info":
            name, path, kind = self.pick_half_good(self.features)
            argv.append(path)
            kinds.append(kind)
            csv_with_labels = name in (
                "train.csv",
                "X-inf.csv",
                "X-1e400.csv",
                "word.csv",
                "ragged.csv",
                "header-only.csv",
                "long-field.csv",
            )
        if command in ("fit", "update"):
            if csv_with_labels and self.rng.random() < 0.8:
                argv += ["--label-column", "label"]
            elif name == "Xy.npz" and self.rng.random() < 0.8:
                argv += ["--labels-key", "y"]
            else:
                _, lpath, lkind = self.pick_half_good(self.labels)
                argv += ["--labels", lpath]
                kinds.append(lkind)
                if csv_with_labels:
                    # The label column then reads as one more feature: a fit takes it,
                    # an update of a model with fewer features rightly refuses it.
                    kinds.append("hard")
        elif command == "predict" and csv_with_labels:
            argv += ["--label-column", "label"]
        flags = set()
        for _ in range(int(self.rng.integers(0, 3))):
            extra, kind = self.option(self.options(command))
            if extra[0] in flags:
                continue  # a repeated option: the last one wins, which would hide the first
            flags.add(extra[0])
            argv += extra
            kinds.append(kind)
        if {"--proba", "--samples"} <= flags:
            kinds.append("bad")  # the two exclude each other
        output, what = None, None
        if command in ("fit", "update"):
            argv += ["-o", out_model]
            output, what = out_model, "model"
        elif command == "predict":
            argv += ["-o", out_csv]
            output, what = out_csv, "table"
        kind = "bad" if "bad" in kinds else "hard" if "hard" in kinds else "good"
        return argv, kind, output, what

    @staticmethod
    def options(command):
        nums = [
            ("nan", "bad"),
            ("inf", "bad"),
            ("-1", "bad"),
            ("0", "bad"),
            ("1e-300", "bad"),
            ("1e300", "bad"),
            ("abc", "bad"),
            ("", "bad"),
            ("0.5", "good"),
            ("2", "good"),
        ]
        if command == "fit":
            return [
                ("--w-scale", [*nums, ("1e-19", "hard")]),
                ("--b-scale", nums),
                ("--w-loc", [("1e300", "hard"), ("nan", "bad"), ("-2", "good"), ("3e38", "hard")]),
                ("--learning-rate", [("0", "bad"), ("1.5", "bad"), ("0.3", "good"), ("1", "good")]),
                ("--num-steps", [("0", "bad"), (str(2**31), "bad"), ("-3", "bad"), ("2", "good"), ("x", "bad")]),
                ("--seed", [(str(2**63), "bad"), (str(-(2**63)), "good"), ("1.5", "bad"), ("7", "good")]),
                ("--n-classes", [("1", "bad"), ("3", "good"), ("5", "good"), (str(10**12), "bad"), ("2", "bad")]),
                ("--label-base", [("0", "good"), ("2", "bad"), ("1", "bad")]),
                ("--tol", [("-1", "bad"), ("nan", "bad"), ("1e-4", "good")]),
                ("--float64", [(None, "good")]),
                ("--delimiter", [(";", "hard"), ("ab", "bad"), ('"', "bad")]),
            ]
        if command == "predict":
            return [
                ("--draws", [("0", "bad"), (str(2**31), "bad"), ("1", "good"), ("7", "good"), (str(10**9), "bad")]),
                ("--samples", [("0", "bad"), ("3", "good"), (str(2**31 - 1), "bad")]),
                ("--seed", [(str(2**64), "bad"), ("-5", "good")]),
                ("--proba", [(None, "good")]),
            ]
        if command == "update":
            return [
                ("--rule", [("once", "good"), ("resweep", "good"), ("twice", "bad")]),
                ("--tol", [("0", "bad"), ("1e-3", "good")]),
                ("--learning-rate", [("nan", "bad"), ("0.9", "good")]),
                ("--num-steps", [("0", "bad"), ("4", "good")]),
            ]
        return [("--bogus", [(None, "bad")])]

    def run(self, n_runs, n_subprocess):
        subprocess_at = set(self.rng.choice(n_runs, size=min(n_subprocess, n_runs), replace=False).tolist())
        for i in range(n_runs):
            argv, kind, output, what = self.make_case()
            where = "subprocess" if i in subprocess_at else "in-process"
            self.runs[where] += 1
            if where == "subprocess":
                status, err = self.run_subprocess(argv)
            else:
                status, err = self.run_in_process(argv)
            self.judge(argv, kind, output, what, where, status, err)

    def run_in_process(self, argv):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                status = cli.main(["--no-compile-cache", *argv])
            except SystemExit as exc:
                status = exc.code
            except BaseException as exc:  # an exception out of main() is what the tally is for
                err.write(f"Traceback (escaped main): {type(exc).__name__}: {exc}\n")
                status = 1
        return status, err.getvalue()

    def run_subprocess(self, argv):
        argv = [a.replace("\x00", "") for a in argv]  # a NUL cannot travel in an argument vector
        try:
            done = subprocess.run(
                [sys.executable, "-m", "kelvra_bci", "--no-compile-cache", *argv],
                capture_output=True,
                text=True,
                timeout=180,
                env={**os.environ, "JAX_PLATFORMS": "cpu"},
            )
        except subprocess.TimeoutExpired:
            return "timeout", ""
        return done.returncode, done.stderr

    def judge(self, argv, kind, output, what, where, status, err):
        shown = "kelvra-softmax " + " ".join(os.path.basename(a) if os.sep in a else a or repr(a) for a in argv)
        if status == "timeout" or (isinstance(status, int) and (status < 0 or status in (134, 137, 139))):
            self.tally.add("crash", f"{where}: {shown} -> {status}")
            return
        if "Traceback" in err:
            self.tally.add("traceback", f"{where}: {shown} -> {err.strip().splitlines()[-1]}")
        self.outcomes[f"exit {status}"] += 1
        if status != 0:
            lines = err.strip().splitlines()
            one_line = (len(lines) == 1 and status == 1) or (
                status == 2 and [line for line in lines if "error:" in line] == lines[-1:]
            )
            if not one_line:
                self.tally.add("multi_line", f"{where}: {shown} -> {err.strip()[-200:]}")
            if kind == "good":
                self.tally.add("good_refused", f"{where}: {shown} -> {lines[-1] if lines else ''}")
            return
        if kind == "bad":
            self.tally.add("cli_exit0_bad", f"{where}: {shown}")
            return
        problem = self.output_problem(output, what)
        if problem:
            self.tally.add("cli_unsound", f"{where}: {shown} -> {problem}")

    @staticmethod
    def output_problem(output, what):
        if output is None:
            return None
        if not os.path.exists(output):
            return "no output written"
        if what == "model":
            try:
                model = KelvraModel.load(output)
            except ModelFileError as exc:
                return f"the model written does not load: {str(exc).split(': ', 1)[-1]}"
            return None if finite_result(model) else "the model written is not finite"
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            table = np.genfromtxt(output, delimiter=",", skip_header=1)
        return None if np.isfinite(table).all() else "the table written holds NaN or infinity"


# ---------------------------------------------------------------- memories, forks, threads, simulators

MEMORY_LIMIT_S = 600.0
FORK_LIMIT_S = 60.0
_MISSING = object()


def _set(params, key, index, value):
    out = np.array(params[key], copy=True)
    out[index] = value
    return out


def _scaled(key, factor):
    return lambda p: np.asarray(p[key]) * factor


def _asymmetric_by(p, amount):
    out = np.array(p["anchor_hessian"], copy=True)
    out[0, -1] += amount
    return out


# (label, key, make(params) -> value or _MISSING, refused): True says the value must be refused; False
# marks sound memories (a stale count, a larger capacity) that an update may use or replace; None marks
# values that may be used or refused in one line (features too large to compute with, say).
MEMORY_CASES = [
    ("memory_size 2**62", "memory_size", lambda p: np.int64(2**62), True),
    ("memory_size 2**64-1", "memory_size", lambda p: np.uint64(2**64 - 1), True),
    ("memory_size 10**9", "memory_size", lambda p: np.int64(10**9), True),
    ("memory_size 65537", "memory_size", lambda p: np.int64(65537), True),
    ("memory_size 0", "memory_size", lambda p: np.int64(0), True),
    ("memory_size -1", "memory_size", lambda p: np.int64(-1), True),
    ("memory_size 3.5", "memory_size", lambda p: np.float64(3.5), True),
    ("memory_size below the trials", "memory_size", lambda p: np.int64(1), True),
    ("memory_size 65536", "memory_size", lambda p: np.int64(65536), False),
    ("memory_trials -1", "memory_trials", lambda p: np.int64(-1), True),
    ("memory_trials stale", "memory_trials", lambda p: np.asarray(p["memory_trials"]) - 1, False),
    ("memory_trials 1.5", "memory_trials", lambda p: np.float64(1.5), True),
    ("memory_y 99", "memory_y", lambda p: _set(p, "memory_y", 0, 99), True),
    ("memory_y -1", "memory_y", lambda p: _set(p, "memory_y", 0, -1), True),
    ("memory_y K", "memory_y", lambda p: _set(p, "memory_y", 0, int(p["n_classes"])), True),
    ("memory_y fractions", "memory_y", lambda p: np.asarray(p["memory_y"]) + 0.5, True),
    ("memory_y NaN", "memory_y", lambda p: _set(p, "memory_y", 0, 0).astype(float) * np.nan, True),
    ("memory_y short", "memory_y", lambda p: np.asarray(p["memory_y"])[:-1], True),
    ("memory_X NaN", "memory_X", lambda p: _set(p, "memory_X", (0, 0), np.nan), True),
    ("memory_X inf", "memory_X", lambda p: _set(p, "memory_X", (0, 0), np.inf), True),
    # Features as large as a float64 record's X may be: refused in float32, computed with in float64.
    ("memory_X 1e300", "memory_X", _scaled("memory_X", 1e300), None),
    ("memory_X 1e39", "memory_X", _scaled("memory_X", 1e39), None),
    ("memory_X transposed", "memory_X", lambda p: np.asarray(p["memory_X"]).T.copy(), True),
    ("memory_X 1-d", "memory_X", lambda p: np.asarray(p["memory_X"])[:, 0].copy(), True),
    ("memory_weight -1", "memory_weight", lambda p: _set(p, "memory_weight", 0, -1.0), True),
    ("memory_weight 2", "memory_weight", lambda p: _set(p, "memory_weight", 0, 2.0), True),
    ("memory_weight NaN", "memory_weight", lambda p: _set(p, "memory_weight", 0, np.nan), True),
    ("memory_weight 0.5", "memory_weight", lambda p: np.asarray(p["memory_weight"]) * 0.5, False),
    ("anchor_hessian NaN", "anchor_hessian", lambda p: _set(p, "anchor_hessian", (0, 0), np.nan), True),
    ("anchor_hessian negated", "anchor_hessian", _scaled("anchor_hessian", -1.0), True),
    ("anchor_hessian x1e6", "anchor_hessian", _scaled("anchor_hessian", 1e6), True),
    ("anchor_hessian asymmetric", "anchor_hessian", lambda p: _asymmetric_by(p, 1e3), True),
    ("anchor_hessian 1e30 entry", "anchor_hessian", lambda p: _set(p, "anchor_hessian", (0, 0), 1e30), True),
    ("anchor_hessian wrong shape", "anchor_hessian", lambda p: np.asarray(p["anchor_hessian"])[1:, 1:], True),
    ("anchor_hessian zero", "anchor_hessian", _scaled("anchor_hessian", 0.0), False),
    ("anchor_shift 1e30", "anchor_shift", lambda p: _set(p, "anchor_shift", 0, 1e30), True),
    ("anchor_shift -1e30", "anchor_shift", lambda p: _set(p, "anchor_shift", 0, -1e30), True),
    ("anchor_shift x1e8", "anchor_shift", _scaled("anchor_shift", 1e8), True),
    ("anchor_shift NaN", "anchor_shift", lambda p: _set(p, "anchor_shift", 0, np.nan), True),
    ("anchor_shift short", "anchor_shift", lambda p: np.asarray(p["anchor_shift"])[:-1], True),
    ("anchor_tilt 1e30", "anchor_tilt", lambda p: _set(p, "anchor_tilt", (0, 0, 0), 1e30), True),
    ("anchor_tilt NaN", "anchor_tilt", lambda p: _set(p, "anchor_tilt", (0, 1, 1), np.nan), True),
    ("anchor_tilt negative", "anchor_tilt", _scaled("anchor_tilt", -1.0), True),
    ("anchor_tilt wrong shape", "anchor_tilt", lambda p: np.asarray(p["anchor_tilt"])[:, 1:, 1:], True),
    *((f"{key} missing", key, lambda p: _MISSING, True) for key in ("memory_X", "anchor_tilt", "memory_size")),
]


def memory_child(seed, n_cases):
    """Runs in a child process: hostile memories, each updated and stored; prints one JSON line per case."""
    rng = np.random.default_rng(seed)
    X = RNG_DATA.normal(size=(60, 3))
    y = np.arange(60) % 3
    jax.config.update("jax_enable_x64", bool(rng.integers(2)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        base = engine.fit(X[:48], y[:48], 3, 0, 0.1, 1.0, -0.2, 5.0, 0, 1.0, 50, method="mode", memory=16)
    folder = tempfile.mkdtemp(prefix="kelvra-memory-")
    for i in range(n_cases):
        label, key, make, refused = (
            MEMORY_CASES[i % len(MEMORY_CASES)]
            if i < len(MEMORY_CASES)
            else (MEMORY_CASES[rng.integers(len(MEMORY_CASES))])
        )
        params = dict(base.params)
        value = make(params)
        if value is _MISSING:
            del params[key]
        else:
            params[key] = value
        model = KelvraModel(model_type=base.model_type, params=params)
        print(json.dumps({"start": label}), file=sys.stderr, flush=True)
        for how in ("update mode", "update once", "file"):
            outcome = {"case": label, "how": how, "refused": refused}
            start = time.perf_counter()
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    if how == "file":
                        path = os.path.join(folder, "memory.npz")
                        model.save(path)
                        result = KelvraModel.load(path)
                    else:
                        result = engine.update(model, X[48:], y[48:], rule=how.split()[1])
                outcome["accepted"] = True
                outcome["finite"] = bool(finite_result(result))
            except DOCUMENTED as exc:
                outcome.update(
                    accepted=False, error=type(exc).__name__, one_line=_one_line(exc), message=str(exc)[:200]
                )
            except Exception as exc:  # what the tally is for
                outcome.update(accepted=False, error=type(exc).__name__, undocumented=True, message=str(exc)[:200])
            outcome["seconds"] = time.perf_counter() - start
            print(json.dumps(outcome), flush=True)


def memory_phase(rng, tally, n_cases):
    """The memory cases in a child process; a child that dies is a crash of the case it was running."""
    counts = collections.Counter()
    try:
        done = subprocess.run(
            [sys.executable, __file__, "--memory-child", str(int(rng.integers(2**31))), str(n_cases)],
            capture_output=True,
            text=True,
            timeout=MEMORY_LIMIT_S,
        )
        out, err, status = done.stdout, done.stderr, done.returncode
    except subprocess.TimeoutExpired as exc:
        out, err, status = exc.stdout or "", exc.stderr or "", None
        out, err = (x.decode() if isinstance(x, bytes) else x for x in (out, err))
    for line in out.splitlines():
        outcome = json.loads(line)
        counts["runs"] += 1
        what = f"{outcome['case']} ({outcome['how']})"
        if outcome["accepted"]:
            counts["accepted"] += 1
            if outcome["refused"]:
                tally.add("memory_accepted", what, [what])
            elif not outcome["finite"]:
                tally.add("non_finite", what, [what])
        else:
            counts["refused"] += 1
            if outcome.get("undocumented"):
                tally.add("undocumented", f"{what} -> {outcome['error']}: {outcome['message']}", [what])
            elif not outcome.get("one_line", True):
                tally.add("multi_line", f"{what} -> {outcome['message']}", [what])
            elif outcome["refused"] is False:
                tally.add("good_refused", f"{what} -> {outcome['message']}", [what])
        if outcome["seconds"] > SLOW_CALL_S:
            tally.add("slow", f"{what} took {outcome['seconds']:.1f} s")
    if status != 0:
        starts = [json.loads(line)["start"] for line in err.splitlines() if line.startswith('{"start"')]
        last = starts[-1] if starts else "before the first case"
        category = "hang" if status is None else "crash"
        tally.add(category, f"memory child ended with {status} during {last}", [last])
    return counts


FORK_CHILD = """
import os, sys, threading, time
import numpy as np
from kelvra_bci.models.kelvra_softmax import engine

rng = np.random.default_rng(int(sys.argv[1]))
X, y = rng.standard_normal((20, 3)), np.arange(20) % 3
model = engine.fit(X, y, 3, 0, 0.0, 1.0, 0.0, 10.0, 0, 1.0, 20, method="mode")
engine.predict_proba(model, X, 1, 0)
ahead = threading.Thread(target=engine.precompile, args=(3, 11), kwargs=dict(rule="mode", min_classes=9))
ahead.start()
time.sleep(float(sys.argv[2]))
pid = os.fork()
if pid == 0:
    try:
        engine.predict_proba(model, X, 1, 0)
        engine.update(model, X, np.full(20, 10), rule="mode")
        print("child: compiled", flush=True)
    except Exception as exc:
        print("child: " + type(exc).__name__ + ": " + str(exc).splitlines()[0], flush=True)
    os._exit(0)
os.waitpid(pid, 0)
ahead.join()
"""


def fork_phase(rng, tally, n_runs):
    """Processes forked while a thread compiles: the child must answer, with a result or a one-line error."""
    outcomes = collections.Counter()
    for _ in range(n_runs):
        delay = float(rng.uniform(0.0, 1.0))
        try:
            done = subprocess.run(
                [sys.executable, "-W", "ignore", "-c", FORK_CHILD, str(int(rng.integers(2**31))), f"{delay:.3f}"],
                capture_output=True,
                text=True,
                timeout=FORK_LIMIT_S,
            )
        except subprocess.TimeoutExpired:
            outcomes["hung"] += 1
            tally.add("hang", f"a child forked {delay:.2f} s into a compile gave no answer in {FORK_LIMIT_S:g} s")
            continue
        answer = [line for line in done.stdout.splitlines() if line.startswith("child: ")]
        if done.returncode != 0 or not answer:
            outcomes["crashed"] += 1
            tally.add("crash", f"fork after {delay:.2f} s: status {done.returncode}: {done.stderr[-300:]}")
        elif answer[0] == "child: compiled":
            outcomes["child compiled"] += 1
        elif "spawn" in answer[0] and "forkserver" in answer[0]:
            outcomes["child refused, naming spawn/forkserver"] += 1
        else:
            outcomes["child failed otherwise"] += 1
            tally.add("undocumented", f"fork after {delay:.2f} s: {answer[0]}")
    return outcomes


def _learn_classes(shared, X, y, classes, errors):
    try:
        for c in classes:
            shared.partial_fit(X[y == c], y[y == c])
    except Exception as exc:  # tallied by the caller
        errors.append(exc)


def thread_phase(rng, tally, n_runs):
    """Threads sharing one estimator, each adding classes with partial_fit: no label may be lost."""
    estimator = _optional_estimator()
    outcomes = collections.Counter()
    if estimator is None:
        return outcomes
    import threading

    for _ in range(n_runs):
        n_threads = int(rng.integers(2, 5))
        n_classes = 3 + 2 * n_threads
        X = RNG_DATA.normal(size=(n_classes * 6, 3)) + np.repeat(np.arange(n_classes), 6)[:, None]
        y = np.repeat(np.arange(n_classes), 6)
        shared = estimator().partial_fit(X[y < 3], y[y < 3])
        errors = []

        threads = [
            threading.Thread(target=_learn_classes, args=(shared, X, y, range(3 + i, n_classes, n_threads), errors))
            for i in range(n_threads)
        ]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=MEMORY_LIMIT_S)
        if any(thread.is_alive() for thread in threads):
            tally.add("hang", f"{n_threads} threads sharing an estimator did not finish")
            continue
        if errors:
            outcomes["refused"] += 1
            if not all(_one_line(exc) for exc in errors):
                tally.add("multi_line", f"threads sharing an estimator: {errors[0]}")
        elif len(shared.classes_) != n_classes or int(np.sum(shared.model_.params["class_counts"])) != len(y):
            tally.add("lost_labels", f"{n_threads} threads: {len(shared.classes_)} classes of {n_classes}")
        else:
            outcomes["every label kept"] += 1
    return outcomes


SIMULATOR_SETTINGS = [
    {"drift": 1000.0},
    {"drift": float("inf")},
    {"drift": float("nan")},
    {"drift": -1.0},
    {"n_runs": 0},
    {"n_runs": 2.5},
    {"n_trials": True},
    {"sfreq": float("inf")},
    {"sfreq": float("nan")},
    {"imagery": 0.1},
    {"imagery": float("inf")},
    {"erd": float("nan")},
    {"n_trials": 10**7},
    {"seed": -1},
    {"new_class_run": 1.5},
]


def simulator_phase(tally):
    """The band-power simulator, and the EEG one where MNE is installed, with hostile settings."""
    from kelvra_bci import simulation

    outcomes = collections.Counter()
    shared = {"drift", "n_trials", "seed"}  # the settings both simulators take
    calls = [(simulation.simulate_session, [s for s in SIMULATOR_SETTINGS if set(s) <= shared])]
    try:
        from kelvra_bci import eeg

        eeg._mne()
        calls.append((eeg.simulate_motor_imagery, SIMULATOR_SETTINGS))
    except ModuleNotFoundError:
        pass
    for function, settings_pool in calls:
        for settings in settings_pool:
            what = f"{function.__name__}({', '.join(f'{k}={v!r}' for k, v in settings.items())})"
            start = time.perf_counter()
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    result = function(**settings)
            except DOCUMENTED as exc:
                outcomes["refused"] += 1
                if not _one_line(exc):
                    tally.add("multi_line", f"{what} -> {exc}")
                continue
            except Exception as exc:  # what the tally is for
                outcomes["refused"] += 1
                tally.add("undocumented", f"{what} -> {type(exc).__name__}: {exc}")
                continue
            finally:
                elapsed = time.perf_counter() - start
                if elapsed > SLOW_CALL_S:
                    tally.add("slow", f"{what} took {elapsed:.1f} s")
            outcomes["accepted"] += 1
            data = result.raw.get_data() if hasattr(result, "raw") else result.X
            if not np.isfinite(data).all():
                tally.add("non_finite", what)
    return outcomes


# ---------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=2026, help="seed of every draw (default: 2026)")
    parser.add_argument("--api", type=int, default=10_000, help="API calls (default: 10000)")
    parser.add_argument(
        "--module-budget",
        type=int,
        default=30,
        help="module calls allowed to reach JAX, where each compiles (default: 30)",
    )
    parser.add_argument("--files", type=int, default=7_000, help="model file loads (default: 7000)")
    parser.add_argument("--cli", type=int, default=120, help="command-line runs (default: 120)")
    parser.add_argument("--memories", type=int, default=300, help="hostile record memories (default: 300)")
    parser.add_argument("--forks", type=int, default=4, help="forks during a compile (default: 4)")
    parser.add_argument("--threads", type=int, default=2, help="estimators shared by threads (default: 2)")
    parser.add_argument("--memory-child", nargs=2, type=int, help=argparse.SUPPRESS)
    parser.add_argument(
        "--cli-subprocess",
        type=int,
        default=20,
        help="of the command-line runs, how many run as python -m kelvra_bci (default: 20)",
    )
    args = parser.parse_args()
    if args.memory_child:
        memory_child(*args.memory_child)
        return
    jax.config.update("jax_enable_x64", False)
    rng = np.random.default_rng(args.seed)
    tally = Tally()
    timings = {}
    print(
        f"hostile campaign: seed={args.seed} backend={jax.default_backend()} python={sys.version.split()[0]}",
        flush=True,
    )

    start = time.perf_counter()
    api = ApiCampaign(np.random.default_rng(rng.integers(2**63)), tally, args.module_budget)
    api.run(args.api)
    timings["API calls"] = time.perf_counter() - start
    print(f"  API calls done in {timings['API calls']:.0f} s", flush=True)

    with tempfile.TemporaryDirectory(prefix="kelvra-campaign-") as folder:
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            grown = engine.update(api.base, X0[:3], np.array([3, 4, 0]))
            jax.config.update("jax_enable_x64", True)
            double = engine.fit(
                X20 @ np.ones((2, 3)) + RNG_DATA.normal(size=(20, 3)), Y20, 3, 0, 0.0, 1.0, 0.0, 2.0, 5, 0.7, 4
            )
            jax.config.update("jax_enable_x64", False)
        files = FileCampaign(np.random.default_rng(rng.integers(2**63)), tally, folder, [api.base, grown, double])
        files.run(args.files)
        bombs = zip_bombs(folder, files.bases[0][3])
        timings["model files"] = time.perf_counter() - start
        print(f"  model files done in {timings['model files']:.0f} s", flush=True)

        start = time.perf_counter()
        clis = CliCampaign(np.random.default_rng(rng.integers(2**63)), tally, folder, files)
        clis.run(args.cli, args.cli_subprocess)
        timings["command lines"] = time.perf_counter() - start
        print(f"  command lines done in {timings['command lines']:.0f} s", flush=True)

    start = time.perf_counter()
    phases = {
        "record memories (update mode, update once, file)": memory_phase(
            np.random.default_rng(rng.integers(2**63)), tally, args.memories
        ),
        "forks during a compile": fork_phase(np.random.default_rng(rng.integers(2**63)), tally, args.forks),
        "estimators shared by threads": thread_phase(np.random.default_rng(rng.integers(2**63)), tally, args.threads),
        "simulator calls": simulator_phase(tally),
    }
    timings["memories, forks, threads, simulators"] = time.perf_counter() - start
    print(f"  memories, forks, threads and simulators done in {timings['memories, forks, threads, simulators']:.0f} s")

    report(args, tally, api, files, bombs, clis, timings, phases)


def report(args, tally, api, files, bombs, clis, timings, phases):
    print()
    print(f"{'what ran':<58}{'count':>10}")
    rows = [
        ("API calls", sum(api.calls.values())),
        ("  refused", api.outcomes["refused"]),
        ("  accepted", api.outcomes["accepted"]),
        ("  module calls that reached JAX (compiling)", api.module_compiling),
        (
            "  module errors of damaged records passed through (allowed)",
            api.outcomes["module record errors passed through"],
        ),
        (
            "  module NaN from damaged records passed through (allowed)",
            api.outcomes["module non-finite from a damaged record"],
        ),
        ("model file loads", sum(files.loads.values())),
        *((f"  {kind}", n) for kind, n in sorted(files.loads.items())),
        ("  refused", files.outcomes["refused"]),
        ("  loaded", files.outcomes["loaded"]),
        (
            "  loaded unchanged after damage to unread bytes",
            files.outcomes["loaded unchanged after damage to unread bytes"],
        ),
        ("command-line runs", sum(clis.runs.values())),
        *((f"  {where}", n) for where, n in sorted(clis.runs.items())),
        *((f"  {status}", n) for status, n in sorted(clis.outcomes.items())),
        *(
            row
            for name, counts in phases.items()
            for row in [(name, sum(counts.values()))] + [(f"  {what}", n) for what, n in sorted(counts.items())]
        ),
    ]
    for label, n in rows:
        print(f"{label:<58}{n:>10}")
    print()
    print(f"{'finding':<58}{'count':>10}")
    for key, label in CATEGORIES.items():
        print(f"{label:<58}{tally.counts[key]:>10}")
    print()
    print(f"{'zip bomb':<34}{'file bytes':>12}{'time s':>9}{'peak MiB':>10}  outcome")
    for name, size, elapsed, peak, outcome in bombs:
        print(f"{name:<34}{size:>12}{elapsed:>9.3f}{peak / 2**20:>10.1f}  {outcome}")
    print()
    total = sum(timings.values())
    print("time: " + ", ".join(f"{k} {v:.0f} s" for k, v in timings.items()) + f"; total {total:.0f} s")
    for key, label in CATEGORIES.items():
        if tally.examples[key]:
            print(f"\n{label}:")
            if tally.where[key]:
                print("  by callable: " + ", ".join(f"{k} {n}" for k, n in tally.where[key].most_common()))
            for cause, n in tally.causes[key].most_common(12):
                print(f"  {n:>6}  {cause}")
            print("  first examples:")
            for example in tally.examples[key]:
                print(f"  - {example}")
    print(f"\napi calls by kind: {dict(sorted(api.calls.items()))}")


if __name__ == "__main__":
    main()
