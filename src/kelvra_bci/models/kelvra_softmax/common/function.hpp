// The callable type shared by the extension modules.
//
// Every public callable, every private helper and every nested loop body is an
// instance of one Python type. An instance pairs a static description (names,
// parameters, annotations, docstring, the C++ body) with the per-object state a
// Python function carries: the namespace its names resolve in at call time, its
// captured values, its own attribute dictionary and weak references. Binding and
// conversion of arguments happen here, before a body runs, so that every callable
// reports argument errors with the same texts.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace kelvra {

namespace py = pybind11;

// How an argument is converted after binding and before the body sees it.
enum class Conversion {
  none,          // passed through as given
  integer,       // exact int kept, other number-like objects converted to int
  real,          // converted to a machine double
  real_or_auto,  // the text "auto" kept as it is, anything else as for real
};

struct Parameter {
  const char* name;
  const char* annotation = nullptr;  // annotation text, or no annotation
  Conversion conversion = Conversion::none;
  bool optional = false;  // may be left out; the body then sees None
};

class Call;
using Body = py::object (*)(Call&);

// Static description of a callable; one per function definition.
struct FunctionDef {
  const char* name;
  const char* qualname;
  std::vector<Parameter> parameters;
  const char* return_annotation;  // nullptr: no "return" annotation
  // nullptr: __doc__ is None. Otherwise __doc__ is the signature line made
  // from the parameter table, followed by this text after an empty line when
  // it is not empty.
  const char* doc;
  Body body;
  const char* source;  // file name shown in traceback entries

  // Index of the parameter called `name`; a name the table lacks is a bug
  // in the body, reported as such rather than read out of bounds.
  std::size_t index_of(const char* name) const;
  // "name(X: np.ndarray, int n: int, ...) -> ret", as docstrings begin.
  std::string signature() const;
};

// The arguments of one call, bound and converted, plus what the callable
// carries: its namespace and its captured values.
class Call {
 public:
  Call(PyObject* function, const FunctionDef& definition, std::vector<py::object> given,
       std::vector<py::object> arguments)
      : function_(function),
        definition_(definition),
        given_(std::move(given)),
        arguments_(std::move(arguments)) {}

  // A parameter by name, as bound (and converted, for converted parameters).
  py::handle arg(const char* name) const { return arguments_[definition_.index_of(name)]; }
  // A parameter by name as the caller passed it, before any conversion: what
  // a strict check looks at to refuse what the conversion would change.
  py::handle given(const char* name) const { return given_[definition_.index_of(name)]; }
  // A parameter declared with Conversion::integer, as a Python int.
  py::int_ integer(const char* name) const;
  // A parameter declared with Conversion::real, as a machine double.
  double real(const char* name) const;
  // A parameter declared with Conversion::real or real_or_auto: its double,
  // or no value when it is "auto".
  std::optional<double> real_or_auto(const char* name) const;
  // A value captured when the callable was created, by its position in the
  // captured tuple; callers name positions with a scoped enum.
  template <typename Position>
  py::handle captured(Position position) const {
    return captured_at(static_cast<std::size_t>(position));
  }
  // A name resolved in the callable's namespace now, then in the builtins.
  py::object global(const char* name) const;
  // The namespace, to hand on to nested callables created by this body.
  py::handle globals() const;

 private:
  py::handle captured_at(std::size_t index) const;
  const Parameter& declared(const char* name, Conversion conversion) const;

  PyObject* function_;
  const FunctionDef& definition_;
  std::vector<py::object> given_;
  std::vector<py::object> arguments_;
};

// Readies the type; called by each module's start-up before making callables.
void ready_function_type();

// A new callable resolving names in `globals`, carrying `captured` values.
py::object make_function(const FunctionDef& definition, py::handle globals,
                         py::tuple captured = py::tuple());

// Resolves a name as a function body does: namespace first, then builtins.
py::object lookup_global(py::handle globals, const char* name);

}  // namespace kelvra
