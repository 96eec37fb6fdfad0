// Turning C++ exceptions into Python errors at the interpreter boundary.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <new>

namespace kelvra {

// The type a module raises for a caller's bad input (a C++ value_error):
// ValueError, unless the module's start-up named a subclass of it with
// set_input_error(). Each extension module holds its own.
PyObject* input_error();
void set_input_error(pybind11::handle type);

// Whether a number that no int or double holds (a count of inf, a real of
// 2**2000) is refused as input_error() in a line naming the parameter,
// rather than with the OverflowError of its conversion. Off unless the
// module's start-up turns it on: the learning and inference modules convert
// as int() and float() do.
bool overflow_is_input_error();
void set_overflow_is_input_error(bool on);

// Runs `work`; any C++ exception it throws becomes the pending Python error.
// Returns false when an error is pending. Nothing thrown may reach CPython.
template <typename Work>
bool translate_exceptions(Work&& work) noexcept {
  try {
    work();
    return true;
  } catch (pybind11::error_already_set& error) {
    error.restore();  // the very exception the failed Python call raised
  } catch (pybind11::value_error& error) {
    PyErr_SetString(input_error(), error.what());
  } catch (pybind11::builtin_exception& error) {
    error.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
  return false;
}

}  // namespace kelvra
