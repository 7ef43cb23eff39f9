#include "lumora/models/network_record.h"

#include <fmt/format.h>

#include <filesystem>
#include <limits>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>
#include <torch/torch.h>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"
#include "lumora/core/paths.h"

namespace lumora {
namespace {

using json = nlohmann::ordered_json;

const json& entry(const json& doc, const char* key, const std::string& path) {
  if (!doc.contains(key)) throw KeyError("'" + path + "' has no \"" + key + "\" entry");
  return doc[key];
}

int64_t integer(const json& doc, const char* key, int64_t minimum, const std::string& path) {
  const json& v = entry(doc, key, path);
  if (!v.is_number_integer() || v.get<int64_t>() < minimum)
    throw ValueError(fmt::format("'{}': \"{}\" must be an integer of at least {}, got {}", path, key, minimum,
                                 v.dump()));
  return v.get<int64_t>();
}

}  // namespace

std::string network_record_path(const std::string& weights_path) {
  const std::filesystem::path p(weights_path);
  if (p.extension() == ".json") return weights_path + ".json";
  return std::filesystem::path(p).replace_extension(".json").string();
}

void save_network_record(const NetworkRecord& r, const std::string& path) {
  json doc = json::object();
  doc["model"] = "HyperspectralNet";
  doc["num_bands"] = r.num_bands;
  doc["num_classes"] = r.num_classes;
  doc["num_filters"] = r.num_filters;
  doc["num_blocks"] = r.num_blocks;
  doc["base_filters"] = r.base_filters;
  doc["fp16"] = r.fp16;
  doc["normalisation"] = r.normalisation;
  doc["split"] = protocol_to_json(r.split);
  doc["best_epoch"] = r.best_epoch;
  doc["class_names"] = r.class_names;
  if (!r.trained_classes.empty()) doc["trained_classes"] = r.trained_classes;
  if (r.spectral_support > 0) doc["spectral_support"] = r.spectral_support;
  const std::string text = doc.dump(2) + "\n";
  write_text_file(path, text);
}

NetworkRecord load_network_record(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileNotFoundError("cannot read '" + path + "'");
  std::stringstream text;
  text << in.rdbuf();
  json doc;
  try {
    doc = json::parse(text.str());
  } catch (const json::exception& e) {
    throw ValueError("'" + path + "' is not valid JSON: " + e.what());
  }
  if (!doc.is_object() || !doc.contains("model") || doc["model"] != "HyperspectralNet")
    throw ValueError("'" + path + "' does not describe a HyperspectralNet (no \"model\": \"HyperspectralNet\")");
  NetworkRecord r;
  r.num_bands = integer(doc, "num_bands", 1, path);
  r.num_classes = integer(doc, "num_classes", 2, path);
  r.num_filters = integer(doc, "num_filters", 1, path);
  r.num_blocks = integer(doc, "num_blocks", 0, path);
  r.base_filters = integer(doc, "base_filters", 1, path);
  const json& fp16 = entry(doc, "fp16", path);
  if (!fp16.is_boolean()) throw ValueError("'" + path + "': \"fp16\" must be true or false, got " + fp16.dump());
  r.fp16 = fp16.get<bool>();
  const json& norm = entry(doc, "normalisation", path);
  if (!norm.is_string() || (norm.get<std::string>() != "standard" && norm.get<std::string>() != "min_max"))
    throw ValueError("'" + path + "': \"normalisation\" must be \"standard\" or \"min_max\", got " + norm.dump());
  r.normalisation = norm.get<std::string>();
  const json& split = entry(doc, "split", path);
  if (!split.is_object()) throw ValueError("'" + path + "': \"split\" must be an object, got " + split.dump());
  r.split = protocol_from_json(split, "'" + path + "': split");
  r.best_epoch = doc.contains("best_epoch") ? integer(doc, "best_epoch", 0, path) : 0;
  if (doc.contains("class_names")) {
    const json& names = doc["class_names"];
    if (!names.is_array()) throw ValueError("'" + path + "': \"class_names\" must be a list of texts");
    for (const auto& n : names) {
      if (!n.is_string()) throw ValueError("'" + path + "': \"class_names\" must be a list of texts");
      r.class_names.push_back(n.get<std::string>());
    }
  }
  if (doc.contains("trained_classes")) {
    const json& ids = doc["trained_classes"];
    const std::string bad = "'" + path + "': \"trained_classes\" must be a list of class ids from 1 to " +
                            std::to_string(r.num_classes - 1);
    if (!ids.is_array() || ids.empty()) throw ValueError(bad);
    for (const auto& id : ids) {
      if (!id.is_number_integer() || id.get<int64_t>() < 1 || id.get<int64_t>() >= r.num_classes) throw ValueError(bad);
      r.trained_classes.push_back(id.get<int64_t>());
    }
  }
  if (doc.contains("spectral_support")) r.spectral_support = integer(doc, "spectral_support", 1, path);
  return r;
}

std::vector<int64_t> predictable_classes(const NetworkRecord& r) {
  if (!r.trained_classes.empty()) return r.trained_classes;
  std::vector<int64_t> all;
  for (int64_t k = 1; k < r.num_classes; ++k) all.push_back(k);
  return all;
}

torch::Tensor restrict_to_classes(const torch::Tensor& logits, const std::vector<int64_t>& classes) {
  auto allowed = torch::zeros({logits.size(1)}, torch::kBool);
  for (int64_t k : classes)
    if (k >= 1 && k < logits.size(1)) allowed[k] = true;
  if (!allowed.any().item<bool>()) throw ValueError("a network must be allowed at least one class to predict");
  std::vector<int64_t> shape(static_cast<size_t>(logits.dim()), 1);
  shape[1] = logits.size(1);
  const auto mask = allowed.logical_not().reshape(shape).to(logits.device());
  return logits.masked_fill(mask, -std::numeric_limits<float>::infinity());
}

}  // namespace lumora
