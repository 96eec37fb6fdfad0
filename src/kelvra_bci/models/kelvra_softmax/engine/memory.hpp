// The record's memory: the trials and the anchor an update by the mode
// revisits, as a record stores them.
//
// Besides the fifteen entries every record has, a record of method "mode"
// keeps what its next update needs, under keys that the learning and
// inference modules never read:
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
#pragma once

#include "common/function.hpp"
#include "core/arguments.hpp"

namespace kelvra::engine {

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

// The memory `args.model` holds, for `old_counts` (its class counts) and
// rows of `d_aug` columns, in the working dtype `dtype`; or the empty memory
// of `fallback_size` trials and the anchor that restores its Gaussians.
Memory read_memory(py::handle np, const learning::UpdateArguments& args, py::handle old_counts,
                   const py::int_& n_features, const py::int_& d_aug, py::handle dtype,
                   py::ssize_t fallback_size);

// Whether the record's w_scale follows the evidence: w_scale_follows is a
// single 1; anything else, or no entry, keeps the scale fixed.
bool scale_follows(py::handle np, py::handle params);

// Writes the memory into `params`: the remembered trials, their zero-based
// classes and weights, the anchor, the capacity, and the trial count of
// `counts` it was written for.
void add_memory_entries(py::handle np, py::dict& params, py::handle X, py::handle y,
                        py::handle weight, py::handle hessian, py::handle shift, py::handle tilt,
                        py::ssize_t size, py::handle counts);

// Writes whether the scale follows the evidence, and its direction.
void add_scale_entries(py::handle np, py::dict& params, bool follows, py::handle direction);

}  // namespace kelvra::engine
