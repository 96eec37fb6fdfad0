// Start-up of kelvra_bci.models.kelvra_softmax.engine: the learning and
// inference math compiled once per shape, for sessions that cannot wait.
#include "common/module.hpp"
#include "common/errors.hpp"
#include "engine/engine.hpp"
#include "inference/inference.hpp"
#include "learning/learning.hpp"

namespace {

using kelvra::py::dict;

void bind_imports(dict namespace_) {
  namespace_["os"] = kelvra::import_module(namespace_, "os");
  namespace_["sys"] = kelvra::import_module(namespace_, "sys");
  namespace_["jax"] = kelvra::import_module(namespace_, "jax");
  namespace_["jnp"] = kelvra::import_module(namespace_, "jax.numpy");
  namespace_["np"] = kelvra::import_module(namespace_, "numpy");
  namespace_["kelvra_io"] = kelvra::import_module(namespace_, "kelvra_bci.kelvra_io");
  namespace_["KelvraModel"] = kelvra::import_from(namespace_, "kelvra_io", "KelvraModel", 3);
  // The engine's refusals of bad input raise the host package's InputError.
  kelvra::set_input_error(kelvra::import_from(namespace_, "kelvra_io", "InputError", 3));
  // Counts of inf and reals of 2**2000 are the caller's bad input like any other.
  kelvra::set_overflow_is_input_error(true);
  namespace_["kelvra_softmax"] =
      kelvra::import_from(namespace_, "kelvra_math", "kelvra_softmax", 3);
  kelvra::engine::load_default_memory(namespace_);
}

// The kernels and the precision policy come first: the shared math looks
// them up in this namespace, as it does in the learning module's.
const kelvra::ModuleDefinition engine_module = {
    "engine",
    bind_imports,
    {
        &kelvra::learning::jax_dtype_from_numpy,
        &kelvra::learning::pg_expected_omega,
        &kelvra::learning::pg_binary_update,
        &kelvra::engine::fit,
        &kelvra::engine::fit_many,
        &kelvra::engine::update,
        &kelvra::engine::predict_proba,
        &kelvra::engine::predict_proba_moderated,
        &kelvra::engine::predict_log_proba,
        &kelvra::engine::predict,
        &kelvra::engine::predict_samples,
        &kelvra::engine::precompile,
        &kelvra::engine::cache_info,
        &kelvra::engine::clear_cache,
        &kelvra::engine::enable_persistent_cache,
    },
};

}  // namespace

PyMODINIT_FUNC PyInit_engine() {
  return kelvra::init_module(engine_module);
}
