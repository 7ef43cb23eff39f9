#include "lumora/distributed/shared_state.h"

#include <fmt/format.h>
#include <torch/serialize.h>
#include <torch/torch.h>

#include <vector>

#include "lumora/core/errors.h"

namespace lumora {

void publish_tensor(Cluster& cluster, const std::string& key, const torch::Tensor& tensor) {
  const std::vector<char> bytes = torch::pickle_save(c10::IValue(tensor.to(torch::kCPU).contiguous()));
  cluster.publish(key, std::string(bytes.begin(), bytes.end()));
}

torch::Tensor receive_tensor(Cluster& cluster, const std::string& key) {
  const std::string bytes = cluster.receive(key);
  return torch::pickle_load(std::vector<char>(bytes.begin(), bytes.end())).toTensor();
}

void Digest::mix(const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) hash_ = (hash_ ^ p[i]) * 1099511628211ULL;
}

Digest& Digest::add(const std::string& text) {
  mix(text.data(), text.size());
  mix("\0", 1);  // "ab" + "c" differs from "a" + "bc"
  return *this;
}

Digest& Digest::add(const torch::Tensor& tensor) {
  const torch::Tensor t = tensor.to(torch::kCPU).contiguous();
  add(std::string(c10::toString(t.scalar_type())) + fmt::format("{}", fmt::join(t.sizes(), "x")));
  mix(t.data_ptr(), static_cast<size_t>(t.numel()) * t.element_size());
  return *this;
}

std::string Digest::hex() const { return fmt::format("{:016x}", hash_); }

void agree_on(Cluster& cluster, const std::string& key_prefix, const std::string& digest, const std::string& what,
              const std::string& remedy) {
  cluster.publish(fmt::format("{}digest/{}", key_prefix, cluster.rank()), digest);
  if (!cluster.is_leader()) return;
  for (int64_t r = 1; r < cluster.world_size(); ++r)
    if (cluster.receive(fmt::format("{}digest/{}", key_prefix, r), /*consume=*/true) != digest)
      throw ValueError(fmt::format("rank {} has {} than rank 0: {}", r, what, remedy));
}

}  // namespace lumora
