// The model record: its keys, and how readers convert what they find there.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace kelvra::record {

namespace py = pybind11;

inline constexpr const char* model_type = "kelvra_softmax";
inline constexpr const char* backend_name = "pg_softmax_ref";

// Keys of `params`. Their order is not this file's: a record lists them as
// kelvra_io.SOFTMAX_KEYS does (see key_order).
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

// The memory a record of method "mode" adds for its next update: all of
// these or none (kelvra_io.MEMORY_KEYS, whose check is the host package's).
inline constexpr const char* memory_X = "memory_X";
inline constexpr const char* memory_y = "memory_y";
inline constexpr const char* memory_weight = "memory_weight";
inline constexpr const char* anchor_hessian = "anchor_hessian";
inline constexpr const char* anchor_shift = "anchor_shift";
inline constexpr const char* anchor_tilt = "anchor_tilt";
inline constexpr const char* memory_size = "memory_size";
inline constexpr const char* memory_trials = "memory_trials";

// Where the evidence chose w_scale at the fit, updates by the mode move it on
// (w_scale_follows 1) along scale_direction, which the last update left;
// records written before have neither and keep their scale.
inline constexpr const char* w_scale_follows = "w_scale_follows";
inline constexpr const char* scale_direction = "scale_direction";

// The record's keys in the order of kelvra_io.SOFTMAX_KEYS, read once at
// import by load_key_order().
const std::vector<std::string>& key_order();

// Reads kelvra_io.SOFTMAX_KEYS and kelvra_io.MEMORY_KEYS (imported
// relative to `globals`). Raises ImportError unless each is a tuple of
// distinct strings naming exactly the keys above.
void load_key_order(py::handle globals);

// A new dict holding the entries of `params` in key_order(). `params` must
// hold every key and no other: anything else is a bug of the writer.
py::dict in_key_order(const py::dict& params);

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
