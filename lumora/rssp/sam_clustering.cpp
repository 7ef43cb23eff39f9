#include "lumora/rssp/sam_clustering.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "lumora/core/errors.h"

namespace lumora {

// ---------------------------------------------------------------------------
// Depth modes

namespace {
const char* kDepthForms = "'auto', 'full' or a non-negative integer";
}

DepthMode DepthMode::levels(int64_t depth) {
  if (depth < 0) throw ValueError(fmt::format("depth_mode must be {}, got {}", kDepthForms, depth));
  return DepthMode(Kind::Levels, depth);
}

DepthMode DepthMode::parse(const std::string& text) {
  if (text == "auto") return automatic();
  if (text == "full") return full();
  const bool digits = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits) throw ValueError(fmt::format("depth_mode must be {}, got '{}'", kDepthForms, text));
  // Any depth past the class count splits fully; the cap only avoids overflow.
  int64_t depth = 0;
  for (char c : text) {
    depth = depth * 10 + (c - '0');
    if (depth > kMaxTreeDepth) depth = kMaxTreeDepth;
  }
  return levels(depth);
}

std::string DepthMode::text() const {
  switch (kind_) {
    case Kind::Automatic:
      return "auto";
    case Kind::Full:
      return "full";
    case Kind::Levels:
      break;
  }
  return std::to_string(depth_);
}

// ---------------------------------------------------------------------------
// Splitting

namespace {

// Angles between the present classes, looked up by class id.
class Angles {
 public:
  Angles(const std::vector<int64_t>& class_ids, const torch::Tensor& sam_matrix)
      : ids_(class_ids), sam_(sam_matrix.to(torch::kCPU, torch::kFloat64).contiguous()) {
    const int64_t p = static_cast<int64_t>(ids_.size());
    TORCH_CHECK(sam_.dim() == 2 && sam_.size(0) == p && sam_.size(1) == p, "sam_matrix must be (", p, ", ", p,
                "), got ", sam_.sizes());
  }
  double operator()(int64_t a, int64_t b) const {
    return sam_.data_ptr<double>()[index(a) * static_cast<int64_t>(ids_.size()) + index(b)];
  }

 private:
  int64_t index(int64_t cls) const {
    auto it = std::lower_bound(ids_.begin(), ids_.end(), cls);
    if (it == ids_.end() || *it != cls) throw ValueError(fmt::format("class {} has no mean spectrum", cls));
    return it - ids_.begin();
  }
  std::vector<int64_t> ids_;
  torch::Tensor sam_;
};

// The member with the least summed angle to the others; ties -> lower id
// (members are in increasing order, so the first minimum wins).
int64_t medoid_of(const std::vector<int64_t>& group, const Angles& d) {
  int64_t best = group.front();
  double best_cost = std::numeric_limits<double>::infinity();
  for (int64_t m : group) {
    double cost = 0.0;
    for (int64_t x : group) cost += d(m, x);
    if (cost < best_cost) {
      best_cost = cost;
      best = m;
    }
  }
  return best;
}

}  // namespace

std::pair<std::vector<int64_t>, std::vector<int64_t>> split_classes(const std::vector<int64_t>& classes,
                                                                    const std::vector<int64_t>& class_ids,
                                                                    const torch::Tensor& sam_matrix) {
  std::vector<int64_t> s = classes;
  std::sort(s.begin(), s.end());
  if (s.size() < 2) throw ValueError("a node needs at least two classes to be split");
  const Angles d(class_ids, sam_matrix);

  // Seed: the most distant pair; on equal angles the pair of lower ids
  // (scanned in increasing order, only a strictly larger angle replaces it).
  int64_t m1 = s[0], m2 = s[1];
  double far = -1.0;
  for (size_t i = 0; i < s.size(); ++i)
    for (size_t j = i + 1; j < s.size(); ++j)
      if (d(s[i], s[j]) > far) {
        far = d(s[i], s[j]);
        m1 = s[i];
        m2 = s[j];
      }

  std::vector<int64_t> g1, g2;
  std::set<std::pair<int64_t, int64_t>> seen;
  // Medoid updates never raise the total cost, so the loop settles; the
  // visited set also ends a cycle between equal-cost states.
  while (true) {
    g1.clear();
    g2.clear();
    const int64_t lower = std::min(m1, m2);
    for (int64_t x : s) {
      const double d1 = d(x, m1), d2 = d(x, m2);
      // A medoid always stays in its own group, so neither group is empty.
      const bool first = x == m1 || (x != m2 && (d1 < d2 || (d1 == d2 && m1 == lower)));
      (first ? g1 : g2).push_back(x);
    }
    seen.insert({m1, m2});
    const int64_t n1 = medoid_of(g1, d), n2 = medoid_of(g2, d);
    if ((n1 == m1 && n2 == m2) || seen.count({n1, n2})) break;
    m1 = n1;
    m2 = n2;
  }
  if (g2.front() < g1.front()) std::swap(g1, g2);
  return {g1, g2};
}

// ---------------------------------------------------------------------------
// Building

namespace {

struct ClassStats {
  std::vector<int64_t> ids;    // present classes, increasing
  torch::Tensor sums;          // float64 (P, C)
  std::vector<int64_t> counts; // pixels per present class
};

double angle_between(const torch::Tensor& a, const torch::Tensor& b) {
  const double dot = (a * b).sum().item<double>();
  const double norms = std::max(a.norm().item<double>() * b.norm().item<double>(), 1e-12);
  return std::acos(std::clamp(dot / norms, -1.0, 1.0));
}

class Builder {
 public:
  Builder(const ClassStats& stats, const torch::Tensor& sam, const DepthMode& mode)
      : stats_(stats), sam_(sam), mode_(mode) {}

