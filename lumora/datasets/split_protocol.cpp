#include "lumora/datasets/split_protocol.h"

#include <fmt/format.h>
#include <torch/torch.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>

#include "lumora/core/errors.h"
#include "lumora/core/format.h"

namespace lumora {
namespace {

using json = nlohmann::ordered_json;

// Draws j uniformly from 0..max by masked rejection, as numpy's legacy
// RandomState does, so that splits equal numpy's shuffle for the same seed.
uint32_t draw_interval(std::mt19937& gen, uint32_t max) {
  uint32_t mask = max;
  mask |= mask >> 1;
  mask |= mask >> 2;
  mask |= mask >> 4;
  mask |= mask >> 8;
  mask |= mask >> 16;
  uint32_t value;
  do {
    value = static_cast<uint32_t>(gen()) & mask;
  } while (value > max);
  return value;
}

template <typename T>
void shuffle(std::vector<T>& items, std::mt19937& gen) {
  for (int64_t i = static_cast<int64_t>(items.size()) - 1; i >= 1; --i) {
    const int64_t j = draw_interval(gen, static_cast<uint32_t>(i));
    std::swap(items[i], items[j]);
  }
}

torch::Tensor to_coords(const std::vector<int64_t>& flat, int64_t width) {
  auto out = torch::empty({static_cast<int64_t>(flat.size()), 2}, torch::kInt64);
  auto acc = out.accessor<int64_t, 2>();
  for (size_t i = 0; i < flat.size(); ++i) {
    acc[i][0] = flat[i] / width;
    acc[i][1] = flat[i] % width;
  }
  return out;
}

void check_protocol(const SplitProtocol& p) {
  if (p.seed < 0 || p.seed > 0xFFFFFFFFLL) throw ValueError("Seed must be between 0 and 2**32 - 1");
  // A fraction outside 0..1 (or NaN) would reach an undefined conversion to a pixel count below.
  for (const auto& [name, ratio] : {std::pair<const char*, double>{"train_ratio", p.train_ratio}, {"val_ratio", p.val_ratio}})
    if (!(ratio >= 0.0 && ratio <= 1.0))
      throw ValueError(std::string(name) + " must be a number from 0 to 1, got " + py_float(ratio));
  if (p.train_per_class) check_at_least("train_per_class", *p.train_per_class, 1);
  if (p.val_per_class) check_at_least("val_per_class", *p.val_per_class, 0);
  check_at_least("split block", p.block, 0);
  check_at_least("split guard", p.guard, 0);
}

// Row-major positions of every labelled pixel, bucketed by class.
std::vector<std::vector<int64_t>> pixels_by_class(const torch::Tensor& labels, int64_t num_classes) {
  const auto flat = labels.contiguous();
  const int64_t* lab = flat.data_ptr<int64_t>();
  std::vector<std::vector<int64_t>> by_class(static_cast<size_t>(std::max<int64_t>(num_classes, 1)));
  for (int64_t i = 0, n = flat.numel(); i < n; ++i)
    if (lab[i] > 0 && lab[i] < num_classes) by_class[lab[i]].push_back(i);
  return by_class;
}

// How many of a class's n pixels each set is asked for. A fraction is
// today's rule (at least one pixel). A count is capped so that a small class
// keeps pixels to test on: training takes at most half of it (at least one
// pixel), validation at most half of what is left.
struct Targets {
  int64_t train = 0, val = 0;
};
Targets targets(const SplitProtocol& p, int64_t n) {
  Targets t;
  t.train = p.train_per_class ? std::min(*p.train_per_class, std::max<int64_t>(1, n / 2))
                              : std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(n) * p.train_ratio));
  const int64_t left = std::max<int64_t>(0, n - t.train);
  t.val = p.val_per_class ? std::min(*p.val_per_class, left / 2)
                          : std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(n) * p.val_ratio));
  return t;
}

