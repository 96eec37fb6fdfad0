// The engine's compiled functions, kept in a bounded, thread-safe cache.
#pragma once

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <cstddef>
#include <iterator>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace kelvra::engine {

namespace py = pybind11;

// Least recently used entries go first once `max_size` is reached. The lock
// guards only the containers: no Python code runs while it is held (entries
// leaving the cache are released after it is let go), so a thread that holds
// it can never wait on the GIL held by a thread waiting for it.
class CompiledCache {
 public:
  explicit CompiledCache(std::size_t max_size) : max_size_(max_size) {}

  // The entry for `key`, most recently used from now on, or a null object.
  py::object find(const std::string& key);
  // Whether `key` has an entry; counts nothing and leaves the order alone.
  bool holds(const std::string& key) const;
  // Adds or replaces the entry for `key`.
  void insert(const std::string& key, py::object compiled);
  void clear();

  // One compile per key, however many threads ask for it. True when the
  // caller is to compile `key` (and must call end_compile); false when
  // another thread is compiling it or has just added it: look again.
  bool begin_compile(const std::string& key);
  void end_compile(const std::string& key);
  // Blocks until no thread is compiling `key`. Call it without the GIL: the
  // compiling thread needs it to finish.
  void await_compile(const std::string& key);

  // Whether this process is a fork of one that had started compiling: JAX's
  // threads and any compile in flight stayed behind in the parent, so JAX
  // must not compile here (it may wait forever for them).
  bool forked_after_compiling() const;

  struct Info {
    std::size_t hits, misses, size, max_size;
    // Counts every entry that left the cache (cleared or evicted): a caller
    // remembering which shapes were compiled knows it must ask again.
    std::size_t generation;
  };
  Info info() const;

  // Fork handlers: the lock is taken across the fork, so the child's copy
  // is never left held by a thread that does not exist there.
  void before_fork();
  void after_fork_in_parent();
  void after_fork_in_child();

 private:
  using Entries = std::list<std::pair<std::string, py::object>>;

  mutable std::mutex mutex_;
  std::condition_variable compiled_;
  std::unordered_set<std::string> compiling_;
  Entries entries_;  // most recently used first
  std::unordered_map<std::string, Entries::iterator> index_;
  std::size_t max_size_;
  std::size_t hits_ = 0;
  std::size_t misses_ = 0;
  std::size_t generation_ = 0;
  bool compiled_once_ = false;  // a compile has begun in this process or its parent
  bool forked_ = false;
};

// The one cache of the process: the engine loads into one interpreter.
CompiledCache& compiled_cache();

}  // namespace kelvra::engine
