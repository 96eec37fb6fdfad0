#include "engine/prediction.hpp"

#include "common/python.hpp"
#include "common/record.hpp"
#include "engine/compile.hpp"

namespace kelvra::engine {

using namespace pybind11::literals;

Prepared prepare_prediction(const Call& call, bool with_label_base) {
  py::object np = call.global("np");
  py::list keys;
  for (const char* key : {record::n_classes, record::ref_class, record::non_ref_classes,
                          record::beta_mean, record::beta_cov_chol}) {
    keys.append(key);
  }
  if (with_label_base) keys.append(record::label_base);
  Prepared prepared;
  prepared.model = checked_record(call, py::tuple(keys));
  prepared.posterior = inference::read_posterior(call, prepared.model, Strictness::strict, true);
  prepared.dtype = prepared.posterior.beta_mean.attr("dtype");
  prepared.S = call.integer("num_posterior_samples");
  prepared.n = prepared.posterior.Xj.attr("shape")[py::int_(0)].cast<py::ssize_t>();
  py::object int32 = np.attr("int32");
  prepared.non_ref = prepared.posterior.non_ref.attr("astype")(int32);
  prepared.ref_class = np.attr("asarray")(prepared.posterior.ref_class, "dtype"_a = int32);
  prepared.d_aug = host_int(prepared.posterior.beta_mean.attr("shape")[py::int_(1)]);
  // The record's width decides the feature count; a mismatch is the caller's.
  if (!prepared.d_aug.equal(host_int(prepared.posterior.Xj.attr("shape")[py::int_(1)]) +
                            py::int_(1))) {
    throw py::value_error(
        "X has " + py::str(prepared.posterior.Xj.attr("shape")[py::int_(1)]).cast<std::string>() +
        " features, but the model expects " +
        py::str(prepared.d_aug - py::int_(1)).cast<std::string>());
  }
  return prepared;
}

py::object prediction_key(const Call& call) {
  return call.global("jax").attr("random").attr("PRNGKey")(call.integer("rng_seed"));
}

}  // namespace kelvra::engine