// The console's words for what a count left out of one class.
void note_cuts(const SplitProtocol& p, int64_t c, int64_t n, int64_t train, int64_t val, int64_t test,
               std::vector<std::string>& notes) {
  const bool short_train = p.train_per_class && train < *p.train_per_class;
  const bool short_val = p.val_per_class && val < *p.val_per_class;
  if (short_train || short_val)
    notes.push_back(fmt::format("class {} has {} pixels: {} train{}, {} val{}, {} test", c, n, train,
                                short_train ? fmt::format(" ({} asked)", *p.train_per_class) : "", val,
                                short_val ? fmt::format(" ({} asked)", *p.val_per_class) : "", test));
  if (test == 0 && n > 0)
    notes.push_back(fmt::format("class {} has no test pixel ({} pixel{} in all): it is not scored", c, n,
                                n == 1 ? "" : "s"));
}

PixelSplit random_split(const torch::Tensor& labels, int64_t num_classes, const SplitProtocol& p) {
  auto by_class = pixels_by_class(labels, num_classes);
  std::mt19937 gen(static_cast<uint32_t>(p.seed));
  std::vector<int64_t> train, val, test;
  PixelSplit out;
  for (int64_t c = 1; c < num_classes; ++c) {
    auto& pixels = by_class[c];
    const int64_t n = static_cast<int64_t>(pixels.size());
    shuffle(pixels, gen);
    const Targets t = targets(p, n);
    const int64_t train_end = std::min(n, t.train);
    const int64_t val_end = std::min(n, t.train + t.val);
    train.insert(train.end(), pixels.begin(), pixels.begin() + train_end);
    val.insert(val.end(), pixels.begin() + train_end, pixels.begin() + val_end);
    test.insert(test.end(), pixels.begin() + val_end, pixels.end());
    // The ratio split says nothing new: its console stays as it always was.
    if (!p.plain_ratios()) note_cuts(p, c, n, train_end, val_end - train_end, n - val_end, out.notes);
  }
  const int64_t width = labels.size(1);
  out.train = to_coords(train, width), out.val = to_coords(val, width), out.test = to_coords(test, width);
  return out;
}

enum Role : uint8_t { kUnused = 0, kTrain = 1, kVal = 2, kTest = 3 };

// Square blocks of the scene, each given whole to training, validation or
// testing. Classes are served rarest first, so that a rare class chooses its
// blocks before a common one takes them; each walks its blocks in shuffled
// order, counting the pixels it already has in blocks other classes chose,
// and always leaves one of its blocks to testing when it has two or more.
std::vector<Role> block_roles(const std::vector<std::vector<int64_t>>& by_class, const SplitProtocol& p,
                              int64_t width, int64_t block, int64_t blocks_across, int64_t block_count) {
  std::vector<int64_t> order;
  for (int64_t c = 1; c < static_cast<int64_t>(by_class.size()); ++c)
    if (!by_class[c].empty()) order.push_back(c);
  std::stable_sort(order.begin(), order.end(),
                   [&](int64_t a, int64_t b) { return by_class[a].size() < by_class[b].size(); });
  std::vector<Role> role(static_cast<size_t>(block_count), kUnused);
  std::mt19937 gen(static_cast<uint32_t>(p.seed));
  for (int64_t c : order) {
    std::map<int64_t, int64_t> count;  // block -> this class's pixels in it
    for (int64_t i : by_class[c]) ++count[(i / width) / block * blocks_across + (i % width) / block];
    std::vector<int64_t> blocks;
    int64_t have_train = 0, have_val = 0, open = 0;
    bool has_test = false;
    for (const auto& [b, k] : count) {
      blocks.push_back(b);
      have_train += role[b] == kTrain ? k : 0;
      have_val += role[b] == kVal ? k : 0;
      has_test |= role[b] == kTest;
      open += role[b] == kUnused;
    }
    shuffle(blocks, gen);
    const Targets t = targets(p, static_cast<int64_t>(by_class[c].size()));
    for (int64_t b : blocks) {
      if (role[b] != kUnused) continue;
      if (open == 1 && !has_test && count.size() > 1) break;  // the last open block stays for testing
      if (have_train < t.train) {
        role[b] = kTrain, have_train += count[b];
      } else if (have_val < t.val) {
        role[b] = kVal, have_val += count[b];
      } else {
        break;
      }
      --open;
    }
  }
  for (auto& r : role)
    if (r == kUnused) r = kTest;
  return role;
}

