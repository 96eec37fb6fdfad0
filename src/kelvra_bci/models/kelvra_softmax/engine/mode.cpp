// The engine's fit and update by the posterior mode (method "mode", update
// rule "mode"): Newton's method on all class rows at once, the Laplace
// covariance at the mode, and a bounded memory of recent trials that every
// update revisits.
//
// Besides the fifteen entries every record has, a record made here keeps
// what its next update needs, under keys that the learning and inference
// modules never read:
//   memory_X, memory_y, memory_weight  the last trials (at most memory_size),
//       their zero-based classes and the weight forgetting has left them;
//   anchor_hessian, anchor_shift  the trials that left the memory, as the
//       quadratic 1/2 w'Hw - s'w that their log-likelihood was at the mode
//       when they left (rows stacked in the record's row order);
//   anchor_tilt  the same trials' part of each row's tilted precision
//       (rows, d, d), so that the stored covariances keep counting them;
//   memory_size, memory_trials  the memory's capacity, and the trial count
//       of class_counts when it was written: an update by another path
//       leaves the count behind, and the memory is then not trusted;
//   w_scale_follows  1 when the evidence chose w_scale at the fit ("auto"):
//       every update then moves it on, and w_scale holds the scale in force;
//       0, or absent (records written before), keeps w_scale as it is;
//   scale_direction  how the stored mode moves per unit of log weight
//       precision (rows stacked as in the anchor), for the next update's step
//       of the scale; trusted with the memory.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "common/python.hpp"
#include "common/record.hpp"
#include "core/mode.hpp"
#include "core/records.hpp"
#include "engine/buckets.hpp"
#include "engine/compile.hpp"
#include "engine/engine.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/engine/mode.cpp";

// The memory's keys are the record's (common/record.hpp).
namespace key = ::kelvra::record;

// The scale follows the prequential evidence: each update first scores its
// new trials at the stored mode, before their labels count, and moves log
// alpha up the gradient of that log-likelihood, rate times the gradient, by
// at most kMaxScaleMove per update. The gradient sums over the new trials, so
// a block moves the scale about as far as its trials would one at a time.
// The product of such one-step predictions is the evidence of the session,
// and unlike the evidence of prior x anchor x memory it does not hold the
// curvature of the trials that left the memory still (that one pulls the
// scale ever smaller on nearly separable data). Rate 0.6 took the digits
// stream's log-loss from 0.282 to 0.269 and its ECE from 0.048 to 0.023, and
// left the simulated sessions within 0.002 (benchmarks/bench_calibration.py;
// 0.3 gave 0.027, 1.0 a worse log-loss on the simulated sessions).
constexpr double kScaleRate = 0.6;
constexpr double kMaxScaleMove = 0.2;

py::object scalar(py::handle np, double value, py::handle dtype) {
  return np.attr("asarray")(value, "dtype"_a = dtype);
}

// ---------------------------------------------------------------- the fit

