#include "core/mode.hpp"

#include <vector>

#include "common/python.hpp"
#include "core/sweeps.hpp"

namespace kelvra::learning {
namespace {

using namespace pybind11::literals;

constexpr const char* kSource = "kelvra_bci/models/kelvra_softmax/core/mode.cpp";

// Step lengths tried along each Newton direction, longest first; 0 keeps the
// current point, so a step never makes the objective worse. Short ones matter
// where the softmax saturates: a class with no probability yet has almost no
// curvature, and its full Newton step overshoots by orders of magnitude.
constexpr double kStepLengths[] = {1.0,     0.5,      0.25,      0.125,      0.0625,
                                   0.03125, 0.015625, 0.0078125, 0.00390625, 0.0};

// The largest change of one coefficient in one Newton step.
constexpr double kMaxMove = 4.0;

// A step whose second move is at most this fraction of its first shows a
// Hessian that still describes the objective well: where the loop allows it,
// the next step moves with the same factor instead of forming a new one
// (never two steps running).
constexpr double kChordContraction = 0.25;

// The slowest rate at which the evidence's fixed point is taken to be
// approached: a move of log w_prec is worth at most 1 / (1 - rate) of itself.
constexpr double kSlowestRate = 0.99;

// The bounds on the secant's step for the evidence's fixed point, as a
// multiple of the plain step to MacKay's value: far enough to cross a slow
// stretch in a few steps, short enough that the mode, which Newton finds
// alongside, keeps up.
constexpr double kShortestSecant = 0.25;
constexpr double kLongestSecant = 8.0;

py::tuple shape2(py::handle a, py::handle b) {
  return py::make_tuple(a, b);
}

// value[index] as an object, so that arithmetic on it is Python's.
py::object at(py::handle value, py::handle index) {
  return value[index];
}

// The index tuple of a new trailing axis.
py::tuple trail2() {
  return py::make_tuple(all(), py::none());
}

// What the likelihood of a point needs and its step-length search reuses.
struct Softmax {
  py::object eta;     // (n, R) row logits, finite
  py::object member;  // (1, R) rows that hold a class
  py::object Z;       // (n, R) 1 where the trial belongs to the row's class
  py::object P;       // (n, R) probabilities of the rows' classes
  py::object lse;     // (n,) log-normaliser: the reference class's probability is exp(-lse)
};

// Logits with the rows that hold no class left out of the softmax.
py::object masked(py::handle jnp, py::handle member, py::handle eta) {
  return jnp.attr("where")(member, eta, -jnp.attr("inf"));
}

// log(sum(exp(eta)) + 1) along the last axis: the reference class's logit is 0.
py::object log_normaliser(py::handle jax, py::handle jnp, py::handle eta_masked) {
  py::tuple shape = eta_masked.attr("shape");
  py::list ref_shape(shape);
  ref_shape[py::len(ref_shape) - 1] = py::int_(1);
  py::object zero = jnp.attr("zeros")(py::tuple(ref_shape), "dtype"_a = eta_masked.attr("dtype"));
  py::object logits = jnp.attr("concatenate")(py::make_tuple(eta_masked, zero), "axis"_a = -1);
  return jax.attr("nn").attr("logsumexp")(logits, "axis"_a = -1);
}

Softmax softmax_at(py::handle jax, py::handle jnp, const Trials& trials, const Rows& rows,
                   py::handle W) {
  py::object dtype = trials.X_aug.attr("dtype");
  py::object eta = matmul(trials.X_aug, W.attr("T"));
  py::object member = greater_equal(rows.classes[py::make_tuple(py::none(), all())], py::int_(0));
  py::object eta_m = masked(jnp, member, eta);
  py::object lse = log_normaliser(jax, jnp, eta_m);
  py::object P = jnp.attr("exp")(eta_m - at(lse, trail2()));
  py::object Z = equal(trials.yj[py::make_tuple(all(), py::none())],
                       rows.classes[py::make_tuple(py::none(), all())])
                     .attr("astype")(dtype);
  return {std::move(eta), std::move(member), std::move(Z), std::move(P), std::move(lse)};
}

// The gradient (R*d,) of the weighted negative log-likelihood; in the
// logits it is P - Z.
py::object likelihood_gradient(const Trials& trials, const Softmax& s) {
  py::object residual = at(trials.weight, trail2()) * (s.P - s.Z);
  return matmul(residual.attr("T"), trials.X_aug).attr("reshape")(py::make_tuple(-1));
}

// The likelihood's Hessian by pairs of rows. Block (r, s) is sum_n c_n (p_nr
// [r = s] - p_nr p_ns) x_n x_n', symmetric, and block (s, r) is the same
// matrix. Each pair, r <= s, is formed once, in one product over the trials
// with the pairs' weights stacked: half the work of one product of the (n,
// R*d) stack with itself, which forms every block twice.
struct PairBlocks {
  py::object blocks;                            // (pairs, d, d)
  std::vector<std::vector<py::ssize_t>> index;  // [r][s]: the pair of rows r and s
  py::ssize_t rows = 0;
  py::ssize_t d = 0;

  py::object of(py::ssize_t r, py::ssize_t q) const { return blocks[py::int_(index[r][q])]; }
};

PairBlocks pair_blocks(py::handle jnp, const Trials& trials, const Softmax& s) {
  py::handle X = trials.X_aug;
  py::object c = at(trials.weight, trail2());
  const auto R = s.P.attr("shape")[py::int_(1)].cast<py::ssize_t>();
  py::list first, second;
  std::vector<std::vector<py::ssize_t>> index(R, std::vector<py::ssize_t>(R));
  for (py::ssize_t r = 0, pairs = 0; r < R; ++r) {
    for (py::ssize_t q = r; q < R; ++q) {
      first.append(r);
      second.append(q);
      index[r][q] = index[q][r] = pairs++;
    }
  }
  py::object int32 = jnp.attr("int32");
  py::object rows_a = jnp.attr("array")(first, "dtype"_a = int32);
  py::object rows_b = jnp.attr("array")(second, "dtype"_a = int32);
  py::object Pc = c * s.P;
  py::object same = equal(rows_a, rows_b).attr("astype")(X.attr("dtype"));
  // (n, pairs): c_n (p_nr [r = s] - p_nr p_ns)
  py::object weights =
      at(Pc, py::make_tuple(all(), rows_a)) * same -
      at(Pc, py::make_tuple(all(), rows_a)) * at(s.P, py::make_tuple(all(), rows_b));
  return {jnp.attr("einsum")("nk,ni,nj->kij", weights, X, X), std::move(index), R,
          X.attr("shape")[py::int_(1)].cast<py::ssize_t>()};
}

// The (R*d)-square matrix whose block (r, s) is block(r, s), placed by
// static slices: an index array would make XLA gather every entry through
// it, which at a few dozen features cost more than the factorisation. The
// blocks are stacked into (R, d, R, d), which XLA writes in one pass where
// the blocks are at hand; where they are computed on the way (`concatenated`)
// it fuses their arithmetic into concatenated rows instead, and a stack
// there ran 20-30% slower.
template <typename Block>
py::object assembled(py::handle jnp, py::ssize_t R, Block block, bool concatenated = false) {
  py::list block_rows;
  for (py::ssize_t r = 0; r < R; ++r) {
    py::list row;
    for (py::ssize_t q = 0; q < R; ++q) row.append(block(r, q));
    block_rows.append(concatenated ? jnp.attr("concatenate")(row, "axis"_a = 1)
                                   : jnp.attr("stack")(row, "axis"_a = 1));
  }
  if (concatenated) return jnp.attr("concatenate")(block_rows, "axis"_a = 0);
  py::object stacked = jnp.attr("stack")(block_rows);
  py::tuple shape = stacked.attr("shape");
  py::object size = shape[0] * shape[1];
  return stacked.attr("reshape")(shape2(size, size));
}

std::pair<py::object, py::object> terms_from(py::handle jnp, const Trials& trials,
                                             const Softmax& s) {
  const PairBlocks pairs = pair_blocks(jnp, trials, s);
  py::object hessian =
      assembled(jnp, pairs.rows, [&](py::ssize_t r, py::ssize_t q) { return pairs.of(r, q); });
  return {likelihood_gradient(trials, s), std::move(hessian)};
}

bool in_trials(const Quadratic& q) {
  return !q.gram_w.is_none();
}

// The prior precision per coefficient of a row at weight precision w_prec: (d,).
py::object coefficient_precisions(const Quadratic& q, py::handle w_prec) {
  return py::reinterpret_borrow<py::object>(w_prec) * q.is_weight +
         q.b_prec * (py::int_(1) - q.is_weight);
}

// (coupling (x) diag(per_coefficient)) v for stacked rows v (R*d,).
py::object kron_times(py::handle coupling, py::handle per_coefficient, py::handle v) {
  py::object R = coupling.attr("shape")[py::int_(0)];
  py::object rows = py::reinterpret_borrow<py::object>(v).attr("reshape")(py::make_tuple(R, -1));
  return matmul(coupling, rows * per_coefficient).attr("reshape")(py::make_tuple(-1));
}

// The precision at one weight precision: a prior alone as its Kronecker
// factors, in a fit's dense steps as in the trial space, so that its products
// cost O(R^2 d) instead of a pass over an (R*d)-square matrix; an update's
// prior and anchor as the dense matrix it holds for the whole loop.
struct PriorAt {
  py::object A;           // (R*d, R*d) an update's held precision, or None
  py::object A_abs;       // |A|, or None
  py::object coupling;    // (R, R) and
  py::object precisions;  // (d,): the prior is coupling (x) diag(precisions)

