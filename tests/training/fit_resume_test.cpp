// A fit goes on from any state it kept as if it had never stopped, and a
// stop asked for by a signal ends it after the epoch with that state kept.
#include <gtest/gtest.h>

#include <torch/torch.h>

#include <csignal>
#include <map>

#include "lumora/core/stop_signal.h"
#include "lumora/core/tensor_file.h"
#include "lumora/training/fit.h"
#include "support/testing.h"

namespace lumora {
namespace {

// Keeps every state through the tensor file's round trip; "killed" (an
// exception) right after keeping the one of `kill_at`.
class KeptStates : public FitCheckpointer {
 public:
  explicit KeptStates(int64_t kill_at = -1) : kill_at_(kill_at) {}
  void save(const c10::IValue& state, int64_t epoch) override {
    states[epoch] = decode_tensor_file(encode_tensor_file(state));
    if (epoch == kill_at_) throw std::runtime_error("killed");
  }
  std::map<int64_t, c10::IValue> states;

 private:
  int64_t kill_at_;
};

struct Losses : FitObserver {
  void on_epoch(const EpochReport& r) override {
    seen[r.epoch] = r.train_loss;
    if (r.epoch == stop_at) request_stop(SIGTERM);
  }
  std::map<int64_t, double> seen;
  int64_t stop_at = -1;
};

class FitResume : public ::testing::Test {
 protected:
  FitResume() {
    auto scene = testing::make_tiny_scene(16, 32, 8, 2);
    batch = {scene.cube.permute({2, 0, 1}).unsqueeze(0).contiguous(), scene.labels.unsqueeze(0)};
    criterion = build_criterion(Loss::ce, 2.0, 0);
  }
  // Every part of the state in play: augmentation, draws, averages, pseudo-labels.
  FitOptions options(FitObserver* observer, FitCheckpointer* keeper) const {
    return FitOptions().epochs(12).lr(0.01).val_interval(3).observer(observer).checkpointer(keeper).few_labels(
        few_labels_recipe().pseudo_start(3).pseudo_interval(3).pixels_per_class(4).seed(5));
  }
  HyperspectralNet net(uint64_t seed) const {
    torch::manual_seed(seed);
    return HyperspectralNet(HyperspectralNetOptions(8, 3).num_filters(2).num_blocks(1).base_filters(4));
  }
  FitBatch batch;
  std::shared_ptr<Criterion> criterion;
};

bool same(const StateDict& a, const StateDict& b) {
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].first != b[i].first || !torch::equal(a[i].second, b[i].second)) return false;
  return a.size() == b.size();
}

}  // namespace

TEST_F(FitResume, AFitResumedFromAKeptStateEndsExactlyAsAnUninterruptedOne) {
  Losses whole_losses;
  KeptStates whole_states;
  HyperspectralNet whole_net = net(1);
  const FitResult whole = fit_network(whole_net, *criterion, batch, batch, options(&whole_losses, &whole_states));
  EXPECT_EQ((std::vector<int64_t>{3, 6, 9, 12}), [&] {
    std::vector<int64_t> epochs;
    for (const auto& [e, s] : whole_states.states) epochs.push_back(e);
    return epochs;
  }());

  for (int64_t kill_at : {3, 6}) {
    KeptStates killed(kill_at);
    HyperspectralNet first = net(1);
    EXPECT_THROW(fit_network(first, *criterion, batch, batch, options(nullptr, &killed)), std::runtime_error);
    // A fresh process: other initial weights and generator states, all replaced by the kept state.
    Losses losses;
    HyperspectralNet again = net(77);
    torch::randn({100});
    const FitResult resumed = fit_network(again, *criterion, batch, batch,
                                          options(&losses, nullptr).resume_from(killed.states.at(kill_at)));
    EXPECT_TRUE(same(resumed.weights, whole.weights)) << kill_at;
    EXPECT_TRUE(same(state_dict(*again), state_dict(*whole_net))) << kill_at;
    EXPECT_EQ(resumed.best_epoch, whole.best_epoch);
    EXPECT_EQ(resumed.best_score, whole.best_score);
    ASSERT_EQ(losses.seen.begin()->first, kill_at + 1);  // only the epochs run now are reported
    for (const auto& [epoch, loss] : losses.seen) EXPECT_EQ(loss, whole_losses.seen.at(epoch)) << epoch;
  }
}

TEST_F(FitResume, ASignalEndsTheFitAfterItsEpochWithTheStateKept) {
  Losses losses;
  losses.stop_at = 4;  // not a validation epoch: kept all the same
  KeptStates states;
  HyperspectralNet stopped = net(1);
  std::string message;
  try {
    fit_network(stopped, *criterion, batch, batch, options(&losses, &states));
  } catch (const Stopped& e) {
    message = e.what();
    EXPECT_EQ(e.signal(), SIGTERM);
  }
  clear_stop();
  EXPECT_EQ(message, "stopped by SIGTERM at epoch 4; continue with --resume");
  EXPECT_EQ(states.states.rbegin()->first, 4);
  EXPECT_EQ(losses.seen.rbegin()->first, 4);

  HyperspectralNet whole_net = net(1), resumed_net = net(1);
  const FitResult whole = fit_network(whole_net, *criterion, batch, batch, options(nullptr, nullptr));
  const FitResult resumed = fit_network(resumed_net, *criterion, batch, batch,
                                        options(nullptr, nullptr).resume_from(states.states.at(4)));
  EXPECT_TRUE(same(resumed.weights, whole.weights));
}

}  // namespace lumora
