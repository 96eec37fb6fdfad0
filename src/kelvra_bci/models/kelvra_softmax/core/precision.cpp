// The precision policy: which floating dtype learning computes in.
#include "core/kernels.hpp"

namespace kelvra::learning {
namespace {

py::object jax_dtype_from_numpy_body(Call& call) {
  py::object np = call.global("np");
  py::object jnp = call.global("jnp");
  // Double precision only when asked for twice: by the data and by the process
  // (JAX's 64-bit switch, read afresh on every call).
  const bool is_double = call.arg("x").attr("dtype").equal(np.attr("float64"));
  if (is_double && py::bool_(call.global("jax").attr("config").attr("jax_enable_x64"))) {
    return jnp.attr("float64");
  }
  return jnp.attr("float32");
}

}  // namespace

const FunctionDef jax_dtype_from_numpy = {
    "_jax_dtype_from_numpy",
    "_jax_dtype_from_numpy",
    {{"x", "np.ndarray"}},
    "jnp.dtype",
    "",
    jax_dtype_from_numpy_body,
    "kelvra_bci/models/kelvra_softmax/core/precision.cpp",
};

}  // namespace kelvra::learning
