// Input checks and the design matrix that the fit and the update share.
#pragma once

#include "common/function.hpp"

namespace kelvra::learning {

[[noreturn]] inline void invalid(const char* message) {
  throw py::value_error(message);
}

struct TrainingArrays {
  py::object Xn;  // features as float64 NumPy
  py::object yn;  // labels as given, as NumPy
};

// Converts X and y and checks their shapes, in the order callers observe.
TrainingArrays checked_training_arrays(py::handle np, py::handle X, py::handle y);

struct Design {
  py::object Xj;     // (n, p) features in the working dtype
  py::object yj;     // (n,) int32 zero-based labels
  py::object X_aug;  // (n, p + 1) features with the bias column last
  py::int_ n_features;
  py::int_ d_aug;
};

// The working dtype comes from the precision policy, looked up at call time.
Design design_matrix(const Call& call, py::handle Xn, py::handle y0);

}  // namespace kelvra::learning
