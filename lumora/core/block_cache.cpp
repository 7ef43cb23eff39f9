#include "lumora/core/block_cache.h"

#include <algorithm>
#include <cstdlib>

namespace lumora {
namespace {

constexpr size_t kAlignment = 64;

void* allocate(size_t n) {
  void* p = nullptr;
  return posix_memalign(&p, kAlignment, n) == 0 ? p : nullptr;
}

}  // namespace

BlockCache::~BlockCache() {
  for (const auto& [size, p] : kept_) std::free(p);
}

void BlockCache::release(std::multimap<size_t, void*>::iterator kept) {
  kept_bytes_ -= kept->first;
  blocks_.erase(kept->second);
  std::free(kept->second);
  kept_.erase(kept);
}

void BlockCache::release_until_fits(size_t n) {
  // Largest first: the kept block least likely to match the new pattern.
  while (!kept_.empty() && live_ + kept_bytes_ + n > std::max(peak_, live_ + n)) release(std::prev(kept_.end()));
}

void* BlockCache::take(size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto fit = kept_.lower_bound(n);
  void* p = nullptr;
  if (fit != kept_.end() && fit->first - n <= n / kSlackDivisor) {
    p = fit->second;
    kept_bytes_ -= fit->first;
    kept_.erase(fit);
  } else {
    release_until_fits(n);
    p = allocate(n);
    if (!p) {  // out of memory: nothing kept is worth more than this request
      while (!kept_.empty()) release(kept_.begin());
      p = allocate(n);
      if (!p) return nullptr;
    }
    blocks_[p] = Block{n, false};
  }
  Block& b = blocks_.at(p);
  b.kept = false;
  live_ += b.size;
  peak_ = std::max(peak_, live_);
  return p;
}

bool BlockCache::give_back(void* p) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = blocks_.find(p);
  if (it == blocks_.end()) return false;
  if (it->second.kept) return true;  // already back: a second free changes nothing
  it->second.kept = true;
  live_ -= it->second.size;
  kept_bytes_ += it->second.size;
  kept_.emplace(it->second.size, p);
  return true;
}

size_t BlockCache::live_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_;
}

size_t BlockCache::kept_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_bytes_;
}

size_t BlockCache::peak_live_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_;
}

}  // namespace lumora
