// The fit and update by the posterior mode as traced once per shape: Newton's
// method on all class rows at once, the covariance of each row at the mode,
// the trials leaving the memory folded into the anchor, and the step of a
// weight precision that follows the evidence.
#include "engine/mode_traced.hpp"

#include "common/python.hpp"
#include "core/mode.hpp"
#include "engine/compile.hpp"
#include "engine/engine.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/engine/mode_traced.cpp";

// The most one update moves log w_prec (see kScaleRate).
constexpr double kMaxScaleMove = 0.4;

// ---------------------------------------------------------------- the fit

// Traced once per shape: the mode and, when asked, the weight precision the
// evidence settles on; then the covariance of every row (its tilt at the mode), and the
// trials that the memory will not hold folded into the anchor at the mode.
// With fewer padded trials than coefficients per row the Newton steps run in
// the space of the trials and no (R*d)-square matrix is formed for them; the
// folded trials' anchor is one only when some trial is folded (a record
// whose trials all stay in the memory stores a zero anchor, made on the host).
py::object fit_mode_core_body(Call& call) {
  py::object jnp = call.global("jnp");
  py::handle X_aug = call.arg("X_aug");
  py::object dtype = X_aug.attr("dtype");
  py::object d_aug = X_aug.attr("shape")[py::int_(1)];
  const learning::Trials trials{py::reinterpret_borrow<py::object>(X_aug),
                                py::reinterpret_borrow<py::object>(call.arg("yj")),
                                py::reinterpret_borrow<py::object>(call.arg("weight"))};
  const learning::Rows rows{py::reinterpret_borrow<py::object>(call.arg("classes"))};
  auto flag = [&](FitCaptured which) {
    return PyObject_IsTrue(call.captured(static_cast<std::size_t>(which)).ptr()) == 1;
  };
  const bool by_evidence = flag(FitCaptured::by_evidence);
  const bool in_trials = flag(FitCaptured::trial_space);
  const bool folds = flag(FitCaptured::folds);
  learning::Quadratic prior =
      learning::row_prior(call.globals(), rows.classes, d_aug, dtype, call.arg("w_loc"),
                          call.arg("b_loc"), call.arg("b_prec"), !in_trials);
  if (in_trials) prior = learning::in_trial_space(call.globals(), std::move(prior), trials);
  py::object R = rows.classes.attr("shape")[py::int_(0)];
  py::object W0 = prior.m0.attr("reshape")(py::make_tuple(R, d_aug));
  const learning::ModeResult mode =
      by_evidence
          ? learning::choose_scale(call.globals(), trials, rows, prior, W0, call.arg("w_prec"),
                                   call.arg("num_steps"), call.arg("tol"))
          : learning::find_mode(call.globals(), trials, rows, prior, W0, call.arg("w_prec"),
                                py::none(), call.arg("num_steps"), call.arg("tol"));

  py::object blocks = learning::tilt_blocks(call.globals(), trials, rows, mode.W);
  py::object factors =
      in_trials
          ? learning::tilt_factors_of_blocks(
                call.globals(), blocks,
                learning::prior_row_blocks(call.globals(), prior, mode.w_prec))
          : learning::tilt_factors(call.globals(), blocks, mode.w_prec * prior.A_w + prior.A_b);
  py::object w = mode.W.attr("reshape")(py::make_tuple(-1));
  // The first update's step of the scale starts from here.
  py::object direction = learning::scale_slope(call.globals(), trials, rows, prior, mode);
  if (!folds) {
    return py::make_tuple(mode.W, factors, mode.w_prec, mode.n_steps, direction);
  }
  const learning::Trials folded{trials.X_aug, trials.yj,
                                py::reinterpret_borrow<py::object>(call.arg("folded"))};
  auto [grad_old, hessian_old] = learning::likelihood_terms(call.globals(), folded, rows, mode.W);
  py::object shift = matmul(hessian_old, w) - grad_old;
  py::object tilt_old = learning::tilt_blocks(call.globals(), folded, rows, mode.W);
  return py::make_tuple(mode.W, factors, mode.w_prec, mode.n_steps, direction, hessian_old, shift,
                        tilt_old);
}

