#include "common/function.hpp"

#include "common/errors.hpp"

// Traceback entries need frame objects, which Python.h does not declare.
#include <frameobject.h>
#include <structmember.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace kelvra {
namespace {

// The instance layout. The raw C API is used here because this is the type
// itself: its slots, vectorcall entry and GC support are what CPython calls.
struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionDef* definition;
  PyObject* globals;      // module dictionary; names resolve here at call time
  PyObject* captured;     // tuple of values captured at creation
  PyObject* name;         // __name__
  PyObject* qualname;     // __qualname__
  PyObject* module;       // __module__
  PyObject* doc;          // __doc__
  PyObject* annotations;  // __annotations__, built on first access
  PyObject* dict;         // __dict__
  PyObject* weakreflist;  // JAX keeps traced bodies in weak-keyed caches
};

// The extension modules load into one interpreter per process, so each one's
// type object lives as long as the process does.
PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* object) {
  return reinterpret_cast<FunctionObject*>(object);
}

Py_ssize_t required_count(const FunctionDef& definition) {
  Py_ssize_t required = 0;
  for (const Parameter& parameter : definition.parameters) required += !parameter.optional;
  return required;
}

// The count message of a callable whose parameters may be left out: "exactly"
// when none may, else "at least" or "at most" the bound that was missed.
void raise_argument_count(const FunctionDef& definition, Py_ssize_t given) {
  const auto total = static_cast<Py_ssize_t>(definition.parameters.size());
  const Py_ssize_t required = required_count(definition);
  const char* bound = "exactly";
  Py_ssize_t expected = total;
  if (required != total) {
    bound = given < required ? "at least" : "at most";
    expected = given < required ? required : total;
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               definition.name, bound, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t parameter_index(const FunctionDef& definition, PyObject* keyword) {
  for (std::size_t i = 0; i < definition.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, definition.parameters[i].name) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

// Fills `slots` (borrowed references) from a vectorcall argument vector.
// Returns false with a TypeError set when the arguments do not fit.
bool bind_arguments(const FunctionDef& definition, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::vector<PyObject*>& slots) {
  const auto nparams = static_cast<Py_ssize_t>(definition.parameters.size());
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (nargs > nparams || (nkw == 0 && nargs < required_count(definition))) {
    raise_argument_count(definition, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", definition.name);
      return false;
    }
    const Py_ssize_t index = parameter_index(definition, keyword);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", definition.name,
                   keyword);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   definition.name, keyword);
      return false;
    }
    slots[index] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < nparams; ++i) {
    if (slots[i] == nullptr && definition.parameters[i].optional) slots[i] = Py_None;
    if (slots[i] == nullptr) {
      // The count reported is the position of the first missing parameter.
      raise_argument_count(definition, i);
      return false;
    }
  }
  return true;
}

py::object convert_integer(const Parameter& parameter, PyObject* value) {
  if (PyLong_CheckExact(value)) return py::reinterpret_borrow<py::object>(value);
  PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  if (number != nullptr && (number->nb_int != nullptr || number->nb_index != nullptr)) {
    PyObject* converted = PyNumber_Long(value);
    if (converted == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(converted);
  }
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", parameter.name,
               "int", Py_TYPE(value)->tp_name);
  throw py::error_already_set();
}

py::object convert_real(PyObject* value) {
  if (PyFloat_CheckExact(value)) return py::reinterpret_borrow<py::object>(value);
  const double converted = PyFloat_AsDouble(value);
  if (converted == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return py::float_(converted);
}

bool is_auto(PyObject* value) {
  return PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "auto") == 0;
}

py::object convert(const Parameter& parameter, PyObject* value) {
  switch (parameter.conversion) {
    case Conversion::integer:
      return convert_integer(parameter, value);
    case Conversion::real:
      return convert_real(value);
    case Conversion::real_or_auto:
      return is_auto(value) ? py::reinterpret_borrow<py::object>(value) : convert_real(value);
    case Conversion::none:
      break;
  }
  return py::reinterpret_borrow<py::object>(value);
}

// The argument as its parameter's conversion makes it; see overflow_is_input_error().
py::object converted(const Parameter& parameter, PyObject* value) {
  try {
    return convert(parameter, value);
  } catch (py::error_already_set& error) {
    if (!overflow_is_input_error() || !error.matches(PyExc_OverflowError)) throw;
    const std::string message = std::string(parameter.name) +
                                " is out of range: " + py::str(error.value()).cast<std::string>();
    error.restore();
    py::raise_from(input_error(), message.c_str());
    throw py::error_already_set();
  }
}

