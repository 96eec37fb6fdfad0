// The callables of kelvra_bci.models.kelvra_softmax.inference, and the steps
// that the probabilities and the label samples share.
#pragma once

#include "common/function.hpp"

namespace kelvra::inference {

extern const FunctionDef logits_from_beta;
extern const FunctionDef kelvra_softmax_predict_proba;
extern const FunctionDef kelvra_softmax_predict;
extern const FunctionDef kelvra_softmax_predict_samples;

// A record read for prediction, with the features in its working dtype.
struct Posterior {
  py::int_ n_classes;
  py::int_ ref_class;
  py::object non_ref;        // (K-1,) int64 NumPy array
  py::object beta_mean;      // (K-1, d) JAX array; its dtype is the working dtype
  py::object beta_cov_chol;  // (K-1, d, d) JAX array
  py::object Xj;             // (n, d-1) JAX array
};

// Checks X and the sample count, then reads the record, in the order callers
// can observe through the error they get. Arguments: (model, X, S, rng_seed).
Posterior read_posterior(const Call& call);

// The (S, n, K) logits of S coefficient draws, from (S, K-1, d) standard-normal
// noise: every draw at once, the reference column zero in each.
py::object sampled_logits(const Call& call, const Posterior& posterior, py::handle noise);

// Standard-normal noise of shape (S, K-1, d) in the working dtype.
py::object coefficient_noise(const Call& call, const Posterior& posterior, py::handle key);

}  // namespace kelvra::inference
