// The learning module's batch fit: damped Polya-Gamma coordinate sweeps from
// a shared Gaussian prior, run inside jax.lax.fori_loop with loop bodies made
// for this call.
#include "common/python.hpp"
#include "core/arguments.hpp"
#include "core/records.hpp"
#include "core/sweeps.hpp"
#include "learning/learning.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

py::object fit_body(Call& call) {
  py::object np = call.global("np");
  py::object jnp = call.global("jnp");
  const FitArguments args = checked_fit_arguments(call, Strictness::lenient);
  const Design design = design_matrix(jnp, args.Xn, args.y0, args.dtype);
  py::object wdtype = design.Xj.attr("dtype");

  // The precisions are reciprocal squares in double, stored in the working dtype.
  py::object w_prec = jnp.attr("array")(1.0 / (args.w_scale * args.w_scale), "dtype"_a = wdtype);
  py::object b_prec = jnp.attr("array")(1.0 / (args.b_scale * args.b_scale), "dtype"_a = wdtype);
  const FitPrior prior = fit_prior(jnp, wdtype, design.n_features, py::float_(args.w_loc), w_prec,
                                   py::float_(args.b_loc), b_prec);
  py::object non_ref_j = jnp.attr("asarray")(args.layout.non_ref, "dtype"_a = jnp.attr("int32"));
  const SweepInputs inputs{design.X_aug, design.yj, non_ref_j, wdtype,
                           py::float_(args.learning_rate)};
  const SweepResult result =
      run_fit_sweeps(call.globals(), inputs, prior, args.n_classes, args.num_steps, py::none());
  return make_record(call, fit_params(np, args, result.beta_mean, result.beta_cov_chol));
}

}  // namespace

const FunctionDef kelvra_softmax_fit = {
    "kelvra_softmax_fit",
    "kelvra_softmax_fit",
    fit_parameters(),
    "KelvraModel",
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
    "kelvra_bci/models/kelvra_softmax/learning/fit.cpp",
};

}  // namespace kelvra::learning
