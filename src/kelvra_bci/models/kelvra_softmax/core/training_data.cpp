#include "core/training_data.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/limits.hpp"
#include "common/python.hpp"
#include "core/bias_column.hpp"

namespace kelvra::learning {

using namespace pybind11::literals;

TrainingArrays checked_training_arrays(py::handle np, py::handle X, py::handle y,
                                       Strictness strictness) {
  py::object Xn = float64_features(np, X, strictness);
  py::object yn = np.attr("asarray")(y);
  if (not_equal(Xn.attr("ndim"), py::int_(2))) invalid("X must be 2D: (n_trials, n_features)");
  if (not_equal(yn.attr("ndim"), py::int_(1))) invalid("y must be 1D: (n_trials,)");
  if (not_equal(Xn.attr("shape")[py::int_(0)], yn.attr("shape")[py::int_(0)])) {
    invalid("X and y must have same number of rows");
  }
  // The modules fail later, on the minimum of no labels.
  if (strictness == Strictness::strict &&
      host_int(Xn.attr("shape")[py::int_(0)]).equal(py::int_(0))) {
    invalid("X and y must hold at least one trial");
  }
  return {std::move(Xn), std::move(yn)};
}

void check_sweep_settings(double learning_rate, const py::int_& num_steps) {
  // Written as "not in range" so that a NaN rate is refused.
  if (!(0.0 < learning_rate && learning_rate <= 1.0)) invalid("learning_rate must be in (0, 1]");
  if (num_steps < py::int_(1)) invalid("num_steps must be >= 1");
}

py::object zero_based_labels(py::handle np, py::handle yn, py::handle label_base,
                             Strictness strictness) {
  return int64_labels(np, yn, strictness) - label_base;
}

void check_sweep_cap(const py::int_& num_steps) {
  const std::int64_t cap = limits().int32_max;
  if (!int_within(num_steps, 1, cap)) invalid("num_steps must be <= " + std::to_string(cap));
}

void check_finite_setting(const char* name, double value) {
  if (!std::isfinite(value)) invalid(std::string(name) + " must be finite");
}

void check_prior_scale(const char* name, double scale, py::handle np, py::handle dtype) {
  check_finite_setting(name, scale);
  // The precision is formed in double, then stored in the working dtype:
  // it must neither overflow to infinity nor vanish there.
  const double precision = 1.0 / (scale * scale);
  py::object info = np.attr("finfo")(dtype);
  const double largest = info.attr("max").cast<double>();
  const double smallest = info.attr("smallest_normal").cast<double>();
  if (!(precision <= largest && precision >= smallest)) {
    char message[256];
    std::snprintf(message, sizeof message,
                  "%s=%g is out of range: the prior precision 1/%s**2 does not fit in %s", name,
                  scale, name, py::str(info.attr("dtype")).cast<std::string>().c_str());
    invalid(message);
  }
}

void check_finite_features(py::handle np, py::handle Xn, py::handle dtype) {
  if (!np.attr("isfinite")(Xn).attr("all")().cast<bool>()) {
    invalid("X must not contain NaN or infinite values");
  }
  if (Xn.attr("size").cast<py::ssize_t>() == 0) return;
  const double largest = np.attr("finfo")(dtype).attr("max").cast<double>();
  if (np.attr("abs")(Xn).attr("max")().cast<double>() > largest) {
    invalid("X holds values too large for " +
            py::str(np.attr("finfo")(dtype).attr("dtype")).cast<std::string>());
  }
}

void check_class_count(const std::string& what, const py::int_& n_classes, const py::int_& d_aug,
                       py::handle np, py::handle dtype) {
  const std::int64_t most = limits().max_classes;
  if (!int_within(n_classes, 2, most)) {
    invalid(what + ": " + py::str(n_classes).cast<std::string>() + " classes is more than the " +
            std::to_string(most) + " supported");
  }
  // Each class row holds a mean and a d x d factor; the sweeps keep a few
  // such stacks alive at once.
  const double d = d_aug.cast<double>();
  const double itemsize = np.attr("dtype")(dtype).attr("itemsize").cast<double>();
  const double bytes = 4.0 * n_classes.cast<double>() * (d * d + d) * itemsize;
  require_memory(what.c_str(), bytes);
}

void check_sweep_work(const char* what, const py::int_& num_steps, py::handle n_trials,
                      const py::int_& d_aug, const py::int_& n_classes, Strictness strictness) {
  if (strictness == Strictness::lenient) return;
  const double n = py::cast<double>(n_trials), d = d_aug.cast<double>();
  const double classes = n_classes.cast<double>(), steps = num_steps.cast<double>();
  const double per_step = std::max(kClassStepFloor, n * d * (classes + 2.0 * d) + 3.0 * d * d * d);
  const double operations = steps * (classes - 1.0) * per_step;
  if (operations <= kMaxSweepOperations) return;
  char message[512];
  std::snprintf(
      message, sizeof message,
      "%s: %s sweeps over %s classes, %s trials and %s features come to about %.1e "
      "operations, more than the %.0e one engine call may do",
      what, py::str(num_steps).cast<std::string>().c_str(),
      py::str(n_classes).cast<std::string>().c_str(), py::str(n_trials).cast<std::string>().c_str(),
      py::str(d_aug - py::int_(1)).cast<std::string>().c_str(), operations, kMaxSweepOperations);
  invalid(message);
}

void check_mode_work(const std::string& what, const py::int_& num_steps, double n_trials,
                     double d_aug, double rows, bool by_evidence, py::handle np, py::handle dtype,
                     double sets, double sets_at_once, bool in_trials) {
  const double size = rows * d_aug;
  const double trial_size = rows * n_trials;
  const double searches = by_evidence ? kModeSearches : 1.0;
  const double factored = in_trials ? trial_size * trial_size * (trial_size / 3.0 + rows)
                                    : size * size * (size + n_trials);
  const double per_step = std::max(kClassStepFloor, factored + 16.0 * n_trials * size);
  const double once = in_trials ? n_trials * n_trials * d_aug + n_trials * size * size : 0.0;
  const double operations = sets * (searches * num_steps.cast<double>() * per_step + once);
  if (operations > kMaxSweepOperations) {
    char message[512];
    const std::string of_sets =
        sets > 1.0 ? " in each of " + std::to_string(static_cast<long long>(sets)) + " sets" : "";
    std::snprintf(message, sizeof message,
                  "%s: %s Newton steps over %.0f class rows of %.0f coefficients and %.0f trials"
                  "%s come to about %.1e operations, more than the %.0e one engine call may do",
                  what.c_str(), py::str(num_steps).cast<std::string>().c_str(), rows, d_aug,
                  n_trials, of_sets.c_str(), operations, kMaxSweepOperations);
    invalid(message);
  }
  const double itemsize = np.attr("dtype")(dtype).attr("itemsize").cast<double>();
  // Sets computed one after another leave behind what their records keep:
  // the anchor's Hessian and two stacks of row blocks.
  const double working = (in_trials ? kModeMatrices * trial_size * trial_size + 4.0 * size * size
                                    : kModeMatrices * size * size) +
                         4.0 * n_trials * (size + d_aug);
  const double kept = 3.0 * size * size;
  require_memory(what.c_str(), itemsize * (sets_at_once * working + (sets - sets_at_once) * kept));
}

void check_finite_posterior(py::handle np, py::handle beta_mean, py::handle beta_cov_chol) {
  if (all_finite(np, beta_mean) && all_finite(np, beta_cov_chol)) return;
  const std::string dtype = dtype_text(np, beta_mean.attr("dtype"));
  invalid("the sweeps ended in NaN or infinity in " + dtype +
          ": the features are too large or too collinear for this precision; standardise X" +
          (dtype == "float32" ? " or turn on JAX's 64-bit mode" : ""));
}

ClassLayout class_layout(py::handle np, py::handle y0, const py::int_& n_classes) {
  py::object int64 = np.attr("int64");
  py::object counts = np.attr("bincount")(y0, "minlength"_a = n_classes).attr("astype")(int64);
  // The most frequent class is the reference; ties go to the smallest index.
  py::int_ ref_class = host_int(np.attr("argmax")(counts));
  py::object classes = np.attr("arange")(n_classes, "dtype"_a = int64);
  py::object non_ref = np.attr("delete")(classes, ref_class);
  return {std::move(counts), std::move(ref_class), std::move(non_ref)};
}

Design design_matrix(py::handle jnp, py::handle Xn, py::handle y0, py::handle dtype) {
  Design design;
  design.Xj = jnp.attr("asarray")(Xn, "dtype"_a = dtype);
  design.yj = jnp.attr("asarray")(y0, "dtype"_a = jnp.attr("int32"));
  design.n_features = host_int(design.Xj.attr("shape")[py::int_(1)]);
  // Derived arrays follow the converted array's dtype, the single source of truth.
  design.X_aug = with_bias_column(jnp, design.Xj);
  design.d_aug = host_int(design.X_aug.attr("shape")[py::int_(1)]);
  return design;
}

}  // namespace kelvra::learning
