// What the fit and the update (of both the modules and the engine) do with
// their inputs before any sweep: the checks in their fixed order, the
// zero-based labels, the class layout and the design matrix.
#pragma once

#include <string>

#include "common/function.hpp"
#include "core/edge.hpp"

namespace kelvra::learning {

[[noreturn]] inline void invalid(const std::string& message) {
  throw py::value_error(message);
}

struct TrainingArrays {
  py::object Xn;  // features as float64 NumPy
  py::object yn;  // labels as given, as NumPy
};

// Converts X and y and checks their shapes, in the order callers observe.
// Strict also refuses complex X and calls without a trial.
TrainingArrays checked_training_arrays(py::handle np, py::handle X, py::handle y,
                                       Strictness strictness);

// The damping and sweep-count checks that the fit and the update share.
void check_sweep_settings(double learning_rate, const py::int_& num_steps);

// y as int64 (see int64_labels) minus the label base.
py::object zero_based_labels(py::handle np, py::handle yn, py::handle label_base,
                             Strictness strictness);

// Checks that go beyond the documented ones, so that no setting can turn into
// a NaN model, an overflow deep inside the array library, or a request for
// more memory than the machine has. They run after the documented checks.
void check_sweep_cap(const py::int_& num_steps);
void check_finite_setting(const char* name, double value);
// `scale` must give a prior precision 1 / scale**2 that the working dtype holds.
void check_prior_scale(const char* name, double scale, py::handle np, py::handle dtype);
// No NaN or infinity, and nothing beyond the range of the working dtype.
void check_finite_features(py::handle np, py::handle Xn, py::handle dtype);
// `n_classes` classes of `d_aug` coefficients must stay within the classes a
// model file holds and the memory available; `what` names the request.
void check_class_count(const std::string& what, const py::int_& n_classes, const py::int_& d_aug,
                       py::handle np, py::handle dtype);

// The bound of work of one strict (engine) call: compiled sweeps cannot be
// interrupted, so a request that would run for hours is refused up front.
// The estimate counts, for each of num_steps sweeps and each of the
// n_classes - 1 class steps, n * d * (n_classes + 2 d) + 3 d**3 operations
// (n trials, d = features + 1), and at least kClassStepFloor: a class step
// costs microseconds of loop overhead however small the problem.
inline constexpr double kMaxSweepOperations = 1e13;
inline constexpr double kClassStepFloor = 1e4;
void check_sweep_work(const char* what, const py::int_& num_steps, py::handle n_trials,
                      const py::int_& d_aug, const py::int_& n_classes, Strictness strictness);

// The bound of work and memory of one call by the posterior mode (fit or
// update), held to the same kMaxSweepOperations. Every Newton step forms the
// Hessian of all R class rows of d coefficients from n trials (n (R d)**2),
// factors and inverts it ((R d)**3) and tries its step lengths (about
// 16 n R d); a fit with w_scale "auto" runs kModeSearches searches of up to
// num_steps steps each (MacKay's fixed point, the evidence grid, the final
// mode). Several (R d)**2 matrices are alive at once (kModeMatrices), which
// must fit in the memory available. A call that fits `sets` data sets of
// that shape does their work together, holds the working matrices of
// `sets_at_once` of them at a time and the results of all.
//
// A fit whose Newton steps run in the space of the trials (`in_trials`,
// fewer padded trials n than coefficients d per row) forms and factors an
// (n R)-square matrix per step instead ((n R)**2 (n R / 3 + R)) and tries its
// step lengths as before; once per fit it forms the trials' Gram matrix (n**2
// d) and the (R d)-square anchor of the trials the memory does not keep (n
// (R d)**2), which with the (n R)-square working matrices must fit in memory.
inline constexpr double kModeSearches = 10;
inline constexpr double kModeMatrices = 10;
void check_mode_work(const std::string& what, const py::int_& num_steps, double n_trials,
                     double d_aug, double rows, bool by_evidence, py::handle np, py::handle dtype,
                     double sets = 1.0, double sets_at_once = 1.0, bool in_trials = false);

// The reference class is the most frequent; every other class has a row.
struct ClassLayout {
  py::object counts;   // (K,) int64 trials per class
  py::int_ ref_class;  // first maximum of the counts
  py::object non_ref;  // (K-1,) int64 the other classes, ascending
};
ClassLayout class_layout(py::handle np, py::handle y0, const py::int_& n_classes);

// Refuses a posterior whose sweeps ended in NaN or infinity: features too
// large or too collinear for the working precision end there, and such a
// model would only ever predict NaN.
void check_finite_posterior(py::handle np, py::handle beta_mean, py::handle beta_cov_chol);

struct Design {
  py::object Xj;     // (n, p) features in the working dtype
  py::object yj;     // (n,) int32 zero-based labels
  py::object X_aug;  // (n, p + 1) features with the bias column last
  py::int_ n_features;
  py::int_ d_aug;
};

// The design matrix as JAX arrays of the working dtype.
Design design_matrix(py::handle jnp, py::handle Xn, py::handle y0, py::handle dtype);

}  // namespace kelvra::learning
