"""scikit-learn interface to the Bayesian softmax classifier.

``KelvraSoftmaxClassifier`` runs on the ``engine`` extension module, which
compiles each shape of fit, update and prediction once and then reuses it, so
that the model can sit at the end of a scikit-learn ``Pipeline``, be
cross-validated, searched over, pickled and updated online with ``partial_fit``
without paying a compilation per call. scikit-learn is an optional dependency of
kelvra_bci; only this module imports it.
"""

from __future__ import annotations

import contextlib
import os
import sys
import threading
import weakref
from concurrent.futures import ThreadPoolExecutor
from numbers import Integral, Real

import jax
import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, _fit_context
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval, StrOptions, validate_parameter_constraints
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted, validate_data

from kelvra_bci.limits import INT32_MAX, INT64_MAX, INT64_MIN, MAX_MEMORY
from kelvra_bci.models.kelvra_softmax import defaults, engine, prequential

__all__ = ["KelvraSoftmaxClassifier"]

_FINITE = Interval(Real, -np.inf, np.inf, closed="neither")
_POSITIVE = Interval(Real, 0, np.inf, closed="neither")
# Sweep and draw counts travel through JAX as int32; a float count would be cut to an int.
_COUNT = Interval(Integral, 1, INT32_MAX, closed="both")

_PREDICTION_PARAMETERS = ("num_posterior_samples", "random_state", "prediction")

# Setting this environment variable to 0 keeps the estimator from turning on
# the persistent compile cache.
COMPILE_CACHE_ENV = "KELVRA_BCI_COMPILE_CACHE"


def _use_compile_cache():
    """Turn on the per-user persistent compile cache, unless opted out or already set.

    Compiling is most of a fresh process's first fit (seconds on the digits);
    with the cache, a later process loads the compiled functions from disk.
    A cache folder the user has given JAX is kept, and so is the choice of
    KELVRA_BCI_COMPILE_CACHE=0. A folder that cannot be made costs speed, not the fit.
    """
    if os.environ.get(COMPILE_CACHE_ENV, "1").strip() == "0":
        return
    import jax

    if jax.config.jax_compilation_cache_dir:
        return
    with contextlib.suppress(OSError):
        engine.enable_persistent_cache()


class _CompileAhead:
    """Compiles, on one background thread, the updates an online session meets next.

    A class joining a session needs an update over more class rows, and
    compiling one takes seconds: in the loop, that freezes a real-time decoder
    just when a new command is introduced. ``partial_fit`` therefore asks for
    the shapes of one more class ahead of need. The engine compiles each shape
    once however many threads ask, so an update that arrives first waits for
    the compile in flight instead of starting another. Each shape is asked for
    once while the engine keeps it: the memo of shapes asked for is keyed
    with the precision the 64-bit switch selects, and forgotten whenever a
    compiled function left the engine's cache (cleared or evicted). A
    failure is dropped here and surfaces, if it is real, at the update that
    needs that shape.
    """

    def __init__(self):
        self._lock = threading.Lock()
        self._asked = set()
        self._generation = None
        self._pending = []
        self._executor = None

    def request(self, **shape):
        key = (bool(jax.config.jax_enable_x64), *sorted(shape.items()))
        generation = engine.cache_info()["generation"]
        with self._lock:
            if generation != self._generation:
                self._asked.clear()
                self._generation = generation
            if key in self._asked:
                return
            self._asked.add(key)
            if self._executor is None:
                self._executor = ThreadPoolExecutor(
                    max_workers=1, thread_name_prefix="kelvra-compile-ahead", initializer=_yield_to_the_loop
                )
            self._pending = [job for job in self._pending if not job.done()]
            self._pending.append(self._executor.submit(engine.precompile, **shape))

    def wait(self):
        """Waits until everything asked for so far is compiled (or has failed)."""
        with self._lock:
            pending = list(self._pending)
        for job in pending:
            job.exception()


def _yield_to_the_loop():
    # The loop's updates come first: the compiling thread runs at the lowest
    # priority. Linux alone gives each thread a niceness of its own; elsewhere a
    # thread id passed as a process id could name another process.
    if sys.platform.startswith("linux"):
        with contextlib.suppress(OSError):
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 19)


_compile_ahead = _CompileAhead()