  py::object times(py::handle v) const {
    return A.is_none() ? kron_times(coupling, precisions, v) : matmul(A, v);
  }
  // |A| v: the precisions are positive, so |C (x) D| = |C| (x) D.
  py::object abs_times(py::handle jnp, py::handle v) const {
    return A.is_none() ? kron_times(jnp.attr("abs")(coupling), precisions, v) : matmul(A_abs, v);
  }
};

// A_w v, the prior's weight block at unit weight precision: the evidence's
// weight norm and the pull of the scale on the mode.
py::object weight_prior_times(const Quadratic& q, py::handle v) {
  return q.A_w.is_none() ? kron_times(q.coupling, q.is_weight, v) : matmul(q.A_w, v);
}

PriorAt prior_at(const Quadratic& q, py::handle w_prec) {
  return {q.held, q.held_abs, q.coupling, coefficient_precisions(q, w_prec)};
}

// The block (r, s) of the precision A.
py::object prior_block(py::handle jnp, const PriorAt& A, py::ssize_t r, py::ssize_t q,
                       py::ssize_t d) {
  if (!A.A.is_none()) {
    return A.A[py::make_tuple(py::slice(r * d, (r + 1) * d, 1), py::slice(q * d, (q + 1) * d, 1))];
  }
  py::object coupling = A.coupling[py::make_tuple(r, q)];
  return coupling * jnp.attr("diag")(A.precisions);
}

// (M + M')/2 for M = H + A, the matrix a dense Newton step factors, formed
// pair by pair: M's blocks (r, s) and (s, r) hold the same likelihood block,
// so its symmetric part needs each pair once, and the factorisation then
// need not symmetrise the whole matrix again. Every entry is rounded as in
// (M + M')/2 of the whole, so the factor is the same to the last bit.
py::object symmetric_with_prior(py::handle jnp, const PairBlocks& H, const PriorAt& A) {
  std::vector<std::vector<py::object>> sym(H.rows, std::vector<py::object>(H.rows));
  for (py::ssize_t r = 0; r < H.rows; ++r) {
    for (py::ssize_t q = r; q < H.rows; ++q) {
      py::object block = H.of(r, q);
      py::object upper = block + prior_block(jnp, A, r, q, H.d);
      py::object lower = block + prior_block(jnp, A, q, r, H.d);
      sym[r][q] = (upper + lower.attr("T")) / py::int_(2);
      sym[q][r] = sym[r][q].attr("T");
    }
  }
  return assembled(
      jnp, H.rows, [&](py::ssize_t r, py::ssize_t q) { return sym[r][q]; }, /*concatenated=*/true);
}

// The lower Cholesky factor of a matrix already symmetric.
py::object symmetric_factor(py::handle jax, py::handle M) {
  return jax.attr("lax").attr("linalg").attr("cholesky")(M, "symmetrize_input"_a = false);
}

// Each trial's likelihood curvature in the logits, c (diag(p) - p p') over
// the rows, is S S' with S = sqrt(c) (diag(sqrt p) - a p sqrt(p)'), a = 1 /
// (1 + sqrt(p_ref)) and p_ref the reference class's probability: exact, no
// factorisation, and zero for padding and for rows that hold no class.
// (n, R, R), indexed [trial, row of the logits, column].
py::object curvature_roots(py::handle jnp, const Trials& trials, const Softmax& s) {
  py::object dtype = s.P.attr("dtype");
  py::object one = jnp.attr("array")(1, "dtype"_a = dtype);
  py::object root = jnp.attr("sqrt")(s.P);
  py::object a = one / (one + jnp.attr("exp")(s.lse * py::float_(-0.5)));
  py::object R = s.P.attr("shape")[py::int_(1)];
  py::object eye = jnp.attr("eye")(R, "dtype"_a = dtype);
  py::object scaled = at(a, trail2()) * s.P;
  py::object S = at(eye, py::make_tuple(py::none(), all(), all())) *
                     at(root, py::make_tuple(all(), all(), py::none())) -
                 at(scaled, py::make_tuple(all(), all(), py::none())) *
                     at(root, py::make_tuple(all(), py::none(), all()));
  py::object weight = jnp.attr("sqrt")(jnp.attr("maximum")(trials.weight, 0));
  return at(weight, py::make_tuple(all(), py::none(), py::none())) * S;
}

// The trial space's algebra at one factor: A^-1, U'S and S'U.
struct TrialAlgebra {
  py::object jax, jnp;
  const Trials& trials;
  const Quadratic& q;
  const Curvature& curvature;
  py::object coupling_inverse;
  py::object inverse_precisions;

  TrialAlgebra(py::handle jax_, py::handle jnp_, const Trials& trials_, const Quadratic& q_,
               const Curvature& curvature_)
      : jax(py::reinterpret_borrow<py::object>(jax_)),
        jnp(py::reinterpret_borrow<py::object>(jnp_)),
        trials(trials_),
        q(q_),
        curvature(curvature_),
        coupling_inverse(jnp.attr("linalg").attr("inv")(q.coupling)),
        inverse_precisions(py::int_(1) / coefficient_precisions(q, curvature.w_prec)) {}

