// The console side of training: what node training and encoder pre-training
// report, printed as the programs show it.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace lumora::commands
