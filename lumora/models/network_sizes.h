// The sizes that build a HyperspectralNet: what the trained-model records
// store, what the options carry (there, bands and classes are left 0 until
// the scene is read) and what a network is rebuilt from.
#pragma once

#include <cstdint>

namespace lumora {

struct NetworkSizes {
  int64_t num_bands = 0;
  int64_t num_classes = 0;  // class 0 (unlabelled) included
  int64_t num_filters = 8;
  int64_t num_blocks = 3;
  int64_t base_filters = 32;
};

inline bool operator==(const NetworkSizes& a, const NetworkSizes& b) {
  return a.num_bands == b.num_bands && a.num_classes == b.num_classes && a.num_filters == b.num_filters &&
         a.num_blocks == b.num_blocks && a.base_filters == b.base_filters;
}
inline bool operator!=(const NetworkSizes& a, const NetworkSizes& b) { return !(a == b); }

}  // namespace lumora
