// Start-up of kelvra_bci.models.kelvra_softmax.learning.
#include "common/module.hpp"
#include "learning/learning.hpp"

namespace {

using kelvra::py::dict;

void bind_imports(dict namespace_) {
  namespace_["Literal"] = kelvra::import_from(namespace_, "typing", "Literal", 0);
  namespace_["jax"] = kelvra::import_module(namespace_, "jax");
  namespace_["jnp"] = kelvra::import_module(namespace_, "jax.numpy");
  namespace_["np"] = kelvra::import_module(namespace_, "numpy");
  namespace_["KelvraModel"] = kelvra::import_from(namespace_, "kelvra_io", "KelvraModel", 3);
}

const kelvra::ModuleDefinition learning_module = {
    "learning",
    bind_imports,
    {
        &kelvra::learning::jax_dtype_from_numpy,
        &kelvra::learning::pg_expected_omega,
        &kelvra::learning::pg_binary_update,
        &kelvra::learning::build_logits,
        &kelvra::learning::kelvra_softmax_fit,
        &kelvra::learning::kelvra_softmax_update,
    },
};

}  // namespace

PyMODINIT_FUNC PyInit_learning() {
  return kelvra::init_module(learning_module);
}
