// The engine's fit and update by the posterior mode (method "mode", update
// rule "mode") on the host: the trials padded and weighed, the record's
// memory read and written back around one compiled call. What runs compiled
// is in mode_traced.cpp, the memory's format in memory.cpp.
#include <algorithm>
#include <cmath>
#include <string>

#include "common/python.hpp"
#include "common/record.hpp"
#include "core/mode.hpp"
#include "core/records.hpp"
#include "engine/buckets.hpp"
#include "engine/compile.hpp"
#include "engine/engine.hpp"
#include "engine/memory.hpp"
#include "engine/mode_traced.hpp"

namespace kelvra::engine {

using namespace pybind11::literals;

bool is_mode(py::handle choice) {
  return py::isinstance<py::str>(choice) && choice.cast<std::string>() == "mode";
}

py::ssize_t mode_rows(py::ssize_t stored_rows, py::ssize_t rows_after) {
  return std::max<py::ssize_t>(1, std::max(stored_rows, rows_after));
}

NamedValues fit_mode_arguments(py::handle np, const learning::FitArguments& args,
                               py::ssize_t bucket, py::ssize_t memory_size) {
  py::handle dtype = args.dtype;
  const auto n = args.Xn.attr("shape")[py::int_(0)].cast<py::ssize_t>();
  py::object weight = np.attr("zeros")(bucket, "dtype"_a = dtype);
  weight[py::slice(0, n, 1)] = 1;
  // The earliest trials beyond the memory's capacity are folded into the anchor.
  const py::ssize_t remembered = std::min(n, memory_size);
  py::object folded = np.attr("zeros")(bucket, "dtype"_a = dtype);
  folded[py::slice(0, n - remembered, 1)] = 1;
  return {{"X_aug", padded_features(np, args.Xn, bucket, dtype, true)},
          {"yj", padded_labels(np, args.y0, bucket)},
          {"weight", weight},
          {"folded", folded},
          {"classes", args.layout.non_ref.attr("astype")(np.attr("int32"))},
          {"w_loc", scalar(np, args.w_loc, dtype)},
          {"w_prec", scalar(np, 1.0 / (args.w_scale * args.w_scale), dtype)},
          {"b_loc", scalar(np, args.b_loc, dtype)},
          {"b_prec", scalar(np, 1.0 / (args.b_scale * args.b_scale), dtype)}};
}

py::object fit_mode_record(const Call& call, learning::FitArguments args, py::handle outputs,
                           py::ssize_t memory_size, py::ssize_t bucket) {
  py::object np = call.global("np");
  py::handle dtype = args.dtype;
  const auto n = args.Xn.attr("shape")[py::int_(0)].cast<py::ssize_t>();
  const py::ssize_t remembered = std::min(n, memory_size);
  auto out = [&](int i) { return py::object(outputs[py::int_(i)]); };
  // A fit that folded no trial returns no anchor: it is zero, in the shape
  // and dtype an update reads.
  const bool folded = py::len(outputs) > 5;
  const py::ssize_t size = static_cast<py::ssize_t>(py::len(args.layout.non_ref)) *
                           (args.Xn.attr("shape")[py::int_(1)].cast<py::ssize_t>() + 1);
  py::object hessian =
      folded ? out(5) : np.attr("zeros")(py::make_tuple(size, size), "dtype"_a = dtype);
  py::object shift = folded ? out(6) : np.attr("zeros")(size, "dtype"_a = dtype);
  py::object tilt = folded ? out(7) : np.attr("zeros_like")(np.attr("asarray")(out(1)));
  const double w_prec = host_double(out(2));
  if (args.w_scale_auto) args.w_scale = 1.0 / std::sqrt(w_prec);
  py::dict params = learning::fit_params(np, args, out(0), out(1));
  py::object X_kept = rows_of(args.Xn, n - remembered, n);
  py::object y_kept = rows_of(args.y0, n - remembered, n);
  add_memory_entries(np, params, X_kept, y_kept, np.attr("ones")(remembered, "dtype"_a = dtype),
                     hessian, shift, tilt, memory_size, args.layout.counts);
  add_scale_entries(np, params, args.w_scale_auto, np.attr("asarray")(out(4)));
  // Which space the fit's Newton steps ran in, for whoever reads the record;
  // the learning and inference modules do not read it.
  const bool in_trials = learning::trial_space(
      static_cast<double>(bucket), args.Xn.attr("shape")[py::int_(1)].cast<double>() + 1.0);
  params["fit_newton_space"] = np.attr("asarray")(in_trials ? "trials" : "coefficients");
  py::object model = learning::make_record(call, params);
  model.attr("n_sweeps") = host_int(out(3));
  return model;
}

py::object fit_by_mode(const Call& call, learning::FitArguments args, py::handle tol,
                       py::ssize_t memory_size) {
  py::object np = call.global("np");
  py::handle dtype = args.dtype;
  py::tuple shape = args.Xn.attr("shape");
  py::int_ d_aug = host_int(shape[1]) + py::int_(1);
  const bool folds = shape[0].cast<py::ssize_t>() > memory_size;
  const py::ssize_t bucket = shared_bucket(shape[0].cast<py::ssize_t>(), [&](py::ssize_t b) {
    return fit_mode_shape(np, dtype, b, d_aug, args.n_classes, args.w_scale_auto, folds).key();
  });
  py::object executable =
      fit_mode_executable(call, dtype, bucket, d_aug, args.n_classes, args.w_scale_auto, folds);
  py::object tol_value =
      tol.is_none() ? scalar(np, 0.0, dtype) : py::reinterpret_borrow<py::object>(tol);
  Arguments arguments(fit_mode_core);
  for (const auto& [name, value] : fit_mode_arguments(np, args, bucket, memory_size)) {
    arguments.set(name, value);
  }
  arguments.set("num_steps", np.attr("int32")(args.num_steps)).set("tol", tol_value);
  py::object out = executable(*arguments.values());
  return fit_mode_record(call, std::move(args), out, memory_size, bucket);
}

py::object update_by_mode(const Call& call, const learning::UpdateArguments& args, py::handle tol,
                          py::handle forgetting, py::ssize_t memory_fallback, AnchorCheck& anchor) {
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
  const py::ssize_t rows = mode_rows(k_old, k_new);
  const auto d = d_aug.cast<py::ssize_t>();
  py::object classes = np.attr("full")(rows, learning::kEmptyRow, "dtype"_a = np.attr("int32"));
  classes[py::slice(0, k_new, 1)] = state.non_ref;
  // Rows past the stored ones start at the prior mean.
  py::object m_row = np.attr("full")(d, args.w_loc, "dtype"_a = dtype);
  m_row[py::int_(-1)] = args.b_loc;
  py::object W_prev = np.attr("tile")(m_row, py::make_tuple(rows, 1));
  W_prev[py::slice(0, k_new, 1)] = state.beta_mean;
  // The stored rows first, a joining class's rows at zero. Where no class
  // joins, the memory's arrays go as they are: no copy of the (rows d)^2 anchor.
  auto grown = [&](py::handle stored, py::tuple shape, py::object part) {
    if (rows == k_old) return py::reinterpret_borrow<py::object>(stored);
    py::object values = np.attr("zeros")(shape, "dtype"_a = dtype);
    values[part] = stored;
    return values;
  };
  py::slice old_rows(0, k_old, 1), old_stack(0, k_old * d, 1);
  py::object anchor_hessian = grown(memory.hessian, py::make_tuple(rows * d, rows * d),
                                    py::make_tuple(old_stack, old_stack));
  py::object anchor_shift = grown(memory.shift, py::make_tuple(rows * d), old_stack);
  py::object anchor_tilt = grown(memory.tilt, py::make_tuple(rows, d, d), old_rows);
  py::object direction = grown(memory.direction, py::make_tuple(rows * d), old_stack);
  const bool follows = scale_follows(np, args.model.attr("params"));

  // Forgetting per trial: the anchor and every remembered trial lose the
  // factor `forgetting` of their weight for each new trial, which pulls the
  // posterior towards the prior.
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
  py::object tol_value =
      tol.is_none() ? scalar(np, 0.0, dtype) : py::reinterpret_borrow<py::object>(tol);
  // The last `size` trials stay in the memory; the ones before them leave it.
  auto kept = [&](py::handle values) { return rows_of(values, leaving, total); };
  auto left = [&](py::handle values) { return rows_of(values, 0, leaving); };
  py::tuple out = executable(
      *Arguments(update_mode_core)
           .set("X_w", padded_features(np, kept(X_all), size, dtype, true))
           .set("y_w", padded_to(np, kept(y_all).attr("astype")(int32), size, int32, minus_one))
           .set("c_w", padded_to(np, kept(w_all), size, dtype, zero))
           .set("X_e", padded_features(np, left(X_all), bucket, dtype, true))
           .set("y_e", padded_to(np, left(y_all).attr("astype")(int32), bucket, int32, minus_one))
           .set("c_e", padded_to(np, left(w_all), bucket, dtype, zero))
           .set("classes", classes)
           .set("W_prev", W_prev)
           .set("anchor_hessian", anchor_hessian)
           .set("anchor_shift", anchor_shift)
           .set("anchor_tilt", anchor_tilt)
           .set("keep", scalar(np, keep, dtype))
           .set("w_loc", scalar(np, args.w_loc, dtype))
           .set("w_prec", scalar(np, 1.0 / (args.w_scale * args.w_scale), dtype))
           .set("b_loc", scalar(np, args.b_loc, dtype))
           .set("b_prec", scalar(np, 1.0 / (args.b_scale * args.b_scale), dtype))
           .set("num_steps", np.attr("int32")(args.num_steps))
           .set("tol", tol_value)
           .set("new_w", padded_to(np, kept(new_all), size, dtype, zero))
           .set("new_e", padded_to(np, left(new_all), bucket, dtype, zero))
           .set("direction", direction)
           .set("scale_rate", scalar(np, follows ? kScaleRate : 0.0, dtype))
           .values());
  // The call runs on XLA's threads; a bad anchor raises here and its result
  // is dropped unread.
  anchor.run();

  py::object W = np.attr("asarray")(out[0])[py::slice(0, k_new, 1)];
  py::object factors = np.attr("asarray")(out[1])[py::slice(0, k_new, 1)];
  py::dict params = learning::updated_params(np, args, state, W, factors);
  if (follows) {
    params[record::w_scale] =
        np.attr("array")(1.0 / std::sqrt(host_double(out[6])), "dtype"_a = float64);
  }
  // The rows the record keeps, stacked as in the anchor.
  py::slice stacked(0, k_new * d, 1);
  add_memory_entries(np, params, kept(X_all), kept(y_all), kept(w_all),
                     np.attr("asarray")(out[2])[py::make_tuple(stacked, stacked)],
                     np.attr("asarray")(out[3])[stacked],
                     np.attr("asarray")(out[5])[py::slice(0, k_new, 1)], size, state.class_counts);
  add_scale_entries(np, params, follows, np.attr("asarray")(out[7])[stacked]);
  py::object model = learning::make_record(call, params);
  model.attr("n_sweeps") = host_int(out[4]);
  return model;
}

}  // namespace kelvra::engine
