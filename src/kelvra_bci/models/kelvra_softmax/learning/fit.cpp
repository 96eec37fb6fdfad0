// The batch fit: damped Polya-Gamma coordinate sweeps from a shared Gaussian
// prior, run entirely inside jax.lax.fori_loop.
#include "common/python.hpp"
#include "common/record.hpp"
#include "learning/class_step.hpp"
#include "learning/learning.hpp"
#include "learning/training_data.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/learning/fit.cpp";

// Positions of the fit context in the tuple the class step captures.
enum FitContext : std::size_t { X_aug, Xj, yj, non_ref_j, m_prior, prec0, alpha, one_s, ref0 };

py::object fit_update_one_body(Call& call);
py::object fit_sweep_body(Call& call);

const FunctionDef fit_update_one = {
    "update_one",    "kelvra_softmax_fit.<locals>.update_one",
    {{"i"}, {"st"}}, nullptr,
    nullptr,         fit_update_one_body,
    kSource,
};

const FunctionDef fit_sweep = {
    "sweep",
    "kelvra_softmax_fit.<locals>.sweep",
    {{"_"}, {"state"}},
    nullptr,
    nullptr,
    fit_sweep_body,
    kSource,
};

// One class step: the undamped PG update of row i against the shared prior,
// blended into the current mean and covariance.
py::object fit_update_one_body(Call& call) {
  const StepContext context{call.captured(X_aug),     call.captured(Xj),    call.captured(yj),
                            call.captured(non_ref_j), call.captured(one_s), call.captured(alpha),
                            call.captured(ref0)};
  py::handle i = call.arg(0);
  auto [beta_mean, beta_cov] = unpack_pair(call.arg(1));
  auto [logZ_minus, z] = offset_and_target(call, context, beta_mean, i);
  py::object m_i = beta_mean[i];
  py::object S_i = beta_cov[i];
  auto [m_new, S_new] = unpack_pair(call.global("_pg_binary_update")(
      context.X_aug, z, logZ_minus, call.captured(m_prior), call.captured(prec0), m_i, S_i));
  m_new = damp(context, m_i, m_new);
  S_new = damp(context, S_i, S_new);
  beta_mean = beta_mean.attr("at")[i].attr("set")(m_new);
  beta_cov = beta_cov.attr("at")[i].attr("set")(S_new);
  return py::make_tuple(beta_mean, beta_cov);
}

// One sweep: every non-reference class once, in row order.
py::object fit_sweep_body(Call& call) {
  py::handle update_one = call.captured(0);
  py::int_ n_classes = py::reinterpret_borrow<py::int_>(call.captured(1));
  auto [beta_mean, beta_cov] = unpack_pair(call.arg(1));
  py::object loop = call.global("jax").attr("lax").attr("fori_loop");
  auto [mean, cov] = unpack_pair(
      loop(0, n_classes - py::int_(1), update_one, py::make_tuple(beta_mean, beta_cov)));
  return py::make_tuple(mean, cov);
}

