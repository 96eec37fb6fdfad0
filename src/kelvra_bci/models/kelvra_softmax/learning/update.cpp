// The learning module's online update: folds new labelled trials into a
// fitted record. Each class's current Gaussian is the prior of its next
// step ("resweep"), with loop bodies made for this call.
#include "common/python.hpp"
#include "core/arguments.hpp"
#include "core/records.hpp"
#include "core/sweeps.hpp"
#include "learning/learning.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

py::object update_body(Call& call) {
  py::object np = call.global("np");
  py::object jnp = call.global("jnp");
  const UpdateArguments args =
      checked_update_arguments(call, call.arg("model"), Strictness::lenient);
  const Design design = design_matrix(jnp, args.Xn, args.y0, args.dtype);
  const ClassState state = grown_class_state(np, jnp, args, design.n_features, design.d_aug);

  py::object non_ref_j = jnp.attr("asarray")(state.non_ref, "dtype"_a = jnp.attr("int32"));
  const SweepInputs inputs{design.X_aug, design.yj, non_ref_j, design.Xj.attr("dtype"),
                           py::float_(args.learning_rate)};
  const SweepResult result =
      run_update_sweeps(call.globals(), inputs, state.beta_mean, state.beta_cov_chol,
                        args.num_steps, py::none(), UpdateRule::resweep);
  return make_record(call, updated_params(np, args, state, result.beta_mean, result.beta_cov_chol));
}

}  // namespace

const FunctionDef kelvra_softmax_update = {
    "kelvra_softmax_update",
    "kelvra_softmax_update",
    update_parameters(),
    "KelvraModel",
    "Update a softmax model with additional labeled observations.",
    update_body,
    "kelvra_bci/models/kelvra_softmax/learning/update.cpp",
};

}  // namespace kelvra::learning
