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
  py::object probs = call.global("kelvra_softmax_predict_proba")(call.arg(0), call.arg(1),
                                                                 call.arg(2), call.arg(3));
  // Read last: a record without it still reports bad input first.
  py::int_ label_base = record::read_int(np, call.arg(0), record::label_base);
  // argmax takes the first maximum: ties go to the lower class index.
  return np.attr("argmax")(probs, "axis"_a = 1).attr("astype")(np.attr("int64")) + label_base;
}

// One categorical draw per row from the log-probabilities of one coefficient draw.
py::object draw_labels_body(Call& call) {
  return call.global("jax").attr("random").attr("categorical")(call.arg(0), call.arg(1),
                                                               "axis"_a = -1);
}

const FunctionDef draw_labels = {
    "<lambda>",       "kelvra_softmax_predict_samples.<locals>.<lambda>",
    {{"kk"}, {"lp"}}, nullptr,
    nullptr,          draw_labels_body,
    kSource,
};

py::object predict_samples_body(Call& call) {
  py::object np = call.global("np");
  py::object jnp = call.global("jnp");
  py::object jax = call.global("jax");
  const Posterior posterior = read_posterior(call);

  py::object rng_key = jax.attr("random").attr("PRNGKey")(call.arg(3));
  auto [key_eps, key_cat] = unpack_pair(jax.attr("random").attr("split")(rng_key, 2));
  // Every sample count draws coefficients, one included: these are samples of
  // the predictive distribution, never of the means alone.
  py::object noise = coefficient_noise(call, posterior, key_eps);
  py::object logits_s = sampled_logits(call, posterior, noise);
  py::object probs = jax.attr("vmap")(call.global("kelvra_softmax"))(logits_s);
  // Machine epsilon keeps the log finite for classes of zero probability.
  py::object eps = jnp.attr("finfo")(posterior.Xj.attr("dtype")).attr("eps");
  py::object logp = jnp.attr("log")(probs + eps);
  py::object keys = jax.attr("random").attr("split")(key_cat, call.arg(2));
  py::object draw = make_function(draw_labels, call.globals());
  py::object y0 = jax.attr("vmap")(draw)(keys, logp);
  py::int_ label_base = record::read_int(np, call.arg(0), record::label_base);
  return np.attr("asarray")(y0).attr("astype")(np.attr("int64")) + label_base;
}

}  // namespace

const FunctionDef kelvra_softmax_predict = {
    "kelvra_softmax_predict",
    "kelvra_softmax_predict",
    {{"model", "KelvraModel"},
     {"X", "np.ndarray"},
     {"num_posterior_samples", "int", Conversion::integer},
     {"rng_seed", "int", Conversion::integer}},
    "np.ndarray",
    "kelvra_softmax_predict(model: KelvraModel, X: np.ndarray, int num_posterior_samples: int, "
    "int rng_seed: int) -> np.ndarray\n"
    "\n"
    "Predict the most likely class label for each row of X.",
    predict_body,
    kSource,
};

const FunctionDef kelvra_softmax_predict_samples = {
    "kelvra_softmax_predict_samples",
    "kelvra_softmax_predict_samples",
    {{"model", "KelvraModel"},
     {"X", "np.ndarray"},
     {"num_posterior_samples", "int", Conversion::integer},
     {"rng_seed", "int", Conversion::integer}},
    "np.ndarray",
    "kelvra_softmax_predict_samples(model: KelvraModel, X: np.ndarray, int "
    "num_posterior_samples: int, int rng_seed: int) -> np.ndarray\n"
    "\n"
    "Draw label samples from the posterior predictive distribution.",
    predict_samples_body,
    kSource,
};

}  // namespace kelvra::inference
