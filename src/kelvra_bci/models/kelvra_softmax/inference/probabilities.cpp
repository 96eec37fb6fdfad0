// Posterior-predictive class probabilities: at the posterior means for one
// sample, otherwise averaged over seeded coefficient draws, all at once.
#include "common/python.hpp"
#include "inference/inference.hpp"

namespace kelvra::inference {
namespace {

using namespace pybind11::literals;

py::object predict_proba_body(Call& call) {
  py::object np = call.global("np");
  py::object jax = call.global("jax");
  const Posterior posterior = read_posterior(call, call.arg("model"), Strictness::lenient);
  py::int_ S = call.integer("num_posterior_samples");
  py::object dtype = posterior.beta_mean.attr("dtype");

  if (S.equal(py::int_(1))) {
    // One sample means the posterior means: no draw, and the seed is unused.
    py::object logits =
        call.global("_logits_from_beta")(posterior.Xj, posterior.beta_mean, posterior.non_ref,
                                         posterior.ref_class, posterior.n_classes);
    py::object probs = np.attr("asarray")(call.global("kelvra_softmax")(logits));
    check_finite_probabilities(np, probs, dtype);
    return probs;
  }
  // The key is used as it is: the draws of a seed are reproducible by callers.
  py::object rng_key = jax.attr("random").attr("PRNGKey")(call.integer("rng_seed"));
  py::object noise = coefficient_noise(jax, rng_key, S, posterior.n_classes - py::int_(1),
                                       host_int(posterior.beta_mean.attr("shape")[py::int_(1)]),
                                       posterior.beta_mean.attr("dtype"));
  py::object logits_s =
      sampled_logits(call.global("jnp"), posterior.Xj, posterior.beta_mean, posterior.beta_cov_chol,
                     noise, posterior.non_ref, posterior.ref_class, posterior.n_classes, S);
  py::object probs_s = jax.attr("vmap")(call.global("kelvra_softmax"))(logits_s);
  py::object probs = np.attr("asarray")(call.global("jnp").attr("mean")(probs_s, "axis"_a = 0));
  check_finite_probabilities(np, probs, dtype);
  return probs;
}

}  // namespace

const FunctionDef kelvra_softmax_predict_proba = {
    "kelvra_softmax_predict_proba",
    "kelvra_softmax_predict_proba",
    prediction_parameters(),
    "np.ndarray",
    "Predict class probabilities for Bayesian multinomial softmax regression.",
    predict_proba_body,
    "kelvra_bci/models/kelvra_softmax/inference/probabilities.cpp",
};

}  // namespace kelvra::inference
