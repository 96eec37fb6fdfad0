// The callables of kelvra_bci.models.kelvra_softmax.engine, and the compiled
// functions they share with precompile().
#pragma once

#include <utility>
#include <vector>

#include "common/function.hpp"
#include "core/arguments.hpp"
#include "core/sweeps.hpp"

namespace kelvra::engine {

class AnchorCheck;

extern const FunctionDef fit;
extern const FunctionDef update;
extern const FunctionDef predict_proba;
extern const FunctionDef predict_proba_moderated;
extern const FunctionDef predict_log_proba;
extern const FunctionDef predict;
extern const FunctionDef predict_samples;
extern const FunctionDef fit_many;
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

// The compiled moderated prediction of `bucket` padded trials for a record
// of `n_classes` classes whose memory holds `memory` trials.
py::object moderated_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                                py::ssize_t memory, const py::int_& d_aug, py::ssize_t n_classes);

// How many recent trials a record of method "mode" keeps for its updates to
// revisit, unless the fit is told otherwise: defaults.MEMORY, read once when
// the module is imported (ImportError unless an int from 1 to MAX_MEMORY).
void load_default_memory(py::handle globals);
// A memory argument of fit or precompile: None for the default, else an int
// from 1 to MAX_MEMORY (every update revisits the whole memory, so it bounds
// an update's work).
py::ssize_t memory_capacity(py::handle memory);

// An update rule of the engine: "mode" (which runs no sweeps; its value is
// then UpdateRule::once), "once", "resweep", or None for "resweep".
learning::UpdateRule engine_update_rule(py::handle rule);

// True for the method or rule "mode"; false for None and "sweeps" (a fit) or
// the sweep rules (an update, left to parse_update_rule).
bool is_mode(py::handle choice);

// The fit by the posterior mode, and the compiled function behind it.
py::object fit_by_mode(const Call& call, learning::FitArguments args, py::handle tol,
                       py::ssize_t memory_size);
// `folds`: whether some trial lies beyond the memory and joins the anchor.
py::object fit_mode_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                               const py::int_& d_aug, const py::int_& n_classes, bool by_evidence,
                               bool folds = true);

// One set's values of the compiled fit by the mode (fit_mode_core), by
// argument name: all but num_steps and tol, which every set shares; trials
// padded to `bucket`.
using NamedValues = std::vector<std::pair<const char*, py::object>>;
NamedValues fit_mode_arguments(py::handle np, const learning::FitArguments& args,
                               py::ssize_t bucket, py::ssize_t memory_size);
// The record of one set from the compiled fit's outputs for it; `bucket`
// says in which space its Newton steps ran (the record's fit_newton_space).
py::object fit_mode_record(const Call& call, learning::FitArguments args, py::handle outputs,
                           py::ssize_t memory_size, py::ssize_t bucket);

// The update by the posterior mode with the record's memory (a record
// without one starts an empty memory of `memory_fallback` trials), and its
// compiled function for `rows` class rows and new trials padded to `bucket`.
// `anchor` checks the record's anchor while the compiled call runs.
py::object update_by_mode(const Call& call, const learning::UpdateArguments& args, py::handle tol,
                          py::handle forgetting, py::ssize_t memory_fallback, AnchorCheck& anchor);
py::object update_mode_executable(const Call& call, py::handle dtype, py::ssize_t memory,
                                  py::ssize_t bucket, const py::int_& d_aug, py::ssize_t rows);
// The class rows an update by the mode computes with: exactly the rows after
// the update. Every Newton step factors a Hessian of (rows * d)^2, so a spare
// row would cost each ordinary update (K = 4: (4/3)^3, 2.4 times the work)
// to spare the one update a class joins in a compile, which precompile(...,
// rule="mode") does ahead of the session instead.
py::ssize_t mode_rows(py::ssize_t stored_rows, py::ssize_t rows_after);

}  // namespace kelvra::engine
