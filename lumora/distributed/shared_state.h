// What ranks share besides the training jobs: a tensor sent by one rank to
// the others, and the check that every rank is about to do the same work.
#pragma once

#include <cstdint>
#include <string>

#include <torch/types.h>

#include "lumora/distributed/cluster.h"

namespace lumora {

// `tensor` (any device) under `key`, read back on the CPU by receive_tensor.
void publish_tensor(Cluster& cluster, const std::string& key, const torch::Tensor& tensor);
torch::Tensor receive_tensor(Cluster& cluster, const std::string& key);

// A 64-bit FNV-1a hash of text and tensor bytes, written as 16 hex digits.
class Digest {
 public:
  Digest& add(const std::string& text);
  Digest& add(const torch::Tensor& tensor);  // its values, in row-major order
  std::string hex() const;

 private:
  void mix(const void* data, size_t n);
  uint64_t hash_ = 14695981039346656037ULL;  // FNV-1a offset basis
};

// Every rank sends `digest` under `key_prefix`; rank 0 fails, naming the
// first rank whose digest differs from its own, with "rank R has <what> than
// rank 0: <remedy>".
void agree_on(Cluster& cluster, const std::string& key_prefix, const std::string& digest, const std::string& what,
              const std::string& remedy);

}  // namespace lumora