  TreeNode build(std::vector<int64_t> classes, int64_t depth) const {
    TreeNode node(std::move(classes));
    if (!should_split(node.classes.size(), depth)) return node;
    auto [left, right] = split_classes(node.classes, stats_.ids, sam_);
    node.split_angle = angle_between(group_mean(left), group_mean(right));
    node.left = std::make_unique<TreeNode>(build(std::move(left), depth + 1));
    node.right = std::make_unique<TreeNode>(build(std::move(right), depth + 1));
    return node;
  }

 private:
  bool should_split(size_t n, int64_t depth) const {
    if (n < 2) return false;
    switch (mode_.kind()) {
      case DepthMode::Kind::Full:
        return true;
      case DepthMode::Kind::Automatic:
        return n > 2;
      case DepthMode::Kind::Levels:
        return depth < mode_.depth();
    }
    return false;
  }

  // Mean spectrum over every pixel of the group's classes.
  torch::Tensor group_mean(const std::vector<int64_t>& group) const {
    torch::Tensor sum = torch::zeros({stats_.sums.size(1)}, torch::kFloat64);
    int64_t count = 0;
    for (int64_t c : group) {
      const auto i = std::lower_bound(stats_.ids.begin(), stats_.ids.end(), c) - stats_.ids.begin();
      sum += stats_.sums[i];
      count += stats_.counts[i];
    }
    return sum / static_cast<double>(count);
  }

  const ClassStats& stats_;
  const torch::Tensor& sam_;
  const DepthMode& mode_;
};

ClassStats class_stats(const torch::Tensor& data, const torch::Tensor& labels, int64_t num_classes) {
  TORCH_CHECK(data.dim() == 3, "data must be (C, H, W), got shape ", data.sizes());
  TORCH_CHECK(labels.dim() == 2, "labels must be (H, W), got shape ", labels.sizes());
  TORCH_CHECK(data.size(1) == labels.size(0) && data.size(2) == labels.size(1), "data ", data.sizes(),
              " and labels ", labels.sizes(), " cover different image sizes");
  if (num_classes < 2) throw ValueError(fmt::format("num_classes must be at least 2, got {}", num_classes));
  const int64_t c = data.size(0);
  auto flat = labels.to(torch::kCPU, torch::kInt64).reshape({-1});
  if (flat.numel() > 0) {
    const int64_t lo = flat.min().item<int64_t>(), hi = flat.max().item<int64_t>();
    if (lo < 0 || hi >= num_classes)
      throw ValueError(fmt::format("labels hold values outside 0..{} (found {}..{})", num_classes - 1, lo, hi));
  }
  auto labelled = flat.gt(0);
  auto ids = flat.masked_select(labelled);
  if (ids.numel() == 0) throw ValueError("labels hold no labelled pixel (every value is 0)");
  auto pixels = data.to(torch::kCPU).reshape({c, -1}).t().index({labelled}).to(torch::kFloat64);  // (N, C)
  auto sums = torch::zeros({num_classes, c}, torch::kFloat64).index_add_(0, ids, pixels);
  auto counts = torch::bincount(ids, {}, num_classes);

  ClassStats stats;
  std::vector<int64_t> rows;
  auto acc = counts.accessor<int64_t, 1>();
  for (int64_t k = 1; k < num_classes; ++k)
    if (acc[k] > 0) {
      stats.ids.push_back(k);
      stats.counts.push_back(acc[k]);
      rows.push_back(k);
    }
  stats.sums = sums.index_select(0, torch::tensor(rows, torch::kInt64));
  return stats;
}

}  // namespace

RsspTree build_rssp_tree(const torch::Tensor& data, const torch::Tensor& labels, int64_t num_classes,
                         const DepthMode& depth_mode) {
  torch::NoGradGuard no_grad;
  const ClassStats stats = class_stats(data, labels, num_classes);
  RsspTree out;
  out.class_ids = stats.ids;
  std::vector<double> counts(stats.counts.begin(), stats.counts.end());
  out.means = stats.sums / torch::tensor(counts, torch::kFloat64).unsqueeze(1);

  auto norms = out.means.norm(2, 1).clamp_min(1e-12);
  auto unit = out.means / norms.unsqueeze(1);
  out.sam_matrix = torch::acos(unit.matmul(unit.t()).clamp(-1.0, 1.0));
  out.sam_matrix.fill_diagonal_(0.0);

  out.tree = Builder(stats, out.sam_matrix, depth_mode).build(stats.ids, 0);
  return out;
}

RsspTree build_rssp_tree(const torch::Tensor& data, const torch::Tensor& labels, int64_t num_classes,
                         const std::string& depth_mode) {
  return build_rssp_tree(data, labels, num_classes, DepthMode::parse(depth_mode));
}

// ---------------------------------------------------------------------------
// Printing

namespace {

void draw(const TreeNode& node, const std::string& id, const std::string& lead, const std::string& branch,
          std::string& out) {
  out += lead + branch + id + "  [" + fmt::format("{}", fmt::join(node.classes, ", ")) + "]";
  if (node.split_angle) out += fmt::format("  SAM {:.2f}°", *node.split_angle * 180.0 / M_PI);
  out += "\n";
  const std::string child_lead = branch.empty() ? lead : lead + (branch == "└── " ? "    " : "│   ");
  if (node.left) draw(*node.left, left_id(id), child_lead, node.right ? "├── " : "└── ", out);
  if (node.right) draw(*node.right, right_id(id), child_lead, "└── ", out);
}

}  // namespace

std::string tree_text(const TreeNode& tree) {
  std::string out;
  draw(tree, kRootId, "", "", out);
  return out;
}


}  // namespace lumora
