// The class-tree builder: splits the classes of a scene recursively in two by
// the spectral angle (SAM) between their mean spectra, and prints the tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <torch/types.h>

#include "lumora/rssp/records.h"

namespace lumora {

// How deep the builder splits:
//  * full     — until every leaf holds one class;
//  * levels d — at most d levels of splits below the root (root depth 0;
//               d = 0 leaves the root as one leaf with every class);
//  * automatic — every node with more than two classes is split, nodes of one
//               or two classes stay leaves.
class DepthMode {
 public:
  enum class Kind { Automatic, Full, Levels };

  static DepthMode automatic() { return DepthMode(Kind::Automatic, 0); }
  static DepthMode full() { return DepthMode(Kind::Full, 0); }
  // Fails with a ValueError for a negative depth.
  static DepthMode levels(int64_t depth);
  // "auto", "full" or a text of digits only; anything else ("-1", "abc", "")
  // fails with a ValueError naming the accepted forms.
  static DepthMode parse(const std::string& text);

  Kind kind() const { return kind_; }
  int64_t depth() const { return depth_; }  // Levels only
  std::string text() const;                 // "auto", "full" or the number

 private:
  DepthMode(Kind kind, int64_t depth) : kind_(kind), depth_(depth) {}
  Kind kind_;
  int64_t depth_;
};

struct RsspTree {
  TreeNode tree;                   // the root record
  torch::Tensor sam_matrix;        // float64 (P, P): angle in radians between class means
  torch::Tensor means;             // float64 (P, C): mean spectrum of each present class
  std::vector<int64_t> class_ids;  // the P present classes, increasing; row i is class_ids[i]
};

// `data`: the scene (C, H, W), any floating type; `labels`: (H, W) integer
// label map, 0 = unlabelled, classes 1..num_classes-1. The root covers every
// class with at least one pixel. Each split is a 2-medoids clustering of the
// node's classes on their spectral angles: seeded with the most distant pair,
// iterated until the medoids are stable, ties broken by the lower class id,
// neither group empty. The left child holds the node's lowest class id.
// Deterministic: the same input gives the same tree.
RsspTree build_rssp_tree(const torch::Tensor& data, const torch::Tensor& labels, int64_t num_classes,
                         const DepthMode& depth_mode);
// The same with the depth given as text (see DepthMode::parse).
RsspTree build_rssp_tree(const torch::Tensor& data, const torch::Tensor& labels, int64_t num_classes,
                         const std::string& depth_mode);

// The tree drawn with box-drawing branches: one line per node with its
// identifier, its classes and, for internal nodes, the angle between its two
// groups' mean spectra.
std::string tree_text(const TreeNode& tree);

// Two groups of `classes` (a subset of `class_ids`) by 2-medoids on the
// angles of `sam_matrix` (indexed like `class_ids`). Exposed for tests.
std::pair<std::vector<int64_t>, std::vector<int64_t>> split_classes(const std::vector<int64_t>& classes,
                                                                    const std::vector<int64_t>& class_ids,
                                                                    const torch::Tensor& sam_matrix);

}  // namespace lumora
