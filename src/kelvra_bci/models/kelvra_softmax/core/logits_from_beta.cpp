// The full reference-class logit matrix from raw features and coefficient rows.
#include "common/python.hpp"
#include "core/bias_column.hpp"
#include "core/posterior.hpp"
#include "core/reference_logits.hpp"

namespace kelvra::inference {
namespace {

using namespace pybind11::literals;

py::object logits_from_beta_body(Call& call) {
  return features_logits(call.global("jnp"), call.arg("X"), call.arg("beta_mean"),
                         call.arg("non_ref_classes"), call.integer("ref_class"),
                         call.integer("n_classes"));
}

}  // namespace

py::object features_logits(py::handle jnp, py::handle X, py::handle beta_mean,
                           py::handle non_ref_classes, py::handle ref_class, py::handle n_classes) {
  py::object dtype = X.attr("dtype");
  py::int_ n = host_int(X.attr("shape")[py::int_(0)]);

  py::object X_aug = with_bias_column(jnp, X);
  return reference_class_logits(jnp, X_aug, beta_mean, non_ref_classes, ref_class, n_classes, n,
                                dtype);
}

const FunctionDef logits_from_beta = {
    "_logits_from_beta",
    "_logits_from_beta",
    {{"X", "jax.Array"},
     {"beta_mean", "jax.Array"},
     {"non_ref_classes", "np.ndarray"},
     {"ref_class", "int", Conversion::integer},
     {"n_classes", "int", Conversion::integer}},
    "jax.Array",
    "",
    logits_from_beta_body,
    "kelvra_bci/models/kelvra_softmax/core/logits_from_beta.cpp",
};

}  // namespace kelvra::inference
