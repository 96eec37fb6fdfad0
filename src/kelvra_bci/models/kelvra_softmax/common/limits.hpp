// Bounds that keep one oversized request from exhausting the machine or
// reaching the array library with numbers it cannot represent.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace kelvra {

namespace py = pybind11;

// Loop counts and shape sizes travel through the array library as int32.
inline constexpr std::int64_t kInt32Max = 2147483647;

// Whether `value` lies in [low, high]; false for anything that is not an int
// of that range, however large.
bool int_within(py::handle value, std::int64_t low, std::int64_t high);

// Bytes of memory the process could still use, or 0 when the platform does not say.
std::uint64_t available_memory();

// Raises MemoryError naming `request` when `bytes` exceed the memory available.
void require_memory(const char* request, double bytes);

}  // namespace kelvra
