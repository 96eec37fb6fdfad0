// Reading a record for prediction and the steps that the probabilities, the
// label samples and the engine share: logits of coefficient draws, label
// draws and the checks of their arguments.
#pragma once

#include <string>
#include <vector>

#include "common/function.hpp"
#include "core/edge.hpp"

namespace kelvra::inference {

extern const FunctionDef logits_from_beta;

// The parameter table of the three predictions: model, X,
// num_posterior_samples, rng_seed.
std::vector<Parameter> prediction_parameters();

// A record read for prediction, with the features in its working dtype.
struct Posterior {
  py::int_ n_classes;
  py::int_ ref_class;
  py::object non_ref;        // (K-1,) int64 NumPy array
  py::object beta_mean;      // (K-1, d) JAX array; its dtype is the working dtype
  py::object beta_cov_chol;  // (K-1, d, d) JAX array
  py::object Xj;             // (n, d-1) JAX array
};

// Checks X and the sample count, then reads `model`, in the order callers
// can observe through the error they get. Reads the parameters X,
// num_posterior_samples and rng_seed of `call`. `on_host` keeps the arrays
// NumPy arrays (of the dtype JAX would give them), for a compiled function.
// Strict (the engine) first refuses a sample count or seed given with a
// fraction, and complex X.
Posterior read_posterior(const Call& call, py::handle model, Strictness strictness,
                         bool on_host = false);

// Refuses features (float64, 2D) that are NaN or infinite, or beyond what
// the working `dtype` holds: they would come back as NaN probabilities.
void check_feature_values(py::handle np, py::handle Xn, py::handle dtype);

// Refuses class probabilities that came out NaN or infinite (features or
// coefficients too large for the working precision) instead of returning
// them, or labels drawn from them, as an answer.
void check_finite_probabilities(py::handle np, py::handle probs, py::handle dtype);
[[noreturn]] void refuse_nonfinite_probabilities(py::handle np, py::handle dtype);

// The (n, K) logits of features without their bias column: what
// _logits_from_beta computes, for host or traced `ref_class` alike.
py::object features_logits(py::handle jnp, py::handle X, py::handle beta_mean,
                           py::handle non_ref_classes, py::handle ref_class, py::handle n_classes);

// Refuses a sample count past the int32 range or a seed past int64, as one
// clean ValueError instead of an error deep in the array library.
void check_sampling_arguments(py::handle num_posterior_samples, py::handle rng_seed);

// Refuses S coefficient draws whose arrays would not fit in memory.
void check_sampling_memory(const std::string& request, py::handle np, const py::int_& S,
                           py::handle n, const py::int_& n_classes, py::handle d_aug,
                           py::handle dtype);

// Standard-normal noise of shape (S, K-1, d) in the working dtype.
py::object coefficient_noise(py::handle jax, py::handle key, py::handle S, py::handle n_rows,
                             py::handle d_aug, py::handle dtype);

// The (S, n, K) logits of S coefficient draws, from (S, K-1, d) standard-normal
// noise: every draw at once, the reference column zero in each. `non_ref`
// and `ref_class` may be host values or traced arrays.
py::object sampled_logits(py::handle jnp, py::handle Xj, py::handle beta_mean,
                          py::handle beta_cov_chol, py::handle noise, py::handle non_ref,
                          py::handle ref_class, py::handle n_classes, py::handle S);

// One label per row and draw, from the (S, n, K) probabilities of the draws.
py::object draw_labels(py::handle globals, py::handle key_cat, py::handle S, py::handle probs,
                       py::handle dtype);

}  // namespace kelvra::inference
