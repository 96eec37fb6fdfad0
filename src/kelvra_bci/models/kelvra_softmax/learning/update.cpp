// The online update: folds new labelled trials into a fitted record. Each
// class's current Gaussian is the prior of its next step, and the loop state
// carries Cholesky factors, as the record does.
#include "common/python.hpp"
#include "common/record.hpp"
#include "learning/class_step.hpp"
#include "learning/learning.hpp"
#include "learning/training_data.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/learning/update.cpp";

// Positions of the update context in the tuple both loop bodies capture.
enum UpdateContext : std::size_t { X_aug, Xj, yj, non_ref, non_ref_j, ref0, one_s, alpha_j, d_aug };

py::object update_one_body(Call& call);
py::object update_sweep_body(Call& call);

const FunctionDef update_one = {
    "update_one",    "kelvra_softmax_update.<locals>.sweep.<locals>.update_one",
    {{"i"}, {"st"}}, nullptr,
    nullptr,         update_one_body,
    kSource,
};

const FunctionDef update_sweep = {
    "sweep",
    "kelvra_softmax_update.<locals>.sweep",
    {{"_"}, {"state"}},
    nullptr,
    nullptr,
    update_sweep_body,
    kSource,
};

py::object update_one_body(Call& call) {
  py::object jax = call.global("jax");
  py::object jnp = call.global("jnp");
  const StepContext context{call.captured(X_aug),     call.captured(Xj),    call.captured(yj),
                            call.captured(non_ref_j), call.captured(one_s), call.captured(alpha_j),
                            call.captured(ref0)};
  py::handle i = call.arg(0);
  auto [beta_mean, beta_cov_chol] = unpack_pair(call.arg(1));
  auto [logZ_minus, z] = offset_and_target(call, context, beta_mean, i);

  // The class's current Gaussian is both the prior and the tilt of its update.
  py::object m0 = beta_mean[i];
  py::object Lcov = beta_cov_chol[i];
  py::object S0 = matmul(Lcov, Lcov.attr("T"));
  py::object eye = jnp.attr("eye")(call.captured(d_aug), "dtype"_a = context.Xj.attr("dtype"));
  py::object prec0 =
      jax.attr("scipy").attr("linalg").attr("cho_solve")(py::make_tuple(Lcov, true), eye);
  py::object m_i = beta_mean[i];
  auto [m_new, S_new] = unpack_pair(
      call.global("_pg_binary_update")(context.X_aug, z, logZ_minus, m0, prec0, m_i, S0));
  m_i = damp(context, m_i, m_new);
  py::object S_i = damp(context, S0, S_new);
  beta_mean = beta_mean.attr("at")[i].attr("set")(m_i);
  py::object L = jnp.attr("linalg").attr("cholesky")(S_i);
  beta_cov_chol = beta_cov_chol.attr("at")[i].attr("set")(L);
  return py::make_tuple(beta_mean, beta_cov_chol);
}

py::object update_sweep_body(Call& call) {
  auto [beta_mean, beta_cov_chol] = unpack_pair(call.arg(1));
  // A fresh class step per sweep, capturing the same per-call arrays.
  py::tuple context = py::reinterpret_borrow<py::tuple>(call.captured(0));
  py::object step = make_function(update_one, call.globals(), context);
  py::object n_rows = context[non_ref].attr("shape")[py::int_(0)];
  py::object loop = call.global("jax").attr("lax").attr("fori_loop");
  auto [mean, chol] =
      unpack_pair(loop(0, host_int(n_rows), step, py::make_tuple(beta_mean, beta_cov_chol)));
  return py::make_tuple(mean, chol);
}

// A plain dict copy of a dict; any other mapping goes through dict().
py::dict shallow_copy(py::object mapping) {
  if (PyDict_Check(mapping.ptr())) {
    PyObject* copy = PyDict_Copy(mapping.ptr());
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(copy);
  }
  return py::dict(std::move(mapping));
}