// Traced once per shape: the mode and, when asked, the weight precision the
// evidence settles on; then the covariance of every row (its tilt at the mode), and the
// trials that the memory will not hold folded into the anchor at the mode.
py::object fit_mode_core_body(Call& call) {
  py::object jnp = call.global("jnp");
  py::handle X_aug = call.arg("X_aug");
  py::object dtype = X_aug.attr("dtype");
  py::object d_aug = X_aug.attr("shape")[py::int_(1)];
  const learning::Trials trials{py::reinterpret_borrow<py::object>(X_aug),
                                py::reinterpret_borrow<py::object>(call.arg("yj")),
                                py::reinterpret_borrow<py::object>(call.arg("weight"))};
  const learning::Rows rows{py::reinterpret_borrow<py::object>(call.arg("classes"))};
  const learning::Quadratic prior =
      learning::row_prior(call.globals(), rows.classes, d_aug, dtype, call.arg("w_loc"),
                          call.arg("b_loc"), call.arg("b_prec"));
  py::object R = rows.classes.attr("shape")[py::int_(0)];
  py::object W0 = prior.m0.attr("reshape")(py::make_tuple(R, d_aug));
  const bool by_evidence = PyObject_IsTrue(call.captured(0).ptr()) == 1;
  const learning::ModeResult mode =
      by_evidence
          ? learning::choose_scale(call.globals(), trials, rows, prior, W0, call.arg("alpha"),
                                   call.arg("num_steps"), call.arg("tol"))
          : learning::find_mode(call.globals(), trials, rows, prior, W0, call.arg("alpha"),
                                py::none(), call.arg("num_steps"), call.arg("tol"));

  py::object A = mode.w_prec * prior.A_w + prior.A_b;
  py::object factors = learning::tilt_factors(
      call.globals(), learning::tilt_blocks(call.globals(), trials, rows, mode.W), A);
  const learning::Trials folded{trials.X_aug, trials.yj,
                                py::reinterpret_borrow<py::object>(call.arg("folded"))};
  auto [grad_old, hessian_old] = learning::likelihood_terms(call.globals(), folded, rows, mode.W);
  py::object w = mode.W.attr("reshape")(py::make_tuple(-1));
  py::object shift = matmul(hessian_old, w) - grad_old;
  py::object tilt_old = learning::tilt_blocks(call.globals(), folded, rows, mode.W);
  return py::make_tuple(mode.W, factors, mode.w_prec, mode.n_steps, hessian_old, shift, tilt_old);
}

const FunctionDef fit_mode_core = {
    "fit_mode_core",
    "fit.<locals>.fit_mode_core",
    {{"X_aug"},
     {"yj"},
     {"weight"},
     {"folded"},
     {"classes"},
     {"w_loc"},
     {"alpha"},
     {"b_loc"},
     {"b_prec"},
     {"num_steps"},
     {"tol"}},
    nullptr,
    nullptr,
    fit_mode_core_body,
    kSource,
};

// ---------------------------------------------------------------- the update

// The weight precision of this update: the stored one, moved by the
// prequential step when scale_rate is positive (see kScaleRate). `fresh`
// weighs the new trials only; their log-likelihood's gradient is taken at the
// stored mode, and `direction` (zero for rows the stored record lacked) says
// how that mode moves with log alpha.
py::object followed_scale(Call& call, const learning::Trials& fresh, const learning::Rows& rows) {
  py::object jnp = call.global("jnp");
  py::handle alpha = call.arg("alpha");
  py::handle rate = call.arg("scale_rate");
  py::object dtype = fresh.X_aug.attr("dtype");
  py::object gradient =
      -learning::likelihood_gradient(call.globals(), fresh, rows, call.arg("W_prev"));
  py::object slope = jnp.attr("dot")(gradient, call.arg("direction"));
  // A slope that overflowed (huge features against a stored direction) moves nothing.
  py::object move = jnp.attr("where")(jnp.attr("isfinite")(slope),
                                      jnp.attr("clip")(rate * slope, -kMaxScaleMove, kMaxScaleMove),
                                      jnp.attr("zeros_like")(slope));
  py::object moved = jnp.attr("clip")(jnp.attr("exp")(jnp.attr("log")(alpha) + move),
                                      learning::kWPrecFloor, learning::kWPrecCeiling)
                         .attr("astype")(dtype);
  // A scale that does not follow is passed through untouched, not rounded
  // through log and exp.
  return jnp.attr("where")(less(jnp.attr("array")(0, "dtype"_a = dtype), rate), moved, alpha);
}

