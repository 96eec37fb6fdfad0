// The engine's labels: the most probable class of each trial, and label
// samples from the posterior predictive distribution.
#include <string>

#include "common/python.hpp"
#include "common/record.hpp"
#include "engine/compile.hpp"
#include "engine/engine.hpp"
#include "engine/prediction.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/engine/labels.cpp";

py::object predict_body(Call& call) {
  py::object np = call.global("np");
  const Prepared prepared = prepare_prediction(call, true);
  py::object probs = probabilities(call, prepared);
  py::int_ label_base = record::read_int(np, prepared.model, record::label_base);
  // argmax takes the first maximum: ties go to the lower class index.
  return np.attr("argmax")(probs, "axis"_a = 1).attr("astype")(np.attr("int64")) + label_base;
}

// The label draws of the inference module, traced once per shape.
py::object samples_core_body(Call& call) {
  py::object jax = call.global("jax");
  py::object jnp = call.global("jnp");
  py::handle Xj = call.arg("Xj"), beta_mean = call.arg("beta_mean");
  py::handle S = call.captured(PredictionStatic::S),
             n_classes = call.captured(PredictionStatic::n_classes);
  py::object dtype = Xj.attr("dtype");
  auto [key_eps, key_cat] = unpack_pair(jax.attr("random").attr("split")(call.arg("key"), 2));
  py::object noise =
      inference::coefficient_noise(jax, key_eps, S, host_int(beta_mean.attr("shape")[py::int_(0)]),
                                   host_int(beta_mean.attr("shape")[py::int_(1)]), dtype);
  py::object logits_s =
      inference::sampled_logits(jnp, Xj, beta_mean, call.arg("beta_cov_chol"), noise,
                                call.arg("non_ref"), call.arg("ref_class"), n_classes, S);
  py::object probs = jax.attr("vmap")(call.global("kelvra_softmax"))(logits_s);
  // Whether the draws came from finite probabilities, checked on the host.
  py::object finite = jnp.attr("all")(jnp.attr("isfinite")(probs));
  return py::make_tuple(inference::draw_labels(call.globals(), key_cat, S, probs, dtype), finite);
}

// Trials are not padded: the categorical draws of a row depend on how many
// rows are drawn, so n is the trial count itself.
const Signature samples_core("samples", "samples_core", "predict_samples.<locals>.samples_core",
                             {"n", "d", "K", "S"}, {}, drawing_arguments(), samples_core_body,
                             kSource);

py::object predict_samples_body(Call& call) {
  py::object np = call.global("np");
  const Prepared prepared = prepare_prediction(call, true);
  const inference::Posterior& posterior = prepared.posterior;
  const Shape shape = Shape(samples_core, np, prepared.dtype)
                          .size("n", prepared.n)
                          .size("d", prepared.d_aug)
                          .size("K", posterior.n_classes)
                          .size("S", prepared.S);
  py::object executable = compiled(call, shape, py::make_tuple(prepared.S, posterior.n_classes));
  py::tuple out = executable(*Arguments(samples_core)
                                  .set("Xj", posterior.Xj)
                                  .set("beta_mean", posterior.beta_mean)
                                  .set("beta_cov_chol", posterior.beta_cov_chol)
                                  .set("non_ref", prepared.non_ref)
                                  .set("ref_class", prepared.ref_class)
                                  .set("key", prediction_key(call))
                                  .values());
  py::object y0 = out[0];
  if (!py::bool_(out[1])) inference::refuse_nonfinite_probabilities(np, prepared.dtype);
  py::int_ label_base = record::read_int(np, prepared.model, record::label_base);
  return np.attr("asarray")(y0).attr("astype")(np.attr("int64")) + label_base;
}

}  // namespace

const FunctionDef predict = {
    "predict",
    "predict",
    inference::prediction_parameters(),
    "np.ndarray",
    "The most likely label of each row of X, as inference.kelvra_softmax_predict gives it.\n"
    "\n"
    "Arguments are checked as by engine.predict_proba.",
    predict_body,
    kSource,
};

const FunctionDef predict_samples = {
    "predict_samples",
    "predict_samples",
    inference::prediction_parameters(),
    "np.ndarray",
    "Label samples as inference.kelvra_softmax_predict_samples draws them.\n"
    "\n"
    "The same keys give the same labels. Trials are not padded here: the\n"
    "categorical draws of a row depend on the number of rows drawn, so each\n"
    "trial count compiles its own function. Arguments are checked as by\n"
    "engine.predict_proba.",
    predict_samples_body,
    kSource,
};

}  // namespace kelvra::engine
