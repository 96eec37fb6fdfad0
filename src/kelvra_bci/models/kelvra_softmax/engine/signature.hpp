// What a compiled function of the engine takes, said once: each argument's
// name, shape and dtype. The parameter table of its traced body, the abstract
// arguments it is lowered for, its cache key and the values a call site hands
// it are all made from that one description, so they cannot disagree.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/function.hpp"

namespace kelvra::engine {

// The dtype of an argument: the working dtype of the call (float32, or
// float64 under the 64-bit switch), int32 for class indices and counts, or
// uint32 for a random key.
enum class Dtype { working, int32, uint32 };

struct Argument {
  const char* name;
  // One size rule per axis, {} for a 0-d scalar. A rule is a product of size
  // symbols and whole numbers, less a whole number if need be: "n", "rows*d",
  // "K-1", "2". Every symbol must be one of the function's sizes.
  std::vector<const char*> shape;
  Dtype dtype = Dtype::working;
  // A static flag: without it the argument is None, in the abstract
  // arguments and at the call alike. nullptr: always an array.
  const char* only_with = nullptr;
};

// One compiled function: `what` begins its cache keys; `sizes` are the
// symbols its keys name, in their order; `flags` are the static settings a
// key may add. `definition` is the parameter table of `body`, one untyped
// parameter per argument, in the order the call passes them.
struct Signature {
  Signature(const char* what, const char* name, const char* qualname,
            std::vector<const char*> sizes, std::vector<const char*> flags,
            std::vector<Argument> arguments, Body body, const char* source);

  const char* what;
  std::vector<const char*> sizes;
  std::vector<const char*> flags;
  std::vector<Argument> arguments;
  FunctionDef definition;
};

// One shape of a compiled function: every size symbol bound, and the flags
// that are on. Gives the cache key, as in "fit float32 n=16 d=5 K=3 tol", and
// the abstract arguments to lower for. A symbol or flag the description lacks,
// or one of its sizes left unbound, is an internal error (RuntimeError).
class Shape {
 public:
  // `setting` is a static choice that joins `what` in the key ("update once").
  Shape(const Signature& signature, py::handle np, py::handle dtype,
        const std::string& setting = std::string());
  Shape& size(const char* symbol, py::ssize_t value) { return size(symbol, py::int_(value)); }
  Shape& size(const char* symbol, const py::int_& value);
  Shape& flag(const char* name, bool on);

  const Signature& signature() const { return signature_; }
  std::string key() const;
  py::tuple placeholders(py::handle jax) const;

 private:
  py::int_ extent(const char* rule) const;

  const Signature& signature_;
  py::object np_, dtype_;
  std::string what_;
  std::vector<std::pair<const char*, py::int_>> bound_;
  std::vector<const char*> on_;
};

// The values of one call, by name: set(), then values() in the order of the
// description. A name it lacks, a name set twice, one left out, or None for
// an argument that is never None, is an internal error (RuntimeError).
class Arguments {
 public:
  explicit Arguments(const Signature& signature);
  Arguments& set(const char* name, py::handle value);
  py::tuple values() const;

 private:
  const Signature& signature_;
  std::vector<py::object> values_;
};

// Raises RuntimeError: a compiled function used against its description.
[[noreturn]] void signature_error(const Signature& signature, const std::string& what);

}  // namespace kelvra::engine
