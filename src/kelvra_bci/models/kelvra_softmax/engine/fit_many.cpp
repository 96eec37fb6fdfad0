// Many fits by the posterior mode in one compiled call: the subjects of a
// study, the folds of a cross-validation or a grid of prior scales, each set
// fitted exactly as engine.fit(method="mode") fits it alone. The traced body
// is the fit's own, mapped over a leading axis of sets; the host side checks
// every set as fit does and names the set that fails.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "common/module.hpp"
#include "common/python.hpp"
#include "core/arguments.hpp"
#include "core/mode.hpp"
#include "core/training_data.hpp"
#include "engine/buckets.hpp"
#include "engine/compile.hpp"
#include "engine/engine.hpp"
#include "engine/mode_traced.hpp"
#include "engine/signature.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;
using learning::FitArguments;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/engine/fit_many.cpp";

// The arguments of the compiled fit by the mode that every set shares.
bool shared_by_all(const char* name) {
  return std::strcmp(name, "num_steps") == 0 || std::strcmp(name, "tol") == 0;
}

enum class OneSetCaptured : std::size_t { fit, names, num_steps, tol };

// One set's fit: the set's own arrays, named by `names`, with the step cap
// and tol that every set shares.
py::object fit_one_set_body(Call& call) {
  py::tuple arrays = py::reinterpret_borrow<py::tuple>(call.arg("arrays"));
  py::tuple names = py::reinterpret_borrow<py::tuple>(call.captured(OneSetCaptured::names));
  py::dict values;
  for (std::size_t i = 0; i < py::len(names); ++i) values[names[i]] = arrays[i];
  values["num_steps"] = call.captured(OneSetCaptured::num_steps);
  values["tol"] = call.captured(OneSetCaptured::tol);
  return py::reinterpret_borrow<py::object>(call.captured(OneSetCaptured::fit))(**values);
}

const FunctionDef fit_one_set = {
    "fit_one_set", "fit_many.<locals>.fit_one_set",
    {{"arrays"}},  nullptr,
    nullptr,       fit_one_set_body,
    kSource,
};

enum class ManyCaptured : std::size_t { per_set, at_once };

// Traced once per shape: the fit by the mode over the leading axis of every
// per-set argument. `at_once` sets share each pass: 1 runs them one after
// another (each Newton loop stops when its own set has converged, and one
// set's matrices are alive at a time); more vectorises them, which pays
// where the device has parallel width to spare.
py::object fit_many_core_body(Call& call) {
  py::object jax = call.global("jax");
  py::object one =
      make_function(fit_mode_core.definition, call.globals(),
                    py::reinterpret_borrow<py::tuple>(call.captured(ManyCaptured::per_set)));
  py::list names, sets;
  for (const Argument& argument : fit_mode_core.arguments) {
    if (shared_by_all(argument.name)) continue;
    names.append(argument.name);
    sets.append(call.arg(argument.name));
  }
  py::object per_set =
      make_function(fit_one_set, call.globals(),
                    py::make_tuple(one, py::tuple(names), call.arg("num_steps"), call.arg("tol")));
  const auto at_once = call.captured(ManyCaptured::at_once).cast<py::ssize_t>();
  py::object batch = at_once > 1 ? py::object(py::int_(at_once)) : py::none();
  return jax.attr("lax").attr("map")(per_set, py::tuple(sets), "batch_size"_a = batch);
}

// The fit by the mode's arguments with a leading axis of sets, but for the
// two every set shares; `at_once` names how many sets each pass vectorises.
const Signature fit_many_core("fit many", "fit_many_core", "fit_many.<locals>.fit_many_core",
                              {"sets", "at_once", "n", "d", "K"}, {"auto", "trials", "folds"},
                              {{"X_aug", {"sets", "n", "d"}},
                               {"yj", {"sets", "n"}, Dtype::int32},
                               {"weight", {"sets", "n"}},
                               {"folded", {"sets", "n"}},
                               {"classes", {"sets", "K-1"}, Dtype::int32},
                               {"w_loc", {"sets"}},
                               {"w_prec", {"sets"}},
                               {"b_loc", {"sets"}},
                               {"b_prec", {"sets"}},
                               {"num_steps", {}, Dtype::int32},
                               {"tol", {}}},
                              fit_many_core_body, kSource);