  py::object prior_inverse_times(py::handle v) const {
    return kron_times(coupling_inverse, inverse_precisions, v);
  }
  // S'U v: (n*R,)
  py::object to_trials(py::handle v) const {
    py::object R = q.coupling.attr("shape")[py::int_(0)];
    py::object rows = py::reinterpret_borrow<py::object>(v).attr("reshape")(py::make_tuple(R, -1));
    py::object eta = matmul(trials.X_aug, rows.attr("T"));
    return jnp.attr("einsum")("nar,na->nr", curvature.mix, eta).attr("reshape")(py::make_tuple(-1));
  }
  // U'S y: (R*d,)
  py::object from_trials(py::handle y) const {
    py::object n = trials.X_aug.attr("shape")[py::int_(0)];
    py::object per_trial = jnp.attr("einsum")(
        "nar,nr->na", curvature.mix,
        py::reinterpret_borrow<py::object>(y).attr("reshape")(py::make_tuple(n, -1)));
    return matmul(per_trial.attr("T"), trials.X_aug).attr("reshape")(py::make_tuple(-1));
  }
  // H^-1 v = A^-1 v - A^-1 U'S M^-1 S'U A^-1 v
  py::object solve(py::handle v) const {
    py::object u = prior_inverse_times(v);
    py::object y = jax.attr("scipy").attr("linalg").attr("cho_solve")(
        py::make_tuple(curvature.factor, true), to_trials(u));
    return u - prior_inverse_times(from_trials(y));
  }
  // v' H^-1 v
  py::object quadratic_form(py::handle v) const {
    py::object u = prior_inverse_times(v);
    py::object z = jax.attr("scipy").attr("linalg").attr("solve_triangular")(
        curvature.factor, to_trials(u), "lower"_a = true);
    return jnp.attr("dot")(v, u) - jnp.attr("sum")(z * z);
  }
};

// The Cholesky factor of M = I + S'(C^-1 (x) G)S, G = X D^-1 X' the trials'
// Gram matrix under the prior's per-coefficient variances: the (n*R,
// n*R)-square matrix a trial-space Newton step factors.
Curvature trial_curvature(py::handle jnp, const Trials& trials, const Quadratic& q,
                          const Softmax& s, py::handle w_prec) {
  py::object S = curvature_roots(jnp, trials, s);
  py::object gram = q.gram_w / w_prec + q.gram_b / q.b_prec;
  py::object C_inverse = jnp.attr("linalg").attr("inv")(q.coupling);
  py::object left = jnp.attr("einsum")("nar,ab->nrb", S, C_inverse);
  py::object pairs = jnp.attr("einsum")("nrb,mbs->nrms", left, S);
  py::tuple shape = S.attr("shape");
  py::object size = shape[0] * shape[1];
  py::object M = (pairs * at(gram, py::make_tuple(all(), py::none(), all(), py::none())))
                     .attr("reshape")(shape2(size, size)) +
                 jnp.attr("eye")(size, "dtype"_a = S.attr("dtype"));
  return {jnp.attr("linalg").attr("cholesky")(M), S, py::reinterpret_borrow<py::object>(w_prec)};
}

// H^-1 v, either path.
py::object hessian_solve(py::handle jax, py::handle jnp, const Trials& trials, const Quadratic& q,
                         const Curvature& curvature, py::handle v) {
  if (in_trials(q)) return TrialAlgebra(jax, jnp, trials, q, curvature).solve(v);
  return jax.attr("scipy").attr("linalg").attr("cho_solve")(py::make_tuple(curvature.factor, true),
                                                            v);
}

// v' H^-1 v, either path.
py::object hessian_quadratic_form(py::handle jax, py::handle jnp, const Trials& trials,
                                  const Quadratic& q, const Curvature& curvature, py::handle v) {
  if (in_trials(q)) return TrialAlgebra(jax, jnp, trials, q, curvature).quadratic_form(v);
  py::object scaled = jax.attr("scipy").attr("linalg").attr("solve_triangular")(curvature.factor, v,
                                                                                "lower"_a = true);
  return jnp.attr("sum")(scaled * scaled);
}

// 1/2 log det H, either path: the sum of the logs of its factor's diagonal,
// in the trial space plus 1/2 log det A = 1/2 (d log det C + R sum log D).
py::object half_log_det(py::handle jnp, const Quadratic& q, const Curvature& curvature) {
  py::object from_factor = jnp.attr("sum")(jnp.attr("log")(jnp.attr("diagonal")(curvature.factor)));
  if (!in_trials(q)) return from_factor;
  py::object precisions = coefficient_precisions(q, curvature.w_prec);
  py::object R = q.coupling.attr("shape")[py::int_(0)];
  py::object d = precisions.attr("shape")[py::int_(0)];
  py::object log_det_C = jnp.attr("linalg").attr("slogdet")(q.coupling)[py::int_(1)];
  py::object log_det_A = d * log_det_C + R * jnp.attr("sum")(jnp.attr("log")(precisions));
  return from_factor + log_det_A.attr("astype")(precisions.attr("dtype")) * py::float_(0.5);
}

// The objective (negative log-posterior up to a constant) at W + t * delta
// for each step length t. One length at a time: XLA's CPU backend (jax
// 0.10) miscomputes the same sums written over one (lengths, trials, rows)
// array once the trials reach 4096 (the last lengths score at random), and
// in float32 Newton then crawled at the shortest length for its every step.
py::object objective_along(py::handle jax, py::handle jnp, const Trials& trials, const Softmax& s,
                           py::handle W, py::handle delta, const PriorAt& A, py::handle b) {
  py::object d_eta = matmul(trials.X_aug, delta.attr("T"));
  py::object w = W.attr("reshape")(py::make_tuple(-1));
  py::object dw = delta.attr("reshape")(py::make_tuple(-1));
  py::object dtype = W.attr("dtype");
  py::object half = jnp.attr("array")(0.5, "dtype"_a = dtype);
  // The prior's part is a quadratic in t: two products with A serve every length.
  py::object A_w = A.times(w), A_dw = A.times(dw);
  py::object at_w = half * jnp.attr("dot")(w, A_w) - jnp.attr("dot")(w, b);
  py::object slope = jnp.attr("dot")(dw, A_w) - jnp.attr("dot")(dw, b);
  py::object curvature = half * jnp.attr("dot")(dw, A_dw);
  py::list values;
  for (double t : kStepLengths) {
    py::object length = jnp.attr("array")(t, "dtype"_a = dtype);
    py::object eta_t = s.eta + length * d_eta;
    py::object lse = log_normaliser(jax, jnp, masked(jnp, s.member, eta_t));
    py::object linear = jnp.attr("sum")(s.Z * eta_t, "axis"_a = 1);
    py::object nll = matmul(lse - linear, trials.weight);
    values.append(nll + at_w + length * (slope + length * curvature));
  }
  return jnp.attr("stack")(values);
}

// The loops' states and their bodies' captured values are named structures.
// Each lists its fields once, in `fields`, and that one list both packs it
// into the flat tuple that jax.lax loops and make_function carry and unpacks
// it again, so that the two can never disagree on a position.
template <typename Struct>
py::tuple packed(Struct value) {
  py::list out;
  value.fields([&](py::object& field) { out.append(field); });
  return py::tuple(std::move(out));
}

template <typename Struct>
Struct unpacked(py::handle tuple) {
  const auto items = py::reinterpret_borrow<py::tuple>(tuple);
  Struct value;
  std::size_t position = 0;
  value.fields([&](py::object& field) { field = items[position++]; });
  return value;
}

// A loop body's captured values, as the structure they were packed from.
template <typename Struct>
Struct captured_as(const Call& call) {
  Struct value;
  std::size_t position = 0;
  value.fields([&](py::object& field) {
    field = py::reinterpret_borrow<py::object>(call.captured(position++));
  });
  return value;
}

// The problem every loop here works on.
struct Problem {
  Trials trials;
  Rows rows;
  Quadratic quadratic;

  template <typename Visit>
  void fields(Visit&& visit) {
    visit(trials.X_aug);
    visit(trials.yj);
    visit(trials.weight);
    visit(rows.classes);
    visit(quadratic.A_w);
    visit(quadratic.A_b);
    visit(quadratic.b_w);
    visit(quadratic.b_b);
    visit(quadratic.m0);
    visit(quadratic.n_weights);
    visit(quadratic.coupling);
    visit(quadratic.is_weight);
    visit(quadratic.b_prec);
    visit(quadratic.gram_w);
    visit(quadratic.gram_b);
    visit(quadratic.held);
    visit(quadratic.held_abs);
  }
};

// What the bodies of a Newton loop capture.
struct NewtonLoop {
  Problem problem;
  py::object evidence;   // None, or a 0-d boolean that switches the evidence on
  py::object num_steps;  // 0-d int32 cap on the steps
  py::object tol;        // 0-d relative change at which the loop stops
  py::object chord;      // None, or True: a step may keep the last step's factor

  template <typename Visit>
  void fields(Visit&& visit) {
    problem.fields(visit);
    visit(evidence);
    visit(num_steps);
    visit(tol);
    visit(chord);
  }
};

// What a Newton loop carries from step to step.
struct NewtonState {
  py::object step;       // 0-d int32 steps taken
  py::object W;          // (R, d) the point reached
  py::object w_prec;     // 0-d weight precision
  py::object change;     // 0-d last relative change, infinite before the first step
  py::object last_move;  // 0-d last step of log w_prec, signed, infinite before the first
  py::object last_gap;   // 0-d MacKay's log w_prec less log w_prec there, NaN before the first
  py::object factor;     // the last step's Hessian as factored (see Curvature)
  py::object mix;
  py::object factor_w_prec;
  py::object reuse;  // 0-d bool: the next step keeps `factor`

