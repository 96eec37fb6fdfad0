#include "core/bias_column.hpp"

#include "common/python.hpp"

namespace kelvra {

using namespace pybind11::literals;

py::object with_bias_column(py::handle xp, py::handle X) {
  py::int_ n = host_int(X.attr("shape")[py::int_(0)]);
  py::object ones = xp.attr("ones")(py::make_tuple(n, 1), "dtype"_a = X.attr("dtype"));
  return xp.attr("concatenate")(py::make_tuple(X, ones), "axis"_a = 1);
}

}  // namespace kelvra
