// Sweeps that stop at convergence: one jax.lax.while_loop around a sweep,
// so that nothing returns to the host between sweeps.
#include "common/python.hpp"
#include "core/sweeps.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/core/convergence.cpp";

enum class Loop : std::size_t { sweep, num_steps, tol, tiny };

// carry = (sweeps run, means, second stack, last relative change)
py::object keep_going_body(Call& call) {
  py::tuple carry = py::reinterpret_borrow<py::tuple>(call.arg("carry"));
  return still_moving(call.globals(), carry[0], carry[3], call.captured(Loop::num_steps),
                      call.captured(Loop::tol));
}

py::object sweep_and_measure_body(Call& call) {
  py::object jnp = call.global("jnp");
  py::tuple carry = py::reinterpret_borrow<py::tuple>(call.arg("carry"));
  py::object step = carry[0], mean = carry[1];
  auto [new_mean, second] =
      unpack_pair(call.captured(Loop::sweep)(step, py::make_tuple(mean, carry[2])));
  // The largest change of any mean, relative to the largest mean.
  py::object change = jnp.attr("max")(jnp.attr("abs")(new_mean - mean));
  py::object size =
      jnp.attr("maximum")(jnp.attr("max")(jnp.attr("abs")(new_mean)), call.captured(Loop::tiny));
  return py::make_tuple(step + py::int_(1), new_mean, second, change / size);
}

const FunctionDef keep_going = {
    "keep_going", "sweep_until_converged.<locals>.keep_going",
    {{"carry"}},  nullptr,
    nullptr,      keep_going_body,
    kSource,
};

const FunctionDef sweep_and_measure = {
    "sweep_and_measure",
    "sweep_until_converged.<locals>.sweep_and_measure",
    {{"carry"}},
    nullptr,
    nullptr,
    sweep_and_measure_body,
    kSource,
};

}  // namespace

py::object still_moving(py::handle globals, py::handle steps, py::handle change,
                        py::handle num_steps, py::handle tol) {
  return lookup_global(globals, "jnp")
      .attr("logical_and")(less(steps, num_steps), greater_equal(change, tol));
}

py::tuple sweep_until_converged(py::handle globals, py::handle sweep, py::handle beta_mean,
                                py::handle second, py::handle num_steps, py::handle tol,
                                py::handle dtype) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  py::object int32 = jnp.attr("int32");
  py::object limit = jnp.attr("asarray")(num_steps, "dtype"_a = int32);
  py::object threshold = jnp.attr("asarray")(tol, "dtype"_a = dtype);
  py::object tiny = jnp.attr("finfo")(dtype).attr("tiny");
  py::object captured =
      py::make_tuple(sweep, limit, threshold, jnp.attr("array")(tiny, "dtype"_a = dtype));
  py::object cond = make_function(keep_going, globals, captured);
  py::object body = make_function(sweep_and_measure, globals, captured);
  // The first change is infinite, so at least one sweep runs.
  py::object start = py::make_tuple(jnp.attr("array")(0, "dtype"_a = int32), beta_mean, second,
                                    jnp.attr("array")(jnp.attr("inf"), "dtype"_a = dtype));
  py::tuple done =
      py::reinterpret_borrow<py::tuple>(jax.attr("lax").attr("while_loop")(cond, body, start));
  return py::make_tuple(done[1], done[2], done[0]);
}

}  // namespace kelvra::learning
