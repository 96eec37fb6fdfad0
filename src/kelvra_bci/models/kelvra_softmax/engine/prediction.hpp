// What the engine's three predictions share: the record check and read, and
// the features padded for a compiled function.
#pragma once

#include <vector>

#include "common/function.hpp"
#include "core/posterior.hpp"
#include "engine/signature.hpp"

namespace kelvra::engine {

// What the compiled prediction functions capture: their static sizes.
enum class PredictionStatic : std::size_t { S, n_classes };

struct Prepared {
  py::object model;                // the record as checked, read once
  inference::Posterior posterior;  // NumPy arrays in the working dtype
  py::object dtype;
  py::int_ S;            // posterior samples
  py::ssize_t n;         // trials asked for
  py::object non_ref;    // (K-1,) int32
  py::object ref_class;  // 0-d int32
  py::int_ d_aug;
};

// Checks the record (the entries prediction reads, plus label_base when
// `with_label_base`), then X and the sample count as the inference module does.
Prepared prepare_prediction(const Call& call, bool with_label_base);

// jax.random.PRNGKey(rng_seed), made on the host as the inference module makes it.
py::object prediction_key(const Call& call);

// The arguments of a compiled function that draws coefficients from the
// posterior (probabilities by draws, label samples): the record's Gaussians,
// the classes and the random key; the trials are n rows of d - 1 features.
std::vector<Argument> drawing_arguments();

// The (n, K) class probabilities of the prepared trials.
py::object probabilities(const Call& call, const Prepared& prepared);

}  // namespace kelvra::engine
