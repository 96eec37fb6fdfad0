#include "core/records.hpp"

#include "common/record.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

// A plain dict copy of a dict; any other mapping goes through dict().
py::dict shallow_copy(py::object mapping) {
  if (PyDict_Check(mapping.ptr())) {
    PyObject* copy = PyDict_Copy(mapping.ptr());
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(copy);
  }
  return py::dict(std::move(mapping));
}

}  // namespace

py::dict fit_params(py::handle np, const FitArguments& args, py::handle beta_mean,
                    py::handle beta_cov_chol) {
  py::object int64 = np.attr("int64"), float64 = np.attr("float64");
  check_finite_posterior(np, beta_mean, beta_cov_chol);
  namespace key = record;
  py::dict params;
  params[key::backend] = record::backend_entry(np);
  params[key::n_classes] = np.attr("array")(args.n_classes, "dtype"_a = int64);
  params[key::label_base] = np.attr("array")(args.label_base, "dtype"_a = int64);
  params[key::ref_class] = np.attr("array")(args.layout.ref_class, "dtype"_a = int64);
  params[key::non_ref_classes] = np.attr("asarray")(args.layout.non_ref, "dtype"_a = int64);
  params[key::beta_mean] = np.attr("asarray")(beta_mean);
  params[key::beta_cov_chol] = np.attr("asarray")(beta_cov_chol);
  params[key::w_loc] = np.attr("array")(args.w_loc, "dtype"_a = float64);
  params[key::w_scale] = np.attr("array")(args.w_scale, "dtype"_a = float64);
  params[key::b_loc] = np.attr("array")(args.b_loc, "dtype"_a = float64);
  params[key::b_scale] = np.attr("array")(args.b_scale, "dtype"_a = float64);
  params[key::rng_seed] = np.attr("array")(args.rng_seed, "dtype"_a = int64);
  params[key::learning_rate] = np.attr("array")(args.learning_rate, "dtype"_a = float64);
  params[key::num_steps] = np.attr("array")(args.num_steps, "dtype"_a = int64);
  params[key::class_counts] = args.layout.counts;
  return record::in_key_order(params);
}

py::dict updated_params(py::handle np, const UpdateArguments& args, const ClassState& state,
                        py::handle beta_mean, py::handle beta_cov_chol) {
  py::object int64 = np.attr("int64");
  check_finite_posterior(np, beta_mean, beta_cov_chol);
  py::dict params = shallow_copy(args.model.attr("params"));
  params[record::backend] = record::backend_entry(np);
  params[record::n_classes] = np.attr("array")(args.new_n_classes, "dtype"_a = int64);
  params[record::non_ref_classes] = np.attr("asarray")(state.non_ref, "dtype"_a = int64);
  params[record::beta_mean] = np.attr("asarray")(beta_mean);
  params[record::beta_cov_chol] = np.attr("asarray")(beta_cov_chol);
  params[record::class_counts] = state.class_counts.attr("astype")(int64);
  return params;
}

py::object make_record(const Call& call, py::dict params) {
  return call.global("KelvraModel")("model_type"_a = record::model_type, "params"_a = params);
}

}  // namespace kelvra::learning