py::object run_body(FunctionObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  const FunctionDef& definition = *self->definition;
  std::vector<PyObject*> slots(definition.parameters.size(), nullptr);
  if (!bind_arguments(definition, args, nargs, kwnames, slots)) throw py::error_already_set();
  std::vector<py::object> given, arguments;
  given.reserve(slots.size());
  arguments.reserve(slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    given.push_back(py::reinterpret_borrow<py::object>(slots[i]));
    arguments.push_back(converted(definition.parameters[i], slots[i]));
  }
  Call call(reinterpret_cast<PyObject*>(self), definition, std::move(given), std::move(arguments));
  return definition.body(call);
}

// Adds a traceback entry named after the callable to the pending exception.
void add_traceback_entry(FunctionObject* self) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* raised = PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
#endif
  auto code = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(self->definition->source, self->definition->qualname, 0)));
  py::object frame;
  if (code) {
    frame = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.ptr()), self->globals, nullptr)));
  }
  // Anything raised while building the entry is dropped in favour of the original error.
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(raised);
#else
  PyErr_Restore(type, value, traceback);
#endif
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.ptr()));
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
  auto* self = as_function(callable);
  PyObject* result = nullptr;
  if (Py_EnterRecursiveCall(" while calling a kelvra function") == 0) {
    translate_exceptions([&] {
      result = run_body(self, args, PyVectorcall_NARGS(nargsf), kwnames).release().ptr();
    });
    Py_LeaveRecursiveCall();
  }
  if (result == nullptr) add_traceback_entry(self);
  return result;
}

int function_traverse(PyObject* object, visitproc visit, void* arg) {
  auto* self = as_function(object);
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(self->globals);
  Py_VISIT(self->captured);
  Py_VISIT(self->name);
  Py_VISIT(self->qualname);
  Py_VISIT(self->module);
  Py_VISIT(self->doc);
  Py_VISIT(self->annotations);
  Py_VISIT(self->dict);
  return 0;
}

int function_clear(PyObject* object) {
  auto* self = as_function(object);
  Py_CLEAR(self->globals);
  Py_CLEAR(self->captured);
  Py_CLEAR(self->name);
  Py_CLEAR(self->qualname);
  Py_CLEAR(self->module);
  Py_CLEAR(self->doc);
  Py_CLEAR(self->annotations);
  Py_CLEAR(self->dict);
  return 0;
}

void function_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  if (as_function(object)->weakreflist != nullptr) PyObject_ClearWeakRefs(object);
  function_clear(object);
  type->tp_free(object);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* function_repr(PyObject* object) {
  return PyUnicode_FromFormat("<kelvra_function %U at %p>", as_function(object)->qualname, object);
}

PyObject* get_name(PyObject* object, void*) {
  return Py_NewRef(as_function(object)->name);
}

PyObject* get_qualname(PyObject* object, void*) {
  return Py_NewRef(as_function(object)->qualname);
}

int set_string(PyObject*& field, PyObject* value, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(field, Py_NewRef(value));
  return 0;
}

int set_name(PyObject* object, PyObject* value, void*) {
  return set_string(as_function(object)->name, value, "__name__");
}

int set_qualname(PyObject* object, PyObject* value, void*) {
  return set_string(as_function(object)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* object, void*) {
  return Py_NewRef(as_function(object)->doc);
}

int set_doc(PyObject* object, PyObject* value, void*) {
  Py_XSETREF(as_function(object)->doc, Py_NewRef(value == nullptr ? Py_None : value));
  return 0;
}

PyObject* build_annotations(const FunctionDef& definition) {
  py::dict annotations;
  for (const Parameter& parameter : definition.parameters) {
    if (parameter.annotation != nullptr) annotations[parameter.name] = parameter.annotation;
  }
  if (definition.return_annotation != nullptr) annotations["return"] = definition.return_annotation;
  return annotations.release().ptr();
}

PyObject* get_annotations(PyObject* object, void*) {
  auto* self = as_function(object);
  if (self->annotations == nullptr) {
    if (!translate_exceptions([&] { self->annotations = build_annotations(*self->definition); })) {
      return nullptr;
    }
  }
  return Py_NewRef(self->annotations);
}

int set_annotations(PyObject* object, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(object)->annotations, Py_XNewRef(value));
  return 0;
}

