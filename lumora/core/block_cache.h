// Large memory blocks kept for reuse. A training step allocates and frees
// the same few hundred MB of temporaries every time; freeing them to the
// kernel makes the next step fault every page in again (a third of all CPU
// time went to the kernel that way). Blocks freed here are kept and handed
// out again for requests of about their size, while the memory held (in use
// plus kept) never exceeds the most that was ever in use at once, so peak
// memory stays what the work itself needs.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <unordered_map>

namespace lumora {

class BlockCache {
 public:
  // A kept block serves a request it exceeds by at most a quarter.
  static constexpr size_t kSlackDivisor = 4;

  BlockCache() = default;
  ~BlockCache();
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // A block of at least n bytes, 64-byte aligned; nullptr when the system
  // has no memory left even after every kept block was released.
  void* take(size_t n);
  // Keeps a block from take(); false (and nothing done) for any other pointer.
  bool give_back(void* p);

  size_t live_bytes() const;
  size_t kept_bytes() const;
  size_t peak_live_bytes() const;

 private:
  // Callers hold the lock.
  void release_until_fits(size_t n);
  void release(std::multimap<size_t, void*>::iterator kept);

  mutable std::mutex mutex_;
  struct Block {
    size_t size;
    bool kept;
  };
  std::multimap<size_t, void*> kept_;        // by size, for best fit
  std::unordered_map<void*, Block> blocks_;  // every block taken and not released
  size_t live_ = 0, kept_bytes_ = 0, peak_ = 0;
};

}  // namespace lumora
