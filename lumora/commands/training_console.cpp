#include "lumora/commands/training_console.h"

#include <fmt/format.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>

#include "lumora/core/elapsed.h"
#include "lumora/utils/display.h"

namespace lumora::commands {

namespace d = display;

std::string early_stop_line(StopReason reason, int64_t patience, int64_t epoch) {
  if (reason == StopReason::good_enough) return fmt::format("  ⚡ Early stop: mIoU ≥ 0.99 at epoch {}", epoch);
  return fmt::format("  ⚡ Early stop: no improvement for {} epochs at epoch {}", patience, epoch);
}

void NodeTrainingConsole::on_node_start(const NodeStart& n) {
  std::cout << d::node_banner(n.node_id, n.node_classes, n.num_classes, n.epochs, n.ensemble_size,
                              loss_name(n.loss), n.focal_gamma, n.train_pixels, n.val_pixels)
            << std::endl;
}

void NodeTrainingConsole::on_member_start(const MemberStart& m) {
  std::cout << d::forest_banner(m.forest_idx, m.ensemble_size, m.seed, m.node_id) << std::endl;
}

void NodeTrainingConsole::on_member_epoch(const MemberStart& /*member*/, const EpochReport& r) {
  if (r.val_scores) {
    const Scores& s = *r.val_scores;
    d::epoch_bar(r.epoch, r.epochs, r.train_loss, d::EpochScores{*r.val_loss, s.oa, s.miou, s.aa, s.kappa});
  } else {
    d::epoch_bar(r.epoch, r.epochs, r.train_loss);
  }
  if (r.stopping) std::cout << early_stop_line(*r.stopping, patience_, r.epoch) << std::endl;
}

void NodeTrainingConsole::on_member_done(const MemberDone& done) {
  const Scores& best = done.fit.best_scores;
  std::cout << d::forest_done_line(done.member.forest_idx, done.member.ensemble_size, best.miou, done.fit.best_epoch,
                                   best.oa, best.aa, best.kappa, format_elapsed(done.elapsed))
            << std::endl;
}

void NodeTrainingConsole::on_node_done(const NodeDone& done) {
  const std::vector<double>& mious = done.member_mious;
  const auto n = static_cast<double>(mious.size());
  double mean = 0.0;
  for (double v : mious) mean += v;
  mean /= n;
  double std_dev = 0.0;
  if (mious.size() >= 2) {
    double sq = 0.0;
    for (double v : mious) sq += (v - mean) * (v - mean);
    std_dev = std::sqrt(sq / n);
  }
  size_t best = 0, worst = 0;
  for (size_t i = 1; i < mious.size(); ++i) {
    if (mious[i] > mious[best]) best = i;
    if (mious[i] < mious[worst]) worst = i;
  }
  std::string mious_str;
  for (size_t i = 0; i < mious.size(); ++i) {
    const double v = mious[i];
    mious_str += (i ? "  " : "") + d::coloured(fmt::format("{:.4f}", v), d::score_colour(v, d::kEnsembleScoreBands));
  }
  std::cout << "\n  " << d::BOLD << "Node '" << done.node_id << "'" << d::RESET << " — " << mious.size()
            << " ensembles trained in " << format_elapsed(done.elapsed) << "\n";
  std::cout << "  mIoU  " << mious_str << "   " << d::GRAY << fmt::format("mean {:.4f} ± {:.4f}", mean, std_dev)
            << d::RESET << "\n";
  std::cout << "  " << d::GREEN << "Best" << d::RESET
            << fmt::format(": Ensemble {} ({:.4f})  ", best + 1, mious[best]) << d::RED << "Worst" << d::RESET
            << fmt::format(": Ensemble {} ({:.4f})  ", worst + 1, mious[worst]) << d::GRAY
            << "Early stops: " << done.early_stops << "/" << mious.size() << d::RESET << "\n"
            << std::endl;
}

void NodeTrainingConsole::on_router_start(const std::string& node_id) {
  std::cout << "\n  Training SSSR router for node '" << node_id << "' ..." << std::endl;
}

void NodeTrainingConsole::on_router_done(const std::string& /*node_id*/, const std::optional<RouterSummary>& r) {
  if (!r) {
    std::cout << "  Router skipped (too few pixels)." << std::endl;
    return;
  }
  if (r->val_acc)
    std::cout << fmt::format("    Router: train_acc={:.4f} | val_acc={:.4f} | left={} right={}", r->train_acc,
                             *r->val_acc, r->n_left, r->n_right)
              << std::endl;
  else
    std::cout << fmt::format("    Router: train_acc={:.4f} | no val | left={} right={}", r->train_acc, r->n_left,
                             r->n_right)
              << std::endl;
  std::cout << "  Router trained." << std::endl;
}

void PretrainConsole::on_start(const PretrainStart& s) {
  std::cout << "\n=== Pre-training SSM Encoder ===" << std::endl;
  std::cout << fmt::format("    d_model={}  d_state={}  epochs={}  batch_size={}", s.d_model, s.d_state, s.epochs,
                           s.batch_size)
            << std::endl;
  std::cout << fmt::format("    Train pixels: {}  |  Val pixels: {}", s.train_pixels, s.val_pixels) << std::endl;
}

void PretrainConsole::on_validation(const PretrainValidation& v) {
  std::cout << fmt::format("  Epoch {:4d} | Loss: {:.4f} | Val Acc: {:.4f} | LR: {:.1e}", v.epoch, v.loss, v.val_acc,
                           v.lr)
            << std::endl;
}

void PretrainConsole::on_done(double best_val_acc, const std::string& saved_to) {
  std::cout << fmt::format("\nSSM pre-trained | Best Val Acc: {:.4f} | Saved → {}", best_val_acc, saved_to)
            << std::endl;
}

void RankConsole::on_job_done(const JobDone& done) {
  if (cluster_.is_leader()) return;
  const TreeJob& job = done.job;
  out_ << fmt::format("[{}] node '{}' member {}/{}: best val mIoU {:.4f} at epoch {} ({:.1f} s){}", cluster_.label(),
                      job.node_id, job.forest_idx + 1, job.ensemble_size, done.fit.best_scores.miou,
                      done.fit.best_epoch, done.seconds, job.with_router ? ", router trained" : "")
       << std::endl;
}

void RankConsole::on_share_done(const RankShare& share) {
  const double waiting = std::max(0.0, share.total - share.busy);
  out_ << fmt::format("[{}] {} jobs: {:.1f} s training, {:.1f} s waiting ({:.0f}%)", cluster_.label(), share.jobs,
                      share.busy, waiting,
                      share.total > 0 ? 100.0 * waiting / share.total : 0.0)
       << std::endl;
}

void print_rank_start(const Cluster& cluster, std::ostream& out) {
  const Rendezvous& w = cluster.where();
  if (cluster.is_leader())
    out << fmt::format("[{}] all {} ranks joined at {}:{}", cluster.label(), w.world_size, w.host, w.port);
  else
    out << fmt::format("[{}] joined rank 0 at {}:{} (pid {})", cluster.label(), w.host, w.port, ::getpid());
  out << std::endl;
}

QuietStdout::QuietStdout() : saved_(std::cout.rdbuf(nullptr)) {}

QuietStdout::~QuietStdout() {
  std::cout.rdbuf(saved_);
  std::cout.clear();
}

}  // namespace lumora::commands
