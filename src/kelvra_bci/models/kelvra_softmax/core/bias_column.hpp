// The bias column that every design matrix carries last, where the record's
// coefficient rows expect it.
#pragma once

#include <pybind11/pybind11.h>

namespace kelvra {

namespace py = pybind11;

// `X` with a column of ones appended, built in the array namespace `xp`
// (NumPy on the host, jax.numpy for device or traced arrays) in X's dtype.
py::object with_bias_column(py::handle xp, py::handle X);

}  // namespace kelvra
