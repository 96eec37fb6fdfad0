// The engine's online update: the learning module's checks and class growth
// on the host, then the sweeps of either rule, traced once per shape.
#include <algorithm>
#include <string>

#include "common/python.hpp"
#include "core/arguments.hpp"
#include "core/records.hpp"
#include "engine/compile.hpp"
#include "engine/engine.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;
using learning::UpdateRule;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/engine/update.cpp";

const char* rule_name(UpdateRule rule) {
  return rule == UpdateRule::once ? "once" : "resweep";
}

py::object update_core_body(Call& call) {
  py::object jnp = call.global("jnp");
  py::handle X_aug = call.arg("X_aug");
  const UpdateRule rule = learning::parse_update_rule(call.captured(0), UpdateRule::resweep);
  const learning::SweepInputs inputs{
      py::reinterpret_borrow<py::object>(X_aug), py::reinterpret_borrow<py::object>(call.arg("yj")),
      py::reinterpret_borrow<py::object>(call.arg("non_ref_j")), X_aug.attr("dtype"),
      py::reinterpret_borrow<py::object>(call.arg("alpha"))};
  const learning::SweepResult result = learning::run_update_sweeps(
      call.globals(), inputs, call.arg("beta_mean"), call.arg("beta_cov_chol"),
      call.arg("num_steps"), call.arg("tol"), rule);
  return py::make_tuple(result.beta_mean, result.beta_cov_chol,
                        jnp.attr("asarray")(result.n_sweeps, "dtype"_a = jnp.attr("int32")));
}

const Signature update_core("update", "update_core", "update.<locals>.update_core",
                            {"n", "d", "rows"}, {"tol"},
                            {{"X_aug", {"n", "d"}},
                             {"yj", {"n"}, Dtype::int32},
                             {"non_ref_j", {"rows"}, Dtype::int32},
                             {"beta_mean", {"rows", "d"}},
                             {"beta_cov_chol", {"rows", "d", "d"}},
                             {"alpha", {}},
                             {"num_steps", {}, Dtype::int32},
                             {"tol", {}, Dtype::working, "tol"}},
                            update_core_body, kSource);

// The forgetting argument: None, or a factor in (0, 1] per new trial.
void check_forgetting(py::handle forgetting) {
  if (forgetting.is_none()) return;
  if (PyBool_Check(forgetting.ptr())) {
    throw py::value_error("forgetting must be None or a number in (0, 1], not a bool");
  }
  const double value = setting_value(forgetting);
  if (!(value > 0.0 && value <= 1.0)) {
    throw py::value_error("forgetting must be None or a number in (0, 1]");
  }
}

// The update of a record checked but for its anchor's values, which an
// update by the mode leaves to `anchor`.
py::object checked_update(Call& call, py::handle model, AnchorCheck& anchor) {
  py::object np = call.global("np");
  const bool by_mode = is_mode(call.arg("rule"));
  py::handle forgetting = call.arg("forgetting");
  const UpdateRule rule = engine_update_rule(call.arg("rule"));
  check_forgetting(forgetting);
  if (!by_mode && !forgetting.is_none()) {
    throw py::value_error("forgetting needs rule='mode'");
  }
  if (!by_mode && !call.arg("memory").is_none()) {
    throw py::value_error("memory needs rule='mode'");
  }
  const learning::UpdateArguments args =
      learning::checked_update_arguments(call, model, Strictness::strict);
  py::object tol = checked_tol(np, call.arg("tol"), args.dtype);
  if (by_mode) {
    py::tuple shape = args.Xn.attr("shape");
    py::int_ stored = host_int(model.attr("params")["beta_mean"].attr("shape")[py::int_(1)]);
    if (!(host_int(shape[1]) + py::int_(1)).equal(stored)) {
      throw py::value_error("X has " + py::str(shape[1]).cast<std::string>() +
                            " features, but the model expects " +
                            py::str(stored - py::int_(1)).cast<std::string>());
    }
    // The memory a record holds was checked with it; the update revisits
    // it whole with the new trials.
    const py::ssize_t fallback = memory_capacity(call.arg("memory"));
    py::object stored_size = model.attr("params").attr("get")("memory_size");
    const double capacity = static_cast<double>(
        std::max(fallback, stored_size.is_none() ? py::ssize_t{0}
                                                 : host_int(stored_size).cast<py::ssize_t>()));
    const py::ssize_t rows =
        mode_rows(py::len(args.non_ref), args.new_n_classes.cast<py::ssize_t>() - 1);
    learning::check_mode_work(
        "updating by the mode", args.num_steps,
        capacity + static_cast<double>(trial_bucket(shape[0].cast<py::ssize_t>())),
        stored.cast<double>(), static_cast<double>(rows), false, np, args.dtype);
    return update_by_mode(call, args, tol, forgetting, fallback, anchor);
  }
  py::handle dtype = args.dtype;

  py::tuple shape = args.Xn.attr("shape");
  const py::ssize_t bucket = trial_bucket(shape[0].cast<py::ssize_t>());
  py::int_ n_features = host_int(shape[1]);
  py::int_ d_aug = n_features + py::int_(1);
  py::int_ stored_d_aug = host_int(model.attr("params")["beta_mean"].attr("shape")[py::int_(1)]);
  if (!d_aug.equal(stored_d_aug)) {
    throw py::value_error("X has " + py::str(n_features).cast<std::string>() +
                          " features, but the model expects " +
                          py::str(stored_d_aug - py::int_(1)).cast<std::string>());
  }
  // Growth and recasting happen on the host: the compiled function sees the
  // grown stacks as plain arguments.
  const learning::ClassState state = learning::grown_class_state(np, np, args, n_features, d_aug);
  py::int_ n_rows = host_int(state.non_ref.attr("shape")[py::int_(0)]);
  py::object executable =
      update_executable(call, dtype, bucket, d_aug, n_rows, rule, !tol.is_none());
  py::tuple out =
      executable(*Arguments(update_core)
                      .set("X_aug", padded_features(np, args.Xn, bucket, dtype, true))
                      .set("yj", padded_labels(np, args.y0, bucket))
                      .set("non_ref_j", state.non_ref.attr("astype")(np.attr("int32")))
                      .set("beta_mean", state.beta_mean)
                      .set("beta_cov_chol", state.beta_cov_chol)
                      .set("alpha", np.attr("asarray")(args.learning_rate, "dtype"_a = dtype))
                      .set("num_steps", np.attr("int32")(args.num_steps))
                      .set("tol", tol)
                      .values());
  py::object result =
      learning::make_record(call, learning::updated_params(np, args, state, out[0], out[1]));
  result.attr("n_sweeps") = host_int(out[2]);
  return result;
}