// One set's checks are fit's, run through a callable with fit's parameter
// table so that every argument is bound and converted as fit binds it; the
// checked arguments go to the vector the capsule points to.
py::object check_one_set_body(Call& call) {
  auto* checked = py::reinterpret_borrow<py::capsule>(call.captured(0))
                      .get_pointer<std::vector<FitArguments>>();
  checked->push_back(learning::checked_fit_arguments(call, Strictness::strict, false));
  return py::none();
}

const FunctionDef check_one_set = {
    "fit",
    "fit_many.<locals>.fit",
    learning::fit_parameters({}, Conversion::real_or_auto),
    nullptr,
    nullptr,
    check_one_set_body,
    kSource,
};

// Re-raises the error in flight as the same exception type, its message
// prefixed with the set it concerns.
[[noreturn]] void raise_for_set(py::ssize_t index) {
  py::error_already_set error;
  const std::string message =
      "set " + std::to_string(index) + ": " + py::str(error.value()).cast<std::string>();
  PyErr_SetString(error.type().ptr(), message.c_str());
  throw py::error_already_set();
}

// Runs `work` for set `index`; any error it raises names the set.
template <typename Work>
auto for_set(py::ssize_t index, Work work) -> decltype(work()) {
  try {
    return work();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (py::builtin_exception& error) {
    error.set_error();
  }
  raise_for_set(index);
}

// The sets of Xs or ys: a list or tuple, or an array whose first axis runs
// over the sets (`set_ndim` + 1 dimensions).
py::list sets_of(py::handle np, const char* name, py::handle given, int set_ndim) {
  if (PyList_Check(given.ptr()) || PyTuple_Check(given.ptr()))
    return py::list(py::reinterpret_borrow<py::object>(given));
  if (py::isinstance(given, np.attr("ndarray")) &&
      py::len(given.attr("shape")) == static_cast<std::size_t>(set_ndim + 1)) {
    return py::list(py::reinterpret_borrow<py::object>(given));
  }
  throw py::type_error(std::string(name) + " must be a list or tuple of " +
                       std::to_string(set_ndim) + "-D arrays, one per set, or a " +
                       std::to_string(set_ndim + 1) + "-D array");
}

// A prior setting for every set: one value for all, or a list, tuple or 1-D
// array of one value per set.
py::list per_set(py::handle np, const char* name, py::handle value, py::ssize_t count) {
  const bool array = py::isinstance(value, np.attr("ndarray"));
  const bool sequence = PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()) ||
                        (array && py::len(value.attr("shape")) > 0);
  if (!sequence) {
    py::list same;
    for (py::ssize_t i = 0; i < count; ++i) same.append(value);
    return same;
  }
  if (array && py::len(value.attr("shape")) != 1) {
    throw py::value_error(std::string(name) + " must be one value or a 1-D array of one per set");
  }
  py::list values(py::reinterpret_borrow<py::object>(value));
  if (static_cast<py::ssize_t>(py::len(values)) != count) {
    throw py::value_error(std::string(name) + " has " + std::to_string(py::len(values)) +
                          " values for " + std::to_string(count) + " sets");
  }
  return values;
}

// How many sets each pass of the compiled map fits together: all of them on
// an accelerator, one at a time on the CPU, where a vectorised Newton loop
// would run every set until the slowest converges and its matrix products
// gain nothing from the batch.
py::ssize_t sets_at_once(const Call& call, py::ssize_t count) {
  const std::string backend = call.global("jax").attr("default_backend")().cast<std::string>();
  return backend == "cpu" ? 1 : count;
}

Shape fit_many_shape(py::handle np, py::handle dtype, py::ssize_t count, py::ssize_t at_once,
                     py::ssize_t bucket, const py::int_& d_aug, const py::int_& n_classes,
                     bool by_evidence, bool folds) {
  return Shape(fit_many_core, np, dtype)
      .size("sets", count)
      .size("at_once", at_once)
      .size("n", bucket)
      .size("d", d_aug)
      .size("K", n_classes)
      .flag("auto", by_evidence)
      .flag("trials", learning::trial_space(static_cast<double>(bucket), d_aug.cast<double>()))
      .flag("folds", folds);
}

