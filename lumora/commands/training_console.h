// The console side of training: what node training and encoder pre-training
// report, printed as the programs show it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <streambuf>
#include <string>

#include "lumora/distributed/cluster.h"
#include "lumora/distributed/tree_jobs.h"
#include "lumora/rssp/nodefit.h"
#include "lumora/rssp/warmstart.h"
#include "lumora/training/fit.h"

namespace lumora::commands {

// "  ⚡ Early stop: ..." for a run that ended for `reason` at `epoch`.
std::string early_stop_line(StopReason reason, int64_t patience, int64_t epoch);

// Banners, epoch bars, member and node summaries and the router's lines.
class NodeTrainingConsole : public NodeTrainingObserver {
 public:
  // `patience` is the one the members stop by, named in their stop lines.
  explicit NodeTrainingConsole(int64_t patience) : patience_(patience) {}
  void on_node_start(const NodeStart& node) override;
  void on_member_start(const MemberStart& member) override;
  void on_member_epoch(const MemberStart& member, const EpochReport& epoch) override;
  void on_member_done(const MemberDone& done) override;
  void on_node_done(const NodeDone& done) override;
  void on_router_start(const std::string& node_id) override;
  void on_router_done(const std::string& node_id, const std::optional<RouterSummary>& summary) override;

 private:
  int64_t patience_;
};

class PretrainConsole : public PretrainObserver {
 public:
  void on_start(const PretrainStart& start) override;
  void on_validation(const PretrainValidation& v) override;
  void on_done(double best_val_acc, const std::string& saved_to) override;
};

// A rank's own lines, "[rank R/W] ...": its jobs (ranks other than 0, whose
// console shows every job anyway) and its share of the work.
class RankConsole : public JobObserver {
 public:
  RankConsole(const Cluster& cluster, std::ostream& out) : cluster_(cluster), out_(out) {}
  void on_job_done(const JobDone& done) override;
  void on_share_done(const RankShare& share) override;

 private:
  const Cluster& cluster_;
  std::ostream& out_;
};

// The line a rank prints once it has joined the others.
void print_rank_start(const Cluster& cluster, std::ostream& out);

// Silences std::cout for its lifetime: a rank other than 0 goes through the
// whole run but prints only its RankConsole lines, to a stream made on the
// original buffer before.
class QuietStdout {
 public:
  QuietStdout();
  ~QuietStdout();
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  std::streambuf* saved_;
};

}  // namespace lumora::commands
