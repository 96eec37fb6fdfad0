#include "common/limits.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace kelvra {

bool int_within(py::handle value, std::int64_t low, std::int64_t high) {
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
  return overflow == 0 && number >= low && number <= high;
}

std::uint64_t available_memory() {
  // MemAvailable counts reclaimable caches too, unlike the free page count.
  std::ifstream meminfo("/proc/meminfo");
  std::string label;
  std::uint64_t kib = 0;
  std::string unit;
  while (meminfo >> label >> kib >> unit) {
    if (label == "MemAvailable:") return kib * 1024;
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0) {
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  }
  return 0;
}

void require_memory(const char* request, double bytes) {
  const std::uint64_t available = available_memory();
  if (available == 0 || bytes <= static_cast<double>(available)) return;
  constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
  char message[512];
  std::snprintf(message, sizeof message,
                "%s needs about %.1f GiB of memory, more than the %.1f GiB available", request,
                bytes / kGiB, static_cast<double>(available) / kGiB);
  PyErr_SetString(PyExc_MemoryError, message);
  throw py::error_already_set();
}

}  // namespace kelvra
