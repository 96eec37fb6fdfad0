// The arguments of a fit or an update, checked in their fixed order and
// turned into host values. The learning module and the engine share them, so
// both refuse the same inputs with the same messages.
#pragma once

#include <initializer_list>
#include <vector>

#include "common/function.hpp"
#include "core/training_data.hpp"

namespace kelvra::learning {

// The parameter tables of a fit and of an update, read by name below; the
// engine's callables append theirs.
// `w_scale` is read as `w_scale_conversion` declares: real in the learning
// module, real_or_auto where "auto" may hand it to the evidence.
std::vector<Parameter> fit_parameters(std::initializer_list<Parameter> extra = {},
                                      Conversion w_scale_conversion = Conversion::real);
std::vector<Parameter> update_parameters(std::initializer_list<Parameter> extra = {});

struct FitArguments {
  py::object Xn;  // (n, p) float64
  py::object y0;  // (n,) int64 zero-based labels
  py::int_ n_classes, label_base, rng_seed, num_steps;
  double w_loc, w_scale, b_loc, b_scale, learning_rate;
  bool w_scale_auto = false;  // w_scale "auto": the evidence sets it, starting from 1
  ClassLayout layout;
  py::object dtype;  // working dtype
};

// Reads the parameters X, y, n_classes, label_base, w_loc, w_scale, b_loc,
// b_scale, rng_seed, learning_rate and num_steps of `call`. Strict (the
// engine) first refuses int parameters given with a fraction, and then
// labels, features and trial counts that the conversions would change or
// that fail only later, and sweeps beyond the bound of work. A fit that runs
// no sweeps (`sweeps` false: the engine's fit by the mode, which holds its
// Newton steps to their own bound) skips the sweeps' bound.
FitArguments checked_fit_arguments(const Call& call, Strictness strictness, bool sweeps = true);

struct UpdateArguments {
  py::object model;
  py::object Xn;  // (n, p) float64
  py::object y0;  // (n,) int64 zero-based labels
  py::int_ label_base, old_n_classes, new_n_classes, ref_class, num_steps;
  py::object non_ref;  // (k_old,) int64 as stored
  double w_loc, w_scale, b_loc, b_scale, learning_rate;
  py::object dtype;  // working dtype
};

// Reads the parameters X and y of `call` and the settings of `model`; strict
// as for the fit.
UpdateArguments checked_update_arguments(const Call& call, py::handle model, Strictness strictness);

// The class rows an update starts from: the stored Gaussians in the working
// dtype, with a prior row appended for every class the new labels add.
struct ClassState {
  py::object non_ref;        // (k,) int64
  py::object beta_mean;      // (k, d) in the working dtype
  py::object beta_cov_chol;  // (k, d, d) in the working dtype
  py::object class_counts;   // (K,) int64, the new trials counted in
};

// `xp` is the array namespace the rows are built in: jax.numpy in the
// module, NumPy in the engine (which hands them to a compiled function).
ClassState grown_class_state(py::handle np, py::handle xp, const UpdateArguments& arguments,
                             const py::int_& n_features, const py::int_& d_aug);

}  // namespace kelvra::learning
