#include "engine/memory.hpp"

#include <optional>
#include <string>

#include "common/python.hpp"
#include "common/record.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;

// The memory's keys are the record's (common/record.hpp).
namespace key = ::kelvra::record;

// The record's scale_direction when it has the stacked rows' shape and is
// finite; otherwise zeros, and the next update leaves the scale where it is.
py::object stored_direction(py::handle np, py::handle params, const py::int_& k_d,
                            py::handle dtype) {
  if (params.attr("__contains__")(key::scale_direction).cast<bool>()) {
    py::object direction = np.attr("asarray")(params[key::scale_direction]);
    if (py::object(direction.attr("shape")).equal(py::make_tuple(k_d)) &&
        direction.attr("dtype").attr("kind").cast<std::string>() == "f" &&
        np.attr("all")(np.attr("isfinite")(direction)).cast<bool>()) {
      return direction.attr("astype")(dtype);
    }
  }
  return np.attr("zeros")(k_d, "dtype"_a = dtype);
}

// The record's own memory, each entry read once: none when an entry is
// missing or has another shape, or when the class counts moved on since it
// was written.
std::optional<Memory> stored_memory(py::handle np, py::handle params, py::handle counts,
                                    const py::int_& k, const py::int_& d_aug, py::handle dtype,
                                    py::ssize_t fallback_size) {
  const py::int_ k_d = k * d_aug;
  const py::int_ n_features = d_aug - py::int_(1);
  for (const char* name :
       {key::memory_X, key::memory_y, key::memory_weight, key::anchor_hessian, key::anchor_shift,
        key::anchor_tilt, key::memory_size, key::memory_trials}) {
    if (!params.attr("__contains__")(name).cast<bool>()) return std::nullopt;
  }
  py::object X = np.attr("asarray")(params[key::memory_X]);
  py::object y = np.attr("asarray")(params[key::memory_y]);
  py::object weight = np.attr("asarray")(params[key::memory_weight]);
  py::object hessian = np.attr("asarray")(params[key::anchor_hessian]);
  py::object shift = np.attr("asarray")(params[key::anchor_shift]);
  py::object tilt = np.attr("asarray")(params[key::anchor_tilt]);
  py::object X_shape = X.attr("shape"), y_shape = y.attr("shape");
  py::object hessian_shape = hessian.attr("shape"), shift_shape = shift.attr("shape");
  const bool shapes = py::len(X_shape) == 2 && host_int(X_shape[py::int_(1)]).equal(n_features) &&
                      py::len(y_shape) == 1 && py::len(weight.attr("shape")) == 1 &&
                      py::len(y) == py::len(X) && py::len(weight) == py::len(X) &&
                      hessian_shape.equal(py::make_tuple(k_d, k_d)) &&
                      shift_shape.equal(py::make_tuple(k_d)) &&
                      py::object(tilt.attr("shape")).equal(py::make_tuple(k, d_aug, d_aug));
  if (!shapes) return std::nullopt;
  py::object trials = np.attr("sum")(counts);
  if (!host_int(np.attr("asarray")(params[key::memory_trials])).equal(host_int(trials))) {
    return std::nullopt;
  }
  auto as = [](py::handle values, py::handle type) {
    return values.attr("astype")(type, "copy"_a = false);
  };
  Memory memory;
  memory.X = as(X, np.attr("float64"));
  memory.y = as(y, np.attr("int64"));
  memory.weight = as(weight, dtype);
  memory.hessian = as(hessian, dtype);
  memory.shift = as(shift, dtype);
  memory.tilt = as(tilt, dtype);
  memory.direction = stored_direction(np, params, k_d, dtype);
  memory.size = host_int(np.attr("asarray")(params[key::memory_size])).cast<py::ssize_t>();
  if (memory.size < 1) memory.size = fallback_size;
  return memory;
}

}  // namespace

