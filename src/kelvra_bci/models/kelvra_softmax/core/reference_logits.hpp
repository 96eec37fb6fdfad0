// The reference-class logit matrix, shared by the modules' logit helpers and
// the engine's probabilities.
#pragma once

#include <pybind11/pybind11.h>

namespace kelvra {

namespace py = pybind11;

// (n, n_classes) logits of dtype `dtype`: column non_ref_classes[j] holds
// X_aug @ beta_mean[j], the reference column is zero, other columns stay zero.
py::object reference_class_logits(py::handle jnp, py::handle X_aug, py::handle beta_mean,
                                  py::handle non_ref_classes, py::handle ref_class,
                                  py::handle n_classes, py::handle n, py::handle dtype);

}  // namespace kelvra
