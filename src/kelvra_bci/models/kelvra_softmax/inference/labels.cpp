// Labels: the most probable class of each trial, and label samples from the
// posterior predictive distribution, both shifted by the record's label base.
#include "common/python.hpp"
#include "common/record.hpp"
#include "inference/inference.hpp"

namespace kelvra::inference {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/inference/labels.cpp";

py::object predict_body(Call& call) {
  py::object np = call.global("np");
  py::handle model = call.arg("model");
  py::object probs = call.global("kelvra_softmax_predict_proba")(
      model, call.arg("X"), call.arg("num_posterior_samples"), call.arg("rng_seed"));
  // Read last: a record without it still reports bad input first.
  py::int_ label_base = record::read_int(np, model, record::label_base);
  // argmax takes the first maximum: ties go to the lower class index.
  return np.attr("argmax")(probs, "axis"_a = 1).attr("astype")(np.attr("int64")) + label_base;
}

py::object predict_samples_body(Call& call) {
  py::object np = call.global("np");
  py::object jnp = call.global("jnp");
  py::object jax = call.global("jax");
  const Posterior posterior = read_posterior(call, call.arg("model"), Strictness::lenient);
  py::int_ S = call.integer("num_posterior_samples");

  py::object rng_key = jax.attr("random").attr("PRNGKey")(call.integer("rng_seed"));
  auto [key_eps, key_cat] = unpack_pair(jax.attr("random").attr("split")(rng_key, 2));
  // Every sample count draws coefficients, one included: these are samples of
  // the predictive distribution, never of the means alone.
  py::object dtype = posterior.beta_mean.attr("dtype");
  py::object noise =
      coefficient_noise(jax, key_eps, S, posterior.n_classes - py::int_(1),
                        host_int(posterior.beta_mean.attr("shape")[py::int_(1)]), dtype);
  py::object logits_s =
      sampled_logits(jnp, posterior.Xj, posterior.beta_mean, posterior.beta_cov_chol, noise,
                     posterior.non_ref, posterior.ref_class, posterior.n_classes, S);
  py::object probs = jax.attr("vmap")(call.global("kelvra_softmax"))(logits_s);
  check_finite_probabilities(np, probs, dtype);
  py::object y0 = draw_labels(call.globals(), key_cat, S, probs, posterior.Xj.attr("dtype"));
  py::int_ label_base = record::read_int(np, call.arg("model"), record::label_base);
  return np.attr("asarray")(y0).attr("astype")(np.attr("int64")) + label_base;
}

}  // namespace

const FunctionDef kelvra_softmax_predict = {
    "kelvra_softmax_predict",
    "kelvra_softmax_predict",
    prediction_parameters(),
    "np.ndarray",
    "Predict the most likely class label for each row of X.",
    predict_body,
    kSource,
};

const FunctionDef kelvra_softmax_predict_samples = {
    "kelvra_softmax_predict_samples",
    "kelvra_softmax_predict_samples",
    prediction_parameters(),
    "np.ndarray",
    "Draw label samples from the posterior predictive distribution.",
    predict_samples_body,
    kSource,
};

}  // namespace kelvra::inference