// As for builtin functions: pickling and copying refer to the module attribute
// named by the qualified name; loop bodies, local to a call, cannot be pickled.
PyObject* function_reduce(PyObject* object, PyObject*) {
  return Py_NewRef(as_function(object)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "kelvra_bci.models.kelvra_softmax.kelvra_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

void ready_function_type() {
  if (function_type != nullptr) return;
  PyObject* type = PyType_FromSpec(&function_type_spec);
  if (type == nullptr) throw py::error_already_set();
  function_type = reinterpret_cast<PyTypeObject*>(type);
}

py::object make_function(const FunctionDef& definition, py::handle globals, py::tuple captured) {
  if (function_type == nullptr) throw std::logic_error("kelvra_function type is not ready");
  FunctionObject* self = PyObject_GC_New(FunctionObject, function_type);
  if (self == nullptr) throw py::error_already_set();
  self->vectorcall = function_vectorcall;
  self->definition = &definition;
  self->globals = nullptr;
  self->captured = nullptr;
  self->name = nullptr;
  self->qualname = nullptr;
  self->module = nullptr;
  self->doc = nullptr;
  self->annotations = nullptr;
  self->dict = nullptr;
  self->weakreflist = nullptr;
  // From here the reference owns the object; a failure below deallocates it.
  auto function = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
  self->globals = py::reinterpret_borrow<py::object>(globals).release().ptr();
  self->captured = captured.release().ptr();
  self->name = py::str(definition.name).release().ptr();
  self->qualname = py::str(definition.qualname).release().ptr();
  // Like a Python function, __module__ comes from the defining namespace.
  PyObject* module_name = PyDict_GetItemWithError(globals.ptr(), py::str("__name__").ptr());
  if (module_name == nullptr && PyErr_Occurred()) throw py::error_already_set();
  self->module = Py_NewRef(module_name == nullptr ? Py_None : module_name);
  if (definition.doc == nullptr) {
    self->doc = Py_NewRef(Py_None);
  } else {
    std::string doc = definition.signature();
    if (*definition.doc != '\0') doc.append("\n\n").append(definition.doc);
    self->doc = py::str(doc).release().ptr();
  }
  PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
  return function;
}

std::size_t FunctionDef::index_of(const char* wanted) const {
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (std::strcmp(parameters[i].name, wanted) == 0) return i;
  }
  throw std::logic_error(std::string(qualname) + "() has no parameter '" + wanted + "'");
}

std::string FunctionDef::signature() const {
  std::string line = std::string(name) + "(";
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    const Parameter& parameter = parameters[i];
    if (i > 0) line += ", ";
    if (parameter.conversion == Conversion::integer) line += "int ";
    if (parameter.conversion == Conversion::real) line += "double ";
    line += parameter.name;
    if (parameter.annotation != nullptr) line.append(": ").append(parameter.annotation);
    if (parameter.optional) line += " = None";
  }
  line += ")";
  if (return_annotation != nullptr) line.append(" -> ").append(return_annotation);
  return line;
}

const Parameter& Call::declared(const char* name, Conversion conversion) const {
  const Parameter& parameter = definition_.parameters[definition_.index_of(name)];
  if (parameter.conversion != conversion) {
    throw std::logic_error(std::string(definition_.qualname) + "() reads parameter '" + name +
                           "' with another conversion than it declares");
  }
  return parameter;
}

py::int_ Call::integer(const char* name) const {
  declared(name, Conversion::integer);
  return py::reinterpret_borrow<py::int_>(arg(name));
}

double Call::real(const char* name) const {
  declared(name, Conversion::real);
  return PyFloat_AS_DOUBLE(arg(name).ptr());
}

std::optional<double> Call::real_or_auto(const char* name) const {
  const Parameter& parameter = definition_.parameters[definition_.index_of(name)];
  if (parameter.conversion == Conversion::real_or_auto && is_auto(arg(name).ptr())) {
    return std::nullopt;
  }
  if (parameter.conversion != Conversion::real_or_auto) declared(name, Conversion::real);
  return PyFloat_AS_DOUBLE(arg(name).ptr());
}

py::handle Call::captured_at(std::size_t index) const {
  PyObject* captured = as_function(function_)->captured;
  if (index >= static_cast<std::size_t>(PyTuple_GET_SIZE(captured))) {
    throw std::logic_error(std::string(definition_.qualname) + "() reads past its captured values");
  }
  return PyTuple_GET_ITEM(captured, static_cast<Py_ssize_t>(index));
}

py::handle Call::globals() const {
  return as_function(function_)->globals;
}

py::object Call::global(const char* name) const {
  return lookup_global(globals(), name);
}

py::object lookup_global(py::handle globals, const char* name) {
  py::str key(name);
  PyObject* value = PyDict_GetItemWithError(globals.ptr(), key.ptr());
  if (value == nullptr && !PyErr_Occurred()) {
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key.ptr());
    if (value == nullptr && !PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    }
  }
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(value);
}

}  // namespace kelvra