py::object fit_body(Call& call) {
  py::object np = call.global("np");
  py::object jnp = call.global("jnp");
  py::object jax = call.global("jax");
  py::handle X = call.arg(0), y = call.arg(1), label_base = call.arg(3);
  py::int_ n_classes = py::reinterpret_borrow<py::int_>(call.arg(2));
  py::handle rng_seed = call.arg(8);
  py::int_ num_steps = py::reinterpret_borrow<py::int_>(call.arg(10));
  const double w_loc = call.real(4), w_scale = call.real(5), b_loc = call.real(6),
               b_scale = call.real(7), learning_rate = call.real(9);
  py::object int64 = np.attr("int64"), float64 = np.attr("float64");

  // Every check runs before any JAX array exists.
  auto [Xn, yn] = checked_training_arrays(np, X, y);
  if (n_classes < py::int_(2)) invalid("n_classes must be >= 2");
  if (not_equal(label_base, py::int_(0)) && not_equal(label_base, py::int_(1))) {
    invalid("label_base must be 0 or 1");
  }
  // Written as "not > 0" so that a NaN scale is refused instead of fitting NaNs.
  if (!(w_scale > 0)) invalid("w_scale must be > 0");
  if (!(b_scale > 0)) invalid("b_scale must be > 0");
  if (!(0 < learning_rate && learning_rate <= 1)) invalid("learning_rate must be in (0, 1]");
  if (num_steps < py::int_(1)) invalid("num_steps must be >= 1");
  py::int_ base = host_int(label_base);
  py::object y0 = yn.attr("astype")(int64) - base;
  if (np.attr("min")(y0) < py::int_(0) || np.attr("max")(y0) >= n_classes) {
    invalid("y out of range for n_classes/label_base");
  }

  // The most frequent class is the reference; ties go to the smallest index.
  py::object counts = np.attr("bincount")(y0, "minlength"_a = n_classes).attr("astype")(int64);
  py::int_ ref_class = host_int(np.attr("argmax")(counts));
  py::list others;
  const auto n_total = n_classes.cast<Py_ssize_t>();
  const auto reference = ref_class.cast<Py_ssize_t>();
  for (Py_ssize_t c = 0; c < n_total; ++c) {
    if (c != reference) others.append(c);
  }
  py::object non_ref = np.attr("array")(others, "dtype"_a = int64);
  py::object non_ref_j_ = jnp.attr("asarray")(non_ref, "dtype"_a = jnp.attr("int32"));

  const Design design = design_matrix(call, Xn, y0);
  py::object wdtype = design.Xj.attr("dtype");

  // The shared prior: independent Gaussians, bias last.
  py::object m_prior_ = jnp.attr("concatenate")(
      py::make_tuple(jnp.attr("full")(py::make_tuple(design.n_features), w_loc, "dtype"_a = wdtype),
                     jnp.attr("array")(list_of(py::float_(b_loc)), "dtype"_a = wdtype)),
      "axis"_a = 0);
  py::object w_prec = jnp.attr("array")(1.0 / (w_scale * w_scale), "dtype"_a = wdtype);
  py::object b_prec = jnp.attr("array")(1.0 / (b_scale * b_scale), "dtype"_a = wdtype);
  py::object prec_diag = jnp.attr("concatenate")(py::make_tuple(
      jnp.attr("full")(py::make_tuple(design.n_features), w_prec, "dtype"_a = wdtype),
      jnp.attr("array")(list_of(b_prec), "dtype"_a = wdtype)));
  py::object prec0_ = jnp.attr("diag")(prec_diag);
  py::object L0 = jnp.attr("linalg").attr("cholesky")(prec0_);
  py::object S0 = jax.attr("scipy").attr("linalg").attr("cho_solve")(
      py::make_tuple(L0, true), jnp.attr("eye")(design.d_aug, "dtype"_a = wdtype));

  // Every class starts at the prior.
  py::int_ n_rows_state = n_classes - py::int_(1);
  py::object beta_mean = jnp.attr("tile")(m_prior_[py::make_tuple(py::none(), all())],
                                          py::make_tuple(n_rows_state, 1));
  py::object beta_cov = jnp.attr("tile")(S0[py::make_tuple(py::none(), all(), all())],
                                         py::make_tuple(n_rows_state, 1, 1));
  py::object alpha_ = jnp.attr("array")(learning_rate, "dtype"_a = wdtype);
  py::object one_s_ = jnp.attr("array")(1, "dtype"_a = wdtype);
  py::object ref0_ = jnp.attr("zeros")(py::make_tuple(design.X_aug.attr("shape")[py::int_(0)], 1),
                                       "dtype"_a = wdtype);

  py::object update_one =
      make_function(fit_update_one, call.globals(),
                    py::make_tuple(design.X_aug, design.Xj, design.yj, non_ref_j_, m_prior_, prec0_,
                                   alpha_, one_s_, ref0_));
  py::object sweep =
      make_function(fit_sweep, call.globals(), py::make_tuple(update_one, n_classes));
  auto [mean, cov] = unpack_pair(
      jax.attr("lax").attr("fori_loop")(0, num_steps, sweep, py::make_tuple(beta_mean, beta_cov)));
  py::object beta_cov_chol = jnp.attr("linalg").attr("cholesky")(cov);

  namespace key = record;
  py::dict params;
  params[key::backend] = record::backend_entry(np);
  params[key::n_classes] = np.attr("array")(n_classes, "dtype"_a = int64);
  params[key::label_base] = np.attr("array")(base, "dtype"_a = int64);
  params[key::ref_class] = np.attr("array")(ref_class, "dtype"_a = int64);
  params[key::non_ref_classes] = np.attr("asarray")(non_ref, "dtype"_a = int64);
  params[key::beta_mean] = np.attr("asarray")(mean);
  params[key::beta_cov_chol] = np.attr("asarray")(beta_cov_chol);
  params[key::w_loc] = np.attr("array")(w_loc, "dtype"_a = float64);
  params[key::w_scale] = np.attr("array")(w_scale, "dtype"_a = float64);
  params[key::b_loc] = np.attr("array")(b_loc, "dtype"_a = float64);
  params[key::b_scale] = np.attr("array")(b_scale, "dtype"_a = float64);
  params[key::rng_seed] = np.attr("array")(rng_seed, "dtype"_a = int64);
  params[key::learning_rate] = np.attr("array")(learning_rate, "dtype"_a = float64);
  params[key::num_steps] = np.attr("array")(num_steps, "dtype"_a = int64);
  params[key::class_counts] = counts;
  return call.global("KelvraModel")("model_type"_a = record::model_type, "params"_a = params);
}

}  // namespace

