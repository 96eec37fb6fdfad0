// How the engine turns the shared math into compiled functions: one per
// operation and shape, traced once under jax.jit and kept in the cache.
#pragma once

#include <string>

#include "common/function.hpp"
#include "engine/signature.hpp"

namespace kelvra::engine {

// Trials are padded up to a power of two, at least 16, and beyond 64 up to a
// multiple of a quarter of the power of two below, so that a session's small
// batches share a handful of compilations while a calibration set computes
// with at most a quarter of padding: 288 trials pad to 320, not 512, and the
// Hessian over them costs about a third less.
py::ssize_t trial_bucket(py::ssize_t n_trials);

// jax.ShapeDtypeStruct(shape, dtype): an argument as lowering sees it
py::object abstract_array(py::handle jax, py::tuple shape, py::handle dtype);

// The compiled form of `shape`'s function: from the cache, or traced,
// lowered for the shape's abstract arguments and compiled now. The abstract
// arguments are made only then: a call that finds its key pays nothing for
// them. `captured` goes to the traced body (static settings that the key
// names).
py::object compiled(const Call& call, const Shape& shape, py::tuple captured = py::tuple());

// "float32" or "float64": the part of a cache key the dtype contributes.
std::string dtype_name(py::handle np, py::handle dtype);

// The record handed in as the parameter `model`, read once: a model whose
// params are copied into a new plain dict, so that what is checked is what
// is computed with, however `params` behaves. Then refuses it when damaged
// or inconsistent, through the host package's one record check; `keys`
// names the entries to check (None: all). With `anchor_values` false the
// values of a memory's anchor are left to an AnchorCheck.
py::object checked_record(const Call& call, py::handle keys, bool anchor_values = true);

// The values of the anchor of a record from checked_record(..., false): the
// costliest part of the record check, left to run while the compiled call
// that reads them does. run() checks them once; it must have passed before
// anything computed from them is returned. guard(work) returns work(), and
// checks them first when work fails, so that a bad anchor is still what the
// caller hears of, as when the whole record is checked before anything else.
class AnchorCheck {
 public:
  AnchorCheck(const Call& call, py::handle model) : call_(call), model_(model) {}
  AnchorCheck(const AnchorCheck&) = delete;
  AnchorCheck& operator=(const AnchorCheck&) = delete;
  void run();
  template <class Work>
  py::object guard(Work&& work) {
    try {
      return work();
    } catch (...) {
      run();
      throw;
    }
  }

 private:
  const Call& call_;
  py::handle model_;
  bool done_ = false;
};

// The features of n trials in the first n of `bucket` rows of zeros, as
// NumPy in `dtype`; with `bias`, the bias column is appended, one in the
// real rows and zero in the padding, so padding adds nothing to any sum.
py::object padded_features(py::handle np, py::handle Xn, py::ssize_t bucket, py::handle dtype,
                           bool bias);

// Zero-based labels padded with -1, a class no row of the model has.
py::object padded_labels(py::handle np, py::handle y0, py::ssize_t bucket);

// `values` (n, ...) in the first n of `size` rows filled with `fill`.
py::object padded_to(py::handle np, py::handle values, py::ssize_t size, py::handle dtype,
                     py::handle fill);

// values[start:stop]
py::object rows_of(py::handle values, py::ssize_t start, py::ssize_t stop);

// A 0-d NumPy array of `value` in `dtype`: a compiled function's scalar argument.
py::object scalar(py::handle np, double value, py::handle dtype);

// float(value); NaN for a number beyond a double's range (2**2000), which
// every check of a setting's range then refuses as it refuses NaN.
double setting_value(py::handle value);

// A tol argument: None, or a finite number >= 0 as a 0-d array of `dtype`.
py::object checked_tol(py::handle np, py::handle tol, py::handle dtype);

}  // namespace kelvra::engine
