// The batch fit's coordinate sweeps: every class starts at the shared prior,
// and each class step is the undamped Polya-Gamma update against that prior,
// blended into the current mean and covariance.
#include "common/python.hpp"
#include "core/class_step.hpp"
#include "core/sweeps.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/core/fit_sweeps.cpp";

// Positions of the fit context in the tuple the class step captures.
enum class FitContext : std::size_t {
  X_aug,
  dtype,
  yj,
  non_ref_j,
  m_prior,
  prec0,
  alpha,
  one_s,
  ref0
};
// Positions of what the sweep captures.
enum class FitSweep : std::size_t { update_one, n_classes };

py::object fit_update_one_body(Call& call) {
  const StepContext context{call.captured(FitContext::X_aug), call.captured(FitContext::dtype),
                            call.captured(FitContext::yj),    call.captured(FitContext::non_ref_j),
                            call.captured(FitContext::one_s), call.captured(FitContext::alpha),
                            call.captured(FitContext::ref0)};
  py::handle i = call.arg("i");
  auto [beta_mean, beta_cov] = unpack_pair(call.arg("st"));
  auto [logZ_minus, z] = offset_and_target(call, context, beta_mean, i);
  py::object m_i = beta_mean[i];
  py::object S_i = beta_cov[i];
  auto [m_new, S_new] = unpack_pair(call.global("_pg_binary_update")(
      context.X_aug, z, logZ_minus, call.captured(FitContext::m_prior),
      call.captured(FitContext::prec0), m_i, S_i));
  return write_row(beta_mean, beta_cov, i, damp(context, m_i, m_new), damp(context, S_i, S_new));
}

// One sweep: every non-reference class once, in row order.
py::object fit_sweep_body(Call& call) {
  py::handle update_one = call.captured(FitSweep::update_one);
  py::int_ n_classes = py::reinterpret_borrow<py::int_>(call.captured(FitSweep::n_classes));
  auto [beta_mean, beta_cov] = unpack_pair(call.arg("state"));
  py::object loop = call.global("jax").attr("lax").attr("fori_loop");
  auto [mean, cov] = unpack_pair(
      loop(0, n_classes - py::int_(1), update_one, py::make_tuple(beta_mean, beta_cov)));
  return py::make_tuple(mean, cov);
}

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

}  // namespace

FitPrior fit_prior(py::handle xp, py::handle dtype, const py::int_& n_features, py::handle w_loc,
                   py::handle w_prec, py::handle b_loc, py::handle b_prec) {
  py::object m_prior = xp.attr("concatenate")(
      py::make_tuple(
          xp.attr("full")(py::make_tuple(n_features), w_loc, "dtype"_a = dtype),
          xp.attr("array")(list_of(py::reinterpret_borrow<py::object>(b_loc)), "dtype"_a = dtype)),
      "axis"_a = 0);
  py::object prec_diag = xp.attr("concatenate")(py::make_tuple(
      xp.attr("full")(py::make_tuple(n_features), w_prec, "dtype"_a = dtype),
      xp.attr("array")(list_of(py::reinterpret_borrow<py::object>(b_prec)), "dtype"_a = dtype)));
  return {std::move(m_prior), xp.attr("diag")(prec_diag)};
}

SweepResult run_fit_sweeps(py::handle globals, const SweepInputs& inputs, const FitPrior& prior,
                           const py::int_& n_classes, py::handle num_steps, py::handle tol) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  py::handle dtype = inputs.dtype;
  // The prior covariance is the inverse of the precision through its factor.
  py::int_ d_aug = host_int(inputs.X_aug.attr("shape")[py::int_(1)]);
  py::object L0 = jnp.attr("linalg").attr("cholesky")(prior.prec0);
  py::object S0 = jax.attr("scipy").attr("linalg").attr("cho_solve")(
      py::make_tuple(L0, true), jnp.attr("eye")(d_aug, "dtype"_a = dtype));

  // Every class starts at the prior.
  py::int_ n_rows = n_classes - py::int_(1);
  py::object beta_mean =
      jnp.attr("tile")(prior.m_prior[py::make_tuple(py::none(), all())], py::make_tuple(n_rows, 1));
  py::object beta_cov =
      jnp.attr("tile")(S0[py::make_tuple(py::none(), all(), all())], py::make_tuple(n_rows, 1, 1));
  py::object alpha = jnp.attr("array")(inputs.alpha, "dtype"_a = dtype);
  py::object one_s = jnp.attr("array")(1, "dtype"_a = dtype);
  py::object ref0 = jnp.attr("zeros")(py::make_tuple(inputs.X_aug.attr("shape")[py::int_(0)], 1),
                                      "dtype"_a = dtype);

  py::object update_one =
      make_function(fit_update_one, globals,
                    py::make_tuple(inputs.X_aug, dtype, inputs.yj, inputs.non_ref_j, prior.m_prior,
                                   prior.prec0, alpha, one_s, ref0));
  py::object sweep = make_function(fit_sweep, globals, py::make_tuple(update_one, n_classes));
  py::object mean, cov, n_sweeps;
  if (tol.is_none()) {
    std::tie(mean, cov) = unpack_pair(jax.attr("lax").attr("fori_loop")(
        0, num_steps, sweep, py::make_tuple(beta_mean, beta_cov)));
    n_sweeps = py::reinterpret_borrow<py::object>(num_steps);
  } else {
    py::tuple result =
        sweep_until_converged(globals, sweep, beta_mean, beta_cov, num_steps, tol, dtype);
    mean = result[0];
    cov = result[1];
    n_sweeps = result[2];
  }
  return {std::move(mean), jnp.attr("linalg").attr("cholesky")(cov), std::move(n_sweeps)};
}

}  // namespace kelvra::learning
