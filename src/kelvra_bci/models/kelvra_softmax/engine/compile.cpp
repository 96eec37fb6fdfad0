#include "engine/compile.hpp"

#include <cmath>

#include "common/python.hpp"
#include "common/record.hpp"
#include "core/bias_column.hpp"
#include "engine/cache.hpp"

namespace kelvra::engine {

using namespace pybind11::literals;

py::ssize_t trial_bucket(py::ssize_t n_trials) {
  constexpr py::ssize_t kFinerFrom = 64;
  py::ssize_t bucket = 16;
  while (bucket < n_trials && bucket < kFinerFrom) bucket *= 2;
  if (bucket >= n_trials) return bucket;
  while (bucket * 2 < n_trials) bucket *= 2;
  const py::ssize_t step = bucket / 4;
  return (n_trials + step - 1) / step * step;
}

py::object abstract_array(py::handle jax, py::tuple shape, py::handle dtype) {
  return jax.attr("ShapeDtypeStruct")(shape, dtype);
}

namespace {

// A forked child may run what its parent compiled, not compile anew: JAX's
// threads stayed behind in the parent, and a compile may wait for them
// forever.
[[noreturn]] void refuse_compile_after_fork(const std::string& key) {
  const std::string message =
      "this process was forked from one that had compiled with JAX, and '" + key +
      "' is not compiled yet: JAX cannot compile after a fork; start worker processes with "
      "multiprocessing's 'spawn' or 'forkserver' start method (or compile every shape before "
      "forking)";
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
  throw py::error_already_set();
}

}  // namespace

py::object compiled(const Call& call, const Shape& shape, py::tuple captured) {
  const std::string key = shape.key();
  CompiledCache& cache = compiled_cache();
  for (;;) {
    if (py::object found = cache.find(key)) return found;
    if (cache.forked_after_compiling()) refuse_compile_after_fork(key);
    if (cache.begin_compile(key)) break;
    // Another thread is compiling this function (a session compiling ahead
    // of need), or has just done so: wait for its result rather than compile
    // it a second time.
    py::gil_scoped_release unlocked;
    cache.await_compile(key);
  }
  // Ends the claim however the compile ends, so that a waiting thread never
  // waits for a compile that failed: it then compiles the key itself.
  struct Claim {
    CompiledCache& cache;
    const std::string& key;
    ~Claim() { cache.end_compile(key); }
  } claim{cache, key};
  // Traced once here; from now on the call runs without Python in the loop.
  py::object function =
      make_function(shape.signature().definition, call.globals(), std::move(captured));
  py::object jax = call.global("jax");
  py::object lowered = jax.attr("jit")(function).attr("lower")(*shape.placeholders(jax));
  py::object executable = lowered.attr("compile")();
  cache.insert(key, executable);
  return executable;
}

std::string dtype_name(py::handle np, py::handle dtype) {
  return py::str(np.attr("dtype")(dtype).attr("name")).cast<std::string>();
}

py::object checked_record(const Call& call, py::handle keys, bool anchor_values) {
  py::handle model = call.arg("model");
  if (!py::hasattr(model, "params")) {
    throw py::type_error(std::string("model must be a KelvraModel, not ") +
                         Py_TYPE(model.ptr())->tp_name);
  }
  py::object params = model.attr("params");
  // A mapping is copied; anything else goes to the check, which refuses it.
  py::object snapshot = params;
  if (PyDict_Check(params.ptr())) {
    snapshot = py::reinterpret_steal<py::object>(PyDict_Copy(params.ptr()));
    if (!snapshot) throw py::error_already_set();
  } else if (py::hasattr(params, "keys")) {
    snapshot = py::dict(params);
  }
  call.global("kelvra_io").attr("check_softmax_params")(snapshot, keys, anchor_values);
  py::object model_type = py::getattr(model, "model_type", py::str(record::model_type));
  return call.global("KelvraModel")("model_type"_a = model_type, "params"_a = snapshot);
}

void AnchorCheck::run() {
  if (done_) return;
  // Set first: a check that raised is not repeated by guard's handler.
  done_ = true;
  call_.global("kelvra_io").attr("check_anchor_values")(model_.attr("params"));
}

py::object padded_features(py::handle np, py::handle Xn, py::ssize_t bucket, py::handle dtype,
                           bool bias) {
  py::object rows = bias ? with_bias_column(np, Xn) : py::reinterpret_borrow<py::object>(Xn);
  py::tuple shape = rows.attr("shape");
  py::object padded = np.attr("zeros")(py::make_tuple(bucket, shape[1]), "dtype"_a = dtype);
  padded[py::slice(0, shape[0].cast<py::ssize_t>(), 1)] = rows;
  return padded;
}

py::object padded_labels(py::handle np, py::handle y0, py::ssize_t bucket) {
  py::object labels = np.attr("full")(bucket, -1, "dtype"_a = np.attr("int32"));
  labels[py::slice(0, py::len(y0), 1)] = y0;
  return labels;
}

py::object padded_to(py::handle np, py::handle values, py::ssize_t size, py::handle dtype,
                     py::handle fill) {
  py::tuple shape = values.attr("shape");
  py::list full_shape(shape);
  full_shape[0] = py::int_(size);
  py::object out = np.attr("full")(py::tuple(full_shape), fill, "dtype"_a = dtype);
  out[py::slice(0, py::len(values), 1)] = values;
  return out;
}

py::object scalar(py::handle np, double value, py::handle dtype) {
  return np.attr("asarray")(value, "dtype"_a = dtype);
}

py::object rows_of(py::handle values, py::ssize_t start, py::ssize_t stop) {
  return values[py::slice(start, stop, 1)];
}

double setting_value(py::handle value) {
  const double converted = PyFloat_AsDouble(value.ptr());
  if (converted == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
    PyErr_Clear();
    return std::nan("");
  }
  return converted;
}

py::object checked_tol(py::handle np, py::handle tol, py::handle dtype) {
  if (tol.is_none()) return py::none();
  if (PyBool_Check(tol.ptr()))
    throw py::value_error("tol must be a finite number >= 0, not a bool");
  const double value = setting_value(tol);
  if (!(std::isfinite(value) && value >= 0.0))
    throw py::value_error("tol must be a finite number >= 0");
  return np.attr("asarray")(value, "dtype"_a = dtype);
}

}  // namespace kelvra::engine
