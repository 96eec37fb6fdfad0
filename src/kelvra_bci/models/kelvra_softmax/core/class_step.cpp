#include "core/class_step.hpp"

#include "common/python.hpp"

namespace kelvra::learning {

using namespace pybind11::literals;

std::pair<py::object, py::object> offset_and_target(const Call& call, const StepContext& context,
                                                    py::handle beta_mean, py::handle i) {
  py::object jax = call.global("jax");
  py::object jnp = call.global("jnp");
  // All logits are recomputed from the current means, so rows updated earlier
  // in this sweep already count (Gauss-Seidel).
  py::object eta = matmul(context.X_aug, beta_mean.attr("T"));
  py::object all_logits = jnp.attr("concatenate")(py::make_tuple(eta, context.ref0), "axis"_a = 1);
  py::object logZ = jax.attr("nn").attr("logsumexp")(all_logits, "axis"_a = 1);
  py::object eta_i = eta[py::make_tuple(all(), i)];
  py::object p = jnp.attr("exp")(eta_i - logZ);
  py::handle dtype = context.dtype;
  py::object eps = jnp.attr("finfo")(dtype).attr("eps");
  // Removing class i's share leaves 1 - p; the floor keeps the log finite when
  // the class takes (nearly) all of the probability.
  py::object logZ_minus = logZ + jnp.attr("log")(jnp.attr("maximum")(context.one_s - p, eps));
  py::object z = equal(context.yj, context.non_ref_j[i]).attr("astype")(dtype);
  return {std::move(logZ_minus), std::move(z)};
}

py::object damp(const StepContext& context, py::handle current, py::handle updated) {
  py::object t = context.one_s - context.alpha;
  py::object kept = t * current;
  py::object moved = context.alpha * updated;
  return kept + moved;
}

}  // namespace kelvra::learning

namespace kelvra::learning {

py::tuple write_row(py::handle beta_mean, py::handle second, py::handle i, py::handle mean_row,
                    py::handle second_row) {
  py::object mean = beta_mean.attr("at")[i].attr("set")(mean_row);
  py::object rest = second.attr("at")[i].attr("set")(second_row);
  return py::make_tuple(mean, rest);
}

}  // namespace kelvra::learning
