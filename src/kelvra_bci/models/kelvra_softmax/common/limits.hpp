// Bounds that keep one oversized request from exhausting the machine or
// reaching the array library with numbers it cannot represent.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace kelvra {

namespace py = pybind11;

// Loop counts and shape sizes travel through the array library as int32.
inline constexpr std::int64_t kInt32Max = 2147483647;

// More classes than a model file may hold make sweeps that run for hours.
inline constexpr std::int64_t kMaxClasses = 1000000;

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