PixelSplit disjoint_split(const torch::Tensor& labels, int64_t num_classes, const SplitProtocol& p) {
  const int64_t height = labels.size(0), width = labels.size(1);
  const int64_t block = resolved_block(p, height, width);
  const int64_t blocks_across = (width + block - 1) / block;
  const int64_t block_count = blocks_across * ((height + block - 1) / block);
  const auto by_class = pixels_by_class(labels, num_classes);
  const std::vector<Role> role = block_roles(by_class, p, width, block, blocks_across, block_count);

  // Test pixels within the guard (Chebyshev distance) of a training or
  // validation pixel are left unused.
  std::vector<uint8_t> pixel_role(static_cast<size_t>(height * width), kUnused);
  auto block_of = [&](int64_t i) { return (i / width) / block * blocks_across + (i % width) / block; };
  for (int64_t c = 1; c < num_classes; ++c)
    for (int64_t i : by_class[c]) pixel_role[i] = role[block_of(i)];
  auto fitted = torch::zeros({1, 1, height, width}, torch::kFloat32);
  float* f = fitted.data_ptr<float>();
  for (int64_t i = 0; i < height * width; ++i) f[i] = pixel_role[i] == kTrain || pixel_role[i] == kVal;
  const int64_t g = p.guard;
  const torch::Tensor near =
      g > 0 ? torch::max_pool2d(fitted, {2 * g + 1, 2 * g + 1}, {1, 1}, {g, g}).reshape({-1}).contiguous()
            : fitted.reshape({-1});
  const float* close = near.data_ptr<float>();

  PixelSplit out;
  std::vector<int64_t> train, val, test;
  int64_t dropped = 0;
  for (int64_t c = 1; c < num_classes; ++c) {
    const int64_t before_train = static_cast<int64_t>(train.size()), before_val = static_cast<int64_t>(val.size()),
                  before_test = static_cast<int64_t>(test.size());
    for (int64_t i : by_class[c]) {
      if (pixel_role[i] == kTrain) {
        train.push_back(i);
      } else if (pixel_role[i] == kVal) {
        val.push_back(i);
      } else if (close[i] > 0.0f) {
        ++dropped;
      } else {
        test.push_back(i);
      }
    }
    const int64_t n = static_cast<int64_t>(by_class[c].size());
    if (n > 0 && static_cast<int64_t>(train.size()) == before_train)
      throw ValueError(fmt::format(
          "the disjoint split leaves class {} without training pixels: its {} pixel{} lie in blocks of {} x {} "
          "pixels that other classes gave to validation; choose a smaller --split_block",
          c, n, n == 1 ? "" : "s", block, block));
    note_cuts(p, c, n, static_cast<int64_t>(train.size()) - before_train,
              static_cast<int64_t>(val.size()) - before_val, static_cast<int64_t>(test.size()) - before_test,
              out.notes);
  }
  out.notes.insert(out.notes.begin(),
                   fmt::format("disjoint split: blocks of {} x {} pixels; the guard band of {} pixel{} left {} test "
                               "pixel{} unused",
                               block, block, g, g == 1 ? "" : "s", thousands(dropped), dropped == 1 ? "" : "s"));
  out.train = to_coords(train, width), out.val = to_coords(val, width), out.test = to_coords(test, width);
  return out;
}

std::optional<int64_t> optional_integer(const json& record, const char* key, int64_t minimum,
                                        const std::string& where) {
  if (!record.contains(key)) return std::nullopt;
  const json& v = record[key];
  if (!v.is_number_integer() || v.get<int64_t>() < minimum)
    throw ValueError(fmt::format("{}.{} must be an integer of at least {}, got {}", where, key, minimum, v.dump()));
  return v.get<int64_t>();
}

