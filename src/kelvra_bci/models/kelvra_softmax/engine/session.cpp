// Managing the engine for a session: compiling ahead of time, the cache of
// compiled functions, and JAX's persistent compilation cache on disk.
#include <algorithm>
#include <string>

#include "common/limits.hpp"
#include "common/python.hpp"
#include "core/edge.hpp"
#include "core/training_data.hpp"
#include "engine/cache.hpp"
#include "engine/compile.hpp"
#include "engine/engine.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;
using learning::UpdateRule;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/engine/session.cpp";

// An optional count argument: None, or an int in [low, int32 max].
py::object count_or_none(const Call& call, const char* name, std::int64_t low) {
  py::handle value = call.arg(name);
  if (value.is_none()) return py::none();
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()) ||
      !int_within(value, low, limits().int32_max)) {
    throw py::value_error(std::string(name) + " must be None or an int in [" + std::to_string(low) +
                          ", " + std::to_string(limits().int32_max) + "]");
  }
  return py::reinterpret_borrow<py::object>(value);
}

// Refuses, before anything is compiled, a precompile whose functions would
// not stay in the cache until the session needs them, or whose largest
// shape one call could never run (one Newton step or sweep beyond the bound
// of work, or Hessians beyond the memory).
void check_precompile_work(const Call& call, bool by_mode, py::handle fit_trials,
                           py::ssize_t bucket, py::ssize_t capacity, py::ssize_t fewest,
                           py::ssize_t most, bool from_min_classes, bool moderated,
                           const py::int_& d_aug, py::handle dtype) {
  py::object np = call.global("np");
  const std::string what = "precompiling for n_classes=" + std::to_string(most);
  std::size_t shapes = fit_trials.is_none() ? 0 : (by_mode ? 2 : 1);
  if (by_mode) {
    py::ssize_t last_rows = 0;
    for (py::ssize_t k = fewest; k <= most; ++k) {
      const py::ssize_t rows = mode_rows(k - 1, k - 1);
      if (rows != last_rows) ++shapes;
      last_rows = rows;
    }
  } else {
    shapes += static_cast<std::size_t>(most - fewest + 1);
  }
  const auto predictions = static_cast<std::size_t>(from_min_classes ? most - fewest + 1 : 1);
  shapes += moderated ? 2 * predictions : predictions;
  const std::size_t kept = compiled_cache().info().max_size;
  if (shapes > kept) {
    learning::invalid(what + " from " + std::to_string(fewest) + " classes would compile " +
                      std::to_string(shapes) + " functions, more than the " + std::to_string(kept) +
                      " the cache keeps; give a min_classes closer to n_classes");
  }
  const double d = d_aug.cast<double>();
  const py::int_ one(1);
  if (by_mode) {
    if (!fit_trials.is_none()) {
      learning::check_mode_work(what, one,
                                static_cast<double>(trial_bucket(fit_trials.cast<py::ssize_t>())),
                                d, static_cast<double>(most - 1), true, np, dtype);
    }
    learning::check_mode_work(what, one, static_cast<double>(capacity + bucket), d,
                              static_cast<double>(mode_rows(most - 1, most - 1)), false, np, dtype);
  } else if (!fit_trials.is_none()) {
    learning::check_sweep_work(what.c_str(), one,
                               py::int_(trial_bucket(fit_trials.cast<py::ssize_t>())), d_aug,
                               py::int_(most), Strictness::strict);
  }
}

