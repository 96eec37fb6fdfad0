"""scikit-learn interface to the Bayesian softmax classifier.

``KelvraSoftmaxClassifier`` wraps the ``learning`` and ``inference`` extension
modules so that the model can sit at the end of a scikit-learn ``Pipeline``, be
cross-validated, searched over, pickled and updated online with ``partial_fit``.
scikit-learn is an optional dependency of kelvra_bci; only this module imports it.
"""

from __future__ import annotations

import numbers

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted, validate_data

from kelvra_bci.models.kelvra_softmax import inference, learning

__all__ = ["KelvraSoftmaxClassifier"]


class KelvraSoftmaxClassifier(ClassifierMixin, BaseEstimator):
    """Bayesian multinomial softmax regression fitted by Polya-Gamma variational inference.

    The most frequent training class is the reference class (logit 0); every other
    class has a Gaussian posterior over its weights and bias. Labels may be any
    values scikit-learn accepts as class labels (integers from any offset,
    strings); they are mapped to class indices in the order of ``classes_``.

    Computation runs in JAX: in float32 unless JAX's 64-bit switch
    (``jax_enable_x64``) is on, so probabilities are float32 by default.

    Parameters
    ----------
    w_loc : float, default=0.0
        Prior mean of every feature weight.
    w_scale : float, default=1.0
        Prior standard deviation of every feature weight (> 0); smaller values
        regularise more strongly.
    b_loc : float, default=0.0
        Prior mean of the bias.
    b_scale : float, default=10.0
        Prior standard deviation of the bias (> 0). Wide, so that class
        imbalance is not fought by the prior.
    learning_rate : float, default=0.5
        Damping of each coordinate update, in (0, 1]; 1 replaces a class's
        posterior outright.
    num_steps : int, default=20
        Number of coordinate sweeps per ``fit`` or ``partial_fit`` call (>= 1).
    num_posterior_samples : int, default=1
        Coefficient draws averaged by ``predict_proba`` (>= 1). With 1 the
        posterior means are used and predictions are deterministic. Also the
        default number of draws of ``sample_predictive``.
    random_state : int, RandomState instance or None, default=None
        Seed of the posterior draws. ``None`` means seed 0, so results are
        reproducible by default; an int is used as given; a RandomState instance
        yields a fresh seed on every call that draws.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        Class labels; position ``i`` is class index ``i`` of the model. ``fit``
        sorts them; ``partial_fit`` appends labels it has not seen at the end.
    model_ : KelvraModel
        The fitted model record of the ``learning`` module.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Feature names seen during fit, when X has string column names.

    Notes
    -----
    ``partial_fit`` on a fitted estimator folds the new trials into the
    posterior using the prior, ``learning_rate`` and ``num_steps`` stored in
    ``model_`` at the first fit; later changes of these parameters take effect
    at the next ``fit``.
    """

    def __init__(
        self,
        w_loc=0.0,
        w_scale=1.0,
        b_loc=0.0,
        b_scale=10.0,
        learning_rate=0.5,
        num_steps=20,
        num_posterior_samples=1,
        random_state=None,
    ):
        self.w_loc = w_loc
        self.w_scale = w_scale
        self.b_loc = b_loc
        self.b_scale = b_scale
        self.learning_rate = learning_rate
        self.num_steps = num_steps
        self.num_posterior_samples = num_posterior_samples
        self.random_state = random_state

    def fit(self, X, y):
        """Fit the posterior from scratch; ``classes_`` are the sorted labels of y."""
        for attr in ("model_", "classes_"):
            self.__dict__.pop(attr, None)
        return self.partial_fit(X, y)

    def partial_fit(self, X, y, classes=None):
        """Fit on the first call, then fold further trials into the posterior.

        Labels not in ``classes_`` are appended to it, in sorted order, and get
        fresh classes starting from the prior. ``classes`` is optional: on the
        first call it fixes the initial classes and their order (so a batch may
        lack some of them); later it may only name classes already known.
        """
        first = not hasattr(self, "model_")
        X, y = validate_data(self, X, y, reset=first)
        check_classification_targets(y)
        known = np.asarray([], dtype=y.dtype) if first else self.classes_
        if classes is not None:
            classes = np.asarray(classes)
            if classes.ndim != 1 or np.unique(classes).size != classes.size:
                raise ValueError("classes must be a 1-D list of distinct labels")
            if first:
                known = classes
            elif np.setdiff1d(classes, known).size:
                raise ValueError(
                    f"classes={classes!r} names classes not seen by the fitted "
                    f"estimator, whose classes are {known!r}"
                )
        unseen = np.setdiff1d(np.unique(y), known)
        classes_ = np.concatenate([known, unseen]) if unseen.size else known
        y0 = self._encode(classes_, y)
        if first:
            if classes_.size < 2:
                raise ValueError(
                    "This solver needs samples of at least 2 classes in the data, "
                    f"but the data contains only one class: {classes_.tolist()[0]!r}"
                )
            self.model_ = learning.kelvra_softmax_fit(
                X, y0, classes_.size, 0,
                self.w_loc, self.w_scale, self.b_loc, self.b_scale,
                self._seed(), self.learning_rate, self.num_steps,
            )
        else:
            self.model_ = learning.kelvra_softmax_update(self.model_, X, y0)
        self.classes_ = classes_
        return self

    def predict_proba(self, X):
        """Class probabilities, columns in the order of ``classes_``.

        With ``num_posterior_samples`` > 1 they are the Monte-Carlo average of
        the softmax over that many posterior draws.
        """
        X = self._check_X(X)
        return inference.kelvra_softmax_predict_proba(
            self.model_, X, self.num_posterior_samples, self._seed()
        )

    def predict_log_proba(self, X):
        """Logarithm of ``predict_proba``."""
        return np.log(self.predict_proba(X))

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
        X = self._check_X(X)
        s = self.num_posterior_samples if n_samples is None else n_samples
        idx = inference.kelvra_softmax_predict_samples(self.model_, X, s, self._seed())
        return self.classes_[idx]

    def __sklearn_is_fitted__(self):
        # validate_data sets n_features_in_ even when the first fit then fails.
        return hasattr(self, "model_")

    def _check_X(self, X):
        check_is_fitted(self)
        return validate_data(self, X, reset=False)

    def _seed(self):
        rs = self.random_state
        if rs is None:
            return 0
        if isinstance(rs, numbers.Integral):
            return int(rs)
        return int(check_random_state(rs).randint(np.iinfo(np.int32).max))

    @staticmethod
    def _encode(classes_, y):
        # classes_ is unsorted once partial_fit appended to it.
        order = np.argsort(classes_, kind="stable")
        pos = np.searchsorted(classes_, y, sorter=order)
        return order[pos].astype(np.int64)