// The prior that the record's hyperparameters describe, in float64 on the host:
// its mean and the lower Cholesky factor of its covariance. Added classes get
// it cast once to the working dtype.
std::pair<py::object, py::object> host_prior(py::handle np, py::handle n_features, py::handle d_aug,
                                             double w_loc, double w_scale, double b_loc,
                                             double b_scale) {
  py::object float64 = np.attr("float64");
  py::object m_prior = np.attr("concatenate")(
      py::make_tuple(np.attr("full")(py::make_tuple(n_features), w_loc, "dtype"_a = float64),
                     np.attr("array")(list_of(py::float_(b_loc)), "dtype"_a = float64)));
  const double w_prec = 1.0 / (w_scale * w_scale);
  const double b_prec = 1.0 / (b_scale * b_scale);
  py::object prec_diag = np.attr("concatenate")(
      py::make_tuple(np.attr("full")(py::make_tuple(n_features), w_prec, "dtype"_a = float64),
                     np.attr("array")(list_of(py::float_(b_prec)), "dtype"_a = float64)));
  py::object prec0_np = np.attr("diag")(prec_diag);
  py::object linalg = np.attr("linalg");
  // The covariance is the inverse of the precision, through its factor.
  py::object L0 = linalg.attr("cholesky")(prec0_np);
  py::object A = linalg.attr("solve")(L0, np.attr("eye")(d_aug, "dtype"_a = float64));
  py::object S0 = linalg.attr("solve")(L0.attr("T"), A);
  return {std::move(m_prior), linalg.attr("cholesky")(S0)};
}