// Traced once per shape: Newton's method finds the mode of prior x anchor x
// likelihood of the remembered and the leaving trials, forgetting having
// shrunk the anchor; the trials leaving the memory then join the anchor as
// the quadratic their log-likelihood is at that mode. Folding them at the
// mode they helped find, rather than at the one before, keeps a block larger
// than the memory from being weighed at a point that never saw it.
py::object update_mode_core_body(Call& call) {
  py::object jnp = call.global("jnp");
  py::handle X_w = call.arg("X_w");
  py::object dtype = X_w.attr("dtype");
  py::object d_aug = X_w.attr("shape")[py::int_(1)];
  const learning::Rows rows{py::reinterpret_borrow<py::object>(call.arg("classes"))};
  py::handle keep = call.arg("keep");

  const learning::Trials leaving{py::reinterpret_borrow<py::object>(call.arg("X_e")),
                                 py::reinterpret_borrow<py::object>(call.arg("y_e")),
                                 py::reinterpret_borrow<py::object>(call.arg("c_e"))};
  auto joined = [&](py::handle kept, py::handle left) {
    return jnp.attr("concatenate")(py::make_tuple(kept, left), "axis"_a = 0);
  };
  const learning::Trials seen{joined(X_w, leaving.X_aug), joined(call.arg("y_w"), leaving.yj),
                              joined(call.arg("c_w"), leaving.weight)};
  py::object anchor_hessian = keep * call.arg("anchor_hessian");
  py::object anchor_shift = keep * call.arg("anchor_shift");
  py::object anchor_tilt = keep * call.arg("anchor_tilt");

  learning::Quadratic quadratic =
      learning::row_prior(call.globals(), rows.classes, d_aug, dtype, call.arg("w_loc"),
                          call.arg("b_loc"), call.arg("b_prec"));
  const learning::Trials fresh{seen.X_aug, seen.yj, joined(call.arg("new_w"), call.arg("new_e"))};
  py::object alpha = followed_scale(call, fresh, rows);
  py::object prior_A = alpha * quadratic.A_w + quadratic.A_b;
  quadratic.A_b = quadratic.A_b + anchor_hessian;
  quadratic.b_b = quadratic.b_b + anchor_shift;
  const learning::ModeResult mode =
      learning::find_mode(call.globals(), seen, rows, quadratic, call.arg("W_prev"), alpha,
                          py::none(), call.arg("num_steps"), call.arg("tol"));
  // The covariance counts the trials the anchor holds by their tilt, as a fit
  // on every trial would, not by the Laplace curvature the mode used.
  py::object factors = learning::tilt_factors(
      call.globals(), learning::tilt_blocks(call.globals(), seen, rows, mode.W) + anchor_tilt,
      prior_A);

  auto [grad_e, hessian_e] = learning::likelihood_terms(call.globals(), leaving, rows, mode.W);
  py::object w = mode.W.attr("reshape")(py::make_tuple(-1));
  py::object hessian = anchor_hessian + hessian_e;
  py::object shift = anchor_shift + matmul(hessian_e, w) - grad_e;
  py::object tilt = anchor_tilt + learning::tilt_blocks(call.globals(), leaving, rows, mode.W);
  // How the mode would move with log alpha, for the next update's step:
  // dw/dlog(alpha) = -alpha H^-1 A_w (w - m0), H from the last Newton step.
  py::object direction =
      -alpha * call.global("jax").attr("scipy").attr("linalg").attr("cho_solve")(
                   py::make_tuple(mode.factor, true), matmul(quadratic.A_w, w - quadratic.m0));
  return py::make_tuple(mode.W, factors, hessian, shift, mode.n_steps, tilt, alpha, direction);
}

const FunctionDef update_mode_core = {
    "update_mode_core",
    "update.<locals>.update_mode_core",
    {{"X_w"},          {"y_w"},         {"c_w"},
     {"X_e"},          {"y_e"},         {"c_e"},
     {"classes"},      {"W_prev"},      {"anchor_hessian"},
     {"anchor_shift"}, {"anchor_tilt"}, {"keep"},
     {"w_loc"},        {"alpha"},       {"b_loc"},
     {"b_prec"},       {"num_steps"},   {"tol"},
     {"new_w"},        {"new_e"},       {"direction"},
     {"scale_rate"}},
    nullptr,
    nullptr,
    update_mode_core_body,
    kSource,
};

// ---------------------------------------------------------------- host side

py::object rows_of(py::handle values, py::ssize_t start, py::ssize_t stop) {
  return values[py::slice(start, stop, 1)];
}

