// Inputs as they enter a call: the conversions the modules document, and the
// strict variant the engine uses, which refuses what a conversion would
// silently change instead of computing with the changed value.
#pragma once

#include "common/function.hpp"

namespace kelvra {

enum class Strictness {
  lenient,  // the modules: counts and labels truncated to ints, complex X made real
  strict,   // the engine: such inputs refused with a one-line ValueError
};

// X as a float64 NumPy array. Strict refuses complex X, whose imaginary part
// the conversion would drop.
py::object float64_features(py::handle np, py::handle X, Strictness strictness);

// Strict refuses an int parameter that was passed as a number with a
// fractional part (3.7), which the parameter's conversion truncated.
void check_whole_number(const Call& call, const char* name, Strictness strictness);

// y as an int64 NumPy array. Strict refuses labels the conversion would
// truncate: fractions, complex numbers, objects that are not integers.
py::object int64_labels(py::handle np, py::handle yn, Strictness strictness);

}  // namespace kelvra
