#include "engine/cache.hpp"

#include <pthread.h>

namespace kelvra::engine {

py::object CompiledCache::find(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = index_.find(key);
  if (found == index_.end()) {
    ++misses_;
    return py::object();
  }
  ++hits_;
  entries_.splice(entries_.begin(), entries_, found->second);
  return found->second->second;
}

bool CompiledCache::holds(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index_.count(key) != 0;
}

void CompiledCache::insert(const std::string& key, py::object compiled) {
  Entries leaving;  // released once the lock is gone
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = index_.find(key);
    if (found != index_.end()) {
      leaving.splice(leaving.begin(), entries_, found->second);
      index_.erase(found);
    }
    entries_.emplace_front(key, std::move(compiled));
    index_[key] = entries_.begin();
    while (entries_.size() > max_size_) {
      index_.erase(entries_.back().first);
      ++generation_;
      leaving.splice(leaving.begin(), entries_, std::prev(entries_.end()));
    }
  }
}

void CompiledCache::clear() {
  Entries leaving;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    leaving.swap(entries_);
    index_.clear();
    generation_ += leaving.size();
    hits_ = misses_ = 0;
  }
}

bool CompiledCache::begin_compile(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Another thread may have finished it since the caller looked.
  if (index_.count(key) != 0) return false;
  if (!compiling_.insert(key).second) return false;
  compiled_once_ = true;
  return true;
}

void CompiledCache::end_compile(const std::string& key) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    compiling_.erase(key);
  }
  compiled_.notify_all();
}

void CompiledCache::await_compile(const std::string& key) {
  std::unique_lock<std::mutex> lock(mutex_);
  compiled_.wait(lock, [&] { return compiling_.count(key) == 0; });
}

CompiledCache::Info CompiledCache::info() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {hits_, misses_, entries_.size(), max_size_, generation_};
}

bool CompiledCache::forked_after_compiling() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return forked_;
}

void CompiledCache::before_fork() {
  mutex_.lock();
}

void CompiledCache::after_fork_in_parent() {
  mutex_.unlock();
}

void CompiledCache::after_fork_in_child() {
  // The child has one thread, the one that forked and holds the lock. The
  // compiles in flight belong to threads that stayed in the parent.
  compiling_.clear();
  forked_ = forked_ || compiled_once_;
  mutex_.unlock();
}

CompiledCache& compiled_cache() {
  // Never destroyed: its entries are Python objects, which must not be
  // released after the interpreter has finalised.
  static CompiledCache* const cache = [] {
    auto* made = new CompiledCache(64);
    pthread_atfork([] { compiled_cache().before_fork(); },
                   [] { compiled_cache().after_fork_in_parent(); },
                   [] { compiled_cache().after_fork_in_child(); });
    return made;
  }();
  return *cache;
}

}  // namespace kelvra::engine