py::object update_body(Call& call) {
  const bool by_mode = is_mode(call.arg("rule"));
  // By the mode, the anchor's values are checked while the update runs:
  // they feed only the compiled call, and at a few hundred features their
  // check costs a quarter of it. The other rules do not read them.
  py::object model = checked_record(call, py::none(), !by_mode);
  AnchorCheck anchor(call, model);
  if (!by_mode) return checked_update(call, model, anchor);
  return anchor.guard([&] { return checked_update(call, model, anchor); });
}

}  // namespace

UpdateRule engine_update_rule(py::handle rule) {
  if (is_mode(rule)) return UpdateRule::once;
  const bool known =
      rule.is_none() || (py::isinstance<py::str>(rule) && (rule.cast<std::string>() == "once" ||
                                                           rule.cast<std::string>() == "resweep"));
  if (!known) {
    throw py::value_error("rule must be 'mode', 'once' or 'resweep', not " +
                          py::repr(rule).cast<std::string>());
  }
  return learning::parse_update_rule(rule, UpdateRule::resweep);
}

py::object update_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                             const py::int_& d_aug, const py::int_& n_rows, UpdateRule rule,
                             bool with_tol) {
  const Shape shape = Shape(update_core, call.global("np"), dtype, rule_name(rule))
                          .size("n", bucket)
                          .size("d", d_aug)
                          .size("rows", n_rows)
                          .flag("tol", with_tol);
  return compiled(call, shape, py::make_tuple(rule_name(rule)));
}

const FunctionDef update = {
    "update",
    "update",
    learning::update_parameters({{"rule", "str | None", Conversion::none, true},
                                 {"tol", "float | None", Conversion::none, true},
                                 {"forgetting", "float | None", Conversion::none, true},
                                 {"memory", "int | None", Conversion::none, true}}),
    "KelvraModel",
    "Fold new labelled trials into a fitted model, compiled once per shape.\n"
    "\n"
    "Same checks, class growth and record as learning.kelvra_softmax_update;\n"
    "the record itself is checked first.\n"
    "\n"
    "rule: 'resweep' (the default, the learning module's rule) takes each\n"
    "    class's current Gaussian as the prior of its next step, so every sweep\n"
    "    folds the new trials in again. 'once' keeps the Gaussian the incoming\n"
    "    record holds as the prior of every sweep: each trial counts once, and\n"
    "    updating in blocks approaches one fit on all the trials.\n"
    "    'mode' finds the posterior mode of prior x earlier trials x new trials\n"
    "    by Newton's method: the trials the record remembers (its memory, see\n"
    "    fit's method='mode') are revisited exactly, so a class that joins late\n"
    "    is weighed against them; older trials count through the quadratic\n"
    "    their likelihood was at the mode when they left the memory. A record\n"
    "    without a memory starts one, its Gaussians standing for the past.\n"
    "tol: None runs the record's num_steps sweeps (rule 'mode': Newton steps,\n"
    "    up to the first that changes nothing); a number stops them once the\n"
    "    largest relative change of a mean falls below it (num_steps is the cap).\n"
    "forgetting: rule 'mode' only. None keeps every trial's weight; a factor\n"
    "    g in (0, 1] multiplies the weight of every earlier trial by g for each\n"
    "    new one, so the posterior follows a drifting session (0.99 to 0.999\n"
    "    is the useful range: an effective memory of about 1/(1-g) trials).\n"
    "memory: rule 'mode' only. The capacity of the memory an update starts\n"
    "    for a record without one it can trust (None: 64, as fit's default);\n"
    "    a record's own memory keeps its capacity.\n"
    "\n"
    "As engine.fit, refuses labels that are not integers, complex X and zero\n"
    "trials with ValueError, and sweeps beyond the fit's bound of work, counted\n"
    "with the record's num_steps and the classes after growth.",
    update_body,
    kSource,
};

}  // namespace kelvra::engine
