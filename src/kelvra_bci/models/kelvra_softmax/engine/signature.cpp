#include "engine/signature.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/compile.hpp"

namespace kelvra::engine {
namespace {

bool same(const char* a, const char* b) {
  return std::strcmp(a, b) == 0;
}

bool listed(const std::vector<const char*>& names, const char* name) {
  return std::any_of(names.begin(), names.end(), [&](const char* n) { return same(n, name); });
}

bool whole_number(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::vector<Parameter> parameter_table(const std::vector<Argument>& arguments) {
  std::vector<Parameter> table;
  for (const Argument& argument : arguments) table.push_back({argument.name});
  return table;
}

}  // namespace

void signature_error(const Signature& signature, const std::string& what) {
  const std::string message =
      "internal error: compiled function " + std::string(signature.definition.name) + " " + what;
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
  throw py::error_already_set();
}

Signature::Signature(const char* what, const char* name, const char* qualname,
                     std::vector<const char*> sizes, std::vector<const char*> flags,
                     std::vector<Argument> arguments, Body body, const char* source)
    : what(what),
      sizes(std::move(sizes)),
      flags(std::move(flags)),
      arguments(std::move(arguments)),
      definition{name, qualname, parameter_table(this->arguments), nullptr, nullptr, body, source} {
}

Shape::Shape(const Signature& signature, py::handle np, py::handle dtype,
             const std::string& setting)
    : signature_(signature),
      np_(py::reinterpret_borrow<py::object>(np)),
      dtype_(py::reinterpret_borrow<py::object>(dtype)),
      what_(setting.empty() ? std::string(signature.what)
                            : std::string(signature.what) + " " + setting) {}

Shape& Shape::size(const char* symbol, const py::int_& value) {
  if (!listed(signature_.sizes, symbol)) {
    signature_error(signature_, std::string("has no size '") + symbol + "'");
  }
  for (const auto& [name, _] : bound_) {
    if (same(name, symbol))
      signature_error(signature_, std::string("size '") + symbol + "' bound twice");
  }
  bound_.emplace_back(symbol, value);
  return *this;
}

Shape& Shape::flag(const char* name, bool on) {
  if (!listed(signature_.flags, name)) {
    signature_error(signature_, std::string("has no flag '") + name + "'");
  }
  if (on && !listed(on_, name)) on_.push_back(name);
  return *this;
}

std::string Shape::key() const {
  std::string text = what_ + " " + dtype_name(np_, dtype_);
  for (const char* symbol : signature_.sizes) {
    const auto found = std::find_if(bound_.begin(), bound_.end(),
                                    [&](const auto& entry) { return same(entry.first, symbol); });
    if (found == bound_.end()) {
      signature_error(signature_, std::string("size '") + symbol + "' is not bound");
    }
    (((text += ' ') += symbol) += '=') += py::str(found->second).cast<std::string>();
  }
  for (const char* flag : signature_.flags) {
    if (listed(on_, flag)) (text += ' ') += flag;
  }
  return text;
}

// A rule's extent: its factors multiplied, less the number after '-'.
py::int_ Shape::extent(const char* rule) const {
  std::string text(rule);
  py::int_ less(0);
  if (const auto minus = text.find('-'); minus != std::string::npos) {
    const std::string subtrahend = text.substr(minus + 1);
    if (!whole_number(subtrahend)) signature_error(signature_, std::string("rule '") + rule + "'");
    less = py::int_(std::stoll(subtrahend));
    text.resize(minus);
  }
  py::object product = py::int_(1);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('*', start);
    const std::string factor = text.substr(start, end == std::string::npos ? end : end - start);
    if (whole_number(factor)) {
      product = product * py::int_(std::stoll(factor));
    } else {
      const auto found = std::find_if(bound_.begin(), bound_.end(),
                                      [&](const auto& entry) { return factor == entry.first; });
      if (found == bound_.end()) {
        signature_error(signature_, "size '" + factor + "' in rule '" + rule + "' is not bound");
      }
      product = product * found->second;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return py::int_(product - less);
}

py::tuple Shape::placeholders(py::handle jax) const {
  py::tuple abstract(signature_.arguments.size());
  for (std::size_t i = 0; i < signature_.arguments.size(); ++i) {
    const Argument& argument = signature_.arguments[i];
    if (argument.only_with != nullptr && !listed(on_, argument.only_with)) {
      abstract[i] = py::none();
      continue;
    }
    py::tuple shape(argument.shape.size());
    for (std::size_t axis = 0; axis < argument.shape.size(); ++axis) {
      shape[axis] = extent(argument.shape[axis]);
    }
    py::object dtype = argument.dtype == Dtype::int32    ? np_.attr("int32")
                       : argument.dtype == Dtype::uint32 ? np_.attr("uint32")
                                                         : dtype_;
    abstract[i] = abstract_array(jax, shape, dtype);
  }
  return abstract;
}

Arguments::Arguments(const Signature& signature)
    : signature_(signature), values_(signature.arguments.size()) {}

Arguments& Arguments::set(const char* name, py::handle value) {
  for (std::size_t i = 0; i < signature_.arguments.size(); ++i) {
    const Argument& argument = signature_.arguments[i];
    if (!same(argument.name, name)) continue;
    if (values_[i]) signature_error(signature_, std::string("argument '") + name + "' given twice");
    if (value.is_none() && argument.only_with == nullptr) {
      signature_error(signature_, std::string("argument '") + name + "' given None");
    }
    values_[i] = py::reinterpret_borrow<py::object>(value);
    return *this;
  }
  signature_error(signature_, std::string("has no argument '") + name + "'");
}

py::tuple Arguments::values() const {
  py::tuple values(values_.size());
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (!values_[i]) {
      signature_error(signature_,
                      std::string("argument '") + signature_.arguments[i].name + "' not given");
    }
    values[i] = values_[i];
  }
  return values;
}

}  // namespace kelvra::engine