// `values` (n, ...) in the first n of `size` rows of zeros (or `fill`).
py::object padded_to(py::handle np, py::handle values, py::ssize_t size, py::handle dtype,
                     py::handle fill) {
  py::tuple shape = values.attr("shape");
  py::list full_shape(shape);
  full_shape[0] = py::int_(size);
  py::object out = np.attr("full")(py::tuple(full_shape), fill, "dtype"_a = dtype);
  out[py::slice(0, py::len(values), 1)] = values;
  return out;
}

// What an update starts from: the memory and the anchor of the record, or,
// for a record without them (another method, another path, or a memory that
// no longer matches its class counts), an empty memory and an anchor that
// stands for the stored Gaussians less the prior they already hold.
struct Memory {
  py::object X;          // (m, p) float64
  py::object y;          // (m,) int64 zero-based
  py::object weight;     // (m,)
  py::object hessian;    // (k d, k d) for the record's k rows
  py::object shift;      // (k d,)
  py::object tilt;       // (k, d, d)
  py::object direction;  // (k d,) zeros where the record holds none
  py::ssize_t size;      // capacity
};

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

// Whether the record's w_scale follows the evidence: w_scale_follows is a
// single 1; anything else, or no entry, keeps the scale fixed.
bool scale_follows(py::handle np, py::handle params) {
  if (!params.attr("__contains__")(key::w_scale_follows).cast<bool>()) return false;
  py::object flag = np.attr("asarray")(params[key::w_scale_follows]);
  if (host_int(flag.attr("size")).cast<py::ssize_t>() != 1) return false;
  py::object value = flag.attr("reshape")(-1)[py::int_(0)];
  return flag.attr("dtype").attr("kind").cast<std::string>() == "i" &&
         host_int(value).cast<long long>() == 1;
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

}  // namespace

bool is_mode(py::handle choice) {
  return py::isinstance<py::str>(choice) && choice.cast<std::string>() == "mode";
}

py::ssize_t mode_row_bucket(py::ssize_t stored_rows, py::ssize_t rows_after) {
  const py::ssize_t needed = std::max(stored_rows + 1, rows_after);
  // 2, 4, then multiples of 4: the work grows with the cube of the rows, so
  // padding stays within a third past four rows.
  if (needed <= 2) return 2;
  return (needed + 3) / 4 * 4;
}

namespace {

std::string fit_mode_key(py::handle np, py::handle dtype, py::ssize_t bucket, const py::int_& d_aug,
                         const py::int_& n_classes, bool by_evidence) {
  return ShapeKey(np, "fit mode", dtype)
      .size("n", bucket)
      .size("d", d_aug)
      .size("K", n_classes)
      .flag("auto", by_evidence)
      .str();
}

}  // namespace

py::object fit_mode_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                               const py::int_& d_aug, const py::int_& n_classes, bool by_evidence) {
  py::object np = call.global("np");
  py::object jax = call.global("jax");
  const std::string key = fit_mode_key(np, dtype, bucket, d_aug, n_classes, by_evidence);
  auto arguments = [&]() -> py::tuple {
    py::object int32 = np.attr("int32");
    py::object s = abstract_array(jax, py::tuple(), dtype);
    py::object trials = abstract_array(jax, py::make_tuple(bucket), dtype);
    return py::make_tuple(abstract_array(jax, py::make_tuple(bucket, d_aug), dtype),
                          abstract_array(jax, py::make_tuple(bucket), int32), trials, trials,
                          abstract_array(jax, py::make_tuple(n_classes - py::int_(1)), int32), s, s,
                          s, s, abstract_array(jax, py::tuple(), int32), s);
  };
  return compiled(call, key, fit_mode_core, py::make_tuple(py::bool_(by_evidence)), arguments);
}

