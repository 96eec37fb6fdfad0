// The model record: its keys, and how readers convert what they find there.
#pragma once

#include <pybind11/pybind11.h>

namespace kelvra::record {

namespace py = pybind11;

inline constexpr const char* model_type = "kelvra_softmax";
inline constexpr const char* backend_name = "pg_softmax_ref";

// Keys of `params`, in the order the fit writes them.
inline constexpr const char* backend = "backend";
inline constexpr const char* n_classes = "n_classes";
inline constexpr const char* label_base = "label_base";
inline constexpr const char* ref_class = "ref_class";
inline constexpr const char* non_ref_classes = "non_ref_classes";
inline constexpr const char* beta_mean = "beta_mean";
inline constexpr const char* beta_cov_chol = "beta_cov_chol";
inline constexpr const char* w_loc = "w_loc";
inline constexpr const char* w_scale = "w_scale";
inline constexpr const char* b_loc = "b_loc";
inline constexpr const char* b_scale = "b_scale";
inline constexpr const char* rng_seed = "rng_seed";
inline constexpr const char* learning_rate = "learning_rate";
inline constexpr const char* num_steps = "num_steps";
inline constexpr const char* class_counts = "class_counts";

// Readers take the record and NumPy as found in the caller's namespace, and
// fetch `model.params` anew for every key, indexing it with no default.
py::object entry(py::handle model, const char* key);
// np.asarray(params[key], dtype=np.int64), as a host int
py::int_ read_int(py::handle np, py::handle model, const char* key);
// np.asarray(params[key], dtype=np.float64), as a host double
double read_double(py::handle np, py::handle model, const char* key);
// np.asarray(params[key], dtype=np.int64), kept as an array
py::object read_int_array(py::handle np, py::handle model, const char* key);

// np.array(text, dtype=object), the 0-d "backend" entry
py::object backend_entry(py::handle np);

}  // namespace kelvra::record
