// How the engine turns the shared math into compiled functions: one per
// operation and shape, traced once under jax.jit and kept in the cache.
#pragma once

#include <functional>
#include <string>

#include "common/function.hpp"

namespace kelvra::engine {

// Trials are padded up to a power of two, at least 16, and beyond 512 up to
// a multiple of a quarter of the power of two below, so that a session's
// varying batch sizes share a handful of compilations while a large fit
// computes with at most a quarter of padding.
py::ssize_t trial_bucket(py::ssize_t n_trials);

// jax.ShapeDtypeStruct(shape, dtype): an argument as lowering sees it
py::object abstract_array(py::handle jax, py::tuple shape, py::handle dtype);

// The compiled form of `core` for `key`: from the cache, or traced, lowered
// for the abstract arguments `arguments()` makes and compiled now. The
// arguments are made only then: a call that finds its key pays nothing for
// them. `captured` goes to the core callable (the static settings that are
// part of `key`).
py::object compiled(const Call& call, const std::string& key, const FunctionDef& core,
                    py::tuple captured, const std::function<py::tuple()>& arguments);

// "float32" or "float64": the part of a cache key the dtype contributes.
std::string dtype_name(py::handle np, py::handle dtype);

// The cache key of one compiled shape: what it computes, in which dtype, and
// every size and static setting that shapes it, as in
// "fit float32 n=16 d=5 K=3 tol". Each builder names all of them, so that two
// shapes never share a key.
class ShapeKey {
 public:
  ShapeKey(py::handle np, const std::string& what, py::handle dtype)
      : text_(what + " " + dtype_name(np, dtype)) {}
  ShapeKey& size(const char* name, py::ssize_t value) { return add(name, std::to_string(value)); }
  ShapeKey& size(const char* name, py::handle value) {
    return add(name, py::str(value).cast<std::string>());
  }
  ShapeKey& flag(const char* name, bool on) {
    if (on) (text_ += ' ') += name;
    return *this;
  }
  const std::string& str() const { return text_; }

 private:
  ShapeKey& add(const char* name, const std::string& value) {
    (((text_ += ' ') += name) += '=') += value;
    return *this;
  }
  std::string text_;
};

// The record handed in as the parameter `model`, read once: a model whose
// params are copied into a new plain dict, so that what is checked is what
// is computed with, however `params` behaves. Then refuses it when damaged
// or inconsistent, through the host package's one record check; `keys`
// names the entries to check (None: all).
py::object checked_record(const Call& call, py::handle keys);

// The features of n trials in the first n of `bucket` rows of zeros, as
// NumPy in `dtype`; with `bias`, the bias column is appended, one in the
// real rows and zero in the padding, so padding adds nothing to any sum.
py::object padded_features(py::handle np, py::handle Xn, py::ssize_t bucket, py::handle dtype,
                           bool bias);

// Zero-based labels padded with -1, a class no row of the model has.
py::object padded_labels(py::handle np, py::handle y0, py::ssize_t bucket);

// A tol argument: None, or a finite number >= 0 as a 0-d array of `dtype`.
py::object checked_tol(py::handle np, py::handle tol, py::handle dtype);

}  // namespace kelvra::engine
