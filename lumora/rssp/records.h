// Records of the class tree: the tree node, node identifiers, the local class
// numbering of a node, and the trained-model records (`trained_models`, its
// node entries and their forest entries).
//
// Everything here is plain data. The bundle file stores it through the
// IValue conversions at the bottom of this header: mappings keyed by the exact
// field names below, lists, integers, tensors and none, which torch::pickle_save
// writes and Python's torch.load reads. Reading back validates every key, kind
// and invariant and names the offending path in its error
// (e.g. "trained_models.root_L.forests[0].num_bands").
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <ATen/core/ivalue.h>
#include <torch/types.h>

#include "lumora/core/state_dict.h"
#include "lumora/models/network_sizes.h"

namespace lumora {

// ---------------------------------------------------------------------------
// Tree node record

// One node of the class tree. The root is the whole tree: children are owned,
// nested records. A node has both children (internal) or neither (leaf), and
// the two children's class lists partition the node's list.
struct TreeNode {
  std::vector<int64_t> classes;  // global class ids, in the builder's order
  std::unique_ptr<TreeNode> left;
  std::unique_ptr<TreeNode> right;
  // Spectral angle (radians) between the mean spectra of the two children's
  // pixels, set by the tree builder on internal nodes; shown by tree_text and
  // stored in the bundle under "split_angle". Nobody else reads it.
  std::optional<double> split_angle;

  TreeNode() = default;
  explicit TreeNode(std::vector<int64_t> classes_) : classes(std::move(classes_)) {}
  // An internal node owning its two children.
  TreeNode(std::vector<int64_t> classes_, TreeNode left_, TreeNode right_);
  // Deep copies.
  TreeNode(const TreeNode& other);
  TreeNode& operator=(const TreeNode& other);
  TreeNode(TreeNode&&) noexcept = default;
  TreeNode& operator=(TreeNode&&) noexcept = default;

  bool is_internal() const { return left != nullptr && right != nullptr; }
  bool is_leaf() const { return left == nullptr && right == nullptr; }
  // Number of levels below and including this node (a leaf has depth 1).
  int64_t levels() const;
};

// Structural equality (classes in order, children, split angles).
bool operator==(const TreeNode& a, const TreeNode& b);
inline bool operator!=(const TreeNode& a, const TreeNode& b) { return !(a == b); }

// Deepest tree a bundle may hold. A real tree over K classes is at most K - 1
// levels deep; the cap keeps hostile input from recursing without bound.
constexpr int64_t kMaxTreeDepth = 512;

// Checks the builder's invariants: non-empty class lists of distinct ids >= 1,
// both children or neither, children partitioning their parent's classes, at
// most kMaxTreeDepth levels. `where` names the root in errors ("tree"); a
// child is named by appending ".left" / ".right".
void validate_tree(const TreeNode& tree, const std::string& where = "tree");

// ---------------------------------------------------------------------------
// Node identifiers: "root", then "_L" / "_R" per step down.

inline const std::string kRootId = "root";
inline std::string left_id(const std::string& node_id) { return node_id + "_L"; }
inline std::string right_id(const std::string& node_id) { return node_id + "_R"; }

// The identifiers of the nodes that tree training gives an entry, in training
// (pre-)order: the given node always, then every descendant reached through
// children that cover at least 2 classes.
std::vector<std::string> trained_node_ids(const TreeNode& tree, const std::string& node_id = kRootId);

// (identifier, node) of every node of the tree in pre-order.
std::vector<std::pair<std::string, const TreeNode*>> preorder(const TreeNode& tree,
                                                               const std::string& node_id = kRootId);

// The node with this identifier, or nullptr when the tree has none.
const TreeNode* find_node(const TreeNode& tree, const std::string& node_id);

// ---------------------------------------------------------------------------
// Local class numbering of a node

// Ordered by key, which is also the order in which the mappings are stored.
using ClassMap = std::map<int64_t, int64_t>;

struct ClassMaps {
  ClassMap global_to_local;  // global id -> 1..K (the i-th smallest id -> i)
  ClassMap local_to_global;  // 1..K -> global id; no entry for 0
  int64_t num_classes = 1;   // K + 1 (local 0 included)
};

// The numbering of a node covering `node_classes` (any order). Fails with a
// ValueError for an empty list, an id below 1 or a repeated id.
ClassMaps class_maps(const std::vector<int64_t>& node_classes);
ClassMap global_to_local(const std::vector<int64_t>& node_classes);
ClassMap local_to_global(const std::vector<int64_t>& node_classes);

// ---------------------------------------------------------------------------
// Trained-model records

// One trained ensemble member; self-contained: its sizes rebuild its
// HyperspectralNet, `state_dict` fills it, `local_to_global` maps its output
// channels 1..K back to global classes.
struct ForestEntry : NetworkSizes {
  ForestEntry() : NetworkSizes{0, 0, 0, 0, 0} {}
  StateDict state_dict;  // detached CPU tensors, keys as the network names them
  ClassMap global_to_local;
  ClassMap local_to_global;
};

// Everything one trained node needs at inference; the sizes are its members'.
struct NodeEntry : NetworkSizes {
  NodeEntry() : NetworkSizes{0, 0, 0, 0, 0} {}
  std::vector<ForestEntry> forests;       // training order
  std::optional<StateDict> router_state;  // none for leaves, without fingerprints, or when skipped
  std::vector<int64_t> node_classes;      // the node record's classes list
  int64_t d_model = 0;
};

// Field names in their stored order.
extern const std::vector<std::string> kForestEntryKeys;  // 8 names
extern const std::vector<std::string> kNodeEntryKeys;    // 9 names

// Node identifier -> node entry, kept in insertion (training) order.
class TrainedModels {
 public:
  using Item = std::pair<std::string, NodeEntry>;

