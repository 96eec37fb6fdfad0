// What the fit's and the update's coordinate sweeps share in a class step.
#pragma once

#include <utility>

#include "common/function.hpp"

namespace kelvra::learning {

// The per-call arrays a class step reads; captured by the loop bodies.
struct StepContext {
  py::handle X_aug;      // (n, d) design matrix, bias column last
  py::handle dtype;      // the working dtype
  py::handle yj;         // (n,) int32 zero-based labels
  py::handle non_ref_j;  // (k,) int32 class of each state row
  py::handle one_s;      // 0-d one of the working dtype
  py::handle alpha;      // 0-d damping weight
  py::handle ref0;       // (n, 1) zero logit column of the reference class
};

// The offset and 0/1 target of the binary problem of state row `i`: the
// log-sum-exp of every other class's logits under the current means, and the
// membership of each trial in the row's class.
std::pair<py::object, py::object> offset_and_target(const Call& call, const StepContext& context,
                                                    py::handle beta_mean, py::handle i);

// The loop state with row i replaced: the mean, then the second item (the
// covariance in the fit, its Cholesky factor in the update).
py::tuple write_row(py::handle beta_mean, py::handle second, py::handle i, py::handle mean_row,
                    py::handle second_row);

// (1 - alpha) * current + alpha * updated, with 0-d constants of the working dtype.
py::object damp(const StepContext& context, py::handle current, py::handle updated);

}  // namespace kelvra::learning
