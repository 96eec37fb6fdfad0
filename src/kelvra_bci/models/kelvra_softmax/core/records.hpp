// The records the fit and the update return, shared by the module and the engine.
#pragma once

#include "common/function.hpp"
#include "core/arguments.hpp"

namespace kelvra::learning {

// The fit's entries, in the record's key order (kelvra_io.SOFTMAX_KEYS).
py::dict fit_params(py::handle np, const FitArguments& arguments, py::handle beta_mean,
                    py::handle beta_cov_chol);

// A shallow copy of the incoming mapping with the six entries an update
// replaces: entries it does not replace stay the very same objects.
py::dict updated_params(py::handle np, const UpdateArguments& arguments, const ClassState& state,
                        py::handle beta_mean, py::handle beta_cov_chol);

// KelvraModel(model_type="kelvra_softmax", params=params), the class looked up now.
py::object make_record(const Call& call, py::dict params);

}  // namespace kelvra::learning
