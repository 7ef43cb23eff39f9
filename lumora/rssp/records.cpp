#include "lumora/rssp/records.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "lumora/core/errors.h"

namespace lumora {

const std::vector<std::string> kForestEntryKeys = {"state_dict",  "global_to_local", "local_to_global",
                                                   "num_classes", "num_bands",       "num_filters",
                                                   "num_blocks",  "base_filters"};
const std::vector<std::string> kNodeEntryKeys = {"forests",     "router_state", "node_classes",
                                                 "num_classes", "num_bands",    "num_filters",
                                                 "num_blocks",  "base_filters", "d_model"};

namespace {

std::string id_list(const std::vector<int64_t>& ids) {
  return "[" + fmt::format("{}", fmt::join(ids, ", ")) + "]";
}

std::unique_ptr<TreeNode> clone(const std::unique_ptr<TreeNode>& node) {
  return node ? std::make_unique<TreeNode>(*node) : nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// TreeNode

TreeNode::TreeNode(std::vector<int64_t> classes_, TreeNode left_, TreeNode right_)
    : classes(std::move(classes_)),
      left(std::make_unique<TreeNode>(std::move(left_))),
      right(std::make_unique<TreeNode>(std::move(right_))) {}

TreeNode::TreeNode(const TreeNode& other)
    : classes(other.classes), left(clone(other.left)), right(clone(other.right)), split_angle(other.split_angle) {}

TreeNode& TreeNode::operator=(const TreeNode& other) {
  if (this != &other) {
    TreeNode copy(other);
    *this = std::move(copy);
  }
  return *this;
}

int64_t TreeNode::levels() const {
  int64_t below = 0;
  if (left) below = std::max(below, left->levels());
  if (right) below = std::max(below, right->levels());
  return below + 1;
}

bool operator==(const TreeNode& a, const TreeNode& b) {
  auto same_child = [](const std::unique_ptr<TreeNode>& x, const std::unique_ptr<TreeNode>& y) {
    if (!x || !y) return !x && !y;
    return *x == *y;
  };
  return a.classes == b.classes && a.split_angle == b.split_angle && same_child(a.left, b.left) &&
         same_child(a.right, b.right);
}

namespace {

void validate_node(const TreeNode& node, const std::string& where, int64_t depth) {
  if (depth > kMaxTreeDepth) throw ValueError(fmt::format("{}: tree deeper than {} levels", where, kMaxTreeDepth));
  if (node.classes.empty()) throw ValueError(where + ".classes: empty class list");
  std::set<int64_t> own;
  for (int64_t c : node.classes) {
    if (c < 1) throw ValueError(fmt::format("{}.classes: class id {} is below 1", where, c));
    if (!own.insert(c).second) throw ValueError(fmt::format("{}.classes: class id {} appears twice", where, c));
  }
  if (node.is_leaf()) return;
  if (!node.is_internal())
    throw ValueError(where + ": a node must have both children or neither (found only the " +
                     (node.left ? "left" : "right") + " one)");
  validate_node(*node.left, where + ".left", depth + 1);
  validate_node(*node.right, where + ".right", depth + 1);
  std::set<int64_t> children(node.left->classes.begin(), node.left->classes.end());
  for (int64_t c : node.right->classes)
    if (!children.insert(c).second)
      throw ValueError(fmt::format("{}: class {} is in both children", where, c));
  if (children != own)
    throw ValueError(fmt::format("{}: the children's classes {} + {} do not make up the node's classes {}", where,
                                 id_list(node.left->classes), id_list(node.right->classes), id_list(node.classes)));
}

void collect_trained(const TreeNode& node, const std::string& id, std::vector<std::string>& out) {
  out.push_back(id);
  if (node.left && node.left->classes.size() >= 2) collect_trained(*node.left, left_id(id), out);
  if (node.right && node.right->classes.size() >= 2) collect_trained(*node.right, right_id(id), out);
}

void collect_all(const TreeNode& node, const std::string& id,
                 std::vector<std::pair<std::string, const TreeNode*>>& out) {
  out.emplace_back(id, &node);
  if (node.left) collect_all(*node.left, left_id(id), out);
  if (node.right) collect_all(*node.right, right_id(id), out);
}

}  // namespace

void validate_tree(const TreeNode& tree, const std::string& where) { validate_node(tree, where, 1); }

std::vector<std::string> trained_node_ids(const TreeNode& tree, const std::string& node_id) {
  std::vector<std::string> out;
  collect_trained(tree, node_id, out);
  return out;
}

std::vector<std::pair<std::string, const TreeNode*>> preorder(const TreeNode& tree, const std::string& node_id) {
  std::vector<std::pair<std::string, const TreeNode*>> out;
  collect_all(tree, node_id, out);
  return out;
}

const TreeNode* find_node(const TreeNode& tree, const std::string& node_id) {
  if (node_id.rfind(kRootId, 0) != 0) return nullptr;
  const TreeNode* node = &tree;
  for (size_t i = kRootId.size(); i < node_id.size(); i += 2) {
    if (i + 1 >= node_id.size() || node_id[i] != '_') return nullptr;
    const char side = node_id[i + 1];
    if (side == 'L')
      node = node->left.get();
    else if (side == 'R')
      node = node->right.get();
    else
      return nullptr;
    if (!node) return nullptr;
  }
  return node;
}

// ---------------------------------------------------------------------------
// Class numbering

ClassMaps class_maps(const std::vector<int64_t>& node_classes) {
  if (node_classes.empty()) throw ValueError("a node needs at least one class");
  std::vector<int64_t> sorted = node_classes;
  std::sort(sorted.begin(), sorted.end());
  ClassMaps maps;
  for (size_t i = 0; i < sorted.size(); ++i) {
    if (sorted[i] < 1) throw ValueError(fmt::format("class id {} is below 1 in node classes {}", sorted[i], id_list(node_classes)));
    if (i > 0 && sorted[i] == sorted[i - 1])
      throw ValueError(fmt::format("class id {} appears twice in node classes {}", sorted[i], id_list(node_classes)));
    const int64_t local = static_cast<int64_t>(i) + 1;
    maps.global_to_local[sorted[i]] = local;
    maps.local_to_global[local] = sorted[i];
  }
  maps.num_classes = static_cast<int64_t>(sorted.size()) + 1;
  return maps;
}

ClassMap global_to_local(const std::vector<int64_t>& node_classes) { return class_maps(node_classes).global_to_local; }
ClassMap local_to_global(const std::vector<int64_t>& node_classes) { return class_maps(node_classes).local_to_global; }

// ---------------------------------------------------------------------------
// TrainedModels

void TrainedModels::insert(const std::string& node_id, NodeEntry entry) {
  if (contains(node_id)) throw ValueError("trained_models already holds node '" + node_id + "'");
  items_.emplace_back(node_id, std::move(entry));
}

void TrainedModels::extend(TrainedModels other) {
  for (auto& [id, entry] : other.items_) insert(id, std::move(entry));
}

bool TrainedModels::contains(const std::string& node_id) const { return find(node_id) != nullptr; }

const NodeEntry* TrainedModels::find(const std::string& node_id) const {
  for (const auto& item : items_)
    if (item.first == node_id) return &item.second;
  return nullptr;
}

const NodeEntry& TrainedModels::at(const std::string& node_id) const {
  if (const NodeEntry* e = find(node_id)) return *e;
  throw KeyError("'" + node_id + "'");
}

NodeEntry& TrainedModels::at(const std::string& node_id) {
  return const_cast<NodeEntry&>(static_cast<const TrainedModels&>(*this).at(node_id));
}

std::vector<std::string> TrainedModels::keys() const {
  std::vector<std::string> out;
  out.reserve(items_.size());
  for (const auto& item : items_) out.push_back(item.first);
  return out;
}

// ---------------------------------------------------------------------------
// Equality

bool state_dicts_equal(const StateDict& a, const StateDict& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto& [ka, ta] = a[i];
    const auto& [kb, tb] = b[i];
    if (ka != kb || ta.defined() != tb.defined()) return false;
    if (!ta.defined()) continue;
    if (ta.scalar_type() != tb.scalar_type() || ta.sizes() != tb.sizes()) return false;
    if (!torch::equal(ta.to(torch::kCPU), tb.to(torch::kCPU))) return false;
  }
  return true;
}

bool operator==(const ForestEntry& a, const ForestEntry& b) {
  return a.global_to_local == b.global_to_local && a.local_to_global == b.local_to_global &&
         static_cast<const NetworkSizes&>(a) == b && state_dicts_equal(a.state_dict, b.state_dict);
}

bool operator==(const NodeEntry& a, const NodeEntry& b) {
  if (a.router_state.has_value() != b.router_state.has_value()) return false;
  if (a.router_state && !state_dicts_equal(*a.router_state, *b.router_state)) return false;
  return a.forests == b.forests && a.node_classes == b.node_classes && static_cast<const NetworkSizes&>(a) == b &&
         a.d_model == b.d_model;
}

bool operator==(const TrainedModels& a, const TrainedModels& b) {
  if (a.size() != b.size()) return false;
  auto ia = a.begin();
  for (auto ib = b.begin(); ib != b.end(); ++ia, ++ib)
    if (ia->first != ib->first || ia->second != ib->second) return false;
  return true;
}

// ---------------------------------------------------------------------------
// To IValue

namespace {

using GenericDict = c10::Dict<c10::IValue, c10::IValue>;

c10::IValue int_list(const std::vector<int64_t>& values) {
  c10::List<int64_t> out;
  out.reserve(values.size());
  for (int64_t v : values) out.push_back(v);
  return out;
}

c10::IValue class_map_to_ivalue(const ClassMap& map) {
  c10::Dict<int64_t, int64_t> out;
  for (const auto& [k, v] : map) out.insert(k, v);
  return out;
}

// A mapping with text keys and values of any kind (what Python's dict holds).
c10::impl::GenericDict text_dict() { return c10::impl::GenericDict(c10::StringType::get(), c10::AnyType::get()); }

}  // namespace

c10::IValue tree_to_ivalue(const TreeNode& tree) {
  auto out = text_dict();
  out.insert("classes", int_list(tree.classes));
  out.insert("left", tree.left ? tree_to_ivalue(*tree.left) : c10::IValue());
  out.insert("right", tree.right ? tree_to_ivalue(*tree.right) : c10::IValue());
  if (tree.split_angle) out.insert("split_angle", *tree.split_angle);
  return out;
}

c10::IValue forest_entry_to_ivalue(const ForestEntry& entry) {
  auto out = text_dict();
  out.insert("state_dict", state_dict_to_ivalue(entry.state_dict));
  out.insert("global_to_local", class_map_to_ivalue(entry.global_to_local));
  out.insert("local_to_global", class_map_to_ivalue(entry.local_to_global));
  out.insert("num_classes", entry.num_classes);
  out.insert("num_bands", entry.num_bands);
  out.insert("num_filters", entry.num_filters);
  out.insert("num_blocks", entry.num_blocks);
  out.insert("base_filters", entry.base_filters);
  return out;
}

c10::IValue node_entry_to_ivalue(const NodeEntry& entry) {
  c10::impl::GenericList forests(c10::AnyType::get());
  for (const auto& f : entry.forests) forests.push_back(forest_entry_to_ivalue(f));
  auto out = text_dict();
  out.insert("forests", forests);
  out.insert("router_state", entry.router_state ? state_dict_to_ivalue(*entry.router_state) : c10::IValue());
  out.insert("node_classes", int_list(entry.node_classes));
  out.insert("num_classes", entry.num_classes);
  out.insert("num_bands", entry.num_bands);
  out.insert("num_filters", entry.num_filters);
  out.insert("num_blocks", entry.num_blocks);
  out.insert("base_filters", entry.base_filters);
  out.insert("d_model", entry.d_model);
  return out;
}

c10::IValue trained_models_to_ivalue(const TrainedModels& models) {
  auto out = text_dict();
  for (const auto& [id, entry] : models) out.insert(id, node_entry_to_ivalue(entry));
  return out;
}

// ---------------------------------------------------------------------------
// From IValue

namespace {

std::string kind_of(const c10::IValue& v) {
  if (v.isNone()) return "none";
  if (v.isBool()) return "a boolean";
  if (v.isInt()) return "an integer";
  if (v.isDouble()) return "a real";
  if (v.isString()) return "a text";
  if (v.isTensor()) return "a tensor";
  if (v.isList()) return "a list";
  if (v.isTuple()) return "a tuple";
  if (v.isGenericDict()) return "a mapping";
  return "a " + std::string(v.tagKind());
}

[[noreturn]] void wrong_kind(const std::string& path, const std::string& expected, const c10::IValue& v) {
  throw TypeError(path + ": expected " + expected + ", got " + kind_of(v));
}

// A mapping with text keys, read field by field.
class Fields {
 public:
  Fields(const c10::IValue& value, std::string path) : path_(std::move(path)) {
    if (!value.isGenericDict()) wrong_kind(path_, "a mapping", value);
    dict_ = value.toGenericDict();
    for (const auto& item : dict_)
      if (!item.key().isString())
        throw TypeError(path_ + ": expected text keys, got " + kind_of(item.key()) + " key");
  }

