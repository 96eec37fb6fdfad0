// Start-up shared by the extension modules: multi-phase initialisation that
// admits one interpreter per process and one initialisation per module object,
// and reads the bounds and record key order that the host package defines.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "common/function.hpp"

namespace kelvra {

struct ModuleDefinition {
  const char* short_name;  // "learning", "inference" or "engine", as named in error messages
  // Binds the module's imports into its namespace; callables come after.
  void (*bind_imports)(py::dict namespace_);
  std::vector<const FunctionDef*> callables;  // defined in this order
};

// The value of PyInit_<name>: a module definition for multi-phase start-up.
PyObject* init_module(const ModuleDefinition& definition);

// `import a.b` bound under a name: the submodule itself.
py::object import_module(py::handle globals, const char* dotted_name);

// `from <dots><module> import <name>`, resolved relative to `globals`.
py::object import_from(py::handle globals, const char* module, const char* name, int level);

}  // namespace kelvra