  template <typename Visit>
  void fields(Visit&& visit) {
    visit(step);
    visit(W);
    visit(w_prec);
    visit(change);
    visit(last_move);
    visit(last_gap);
    visit(factor);
    visit(mix);
    visit(factor_w_prec);
    visit(reuse);
  }
};

// A step that changed nothing ends the loop whatever tol is: Newton has
// reached a point it cannot improve, and every further step would repeat it
// at full cost.
py::object newton_keep_going_body(Call& call) {
  const auto loop = captured_as<NewtonLoop>(call);
  const auto state = unpacked<NewtonState>(call.arg("carry"));
  py::object moving =
      still_moving(call.globals(), state.step, state.change, loop.num_steps, loop.tol);
  return call.global("jnp").attr("logical_and")(moving, less(py::int_(0), state.change));
}

// A step along -H^-1 grad: the point reached and the Newton decrement
// grad' H^-1 grad there (before any limit on the move).
struct Step {
  py::object W;
  py::object decrement;
};

// The point along -H^-1 grad (H given by its factor) with the best of
// kStepLengths, no coefficient moving more than kMaxMove.
Step searched_step(py::handle jax, py::handle jnp, const Trials& trials, const Quadratic& q,
                   const Softmax& s, py::handle W, const Curvature& curvature, py::handle grad,
                   const PriorAt& A, py::handle b) {
  py::object dtype = W.attr("dtype");
  py::object direction = -hessian_solve(jax, jnp, trials, q, curvature, grad);
  py::object decrement = -jnp.attr("dot")(grad, direction);
  // No coefficient moves by more than kMaxMove in one step: the step-length
  // search then starts from a move the softmax can take.
  py::object largest = jnp.attr("max")(jnp.attr("abs")(direction));
  py::object limit = jnp.attr("array")(kMaxMove, "dtype"_a = dtype);
  py::object floor = jnp.attr("array")(jnp.attr("finfo")(dtype).attr("tiny"), "dtype"_a = dtype);
  direction = direction * jnp.attr("minimum")(jnp.attr("array")(1, "dtype"_a = dtype),
                                              limit / jnp.attr("maximum")(largest, floor));
  py::object delta = direction.attr("reshape")(W.attr("shape"));

  py::list lengths_list;
  for (double t : kStepLengths) lengths_list.append(t);
  py::object lengths = jnp.attr("array")(lengths_list, "dtype"_a = dtype);
  py::object f = objective_along(jax, jnp, trials, s, W, delta, A, b);
  // A NaN objective (an overflowing trial step) never wins the search.
  f = jnp.attr("where")(jnp.attr("isnan")(f), jnp.attr("inf"), f);
  py::object best = lengths[jnp.attr("argmin")(f)];
  return {W + best * delta, std::move(decrement)};
}

// MacKay's count of well-determined weights, n_weights - w_prec tr(A_w
// H^-1), from the dense factor of H. tr(A_w H^-1) = ||L^-1 P||^2 with H = L L'
// and A_w = P P': A_w is the rows' coupling C (x) the weight mask, so P =
// chol(C) (x) the mask. P is lower triangular by blocks of rows, and so is
// L^-1 P: the columns of row block r are found with the trailing part of L
// from block r on, which for R rows is about R^3 / 3 blocks of work instead
// of R^3.
py::object dense_well_determined(py::handle jax, py::handle jnp, const Quadratic& q, py::handle W,
                                 py::handle w_prec, const Curvature& curvature) {
  py::object dtype = W.attr("dtype");
  py::handle factor = curvature.factor;
  py::tuple shape = W.attr("shape");
  py::object d = shape[1];
  const auto R = shape[0].cast<py::ssize_t>();
  const auto d_aug = d.cast<py::ssize_t>();
  py::object coupling = q.A_w.attr("reshape")(
      py::make_tuple(R, d, R, d))[py::make_tuple(all(), py::int_(0), all(), py::int_(0))];
  py::object mask = jnp.attr("diagonal")(q.A_w.attr("reshape")(py::make_tuple(
                        R, d, R, d))[py::make_tuple(py::int_(0), all(), py::int_(0), all())]) /
                    at(coupling, py::make_tuple(py::int_(0), py::int_(0)));
  py::object P =
      jnp.attr("kron")(jnp.attr("linalg").attr("cholesky")(coupling), jnp.attr("diag")(mask));
  py::object solve = jax.attr("scipy").attr("linalg").attr("solve_triangular");
  py::object squares = jnp.attr("array")(0, "dtype"_a = dtype);
  for (py::ssize_t r = 0; r < R; ++r) {
    py::slice trailing(r * d_aug, R * d_aug, 1);
    py::slice block(r * d_aug, (r + 1) * d_aug, 1);
    py::object solved = solve(factor[py::make_tuple(trailing, trailing)],
                              P[py::make_tuple(trailing, block)], "lower"_a = true);
    squares = squares + jnp.attr("sum")(solved * solved);
  }
  return q.n_weights - py::reinterpret_borrow<py::object>(w_prec) * squares;
}

// The same count in the trial space: with M = I + N_w + N_b, N_w and N_b
// the weights' and the bias's parts of S'UA^-1U'S, w_prec tr(A_w H^-1) =
// n_weights - tr(M^-1 N_w), so the count is tr(M^-1 N_w) = n R - tr(M^-1) -
// tr(M^-1 N_b). N_b = B B' has rank R (the bias column's), so both traces
// come from one inverse of M's factor. Padding trials hold identity rows
// of M and add exactly nothing.
py::object trial_well_determined(py::handle jax, py::handle jnp, const Trials& trials,
                                 const Quadratic& q, const Curvature& curvature) {
  py::object dtype = trials.X_aug.attr("dtype");
  py::object size = curvature.factor.attr("shape")[py::int_(0)];
  py::object L_inverse = jax.attr("scipy").attr("linalg").attr("solve_triangular")(
      curvature.factor, jnp.attr("eye")(size, "dtype"_a = dtype), "lower"_a = true);
  py::object coupling_root =
      jnp.attr("linalg").attr("cholesky")(jnp.attr("linalg").attr("inv")(q.coupling));
  py::object bias =
      at(trials.X_aug, py::make_tuple(all(), py::int_(-1))) / jnp.attr("sqrt")(q.b_prec);
  py::object B = (at(bias, py::make_tuple(all(), py::none(), py::none())) *
                  jnp.attr("einsum")("nar,ac->nrc", curvature.mix, coupling_root))
                     .attr("reshape")(py::make_tuple(size, -1));
  py::object LB = matmul(L_inverse, B);
  return py::float_(size) - jnp.attr("sum")(L_inverse * L_inverse) - jnp.attr("sum")(LB * LB);
}

// The Hessian at the point `s` was taken at, factored for its path. `mix`
// goes through unchanged on the dense path, where it is unused.
Curvature formed_curvature(py::handle jax, py::handle jnp, const Trials& trials, const Quadratic& q,
                           const Softmax& s, py::handle w_prec, py::handle mix) {
  if (in_trials(q)) return trial_curvature(jnp, trials, q, s, w_prec);
  py::object M = symmetric_with_prior(jnp, pair_blocks(jnp, trials, s), prior_at(q, w_prec));
  return {symmetric_factor(jax, M), py::reinterpret_borrow<py::object>(mix),
          py::reinterpret_borrow<py::object>(w_prec)};
}

// The branches of a step's choice between forming its factor and keeping the
// last one. Both take and give (W, w_prec, factor, mix, factor_w_prec) less
// the point: (factor, mix, factor_w_prec).
py::object formed_factor_body(Call& call) {
  py::object jax = call.global("jax");
  py::object jnp = call.global("jnp");
  const auto loop = captured_as<NewtonLoop>(call);
  const Problem& data = loop.problem;
  const auto carry = py::reinterpret_borrow<py::tuple>(call.arg("carry"));
  const Softmax s = softmax_at(jax, jnp, data.trials, data.rows, carry[0]);
  const Curvature formed =
      formed_curvature(jax, jnp, data.trials, data.quadratic, s, carry[1], carry[3]);
  return py::make_tuple(formed.factor, formed.mix, formed.w_prec);
}

py::object kept_factor_body(Call& call) {
  const auto carry = py::reinterpret_borrow<py::tuple>(call.arg("carry"));
  return py::make_tuple(carry[2], carry[3], carry[4]);
}

const FunctionDef formed_factor = {
    "formed_factor", "find_mode.<locals>.formed_factor",
    {{"carry"}},     nullptr,
    nullptr,         formed_factor_body,
    kSource,
};

const FunctionDef kept_factor = {
    "kept_factor", "find_mode.<locals>.kept_factor",
    {{"carry"}},   nullptr,
    nullptr,       kept_factor_body,
    kSource,
};

// Each step forms the Hessian once and uses its factor twice: for the Newton
// step, then for a second step from the point it reached. Near the mode the
// second step is the size of the first one's error, so it both sharpens the
// point and measures how far off it was; the loop stops on its size. Forming
// the Hessian is most of a step's work, so an update that one Newton step
// settles costs one Hessian, not two. Where the loop allows it (`chord`), a
// step whose second move fell well below its first leaves its factor to the
// next step: the gradient stays exact, so the moves still lead to the mode,
// and a one-trial update, whose Hessian barely changes on the way, forms one
// Hessian where it formed two.
py::object newton_step_body(Call& call) {
  py::object jax = call.global("jax");
  py::object jnp = call.global("jnp");
  const auto loop = captured_as<NewtonLoop>(call);
  const Problem& data = loop.problem;
  const auto state = unpacked<NewtonState>(call.arg("carry"));
  py::object W = state.W, w_prec = state.w_prec;
  py::object last_move = state.last_move, last_gap = state.last_gap;
  py::object dtype = W.attr("dtype");
  const Quadratic& q = data.quadratic;

  const PriorAt A = prior_at(q, w_prec);
  py::object b = w_prec * q.b_w + q.b_b;
  const Softmax s = softmax_at(jax, jnp, data.trials, data.rows, W);
  const bool chord = !loop.chord.is_none();
  Curvature curvature;
  if (chord) {
    const py::tuple captured = packed(loop);
    py::tuple chosen = jax.attr("lax").attr("cond")(
        state.reuse, make_function(kept_factor, call.globals(), captured),
        make_function(formed_factor, call.globals(), captured),
        py::make_tuple(W, w_prec, state.factor, state.mix, state.factor_w_prec));
    curvature = {chosen[0], chosen[1], chosen[2]};
  } else {
    curvature = formed_curvature(jax, jnp, data.trials, q, s, w_prec, state.mix);
  }
  py::object grad =
      likelihood_gradient(data.trials, s) + A.times(W.attr("reshape")(py::make_tuple(-1))) - b;
  const Step first = searched_step(jax, jnp, data.trials, q, s, W, curvature, grad, A, b);
  py::object W_mid = first.W;

  const Softmax s_mid = softmax_at(jax, jnp, data.trials, data.rows, W_mid);
  py::object grad_mid = likelihood_gradient(data.trials, s_mid) +
                        A.times(W_mid.attr("reshape")(py::make_tuple(-1))) - b;
  const Step second =
      searched_step(jax, jnp, data.trials, q, s_mid, W_mid, curvature, grad_mid, A, b);
  py::object W_new = second.W;

  py::object tiny = jnp.attr("array")(jnp.attr("finfo")(dtype).attr("tiny"), "dtype"_a = dtype);
  auto relative_move = [&](py::handle from, py::handle to) {
    return jnp.attr("max")(jnp.attr("abs")(py::reinterpret_borrow<py::object>(to) - from)) /
           jnp.attr("maximum")(jnp.attr("max")(jnp.attr("abs")(to)), tiny);
  };
  py::object change = relative_move(W_mid, W_new);
  // The gradient is a sum over trials, exact only to the rounding of its
  // terms: once the second step's Newton decrement is no larger than that
  // rounding's, measured the same way, no step can tell the point from the
  // mode. This ends the loop in float32 at any trial count, and where
  // features are constant or zero and the relative change stalls above tol.
  py::object eps = jnp.attr("array")(jnp.attr("finfo")(dtype).attr("eps"), "dtype"_a = dtype);
  py::object magnitude = jnp.attr("abs")(at(data.trials.weight, trail2()) * (s_mid.P - s_mid.Z));
  py::object w_mid = W_mid.attr("reshape")(py::make_tuple(-1));
  py::object rounding = eps * (matmul(magnitude.attr("T"), jnp.attr("abs")(data.trials.X_aug))
                                   .attr("reshape")(py::make_tuple(-1)) +
                               A.abs_times(jnp, jnp.attr("abs")(w_mid)) + jnp.attr("abs")(b));
  py::object settled = jnp.attr("less_equal")(
      second.decrement, hessian_quadratic_form(jax, jnp, data.trials, q, curvature, rounding));
  py::object reuse = jnp.attr("array")(false);
  if (chord) {
    // Never two steps running: a factor kept once is at most one step old,
    // however slowly the moves then shrink.
    reuse = jnp.attr("logical_and")(
        jnp.attr("logical_not")(jnp.attr("logical_or")(settled, state.reuse)),
        jnp.attr("less_equal")(change, relative_move(W, W_mid) * py::float_(kChordContraction)));
  }
  change = jnp.attr("where")(settled, jnp.attr("zeros_like")(change), change);
  py::object w_prec_new = w_prec;
  py::handle evidence = loop.evidence;
  if (!evidence.is_none()) {
    // well_determined: how many weight coefficients the data determine, from
    // the covariance of all rows together (a per-row covariance would leave
    // out what the other rows' uncertainty adds, and count too many).
    py::object well_determined = in_trials(q)
                                     ? trial_well_determined(jax, jnp, data.trials, q, curvature)
                                     : dense_well_determined(jax, jnp, q, W, w_prec, curvature);
    py::object e = W_new.attr("reshape")(py::make_tuple(-1)) - q.m0;
    py::object norm = jnp.attr("dot")(e, weight_prior_times(q, e));
    py::object target =
        jnp.attr("maximum")(well_determined, tiny) / jnp.attr("maximum")(norm, tiny);
    py::object one = jnp.attr("array")(1, "dtype"_a = dtype);
    py::object zero = jnp.attr("array")(0, "dtype"_a = dtype);
    py::object log_floor = jnp.attr("log")(jnp.attr("array")(kWPrecFloor, "dtype"_a = dtype));
    py::object log_ceiling = jnp.attr("log")(jnp.attr("array")(kWPrecCeiling, "dtype"_a = dtype));
    py::object log_w = jnp.attr("log")(w_prec);
    // The gap from here to MacKay's value, f(log w_prec): the fixed point is its root.
    py::object gap = jnp.attr("clip")(jnp.attr("log")(target), log_floor, log_ceiling) - log_w;
    // The plain step (MacKay's value itself) approaches the root linearly, at
    // a rate close to one where few weights are well determined. The secant
    // through this gap and the last one steps to where f vanishes; it is
    // taken only where the gaps shrink and f falls (the plain steps contract
    // there), so that Newton's early steps, far from the mode, do not throw it.
    py::object slope = (gap - last_gap) / last_move;
    py::object contracting = jnp.attr("logical_and")(
        jnp.attr("logical_and")(jnp.attr("isfinite")(slope), less(slope, zero)),
        less(jnp.attr("abs")(gap), jnp.attr("abs")(last_gap)));
    py::object safe_slope = jnp.attr("where")(contracting, slope, -one);
    py::object multiple = jnp.attr("where")(
        contracting, jnp.attr("clip")(-one / safe_slope, kShortestSecant, kLongestSecant), one);
    py::object log_w_new = jnp.attr("clip")(log_w + multiple * gap, log_floor, log_ceiling);
    w_prec_new =
        jnp.attr("where")(evidence, jnp.attr("exp")(log_w_new).attr("astype")(dtype), w_prec);
    py::object step = jnp.attr("log")(w_prec_new) - log_w;
    // A small gap says little about the distance left where the plain steps
    // are slow: judged by gap / (1 - rate), the rate estimated from the
    // secant's slope, the loop does not stop on a slow stretch far from the
    // fixed point.
    py::object rate = jnp.attr("where")(
        jnp.attr("isfinite")(slope),
        jnp.attr("clip")(one + slope, zero, jnp.attr("array")(kSlowestRate, "dtype"_a = dtype)),
        zero);
    change = jnp.attr("maximum")(change, jnp.attr("abs")(gap) / (one - rate));
    last_move = jnp.attr("where")(evidence, step, last_move);
    last_gap = jnp.attr("where")(evidence, gap, last_gap);
  }
  return packed(NewtonState{state.step + py::int_(1), W_new, w_prec_new, change, last_move,
                            last_gap, curvature.factor, curvature.mix, curvature.w_prec, reuse});
}

const FunctionDef newton_keep_going = {
    "keep_going", "find_mode.<locals>.keep_going", {{"carry"}}, nullptr,
    nullptr,      newton_keep_going_body,          kSource,
};

const FunctionDef newton_step = {
    "newton_step", "find_mode.<locals>.newton_step",
    {{"carry"}},   nullptr,
    nullptr,       newton_step_body,
    kSource,
};

// The Laplace approximation of the log evidence at the mode W for weight
// precision w_prec, up to a constant that does not depend on w_prec:
// log p(y | W) + log N(W; m0, (w_prec A_w + A_b)^-1) - 1/2 log det H. `factor`
// is the Cholesky factor of H from the last Newton step towards W: that far
// from the mode, log det H differs by much less than the evidence's spread
// over the grid, and a second Hessian per grid point is saved.
py::object log_evidence(py::handle jax, py::handle jnp, const Trials& trials, const Rows& rows,
                        const Quadratic& q, py::handle W, py::handle w_prec,
                        const Curvature& curvature) {
  const Softmax s = softmax_at(jax, jnp, trials, rows, W);
  py::object lse = log_normaliser(jax, jnp, masked(jnp, s.member, s.eta));
  py::object linear = jnp.attr("sum")(s.Z * s.eta, "axis"_a = 1);
  py::object log_likelihood = -jnp.attr("sum")(trials.weight * (lse - linear));
  const PriorAt A = prior_at(q, w_prec);
  py::object e = W.attr("reshape")(py::make_tuple(-1)) - q.m0;
  py::object half = jnp.attr("array")(0.5, "dtype"_a = W.attr("dtype"));
  py::object half_log_det_H = half_log_det(jnp, q, curvature);
  return log_likelihood - half * jnp.attr("dot")(e, A.times(e)) +
         half * q.n_weights * jnp.attr("log")(w_prec) - half_log_det_H;
}

// Points of the grid on which the Laplace evidence is searched, and how far
// it reaches past MacKay's scale (a factor on w_scale).
constexpr int kGridPoints = 8;
constexpr double kGridReach = 30.0;
// The relative change at which MacKay's fixed point counts as found: the
// grid's points lie about 1 apart in log w_prec.
constexpr double kScaleTolerance = 1e-2;

// H v at the point W for stacked rows v (R*d,): the likelihood's curvature
// through the trials' logits, without forming H, plus the prior's.
py::object hessian_times(py::handle jax, py::handle jnp, const Trials& trials, const Rows& rows,
                         const Quadratic& q, py::handle W, py::handle w_prec, py::handle v) {
  const Softmax s = softmax_at(jax, jnp, trials, rows, W);
  py::object V = py::reinterpret_borrow<py::object>(v).attr("reshape")(W.attr("shape"));
  py::object moved = s.P * matmul(trials.X_aug, V.attr("T"));
  py::object curved = at(trials.weight, trail2()) *
                      (moved - s.P * jnp.attr("sum")(moved, "axis"_a = 1, "keepdims"_a = true));
  py::object likelihood =
      matmul(curved.attr("T"), trials.X_aug).attr("reshape")(py::make_tuple(-1));
  return likelihood + prior_at(q, w_prec).times(v);
}

// A_w (w - m0) for the stacked rows w of W: the pull of the prior's weight
// block, which a change of w_prec scales.
py::object weight_pull(const Quadratic& q, py::handle W) {
  return weight_prior_times(q, W.attr("reshape")(py::make_tuple(-1)) - q.m0);
}

// How the mode W (R, d) at weight precision w_prec moves per unit of log
// w_prec: dW/dlog(w_prec) = -w_prec H^-1 A_w (w - m0), H given by `factor`.
py::object mode_slope(py::handle jax, py::handle jnp, const Trials& trials, const Quadratic& q,
                      py::handle W, py::handle w_prec, const Curvature& curvature) {
  py::object solved = hessian_solve(jax, jnp, trials, q, curvature, weight_pull(q, W));
  return (-py::reinterpret_borrow<py::object>(w_prec) * solved).attr("reshape")(W.attr("shape"));
}

// What the evidence grid's body captures.
struct GridLoop {
  Problem problem;
  py::object w_precs;    // (kGridPoints,) the weight precision of each grid point
  py::object num_steps;  // 0-d int32 cap on each point's Newton steps
  py::object tol;        // 0-d relative change at which each point's Newton stops