  const std::string& path() const { return path_; }
  std::string child(const std::string& key) const { return path_ + "." + key; }

  const c10::IValue& get(const std::string& key) const {
    auto it = dict_.find(c10::IValue(key));
    if (it == dict_.end()) throw KeyError(path_ + ": missing key '" + key + "'");
    return it->value();
  }
  bool has(const std::string& key) const { return dict_.find(c10::IValue(key)) != dict_.end(); }

  // Fails on keys outside `allowed`.
  void only(const std::vector<std::string>& allowed) const {
    for (const auto& item : dict_) {
      const std::string& k = item.key().toStringRef();
      if (std::find(allowed.begin(), allowed.end(), k) == allowed.end())
        throw ValueError(path_ + ": unexpected key '" + k + "'");
    }
  }

  int64_t integer(const std::string& key, int64_t minimum) const {
    const c10::IValue& v = get(key);
    if (!v.isInt()) wrong_kind(child(key), "an integer", v);
    const int64_t n = v.toInt();
    if (n < minimum) throw ValueError(fmt::format("{}: {} is below {}", child(key), n, minimum));
    return n;
  }

 private:
  std::string path_;
  GenericDict dict_{c10::AnyType::get(), c10::AnyType::get()};
};

std::vector<int64_t> int_list_from(const c10::IValue& v, const std::string& path) {
  if (!v.isList()) wrong_kind(path, "a list of integers", v);
  std::vector<int64_t> out;
  const auto list = v.toListRef();
  out.reserve(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    if (!list[i].isInt()) wrong_kind(fmt::format("{}[{}]", path, i), "an integer", list[i]);
    out.push_back(list[i].toInt());
  }
  return out;
}

ClassMap class_map_from(const c10::IValue& v, const std::string& path) {
  if (!v.isGenericDict()) wrong_kind(path, "a mapping of integers to integers", v);
  ClassMap out;
  for (const auto& item : v.toGenericDict()) {
    if (!item.key().isInt()) throw TypeError(path + ": expected integer keys, got " + kind_of(item.key()) + " key");
    const int64_t key = item.key().toInt();
    if (!item.value().isInt()) wrong_kind(fmt::format("{}[{}]", path, key), "an integer", item.value());
    out[key] = item.value().toInt();
  }
  return out;
}

StateDict tensors_from(const c10::IValue& v, const std::string& path) {
  if (!v.isGenericDict()) wrong_kind(path, "a mapping of names to tensors", v);
  StateDict out;
  for (const auto& item : v.toGenericDict()) {
    if (!item.key().isString()) throw TypeError(path + ": expected text keys, got " + kind_of(item.key()) + " key");
    const std::string& key = item.key().toStringRef();
    if (!item.value().isTensor()) wrong_kind(path + "['" + key + "']", "a tensor", item.value());
    out.emplace_back(key, item.value().toTensor());
  }
  return out;
}

TreeNode tree_node_from(const c10::IValue& value, const std::string& path, int64_t depth) {
  if (depth > kMaxTreeDepth) throw ValueError(fmt::format("{}: tree deeper than {} levels", path, kMaxTreeDepth));
  Fields f(value, path);
  TreeNode node(int_list_from(f.get("classes"), f.child("classes")));
  for (const char* side : {"left", "right"}) {
    const c10::IValue& child = f.get(side);
    if (child.isNone()) continue;
    // An empty mapping is how a missing child may be written, too.
    if (child.isGenericDict() && child.toGenericDict().empty()) continue;
    auto sub = std::make_unique<TreeNode>(tree_node_from(child, f.child(side), depth + 1));
    (std::string(side) == "left" ? node.left : node.right) = std::move(sub);
  }
  if (f.has("split_angle")) {
    const c10::IValue& a = f.get("split_angle");
    if (a.isDouble())
      node.split_angle = a.toDouble();
    else if (!a.isNone())
      wrong_kind(f.child("split_angle"), "a real", a);
  }
  return node;
}

// The stored numbering must be the one the node's classes define.
void check_class_maps(const ForestEntry& e, const ClassMaps& expected, const std::string& path) {
  if (e.global_to_local != expected.global_to_local)
    throw ValueError(path + ".global_to_local: does not number the node's classes 1.." +
                     std::to_string(expected.num_classes - 1) + " in increasing order");
  if (e.local_to_global != expected.local_to_global)
    throw ValueError(path + ".local_to_global: is not the inverse numbering of the node's classes");
}

}  // namespace

TreeNode tree_from_ivalue(const c10::IValue& value, const std::string& where) {
  TreeNode tree = tree_node_from(value, where, 1);
  validate_tree(tree, where);
  return tree;
}

ForestEntry forest_entry_from_ivalue(const c10::IValue& value, const std::string& where) {
  Fields f(value, where);
  for (const auto& key : kForestEntryKeys) f.get(key);  // every missing key named before any kind error
  f.only(kForestEntryKeys);
  ForestEntry e;
  e.state_dict = tensors_from(f.get("state_dict"), f.child("state_dict"));
  e.global_to_local = class_map_from(f.get("global_to_local"), f.child("global_to_local"));
  e.local_to_global = class_map_from(f.get("local_to_global"), f.child("local_to_global"));
  e.num_classes = f.integer("num_classes", 2);
  e.num_bands = f.integer("num_bands", 1);
  e.num_filters = f.integer("num_filters", 1);
  e.num_blocks = f.integer("num_blocks", 0);
  e.base_filters = f.integer("base_filters", 1);
  // local ids must be exactly 1..K so that output channel k maps back.
  int64_t expect = 1;
  for (const auto& [local, global] : e.local_to_global) {
    if (local != expect)
      throw ValueError(fmt::format("{}: local ids must be 1..{}, found {}", f.child("local_to_global"),
                                   e.num_classes - 1, local));
    if (global < 1) throw ValueError(fmt::format("{}[{}]: class id {} is below 1", f.child("local_to_global"), local, global));
    ++expect;
  }
  if (expect != e.num_classes)
    throw ValueError(fmt::format("{}: holds {} classes but num_classes is {}", f.child("local_to_global"), expect - 1,
                                 e.num_classes));
  for (const auto& [global, local] : e.global_to_local) {
    auto it = e.local_to_global.find(local);
    if (it == e.local_to_global.end() || it->second != global)
      throw ValueError(f.child("global_to_local") + ": is not the inverse of local_to_global");
  }
  if (e.global_to_local.size() != e.local_to_global.size())
    throw ValueError(f.child("global_to_local") + ": is not the inverse of local_to_global");
  return e;
}

NodeEntry node_entry_from_ivalue(const c10::IValue& value, const std::string& where) {
  Fields f(value, where);
  for (const auto& key : kNodeEntryKeys) f.get(key);
  f.only(kNodeEntryKeys);
  NodeEntry e;
  e.node_classes = int_list_from(f.get("node_classes"), f.child("node_classes"));
  ClassMaps expected;
  try {
    expected = class_maps(e.node_classes);
  } catch (const ValueError& err) {
    throw ValueError(f.child("node_classes") + ": " + err.what());
  }
  e.num_classes = f.integer("num_classes", 2);
  e.num_bands = f.integer("num_bands", 1);
  e.num_filters = f.integer("num_filters", 1);
  e.num_blocks = f.integer("num_blocks", 0);
  e.base_filters = f.integer("base_filters", 1);
  e.d_model = f.integer("d_model", 1);
  if (e.num_classes != expected.num_classes)
    throw ValueError(fmt::format("{}: {} does not match the {} node classes (expected {})", f.child("num_classes"),
                                 e.num_classes, e.node_classes.size(), expected.num_classes));

  const c10::IValue& router = f.get("router_state");
  if (!router.isNone()) e.router_state = tensors_from(router, f.child("router_state"));

  const c10::IValue& forests = f.get("forests");
  if (!forests.isList()) wrong_kind(f.child("forests"), "a list of forest entries", forests);
  const auto list = forests.toListRef();
  e.forests.reserve(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string path = fmt::format("{}[{}]", f.child("forests"), i);
    ForestEntry forest = forest_entry_from_ivalue(list[i], path);
    // Every member of a node is built alike.
    const std::pair<const char*, std::pair<int64_t, int64_t>> sizes[] = {
        {"num_classes", {forest.num_classes, e.num_classes}}, {"num_bands", {forest.num_bands, e.num_bands}},
        {"num_filters", {forest.num_filters, e.num_filters}}, {"num_blocks", {forest.num_blocks, e.num_blocks}},
        {"base_filters", {forest.base_filters, e.base_filters}}};
    for (const auto& [name, pair] : sizes)
      if (pair.first != pair.second)
        throw ValueError(fmt::format("{}.{}: {} differs from the node entry's {}", path, name, pair.first, pair.second));
    check_class_maps(forest, expected, path);
    e.forests.push_back(std::move(forest));
  }
  return e;
}

TrainedModels trained_models_from_ivalue(const c10::IValue& value, const std::string& where) {
  Fields f(value, where);
  TrainedModels out;
  for (const auto& item : value.toGenericDict()) {
    const std::string& id = item.key().toStringRef();
    out.insert(id, node_entry_from_ivalue(item.value(), f.child(id)));
  }
  return out;
}

}  // namespace lumora
