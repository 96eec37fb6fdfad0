// Start-up of kelvra_bci.models.kelvra_softmax.inference.
#include "common/module.hpp"
#include "inference/inference.hpp"

namespace {

using kelvra::py::dict;

void bind_imports(dict namespace_) {
  namespace_["jax"] = kelvra::import_module(namespace_, "jax");
  namespace_["jnp"] = kelvra::import_module(namespace_, "jax.numpy");
  namespace_["np"] = kelvra::import_module(namespace_, "numpy");
  namespace_["KelvraModel"] = kelvra::import_from(namespace_, "kelvra_io", "KelvraModel", 3);
  namespace_["kelvra_softmax"] =
      kelvra::import_from(namespace_, "kelvra_math", "kelvra_softmax", 3);
}

const kelvra::ModuleDefinition inference_module = {
    "inference",
    bind_imports,
    {
        &kelvra::inference::logits_from_beta,
        &kelvra::inference::kelvra_softmax_predict_proba,
        &kelvra::inference::kelvra_softmax_predict,
        &kelvra::inference::kelvra_softmax_predict_samples,
    },
};

}  // namespace

PyMODINIT_FUNC PyInit_inference() {
  return kelvra::init_module(inference_module);
}