  template <typename Visit>
  void fields(Visit&& visit) {
    problem.fields(visit);
    visit(w_precs);
    visit(num_steps);
    visit(tol);
  }
};

// What the evidence grid carries from point to point.
struct GridState {
  py::object points;   // 0-d int32 grid points done
  py::object W;        // (R, d) the last point's mode, where the next one starts
  py::object values;   // (kGridPoints,) log evidence at every point done, -inf past them
  py::object modes;    // (kGridPoints, R, d) the mode at every point done
  py::object slopes;   // (kGridPoints, R, d) how each of those modes moves with log w_prec
  py::object n_steps;  // 0-d int32 Newton steps taken

  template <typename Visit>
  void fields(Visit&& visit) {
    visit(points);
    visit(W);
    visit(values);
    visit(modes);
    visit(slopes);
    visit(n_steps);
  }
};

// Where the evidence falls from one grid point to the next, among the points
// done: (kGridPoints - 1,) booleans.
py::object falls_among(py::handle jnp, py::handle values, py::handle points) {
  py::object later = values[py::slice(py::int_(1), py::none(), py::none())];
  py::object earlier = values[py::slice(py::none(), py::int_(-1), py::none())];
  py::object index = jnp.attr("arange")(1, kGridPoints, "dtype"_a = jnp.attr("int32"));
  return jnp.attr("logical_and")(less(later, earlier), less(index, points));
}

// The search wants the first maximum from MacKay's scale upwards and the
// points on either side of it; the points past them cannot change the
// choice, so the grid stops there (never before three points, the fewest a
// parabola needs) instead of running on to the end.
py::object evidence_grid_keep_going_body(Call& call) {
  py::object jnp = call.global("jnp");
  const auto state = unpacked<GridState>(call.arg("carry"));
  py::object peaked =
      jnp.attr("logical_and")(jnp.attr("any")(falls_among(jnp, state.values, state.points)),
                              greater_equal(state.points, py::int_(3)));
  return jnp.attr("logical_and")(less(state.points, py::int_(kGridPoints)),
                                 jnp.attr("logical_not")(peaked));
}

py::object evidence_grid_step_body(Call& call) {
  py::object jax = call.global("jax");
  py::object jnp = call.global("jnp");
  const auto loop = captured_as<GridLoop>(call);
  const Problem& problem = loop.problem;
  const auto state = unpacked<GridState>(call.arg("carry"));
  py::object i = state.points;
  py::object w_prec = at(loop.w_precs, i);
  const ModeResult mode = find_mode(call.globals(), problem.trials, problem.rows, problem.quadratic,
                                    state.W, w_prec, py::none(), loop.num_steps, loop.tol);
  const Curvature curvature{mode.factor, mode.mix, mode.factor_w_prec};
  py::object value = log_evidence(jax, jnp, problem.trials, problem.rows, problem.quadratic, mode.W,
                                  w_prec, curvature);
  // The next point starts from this mode itself, not from where the mode's
  // tangent puts it: the evidence takes log det H from the last Newton step,
  // which is only close to its value at the mode when that step started
  // close to it, and a start along the tangent often needs one step only.
  py::object slope =
      mode_slope(jax, jnp, problem.trials, problem.quadratic, mode.W, w_prec, curvature);
  return packed(GridState{i + py::int_(1), mode.W, state.values.attr("at")[i].attr("set")(value),
                          state.modes.attr("at")[i].attr("set")(mode.W),
                          state.slopes.attr("at")[i].attr("set")(slope),
                          state.n_steps + mode.n_steps});
}

const FunctionDef evidence_grid_keep_going = {
    "grid_keep_going", "choose_scale.<locals>.grid_keep_going", {{"carry"}}, nullptr,
    nullptr,           evidence_grid_keep_going_body,           kSource,
};

const FunctionDef evidence_grid_step = {
    "grid_step", "choose_scale.<locals>.grid_step", {{"carry"}}, nullptr,
    nullptr,     evidence_grid_step_body,           kSource,
};

}  // namespace

std::pair<py::object, py::object> likelihood_terms(py::handle globals, const Trials& trials,
                                                   const Rows& rows, py::handle W) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  return terms_from(jnp, trials, softmax_at(jax, jnp, trials, rows, W));
}