std::optional<std::string> optional_text(const json& record, const char* key, const std::string& where) {
  if (!record.contains(key)) return std::nullopt;
  const json& v = record[key];
  if (!v.is_string() || v.get<std::string>().empty())
    throw ValueError(fmt::format("{}.{} must be a file path, got {}", where, key, v.dump()));
  return v.get<std::string>();
}

}  // namespace

SplitMode parse_split_mode(const std::string& name) {
  if (name == "random") return SplitMode::random;
  if (name == "disjoint") return SplitMode::disjoint;
  if (name == "given") return SplitMode::given;
  throw ValueError("split mode must be 'random' or 'disjoint', got '" + name + "'");
}

const char* split_mode_name(SplitMode mode) {
  switch (mode) {
    case SplitMode::random:
      return "random";
    case SplitMode::disjoint:
      return "disjoint";
    case SplitMode::given:
      return "given";
  }
  throw ValueError("unknown split mode " + std::to_string(static_cast<int>(mode)));
}

bool SplitProtocol::plain_ratios() const {
  return mode == SplitMode::random && !train_per_class && !val_per_class;
}

std::string SplitProtocol::describe() const {
  if (mode == SplitMode::given) {
    std::string text = "given maps: train " + *train_gt;
    if (val_gt) text += ", val " + *val_gt;
    return text + ", test " + (test_gt ? *test_gt : std::string("the other labelled pixels"));
  }
  const std::string train = train_per_class ? fmt::format("{} per class", *train_per_class) : py_float(train_ratio);
  const std::string val = val_per_class ? fmt::format("{} per class", *val_per_class) : py_float(val_ratio);
  std::string text = fmt::format("{}, train {}, val {}, seed {}", split_mode_name(mode), train, val, seed);
  if (mode == SplitMode::disjoint)
    text += fmt::format(", block {}, guard {}", block > 0 ? std::to_string(block) : std::string("auto"), guard);
  return text;
}

bool operator==(const SplitProtocol& a, const SplitProtocol& b) {
  return a.mode == b.mode && a.train_ratio == b.train_ratio && a.val_ratio == b.val_ratio &&
         a.train_per_class == b.train_per_class && a.val_per_class == b.val_per_class && a.block == b.block &&
         a.guard == b.guard && a.train_gt == b.train_gt && a.val_gt == b.val_gt && a.test_gt == b.test_gt &&
         a.seed == b.seed;
}

int64_t resolved_block(const SplitProtocol& p, int64_t height, int64_t width) {
  if (p.block > 0) return p.block;
  return std::clamp<int64_t>((std::min(height, width) + 5) / 10, 4, 32);
}

json protocol_to_json(const SplitProtocol& p) {
  json record = json::object();
  record["train_ratio"] = p.train_ratio;
  record["val_ratio"] = p.val_ratio;
  record["seed"] = p.seed;
  if (p.plain_ratios()) return record;
  record["mode"] = split_mode_name(p.mode);
  if (p.train_per_class) record["train_per_class"] = *p.train_per_class;
  if (p.val_per_class) record["val_per_class"] = *p.val_per_class;
  if (p.mode == SplitMode::disjoint) {
    record["block"] = p.block;
    record["guard"] = p.guard;
  }
  if (p.train_gt) record["train_gt"] = *p.train_gt;
  if (p.val_gt) record["val_gt"] = *p.val_gt;
  if (p.test_gt) record["test_gt"] = *p.test_gt;
  return record;
}

