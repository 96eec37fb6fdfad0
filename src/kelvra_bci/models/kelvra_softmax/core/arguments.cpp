#include "core/arguments.hpp"

#include <string>

#include "common/limits.hpp"
#include "common/python.hpp"
#include "common/record.hpp"
#include "core/sweeps.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

std::string text(py::handle value) {
  return py::str(value).cast<std::string>();
}

// The prior that the record's hyperparameters describe, in float64 on the host:
// its mean and the lower Cholesky factor of its covariance.
std::pair<py::object, py::object> host_prior(py::handle np, const py::int_& n_features,
                                             const py::int_& d_aug, double w_loc, double w_scale,
                                             double b_loc, double b_scale) {
  py::object float64 = np.attr("float64");
  const FitPrior prior =
      fit_prior(np, float64, n_features, py::float_(w_loc), py::float_(1.0 / (w_scale * w_scale)),
                py::float_(b_loc), py::float_(1.0 / (b_scale * b_scale)));
  py::object linalg = np.attr("linalg");
  // The covariance is the inverse of the precision, through its factor.
  py::object L0 = linalg.attr("cholesky")(prior.prec0);
  py::object A = linalg.attr("solve")(L0, np.attr("eye")(d_aug, "dtype"_a = float64));
  py::object S0 = linalg.attr("solve")(L0.attr("T"), A);
  return {prior.m_prior, linalg.attr("cholesky")(S0)};
}

std::vector<Parameter> followed_by(std::vector<Parameter> parameters,
                                   std::initializer_list<Parameter> extra) {
  parameters.insert(parameters.end(), extra.begin(), extra.end());
  return parameters;
}

}  // namespace

std::vector<Parameter> fit_parameters(std::initializer_list<Parameter> extra,
                                      Conversion w_scale_conversion) {
  const char* w_scale_annotation =
      w_scale_conversion == Conversion::real_or_auto ? "float | Literal['auto']" : "float";
  return followed_by({{"X", "np.ndarray"},
                      {"y", "np.ndarray"},
                      {"n_classes", "int", Conversion::integer},
                      {"label_base", "Literal[0, 1]"},
                      {"w_loc", "float", Conversion::real},
                      {"w_scale", w_scale_annotation, w_scale_conversion},
                      {"b_loc", "float", Conversion::real},
                      {"b_scale", "float", Conversion::real},
                      {"rng_seed", "int", Conversion::integer},
                      {"learning_rate", "float", Conversion::real},
                      {"num_steps", "int", Conversion::integer}},
                     extra);
}

std::vector<Parameter> update_parameters(std::initializer_list<Parameter> extra) {
  return followed_by({{"model", "KelvraModel"}, {"X", "np.ndarray"}, {"y", "np.ndarray"}}, extra);
}

