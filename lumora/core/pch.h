// Precompiled for every target: LibTorch dominates compile time.
#pragma once
#include <torch/torch.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>