const FunctionDef kelvra_softmax_fit = {
    "kelvra_softmax_fit",
    "kelvra_softmax_fit",
    {{"X", "np.ndarray"},
     {"y", "np.ndarray"},
     {"n_classes", "int", Conversion::integer},
     {"label_base", "Literal[0, 1]"},
     {"w_loc", "float", Conversion::real},
     {"w_scale", "float", Conversion::real},
     {"b_loc", "float", Conversion::real},
     {"b_scale", "float", Conversion::real},
     {"rng_seed", "int", Conversion::integer},
     {"learning_rate", "float", Conversion::real},
     {"num_steps", "int", Conversion::integer}},
    "KelvraModel",
    "kelvra_softmax_fit(X: np.ndarray, y: np.ndarray, int n_classes: int, label_base: "
    "Literal[0, 1], double w_loc: float, double w_scale: float, double b_loc: float, double "
    "b_scale: float, int rng_seed: int, double learning_rate: float, int num_steps: int) -> "
    "KelvraModel\n"
    "\n"
    "Fit Bayesian multinomial softmax regression using Polya-Gamma VI.\n"
    "\n"
    "This uses a reference-class softmax model and iteratively updates each\n"
    "class's parameters using a coupled one-vs-rest Polya-Gamma update.\n"
    "\n"
    "Args:\n"
    "    X: Feature matrix of shape (n_trials, n_features).\n"
    "    y: Integer labels of shape (n_trials,). Labels must be in\n"
    "        {label_base, ..., label_base + n_classes - 1}.\n"
    "    n_classes: Number of classes.\n"
    "    label_base: 0 or 1, describing the minimum label value in y.\n"
    "    w_loc: Scalar prior mean for weights (broadcast per feature).\n"
    "    w_scale: Prior weight scale (>0).\n"
    "    b_loc: Scalar prior mean for bias.\n"
    "    b_scale: Prior bias scale (>0).\n"
    "    rng_seed: Seed reserved for future use.\n"
    "    learning_rate: Damping factor in (0, 1].\n"
    "    num_steps: Number of coordinate sweeps (>=1).\n"
    "\n"
    "Returns:\n"
    "    KelvraModel containing a Gaussian posterior approximation per class.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If inputs have invalid shapes, label ranges, or hyperparameters.",
    fit_body,
    kSource,
};

}  // namespace kelvra::learning
