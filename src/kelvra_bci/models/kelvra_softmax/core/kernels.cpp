// Polya-Gamma kernels: the expected PG(1, c) moment and one variational
// Gaussian update of a binary logistic problem with a per-trial offset.
#include "core/kernels.hpp"
#include "common/python.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/core/kernels.cpp";

// Constants are 0-d arrays of the working dtype, never host literals, so that
// float32 work stays float32 and traced code stays free of weak-typed scalars.
struct Constants {
  py::object one, two, half, eps;
};

Constants constants_of(py::handle jnp, py::handle dtype) {
  py::object one = jnp.attr("array")(1, "dtype"_a = dtype);
  py::object two = one + one;
  py::object half = one / two;
  return {one, two, half, jnp.attr("finfo")(dtype).attr("eps")};
}

py::object pg_expected_omega_body(Call& call) {
  py::object jnp = call.global("jnp");
  py::handle c = call.arg("c");
  const Constants k = constants_of(jnp, c.attr("dtype"));
  // The floor keeps c = 0 finite: the moment tends to 1/4 there.
  py::object c1 = jnp.attr("maximum")(c, k.eps);
  return (k.half / c1) * jnp.attr("tanh")(k.half * c1);
}

py::object pg_binary_update_body(Call& call) {
  py::object jax = call.global("jax");
  py::object jnp = call.global("jnp");
  py::handle Xa = call.arg("Xa"), z = call.arg("z"), offset = call.arg("offset");
  py::handle m0 = call.arg("m0"), prec0 = call.arg("prec0"), m = call.arg("m"), S = call.arg("S");
  py::object dtype = Xa.attr("dtype");
  const Constants k = constants_of(jnp, dtype);
  py::object Xa_T = Xa.attr("T");

  // Mean and variance of the offset linear predictor under the current
  // posterior; the variance is diag(Xa S Xa^T) as row sums, never n x n.
  py::object psi_mean = matmul(Xa, m) - offset;
  py::object psi_var = jnp.attr("sum")(matmul(Xa, S) * Xa, "axis"_a = 1);
  py::object c = jnp.attr("sqrt")(psi_mean * psi_mean + psi_var + k.eps);
  py::object omega = call.global("_pg_expected_omega")(c);

  py::object omega_column = omega[py::make_tuple(all(), py::none())];
  py::object prec = prec0 + matmul(Xa_T, Xa * omega_column);
  py::object kappa = z - k.half;
  py::object b = matmul(prec0, m0) + matmul(Xa_T, kappa + omega * offset);

  // One factorisation serves both solves: the mean and the inverse precision.
  py::object cho_solve = jax.attr("scipy").attr("linalg").attr("cho_solve");
  py::object factor = py::make_tuple(jnp.attr("linalg").attr("cholesky")(prec), true);
  py::object m_new = cho_solve(factor, b);
  py::object eye = jnp.attr("eye")(host_int(prec.attr("shape")[py::int_(0)]), "dtype"_a = dtype);
  py::object S_new = cho_solve(factor, eye);
  return py::make_tuple(m_new, S_new);
}

}  // namespace

const FunctionDef pg_expected_omega = {
    "_pg_expected_omega",
    "_pg_expected_omega",
    {{"c", "jax.Array"}},
    "jax.Array",
    "",
    pg_expected_omega_body,
    kSource,
};

const FunctionDef pg_binary_update = {
    "_pg_binary_update",
    "_pg_binary_update",
    {{"Xa", "jax.Array"},
     {"z", "jax.Array"},
     {"offset", "jax.Array"},
     {"m0", "jax.Array"},
     {"prec0", "jax.Array"},
     {"m", "jax.Array"},
     {"S", "jax.Array"}},
    "tuple[jax.Array, jax.Array]",
    "",
    pg_binary_update_body,
    kSource,
};

}  // namespace kelvra::learning
