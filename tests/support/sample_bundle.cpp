#include "support/sample_bundle.h"

#include <torch/torch.h>

namespace lumora::testing {

Bundle sample_bundle() {
  Bundle b;
  b.tree = TreeNode({1, 2, 3}, TreeNode({1}), TreeNode({2, 3}));
  for (const auto& [id, classes] : std::vector<std::pair<std::string, std::vector<int64_t>>>{
           {"root", {1, 2, 3}}, {"root_R", {2, 3}}}) {
    NodeEntry e;
    ClassMaps maps = class_maps(classes);
    ForestEntry f;
    f.state_dict = {{"w", torch::randn({2, 3})}, {"n", torch::tensor(int64_t{4})}};
    f.global_to_local = maps.global_to_local;
    f.local_to_global = maps.local_to_global;
    f.num_classes = maps.num_classes;
    f.num_bands = 5;
    f.num_filters = 2;
    f.num_blocks = 1;
    f.base_filters = 4;
    e.forests = {f};
    e.node_classes = classes;
    e.num_classes = maps.num_classes;
    e.num_bands = 5;
    e.num_filters = 2;
    e.num_blocks = 1;
    e.base_filters = 4;
    e.d_model = 8;
    if (id == "root")
      e.router_state = StateDict{{"head.0.weight", torch::randn({32, 8})}, {"head.0.bias", torch::randn({32})},
                                 {"head.2.weight", torch::randn({1, 32})}, {"head.2.bias", torch::randn({1})}};
    b.trained_models.insert(id, e);
  }
  b.ssm_state = StateDict{{"ssm.out_proj.weight", torch::randn({8, 4})}};
  b.d_model = 8;
  b.d_state = 4;
  return b;
}

}  // namespace lumora::testing
