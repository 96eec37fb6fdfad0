// Which trial bucket a call compiles for, when a neighbouring one would do.
#pragma once

#include <functional>
#include <string>

#include "common/function.hpp"

namespace kelvra::engine {

// The bucket of n trials for a compiled function that `key_of(bucket)` names.
// The folds of a cross-validation differ by a few trials, and their sizes can
// lie on both sides of a bucket's edge: a fold then compiles a second
// function, seconds spent for a difference of one trial. So a bucket already
// compiled is used when it is n's own or the next one up, and a count within
// a few trials of its bucket's top compiles the next bucket straight away,
// for the folds just above the edge to share.
py::ssize_t shared_bucket(py::ssize_t n_trials,
                          const std::function<std::string(py::ssize_t)>& key_of);

}  // namespace kelvra::engine
