#include "core/edge.hpp"

#include <string>

#include "common/limits.hpp"
#include "common/python.hpp"

namespace kelvra {

using namespace pybind11::literals;

namespace {

[[noreturn]] void refuse(const std::string& message) {
  throw py::value_error(message);
}

std::string kind_of(py::handle array) {
  return array.attr("dtype").attr("kind").cast<std::string>();
}

}  // namespace

py::object float64_features(py::handle np, py::handle X, Strictness strictness) {
  py::object float64 = np.attr("float64");
  if (strictness == Strictness::lenient) return np.attr("asarray")(X, "dtype"_a = float64);
  py::object given = np.attr("asarray")(X);
  if (kind_of(given) == "c") {
    refuse("X must hold real numbers, not " + dtype_text(np, given.attr("dtype")));
  }
  return np.attr("asarray")(given, "dtype"_a = float64);
}

void check_whole_number(const Call& call, const char* name, Strictness strictness) {
  if (strictness == Strictness::lenient) return;
  py::handle given = call.given(name);
  // Ints and what NumPy calls an integer pass as they are.
  if (PyLong_Check(given.ptr()) || PyIndex_Check(given.ptr())) return;
  if (!py::bool_(equal(given, call.arg(name)))) {
    refuse(std::string(name) + " must be an integer, not " + py::str(given).cast<std::string>());
  }
}

py::object int64_labels(py::handle np, py::handle yn, Strictness strictness) {
  py::object int64 = np.attr("int64");
  if (strictness == Strictness::lenient) return yn.attr("astype")(int64);
  auto first = [&](py::handle where) {
    return py::str(yn[where][py::int_(0)]).cast<std::string>();
  };
  const std::string kind = kind_of(yn);
  if (kind == "c") refuse("y must hold integer labels, not " + dtype_text(np, yn.attr("dtype")));
  if (kind == "f") {
    py::object fraction = np.attr("logical_and")(np.attr("isfinite")(yn),
                                                 np.attr("not_equal")(np.attr("floor")(yn), yn));
    if (py::bool_(fraction.attr("any")())) {
      refuse("y must hold integer labels, not " + first(fraction));
    }
    // NaN, infinities and whole numbers beyond int64 are out of range of any
    // model. They become the lowest int64, which the range checks refuse, as
    // the lenient conversion gives them on common machines, but exactly and
    // without its warning. As floats the bounds of int64 are exact.
    const double low = static_cast<double>(limits().int64_min);
    py::object inside =
        np.attr("logical_and")(greater_equal(yn, py::float_(low)), less(yn, py::float_(-low)));
    return np.attr("where")(inside, yn, py::float_(low)).attr("astype")(int64);
  }
  if (kind == "O") {
    // Python ints of any size convert, or fail, as in the lenient path; any
    // other object must equal the int it converts to.
    py::object labels = yn.attr("astype")(int64);
    py::object changed = np.attr("not_equal")(labels, yn).attr("astype")(np.attr("bool_"));
    if (py::bool_(changed.attr("any")())) {
      refuse("y must hold integer labels, not " + first(changed));
    }
    return labels;
  }
  // Ints, booleans and digits in text convert exactly or fail; uint64 labels
  // beyond int64 wrap to negative ones, which the range checks refuse.
  return yn.attr("astype")(int64);
}

}  // namespace kelvra
