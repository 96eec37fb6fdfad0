// Posterior-predictive class probabilities: at the posterior means for one
// sample, otherwise averaged over seeded coefficient draws, all at once.
#include "common/python.hpp"
#include "common/record.hpp"
#include "inference/inference.hpp"

namespace kelvra::inference {

using namespace pybind11::literals;

Posterior read_posterior(const Call& call) {
  py::object np = call.global("np");
  py::object jnp = call.global("jnp");
  py::handle model = call.arg(0), X = call.arg(1), num_posterior_samples = call.arg(2);

  py::object Xn = np.attr("asarray")(X, "dtype"_a = np.attr("float64"));
  if (not_equal(Xn.attr("ndim"), py::int_(2))) {
    throw py::value_error("X must be 2D: (n_trials, n_features)");
  }
  if (num_posterior_samples < py::int_(1)) {
    throw py::value_error("num_posterior_samples must be >= 1");
  }
  Posterior posterior;
  posterior.n_classes = record::read_int(np, model, record::n_classes);
  posterior.ref_class = record::read_int(np, model, record::ref_class);
  posterior.non_ref = record::read_int_array(np, model, record::non_ref_classes);
  // The stored means decide the working dtype of everything built here.
  posterior.beta_mean = jnp.attr("asarray")(record::entry(model, record::beta_mean));
  py::object dtype = posterior.beta_mean.attr("dtype");
  posterior.beta_cov_chol =
      jnp.attr("asarray")(record::entry(model, record::beta_cov_chol), "dtype"_a = dtype);
  posterior.Xj = jnp.attr("asarray")(Xn, "dtype"_a = dtype);
  return posterior;
}

py::object coefficient_noise(const Call& call, const Posterior& posterior, py::handle key) {
  py::object d_aug = host_int(posterior.beta_mean.attr("shape")[py::int_(1)]);
  py::object shape = py::make_tuple(call.arg(2), posterior.n_classes - py::int_(1), d_aug);
  return call.global("jax").attr("random").attr("normal")(
      key, "shape"_a = shape, "dtype"_a = posterior.beta_mean.attr("dtype"));
}

py::object sampled_logits(const Call& call, const Posterior& posterior, py::handle noise) {
  py::object jnp = call.global("jnp");
  py::object dtype = posterior.Xj.attr("dtype");
  py::handle S = call.arg(2);
  py::int_ n = host_int(posterior.Xj.attr("shape")[py::int_(0)]);

  // Draw s of row k: the mean plus the class's factor times its noise vector.
  py::object mean = posterior.beta_mean[py::make_tuple(py::none(), all(), all())];
  py::object beta_s = mean + jnp.attr("einsum")("kij,skj->ski", posterior.beta_cov_chol, noise);
  py::object ones = jnp.attr("ones")(py::make_tuple(n, 1), "dtype"_a = dtype);
  py::list parts;
  parts.append(posterior.Xj);
  parts.append(ones);
  py::object X_aug = jnp.attr("concatenate")(parts, "axis"_a = 1);
  py::object eta = jnp.attr("einsum")("nd,skd->skn", X_aug, beta_s);
  py::object logits_s =
      jnp.attr("zeros")(py::make_tuple(S, n, posterior.n_classes), "dtype"_a = dtype);
  logits_s = logits_s.attr("at")[py::make_tuple(all(), all(), posterior.non_ref)].attr("set")(
      jnp.attr("transpose")(eta, py::make_tuple(0, 2, 1)));
  py::object zeros = jnp.attr("zeros")(py::make_tuple(S, n), "dtype"_a = dtype);
  return logits_s.attr("at")[py::make_tuple(all(), all(), posterior.ref_class)].attr("set")(zeros);
}

namespace {

py::object predict_proba_body(Call& call) {
  py::object np = call.global("np");
  py::object jax = call.global("jax");
  const Posterior posterior = read_posterior(call);
  py::handle num_posterior_samples = call.arg(2);

  if (num_posterior_samples.equal(py::int_(1))) {
    // One sample means the posterior means: no draw, and the seed is unused.
    py::object logits =
        call.global("_logits_from_beta")(posterior.Xj, posterior.beta_mean, posterior.non_ref,
                                         posterior.ref_class, posterior.n_classes);
    return np.attr("asarray")(call.global("kelvra_softmax")(logits));
  }
  // The key is used as it is: the draws of a seed are reproducible by callers.
  py::object rng_key = jax.attr("random").attr("PRNGKey")(call.arg(3));
  py::object noise = coefficient_noise(call, posterior, rng_key);
  py::object logits_s = sampled_logits(call, posterior, noise);
  py::object probs_s = jax.attr("vmap")(call.global("kelvra_softmax"))(logits_s);
  return np.attr("asarray")(call.global("jnp").attr("mean")(probs_s, "axis"_a = 0));
}

}  // namespace

const FunctionDef kelvra_softmax_predict_proba = {
    "kelvra_softmax_predict_proba",
    "kelvra_softmax_predict_proba",
    {{"model", "KelvraModel"},
     {"X", "np.ndarray"},
     {"num_posterior_samples", "int", Conversion::integer},
     {"rng_seed", "int", Conversion::integer}},
    "np.ndarray",
    "kelvra_softmax_predict_proba(model: KelvraModel, X: np.ndarray, int num_posterior_samples: "
    "int, int rng_seed: int) -> np.ndarray\n"
    "\n"
    "Predict class probabilities for Bayesian multinomial softmax regression.",
    predict_proba_body,
    "kelvra_bci/models/kelvra_softmax/inference/probabilities.cpp",
};

}  // namespace kelvra::inference
