#include "common/record.hpp"

#include "common/python.hpp"

namespace kelvra::record {

using namespace pybind11::literals;

py::object entry(py::handle model, const char* key) {
  return model.attr("params")[key];
}

py::object read_int_array(py::handle np, py::handle model, const char* key) {
  return np.attr("asarray")(entry(model, key), "dtype"_a = np.attr("int64"));
}

py::int_ read_int(py::handle np, py::handle model, const char* key) {
  return host_int(read_int_array(np, model, key));
}

double read_double(py::handle np, py::handle model, const char* key) {
  return host_double(np.attr("asarray")(entry(model, key), "dtype"_a = np.attr("float64")));
}

py::object backend_entry(py::handle np) {
  return np.attr("array")(backend_name,
                          "dtype"_a = py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
}

}  // namespace kelvra::record
