// The online update's coordinate sweeps. The loop state carries Cholesky
// factors, as the record does. Two rules decide the prior of a class step:
// "resweep" takes the class's current Gaussian, so every sweep folds the new
// trials in again; "once" keeps the Gaussian the incoming record holds, so
// the sweeps iterate towards "incoming posterior x likelihood of the new
// trials" and each trial counts once.
#include "common/python.hpp"
#include "core/class_step.hpp"
#include "core/sweeps.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/core/update_sweeps.cpp";

// Positions of the update context in the tuple both loop bodies capture.
// The last two are the fixed priors of the "once" rule (None for "resweep").
enum class UpdateContext : std::size_t {
  X_aug,
  dtype,
  yj,
  n_rows,
  non_ref_j,
  ref0,
  one_s,
  alpha_j,
  d_aug,
  prior_mean,
  prior_prec,
};

StepContext step_context(const Call& call) {
  return {call.captured(UpdateContext::X_aug), call.captured(UpdateContext::dtype),
          call.captured(UpdateContext::yj),    call.captured(UpdateContext::non_ref_j),
          call.captured(UpdateContext::one_s), call.captured(UpdateContext::alpha_j),
          call.captured(UpdateContext::ref0)};
}

// One class step of either rule; only the prior of the binary update differs.
py::object class_step(Call& call, UpdateRule rule) {
  py::object jnp = call.global("jnp");
  const StepContext context = step_context(call);
  py::handle i = call.arg("i");
  auto [beta_mean, beta_cov_chol] = unpack_pair(call.arg("st"));
  auto [logZ_minus, z] = offset_and_target(call, context, beta_mean, i);

  py::object m_i = beta_mean[i];
  py::object Lcov = beta_cov_chol[i];
  py::object S_i = matmul(Lcov, Lcov.attr("T"));
  py::object m0, prec0;
  if (rule == UpdateRule::once) {
    // The incoming Gaussian stays the prior; only the tilt moves.
    m0 = call.captured(UpdateContext::prior_mean)[i];
    prec0 = call.captured(UpdateContext::prior_prec)[i];
  } else {
    // The class's current Gaussian is both the prior and the tilt.
    m0 = m_i;
    py::object eye =
        jnp.attr("eye")(call.captured(UpdateContext::d_aug), "dtype"_a = context.dtype);
    prec0 = call.global("jax").attr("scipy").attr("linalg").attr("cho_solve")(
        py::make_tuple(Lcov, true), eye);
  }
  auto [m_new, S_new] = unpack_pair(
      call.global("_pg_binary_update")(context.X_aug, z, logZ_minus, m0, prec0, m_i, S_i));
  // The damped covariance goes back as its Cholesky factor.
  py::object mean = damp(context, m_i, m_new);
  py::object factor = jnp.attr("linalg").attr("cholesky")(damp(context, S_i, S_new));
  return write_row(beta_mean, beta_cov_chol, i, mean, factor);
}

py::object update_one_body(Call& call) {
  return class_step(call, UpdateRule::resweep);
}

py::object update_once_one_body(Call& call) {
  return class_step(call, UpdateRule::once);
}

const FunctionDef update_one = {
    "update_one",    "kelvra_softmax_update.<locals>.sweep.<locals>.update_one",
    {{"i"}, {"st"}}, nullptr,
    nullptr,         update_one_body,
    kSource,
};

const FunctionDef update_once_one = {
    "update_one",    "update.<locals>.sweep.<locals>.update_one",
    {{"i"}, {"st"}}, nullptr,
    nullptr,         update_once_one_body,
    kSource,
};

// One sweep: a fresh class step over every row, capturing the same per-call arrays.
py::object sweep_with(Call& call, const FunctionDef& class_step) {
  auto [beta_mean, beta_cov_chol] = unpack_pair(call.arg("state"));
  py::tuple context = py::reinterpret_borrow<py::tuple>(call.captured(0));
  py::object step = make_function(class_step, call.globals(), context);
  py::object n_rows = context[static_cast<std::size_t>(UpdateContext::n_rows)];
  py::object loop = call.global("jax").attr("lax").attr("fori_loop");
  auto [mean, chol] = unpack_pair(loop(0, n_rows, step, py::make_tuple(beta_mean, beta_cov_chol)));
  return py::make_tuple(mean, chol);
}

