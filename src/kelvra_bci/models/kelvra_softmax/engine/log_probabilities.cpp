// The engine's log class probabilities, in float64 log space on the host:
// finite where the probabilities underflow, and from the very draws that
// predict_proba makes for the same seed.
#include <algorithm>
#include <cmath>

#include "common/limits.hpp"
#include "common/python.hpp"
#include "core/bias_column.hpp"
#include "engine/engine.hpp"
#include "engine/prediction.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/engine/log_probabilities.cpp";

// Float64 values of (draws, trials, classes) logits a block may hold: a few
// such arrays are alive at once, so a block stays within tens of MiB.
constexpr double kBlockValues = 1 << 21;

// log softmax along the last axis, shifted by the maximum so that no exp overflows.
py::object log_softmax(py::handle np, py::handle logits) {
  py::object shifted = logits - np.attr("max")(logits, "axis"_a = -1, "keepdims"_a = true);
  py::object total = np.attr("sum")(np.attr("exp")(shifted), "axis"_a = -1, "keepdims"_a = true);
  return shifted - np.attr("log")(total);
}

// log of the sum of exp along the first axis (the draws).
py::object logsumexp_of_draws(py::handle np, py::handle values) {
  py::object top = np.attr("max")(values, "axis"_a = 0);
  py::object total = np.attr("sum")(np.attr("exp")(values - top), "axis"_a = 0);
  return top + np.attr("log")(total);
}

// The logits of every class, the reference class's column zero, from the
// (..., n, K - 1) linear predictors of the other classes.
py::object class_logits(py::handle np, py::handle eta, const inference::Posterior& posterior) {
  py::tuple shape = eta.attr("shape");
  py::list full(shape);
  full[py::len(full) - 1] = posterior.n_classes;
  py::object logits = np.attr("zeros")(py::tuple(full), "dtype"_a = np.attr("float64"));
  logits[py::make_tuple(py::ellipsis(), posterior.non_ref)] = eta;
  logits[py::make_tuple(py::ellipsis(), posterior.ref_class)] = py::float_(0.0);
  return logits;
}

py::object predict_log_proba_body(Call& call) {
  py::object np = call.global("np");
  py::object jax = call.global("jax");
  const Prepared prepared = prepare_prediction(call, false);
  const inference::Posterior& posterior = prepared.posterior;
  py::object float64 = np.attr("float64");
  // The features and means as the compiled probabilities see them, in float64.
  py::object X_aug = with_bias_column(np, posterior.Xj.attr("astype")(float64));
  py::object means = posterior.beta_mean.attr("astype")(float64);

  py::object log_proba;
  if (prepared.S.equal(py::int_(1))) {
    log_proba = log_softmax(np, class_logits(np, matmul(X_aug, means.attr("T")), posterior));
  } else {
    // The noise of predict_proba's draws: one array for all S draws, as the
    // key's values depend on the shape drawn.
    py::object noise = np.attr("asarray")(inference::coefficient_noise(
        jax, prediction_key(call), prepared.S, posterior.n_classes - py::int_(1), prepared.d_aug,
        prepared.dtype));
    py::object factors = posterior.beta_cov_chol.attr("astype")(float64);
    const double S = prepared.S.cast<double>();
    const double per_draw =
        std::max(1.0, static_cast<double>(prepared.n) * posterior.n_classes.cast<double>());
    const auto block = static_cast<py::ssize_t>(std::clamp(kBlockValues / per_draw, 1.0, S));
    const auto total_draws = prepared.S.cast<py::ssize_t>();
    for (py::ssize_t start = 0; start < total_draws; start += block) {
      py::slice draws_here(start, std::min(start + block, total_draws), 1);
      py::object eps = noise[draws_here].attr("astype")(float64);
      // Each draw: a class's mean plus its factor times its noise vector.
      py::object column = eps[py::make_tuple(py::ellipsis(), py::none())];
      py::object draws = means + matmul(factors, column)[py::make_tuple(py::ellipsis(), 0)];
      py::object eta = matmul(X_aug, np.attr("swapaxes")(draws, -1, -2));
      py::object in_block =
          logsumexp_of_draws(np, log_softmax(np, class_logits(np, eta, posterior)));
      log_proba = log_proba ? np.attr("logaddexp")(log_proba, in_block) : in_block;
    }
    log_proba = log_proba - py::float_(std::log(S));
  }
  if (!all_finite(np, log_proba)) inference::refuse_nonfinite_probabilities(np, float64);
  return log_proba;
}

}  // namespace

const FunctionDef predict_log_proba = {
    "predict_log_proba",
    "predict_log_proba",
    inference::prediction_parameters(),
    "np.ndarray",
    "Log class probabilities, computed in float64 log space.\n"
    "\n"
    "Finite where predict_proba underflows to 0. With num_posterior_samples=1,\n"
    "the log-softmax of the logits at the posterior means; with more, the log of\n"
    "the average over the same coefficient draws that predict_proba makes for\n"
    "the same rng_seed (log-sum-exp of the draws' log-softmax, minus the log of\n"
    "their number), so its exp equals predict_proba up to the rounding of\n"
    "predict_proba's precision. Same arguments and checks as predict_proba,\n"
    "memory check included; the draws are reduced in blocks, so memory beyond\n"
    "their noise stays bounded. Returns float64 of shape (n_trials, n_classes).",
    predict_log_proba_body,
    kSource,
};

}  // namespace kelvra::engine
