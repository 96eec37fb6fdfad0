// The callables of kelvra_bci.models.kelvra_softmax.engine, and the compiled
// functions they share with precompile().
#pragma once

#include "common/function.hpp"
#include "core/sweeps.hpp"

namespace kelvra::engine {

extern const FunctionDef fit;
extern const FunctionDef update;
extern const FunctionDef predict_proba;
extern const FunctionDef predict_log_proba;
extern const FunctionDef predict;
extern const FunctionDef predict_samples;
extern const FunctionDef precompile;
extern const FunctionDef cache_info;
extern const FunctionDef clear_cache;
extern const FunctionDef enable_persistent_cache;

// The compiled fit for `bucket` padded trials of `d_aug` columns and `n_classes` classes.
py::object fit_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                          const py::int_& d_aug, const py::int_& n_classes, bool with_tol);

// The compiled update for `n_rows` class rows after any growth.
py::object update_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                             const py::int_& d_aug, const py::int_& n_rows,
                             learning::UpdateRule rule, bool with_tol);

// The compiled class probabilities: at the means for S = 1, else averaged over S draws.
py::object proba_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                            const py::int_& d_aug, const py::int_& n_classes, const py::int_& S);

}  // namespace kelvra::engine