// ---------------------------------------------------------------- the update

// The weight precision of this update: the stored one, moved by the
// prequential step when scale_rate is positive (see kScaleRate). `fresh`
// weighs the new trials only; their log-likelihood's gradient is taken at the
// stored mode, and `direction` (zero for rows the stored record lacked) says
// how that mode moves with log w_prec. The move stays within the bounds of
// the evidence's fixed point (kWPrecFloor, kWPrecCeiling), but a scale the
// fit chose beyond them (its grid reaches past MacKay's bound: 10.7 on the
// demo's eeg calibration) is not pulled back to the bound: it only moves
// where its evidence takes it, and only inwards.
py::object followed_scale(Call& call, const learning::Trials& fresh, const learning::Rows& rows) {
  py::object jnp = call.global("jnp");
  py::handle w_prec = call.arg("w_prec");
  py::handle rate = call.arg("scale_rate");
  py::object dtype = fresh.X_aug.attr("dtype");
  py::object gradient =
      -learning::likelihood_gradient(call.globals(), fresh, rows, call.arg("W_prev"));
  py::object slope = jnp.attr("dot")(gradient, call.arg("direction"));
  // A slope that overflowed (huge features against a stored direction) moves nothing.
  py::object move = jnp.attr("where")(jnp.attr("isfinite")(slope),
                                      jnp.attr("clip")(rate * slope, -kMaxScaleMove, kMaxScaleMove),
                                      jnp.attr("zeros_like")(slope));
  py::object lowest = jnp.attr("minimum")(w_prec, learning::kWPrecFloor);
  py::object highest = jnp.attr("maximum")(w_prec, learning::kWPrecCeiling);
  py::object moved =
      jnp.attr("clip")(jnp.attr("exp")(jnp.attr("log")(w_prec) + move), lowest, highest)
          .attr("astype")(dtype);
  // A scale that does not follow is passed through untouched, not rounded
  // through log and exp.
  return jnp.attr("where")(less(jnp.attr("array")(0, "dtype"_a = dtype), rate), moved, w_prec);
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

  const learning::Trials fresh{seen.X_aug, seen.yj, joined(call.arg("new_w"), call.arg("new_e"))};
  py::object w_prec = followed_scale(call, fresh, rows);
  const learning::Quadratic quadratic = learning::anchored(
      call.globals(),
      learning::row_prior(call.globals(), rows.classes, d_aug, dtype, call.arg("w_loc"),
                          call.arg("b_loc"), call.arg("b_prec"), /*dense=*/false),
      w_prec, anchor_hessian, anchor_shift);
  const learning::ModeResult mode =
      learning::find_mode(call.globals(), seen, rows, quadratic, call.arg("W_prev"), w_prec,
                          py::none(), call.arg("num_steps"), call.arg("tol"), /*chord=*/true);
  // The covariance counts the trials the anchor holds by their tilt, as a fit
  // on every trial would, not by the Laplace curvature the mode used.
  py::object factors = learning::tilt_factors_of_blocks(
      call.globals(), learning::tilt_blocks(call.globals(), seen, rows, mode.W) + anchor_tilt,
      learning::prior_row_blocks(call.globals(), quadratic, w_prec));

  auto [grad_e, hessian_e] = learning::likelihood_terms(call.globals(), leaving, rows, mode.W);
  py::object w = mode.W.attr("reshape")(py::make_tuple(-1));
  py::object hessian = anchor_hessian + hessian_e;
  py::object shift = anchor_shift + matmul(hessian_e, w) - grad_e;
  py::object tilt = anchor_tilt + learning::tilt_blocks(call.globals(), leaving, rows, mode.W);
  py::object direction = learning::scale_slope(call.globals(), seen, rows, quadratic, mode);
  return py::make_tuple(mode.W, factors, hessian, shift, mode.n_steps, tilt, w_prec, direction);
}

}  // namespace