py::object update_mode_executable(const Call& call, py::handle dtype, py::ssize_t memory,
                                  py::ssize_t bucket, const py::int_& d_aug, py::ssize_t rows) {
  py::object np = call.global("np");
  py::object jax = call.global("jax");
  const std::string key = ShapeKey(np, "update mode", dtype)
                              .size("m", memory)
                              .size("n", bucket)
                              .size("d", d_aug)
                              .size("rows", rows)
                              .str();
  auto arguments = [&]() -> py::tuple {
    py::object int32 = np.attr("int32");
    py::object s = abstract_array(jax, py::tuple(), dtype);
    py::int_ rd = py::int_(rows) * d_aug;
    auto trials = [&](py::ssize_t n) {
      return py::make_tuple(abstract_array(jax, py::make_tuple(n, d_aug), dtype),
                            abstract_array(jax, py::make_tuple(n), int32),
                            abstract_array(jax, py::make_tuple(n), dtype));
    };
    py::tuple rest = py::make_tuple(abstract_array(jax, py::make_tuple(rows), int32),
                                    abstract_array(jax, py::make_tuple(rows, d_aug), dtype),
                                    abstract_array(jax, py::make_tuple(rd, rd), dtype),
                                    abstract_array(jax, py::make_tuple(rd), dtype),
                                    abstract_array(jax, py::make_tuple(rows, d_aug, d_aug), dtype),
                                    s, s, s, s, s, abstract_array(jax, py::tuple(), int32), s,
                                    abstract_array(jax, py::make_tuple(memory), dtype),
                                    abstract_array(jax, py::make_tuple(bucket), dtype),
                                    abstract_array(jax, py::make_tuple(rd), dtype), s);
    return py::tuple(trials(memory) + trials(bucket) + rest);
  };
  return compiled(call, key, update_mode_core, py::tuple(), arguments);
}

py::tuple fit_mode_arguments(py::handle np, const learning::FitArguments& args, py::ssize_t bucket,
                             py::ssize_t memory_size) {
  py::handle dtype = args.dtype;
  const auto n = args.Xn.attr("shape")[py::int_(0)].cast<py::ssize_t>();
  py::object weight = np.attr("zeros")(bucket, "dtype"_a = dtype);
  weight[py::slice(0, n, 1)] = 1;
  // The earliest trials beyond the memory's capacity are folded into the anchor.
  const py::ssize_t remembered = std::min(n, memory_size);
  py::object folded = np.attr("zeros")(bucket, "dtype"_a = dtype);
  folded[py::slice(0, n - remembered, 1)] = 1;
  return py::make_tuple(
      padded_features(np, args.Xn, bucket, dtype, true), padded_labels(np, args.y0, bucket), weight,
      folded, args.layout.non_ref.attr("astype")(np.attr("int32")), scalar(np, args.w_loc, dtype),
      scalar(np, 1.0 / (args.w_scale * args.w_scale), dtype), scalar(np, args.b_loc, dtype),
      scalar(np, 1.0 / (args.b_scale * args.b_scale), dtype));
}

py::object fit_mode_record(const Call& call, learning::FitArguments args, py::handle outputs,
                           py::ssize_t memory_size) {
  py::object np = call.global("np");
  py::handle dtype = args.dtype;
  const auto n = args.Xn.attr("shape")[py::int_(0)].cast<py::ssize_t>();
  const py::ssize_t remembered = std::min(n, memory_size);
  py::int_ d_aug = host_int(args.Xn.attr("shape")[py::int_(1)]) + py::int_(1);
  auto out = [&](int i) { return py::object(outputs[py::int_(i)]); };
  const double w_prec = host_double(out(2));
  if (args.w_scale_auto) args.w_scale = 1.0 / std::sqrt(w_prec);
  py::dict params = learning::fit_params(np, args, out(0), out(1));
  py::object X_kept = rows_of(args.Xn, n - remembered, n);
  py::object y_kept = rows_of(args.y0, n - remembered, n);
  add_memory_entries(np, params, X_kept, y_kept, np.attr("ones")(remembered, "dtype"_a = dtype),
                     out(4), out(5), out(6), memory_size, args.layout.counts);
  // The first update has no direction yet: it leaves the scale the fit chose
  // and finds the direction for the next.
  const py::int_ k_d = py::int_(py::len(args.layout.non_ref)) * d_aug;
  add_scale_entries(np, params, args.w_scale_auto, np.attr("zeros")(k_d, "dtype"_a = dtype));
  py::object model = learning::make_record(call, params);
  model.attr("n_sweeps") = host_int(out(3));
  return model;
}

