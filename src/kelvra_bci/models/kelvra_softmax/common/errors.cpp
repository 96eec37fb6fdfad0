#include "common/errors.hpp"

namespace kelvra {
namespace {

// A strong reference, never released: the type outlives every call, and
// must not be released after the interpreter has finalised.
PyObject* chosen_input_error = nullptr;
bool overflow_refused = false;

}  // namespace

PyObject* input_error() {
  return chosen_input_error != nullptr ? chosen_input_error : PyExc_ValueError;
}

void set_input_error(pybind11::handle type) {
  if (!PyType_Check(type.ptr()) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.ptr()),
                        reinterpret_cast<PyTypeObject*>(PyExc_ValueError))) {
    PyErr_SetString(PyExc_ImportError, "the input error type must be a subclass of ValueError");
    throw pybind11::error_already_set();
  }
  Py_XSETREF(chosen_input_error, Py_NewRef(type.ptr()));
}

bool overflow_is_input_error() {
  return overflow_refused;
}

void set_overflow_is_input_error(bool on) {
  overflow_refused = on;
}

}  // namespace kelvra
