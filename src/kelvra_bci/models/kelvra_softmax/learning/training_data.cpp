#include "learning/training_data.hpp"

#include "common/python.hpp"

namespace kelvra::learning {

using namespace pybind11::literals;

TrainingArrays checked_training_arrays(py::handle np, py::handle X, py::handle y) {
  py::object Xn = np.attr("asarray")(X, "dtype"_a = np.attr("float64"));
  py::object yn = np.attr("asarray")(y);
  if (not_equal(Xn.attr("ndim"), py::int_(2))) invalid("X must be 2D: (n_trials, n_features)");
  if (not_equal(yn.attr("ndim"), py::int_(1))) invalid("y must be 1D: (n_trials,)");
  if (not_equal(Xn.attr("shape")[py::int_(0)], yn.attr("shape")[py::int_(0)])) {
    invalid("X and y must have same number of rows");
  }
  return {std::move(Xn), std::move(yn)};
}

Design design_matrix(const Call& call, py::handle Xn, py::handle y0) {
  py::object jnp = call.global("jnp");
  py::object dtype = call.global("_jax_dtype_from_numpy")(Xn);
  Design design;
  design.Xj = jnp.attr("asarray")(Xn, "dtype"_a = dtype);
  design.yj = jnp.attr("asarray")(y0, "dtype"_a = jnp.attr("int32"));
  design.n_features = host_int(design.Xj.attr("shape")[py::int_(1)]);
  // Derived arrays follow the converted array's dtype, the single source of truth.
  py::object one = jnp.attr("ones")(py::make_tuple(design.Xj.attr("shape")[py::int_(0)], 1),
                                    "dtype"_a = design.Xj.attr("dtype"));
  design.X_aug = jnp.attr("concatenate")(py::make_tuple(design.Xj, one), "axis"_a = 1);
  design.d_aug = host_int(design.X_aug.attr("shape")[py::int_(1)]);
  return design;
}

}  // namespace kelvra::learning