  // Adds an entry at the end; an identifier already present is a ValueError.
  void insert(const std::string& node_id, NodeEntry entry);
  // Appends every entry of `other`, in its order.
  void extend(TrainedModels other);

  bool contains(const std::string& node_id) const;
  const NodeEntry& at(const std::string& node_id) const;  // KeyError when absent
  NodeEntry& at(const std::string& node_id);
  const NodeEntry* find(const std::string& node_id) const;  // nullptr when absent

  std::vector<std::string> keys() const;
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  std::vector<Item>::const_iterator begin() const { return items_.begin(); }
  std::vector<Item>::const_iterator end() const { return items_.end(); }

 private:
  std::vector<Item> items_;
};

// Equality of records: same keys in the same order, equal integers and
// tensors equal in dtype, shape and every value.
bool state_dicts_equal(const StateDict& a, const StateDict& b);
bool operator==(const ForestEntry& a, const ForestEntry& b);
bool operator==(const NodeEntry& a, const NodeEntry& b);
bool operator==(const TrainedModels& a, const TrainedModels& b);
inline bool operator!=(const ForestEntry& a, const ForestEntry& b) { return !(a == b); }
inline bool operator!=(const NodeEntry& a, const NodeEntry& b) { return !(a == b); }
inline bool operator!=(const TrainedModels& a, const TrainedModels& b) { return !(a == b); }

// ---------------------------------------------------------------------------
// Conversion to and from the pickler's generic values

// {"classes": [int...], "left": node or None, "right": node or None}, plus
// "split_angle": float on nodes that carry one.
c10::IValue tree_to_ivalue(const TreeNode& tree);
// Reads a tree written by tree_to_ivalue (or any mapping with at least those
// three keys; other keys are ignored) and validates it (validate_tree).
TreeNode tree_from_ivalue(const c10::IValue& value, const std::string& where = "tree");

c10::IValue forest_entry_to_ivalue(const ForestEntry& entry);
ForestEntry forest_entry_from_ivalue(const c10::IValue& value, const std::string& where);
c10::IValue node_entry_to_ivalue(const NodeEntry& entry);
NodeEntry node_entry_from_ivalue(const c10::IValue& value, const std::string& where);

// {node_id: node entry, ...} in insertion order. Entries hold exactly their
// 8 / 9 keys; reading fails on a missing key (naming it), an unknown key, a
// value of the wrong kind (naming its path), negative sizes, class maps that
// do not number the node's classes 1..K, or forests that disagree with their
// node entry.
c10::IValue trained_models_to_ivalue(const TrainedModels& models);
TrainedModels trained_models_from_ivalue(const c10::IValue& value, const std::string& where = "trained_models");

}  // namespace lumora
