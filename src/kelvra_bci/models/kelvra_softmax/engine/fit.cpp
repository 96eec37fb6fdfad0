// The engine's batch fit: the learning module's checks, prior and sweeps,
// traced once per shape under jax.jit. Hyperparameters and the sweep count
// are arguments of the compiled function, so changing them never recompiles.
#include <string>

#include "common/limits.hpp"
#include "common/module.hpp"
#include "common/python.hpp"
#include "core/arguments.hpp"
#include "core/mode.hpp"
#include "core/records.hpp"
#include "engine/buckets.hpp"
#include "engine/compile.hpp"
#include "engine/engine.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;
using learning::FitArguments;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/engine/fit.cpp";

// Traced once per shape: the prior from its scalars, every class started at
// it, then the sweeps; the sweep count actually run comes back with the result.
py::object fit_core_body(Call& call) {
  py::object jnp = call.global("jnp");
  py::handle X_aug = call.arg("X_aug"), non_ref_j = call.arg("non_ref_j");
  py::object dtype = X_aug.attr("dtype");
  py::int_ n_features = host_int(X_aug.attr("shape")[py::int_(1)]) - py::int_(1);
  py::int_ n_classes = host_int(non_ref_j.attr("shape")[py::int_(0)]) + py::int_(1);
  const learning::FitPrior prior =
      learning::fit_prior(jnp, dtype, n_features, call.arg("w_loc"), call.arg("w_prec"),
                          call.arg("b_loc"), call.arg("b_prec"));
  const learning::SweepInputs inputs{py::reinterpret_borrow<py::object>(X_aug),
                                     py::reinterpret_borrow<py::object>(call.arg("yj")),
                                     py::reinterpret_borrow<py::object>(non_ref_j), dtype,
                                     py::reinterpret_borrow<py::object>(call.arg("alpha"))};
  const learning::SweepResult result = learning::run_fit_sweeps(
      call.globals(), inputs, prior, n_classes, call.arg("num_steps"), call.arg("tol"));
  return py::make_tuple(result.beta_mean, result.beta_cov_chol,
                        jnp.attr("asarray")(result.n_sweeps, "dtype"_a = jnp.attr("int32")));
}

// The prior's location and precision come as four same-shaped scalars:
// named, never placed, at the call.
const Signature fit_core("fit", "fit_core", "fit.<locals>.fit_core", {"n", "d", "K"}, {"tol"},
                         {{"X_aug", {"n", "d"}},
                          {"yj", {"n"}, Dtype::int32},
                          {"non_ref_j", {"K-1"}, Dtype::int32},
                          {"w_loc", {}},
                          {"w_prec", {}},
                          {"b_loc", {}},
                          {"b_prec", {}},
                          {"alpha", {}},
                          {"num_steps", {}, Dtype::int32},
                          {"tol", {}, Dtype::working, "tol"}},
                         fit_core_body, kSource);

Shape fit_shape(py::handle np, py::handle dtype, py::ssize_t bucket, const py::int_& d_aug,
                const py::int_& n_classes, bool with_tol) {
  return Shape(fit_core, np, dtype)
      .size("n", bucket)
      .size("d", d_aug)
      .size("K", n_classes)
      .flag("tol", with_tol);
}

py::object fit_body(Call& call) {
  py::object np = call.global("np");
  py::handle method = call.arg("method");
  const bool by_mode = is_mode(method);
  if (!by_mode && !method.is_none() &&
      !(py::isinstance<py::str>(method) && method.cast<std::string>() == "sweeps")) {
    throw py::value_error("method must be 'sweeps' or 'mode', not " +
                          py::repr(method).cast<std::string>());
  }
  const py::ssize_t memory = memory_capacity(call.arg("memory"));
  const FitArguments args = learning::checked_fit_arguments(call, Strictness::strict, !by_mode);
  if (args.w_scale_auto && !by_mode) {
    throw py::value_error("w_scale='auto' needs method='mode'");
  }
  py::object tol = checked_tol(np, call.arg("tol"), args.dtype);
  if (by_mode) {
    const py::ssize_t n = args.Xn.attr("shape")[py::int_(0)].cast<py::ssize_t>();
    const auto bucket = static_cast<double>(trial_bucket(n));
    const double d_aug = host_int(args.Xn.attr("shape")[py::int_(1)]).cast<double>() + 1.0;
    learning::check_mode_work("fitting by the mode", args.num_steps, bucket, d_aug,
                              args.n_classes.cast<double>() - 1.0, args.w_scale_auto, np,
                              args.dtype, 1.0, 1.0, learning::trial_space(bucket, d_aug));
    return fit_by_mode(call, args, tol, memory);
  }
  py::handle dtype = args.dtype;

  py::tuple shape = args.Xn.attr("shape");
  py::int_ d_aug = host_int(shape[1]) + py::int_(1);
  const py::ssize_t bucket = shared_bucket(shape[0].cast<py::ssize_t>(), [&](py::ssize_t b) {
    return fit_shape(np, dtype, b, d_aug, args.n_classes, !tol.is_none()).key();
  });
  // The precisions are reciprocal squares in double, then stored in the working dtype.
  auto scalar = [&](double value) { return np.attr("asarray")(value, "dtype"_a = dtype); };
  py::object executable =
      fit_executable(call, dtype, bucket, d_aug, args.n_classes, !tol.is_none());
  py::tuple out =
      executable(*Arguments(fit_core)
                      .set("X_aug", padded_features(np, args.Xn, bucket, dtype, true))
                      .set("yj", padded_labels(np, args.y0, bucket))
                      .set("non_ref_j", args.layout.non_ref.attr("astype")(np.attr("int32")))
                      .set("w_loc", scalar(args.w_loc))
                      .set("w_prec", scalar(1.0 / (args.w_scale * args.w_scale)))
                      .set("b_loc", scalar(args.b_loc))
                      .set("b_prec", scalar(1.0 / (args.b_scale * args.b_scale)))
                      .set("alpha", scalar(args.learning_rate))
                      .set("num_steps", np.attr("int32")(args.num_steps))
                      .set("tol", tol)
                      .values());
  py::object model = learning::make_record(call, learning::fit_params(np, args, out[0], out[1]));
  model.attr("n_sweeps") = host_int(out[2]);
  return model;
}

}  // namespace

