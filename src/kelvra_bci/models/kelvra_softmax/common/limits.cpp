#include "common/limits.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "common/module.hpp"

namespace kelvra {
namespace {

constexpr const char* kLimitsModule = "kelvra_bci.limits";

Limits loaded_limits{};

[[noreturn]] void malformed_limit(const std::string& name, const std::string& problem) {
  const std::string message = std::string(kLimitsModule) + "." + name + " " + problem;
  PyErr_SetString(PyExc_ImportError, message.c_str());
  throw py::error_already_set();
}

// The int bound to `name` in the limits module: an int proper (not a bool
// or a float that happens to be whole), within int64.
std::int64_t limit_value(py::handle globals, const char* name) {
  py::object value = import_from(globals, kLimitsModule, name, 0);
  if (!PyLong_CheckExact(value.ptr())) {
    malformed_limit(name, std::string("must be an int, not ") + Py_TYPE(value.ptr())->tp_name);
  }
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0) {
    malformed_limit(
        name, "is " + py::repr(value).cast<std::string>() + ", beyond the signed 64-bit range");
  }
  return number;
}

// The extensions hand these bounds to fixed-width types: a value that differs
// from the type's own bound would let through what the type cannot hold.
void require_type_bound(const char* name, std::int64_t value, std::int64_t bound,
                        const char* type) {
  if (value != bound) {
    malformed_limit(name, "is " + std::to_string(value) +
                              ", but the extension modules hold it in " + type +
                              ", whose bound is " + std::to_string(bound));
  }
}

}  // namespace

const Limits& limits() {
  return loaded_limits;
}

void load_limits(py::handle globals) {
  Limits read;
  read.max_classes = limit_value(globals, "MAX_CLASSES");
  read.int32_max = limit_value(globals, "INT32_MAX");
  read.int64_min = limit_value(globals, "INT64_MIN");
  read.int64_max = limit_value(globals, "INT64_MAX");
  read.max_memory = limit_value(globals, "MAX_MEMORY");
  require_type_bound("INT32_MAX", read.int32_max, std::numeric_limits<std::int32_t>::max(),
                     "int32");
  require_type_bound("INT64_MIN", read.int64_min, std::numeric_limits<std::int64_t>::min(),
                     "int64");
  require_type_bound("INT64_MAX", read.int64_max, std::numeric_limits<std::int64_t>::max(),
                     "int64");
  // Class indices travel as int32 too, and a model needs two classes.
  if (read.max_classes < 2 || read.max_classes > read.int32_max) {
    malformed_limit("MAX_CLASSES", "is " + std::to_string(read.max_classes) + ", expected 2 to " +
                                       std::to_string(read.int32_max));
  }
  // The memory is padded to its capacity in int32 shapes.
  if (read.max_memory < 1 || read.max_memory > read.int32_max) {
    malformed_limit("MAX_MEMORY", "is " + std::to_string(read.max_memory) + ", expected 1 to " +
                                      std::to_string(read.int32_max));
  }
  loaded_limits = read;
}

bool int_within(py::handle value, std::int64_t low, std::int64_t high) {
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
  return overflow == 0 && number >= low && number <= high;
}

namespace {

// The first number in a file such as a control group's memory.max; 0 for
// "max", a missing file or anything else that is no limit.
std::uint64_t number_in(const char* path) {
  std::ifstream file(path);
  std::uint64_t value = 0;
  return file >> value ? value : 0;
}

std::uint64_t machine_memory() {
  // MemAvailable counts reclaimable caches too, unlike the free page count.
  std::ifstream meminfo("/proc/meminfo");
  std::string label, unit;
  std::uint64_t kib = 0;
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

// What is left under a limit, or `current` unchanged when there is no limit.
std::uint64_t under_limit(std::uint64_t current, std::uint64_t limit, std::uint64_t used) {
  if (limit == 0) return current;
  const std::uint64_t left = limit > used ? limit - used : 1;
  return current == 0 ? left : std::min(current, left);
}

}  // namespace

std::uint64_t available_memory() {
  std::uint64_t available = machine_memory();
  // An address-space limit (ulimit -v) counts the mappings the process has already.
  struct rlimit address_space;
  if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
    const long page_size = sysconf(_SC_PAGESIZE);
    const std::uint64_t mapped =
        number_in("/proc/self/statm") * static_cast<std::uint64_t>(page_size);
    available = under_limit(available, address_space.rlim_cur, mapped);
  }
  // A container's limit (control groups v2, then v1) binds before the machine's.
  const std::uint64_t group_limit = number_in("/sys/fs/cgroup/memory.max");
  if (group_limit != 0) {
    available = under_limit(available, group_limit, number_in("/sys/fs/cgroup/memory.current"));
  } else {
    const std::uint64_t v1_limit = number_in("/sys/fs/cgroup/memory/memory.limit_in_bytes");
    // v1 reports "no limit" as a huge number rather than "max".
    if (v1_limit != 0 && v1_limit < (std::uint64_t{1} << 62)) {
      available = under_limit(available, v1_limit,
                              number_in("/sys/fs/cgroup/memory/memory.usage_in_bytes"));
    }
  }
  return available;
}

bool all_finite(py::handle np, py::handle array) {
  return np.attr("isfinite")(array).attr("all")().cast<bool>();
}

std::string dtype_text(py::handle np, py::handle dtype) {
  return py::str(np.attr("dtype")(dtype).attr("name")).cast<std::string>();
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
