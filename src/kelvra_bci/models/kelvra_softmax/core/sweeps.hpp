// The sweep loops of the fit and of the update, shared by the learning module
// (run eagerly, loop bodies made per call) and the engine (traced once under
// jax.jit). Arguments that are host numbers in the module are traced arrays
// in the engine; the code below works with either.
#pragma once

#include <string>

#include "common/function.hpp"

namespace kelvra::learning {

// What every sweep of one call reads.
struct SweepInputs {
  py::object X_aug;      // (n, d) design matrix, bias column last
  py::object yj;         // (n,) int32 zero-based labels
  py::object non_ref_j;  // (k,) int32 class of each state row
  py::object dtype;      // working dtype
  py::object alpha;      // damping weight: a host double or a 0-d array
};

struct SweepResult {
  py::object beta_mean;      // (k, d)
  py::object beta_cov_chol;  // (k, d, d) lower Cholesky factors of the covariances
  py::object n_sweeps;       // sweeps run: the host or traced loop count
};

// The shared prior of the fit: mean (w_loc, ..., w_loc, b_loc) and the
// diagonal precision (w_prec, ..., b_prec). Scalars may be host numbers or
// 0-d arrays; precisions are computed by the caller in double precision.
// The one place a prior is built: in jax.numpy by the sweeps, in NumPy for
// the classes an update adds on the host.
struct FitPrior {
  py::object m_prior;  // (d,)
  py::object prec0;    // (d, d)
};
FitPrior fit_prior(py::handle xp, py::handle dtype, const py::int_& n_features, py::handle w_loc,
                   py::handle w_prec, py::handle b_loc, py::handle b_prec);

// The batch fit's sweeps from the prior: `num_steps` of them, or, when `tol`
// is not None, until the largest relative change of a mean falls below it.
SweepResult run_fit_sweeps(py::handle globals, const SweepInputs& inputs, const FitPrior& prior,
                           const py::int_& n_classes, py::handle num_steps, py::handle tol);

// How an update weighs its new trials.
enum class UpdateRule {
  resweep,  // each sweep takes the last one's result as its prior
  once,     // every sweep keeps the incoming record's Gaussians as the prior
};

// Parses "once" / "resweep"; None gives `fallback`.
UpdateRule parse_update_rule(py::handle rule, UpdateRule fallback);

// The update's sweeps from the stored Gaussians (means and Cholesky factors).
SweepResult run_update_sweeps(py::handle globals, const SweepInputs& inputs, py::handle beta_mean,
                              py::handle beta_cov_chol, py::handle num_steps, py::handle tol,
                              UpdateRule rule);

// Whether an iterative loop goes on: fewer than `num_steps` steps so far and
// the last relative change at least `tol`. The sweeps and Newton's method
// stop on this one rule, so that a tol means the same to both.
py::object still_moving(py::handle globals, py::handle steps, py::handle change,
                        py::handle num_steps, py::handle tol);

// The loop shared by both when sweeps run to convergence: the state is
// (means, second stack), `sweep` a loop body taking (index, state).
// Returns (means, second stack, sweeps run).
py::tuple sweep_until_converged(py::handle globals, py::handle sweep, py::handle beta_mean,
                                py::handle second, py::handle num_steps, py::handle tol,
                                py::handle dtype);

}  // namespace kelvra::learning
