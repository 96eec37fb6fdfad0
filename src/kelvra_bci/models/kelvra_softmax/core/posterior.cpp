// Reading a record for prediction and drawing from its class posteriors:
// what the probabilities, the label samples and the engine share.
#include <cstdint>

#include "common/limits.hpp"
#include "common/python.hpp"
#include "common/record.hpp"
#include "core/bias_column.hpp"
#include "core/posterior.hpp"

namespace kelvra::inference {

using namespace pybind11::literals;

namespace {

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/core/posterior.cpp";

// One categorical draw per row from the log-probabilities of one coefficient draw.
py::object draw_one_body(Call& call) {
  return call.global("jax").attr("random").attr("categorical")(call.arg("kk"), call.arg("lp"),
                                                               "axis"_a = -1);
}

const FunctionDef draw_one = {
    "<lambda>",       "kelvra_softmax_predict_samples.<locals>.<lambda>",
    {{"kk"}, {"lp"}}, nullptr,
    nullptr,          draw_one_body,
    kSource,
};

}  // namespace

std::vector<Parameter> prediction_parameters() {
  return {{"model", "KelvraModel"},
          {"X", "np.ndarray"},
          {"num_posterior_samples", "int", Conversion::integer},
          {"rng_seed", "int", Conversion::integer}};
}

void check_sampling_arguments(py::handle num_posterior_samples, py::handle rng_seed) {
  const Limits& bounds = limits();
  if (!int_within(num_posterior_samples, 1, bounds.int32_max)) {
    throw py::value_error("num_posterior_samples must be <= " + std::to_string(bounds.int32_max));
  }
  if (!int_within(rng_seed, bounds.int64_min, bounds.int64_max)) {
    throw py::value_error("rng_seed must fit in a signed 64-bit integer");
  }
}

void check_sampling_memory(const std::string& request, py::handle np, const py::int_& S,
                           py::handle n, const py::int_& n_classes, py::handle d_aug,
                           py::handle dtype) {
  // The noise and the coefficient draws, then logits, probabilities and
  // their logarithms or the categorical noise, all alive at once.
  const double samples = S.cast<double>(), classes = n_classes.cast<double>();
  const double itemsize = np.attr("dtype")(dtype).attr("itemsize").cast<double>();
  const double draws = 2.0 * samples * classes * py::cast<double>(d_aug);
  const double per_trial = 4.0 * samples * py::cast<double>(n) * classes;
  require_memory(request.c_str(), (draws + per_trial) * itemsize);
}

void check_feature_values(py::handle np, py::handle Xn, py::handle dtype) {
  // NaN features would come back as NaN probabilities and a label of 0.
  if (!all_finite(np, Xn)) throw py::value_error("X must not contain NaN or infinite values");
  if (Xn.attr("size").cast<py::ssize_t>() > 0 &&
      np.attr("abs")(Xn).attr("max")().cast<double>() >
          np.attr("finfo")(dtype).attr("max").cast<double>()) {
    throw py::value_error("X holds values too large for " + dtype_text(np, dtype));
  }
}

Posterior read_posterior(const Call& call, py::handle model, Strictness strictness, bool on_host) {
  py::object np = call.global("np");
  py::object jnp = call.global("jnp");
  py::handle X = call.arg("X");
  py::int_ num_posterior_samples = call.integer("num_posterior_samples");
  check_whole_number(call, "num_posterior_samples", strictness);
  check_whole_number(call, "rng_seed", strictness);

  py::object Xn = float64_features(np, X, strictness);
  if (not_equal(Xn.attr("ndim"), py::int_(2))) {
    throw py::value_error("X must be 2D: (n_trials, n_features)");
  }
  if (num_posterior_samples < py::int_(1)) {
    throw py::value_error("num_posterior_samples must be >= 1");
  }
  check_sampling_arguments(num_posterior_samples, call.integer("rng_seed"));
  Posterior posterior;
  posterior.n_classes = record::read_int(np, model, record::n_classes);
  posterior.ref_class = record::read_int(np, model, record::ref_class);
  posterior.non_ref = record::read_int_array(np, model, record::non_ref_classes);
  // The stored means decide the working dtype of everything built here.
  py::handle xp = on_host ? np : jnp;
  posterior.beta_mean = xp.attr("asarray")(record::entry(model, record::beta_mean));
  py::object dtype = posterior.beta_mean.attr("dtype");
  if (on_host) {
    // The dtype jnp.asarray would give: float64 only under the 64-bit switch.
    dtype = call.global("jax").attr("dtypes").attr("canonicalize_dtype")(dtype);
    posterior.beta_mean = np.attr("asarray")(posterior.beta_mean, "dtype"_a = dtype);
  }
  posterior.beta_cov_chol =
      xp.attr("asarray")(record::entry(model, record::beta_cov_chol), "dtype"_a = dtype);
  // Features without a column would broadcast against every coefficient in
  // the draws' einsum and answer for another model; other widths fail there.
  py::int_ d_aug = host_int(posterior.beta_mean.attr("shape")[py::int_(1)]);
  if (host_int(Xn.attr("shape")[py::int_(1)]).equal(py::int_(0)) && !d_aug.equal(py::int_(1))) {
    throw py::value_error("X has 0 features, but the model expects " +
                          py::str(d_aug - py::int_(1)).cast<std::string>());
  }
  check_feature_values(np, Xn, dtype);
  if (num_posterior_samples > py::int_(1)) {
    check_sampling_memory(
        "drawing num_posterior_samples=" + py::str(num_posterior_samples).cast<std::string>() +
            " coefficient sets",
        np, num_posterior_samples, Xn.attr("shape")[py::int_(0)], posterior.n_classes,
        posterior.beta_mean.attr("shape")[py::int_(1)], dtype);
  }
  posterior.Xj = xp.attr("asarray")(Xn, "dtype"_a = dtype);
  return posterior;
}

void check_finite_probabilities(py::handle np, py::handle probs, py::handle dtype) {
  if (!all_finite(np, probs)) refuse_nonfinite_probabilities(np, dtype);
}

void refuse_nonfinite_probabilities(py::handle np, py::handle dtype) {
  throw py::value_error("the class probabilities came out NaN or infinite in " +
                        dtype_text(np, dtype) +
                        ": X or the model's coefficients are too large for this precision");
}

py::object coefficient_noise(py::handle jax, py::handle key, py::handle S, py::handle n_rows,
                             py::handle d_aug, py::handle dtype) {
  py::object shape = py::make_tuple(S, n_rows, d_aug);
  return jax.attr("random").attr("normal")(key, "shape"_a = shape, "dtype"_a = dtype);
}

py::object sampled_logits(py::handle jnp, py::handle Xj, py::handle beta_mean,
                          py::handle beta_cov_chol, py::handle noise, py::handle non_ref,
                          py::handle ref_class, py::handle n_classes, py::handle S) {
  py::object dtype = Xj.attr("dtype");
  py::int_ n = host_int(Xj.attr("shape")[py::int_(0)]);

  // Draw s of row k: the mean plus the class's factor times its noise vector.
  py::object mean = beta_mean[py::make_tuple(py::none(), all(), all())];
  py::object beta_s = mean + jnp.attr("einsum")("kij,skj->ski", beta_cov_chol, noise);
  py::object X_aug = with_bias_column(jnp, Xj);
  py::object eta = jnp.attr("einsum")("nd,skd->skn", X_aug, beta_s);
  py::object logits_s = jnp.attr("zeros")(py::make_tuple(S, n, n_classes), "dtype"_a = dtype);
  logits_s = logits_s.attr("at")[py::make_tuple(all(), all(), non_ref)].attr("set")(
      jnp.attr("transpose")(eta, py::make_tuple(0, 2, 1)));
  py::object zeros = jnp.attr("zeros")(py::make_tuple(S, n), "dtype"_a = dtype);
  return logits_s.attr("at")[py::make_tuple(all(), all(), ref_class)].attr("set")(zeros);
}

py::object draw_labels(py::handle globals, py::handle key_cat, py::handle S, py::handle probs,
                       py::handle dtype) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  // Machine epsilon keeps the log finite for classes of zero probability.
  py::object eps = jnp.attr("finfo")(dtype).attr("eps");
  py::object logp = jnp.attr("log")(probs + eps);
  py::object keys = jax.attr("random").attr("split")(key_cat, S);
  py::object draw = make_function(draw_one, globals);
  return jax.attr("vmap")(draw)(keys, logp);
}

}  // namespace kelvra::inference