py::object precompile_body(Call& call) {
  py::object np = call.global("np");
  py::int_ n_features = call.integer("n_features");
  py::int_ n_classes = call.integer("n_classes");
  check_whole_number(call, "n_features", Strictness::strict);
  check_whole_number(call, "n_classes", Strictness::strict);
  if (!int_within(n_features, 0, limits().int32_max)) {
    throw py::value_error("n_features must be in [0, " + std::to_string(limits().int32_max) + "]");
  }
  if (n_classes < py::int_(2)) throw py::value_error("n_classes must be >= 2");
  py::object fit_trials = count_or_none(call, "fit_trials", 1);
  py::object update_trials = count_or_none(call, "update_trials", 1);
  py::object samples = count_or_none(call, "num_posterior_samples", 1);
  const bool by_mode = is_mode(call.arg("rule"));
  const UpdateRule rule = engine_update_rule(call.arg("rule"));
  const py::ssize_t capacity = memory_capacity(call.arg("memory"));
  py::object min_classes = count_or_none(call, "min_classes", 2);
  py::handle tol = call.arg("tol");
  const bool moderated = PyObject_IsTrue(call.arg("moderated").ptr()) == 1;
  if (moderated && !by_mode) throw py::value_error("moderated needs rule='mode'");
  // The dtype the fit and update of this process will compute in.
  py::object dtype = call.global("_jax_dtype_from_numpy")(
      np.attr("zeros")(py::make_tuple(0, 0), "dtype"_a = np.attr("float64")));
  py::object tol_value = checked_tol(np, tol, dtype);
  py::int_ d_aug = n_features + py::int_(1);
  learning::check_class_count(
      "precompiling for n_classes=" + py::str(n_classes).cast<std::string>(), n_classes, d_aug, np,
      dtype);

  const py::ssize_t batch = update_trials.is_none() ? 1 : update_trials.cast<py::ssize_t>();
  const py::ssize_t bucket = trial_bucket(batch);
  // The class counts a session growing to n_classes meets, so that no class
  // joining it waits for a compile: from min_classes, or all of them for the
  // update by the mode, whose rows follow the class count.
  const py::ssize_t most = n_classes.cast<py::ssize_t>();
  const py::ssize_t fewest = min_classes.is_none()
                                 ? (by_mode ? 2 : most)
                                 : std::min(min_classes.cast<py::ssize_t>(), most);
  check_precompile_work(call, by_mode, fit_trials, bucket, capacity, fewest, most,
                        !min_classes.is_none(), moderated, d_aug, dtype);

  py::list compiled_for;
  if (!fit_trials.is_none()) {
    const py::ssize_t bucket = trial_bucket(fit_trials.cast<py::ssize_t>());
    if (by_mode) {
      // Both scales: one the caller gives, and "auto"; and the variant the fit
      // will take, which folds trials into the anchor only beyond the memory.
      const bool folds = fit_trials.cast<py::ssize_t>() > capacity;
      fit_mode_executable(call, dtype, bucket, d_aug, n_classes, false, folds);
      fit_mode_executable(call, dtype, bucket, d_aug, n_classes, true, folds);
    } else {
      fit_executable(call, dtype, bucket, d_aug, n_classes, !tol_value.is_none());
    }
    compiled_for.append("fit of up to " + std::to_string(bucket) + " trials");
  }
  py::ssize_t last_rows = 0;
  for (py::ssize_t k = fewest; k <= most; ++k) {
    if (by_mode) {
      const py::ssize_t rows = mode_rows(k - 1, k - 1);
      if (rows == last_rows) continue;
      update_mode_executable(call, dtype, capacity, bucket, d_aug, rows);
      last_rows = rows;
    } else {
      update_executable(call, dtype, bucket, d_aug, py::int_(k - 1), rule, !tol_value.is_none());
    }
  }
  compiled_for.append("update of up to " + std::to_string(bucket) + " trials");
  py::int_ S = samples.is_none() ? py::int_(1) : py::int_(samples);
  for (py::ssize_t k = min_classes.is_none() ? most : fewest; k <= most; ++k) {
    proba_executable(call, dtype, bucket, d_aug, py::int_(k), S);
  }
  compiled_for.append("predict_proba of up to " + std::to_string(bucket) + " trials");
  if (moderated) {
    for (py::ssize_t k = min_classes.is_none() ? most : fewest; k <= most; ++k) {
      moderated_executable(call, dtype, bucket, capacity, d_aug, k);
    }
    compiled_for.append("predict_proba_moderated of up to " + std::to_string(bucket) + " trials");
  }
  return py::tuple(compiled_for);
}

py::object cache_info_body(Call&) {
  const CompiledCache::Info info = compiled_cache().info();
  return py::dict("hits"_a = info.hits, "misses"_a = info.misses, "size"_a = info.size,
                  "max_size"_a = info.max_size, "generation"_a = info.generation);
}

py::object clear_cache_body(Call&) {
  compiled_cache().clear();
  return py::none();
}

// The per-user cache folder of the platform: XDG on Linux and the BSDs,
// Library/Caches on macOS, LOCALAPPDATA on Windows.
py::object default_cache_folder(const Call& call) {
  py::object os = call.global("os");
  py::object path = os.attr("path");
  py::object environ = os.attr("environ");
  const std::string platform = call.global("sys").attr("platform").cast<std::string>();
  py::object base;
  if (platform == "win32") {
    base = environ.attr("get")("LOCALAPPDATA", path.attr("expanduser")("~"));
  } else if (platform == "darwin") {
    base = path.attr("expanduser")("~/Library/Caches");
  } else {
    base = environ.attr("get")("XDG_CACHE_HOME");
    if (base.is_none() || py::len(base) == 0) base = path.attr("expanduser")("~/.cache");
  }
  return path.attr("join")(base, "kelvra_bci", "jax");
}