py::object likelihood_gradient(py::handle globals, const Trials& trials, const Rows& rows,
                               py::handle W) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  return likelihood_gradient(trials, softmax_at(jax, jnp, trials, rows, W));
}

bool trial_space(double n_trials, double d_aug) {
  return n_trials < d_aug;
}

Quadratic row_prior(py::handle globals, py::handle classes, py::handle d_aug, py::handle dtype,
                    py::handle w_loc, py::handle b_loc, py::handle b_prec, bool dense) {
  py::object jnp = lookup_global(globals, "jnp");
  const py::int_ d = host_int(d_aug);
  const py::int_ R = host_int(classes.attr("shape")[py::int_(0)]);
  const py::int_ p = d - py::int_(1);
  // Which coefficients are weights (1) and which is the bias (last, 0).
  py::object is_weight = jnp.attr("concatenate")(
      py::make_tuple(jnp.attr("ones")(py::make_tuple(p), "dtype"_a = dtype),
                     jnp.attr("zeros")(py::make_tuple(1), "dtype"_a = dtype)));
  py::object one = jnp.attr("array")(1, "dtype"_a = dtype);
  py::object is_bias = one - is_weight;
  // I - m m' / K over the rows, m marking the rows that hold a class and K
  // the classes of the model (those rows and the reference).
  py::object member = greater_equal(classes, py::int_(0)).attr("astype")(dtype);
  py::object n_classes = jnp.attr("sum")(member) + one;
  py::object coupling =
      jnp.attr("eye")(R, "dtype"_a = dtype) - jnp.attr("outer")(member, member) / n_classes;
  // Each row's prior mean is the record's (w_loc, ..., w_loc, b_loc).
  py::object m_row = is_weight * w_loc + is_bias * b_loc;
  py::object m0 = jnp.attr("tile")(m_row, R);
  py::object n_weights = jnp.attr("array")(R * p, "dtype"_a = dtype);
  py::object bias_prec = jnp.attr("asarray")(b_prec, "dtype"_a = dtype);
  if (!dense) {
    Quadratic q{py::none(),
                py::none(),
                kron_times(coupling, is_weight, m0),
                kron_times(coupling, is_bias * bias_prec, m0),
                m0,
                n_weights};
    q.coupling = coupling;
    q.is_weight = is_weight;
    q.b_prec = bias_prec;
    return q;
  }
  py::object Rd = R * d;
  auto kron_rows = [&](py::handle per_coefficient) {
    return jnp.attr("einsum")("rs,ij->risj", coupling, jnp.attr("diag")(per_coefficient))
        .attr("reshape")(shape2(Rd, Rd));
  };
  py::object A_w = kron_rows(is_weight);
  py::object A_b = kron_rows(is_bias * b_prec);
  Quadratic q{A_w, A_b, matmul(A_w, m0), matmul(A_b, m0), m0, n_weights};
  q.coupling = coupling;
  q.is_weight = is_weight;
  q.b_prec = bias_prec;
  return q;
}

