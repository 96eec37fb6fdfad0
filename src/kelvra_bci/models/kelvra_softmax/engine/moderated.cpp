// Class probabilities that carry the posterior's uncertainty about the
// logits, from the joint Laplace posterior of all class rows at the stored
// mode. The stored per-row covariances are the rows' tilts, which leave out
// how the rows move together; the record's memory holds what the joint
// precision needs: the prior at the record's scales, the anchor of the trials
// that left the memory, and the remembered trials themselves.
#include <string>

#include "common/python.hpp"
#include "common/record.hpp"
#include "core/arguments.hpp"
#include "core/edge.hpp"
#include "core/mode.hpp"
#include "core/posterior.hpp"
#include "engine/compile.hpp"
#include "engine/engine.hpp"
#include "engine/memory.hpp"

namespace kelvra::engine {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/engine/moderated.cpp";

// The softmax's pairwise terms exp(-scaled gap) are cut here: a class beaten
// by that much has no probability worth an overflow.
constexpr double kLargestExponent = 700.0;
constexpr double kPi = 3.14159265358979323846;

enum class ModeratedStatic : std::size_t { n_classes };

// Traced once per shape. The precision H of the stacked rows is the prior's,
// the anchor's and the remembered trials' Hessian at the stored mode; one
// Cholesky factor L of it, then for every trial the covariance of its row
// logits, V = (L^-1 G)'(L^-1 G) with G the trial's features placed in each
// row's block. Each pair of classes is compared by the gap of their mean
// logits over sqrt(1 + pi/8 var(gap)) (the probit approximation of the
// Gaussian-softmax integral), the pairs combined as in the softmax, and the
// result renormalised.
py::object proba_moderated_body(Call& call) {
  py::object jax = call.global("jax");
  py::object jnp = call.global("jnp");
  py::handle Xj = call.arg("Xj"), beta_mean = call.arg("beta_mean");
  py::handle non_ref = call.arg("non_ref");
  py::object dtype = Xj.attr("dtype");
  py::object d_aug = beta_mean.attr("shape")[py::int_(1)];
  py::object rows = beta_mean.attr("shape")[py::int_(0)];
  py::object n = Xj.attr("shape")[py::int_(0)];
  py::handle n_classes = call.captured(ModeratedStatic::n_classes);

  const learning::Trials remembered{py::reinterpret_borrow<py::object>(call.arg("X_m")),
                                    py::reinterpret_borrow<py::object>(call.arg("y_m")),
                                    py::reinterpret_borrow<py::object>(call.arg("c_m"))};
  const learning::Rows row_classes{py::reinterpret_borrow<py::object>(non_ref)};
  const learning::Quadratic prior =
      learning::row_prior(call.globals(), non_ref, d_aug, dtype, call.arg("w_loc"),
                          call.arg("b_loc"), call.arg("b_prec"));
  py::object hessian =
      learning::likelihood_terms(call.globals(), remembered, row_classes, beta_mean).second;
  py::object precision =
      call.arg("w_prec") * prior.A_w + prior.A_b + call.arg("anchor_hessian") + hessian;
  py::object factor = jnp.attr("linalg").attr("cholesky")(precision);

  py::object X_aug = jnp.attr("concatenate")(
      py::make_tuple(Xj, jnp.attr("ones")(py::make_tuple(n, 1), "dtype"_a = dtype)), "axis"_a = 1);
  py::object placed =
      jnp.attr("einsum")("rs,ni->rins", jnp.attr("eye")(rows, "dtype"_a = dtype), X_aug)
          .attr("reshape")(py::make_tuple(rows * d_aug, n * rows));
  py::object solved =
      jax.attr("scipy").attr("linalg").attr("solve_triangular")(factor, placed, "lower"_a = true);
  py::object Z = solved.attr("reshape")(py::make_tuple(rows * d_aug, n, rows));
  py::object V_rows = jnp.attr("einsum")("anr,ans->nrs", Z, Z);

  // Every class's logit, the reference's 0 and certain.
  py::object mean =
      inference::features_logits(jnp, Xj, beta_mean, non_ref, call.arg("ref_class"), n_classes);
  py::object V = jnp.attr("zeros")(py::make_tuple(n, n_classes, n_classes), "dtype"_a = dtype);
  V = V.attr("at")[py::make_tuple(all(), non_ref[py::make_tuple(all(), py::none())],
                                  non_ref[py::make_tuple(py::none(), all())])]
          .attr("set")(V_rows);
  py::object diag = jnp.attr("diagonal")(V, "axis1"_a = 1, "axis2"_a = 2);
  py::object var =
      jnp.attr("maximum")(diag[py::make_tuple(all(), all(), py::none())] +
                              diag[py::make_tuple(all(), py::none(), all())] - V * py::float_(2.0),
                          py::float_(0.0));
  py::object gap = mean[py::make_tuple(all(), all(), py::none())] -
                   mean[py::make_tuple(all(), py::none(), all())];
  py::object scaled = gap / jnp.attr("sqrt")(py::float_(1.0) + py::float_(kPi / 8.0) * var);
  py::object terms = jnp.attr("exp")(jnp.attr("minimum")(-scaled, kLargestExponent));
  py::object q = py::float_(1.0) / jnp.attr("sum")(terms, "axis"_a = 2);
  return q / jnp.attr("sum")(q, "axis"_a = 1, "keepdims"_a = true);
}

// n trials asked for, m remembered (the memory's capacity, padded with
// weightless rows), rows class rows of d columns, K classes.
const Signature proba_moderated("proba moderated", "proba_moderated",
                                "predict_proba_moderated.<locals>.proba_moderated",
                                {"n", "m", "d", "rows", "K"}, {},
                                {{"Xj", {"n", "d-1"}},
                                 {"beta_mean", {"rows", "d"}},
                                 {"non_ref", {"rows"}, Dtype::int32},
                                 {"ref_class", {}, Dtype::int32},
                                 {"X_m", {"m", "d"}},
                                 {"y_m", {"m"}, Dtype::int32},
                                 {"c_m", {"m"}},
                                 {"anchor_hessian", {"rows*d", "rows*d"}},
                                 {"w_loc", {}},
                                 {"w_prec", {}},
                                 {"b_loc", {}},
                                 {"b_prec", {}}},
                                proba_moderated_body, kSource);

Shape moderated_shape(py::handle np, py::handle dtype, py::ssize_t bucket, py::ssize_t memory,
                      const py::int_& d_aug, py::ssize_t n_classes) {
  return Shape(proba_moderated, np, dtype)
      .size("n", bucket)
      .size("m", memory)
      .size("d", d_aug)
      .size("rows", n_classes - 1)
      .size("K", n_classes);
}

// The prediction for a record checked but for its anchor's values.
py::object moderated_of_checked(Call& call, py::handle model, AnchorCheck& anchor) {
  py::object np = call.global("np");
  py::object params = model.attr("params");
  py::object Xn = float64_features(np, call.arg("X"), Strictness::strict);
  if (not_equal(Xn.attr("ndim"), py::int_(2))) {
    throw py::value_error("X must be 2D: (n_trials, n_features)");
  }
  // The working dtype is the one the stored means compute in.
  py::object dtype = call.global("jax").attr("dtypes").attr("canonicalize_dtype")(
      np.attr("asarray")(params[record::beta_mean]).attr("dtype"));
  py::object beta_mean = np.attr("asarray")(params[record::beta_mean], "dtype"_a = dtype);
  const py::int_ d_aug = host_int(beta_mean.attr("shape")[py::int_(1)]);
  const py::int_ n_features = d_aug - py::int_(1);
  if (!host_int(Xn.attr("shape")[py::int_(1)]).equal(n_features)) {
    throw py::value_error("X has " + py::str(Xn.attr("shape")[py::int_(1)]).cast<std::string>() +
                          " features, but the model expects " +
                          py::str(n_features).cast<std::string>());
  }
  inference::check_feature_values(np, Xn, dtype);

  // The memory as an update by the mode would read it. A record without one
  // it can trust (fitted by sweeps, or updated by another rule since) holds
  // no joint precision to moderate with: its stand-in would be the stored
  // per-row Gaussians, whose correlation is exactly what this prediction adds.
  learning::UpdateArguments args;
  args.model = py::reinterpret_borrow<py::object>(model);
  args.non_ref = record::read_int_array(np, model, record::non_ref_classes);
  args.w_loc = record::read_double(np, model, record::w_loc);
  args.w_scale = record::read_double(np, model, record::w_scale);
  args.b_loc = record::read_double(np, model, record::b_loc);
  args.b_scale = record::read_double(np, model, record::b_scale);
  args.dtype = dtype;
  py::object counts =
      np.attr("asarray")(params[record::class_counts], "dtype"_a = np.attr("int64"));
  const Memory memory = read_memory(np, args, counts, n_features, d_aug, dtype, 0);
  if (memory.size < 1) {
    throw py::value_error(
        "predict_proba_moderated needs the memory of a record fitted and updated by the mode "
        "(fit method='mode', update rule='mode'); this record holds none it can trust");
  }

  const auto n_classes = record::read_int(np, model, record::n_classes).cast<py::ssize_t>();
  // The record check has made non_ref_classes one row for every class but the reference.
  const auto n = Xn.attr("shape")[py::int_(0)].cast<py::ssize_t>();
  const py::ssize_t bucket = trial_bucket(n);
  py::object executable = moderated_executable(call, dtype, bucket, memory.size, d_aug, n_classes);
  py::object int32 = np.attr("int32");
  const auto remembered = static_cast<py::ssize_t>(py::len(memory.y));
  py::object weight = np.attr("zeros")(memory.size, "dtype"_a = dtype);
  weight[py::slice(0, remembered, 1)] = memory.weight;
  py::object probs = executable(
      *Arguments(proba_moderated)
           .set("Xj", padded_features(np, Xn, bucket, dtype, false))
           .set("beta_mean", beta_mean)
           .set("non_ref", args.non_ref.attr("astype")(int32))
           .set("ref_class", np.attr("asarray")(record::read_int(np, model, record::ref_class),
                                                "dtype"_a = int32))
           .set("X_m", padded_features(np, memory.X, memory.size, dtype, true))
           .set("y_m",
                padded_to(np, memory.y.attr("astype")(int32), memory.size, int32, py::int_(-1)))
           .set("c_m", weight)
           .set("anchor_hessian", memory.hessian)
           .set("w_loc", scalar(np, args.w_loc, dtype))
           .set("w_prec", scalar(np, 1.0 / (args.w_scale * args.w_scale), dtype))
           .set("b_loc", scalar(np, args.b_loc, dtype))
           .set("b_prec", scalar(np, 1.0 / (args.b_scale * args.b_scale), dtype))
           .values());
  anchor.run();
  py::object answer = np.attr("asarray")(probs)[py::slice(0, n, 1)];
  inference::check_finite_probabilities(np, answer, dtype);
  return answer;
}

py::object predict_proba_moderated_body(Call& call) {
  // The anchor's values are checked while the prediction runs, as in an
  // update by the mode.
  py::object model = checked_record(call, py::none(), false);
  AnchorCheck anchor(call, model);
  return anchor.guard([&] { return moderated_of_checked(call, model, anchor); });
}

}  // namespace

