#include "common/record.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "common/module.hpp"
#include "common/python.hpp"

namespace kelvra::record {

using namespace pybind11::literals;

namespace {

constexpr const char* kSchemaModule = "kelvra_bci.kelvra_io";
constexpr const char* kSchemaName = "SOFTMAX_KEYS";

// Every key named above, alphabetically: which keys the code knows, not
// the order of a record.
constexpr const char* kKnown[] = {
    b_loc,        b_scale,    backend,       beta_cov_chol, beta_mean,
    class_counts, label_base, learning_rate, n_classes,     non_ref_classes,
    num_steps,    ref_class,  rng_seed,      w_loc,         w_scale,
};

constexpr const char* kMemoryName = "MEMORY_KEYS";
constexpr const char* kMemory[] = {
    memory_X,     memory_y,    memory_weight, anchor_hessian,
    anchor_shift, anchor_tilt, memory_size,   memory_trials,
};

std::vector<std::string> loaded_order;

[[noreturn]] void malformed_schema(const std::string& problem, const char* name = kSchemaName) {
  const std::string message = std::string(kSchemaModule) + "." + name + " " + problem;
  PyErr_SetString(PyExc_ImportError, message.c_str());
  throw py::error_already_set();
}

bool known(const std::string& key) {
  return std::find(std::begin(kKnown), std::end(kKnown), key) != std::end(kKnown);
}

}  // namespace

const std::vector<std::string>& key_order() {
  return loaded_order;
}

void load_key_order(py::handle globals) {
  py::object keys = import_from(globals, kSchemaModule, kSchemaName, 0);
  if (!PyTuple_CheckExact(keys.ptr())) {
    malformed_schema(std::string("must be a tuple of str, not ") + Py_TYPE(keys.ptr())->tp_name);
  }
  std::vector<std::string> order;
  for (py::handle key : keys) {
    if (!PyUnicode_CheckExact(key.ptr())) {
      malformed_schema(std::string("must be a tuple of str, but holds a ") +
                       Py_TYPE(key.ptr())->tp_name);
    }
    const auto name = key.cast<std::string>();
    if (!known(name)) malformed_schema("names '" + name + "', a key the extension modules lack");
    if (std::find(order.begin(), order.end(), name) != order.end()) {
      malformed_schema("names '" + name + "' twice");
    }
    order.push_back(name);
  }
  for (const char* name : kKnown) {
    if (std::find(order.begin(), order.end(), name) == order.end()) {
      malformed_schema(std::string("lacks '") + name + "', a key the extension modules write");
    }
  }
  // The memory's keys, in any order, each once: only the engine writes them.
  py::object memory = import_from(globals, kSchemaModule, kMemoryName, 0);
  if (!PyTuple_CheckExact(memory.ptr()) || py::len(memory) != std::size(kMemory)) {
    malformed_schema(
        "must be a tuple of the memory's " + std::to_string(std::size(kMemory)) + " keys",
        kMemoryName);
  }
  for (const char* name : kMemory) {
    if (!memory.attr("__contains__")(name).cast<bool>()) {
      malformed_schema(std::string("lacks '") + name + "', a key the engine writes", kMemoryName);
    }
  }
  loaded_order = std::move(order);
}

py::dict in_key_order(const py::dict& params) {
  if (py::len(params) != loaded_order.size()) {
    throw std::logic_error("a record was written with other keys than the schema's");
  }
  py::dict ordered;
  for (const std::string& key : loaded_order) {
    PyObject* value = PyDict_GetItemString(params.ptr(), key.c_str());
    if (value == nullptr) {
      throw std::logic_error("a record was written without its '" + key + "' entry");
    }
    ordered[key.c_str()] = py::handle(value);
  }
  return ordered;
}

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