py::object fit_many_body(Call& call) {
  py::object np = call.global("np");
  py::list Xs = sets_of(np, "Xs", call.arg("Xs"), 2);
  py::list ys = sets_of(np, "ys", call.arg("ys"), 1);
  const auto count = static_cast<py::ssize_t>(py::len(Xs));
  if (count == 0) throw py::value_error("fit_many needs at least one set");
  if (static_cast<py::ssize_t>(py::len(ys)) != count) {
    throw py::value_error("Xs has " + std::to_string(count) + " sets and ys " +
                          std::to_string(py::len(ys)));
  }
  py::handle method = call.arg("method");
  if (!method.is_none() && !is_mode(method)) {
    throw py::value_error("fit_many fits by the mode only: method must be 'mode' (or None), not " +
                          py::repr(method).cast<std::string>());
  }
  const py::ssize_t memory = memory_capacity(call.arg("memory"));
  py::list w_loc = per_set(np, "w_loc", call.arg("w_loc"), count);
  py::list w_scale = per_set(np, "w_scale", call.arg("w_scale"), count);
  py::list b_loc = per_set(np, "b_loc", call.arg("b_loc"), count);
  py::list b_scale = per_set(np, "b_scale", call.arg("b_scale"), count);

  std::vector<FitArguments> sets;
  sets.reserve(static_cast<std::size_t>(count));
  py::object check =
      make_function(check_one_set, call.globals(), py::make_tuple(py::capsule(&sets)));
  py::ssize_t most_trials = 0;
  for (py::ssize_t i = 0; i < count; ++i) {
    for_set(i, [&] {
      check(Xs[i], ys[i], call.arg("n_classes"), call.arg("label_base"), w_loc[i], w_scale[i],
            b_loc[i], b_scale[i], call.arg("rng_seed"), call.arg("learning_rate"),
            call.arg("num_steps"));
      const FitArguments& set = sets.back();
      const FitArguments& first = sets.front();
      py::object features = set.Xn.attr("shape")[py::int_(1)];
      py::object first_features = first.Xn.attr("shape")[py::int_(1)];
      if (!features.equal(first_features)) {
        throw py::value_error(
            "X has " + py::str(features).cast<std::string>() + " features and set 0's " +
            py::str(first_features).cast<std::string>() + ": every set needs the same features");
      }
      if (set.w_scale_auto != first.w_scale_auto) {
        throw py::value_error("w_scale must be 'auto' for every set or for none");
      }
      if (!np.attr("dtype")(set.dtype).equal(np.attr("dtype")(first.dtype))) {
        throw py::value_error("X's working dtype differs from set 0's");
      }
    });
    most_trials =
        std::max(most_trials, sets.back().Xn.attr("shape")[py::int_(0)].cast<py::ssize_t>());
  }
  const FitArguments& first = sets.front();
  py::handle dtype = first.dtype;
  py::object tol = checked_tol(np, call.arg("tol"), dtype);
  py::int_ d_aug = host_int(first.Xn.attr("shape")[py::int_(1)]) + py::int_(1);
  const py::ssize_t at_once = sets_at_once(call, count);
  // Sets whose trials all stay in the memory fold none; the anchor is
  // computed when any set folds some (zero for the others).
  const bool folds = most_trials > memory;
  const py::ssize_t bucket = shared_bucket(most_trials, [&](py::ssize_t b) {
    return fit_many_shape(np, dtype, count, at_once, b, d_aug, first.n_classes, first.w_scale_auto,
                          folds)
        .key();
  });
  learning::check_mode_work(
      "fitting " + std::to_string(count) + " sets by the mode", first.num_steps,
      static_cast<double>(bucket), d_aug.cast<double>(), first.n_classes.cast<double>() - 1.0,
      first.w_scale_auto, np, dtype, static_cast<double>(count), static_cast<double>(at_once),
      learning::trial_space(static_cast<double>(bucket), d_aug.cast<double>()));

  // Each per-set value stacked over the sets, by name.
  py::dict columns;
  for (const FitArguments& set : sets) {
    for (const auto& [name, value] : fit_mode_arguments(np, set, bucket, memory)) {
      py::str key(name);
      if (!columns.contains(key)) columns[key] = py::list();
      columns[key].cast<py::list>().append(value);
    }
  }
  Arguments arguments(fit_many_core);
  for (auto [name, values] : columns) {
    arguments.set(name.cast<std::string>().c_str(), np.attr("stack")(values));
  }
  arguments.set("num_steps", np.attr("int32")(first.num_steps))
      .set("tol", tol.is_none() ? np.attr("asarray")(0.0, "dtype"_a = dtype) : tol);
  py::object executable =
      compiled(call,
               fit_many_shape(np, dtype, count, at_once, bucket, d_aug, first.n_classes,
                              first.w_scale_auto, folds),
               py::make_tuple(fit_mode_captured(bucket, d_aug, first.w_scale_auto, folds),
                              py::int_(at_once)));
  py::tuple out = executable(*arguments.values());
  py::list outputs;
  for (py::handle values : out) outputs.append(np.attr("asarray")(values));

  py::list models;
  for (py::ssize_t i = 0; i < count; ++i) {
    py::tuple mine(py::len(outputs));
    for (std::size_t j = 0; j < py::len(outputs); ++j) mine[j] = outputs[j][py::int_(i)];
    models.append(for_set(i, [&] {
      return fit_mode_record(call, sets[static_cast<std::size_t>(i)], mine, memory, bucket);
    }));
  }
  return models;
}

}  // namespace