py::object moderated_executable(const Call& call, py::handle dtype, py::ssize_t bucket,
                                py::ssize_t memory, const py::int_& d_aug, py::ssize_t n_classes) {
  return compiled(call, moderated_shape(call.global("np"), dtype, bucket, memory, d_aug, n_classes),
                  py::make_tuple(py::int_(n_classes)));
}

const FunctionDef predict_proba_moderated = {
    "predict_proba_moderated",
    "predict_proba_moderated",
    {{"model", "KelvraModel"}, {"X", "np.ndarray"}},
    "np.ndarray",
    "Class probabilities that carry the posterior's uncertainty about the logits.\n"
    "\n"
    "For a record fitted and updated by the mode: the joint Laplace posterior\n"
    "of all class rows at the stored mode (the prior at the record's w_scale\n"
    "and b_scale, the anchor of the trials the memory let go, the remembered\n"
    "trials at their weights) gives each trial's covariance of its logits,\n"
    "and every pair of classes is compared by the gap of their mean logits\n"
    "over sqrt(1 + pi/8 var(gap)), combined as in the softmax and\n"
    "renormalised. Trials far from what the model has seen get probabilities\n"
    "nearer uniform than predict_proba's at the means; deterministic, no draws.\n"
    "\n"
    "A record without a memory it can trust (method 'sweeps', or updated by\n"
    "another rule since) raises ValueError: its per-row Gaussians lack the\n"
    "rows' correlation this prediction is for. Compiled once per shape;\n"
    "trials padded to a bucket. No trials give an empty (0, n_classes) answer.",
    predict_proba_moderated_body,
    kSource,
};

}  // namespace kelvra::engine