FitArguments checked_fit_arguments(const Call& call, Strictness strictness, bool sweeps) {
  py::object np = call.global("np");
  for (const char* name : {"n_classes", "rng_seed", "num_steps"}) {
    check_whole_number(call, name, strictness);
  }
  FitArguments args;
  args.n_classes = call.integer("n_classes");
  args.rng_seed = call.integer("rng_seed");
  args.num_steps = call.integer("num_steps");
  args.w_loc = call.real("w_loc");
  const std::optional<double> w_scale = call.real_or_auto("w_scale");
  args.w_scale_auto = !w_scale.has_value();
  args.w_scale = w_scale.value_or(1.0);
  args.b_loc = call.real("b_loc");
  args.b_scale = call.real("b_scale");
  args.learning_rate = call.real("learning_rate");
  py::handle label_base = call.arg("label_base");

  // The documented checks, in their order; none of them creates a JAX array.
  auto [Xn, yn] = checked_training_arrays(np, call.arg("X"), call.arg("y"), strictness);
  if (args.n_classes < py::int_(2)) invalid("n_classes must be >= 2");
  if (not_equal(label_base, py::int_(0)) && not_equal(label_base, py::int_(1))) {
    invalid("label_base must be 0 or 1");
  }
  // Written as "not > 0" so that a NaN scale is refused instead of fitting NaNs.
  if (!(args.w_scale > 0)) invalid("w_scale must be > 0");
  if (!(args.b_scale > 0)) invalid("b_scale must be > 0");
  check_sweep_settings(args.learning_rate, args.num_steps);
  args.label_base = host_int(label_base);
  args.y0 = zero_based_labels(np, yn, args.label_base, strictness);
  if (np.attr("min")(args.y0) < py::int_(0) || np.attr("max")(args.y0) >= args.n_classes) {
    invalid("y out of range for n_classes/label_base");
  }

  // Beyond those: nothing that would end in a NaN model or an overflow.
  check_sweep_cap(args.num_steps);
  if (!int_within(args.rng_seed, limits().int64_min, limits().int64_max)) {
    invalid("rng_seed must fit in a signed 64-bit integer");
  }
  check_finite_setting("w_loc", args.w_loc);
  check_finite_setting("b_loc", args.b_loc);
  args.dtype = call.global("_jax_dtype_from_numpy")(Xn);
  check_prior_scale("w_scale", args.w_scale, np, args.dtype);
  check_prior_scale("b_scale", args.b_scale, np, args.dtype);
  py::int_ d_aug = host_int(Xn.attr("shape")[py::int_(1)]) + py::int_(1);
  check_class_count("fitting n_classes=" + text(args.n_classes), args.n_classes, d_aug, np,
                    args.dtype);
  if (sweeps) {
    check_sweep_work("fit", args.num_steps, Xn.attr("shape")[py::int_(0)], d_aug, args.n_classes,
                     strictness);
  }
  check_finite_features(np, Xn, args.dtype);

  args.Xn = std::move(Xn);
  args.layout = class_layout(np, args.y0, args.n_classes);
  return args;
}

UpdateArguments checked_update_arguments(const Call& call, py::handle model_arg,
                                         Strictness strictness) {
  py::object np = call.global("np");
  UpdateArguments args;
  args.model = py::reinterpret_borrow<py::object>(model_arg);
  py::handle model = args.model;

  auto [Xn, yn] = checked_training_arrays(np, call.arg("X"), call.arg("y"), strictness);
  args.label_base = record::read_int(np, model, record::label_base);
  // Compared before the subtraction, which would wrap for the lowest int64 labels.
  py::object labels = int64_labels(np, yn, strictness);
  // No upper bound: a label past the stored classes grows the class set.
  if (np.attr("min")(labels) < args.label_base) invalid("y out of range for label_base");
  args.y0 = labels - args.label_base;

  args.old_n_classes = record::read_int(np, model, record::n_classes);
  py::int_ seen_n_classes = host_int(np.attr("max")(args.y0)) + py::int_(1);
  args.new_n_classes = seen_n_classes > args.old_n_classes ? seen_n_classes : args.old_n_classes;
  args.ref_class = record::read_int(np, model, record::ref_class);
  args.non_ref = record::read_int_array(np, model, record::non_ref_classes);
  args.w_loc = record::read_double(np, model, record::w_loc);
  args.w_scale = record::read_double(np, model, record::w_scale);
  args.b_loc = record::read_double(np, model, record::b_loc);
  args.b_scale = record::read_double(np, model, record::b_scale);
  args.learning_rate = record::read_double(np, model, record::learning_rate);
  args.num_steps = record::read_int(np, model, record::num_steps);
  check_sweep_settings(args.learning_rate, args.num_steps);

  // Beyond the documented checks: a label cannot grow the model past what
  // the machine holds, and no NaN reaches the sweeps.
  check_sweep_cap(args.num_steps);
  args.dtype = call.global("_jax_dtype_from_numpy")(Xn);
  if (args.new_n_classes > args.old_n_classes) {
    py::int_ d_aug = host_int(Xn.attr("shape")[py::int_(1)]) + py::int_(1);
    py::int_ top_label = seen_n_classes - py::int_(1) + args.label_base;
    check_class_count("label " + text(top_label) + " would grow the model to " +
                          text(args.new_n_classes) + " classes, which",
                      args.new_n_classes, d_aug, np, args.dtype);
  }
  check_sweep_work("update", args.num_steps, Xn.attr("shape")[py::int_(0)],
                   host_int(Xn.attr("shape")[py::int_(1)]) + py::int_(1), args.new_n_classes,
                   strictness);
  check_finite_features(np, Xn, args.dtype);
  args.Xn = std::move(Xn);
  return args;
}

