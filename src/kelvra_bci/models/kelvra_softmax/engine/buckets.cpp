#include "engine/buckets.hpp"

#include <algorithm>

#include "engine/cache.hpp"
#include "engine/compile.hpp"

namespace kelvra::engine {
namespace {

// How close to a bucket's top a trial count must be for its fit to take the
// next bucket: the folds of one data set differ by about one trial per class.
py::ssize_t headroom(py::ssize_t bucket) {
  return std::max<py::ssize_t>(4, bucket / 64);
}

}  // namespace

py::ssize_t shared_bucket(py::ssize_t n_trials,
                          const std::function<std::string(py::ssize_t)>& key_of) {
  const py::ssize_t own = trial_bucket(n_trials);
  const py::ssize_t next = trial_bucket(own + 1);
  const CompiledCache& cache = compiled_cache();
  if (cache.holds(key_of(own))) return own;
  if (cache.holds(key_of(next))) return next;
  return n_trials > own - headroom(own) ? next : own;
}

}  // namespace kelvra::engine