# One lock per estimator, held by fit and partial_fit: each reads the fitted
# state and replaces it, so two threads sharing an estimator take turns
# instead of losing each other's classes. Kept outside the estimator, which
# must stay picklable and cloneable.
_learning_locks: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()
_learning_locks_guard = threading.Lock()


def _learning_lock(estimator) -> threading.Lock:
    with _learning_locks_guard:
        lock = _learning_locks.get(estimator)
        if lock is None:
            lock = _learning_locks[estimator] = threading.Lock()
        return lock


def _after_fork_in_child():
    # A forked child has one thread: locks that others held at the fork would
    # stay held forever, and the compiling thread and its queue stayed behind.
    global _compile_ahead, _learning_locks, _learning_locks_guard
    _compile_ahead = _CompileAhead()
    _learning_locks = weakref.WeakKeyDictionary()
    _learning_locks_guard = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def _validated(estimator, X, *y, **kwargs):
    """``validate_data``, with its multi-line complaints folded into one line as ours are.

    Complex numbers and an X of no trials are refused in a line of their own:
    scikit-learn would print a complex array whole (its message starts the
    same, and its checks look for that start), and the engine has nothing to
    learn from or predict for no trials.
    """
    _refuse_complex(X, "X", "features must be real")
    for labels in y:
        _refuse_complex(labels, "y", "labels must be real or text")
    try:
        validated = validate_data(estimator, X, *y, ensure_min_samples=0, **kwargs)
    except (TypeError, ValueError) as error:
        raise type(error)(" ".join(str(error).split())) from None
    n_trials = (validated[0] if y else validated).shape[0]
    if n_trials == 0:
        raise ValueError("X holds no trials; at least one is needed")
    return validated


def _refuse_complex(values, name, want):
    # Read from the dtype alone where there is one (a DataFrame has one per
    # column), so that nothing is converted twice; lists as NumPy reads them.
    if hasattr(values, "dtype"):
        dtypes = [values.dtype]
    elif hasattr(values, "dtypes"):
        dtypes = list(values.dtypes)
    elif isinstance(values, (list, tuple)):
        try:
            dtypes = [np.asarray(values).dtype]
        except (TypeError, ValueError):  # ragged: scikit-learn says what is wrong
            return
    else:
        return
    if any(getattr(dtype, "kind", None) == "c" for dtype in dtypes):
        raise ValueError(f"Complex data not supported: {name} holds complex numbers; {want}")


def _check_labels(labels, name="y"):
    """Refuses labels that are no classes, as scikit-learn does; complex ones in a line of their own.

    Labels are classes as they are, never rounded: float labels must be whole
    (``1.0``, not ``1.7``).
    """
    _refuse_complex(labels, name, "labels must be real or text")
    check_classification_targets(labels)


