// Bounds that keep one oversized request from exhausting the machine or
// reaching the array library with numbers it cannot represent.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace kelvra {

namespace py = pybind11;

// The bounds that kelvra_bci.limits defines, read once when the module is
// imported, so that the host package and the extensions cannot disagree.
struct Limits {
  std::int64_t max_classes;  // MAX_CLASSES: classes a model may have
  std::int64_t int32_max;    // INT32_MAX: loop counts and sizes travel as int32
  std::int64_t int64_min;    // INT64_MIN and INT64_MAX: seeds are int64
  std::int64_t int64_max;
  std::int64_t max_memory;  // MAX_MEMORY: trials a record of method "mode" may remember
};

// The bounds as loaded; only valid once load_limits() has succeeded, which
// every module's start-up does before making its callables.
const Limits& limits();

// Reads the bounds from kelvra_bci.limits, imported relative to `globals`.
// Raises ImportError when a name is missing, is not an int, or differs from
// what the fixed-width types that the extensions hand on can hold.
void load_limits(py::handle globals);

// Whether `value` lies in [low, high]; false for anything that is not an int
// of that range, however large.
bool int_within(py::handle value, std::int64_t low, std::int64_t high);

// Bytes of memory the process could still use: the machine's available
// memory, lowered by the process's address-space limit and its control
// group's limit where those are set; 0 when nothing says.
std::uint64_t available_memory();

// Raises MemoryError naming `request` when `bytes` exceed the memory available.
void require_memory(const char* request, double bytes);

// Whether every entry of the NumPy or JAX `array` is finite.
bool all_finite(py::handle np, py::handle array);

// "float32" or "float64", for messages.
std::string dtype_text(py::handle np, py::handle dtype);

}  // namespace kelvra