SplitProtocol protocol_from_json(const json& record, const std::string& where) {
  if (!record.is_object()) throw TypeError(where + " is not a mapping");
  static const char* const kKeys[] = {"train_ratio", "val_ratio", "seed",     "mode",  "train_per_class",
                                      "val_per_class", "block",   "guard",    "train_gt", "val_gt", "test_gt"};
  for (const auto& item : record.items())
    if (std::find(std::begin(kKeys), std::end(kKeys), item.key()) == std::end(kKeys))
      throw ValueError(where + " has an unexpected key '" + item.key() + "'");
  auto ratio = [&](const char* key) {
    if (!record.contains(key)) throw KeyError(where + " has no '" + key + "' entry");
    const json& v = record[key];
    if (!v.is_number()) throw TypeError(where + "." + key + " is a " + v.type_name() + ", not a number");
    const double r = v.get<double>();
    if (!std::isfinite(r) || r < 0.0 || r > 1.0)
      throw ValueError(where + "." + key + " must be a number from 0 to 1, got " + py_float(r));
    return r;
  };
  SplitProtocol p;
  p.train_ratio = ratio("train_ratio");
  p.val_ratio = ratio("val_ratio");
  if (!record.contains("seed")) throw KeyError(where + " has no 'seed' entry");
  if (!record["seed"].is_number_integer())
    throw TypeError(where + ".seed must be an integer from 0 to 2**32 - 1, got " + record["seed"].dump());
  p.seed = record["seed"].get<int64_t>();
  if (p.seed < 0 || p.seed > 0xFFFFFFFFLL)
    throw ValueError(where + ".seed must be from 0 to 2**32 - 1, got " + std::to_string(p.seed));
  if (record.contains("mode")) {
    if (!record["mode"].is_string()) throw TypeError(where + ".mode is not a text");
    try {
      p.mode = parse_split_mode(record["mode"].get<std::string>());
    } catch (const ValueError& e) {
      throw ValueError(where + ".mode: " + e.what());
    }
  }
  p.train_per_class = optional_integer(record, "train_per_class", 1, where);
  p.val_per_class = optional_integer(record, "val_per_class", 0, where);
  p.block = optional_integer(record, "block", 0, where).value_or(0);
  p.guard = optional_integer(record, "guard", 0, where).value_or(1);
  p.train_gt = optional_text(record, "train_gt", where);
  p.val_gt = optional_text(record, "val_gt", where);
  p.test_gt = optional_text(record, "test_gt", where);
  if ((p.mode == SplitMode::given) != p.train_gt.has_value())
    throw ValueError(where + ": a \"train_gt\" entry goes with the mode \"given\" and only with it");
  return p;
}

PixelSplit split_pixels(const torch::Tensor& labels, int64_t num_classes, const SplitProtocol& protocol) {
  check_protocol(protocol);
  switch (protocol.mode) {
    case SplitMode::random:
      return random_split(labels, num_classes, protocol);
    case SplitMode::disjoint:
      return disjoint_split(labels, num_classes, protocol);
    case SplitMode::given:
      break;
  }
  throw ValueError("a split of given maps needs the maps (split_given)");
}

PixelSplit split_pixels(const torch::Tensor& labels, int64_t num_classes, double train_ratio, double val_ratio,
                        int64_t seed) {
  SplitProtocol p;
  p.train_ratio = train_ratio, p.val_ratio = val_ratio, p.seed = seed;
  return split_pixels(labels, num_classes, p);
}