// The folder a path argument names: text only (a bytes path would reach
// JAX's configuration, which takes text), not empty (which would mean the
// working directory), with ~ expanded. Checked before anything is created.
py::object cache_folder(const Call& call, py::handle given) {
  py::object os = call.global("os");
  py::object path = os.attr("fspath")(given);
  if (!PyUnicode_Check(path.ptr())) {
    throw py::type_error(std::string("path must be text (str or os.PathLike of str), not ") +
                         Py_TYPE(path.ptr())->tp_name);
  }
  if (py::len(path) == 0) throw py::value_error("path must not be empty");
  return os.attr("path").attr("abspath")(os.attr("path").attr("expanduser")(path));
}

py::object enable_persistent_cache_body(Call& call) {
  py::object os = call.global("os");
  py::handle given = call.arg("path");
  py::object folder = given.is_none() ? default_cache_folder(call) : cache_folder(call, given);
  os.attr("makedirs")(folder, "exist_ok"_a = true);
  py::object update = call.global("jax").attr("config").attr("update");
  update("jax_compilation_cache_dir", folder);
  // Every compiled function is worth keeping: the engine's are small and few.
  update("jax_persistent_cache_min_compile_time_secs", 0.0);
  update("jax_persistent_cache_min_entry_size_bytes", 0);
  return folder;
}

}  // namespace

const FunctionDef precompile = {
    "precompile",
    "precompile",
    {{"n_features", "int", Conversion::integer},
     {"n_classes", "int", Conversion::integer},
     {"fit_trials", "int | None", Conversion::none, true},
     {"update_trials", "int | None", Conversion::none, true},
     {"num_posterior_samples", "int | None", Conversion::none, true},
     {"rule", "str | None", Conversion::none, true},
     {"tol", "float | None", Conversion::none, true},
     {"memory", "int | None", Conversion::none, true},
     {"min_classes", "int | None", Conversion::none, true},
     {"moderated", "bool | None", Conversion::none, true}},
    "tuple[str, ...]",
    "Compile ahead of time what a session of this shape will call.\n"
    "\n"
    "Compiles the fit of fit_trials trials (when given), the update of\n"
    "update_trials trials (default 1) under rule, and predict_proba of as many\n"
    "trials with num_posterior_samples draws (default 1), in the precision the\n"
    "64-bit switch selects now. Returns what was compiled. n_features or\n"
    "n_classes with a fractional part (3.7) raise ValueError.\n"
    "\n"
    "rule='mode' compiles the fit by the mode and the update by the mode with a\n"
    "memory of `memory` trials (default 64). min_classes compiles the update and\n"
    "predict_proba for every class count from it up to n_classes, so that\n"
    "classes joining the session compile nothing; without it, the update by the\n"
    "mode is compiled for every count from 2, the rest for n_classes alone.\n"
    "moderated=True (rule='mode' only) also compiles predict_proba_moderated\n"
    "for the same class counts and that memory.\n"
    "\n"
    "Refused with ValueError before anything is compiled: more functions than\n"
    "the cache keeps (cache_info()['max_size']), and a largest shape whose one\n"
    "Newton step (or sweep) is beyond the bound of work of engine.fit.",
    precompile_body,
    kSource,
};

const FunctionDef cache_info = {
    "cache_info",
    "cache_info",
    {},
    "dict[str, int]",
    "Hits, misses, size and max_size of the cache of compiled functions, and its\n"
    "generation: how many compiled functions have left it (cleared or evicted).",
    cache_info_body,
    kSource,
};

const FunctionDef clear_cache = {
    "clear_cache",
    "clear_cache",
    {},
    "None",
    "Drop every compiled function and reset the counts.",
    clear_cache_body,
    kSource,
};

const FunctionDef enable_persistent_cache = {
    "enable_persistent_cache",
    "enable_persistent_cache",
    {{"path", "str | os.PathLike | None", Conversion::none, true}},
    "str",
    "Turn on JAX's persistent compilation cache in `path` and return the folder.\n"
    "\n"
    "The default folder is kelvra_bci/jax under the user's cache directory; a\n"
    "given path may start with ~. A path that is not text (bytes) raises\n"
    "TypeError, an empty one ValueError, before any folder is created.\n"
    "A new process then loads compiled functions from disk instead of compiling\n"
    "them. The engine never turns it on by itself: this changes JAX's\n"
    "configuration for the whole process.",
    enable_persistent_cache_body,
    kSource,
};

}  // namespace kelvra::engine