namespace {
py::ssize_t default_memory = 0;
}  // namespace

void load_default_memory(py::handle globals) {
  py::object value = import_from(globals, "defaults", "MEMORY", 1);
  const std::int64_t most = limits().max_memory;
  if (!PyLong_CheckExact(value.ptr()) || !int_within(value, 1, most)) {
    PyErr_SetString(PyExc_ImportError,
                    ("kelvra_bci.models.kelvra_softmax.defaults.MEMORY must be an int in [1, " +
                     std::to_string(most) + "]")
                        .c_str());
    throw py::error_already_set();
  }
  default_memory = value.cast<py::ssize_t>();
}

py::ssize_t memory_capacity(py::handle memory) {
  if (memory.is_none()) return default_memory;
  const std::int64_t most = limits().max_memory;
  if (!PyLong_Check(memory.ptr()) || PyBool_Check(memory.ptr()) || !int_within(memory, 1, most)) {
    throw py::value_error("memory must be None or an int in [1, " + std::to_string(most) + "]");
  }
  return memory.cast<py::ssize_t>();
}

py::object fit_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                          const py::int_& d_aug, const py::int_& n_classes, bool with_tol) {
  return compiled(call, fit_shape(call.global("np"), dtype, bucket, d_aug, n_classes, with_tol));
}

const FunctionDef fit = {
    "fit",
    "fit",
    learning::fit_parameters({{"tol", "float | None", Conversion::none, true},
                              {"method", "str | None", Conversion::none, true},
                              {"memory", "int | None", Conversion::none, true}},
                             Conversion::real_or_auto),
    "KelvraModel",
    "Fit the softmax model as learning.kelvra_softmax_fit does, compiled once per shape.\n"
    "\n"
    "Same arguments, checks and record as kelvra_softmax_fit. Trials are padded\n"
    "with rows that add nothing to a bucket (a power of two from 16 to 512,\n"
    "then a multiple of a quarter of the power of two below), so fits whose\n"
    "trial counts share a bucket share one compiled function; the\n"
    "hyperparameters and num_steps are arguments of it. A bucket compiled\n"
    "already is used for the trial counts just below it, and a count within a\n"
    "few trials of its bucket's top takes the next one, so that the folds of a\n"
    "cross-validation share one compiled fit. fit_many fits many data sets at once.\n"
    "\n"
    "tol: None runs exactly num_steps sweeps (method 'mode': Newton steps, up\n"
    "    to the first that changes nothing). A number stops them once the\n"
    "    largest change of any mean, relative to the largest mean, falls below\n"
    "    it; num_steps is then the cap. The steps run are in model.n_sweeps.\n"
    "method: 'sweeps' (None, the default) runs the learning module's\n"
    "    Polya-Gamma coordinate sweeps. 'mode' finds the posterior mode by\n"
    "    Newton's method on all classes at once (num_steps caps the Newton\n"
    "    steps, counted in model.n_sweeps), under a prior that treats every\n"
    "    class alike, so the reference class does not change the fit; each\n"
    "    row's covariance is the Polya-Gamma tilt of its binary problem at the mode.\n"
    "    w_scale may then be 'auto': the evidence chooses it, and the record\n"
    "    stores the choice. learning_rate is stored, not used. With fewer\n"
    "    trials (padded) than features + 1, the Newton steps run in the space of\n"
    "    the trials, at the same mode; the record's fit_newton_space says which\n"
    "    ('trials' or 'coefficients').\n"
    "memory: method 'mode' keeps the last `memory` trials (default 64) in the\n"
    "    record, for update(rule='mode') to revisit.\n"
    "\n"
    "Stricter than the module where inputs enter: n_classes, rng_seed or\n"
    "num_steps with a fractional part (3.7), labels with one (0.7) or complex\n"
    "ones, complex X and zero trials ('X and y must hold at least one trial')\n"
    "raise ValueError instead of being converted.\n"
    "\n"
    "Bound of work: compiled sweeps cannot be interrupted, so a fit whose sweeps\n"
    "would take more than about 1e13 operations raises ValueError before any\n"
    "runs. The estimate is num_steps * (n_classes - 1) * max(1e4,\n"
    "n * d * (n_classes + 2 * d) + 3 * d**3) for n trials and d = n_features + 1;\n"
    "with tol, the cap num_steps counts. Method 'mode' runs no sweeps and is\n"
    "held to its own estimate instead: num_steps * s * max(1e4, (R d)**2 * (R d + n) + 16 n R d)\n"
    "for R = n_classes - 1 rows and n trials padded, s = 10 searches with\n"
    "w_scale 'auto' and 1 without; its Hessians must fit in memory. With fewer\n"
    "padded trials than d, the Newton steps run in the space of the trials,\n"
    "and (n R)**2 * (n R / 3 + R) replaces (R d)**2 * (R d + n), plus\n"
    "n**2 d + n (R d)**2 once.\n"
    "Hours of a desktop CPU lie beyond the bound;\n"
    "n_classes beyond the trials is fine within it. Class counts whose state does\n"
    "not fit in memory raise MemoryError before anything is allocated.",
    fit_body,
    kSource,
};

}  // namespace kelvra::engine