const Signature fit_mode_core("fit mode", "fit_mode_core", "fit.<locals>.fit_mode_core",
                              {"n", "d", "K"}, {"auto", "trials", "folds"},
                              {{"X_aug", {"n", "d"}},
                               {"yj", {"n"}, Dtype::int32},
                               {"weight", {"n"}},
                               {"folded", {"n"}},
                               {"classes", {"K-1"}, Dtype::int32},
                               {"w_loc", {}},
                               {"w_prec", {}},
                               {"b_loc", {}},
                               {"b_prec", {}},
                               {"num_steps", {}, Dtype::int32},
                               {"tol", {}}},
                              fit_mode_core_body, kSource);

// m remembered trials, n leaving ones (the new trials beyond the memory, or
// the oldest it drops), rows class rows of d columns.
const Signature update_mode_core("update mode", "update_mode_core",
                                 "update.<locals>.update_mode_core", {"m", "n", "d", "rows"}, {},
                                 {{"X_w", {"m", "d"}},
                                  {"y_w", {"m"}, Dtype::int32},
                                  {"c_w", {"m"}},
                                  {"X_e", {"n", "d"}},
                                  {"y_e", {"n"}, Dtype::int32},
                                  {"c_e", {"n"}},
                                  {"classes", {"rows"}, Dtype::int32},
                                  {"W_prev", {"rows", "d"}},
                                  {"anchor_hessian", {"rows*d", "rows*d"}},
                                  {"anchor_shift", {"rows*d"}},
                                  {"anchor_tilt", {"rows", "d", "d"}},
                                  {"keep", {}},
                                  {"w_loc", {}},
                                  {"w_prec", {}},
                                  {"b_loc", {}},
                                  {"b_prec", {}},
                                  {"num_steps", {}, Dtype::int32},
                                  {"tol", {}},
                                  {"new_w", {"m"}},
                                  {"new_e", {"n"}},
                                  {"direction", {"rows*d"}},
                                  {"scale_rate", {}}},
                                 update_mode_core_body, kSource);

Shape fit_mode_shape(py::handle np, py::handle dtype, py::ssize_t bucket, const py::int_& d_aug,
                     const py::int_& n_classes, bool by_evidence, bool folds) {
  return Shape(fit_mode_core, np, dtype)
      .size("n", bucket)
      .size("d", d_aug)
      .size("K", n_classes)
      .flag("auto", by_evidence)
      .flag("trials", learning::trial_space(static_cast<double>(bucket), d_aug.cast<double>()))
      .flag("folds", folds);
}

py::tuple fit_mode_captured(py::ssize_t bucket, const py::int_& d_aug, bool by_evidence,
                            bool folds) {
  return py::make_tuple(
      py::bool_(by_evidence),
      py::bool_(learning::trial_space(static_cast<double>(bucket), d_aug.cast<double>())),
      py::bool_(folds));
}

py::object fit_mode_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                               const py::int_& d_aug, const py::int_& n_classes, bool by_evidence,
                               bool folds) {
  return compiled(
      call, fit_mode_shape(call.global("np"), dtype, bucket, d_aug, n_classes, by_evidence, folds),
      fit_mode_captured(bucket, d_aug, by_evidence, folds));
}

py::object update_mode_executable(const Call& call, py::handle dtype, py::ssize_t memory,
                                  py::ssize_t bucket, const py::int_& d_aug, py::ssize_t rows) {
  const Shape shape = Shape(update_mode_core, call.global("np"), dtype)
                          .size("m", memory)
                          .size("n", bucket)
                          .size("d", d_aug)
                          .size("rows", rows);
  return compiled(call, shape);
}

}  // namespace kelvra::engine
