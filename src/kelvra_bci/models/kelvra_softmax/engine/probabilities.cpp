// The engine's class probabilities: the inference module's steps, traced
// once per shape. Trials are padded to a bucket; the padding rows are cut
// off the result and cannot change the draws, which depend on the classes
// and features only.
#include <string>

#include "common/python.hpp"
#include "engine/buckets.hpp"
#include "engine/compile.hpp"
#include "engine/engine.hpp"
#include "engine/prediction.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/engine/probabilities.cpp";

py::object proba_at_means_body(Call& call) {
  py::object logits = inference::features_logits(
      call.global("jnp"), call.arg("Xj"), call.arg("beta_mean"), call.arg("non_ref"),
      call.arg("ref_class"), call.captured(PredictionStatic::n_classes));
  return call.global("kelvra_softmax")(logits);
}

py::object proba_of_draws_body(Call& call) {
  py::object jax = call.global("jax");
  py::object jnp = call.global("jnp");
  py::handle Xj = call.arg("Xj"), beta_mean = call.arg("beta_mean");
  py::handle S = call.captured(PredictionStatic::S),
             n_classes = call.captured(PredictionStatic::n_classes);
  py::object noise = inference::coefficient_noise(
      jax, call.arg("key"), S, host_int(beta_mean.attr("shape")[py::int_(0)]),
      host_int(beta_mean.attr("shape")[py::int_(1)]), Xj.attr("dtype"));
  py::object logits_s =
      inference::sampled_logits(jnp, Xj, beta_mean, call.arg("beta_cov_chol"), noise,
                                call.arg("non_ref"), call.arg("ref_class"), n_classes, S);
  py::object probs_s = jax.attr("vmap")(call.global("kelvra_softmax"))(logits_s);
  return jnp.attr("mean")(probs_s, "axis"_a = 0);
}

// Both share the keys "proba ...": S = 1 compiles the first, more draws the second.
const Signature proba_at_means("proba", "proba_at_means", "predict_proba.<locals>.proba_at_means",
                               {"n", "d", "K", "S"}, {},
                               {{"Xj", {"n", "d-1"}},
                                {"beta_mean", {"K-1", "d"}},
                                {"non_ref", {"K-1"}, Dtype::int32},
                                {"ref_class", {}, Dtype::int32}},
                               proba_at_means_body, kSource);

const Signature proba_of_draws("proba", "proba_of_draws", "predict_proba.<locals>.proba_of_draws",
                               {"n", "d", "K", "S"}, {}, drawing_arguments(), proba_of_draws_body,
                               kSource);

}  // namespace

namespace {

Shape proba_shape(py::handle np, py::handle dtype, py::ssize_t bucket, const py::int_& d_aug,
                  const py::int_& n_classes, const py::int_& S) {
  const bool at_means = S.equal(py::int_(1));
  return Shape(at_means ? proba_at_means : proba_of_draws, np, dtype)
      .size("n", bucket)
      .size("d", d_aug)
      .size("K", n_classes)
      .size("S", S);
}

}  // namespace

py::object proba_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                            const py::int_& d_aug, const py::int_& n_classes, const py::int_& S) {
  return compiled(call, proba_shape(call.global("np"), dtype, bucket, d_aug, n_classes, S),
                  py::make_tuple(S, n_classes));
}

// The probabilities of the first `n` trials; shared with predict().
std::vector<Argument> drawing_arguments() {
  return {{"Xj", {"n", "d-1"}},
          {"beta_mean", {"K-1", "d"}},
          {"beta_cov_chol", {"K-1", "d", "d"}},
          {"non_ref", {"K-1"}, Dtype::int32},
          {"ref_class", {}, Dtype::int32},
          {"key", {"2"}, Dtype::uint32}};
}

py::object probabilities(const Call& call, const Prepared& prepared) {
  py::object np = call.global("np");
  const py::ssize_t bucket = shared_bucket(prepared.n, [&](py::ssize_t b) {
    return proba_shape(np, prepared.dtype, b, prepared.d_aug, prepared.posterior.n_classes,
                       prepared.S)
        .key();
  });
  py::object Xj = padded_features(np, prepared.posterior.Xj, bucket, prepared.dtype, false);
  py::object executable = proba_executable(call, prepared.dtype, bucket, prepared.d_aug,
                                           prepared.posterior.n_classes, prepared.S);
  const bool at_means = prepared.S.equal(py::int_(1));
  Arguments arguments(at_means ? proba_at_means : proba_of_draws);
  arguments.set("Xj", Xj)
      .set("beta_mean", prepared.posterior.beta_mean)
      .set("non_ref", prepared.non_ref)
      .set("ref_class", prepared.ref_class);
  if (!at_means) {
    arguments.set("beta_cov_chol", prepared.posterior.beta_cov_chol)
        .set("key", prediction_key(call));
  }
  py::object probs = executable(*arguments.values());
  py::object answer = np.attr("asarray")(probs)[py::slice(0, prepared.n, 1)];
  inference::check_finite_probabilities(np, answer, prepared.dtype);
  return answer;
}

namespace {

py::object predict_proba_body(Call& call) {
  return probabilities(call, prepare_prediction(call, false));
}

}  // namespace

const FunctionDef predict_proba = {
    "predict_proba",
    "predict_proba",
    inference::prediction_parameters(),
    "np.ndarray",
    "Class probabilities as inference.kelvra_softmax_predict_proba gives them.\n"
    "\n"
    "Compiled once per shape; trials are padded to a bucket, which changes\n"
    "neither the draws nor the result. Stricter than the module where inputs\n"
    "enter: num_posterior_samples or rng_seed with a fractional part (2.5) and\n"
    "complex X raise ValueError instead of being converted. No trials give an\n"
    "empty (0, n_classes) answer.",
    predict_proba_body,
    kSource,
};

}  // namespace kelvra::engine
