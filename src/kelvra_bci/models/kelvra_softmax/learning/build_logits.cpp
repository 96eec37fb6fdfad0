// The full reference-class logit matrix from augmented features and means.
#include "common/python.hpp"
#include "core/reference_logits.hpp"
#include "learning/learning.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

py::object build_logits_body(Call& call) {
  py::object jnp = call.global("jnp");
  py::handle X_aug = call.arg("X_aug"), beta_mean = call.arg("beta_mean");
  py::handle non_ref_classes = call.arg("non_ref_classes");
  py::int_ ref_class = call.integer("ref_class"), n_classes = call.integer("n_classes");
  py::object dtype = X_aug.attr("dtype");
  py::int_ n = host_int(X_aug.attr("shape")[py::int_(0)]);

  return reference_class_logits(jnp, X_aug, beta_mean, non_ref_classes, ref_class, n_classes, n,
                                dtype);
}

}  // namespace

const FunctionDef build_logits = {
    "_build_logits",
    "_build_logits",
    {{"X_aug", "jax.Array"},
     {"beta_mean", "jax.Array"},
     {"non_ref_classes", "jax.Array"},
     {"ref_class", "int", Conversion::integer},
     {"n_classes", "int", Conversion::integer}},
    "jax.Array",
    "",
    build_logits_body,
    "kelvra_bci/models/kelvra_softmax/learning/build_logits.cpp",
};

}  // namespace kelvra::learning
