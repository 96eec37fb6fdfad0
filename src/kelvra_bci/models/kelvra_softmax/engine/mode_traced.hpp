// The traced bodies of the fit and the update by the posterior mode, and the
// one description of each compiled function: what a call site names.
#pragma once

#include "engine/signature.hpp"

namespace kelvra::engine {

// The scale follows the prequential evidence: each update first scores its
// new trials at the stored mode, before their labels count, and moves log
// w_prec up the gradient of that log-likelihood, rate times the gradient, by
// at most kMaxScaleMove per update. The gradient sums over the new trials, so
// a block moves the scale about as far as its trials would one at a time.
// The product of such one-step predictions is the evidence of the session,
// and unlike the evidence of prior x anchor x memory it does not hold the
// curvature of the trials that left the memory still (that one pulls the
// scale ever smaller on nearly separable data). Rate 0.6 took the digits
// stream's log-loss from 0.282 to 0.269 and its ECE from 0.048 to 0.023, and
// left the simulated sessions within 0.002 (benchmarks/bench_calibration.py;
// 0.3 gave 0.027, 1.0 a worse log-loss on the simulated sessions). A move of
// at most 0.2 bound nearly every step of the demo's eeg session, whose
// calibration picks a weak prior that its drifting stream contradicts; 0.4
// lets the scale fall from 10.7 to 4.1 there instead of 6.3 and took the
// digits stream's ECE to 0.019 (1.0 gave 0.023 there).
inline constexpr double kScaleRate = 0.6;

extern const Signature fit_mode_core;
extern const Signature update_mode_core;

// The shape of the compiled fit by the mode: `bucket` padded trials, `d_aug`
// columns, `n_classes` classes, the evidence switch, whether any trial is
// folded into the anchor; the Newton steps' space follows from the sizes.
Shape fit_mode_shape(py::handle np, py::handle dtype, py::ssize_t bucket, const py::int_& d_aug,
                     const py::int_& n_classes, bool by_evidence, bool folds);

// What the compiled fit by the mode captures, by position.
enum class FitCaptured : std::size_t { by_evidence, trial_space, folds };
py::tuple fit_mode_captured(py::ssize_t bucket, const py::int_& d_aug, bool by_evidence,
                            bool folds);

}  // namespace kelvra::engine