Quadratic in_trial_space(py::handle globals, Quadratic q, const Trials& trials) {
  py::object jnp = lookup_global(globals, "jnp");
  py::handle X = trials.X_aug;
  py::object X_w = X[py::make_tuple(all(), py::slice(py::none(), py::int_(-1), py::none()))];
  py::object x_b = X[py::make_tuple(all(), py::int_(-1))];
  q.gram_w = matmul(X_w, X_w.attr("T"));
  q.gram_b = jnp.attr("outer")(x_b, x_b);
  return q;
}

py::object prior_row_blocks(py::handle globals, const Quadratic& q, py::handle w_prec) {
  py::object jnp = lookup_global(globals, "jnp");
  py::object diagonal = jnp.attr("diagonal")(q.coupling);
  py::object precisions = jnp.attr("diag")(coefficient_precisions(q, w_prec));
  return at(diagonal, py::make_tuple(all(), py::none(), py::none())) *
         at(precisions, py::make_tuple(py::none(), all(), all()));
}

Quadratic anchored(py::handle globals, Quadratic q, py::handle w_prec, py::handle hessian,
                   py::handle shift) {
  py::object jnp = lookup_global(globals, "jnp");
  py::object R = q.coupling.attr("shape")[py::int_(0)];
  py::object d = q.is_weight.attr("shape")[py::int_(0)];
  // The prior's (r, s) block is coupling[r, s] on its diagonal: added to
  // the anchor's entries in one pass over them, with no (R*d)-square prior
  // formed first.
  py::object precisions = coefficient_precisions(q, w_prec);
  py::object prior =
      at(q.coupling, py::make_tuple(all(), py::none(), all(), py::none())) *
      at(jnp.attr("diag")(precisions), py::make_tuple(py::none(), all(), py::none(), all()));
  q.held =
      (py::reinterpret_borrow<py::object>(hessian).attr("reshape")(py::make_tuple(R, d, R, d)) +
       prior)
          .attr("reshape")(shape2(R * d, R * d));
  q.held_abs = jnp.attr("abs")(q.held);
  q.b_b = q.b_b + shift;
  return q;
}

py::object scale_slope(py::handle globals, const Trials& trials, const Rows& rows,
                       const Quadratic& q, const ModeResult& mode) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  const Curvature curvature{mode.factor, mode.mix, mode.factor_w_prec};
  py::object slope = mode_slope(jax, jnp, trials, q, mode.W, mode.w_prec, curvature)
                         .attr("reshape")(py::make_tuple(-1));
  py::object target = -py::reinterpret_borrow<py::object>(mode.w_prec) * weight_pull(q, mode.W);
  // The factor is the Hessian at the start of the loop's last step, or of the
  // one before, not at the mode: one round of refinement with the mode's own
  // Hessian (a product, no new factor) takes the slope from that step's
  // distance to the rounding of the solve.
  py::object residual =
      target - hessian_times(jax, jnp, trials, rows, q, mode.W, mode.w_prec, slope);
  return slope + hessian_solve(jax, jnp, trials, q, curvature, residual);
}

ModeResult find_mode(py::handle globals, const Trials& trials, const Rows& rows,
                     const Quadratic& quadratic, py::handle W0, py::handle w_prec0,
                     py::handle evidence, py::handle num_steps, py::handle tol, bool chord) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  py::object dtype = W0.attr("dtype");
  // The factor's size: (R*d)-square, or (n*R)-square in the trial space.
  py::object n_rd = quadratic.m0.attr("shape")[py::int_(0)];
  py::object mix = jnp.attr("zeros")(py::tuple(), "dtype"_a = dtype);
  if (in_trials(quadratic)) {
    py::object n = trials.X_aug.attr("shape")[py::int_(0)];
    py::object R = quadratic.coupling.attr("shape")[py::int_(0)];
    n_rd = n * R;
    mix = jnp.attr("zeros")(py::make_tuple(n, R, R), "dtype"_a = dtype);
  }
  const py::tuple captured =
      packed(NewtonLoop{{trials, rows, quadratic},
                        py::reinterpret_borrow<py::object>(evidence),
                        jnp.attr("asarray")(num_steps, "dtype"_a = jnp.attr("int32")),
                        jnp.attr("asarray")(tol, "dtype"_a = dtype),
                        chord ? py::object(py::bool_(true)) : py::object(py::none())});
  py::object cond = make_function(newton_keep_going, globals, captured);
  py::object body = make_function(newton_step, globals, captured);
  // The first change is infinite, so at least one step runs.
  const NewtonState start{jnp.attr("array")(0, "dtype"_a = jnp.attr("int32")),
                          py::reinterpret_borrow<py::object>(W0),
                          jnp.attr("asarray")(w_prec0, "dtype"_a = dtype),
                          jnp.attr("array")(jnp.attr("inf"), "dtype"_a = dtype),
                          jnp.attr("array")(jnp.attr("inf"), "dtype"_a = dtype),
                          jnp.attr("array")(jnp.attr("nan"), "dtype"_a = dtype),
                          jnp.attr("zeros")(shape2(n_rd, n_rd), "dtype"_a = dtype),
                          mix,
                          jnp.attr("asarray")(w_prec0, "dtype"_a = dtype),
                          jnp.attr("array")(false)};
  const auto done =
      unpacked<NewtonState>(jax.attr("lax").attr("while_loop")(cond, body, packed(start)));
  return {done.W, done.w_prec, done.step, done.factor, done.mix, done.factor_w_prec};
}