class KelvraSoftmaxClassifier(ClassifierMixin, BaseEstimator):
    """Bayesian multinomial softmax regression.

    By default (``method="mode"``) the fit finds the posterior mode by Newton's
    method under a prior that treats every class alike (so which class is the
    reference does not matter), with the prior's scale chosen by the evidence
    (``w_scale="auto"``), and keeps the Laplace covariance at the mode.
    ``method="sweeps"`` runs the Polya-Gamma variational sweeps instead.
    The most frequent training class is the reference class (logit 0); every other
    class has a Gaussian posterior over its weights and bias. Labels may be any
    values scikit-learn accepts as class labels (integers from any offset,
    strings). The defaults of the prior, damping and sweeps are those of
    ``kelvra_bci.models.kelvra_softmax.defaults.FIT``, shared with the command line.

    Computation runs in JAX: in float32 unless JAX's 64-bit switch
    (``jax_enable_x64``) is on; probabilities are returned in float64.

    Parameters
    ----------
    w_loc : float, default=defaults.FIT["w_loc"]
        Prior mean of every feature weight.
    w_scale : float or "auto", default=defaults.FIT["w_scale"]
        Prior standard deviation of every feature weight (> 0); smaller values
        regularise more strongly. "auto" (``method="mode"`` only) lets the
        evidence choose it on the first fit, without cross-validation, and
        ``partial_fit`` by the mode moves it on as trials arrive (along the
        new trials' predictive log-likelihood before they are learnt);
        ``model_.params["w_scale"]`` is the scale in force. A number stays
        fixed.
    b_loc : float, default=defaults.FIT["b_loc"]
        Prior mean of the bias.
    b_scale : float, default=defaults.FIT["b_scale"]
        Prior standard deviation of the bias (> 0).
    learning_rate : float, default=defaults.FIT["learning_rate"]
        Damping of each coordinate update of ``method="sweeps"``, in (0, 1]; 1
        replaces a class's posterior outright.
    num_steps : int, default=defaults.FIT["num_steps"]
        Newton steps (or coordinate sweeps) per ``fit`` or ``partial_fit`` call
        (>= 1); the cap when ``tol`` is set.
    tol : float or None, default=defaults.FIT["tol"]
        Stop once the largest change of any posterior mean, relative to the
        largest mean, falls below ``tol``. None runs ``num_steps`` steps; Newton
        stops early only at a step that changes nothing.
    method : {"mode", "sweeps"}, default=defaults.FIT["method"]
        How ``fit`` finds the posterior; see above.
    update_rule : {"mode", "once", "resweep"}, default=defaults.UPDATE_RULE
        How ``partial_fit`` on a fitted estimator folds trials in. "mode" finds
        the mode of the posterior given every trial so far: the last ``memory``
        trials are revisited exactly (so a class that joins late is weighed
        against them), older ones through the quadratic their likelihood was
        when they left the memory; it needs a record of ``method="mode"``, or
        starts a memory from the stored Gaussians. "once" keeps
        the posterior the estimator held before the call as the prior of every
        sweep, so each trial counts once and learning in blocks approaches one
        fit on all trials. "resweep" takes each class's current Gaussian as the
        prior of its next sweep, which folds the new trials in again at every
        sweep and makes the posterior overconfident.
    memory : int, default=defaults.FIT["memory"]
        Trials the model keeps for ``update_rule="mode"`` to revisit; each
        update's work grows with it.
    forgetting : float or None, default=None
        ``update_rule="mode"`` only: each new trial multiplies the weight of
        every earlier one by this factor in (0, 1], so the model follows a
        drifting session. 0.99 to 0.999 is the useful range (an effective
        memory of about 100 to 1000 trials); None forgets nothing.
    num_posterior_samples : int, default=defaults.DRAWS
        Coefficient draws averaged by ``predict_proba`` (>= 1). With 1 (the
        default, the best calibrated on every stream measured) the posterior
        means are used and predictions are deterministic. Also the
        default number of draws of ``sample_predictive``.
    prediction : {"auto", "mean", "moderated"}, default=defaults.PREDICTION
        How ``predict_proba`` and ``predict`` turn the posterior into class
        probabilities. "mean": the softmax at the posterior means (averaged
        over ``num_posterior_samples`` draws when that is above 1).
        "moderated": ``engine.predict_proba_moderated``, which widens each
        trial's probabilities by the joint posterior uncertainty of its
        logits; it needs a record fitted and updated by the mode (the
        defaults) and is deterministic. "auto": each ``partial_fit`` on a
        fitted estimator first scores its new trials, before their labels
        are learnt, by both (the log-likelihood of their labels), and
        predictions use whichever has the higher total so far; the mean on a
        tie and before any such block, so ``fit`` alone, cross-validation and
        a model updated by another rule than "mode" predict at the mean. A
        session that outruns the model (drift, a calibration that made it
        over-confident) moves it to "moderated"; ``prediction_`` says which
        is in force.
    random_state : int, RandomState instance or None, default=None
        Randomness of the posterior draws. None draws fresh randomness on every
        call (from NumPy's global generator); an int gives the same draws on
        every call; a RandomState instance is advanced by every call that draws.
        The fit itself is deterministic.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        Class labels, sorted, also after ``partial_fit`` added a class; the
        columns of ``predict_proba`` follow this order.
    model_ : KelvraModel
        The fitted model record. Its class indices need not follow
        ``classes_``: a class that ``partial_fit`` added after the first fit
        gets the next free index.
    prediction_ : {"mean", "moderated"}
        The prediction ``predict_proba`` uses now (see ``prediction``).
    prediction_scores_ : dict
        With ``prediction="auto"``: the log-likelihood of every trial that
        ``partial_fit`` scored before learning it, summed, under "mean" and
        "moderated". Reset by ``fit``.
    n_iter_ : int
        Coordinate sweeps or Newton steps (the scale search's included) run by
        the last ``fit`` or ``partial_fit`` call.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Feature names seen during fit, when X has string column names.

    Notes
    -----
    ``partial_fit`` compiles, on a background thread, the update and the
    prediction that one more class would need, so that a class joining an
    online session does not stall the loop for a compile. A first
    ``partial_fit`` (the calibration) also compiles, in the call, the update
    and prediction that the next trial needs. After ``fit``, the first
    ``partial_fit`` compiles its own update in the call instead (once per shape
    and process); ``engine.precompile`` can do that before the session starts.

    The first fit of a process turns on JAX's persistent compilation cache in
    the per-user folder of ``engine.enable_persistent_cache()``, so that a new
    process loads the compiled fit instead of compiling it again. A cache folder
    already set in JAX's configuration is kept; the environment variable
    ``KELVRA_BCI_COMPILE_CACHE=0`` leaves the cache off.

    ``partial_fit`` on a fitted estimator uses the prior, ``learning_rate`` and
    ``num_steps`` stored in ``model_`` at the first fit, and the current ``tol``
    and ``update_rule``; changes of the former take effect at the next ``fit``.

    Threads sharing one estimator take turns in ``fit`` and ``partial_fit``,
    so no trial or class is lost. In a process forked from one that compiled
    (``os.fork``, multiprocessing's "fork" start method), only shapes compiled
    before the fork run; anything else raises a one-line ``RuntimeError``:
    use the "spawn" or "forkserver" start method (joblib's default workers,
    as in ``cross_val_score(..., n_jobs=2)``, are not forks).
    """

    _parameter_constraints: dict = {  # noqa: RUF012 - scikit-learn's own spelling
        "w_loc": [_FINITE],
        "w_scale": [_POSITIVE, StrOptions({"auto"})],
        "b_loc": [_FINITE],
        "b_scale": [_POSITIVE],
        "learning_rate": [Interval(Real, 0, 1, closed="right")],
        "num_steps": [_COUNT],
        "tol": [Interval(Real, 0, np.inf, closed="left"), None],
        "method": [StrOptions({"mode", "sweeps"})],
        "update_rule": [StrOptions({"mode", "once", "resweep"})],
        "memory": [Interval(Integral, 1, MAX_MEMORY, closed="both")],
        "forgetting": [Interval(Real, 0, 1, closed="right"), None],
        "num_posterior_samples": [_COUNT],
        "prediction": [StrOptions({"auto", "mean", "moderated"})],
        # Any seed a model record holds, not only scikit-learn's [0, 2**32).
        "random_state": [Interval(Integral, INT64_MIN, INT64_MAX, closed="both"), np.random.RandomState, None],
    }

    def __init__(
        self,
        w_loc=defaults.FIT["w_loc"],
        w_scale=defaults.FIT["w_scale"],
        b_loc=defaults.FIT["b_loc"],
        b_scale=defaults.FIT["b_scale"],
        learning_rate=defaults.FIT["learning_rate"],
        num_steps=defaults.FIT["num_steps"],
        tol=defaults.FIT["tol"],
        method=defaults.FIT["method"],
        update_rule=defaults.UPDATE_RULE,
        memory=defaults.FIT["memory"],
        forgetting=None,
        num_posterior_samples=defaults.DRAWS,
        random_state=None,
        prediction=defaults.PREDICTION,
    ):
        self.w_loc = w_loc
        self.w_scale = w_scale
        self.b_loc = b_loc
        self.b_scale = b_scale
        self.learning_rate = learning_rate
        self.num_steps = num_steps
        self.tol = tol
        self.method = method
        self.update_rule = update_rule
        self.memory = memory
        self.forgetting = forgetting
        self.num_posterior_samples = num_posterior_samples
        self.random_state = random_state
        self.prediction = prediction

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y):
        """Fit the posterior from scratch; ``classes_`` are the sorted labels of y."""
        return self._learn(X, y, None, online=False, reset=True)

    @_fit_context(prefer_skip_nested_validation=True)
    def partial_fit(self, X, y, classes=None):
        """Fit on the first call, then fold further trials into the posterior.

        Labels not seen before become new classes starting from the prior;
        ``classes_`` stays sorted. ``classes`` is optional: on the first call it
        adds classes that this batch lacks; later it may only name classes
        already known.
        """
        if hasattr(self, "model_"):
            # scikit-learn checks the parameters at the first call only; tol and
            # update_rule act on every later one too.
            self._validate_params()
        return self._learn(X, y, classes, online=True)

    def _learn(self, X, y, classes, *, online, reset=False):
        with _learning_lock(self):
            if reset:
                for attr in ("model_", "classes_", "n_iter_", "_model_labels", "_columns", "prediction_scores_"):
                    self.__dict__.pop(attr, None)
            return self._learn_alone(X, y, classes, online=online)

    def _learn_alone(self, X, y, classes, *, online):
        first = not hasattr(self, "model_")
        X, y = _validated(self, X, y, reset=first)
        _check_labels(y)
        known = np.asarray([], dtype=y.dtype) if first else self._model_labels
        if classes is not None:
            _check_labels(classes, "classes")
            classes = np.asarray(classes)
            if classes.ndim != 1 or np.unique(classes).size != classes.size:
                raise ValueError("classes must be a 1-D list of distinct labels")
            if first:
                known = np.unique(classes)
            elif np.setdiff1d(classes, known).size:
                raise ValueError(
                    f"classes={classes!r} names classes not seen by the fitted "
                    f"estimator, whose classes are {np.sort(known)!r}"
                )
        # A class new to a fitted model takes the next free class index, so the
        # model's order is the first fit's sorted labels and then the later ones.
        unseen = np.setdiff1d(np.unique(y), known)
        model_labels = np.concatenate([known, unseen]) if unseen.size else known
        if first and model_labels.size < 2:
            raise ValueError(
                "This solver needs samples of at least 2 classes in the data, "
                f"but the data contains only one class: {model_labels.tolist()[0]!r}"
            )
        columns = np.argsort(model_labels, kind="stable")
        classes_ = model_labels[columns]
        # Model index of each label: its rank in classes_, mapped through columns.
        y_index = columns[np.searchsorted(classes_, y)].astype(np.int64)
        # Scored before the labels are learnt; counted once the update succeeded.
        scored = None if first else self._scores_before_learning(X, y_index)
        if first:
            _use_compile_cache()
            model = engine.fit(
                X,
                y_index,
                model_labels.size,
                0,
                self.w_loc,
                self.w_scale,
                self.b_loc,
                self.b_scale,
                self._fit_seed(),
                self.learning_rate,
                self.num_steps,
                tol=self.tol,
                method=self.method,
                memory=self.memory,
            )
        else:
            model = engine.update(
                self.model_,
                X,
                y_index,
                rule=self.update_rule,
                tol=self.tol,
                forgetting=self.forgetting,
                # A record without a memory (method "sweeps") starts one of this size.
                memory=self.memory if self.update_rule == "mode" else None,
            )
        if online:
            memory = model.params.get("memory_size", self.memory)
            shape = dict(
                n_features=X.shape[1],
                # The first call is the fit; the loop after it goes trial by trial.
                update_trials=1 if first else X.shape[0],
                rule=self.update_rule,
                tol=self.tol,
                memory=None if memory is None else int(memory),
                # The prediction the choice may move to, ready before it does.
                moderated=self.update_rule == "mode" and self.prediction != "mean",
            )
            if first:
                # A calibration may take a moment longer; the first trial of the
                # loop may not. Before the state changes, so that a failure
                # leaves the estimator as it was.
                engine.precompile(n_classes=model_labels.size, min_classes=model_labels.size, **shape)
            _compile_ahead.request(n_classes=model_labels.size + 1, min_classes=model_labels.size, **shape)
        self.model_ = model
        if scored is not None:
            totals = self.__dict__.setdefault("prediction_scores_", dict.fromkeys(scored, 0.0))
            for name, value in scored.items():
                totals[name] += value
        self.n_iter_ = int(model.n_sweeps)
        self._model_labels = model_labels
        self._columns = columns
        self.classes_ = classes_
        return self

    @property
    def prediction_(self):
        check_is_fitted(self)
        if self.prediction != "auto":
            return self.prediction
        if not self._can_moderate():
            return "mean"
        return prequential.chosen(getattr(self, "prediction_scores_", None))

    def _can_moderate(self):
        # The estimator's own records hold a memory the moderated prediction
        # can trust whenever the updates are by the mode: a fit by the mode
        # writes one, and the first update by the mode starts one.
        return self.update_rule == "mode" and "memory_X" in self.model_.params

    def _scores_before_learning(self, X, y_index):
        """The log-likelihood of a new block under both predictions, or None when there is no choice."""
        if self.prediction != "auto" or not self._can_moderate():
            return None
        mean = np.exp(engine.predict_log_proba(self.model_, X, self.num_posterior_samples, self._draw_seed()))
        moderated = prequential.moderated_proba(self.model_, X)
        return prequential.block_scores({"mean": mean, "moderated": moderated}, y_index)

    def predict_proba(self, X):
        """Class probabilities, columns in the order of ``classes_``.

        By ``prediction_``: at the posterior means, or, with
        ``num_posterior_samples`` > 1, the Monte-Carlo average of the softmax
        over that many posterior draws; or moderated by the joint posterior
        uncertainty of the logits. Float64: the exponential of
        ``predict_log_proba``, so that the two agree even where a confident
        model's probabilities round to 1 in float32.
        """
        return np.exp(self.predict_log_proba(X))

    def predict_log_proba(self, X):
        """Logarithm of the class probabilities, computed in log space in float64.

        It stays finite where ``predict_proba`` underflows to 0. Moderated (see
        ``prediction_``), it is the log of ``engine.predict_proba_moderated``'s
        probabilities, those that underflowed taken as float32's smallest
        normal number. With one posterior sample it is the log-softmax of the
        logits at the posterior means. With more it is the log of the Monte-Carlo average over the same
        draws that ``predict_proba`` makes for the same seed (log-sum-exp of the
        draws' log-softmax, minus log of their number), so its exponential
        equals ``predict_proba`` up to float32 rounding when ``random_state`` is
        an int. Returns float64.
        """
        X = self._check_X(X)
        if self.prediction_ == "moderated":
            proba = prequential.moderated_proba(self.model_, X)
            # Float32 probabilities that underflowed count as its smallest normal number.
            log_proba = np.log(np.maximum(proba, np.finfo(np.float32).tiny))
        else:
            log_proba = engine.predict_log_proba(self.model_, X, self.num_posterior_samples, self._draw_seed())
        return log_proba[:, self._columns]

    def predict(self, X):
        """The label of the most probable class under ``predict_proba``."""
        proba = self.predict_proba(X)
        return self.classes_[np.argmax(proba, axis=1)]

    def sample_predictive(self, X, n_samples=None):
        """Labels drawn from the posterior predictive distribution.

        Each of ``n_samples`` (default ``num_posterior_samples``) coefficient
        draws yields one label per row. Returns an array of shape
        (n_samples, n_trials) holding values of ``classes_``.
        """
        validate_parameter_constraints(
            {"n_samples": [_COUNT, None]}, {"n_samples": n_samples}, caller_name="sample_predictive"
        )
        X = self._check_X(X)
        s = self.num_posterior_samples if n_samples is None else n_samples
        idx = engine.predict_samples(self.model_, X, s, self._draw_seed())
        return self._model_labels[idx]

    def __sklearn_is_fitted__(self):
        # validate_data sets n_features_in_ even when the first fit then fails.
        return hasattr(self, "model_")

    def _check_X(self, X):
        check_is_fitted(self)
        # Predictions read these two, which set_params may have changed since
        # the fit; checking them alone keeps a one-trial prediction quick.
        validate_parameter_constraints(
            {key: self._parameter_constraints[key] for key in _PREDICTION_PARAMETERS},
            {key: getattr(self, key) for key in _PREDICTION_PARAMETERS},
            caller_name=type(self).__name__,
        )
        return _validated(self, X, reset=False)

    def _fit_seed(self):
        # The fit draws nothing: the seed is only stored in the record, and an
        # int random_state is kept there; nothing else consumes randomness.
        rs = self.random_state
        return int(rs) if isinstance(rs, Integral) else 0

    def _draw_seed(self):
        rs = self.random_state
        if isinstance(rs, Integral):
            return int(rs)
        # None is NumPy's global generator: fresh draws on every call.
        return int(check_random_state(rs).randint(INT32_MAX))