const FunctionDef fit_many = {
    "fit_many",
    "fit_many",
    {{"Xs", "Sequence[np.ndarray] | np.ndarray"},
     {"ys", "Sequence[np.ndarray] | np.ndarray"},
     {"n_classes", "int"},
     {"label_base", "Literal[0, 1]"},
     {"w_loc", "float | Sequence[float]"},
     {"w_scale", "float | Literal['auto'] | Sequence[float]"},
     {"b_loc", "float | Sequence[float]"},
     {"b_scale", "float | Sequence[float]"},
     {"rng_seed", "int"},
     {"learning_rate", "float"},
     {"num_steps", "int"},
     {"tol", "float | None", Conversion::none, true},
     {"method", "str | None", Conversion::none, true},
     {"memory", "int | None", Conversion::none, true}},
    "list[KelvraModel]",
    "Fit several data sets by the posterior mode in one compiled call.\n"
    "\n"
    "Each set (Xs[i], ys[i]) is fitted as fit(Xs[i], ys[i], ..., method='mode')\n"
    "fits it alone, and the records come back in a list in the order of the\n"
    "sets, each with its n_sweeps; they agree with separate fits to float\n"
    "rounding. Use it for the subjects of a study, the folds of a\n"
    "cross-validation, or one data set under several prior scales (Xs=[X] * 5,\n"
    "w_scale=[0.3, 1, 3, 10, 30]).\n"
    "\n"
    "Xs, ys: lists or tuples of one (n_i, p) feature array and one (n_i,)\n"
    "    label array per set, or a 3-D and a 2-D array. Every set has the same\n"
    "    p; trial counts may differ (each set is padded to the bucket of the\n"
    "    largest with rows that add nothing).\n"
    "n_classes, label_base, rng_seed, learning_rate, num_steps, tol, memory:\n"
    "    as for fit, one value for every set. A set need not hold a trial of\n"
    "    every class, but n_classes is the class count of every record.\n"
    "method: 'mode' or None (the same); so engine.fit_many(Xs, ys, K, 0,\n"
    "    rng_seed=0, **defaults.FIT) fits every set as defaults.FIT fits one.\n"
    "w_loc, w_scale, b_loc, b_scale: one value for every set, or a list,\n"
    "    tuple or 1-D array of one per set. w_scale 'auto' lets the evidence\n"
    "    choose each set's scale; it must then be 'auto' for every set.\n"
    "\n"
    "Every set goes through fit's checks; a refusal is fit's exception, its\n"
    "message starting with the set ('set 2: y out of range ...'). The sets\n"
    "share one compiled function per set count, trial bucket, feature count,\n"
    "class count and the 'auto' switch. On the CPU the sets are fitted one\n"
    "after another within the call; on an accelerator they are vectorised.\n"
    "The bound of work is fit's by the mode, times the number of sets.",
    fit_many_body,
    kSource,
};

}  // namespace kelvra::engine