py::object update_sweep_body(Call& call) {
  return sweep_with(call, update_one);
}

py::object update_once_sweep_body(Call& call) {
  return sweep_with(call, update_once_one);
}

const FunctionDef update_sweep = {
    "sweep",
    "kelvra_softmax_update.<locals>.sweep",
    {{"_"}, {"state"}},
    nullptr,
    nullptr,
    update_sweep_body,
    kSource,
};

const FunctionDef update_once_sweep = {
    "sweep", "update.<locals>.sweep", {{"_"}, {"state"}}, nullptr, nullptr, update_once_sweep_body,
    kSource,
};

// Precisions of the Gaussians given by lower factors L (covariance L L^T):
// (L^-1)^T L^-1, one triangular solve for the whole stack.
py::object precisions_from_factors(py::handle jax, py::handle jnp, py::handle factors,
                                   py::handle dtype, const py::int_& d_aug) {
  py::object eye =
      jnp.attr("broadcast_to")(jnp.attr("eye")(d_aug, "dtype"_a = dtype), factors.attr("shape"));
  py::object inverse =
      jax.attr("scipy").attr("linalg").attr("solve_triangular")(factors, eye, "lower"_a = true);
  return jnp.attr("einsum")("kji,kjl->kil", inverse, inverse);
}

}  // namespace

UpdateRule parse_update_rule(py::handle rule, UpdateRule fallback) {
  if (rule.is_none()) return fallback;
  if (py::isinstance<py::str>(rule)) {
    const auto text = rule.cast<std::string>();
    if (text == "once") return UpdateRule::once;
    if (text == "resweep") return UpdateRule::resweep;
  }
  throw py::value_error("rule must be 'once' or 'resweep', not " +
                        py::repr(rule).cast<std::string>());
}

SweepResult run_update_sweeps(py::handle globals, const SweepInputs& inputs, py::handle beta_mean,
                              py::handle beta_cov_chol, py::handle num_steps, py::handle tol,
                              UpdateRule rule) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  py::handle dtype = inputs.dtype;
  py::object alpha_j = jnp.attr("array")(inputs.alpha, "dtype"_a = dtype);
  py::object one_s = jnp.attr("array")(1, "dtype"_a = dtype);
  py::object ref0 = jnp.attr("zeros")(py::make_tuple(inputs.X_aug.attr("shape")[py::int_(0)], 1),
                                      "dtype"_a = dtype);
  py::int_ n_rows = host_int(inputs.non_ref_j.attr("shape")[py::int_(0)]);
  py::int_ d_aug = host_int(inputs.X_aug.attr("shape")[py::int_(1)]);
  py::object prior_mean = py::none(), prior_prec = py::none();
  if (rule == UpdateRule::once) {
    prior_mean = py::reinterpret_borrow<py::object>(beta_mean);
    prior_prec = precisions_from_factors(jax, jnp, beta_cov_chol, dtype, d_aug);
  }
  py::tuple context = py::make_tuple(inputs.X_aug, dtype, inputs.yj, n_rows, inputs.non_ref_j, ref0,
                                     one_s, alpha_j, d_aug, prior_mean, prior_prec);
  const FunctionDef& sweep_def = rule == UpdateRule::once ? update_once_sweep : update_sweep;
  py::object sweep = make_function(sweep_def, globals, py::make_tuple(context));
  if (!tol.is_none()) {
    py::tuple result =
        sweep_until_converged(globals, sweep, beta_mean, beta_cov_chol, num_steps, tol, dtype);
    return {result[0], result[1], result[2]};
  }
  auto [mean, chol] = unpack_pair(jax.attr("lax").attr("fori_loop")(
      0, num_steps, sweep, py::make_tuple(beta_mean, beta_cov_chol)));
  return {std::move(mean), std::move(chol), py::reinterpret_borrow<py::object>(num_steps)};
}

}  // namespace kelvra::learning
