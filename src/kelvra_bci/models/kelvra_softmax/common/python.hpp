// Small Python operations that pybind11 does not spell as C++ operators.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace kelvra {

namespace py = pybind11;

inline py::object steal_or_throw(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// a @ b
inline py::object matmul(py::handle a, py::handle b) {
  return steal_or_throw(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
}

// a == b, elementwise for arrays (pybind11's == collapses to a bool)
inline py::object equal(py::handle a, py::handle b) {
  return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
}

// a < b and a >= b, elementwise for arrays, traced ones included
inline py::object less(py::handle a, py::handle b) {
  return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_LT));
}
inline py::object greater_equal(py::handle a, py::handle b) {
  return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_GE));
}

// The full slice `:` of an index expression.
inline py::slice all() {
  return py::slice(py::none(), py::none(), py::none());
}

// Python's int(x) on a host value (static shapes, 0-d NumPy arrays).
inline py::int_ host_int(py::handle value) {
  return py::int_(py::reinterpret_borrow<py::object>(value));
}

// Python's float(x).
inline double host_double(py::handle value) {
  return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

}  // namespace kelvra

namespace kelvra {

// `a, b = value`, with the interpreter's errors for other lengths.
inline std::pair<py::object, py::object> unpack_pair(py::handle value) {
  PyObject* iterator = PyObject_GetIter(value.ptr());
  if (iterator == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(value.ptr())->tp_name);
    }
    throw py::error_already_set();
  }
  auto items = py::reinterpret_steal<py::object>(iterator);
  py::object pair[2];
  for (int got = 0; got < 2; ++got) {
    PyObject* item = PyIter_Next(items.ptr());
    if (item == nullptr) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
      }
      throw py::error_already_set();
    }
    pair[got] = py::reinterpret_steal<py::object>(item);
  }
  auto extra = py::reinterpret_steal<py::object>(PyIter_Next(items.ptr()));
  if (extra) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (PyErr_Occurred()) throw py::error_already_set();
  return {std::move(pair[0]), std::move(pair[1])};
}

// Python's `a != b` followed by a truth test.
inline bool not_equal(py::handle a, py::handle b) {
  return py::bool_(steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

}  // namespace kelvra

namespace kelvra {

// [value], for the one-element lists that array constructors take.
inline py::list list_of(py::object value) {
  py::list items;
  items.append(std::move(value));
  return items;
}

}  // namespace kelvra