const FunctionDef& fit_mode_traced() {
  return fit_mode_core;
}

py::object fit_by_mode(const Call& call, learning::FitArguments args, py::handle tol,
                       py::ssize_t memory_size) {
  py::object np = call.global("np");
  py::handle dtype = args.dtype;
  py::tuple shape = args.Xn.attr("shape");
  py::int_ d_aug = host_int(shape[1]) + py::int_(1);
  const py::ssize_t bucket = shared_bucket(shape[0].cast<py::ssize_t>(), [&](py::ssize_t b) {
    return fit_mode_key(np, dtype, b, d_aug, args.n_classes, args.w_scale_auto);
  });
  py::object executable =
      fit_mode_executable(call, dtype, bucket, d_aug, args.n_classes, args.w_scale_auto);
  py::object tol_value =
      tol.is_none() ? scalar(np, 0.0, dtype) : py::reinterpret_borrow<py::object>(tol);
  py::tuple arguments = fit_mode_arguments(np, args, bucket, memory_size);
  py::object out = executable(*arguments, np.attr("int32")(args.num_steps), tol_value);
  return fit_mode_record(call, std::move(args), out, memory_size);
}

py::object update_by_mode(const Call& call, const learning::UpdateArguments& args, py::handle tol,
                          py::handle forgetting, py::ssize_t memory_fallback) {
  py::object np = call.global("np");
  py::handle dtype = args.dtype;
  py::object float64 = np.attr("float64"), int64 = np.attr("int64");
  py::tuple shape = args.Xn.attr("shape");
  const auto n_new = shape[0].cast<py::ssize_t>();
  py::int_ n_features = host_int(shape[1]);
  py::int_ d_aug = n_features + py::int_(1);
  py::object old_counts =
      np.attr("asarray")(args.model.attr("params")["class_counts"], "dtype"_a = int64);
  const Memory memory =
      read_memory(np, args, old_counts, n_features, d_aug, dtype, memory_fallback);
  const learning::ClassState state = learning::grown_class_state(np, np, args, n_features, d_aug);

  const auto k_old = static_cast<py::ssize_t>(py::len(args.non_ref));
  const auto k_new = static_cast<py::ssize_t>(py::len(state.non_ref));
  const py::ssize_t rows = mode_row_bucket(k_old, k_new);
  const auto d = d_aug.cast<py::ssize_t>();
  py::object classes = np.attr("full")(rows, learning::kEmptyRow, "dtype"_a = np.attr("int32"));
  classes[py::slice(0, k_new, 1)] = state.non_ref;
  // Rows past the stored ones start at the prior mean.
  py::object m_row = np.attr("full")(d, args.w_loc, "dtype"_a = dtype);
  m_row[py::int_(-1)] = args.b_loc;
  py::object W_prev = np.attr("tile")(m_row, py::make_tuple(rows, 1));
  W_prev[py::slice(0, k_new, 1)] = state.beta_mean;
  py::object anchor_hessian =
      np.attr("zeros")(py::make_tuple(rows * d, rows * d), "dtype"_a = dtype);
  anchor_hessian[py::make_tuple(py::slice(0, k_old * d, 1), py::slice(0, k_old * d, 1))] =
      memory.hessian;
  py::object anchor_shift = np.attr("zeros")(rows * d, "dtype"_a = dtype);
  anchor_shift[py::slice(0, k_old * d, 1)] = memory.shift;
  py::object anchor_tilt = np.attr("zeros")(py::make_tuple(rows, d, d), "dtype"_a = dtype);
  anchor_tilt[py::slice(0, k_old, 1)] = memory.tilt;
  py::object direction = np.attr("zeros")(rows * d, "dtype"_a = dtype);
  direction[py::slice(0, k_old * d, 1)] = memory.direction;
  const bool follows = scale_follows(np, args.model.attr("params"));

  // Forgetting per trial: the anchor and every remembered trial lose weight
  // gamma for each new trial, which pulls the posterior towards the prior.
  double keep = 1.0;
  if (!forgetting.is_none()) keep = std::pow(host_double(forgetting), static_cast<double>(n_new));
  py::object X_all = np.attr("concatenate")(py::make_tuple(memory.X, args.Xn), "axis"_a = 0);
  py::object y_all = np.attr("concatenate")(py::make_tuple(memory.y, args.y0), "axis"_a = 0);
  py::object w_all =
      np.attr("concatenate")(py::make_tuple(memory.weight * scalar(np, keep, dtype),
                                            np.attr("ones")(n_new, "dtype"_a = dtype)),
                             "axis"_a = 0);
  // Which trials are new: the prequential step of the scale scores only them.
  py::object new_all =
      np.attr("concatenate")(py::make_tuple(np.attr("zeros")(py::len(memory.y), "dtype"_a = dtype),
                                            np.attr("ones")(n_new, "dtype"_a = dtype)),
                             "axis"_a = 0);
  const auto total = static_cast<py::ssize_t>(py::len(y_all));
  const py::ssize_t size = memory.size;
  const py::ssize_t leaving = std::max<py::ssize_t>(0, total - size);
  const py::ssize_t bucket = trial_bucket(n_new);

  py::object executable = update_mode_executable(call, dtype, size, bucket, d_aug, rows);
  py::object minus_one = py::int_(-1), zero = py::int_(0);
  py::object int32 = np.attr("int32");
  py::object w_scale_alpha = scalar(np, 1.0 / (args.w_scale * args.w_scale), dtype);
  py::object tol_value =
      tol.is_none() ? scalar(np, 0.0, dtype) : py::reinterpret_borrow<py::object>(tol);
  py::tuple out = executable(
      padded_features(np, rows_of(X_all, leaving, total), size, dtype, true),
      padded_to(np, rows_of(y_all, leaving, total).attr("astype")(int32), size, int32, minus_one),
      padded_to(np, rows_of(w_all, leaving, total), size, dtype, zero),
      padded_features(np, rows_of(X_all, 0, leaving), bucket, dtype, true),
      padded_to(np, rows_of(y_all, 0, leaving).attr("astype")(int32), bucket, int32, minus_one),
      padded_to(np, rows_of(w_all, 0, leaving), bucket, dtype, zero), classes, W_prev,
      anchor_hessian, anchor_shift, anchor_tilt, scalar(np, keep, dtype),
      scalar(np, args.w_loc, dtype), w_scale_alpha, scalar(np, args.b_loc, dtype),
      scalar(np, 1.0 / (args.b_scale * args.b_scale), dtype), np.attr("int32")(args.num_steps),
      tol_value, padded_to(np, rows_of(new_all, leaving, total), size, dtype, zero),
      padded_to(np, rows_of(new_all, 0, leaving), bucket, dtype, zero), direction,
      scalar(np, follows ? kScaleRate : 0.0, dtype));

  py::object W = np.attr("asarray")(out[0])[py::slice(0, k_new, 1)];
  py::object factors = np.attr("asarray")(out[1])[py::slice(0, k_new, 1)];
  py::dict params = learning::updated_params(np, args, state, W, factors);
  if (follows) {
    params[record::w_scale] =
        np.attr("array")(1.0 / std::sqrt(host_double(out[6])), "dtype"_a = float64);
  }
  py::slice kept(0, k_new * d, 1);
  add_memory_entries(np, params, rows_of(X_all, leaving, total), rows_of(y_all, leaving, total),
                     rows_of(w_all, leaving, total),
                     np.attr("asarray")(out[2])[py::make_tuple(kept, kept)],
                     np.attr("asarray")(out[3])[kept],
                     np.attr("asarray")(out[5])[py::slice(0, k_new, 1)], size, state.class_counts);
  add_scale_entries(np, params, follows, np.attr("asarray")(out[7])[kept]);
  py::object model = learning::make_record(call, params);
  model.attr("n_sweeps") = host_int(out[4]);
  return model;
}

}  // namespace kelvra::engine
