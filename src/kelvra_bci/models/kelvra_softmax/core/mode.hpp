// The posterior mode of the reference-class softmax model and the Gaussian
// around it, found by Newton's method on all class rows at once.
//
// The coefficients of the R class rows are stacked into one vector w of R*d
// entries (row after row). Whatever is known before the trials at hand is a
// quadratic term 1/2 w'Aw - b'w: the prior in a fit; in an update the prior,
// every trial no longer remembered, and the forgetting applied to both. The
// trials at hand enter through their exact softmax likelihood, each with a
// weight (0 for padding rows). Rows that no class holds yet (class -2) take
// no part in the softmax: they stay at their quadratic term's optimum until a
// class arrives for them, so a class can join without a new compiled shape.
//
// Everything here is traced by the engine under jax.jit; arguments are JAX
// arrays (traced or not) of the working dtype, and the loops are
// jax.lax.while_loop bodies, so nothing returns to the host between steps.
#pragma once

#include "common/function.hpp"

namespace kelvra::learning {

// Class of a row that no class holds yet; distinct from the label of a
// padding trial (-1), so that padding never counts as a member.
inline constexpr int kEmptyRow = -2;

// The bounds within which the evidence keeps the weight precision w_prec =
// 1 / w_scale**2 (w_scale from 0.01 to 10): a data set that separates
// perfectly would otherwise drive it to zero, and probabilities to 0 and 1
// that float32 cannot tell apart.
inline constexpr double kWPrecFloor = 1e-2;
inline constexpr double kWPrecCeiling = 1e4;

// The trials of one likelihood term.
struct Trials {
  py::object X_aug;   // (n, d) design rows, bias column last; zero rows in padding
  py::object yj;      // (n,) int32 zero-based labels, -1 in padding
  py::object weight;  // (n,) weight of each trial's log-likelihood, 0 in padding
};

// The class rows: which class each row holds (kEmptyRow for none).
struct Rows {
  py::object classes;  // (R,) int32
};

// Gradient (R*d,) and Hessian (R*d, R*d) of the weighted negative
// log-likelihood of `trials` at the stacked rows `W` (R, d).
std::pair<py::object, py::object> likelihood_terms(py::handle globals, const Trials& trials,
                                                   const Rows& rows, py::handle W);

// Gradient (R*d,) of the weighted negative log-likelihood alone, without
// the Hessian's cost.
py::object likelihood_gradient(py::handle globals, const Trials& trials, const Rows& rows,
                               py::handle W);

// The prior over the stacked rows: a Gaussian whose weight block is scaled by
// the weight precision w_prec, 1/2 w'(w_prec A_w + A_b)w - (w_prec b_w +
// b_b)'w, so that the evidence can move w_prec; for a fixed quadratic term
// A_w and b_w are zero.
//
// The prior of a fit is a Kronecker product, coupling (x) diag(w_prec for
// the weights, b_prec for the bias), and also kept as its factors: a fit
// with fewer trials than coefficients per row takes its Newton steps in the
// space of the trials (see trial_space), where gram_w, gram_b hold the
// trials' Gram matrices. There, and in an update, A_w and A_b are None and
// never formed.
struct Quadratic {
  py::object A_w, A_b;                // (R*d, R*d), or None (the trial space, an update)
  py::object b_w, b_b;                // (R*d,)
  py::object m0;                      // (R*d,) the prior mean, for the evidence's weight norm
  py::object n_weights;               // 0-d: weight coefficients the evidence counts
  py::object coupling = py::none();   // (R, R) I - mm'/K, the rows' coupling
  py::object is_weight = py::none();  // (d,) 1 for a weight, 0 for the bias
  py::object b_prec = py::none();     // 0-d precision of the bias
  py::object gram_w = py::none();     // (n, n) X_w X_w' of the trials, weights only
  py::object gram_b = py::none();     // (n, n) x_b x_b', the bias column's
  // An update holds w_prec fixed, and its anchor makes the precision no
  // Kronecker product: the prior at w_prec plus the anchor, and its absolute
  // values, formed once for every Newton step (see anchored); None in a fit.
  py::object held = py::none();
  py::object held_abs = py::none();
};

// Whether a fit on `n_trials` (padded) trials of `d_aug` coefficients per
// row takes its Newton steps in the space of the trials: each step then
// factors an (n R)-square matrix instead of an (R d)-square one.
bool trial_space(double n_trials, double d_aug);

// The prior of the rows that hold a class: every class of the model, the
// reference included, has coefficients drawn independently from
// N((w_loc, ..., b_loc), diag(1/w_prec, ..., 1/b_prec)), and each row is its
// class's coefficients minus the reference class's. The rows are therefore
// correlated a priori, with precision (I - 11'/K) (x) diag(w_prec, ..., b_prec)
// over the K - 1 rows, and the mode is that of the symmetric softmax: it does
// not depend on which class is the reference. Rows that hold no class get an
// independent prior of the same scale. Scalars may be traced.
// With `dense` false, A_w and A_b are left None (the trial space's prior).
Quadratic row_prior(py::handle globals, py::handle classes, py::handle d_aug, py::handle dtype,
                    py::handle w_loc, py::handle b_loc, py::handle b_prec, bool dense = true);

// The prior `q` made ready for Newton steps in the space of `trials`: the
// Gram matrices of their weights and of their bias column, formed once for
// every weight precision the evidence tries.
Quadratic in_trial_space(py::handle globals, Quadratic q, const Trials& trials);

// The diagonal blocks (R, d, d) of the prior precision at weight precision w_prec.
py::object prior_row_blocks(py::handle globals, const Quadratic& q, py::handle w_prec);

// An update's quadratic term: the prior `q` (its factors only) at the
// weight precision w_prec, which the update holds fixed, plus the anchor:
// the trials no longer remembered, as the Hessian (R*d, R*d) and the shift
// (R*d,) of their log-likelihood.
Quadratic anchored(py::handle globals, Quadratic q, py::handle w_prec, py::handle hessian,
                   py::handle shift);

// The Hessian H of a Newton step as factored. Dense: `factor` is the
// Cholesky factor of H (R*d, R*d). In the trial space, with A the prior
// precision, U the trials' design on every row and S per trial a square root
// of its likelihood's curvature block: H = A + U'SS'U, and `factor` is the
// Cholesky factor of M = I + S'UA^-1U'S (n*R, n*R), so that H^-1 = A^-1 -
// A^-1U'S M^-1 S'UA^-1 and log det H = log det A + log det M.
struct Curvature {
  py::object factor;
  py::object mix;     // trial space: (n, R, R) the S of every trial; dense: unused
  py::object w_prec;  // 0-d weight precision of the A the factor was made with
};

struct ModeResult {
  py::object W;              // (R, d) the mode
  py::object w_prec;         // 0-d weight precision, moved by the evidence when asked to
  py::object n_steps;        // 0-d int32 Newton steps taken
  py::object factor;         // the last step's factor (see Curvature)
  py::object mix;            // and its trials' square roots
  py::object factor_w_prec;  // and its weight precision
};

// How the mode moves per unit of log w_prec, dw/dlog(w_prec) = -w_prec
// H^-1 A_w (w - m0), H the Hessian at the mode: solved with the loop's last
// factor (made at the start of its last Newton step, or of the one before
// where that step kept it, see find_mode's `chord`) and refined once with
// the mode's own Hessian. (R*d,). Either path; the trial space never forms
// an (R*d)-square matrix.
py::object scale_slope(py::handle globals, const Trials& trials, const Rows& rows,
                       const Quadratic& q, const ModeResult& mode);

// Newton steps from `W0` towards the mode of quadratic x likelihood(trials),
// each with the best of a few step lengths, until the largest change of a row
// relative to the largest coefficient falls below `tol` or `num_steps` steps
// ran. Where `evidence` (None, or a 0-d boolean that may be traced) holds,
// each step also moves w_prec to the fixed point of the evidence (MacKay's
// well_determined / ||w - m0||^2), with well_determined, the count of
// well-determined weights, taken from the Laplace covariance of all rows
// together. With `chord` (never with the evidence), a step whose moves
// contracted fast leaves its factor to the next one.
ModeResult find_mode(py::handle globals, const Trials& trials, const Rows& rows,
                     const Quadratic& quadratic, py::handle W0, py::handle w_prec0,
                     py::handle evidence, py::handle num_steps, py::handle tol, bool chord = false);

// The mode under the weight scale the evidence picks, no cross-validation
// needed: the geometric mean of MacKay's fixed point and the maximum of the
// Laplace evidence over a grid of larger scales. n_steps counts every Newton
// step of the searches and of the final mode.
ModeResult choose_scale(py::handle globals, const Trials& trials, const Rows& rows,
                        const Quadratic& quadratic, py::handle W0, py::handle w_prec0,
                        py::handle num_steps, py::handle tol);

// Each row's covariance at the mode W is the Polya-Gamma tilt of its binary
// problem there (the log-sum-exp of the other classes as the offset), prec =
// A_rr + X' diag(omega) X. It is the narrowest of the Gaussians at the mode
// and the one that predicts best with independent draws per row: the rows'
// marginal Laplace covariances leave out their correlation, and draws from
// them scatter the logits far too widely.
//
// The data part X' diag(omega) X of every row (R, d, d) at W, each trial
// weighted by its weight. Kept apart so that trials an update no longer
// remembers still count in its covariance, at the mode they left at.
py::object tilt_blocks(py::handle globals, const Trials& trials, const Rows& rows, py::handle W);

// Lower Cholesky factors (R, d, d) of the covariances whose precisions are
// `blocks` plus the diagonal blocks of the quadratic term A (R*d, R*d).
py::object tilt_factors(py::handle globals, py::handle blocks, py::handle A);

// The same with the quadratic term's diagonal blocks (R, d, d) given.
py::object tilt_factors_of_blocks(py::handle globals, py::handle blocks, py::handle prior_blocks);

}  // namespace kelvra::learning
