#include "common/module.hpp"

#include <cstdint>

#include "common/errors.hpp"
#include "common/limits.hpp"
#include "common/record.hpp"

namespace kelvra {
namespace {

// Each extension links its own copy of this state.
const ModuleDefinition* definition = nullptr;
std::int64_t owner_interpreter = -1;
// The module object once fully initialised; kept for the life of the process,
// since a module bound to one interpreter is never re-created.
PyObject* initialised_module = nullptr;

PyObject* create_module(PyObject* module_spec, PyModuleDef*) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return nullptr;
  if (owner_interpreter == -1) {
    owner_interpreter = interpreter;
  } else if (owner_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (initialised_module != nullptr) return Py_NewRef(initialised_module);
  PyObject* module = nullptr;
  translate_exceptions([&] {
    py::object name = py::reinterpret_borrow<py::object>(module_spec).attr("name");
    module = PyModule_NewObject(name.ptr());
    if (module == nullptr) throw py::error_already_set();
  });
  return module;
}

int exec_module(PyObject* module) {
  if (initialised_module != nullptr) {
    if (initialised_module == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 definition->short_name);
    return -1;
  }
  const bool ok = translate_exceptions([&] {
    ready_function_type();
    auto namespace_ = py::reinterpret_borrow<py::dict>(PyModule_GetDict(module));
    // The bounds and the record's key order are the host package's; read
    // before anything else, so that a module that disagrees never loads.
    load_limits(namespace_);
    record::load_key_order(namespace_);
    definition->bind_imports(namespace_);
    for (const FunctionDef* callable : definition->callables) {
      namespace_[callable->name] = make_function(*callable, namespace_);
    }
  });
  if (!ok) return -1;
  // Recorded only on success: a failed import leaves nothing half-made behind
  // for a later import to hand out as if it had worked.
  initialised_module = Py_NewRef(module);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // m_name, filled from the definition
    nullptr,  // no module docstring
    0,        // no per-module state
    nullptr,  // no methods: callables are kelvra_function objects
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* init_module(const ModuleDefinition& module) {
  definition = &module;
  module_definition.m_name = module.short_name;
  return PyModuleDef_Init(&module_definition);
}

py::object import_module(py::handle globals, const char* dotted_name) {
  PyObject* top = PyImport_ImportModuleLevel(dotted_name, globals.ptr(), nullptr, nullptr, 0);
  if (top == nullptr) throw py::error_already_set();
  py::object module = py::reinterpret_steal<py::object>(top);
  // As `import a.b as c` does: walk from the top package down to the submodule.
  py::str name(dotted_name);
  py::list parts = name.attr("split")(".");
  for (std::size_t i = 1; i < parts.size(); ++i) module = module.attr(parts[i]);
  return module;
}

py::object import_from(py::handle globals, const char* module, const char* name, int level) {
  py::tuple fromlist = py::make_tuple(name);
  PyObject* imported =
      PyImport_ImportModuleLevel(module, globals.ptr(), nullptr, fromlist.ptr(), level);
  if (imported == nullptr) throw py::error_already_set();
  py::object source = py::reinterpret_steal<py::object>(imported);
  PyObject* value = PyObject_GetAttrString(source.ptr(), name);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::object source_name = py::getattr(source, "__name__", py::str("<unknown module name>"));
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%S'", name, source_name.ptr());
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(value);
}

}  // namespace kelvra