py::object update_body(Call& call) {
  py::object np = call.global("np");
  py::object jnp = call.global("jnp");
  py::object jax = call.global("jax");
  py::handle model = call.arg(0), X = call.arg(1), y = call.arg(2);
  py::object int64 = np.attr("int64");

  auto [Xn, yn] = checked_training_arrays(np, X, y);
  py::int_ label_base = record::read_int(np, model, record::label_base);
  py::object y0 = yn.attr("astype")(int64) - label_base;
  // No upper bound: a label past the stored classes grows the class set.
  if (np.attr("min")(y0) < py::int_(0)) invalid("y out of range for label_base");

  py::int_ old_n_classes = record::read_int(np, model, record::n_classes);
  py::int_ seen_n_classes = host_int(np.attr("max")(y0)) + py::int_(1);
  py::int_ new_n_classes = seen_n_classes > old_n_classes ? seen_n_classes : old_n_classes;
  py::int_ ref_class = record::read_int(np, model, record::ref_class);
  py::object non_ref_ = record::read_int_array(np, model, record::non_ref_classes);
  const double w_loc = record::read_double(np, model, record::w_loc);
  const double w_scale = record::read_double(np, model, record::w_scale);
  const double b_loc = record::read_double(np, model, record::b_loc);
  const double b_scale = record::read_double(np, model, record::b_scale);
  const double alpha = record::read_double(np, model, record::learning_rate);
  py::int_ num_steps = record::read_int(np, model, record::num_steps);
  if (!(0.0 < alpha && alpha <= 1.0)) invalid("learning_rate must be in (0, 1]");
  if (num_steps < py::int_(1)) invalid("num_steps must be >= 1");

  const Design design = design_matrix(call, Xn, y0);
  py::object wdtype = design.Xj.attr("dtype");
  // Stored arrays are recast to this call's working precision.
  py::object beta_mean =
      jnp.attr("asarray")(record::entry(model, record::beta_mean), "dtype"_a = wdtype);
  py::object beta_cov_chol =
      jnp.attr("asarray")(record::entry(model, record::beta_cov_chol), "dtype"_a = wdtype);
  py::object class_counts = record::read_int_array(np, model, record::class_counts);

  if (new_n_classes > old_n_classes) {
    // Every class below the new count that has no row yet gets one, appended
    // in ascending order, starting from the prior the record describes.
    py::set present(non_ref_.attr("tolist")());
    py::list add_classes;
    const auto n_total = new_n_classes.cast<Py_ssize_t>();
    for (Py_ssize_t c = 0; c < n_total; ++c) {
      py::int_ klass(c);
      if (!klass.equal(ref_class) && !present.contains(klass)) add_classes.append(klass);
    }
    if (!add_classes.empty()) {
      non_ref_ = np.attr("concatenate")(
          py::make_tuple(non_ref_, np.attr("asarray")(add_classes, "dtype"_a = int64)),
          "axis"_a = 0);
      auto [m_prior, prior_factor] =
          host_prior(np, design.n_features, design.d_aug, w_loc, w_scale, b_loc, b_scale);
      py::int_ n_added(static_cast<Py_ssize_t>(add_classes.size()));
      py::object mean_rows = jnp.attr("tile")(
          jnp.attr("asarray")(m_prior, "dtype"_a = wdtype)[py::make_tuple(py::none(), all())],
          py::make_tuple(n_added, 1));
      beta_mean = jnp.attr("concatenate")(py::make_tuple(beta_mean, mean_rows), "axis"_a = 0);
      py::object factor = jnp.attr("asarray")(prior_factor, "dtype"_a = wdtype);
      py::object factor_rows = jnp.attr("tile")(factor[py::make_tuple(py::none(), all(), all())],
                                                py::make_tuple(n_added, 1, 1));
      beta_cov_chol =
          jnp.attr("concatenate")(py::make_tuple(beta_cov_chol, factor_rows), "axis"_a = 0);
    }
    py::int_ stored = host_int(class_counts.attr("shape")[py::int_(0)]);
    if (new_n_classes > stored) {
      py::object padding =
          np.attr("zeros")(py::make_tuple(new_n_classes - stored), "dtype"_a = int64);
      class_counts = np.attr("concatenate")(py::make_tuple(class_counts, padding), "axis"_a = 0);
    }
  }
  py::object new_counts =
      np.attr("bincount")(y0, "minlength"_a = new_n_classes).attr("astype")(int64);
  class_counts = class_counts + new_counts;

  py::object alpha_j_ = jnp.attr("array")(alpha, "dtype"_a = wdtype);
  py::object one_s_ = jnp.attr("array")(1, "dtype"_a = wdtype);
  py::object non_ref_j_ = jnp.attr("asarray")(non_ref_, "dtype"_a = jnp.attr("int32"));
  py::object ref0_ = jnp.attr("zeros")(py::make_tuple(design.X_aug.attr("shape")[py::int_(0)], 1),
                                       "dtype"_a = wdtype);
  py::tuple context = py::make_tuple(design.X_aug, design.Xj, design.yj, non_ref_, non_ref_j_,
                                     ref0_, one_s_, alpha_j_, design.d_aug);
  py::object sweep = make_function(update_sweep, call.globals(), py::make_tuple(context));
  auto [beta_mean_u, beta_cov_u] = unpack_pair(jax.attr("lax").attr("fori_loop")(
      0, num_steps, sweep, py::make_tuple(beta_mean, beta_cov_chol)));

  // A shallow copy: entries the update does not replace stay the same objects.
  py::dict params = shallow_copy(model.attr("params"));
  params[record::backend] = record::backend_entry(np);
  params[record::n_classes] = np.attr("array")(new_n_classes, "dtype"_a = int64);
  params[record::non_ref_classes] = np.attr("asarray")(non_ref_, "dtype"_a = int64);
  params[record::beta_mean] = np.attr("asarray")(beta_mean_u);
  params[record::beta_cov_chol] = np.attr("asarray")(beta_cov_u);
  params[record::class_counts] = class_counts.attr("astype")(int64);
  return call.global("KelvraModel")("model_type"_a = record::model_type, "params"_a = params);
}

}  // namespace

const FunctionDef kelvra_softmax_update = {
    "kelvra_softmax_update",
    "kelvra_softmax_update",
    {{"model", "KelvraModel"}, {"X", "np.ndarray"}, {"y", "np.ndarray"}},
    "KelvraModel",
    "kelvra_softmax_update(model: KelvraModel, X: np.ndarray, y: np.ndarray) -> KelvraModel\n"
    "\n"
    "Update a softmax model with additional labeled observations.",
    update_body,
    kSource,
};

}  // namespace kelvra::learning
