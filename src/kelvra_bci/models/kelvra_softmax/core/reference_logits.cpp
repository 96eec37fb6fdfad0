#include "core/reference_logits.hpp"

#include "common/python.hpp"

namespace kelvra {

using namespace pybind11::literals;

py::object reference_class_logits(py::handle jnp, py::handle X_aug, py::handle beta_mean,
                                  py::handle non_ref_classes, py::handle ref_class,
                                  py::handle n_classes, py::handle n, py::handle dtype) {
  py::object logits = jnp.attr("zeros")(py::make_tuple(n, n_classes), "dtype"_a = dtype);
  py::object eta = matmul(X_aug, beta_mean.attr("T"));
  logits = logits.attr("at")[py::make_tuple(all(), non_ref_classes)].attr("set")(eta);
  // Written last, so the reference column is zero even if also listed above.
  py::object zeros = jnp.attr("zeros")(py::make_tuple(n), "dtype"_a = dtype);
  return logits.attr("at")[py::make_tuple(all(), ref_class)].attr("set")(zeros);
}

}  // namespace kelvra