ClassState grown_class_state(py::handle np, py::handle xp, const UpdateArguments& args,
                             const py::int_& n_features, const py::int_& d_aug) {
  py::handle model = args.model;
  py::handle dtype = args.dtype;
  py::object int64 = np.attr("int64");
  ClassState state;
  state.non_ref = args.non_ref;
  // Stored arrays are recast to this call's working precision.
  state.beta_mean = xp.attr("asarray")(record::entry(model, record::beta_mean), "dtype"_a = dtype);
  state.beta_cov_chol =
      xp.attr("asarray")(record::entry(model, record::beta_cov_chol), "dtype"_a = dtype);
  py::object class_counts = record::read_int_array(np, model, record::class_counts);

  if (args.new_n_classes > args.old_n_classes) {
    // Every class below the new count that has no row yet gets one, appended
    // in ascending order, starting from the prior the record describes.
    py::set present(state.non_ref.attr("tolist")());
    py::list add_classes;
    const auto n_total = args.new_n_classes.cast<Py_ssize_t>();
    for (Py_ssize_t c = 0; c < n_total; ++c) {
      py::int_ klass(c);
      if (!klass.equal(args.ref_class) && !present.contains(klass)) add_classes.append(klass);
    }
    if (!add_classes.empty()) {
      state.non_ref = np.attr("concatenate")(
          py::make_tuple(state.non_ref, np.attr("asarray")(add_classes, "dtype"_a = int64)),
          "axis"_a = 0);
      auto [m_prior, prior_factor] =
          host_prior(np, n_features, d_aug, args.w_loc, args.w_scale, args.b_loc, args.b_scale);
      py::int_ n_added(static_cast<Py_ssize_t>(add_classes.size()));
      py::object mean_rows = xp.attr("tile")(
          xp.attr("asarray")(m_prior, "dtype"_a = dtype)[py::make_tuple(py::none(), all())],
          py::make_tuple(n_added, 1));
      state.beta_mean =
          xp.attr("concatenate")(py::make_tuple(state.beta_mean, mean_rows), "axis"_a = 0);
      py::object factor = xp.attr("asarray")(prior_factor, "dtype"_a = dtype);
      py::object factor_rows = xp.attr("tile")(factor[py::make_tuple(py::none(), all(), all())],
                                               py::make_tuple(n_added, 1, 1));
      state.beta_cov_chol =
          xp.attr("concatenate")(py::make_tuple(state.beta_cov_chol, factor_rows), "axis"_a = 0);
    }
    py::int_ stored = host_int(class_counts.attr("shape")[py::int_(0)]);
    if (args.new_n_classes > stored) {
      py::object padding =
          np.attr("zeros")(py::make_tuple(args.new_n_classes - stored), "dtype"_a = int64);
      class_counts = np.attr("concatenate")(py::make_tuple(class_counts, padding), "axis"_a = 0);
    }
  }
  py::object new_counts =
      np.attr("bincount")(args.y0, "minlength"_a = args.new_n_classes).attr("astype")(int64);
  state.class_counts = class_counts + new_counts;
  return state;
}

}  // namespace kelvra::learning