Memory read_memory(py::handle np, const learning::UpdateArguments& args, py::handle old_counts,
                   const py::int_& n_features, const py::int_& d_aug, py::handle dtype,
                   py::ssize_t fallback_size) {
  py::object params = args.model.attr("params");
  const py::int_ k(py::len(args.non_ref));
  const py::int_ k_d = k * d_aug;
  if (std::optional<Memory> stored =
          stored_memory(np, params, old_counts, k, d_aug, dtype, fallback_size)) {
    return *std::move(stored);
  }
  py::object float64 = np.attr("float64");
  Memory memory;
  // Precision P_k = (L L')^-1 of each stored row; the anchor is P_k - P0 and
  // P_k m_k - P0 m0, so that prior x anchor is the stored Gaussian again.
  py::object linalg = np.attr("linalg");
  py::object L = np.attr("asarray")(params["beta_cov_chol"], "dtype"_a = float64);
  py::object m = np.attr("asarray")(params["beta_mean"], "dtype"_a = float64);
  py::object eye = np.attr("broadcast_to")(np.attr("eye")(d_aug), L.attr("shape"));
  py::object inverse = linalg.attr("solve")(L, eye);
  py::object P = np.attr("einsum")("kji,kjl->kil", inverse, inverse);
  // The prior of the k rows couples them: precision (I - 11'/K) (x) D over
  // the K = k + 1 classes, so its diagonal blocks are (1 - 1/K) D, the others
  // -D/K, and its linear term D m0 / K per row. The anchor is the stored
  // block-diagonal precision less all of it.
  py::object prior_diag = np.attr("full")(d_aug, 1.0 / (args.w_scale * args.w_scale));
  prior_diag[py::int_(-1)] = 1.0 / (args.b_scale * args.b_scale);
  py::object m0 = np.attr("full")(d_aug, args.w_loc);
  m0[py::int_(-1)] = args.b_loc;
  const double n_classes = k.cast<double>() + 1.0;
  py::object D = np.attr("diag")(prior_diag);
  py::object blocks = P - D * py::float_(1.0 - 1.0 / n_classes);
  py::object shifts =
      np.attr("einsum")("kij,kj->ki", P, m) - prior_diag * m0 / py::float_(n_classes);
  py::object hessian =
      np.attr("kron")(np.attr("ones")(py::make_tuple(k, k)), D / py::float_(n_classes));
  py::object four = hessian.attr("reshape")(py::make_tuple(k, d_aug, k, d_aug));
  for (py::ssize_t r = 0; r < k.cast<py::ssize_t>(); ++r) {
    four[py::make_tuple(r, all(), r, all())] = blocks[py::int_(r)];
  }
  memory.X = np.attr("zeros")(py::make_tuple(0, n_features));
  memory.y = np.attr("zeros")(0, "dtype"_a = np.attr("int64"));
  memory.weight = np.attr("zeros")(0, "dtype"_a = dtype);
  memory.hessian = hessian.attr("astype")(dtype);
  memory.shift = shifts.attr("reshape")(-1).attr("astype")(dtype);
  memory.tilt = blocks.attr("astype")(dtype);
  memory.direction = np.attr("zeros")(k_d, "dtype"_a = dtype);
  memory.size = fallback_size;
  return memory;
}

bool scale_follows(py::handle np, py::handle params) {
  if (!params.attr("__contains__")(key::w_scale_follows).cast<bool>()) return false;
  py::object flag = np.attr("asarray")(params[key::w_scale_follows]);
  if (host_int(flag.attr("size")).cast<py::ssize_t>() != 1) return false;
  py::object value = flag.attr("reshape")(-1)[py::int_(0)];
  return flag.attr("dtype").attr("kind").cast<std::string>() == "i" &&
         host_int(value).cast<long long>() == 1;
}

void add_memory_entries(py::handle np, py::dict& params, py::handle X, py::handle y,
                        py::handle weight, py::handle hessian, py::handle shift, py::handle tilt,
                        py::ssize_t size, py::handle counts) {
  params[key::memory_X] = np.attr("ascontiguousarray")(X);
  params[key::memory_y] = np.attr("asarray")(y, "dtype"_a = np.attr("int64"));
  params[key::memory_weight] = np.attr("asarray")(weight);
  params[key::anchor_hessian] = np.attr("asarray")(hessian);
  params[key::anchor_shift] = np.attr("asarray")(shift);
  params[key::anchor_tilt] = np.attr("asarray")(tilt);
  params[key::memory_size] = np.attr("array")(size, "dtype"_a = np.attr("int64"));
  params[key::memory_trials] =
      np.attr("array")(np.attr("sum")(counts), "dtype"_a = np.attr("int64"));
}

void add_scale_entries(py::handle np, py::dict& params, bool follows, py::handle direction) {
  params[key::w_scale_follows] = np.attr("array")(follows ? 1 : 0, "dtype"_a = np.attr("int64"));
  params[key::scale_direction] = np.attr("asarray")(direction);
}

}  // namespace kelvra::engine