PixelSplit split_given(const GivenMaps& maps, const SplitProtocol& p) {
  const int64_t height = maps.train.size(0), width = maps.train.size(1);
  // Which set each pixel belongs to, and its label there.
  std::vector<int8_t> owner(static_cast<size_t>(height * width), -1);
  torch::Tensor labels = torch::zeros({height, width}, torch::kInt64);
  int64_t* lab = labels.data_ptr<int64_t>();
  const torch::Tensor* sets[] = {&maps.train, &maps.val, &maps.test};
  const std::string* names[] = {&maps.train_name, &maps.val_name, &maps.test_name};
  for (int s = 0; s < 3; ++s) {
    if (!sets[s]->defined()) continue;
    const torch::Tensor flat = sets[s]->contiguous();
    const int64_t* v = flat.data_ptr<int64_t>();
    int64_t clashes = 0, first = -1;
    int8_t other = -1;
    for (int64_t i = 0; i < height * width; ++i) {
      if (v[i] <= 0) continue;
      if (owner[i] >= 0) {
        if (clashes++ == 0) first = i, other = owner[i];
        continue;
      }
      owner[i] = static_cast<int8_t>(s), lab[i] = v[i];
    }
    if (clashes > 0)
      throw ValueError(fmt::format("{} pixel{} labelled in both {} and {}, the first at row {}, column {}; a pixel "
                                   "belongs to one set only",
                                   thousands(clashes), clashes == 1 ? " is" : "s are", *names[other], *names[s],
                                   first / width, first % width));
  }
  // Without a test map of its own, the test set is the scene's other labelled pixels.
  if (!maps.test.defined() && maps.labels.defined()) {
    const torch::Tensor flat = maps.labels.contiguous();
    const int64_t* v = flat.data_ptr<int64_t>();
    for (int64_t i = 0; i < height * width; ++i)
      if (owner[i] < 0 && v[i] > 0) owner[i] = 2, lab[i] = v[i];
  }
  const int64_t num_classes = labels.max().item<int64_t>() + 1;
  std::vector<std::vector<int64_t>> members[3];
  for (auto& m : members) m.resize(static_cast<size_t>(std::max<int64_t>(num_classes, 1)));
  for (int64_t i = 0; i < height * width; ++i)
    if (owner[i] >= 0) members[owner[i]][lab[i]].push_back(i);
  int64_t train_pixels = 0;
  for (const auto& m : members[0]) train_pixels += static_cast<int64_t>(m.size());
  if (train_pixels == 0) throw ValueError(maps.train_name + " labels no pixel: there is nothing to train on");
  const std::string& test_name = maps.test.defined() ? maps.test_name : maps.labels_name;
  for (int64_t c = 1; c < num_classes; ++c)
    if (members[0][c].empty() && !members[2][c].empty())
      throw ValueError(fmt::format("class {} has {} test pixel{} in {} but no training pixel in {}: a network cannot "
                                   "learn it",
                                   c, thousands(static_cast<int64_t>(members[2][c].size())),
                                   members[2][c].size() == 1 ? "" : "s", test_name, maps.train_name));
  // Without a validation map, validation takes its share of each class of
  // the training map, drawn as the random split draws, leaving training at
  // least one pixel.
  if (!maps.val.defined()) {
    std::mt19937 gen(static_cast<uint32_t>(p.seed));
    for (int64_t c = 1; c < num_classes; ++c) {
      auto& pixels = members[0][c];
      const int64_t n = static_cast<int64_t>(pixels.size());
      shuffle(pixels, gen);
      const int64_t wanted = p.val_per_class ? *p.val_per_class
                                             : std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(n) * p.val_ratio));
      const int64_t take = std::max<int64_t>(0, std::min(wanted, n - 1));
      members[1][c].assign(pixels.begin(), pixels.begin() + take);
      pixels.erase(pixels.begin(), pixels.begin() + take);
    }
  }
  PixelSplit out;
  std::vector<int64_t> joined[3];
  for (int s = 0; s < 3; ++s)
    for (int64_t c = 1; c < num_classes; ++c)
      joined[s].insert(joined[s].end(), members[s][c].begin(), members[s][c].end());
  out.train = to_coords(joined[0], width), out.val = to_coords(joined[1], width);
  out.test = to_coords(joined[2], width);
  out.labels = labels;
  return out;
}

torch::Tensor split_roles(const PixelSplit& split, int64_t height, int64_t width) {
  torch::Tensor roles = torch::zeros({height, width}, torch::kUInt8);
  const torch::Tensor* sets[] = {&split.train, &split.val, &split.test};
  for (int s = 0; s < 3; ++s) {
    const torch::Tensor& c = *sets[s];
    if (c.size(0) > 0) roles.index_put_({c.select(1, 0), c.select(1, 1)}, static_cast<int64_t>(s + 1));
  }
  return roles;
}

}  // namespace lumora