py::object tilt_blocks(py::handle globals, const Trials& trials, const Rows& rows, py::handle W) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  py::object dtype = W.attr("dtype");
  const Softmax s = softmax_at(jax, jnp, trials, rows, W);
  py::object one = jnp.attr("array")(1, "dtype"_a = dtype);
  py::object half = jnp.attr("array")(0.5, "dtype"_a = dtype);
  py::object eps = jnp.attr("array")(jnp.attr("finfo")(dtype).attr("eps"), "dtype"_a = dtype);
  // Each row's logit less the log-sum-exp of every other class's, as in its
  // binary problem: log p - log(1 - p), with 1 - p floored.
  py::object logit = jnp.attr("log")(jnp.attr("maximum")(s.P, eps)) -
                     jnp.attr("log")(jnp.attr("maximum")(one - s.P, eps));
  py::object c = jnp.attr("maximum")(jnp.attr("abs")(logit), eps);
  py::object omega = half / c * jnp.attr("tanh")(half * c);
  omega = jnp.attr("where")(s.member, omega, jnp.attr("zeros_like")(omega));
  py::object weighted = at(trials.weight, trail2()) * omega;
  return jnp.attr("einsum")("nr,ni,nj->rij", weighted, trials.X_aug, trials.X_aug);
}

py::object tilt_factors(py::handle globals, py::handle blocks, py::handle A) {
  py::object jnp = lookup_global(globals, "jnp");
  py::tuple shape = blocks.attr("shape");
  py::object R = shape[0], d = shape[1];
  py::object prior_blocks = jnp.attr("diagonal")(A.attr("reshape")(py::make_tuple(R, d, R, d)),
                                                 "axis1"_a = 0, "axis2"_a = 2)
                                .attr("transpose")(2, 0, 1);
  return tilt_factors_of_blocks(globals, blocks, prior_blocks);
}

py::object tilt_factors_of_blocks(py::handle globals, py::handle blocks, py::handle prior_blocks) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  py::object dtype = blocks.attr("dtype");
  py::tuple shape = blocks.attr("shape");
  py::object d = shape[1];
  py::object precision = blocks + prior_blocks;
  // The lower factor of a precision's inverse without forming the inverse:
  // with J the order reversal and C the factor of J P J, P^-1 = (J C^-T J)
  // (J C^-T J)' and J C^-T J is lower triangular. One factorisation and one
  // triangular solve instead of two of each.
  py::object reversed = py::make_tuple(all(), py::slice(py::none(), py::none(), py::int_(-1)),
                                       py::slice(py::none(), py::none(), py::int_(-1)));
  py::object C = jnp.attr("linalg").attr("cholesky")(at(precision, reversed));
  py::object eye =
      jnp.attr("broadcast_to")(jnp.attr("eye")(d, "dtype"_a = dtype), precision.attr("shape"));
  py::object C_inverse =
      jax.attr("scipy").attr("linalg").attr("solve_triangular")(C, eye, "lower"_a = true);
  return at(C_inverse.attr("transpose")(0, 2, 1), reversed);
}

ModeResult choose_scale(py::handle globals, const Trials& trials, const Rows& rows,
                        const Quadratic& quadratic, py::handle W0, py::handle w_prec0,
                        py::handle num_steps, py::handle tol) {
  py::object jax = lookup_global(globals, "jax");
  py::object jnp = lookup_global(globals, "jnp");
  py::object dtype = W0.attr("dtype");
  py::object yes = jnp.attr("array")(true);
  // MacKay's scale only places the grid and enters the final scale through
  // a square root, so it is found to kScaleTolerance, not to tol.
  py::object mackay_tol =
      jnp.attr("maximum")(jnp.attr("asarray")(tol, "dtype"_a = dtype),
                          jnp.attr("array")(kScaleTolerance, "dtype"_a = dtype));
  const ModeResult mackay =
      find_mode(globals, trials, rows, quadratic, W0, w_prec0, yes, num_steps, mackay_tol);

  // The Laplace evidence on a grid of weight scales from MacKay's upwards,
  // each mode started from the last; its maximum refined by a parabola in
  // log w_prec through the best point and its neighbours.
  py::object log_w_prec_mk = jnp.attr("log")(mackay.w_prec);
  py::object offsets =
      jnp.attr("linspace")(0.0, -2.0 * std::log(kGridReach), kGridPoints, "dtype"_a = dtype);
  py::object log_w_precs = log_w_prec_mk + offsets;
  py::object w_precs = jnp.attr("exp")(log_w_precs);
  py::tuple shape = mackay.W.attr("shape");
  const GridLoop loop{{trials, rows, quadratic},
                      w_precs,
                      jnp.attr("asarray")(num_steps, "dtype"_a = jnp.attr("int32")),
                      jnp.attr("asarray")(tol, "dtype"_a = dtype)};
  const GridState start{
      jnp.attr("array")(0, "dtype"_a = jnp.attr("int32")),
      mackay.W,
      jnp.attr("full")(kGridPoints, -jnp.attr("inf"), "dtype"_a = dtype),
      jnp.attr("zeros")(py::make_tuple(kGridPoints, shape[0], shape[1]), "dtype"_a = dtype),
      jnp.attr("zeros")(py::make_tuple(kGridPoints, shape[0], shape[1]), "dtype"_a = dtype),
      jnp.attr("zeros_like")(mackay.n_steps)};
  py::tuple captured = packed(loop);
  py::object cond = make_function(evidence_grid_keep_going, globals, captured);
  py::object step = make_function(evidence_grid_step, globals, captured);
  const auto done =
      unpacked<GridState>(jax.attr("lax").attr("while_loop")(cond, step, packed(start)));
  py::object values = done.values;
  py::object modes = done.modes;
  // The first maximum from MacKay's scale upwards, not the largest value:
  // far out, where the prior barely binds and float32 probabilities
  // saturate, the computed evidence can rise again by rounding alone. Past
  // the points done no value counts as a fall.
  py::object falls = falls_among(jnp, values, done.points);
  py::object first_peak = jnp.attr("where")(jnp.attr("any")(falls), jnp.attr("argmax")(falls),
                                            py::int_(kGridPoints - 1));
  py::object best = jnp.attr("clip")(first_peak, 1, kGridPoints - 2);
  py::object y0 = at(values, best - py::int_(1)), y1 = at(values, best),
             y2 = at(values, best + py::int_(1));
  py::object h = at(offsets, py::int_(1)) - at(offsets, py::int_(0));
  py::object curvature = y0 - (y1 + y1) + y2;
  py::object half = jnp.attr("array")(0.5, "dtype"_a = dtype);
  // Only a maximum (negative curvature) moves from the best grid point, and
  // never past its neighbours.
  py::object shift = jnp.attr("where")(
      less(curvature, jnp.attr("array")(0, "dtype"_a = dtype)),
      jnp.attr("clip")(
          half * (y0 - y2) / jnp.attr("minimum")(curvature, -jnp.attr("finfo")(dtype).attr("tiny")),
          -1.0, 1.0),
      jnp.attr("array")(0, "dtype"_a = dtype));
  py::object log_w_prec_ev = at(log_w_precs, best) + shift * h;
  // MacKay's fixed point holds the likelihood's curvature still and lands on
  // too strong a prior; the Laplace evidence lets the curvature fall as the
  // weights grow and lands on too weak a one. Their geometric mean is the
  // scale used.
  py::object w_prec = jnp.attr("exp")(half * (log_w_prec_mk + log_w_prec_ev));
  // Started along the tangent of the grid's mode nearest to it: no evidence
  // is taken from this mode's factor, so a start that Newton settles in a
  // step or two fewer costs nothing in the scale.
  py::object start_W =
      at(modes, best) + (jnp.attr("log")(w_prec) - at(log_w_precs, best)) * at(done.slopes, best);
  const ModeResult final_mode =
      find_mode(globals, trials, rows, quadratic, start_W, w_prec, py::none(), num_steps, tol);
  py::object n_steps = mackay.n_steps + done.n_steps + final_mode.n_steps;
  return {final_mode.W,      final_mode.w_prec, std::move(n_steps),
          final_mode.factor, final_mode.mix,    final_mode.factor_w_prec};
}

}  // namespace kelvra::learning
