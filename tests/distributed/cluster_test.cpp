// The rendezvous options, the job list and its order, the job results as
// bytes, and ranks meeting (or not) on the loopback interface in one process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <thread>

#include <fmt/format.h>

#include "lumora/core/elapsed.h"
#include "lumora/distributed/cluster.h"
#include "lumora/distributed/shared_state.h"
#include "lumora/distributed/tree_jobs.h"
#include "support/testing.h"

namespace lumora {
namespace {

using Env = std::map<std::string, std::string>;

std::function<const char*(const char*)> env_of(const Env& env) {
  return [&env](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
}

TEST(Rendezvous, TcpUrlAndOptions) {
  const Env none;
  const Rendezvous r = resolve_rendezvous("tcp://node7.lab:29501", 3, 2, env_of(none));
  EXPECT_EQ(r.host, "node7.lab");
  EXPECT_EQ(r.port, 29501);
  EXPECT_EQ(r.rank, 2);
  EXPECT_EQ(r.world_size, 3);
  EXPECT_EQ(resolve_rendezvous("tcp://[::1]:80", 1, 0, env_of(none)).host, "::1");
}

TEST(Rendezvous, EnvUrlReadsTheLauncherVariablesAndOptionsWin) {
  const Env env = {{"MASTER_ADDR", "10.0.0.1"}, {"MASTER_PORT", "1234"}, {"RANK", "1"}, {"WORLD_SIZE", "4"}};
  Rendezvous r = resolve_rendezvous("env://", std::nullopt, std::nullopt, env_of(env));
  EXPECT_EQ(r.host, "10.0.0.1");
  EXPECT_EQ(r.port, 1234);
  EXPECT_EQ(r.rank, 1);
  EXPECT_EQ(r.world_size, 4);
  r = resolve_rendezvous("env://", 2, 0, env_of(env));
  EXPECT_EQ(r.rank, 0);
  EXPECT_EQ(r.world_size, 2);
}

TEST(Rendezvous, BadValuesAreNamed) {
  const Env none;
  const Env no_port = {{"MASTER_ADDR", "h"}};
  const Env bad_rank = {{"MASTER_ADDR", "h"}, {"MASTER_PORT", "1"}, {"RANK", "one"}, {"WORLD_SIZE", "2"}};
  auto error = [](auto&& fn) { return testing::error_of<ValueError>(fn); };
  EXPECT_EQ(error([&] { resolve_rendezvous("http://h:1", 2, 0, env_of(none)); }),
            "--dist-url must be tcp://HOST:PORT or env://, got 'http://h:1'");
  EXPECT_EQ(error([&] { resolve_rendezvous("tcp://h", 2, 0, env_of(none)); }),
            "--dist-url must be tcp://HOST:PORT or env://, got 'tcp://h'");
  EXPECT_EQ(error([&] { resolve_rendezvous("tcp://h:70000", 2, 0, env_of(none)); }),
            "the port of --dist-url must be a port from 1 to 65535, got 70000");
  EXPECT_EQ(error([&] { resolve_rendezvous("tcp://h:1", std::nullopt, 0, env_of(none)); }),
            "--dist-url tcp:// needs --world-size");
  EXPECT_EQ(error([&] { resolve_rendezvous("tcp://h:1", 2, std::nullopt, env_of(none)); }),
            "--dist-url tcp:// needs --rank");
  EXPECT_EQ(error([&] { resolve_rendezvous("tcp://h:1", 2, 2, env_of(none)); }),
            "--rank must be from 0 to 1 (world size 2), got 2");
  EXPECT_EQ(error([&] { resolve_rendezvous("env://", 2, 0, env_of(no_port)); }),
            "--dist-url env:// needs the environment variable MASTER_PORT");
  EXPECT_EQ(error([&] { resolve_rendezvous("env://", std::nullopt, std::nullopt, env_of(bad_rank)); }),
            "RANK must be a whole number, got 'one'");
}

// root {1,2,3,4} -> L {1,2}, R {3,4}; R -> RL {3}, RR {4}.
TreeNode small_tree() {
  TreeNode root;
  root.classes = {1, 2, 3, 4};
  root.left = std::make_unique<TreeNode>();
  root.left->classes = {1, 2};
  root.right = std::make_unique<TreeNode>();
  root.right->classes = {3, 4};
  root.right->left = std::make_unique<TreeNode>();
  root.right->left->classes = {3};
  root.right->right = std::make_unique<TreeNode>();
  root.right->right->classes = {4};
  return root;
}

TEST(TreeJobs, MembersInTrainingOrderWithTheRouterOnEachNodesLastMember) {
  const TreeNode tree = small_tree();
  const auto options = TrainNodeOptions().num_forests(3).leaf_forests(2).base_epochs(100);
  const std::vector<TreeJob> jobs = tree_jobs(tree, 4, /*has_fingerprints=*/true, options);
  std::vector<std::string> seen;
  for (const TreeJob& j : jobs)
    seen.push_back(j.node_id + "#" + std::to_string(j.forest_idx) + (j.with_router ? "+router" : "") + "@" +
                   std::to_string(j.epochs));
  EXPECT_EQ(seen, (std::vector<std::string>{"root#0@100", "root#1@100", "root#2+router@100", "root_L#0@50",
                                            "root_L#1@50", "root_R#0@50", "root_R#1+router@50"}));
  for (size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(jobs[i].index, i);
  // Without fingerprints nobody trains a router.
  for (const TreeJob& j : tree_jobs(tree, 4, false, options)) EXPECT_FALSE(j.with_router);

  // Equal budgets keep their order; the larger go first.
  std::vector<TreeJob> mixed = jobs;
  std::swap(mixed[0], mixed[4]);
  std::vector<size_t> order;
  for (const TreeJob& j : largest_first(mixed)) order.push_back(j.index);
  EXPECT_EQ(order, (std::vector<size_t>{1, 2, 0, 4, 3, 5, 6}));
}

TEST(TreeJobs, ResultBytesRoundTripExactly) {
  JobResult r;
  r.fit.weights = {{"b.weight", torch::randn({3, 2})}, {"a.bias", torch::arange(5, torch::kInt64)}};
  r.fit.from_validation = true;
  r.fit.best_epoch = 40;
  r.fit.best_score = 0.1 + 0.2;
  r.fit.stopped_early = true;
  r.fit.best_scores = {0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 1.0 / 3.0};
  EpochReport plain;
  plain.epoch = 1;
  plain.epochs = 60;
  plain.lr = 1e-4 / 3.0;
  plain.train_loss = 2.302585092994046;
  EpochReport validated = plain;
  validated.epoch = 20;
  validated.scheduler_stepped = true;
  validated.val_loss = 0.123456789;
  validated.val_scores = Scores{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7};
  validated.improved = true;
  validated.stopping = StopReason::no_improvement;
  r.epochs = {plain, validated};
  r.seconds = 12.5;
  r.router = RouterOutcome{StateDict{{"w", torch::ones({2})}}, RouterSummary{0.75, std::nullopt, 10, 12}};

  const JobResult back = decode_job_result(encode_job_result(r));
  ASSERT_EQ(back.fit.weights.size(), 2u);
  EXPECT_EQ(back.fit.weights[0].first, "b.weight");
  EXPECT_TRUE(torch::equal(back.fit.weights[0].second, r.fit.weights[0].second));
  EXPECT_EQ(back.fit.weights[1].second.dtype(), torch::kInt64);
  EXPECT_EQ(back.fit.best_epoch, 40);
  EXPECT_EQ(back.fit.best_score, 0.1 + 0.2);
  EXPECT_TRUE(back.fit.from_validation && back.fit.stopped_early);
  EXPECT_EQ(back.fit.best_scores.kappa, 1.0 / 3.0);
  ASSERT_EQ(back.epochs.size(), 2u);
  EXPECT_FALSE(back.epochs[0].val_loss || back.epochs[0].val_scores || back.epochs[0].stopping);
  EXPECT_EQ(back.epochs[0].lr, plain.lr);
  EXPECT_EQ(back.epochs[0].train_loss, plain.train_loss);
  EXPECT_EQ(back.epochs[1].epoch, 20);
  EXPECT_EQ(*back.epochs[1].val_loss, 0.123456789);
  EXPECT_EQ(back.epochs[1].val_scores->aa, 0.6);
  EXPECT_TRUE(back.epochs[1].improved && back.epochs[1].scheduler_stepped);
  EXPECT_EQ(back.epochs[1].stopping, StopReason::no_improvement);
  ASSERT_TRUE(back.router && back.router->state && back.router->summary);
  EXPECT_EQ(back.router->summary->n_right, 12);
  EXPECT_FALSE(back.router->summary->val_acc);

  // A router skipped for too few pixels stays "skipped", not "absent".
  r.router = RouterOutcome{};
  const JobResult skipped = decode_job_result(encode_job_result(r));
  ASSERT_TRUE(skipped.router);
  EXPECT_FALSE(skipped.router->state || skipped.router->summary);
}

TEST(Cluster, RanksShareBytesAndTickets) {
  const int port = testing::free_port();
  auto worker = std::async(std::launch::async, [port] {
    Cluster c({"127.0.0.1", port, 1, 2}, 20.0);
    c.publish("hello", std::string("from\0one", 8));
    std::vector<int64_t> mine = {c.take_ticket("t"), c.take_ticket("t")};
    const std::string reply = c.receive("reply");
    c.finish();
    return std::make_pair(mine, reply);
  });
  Cluster leader({"127.0.0.1", port, 0, 2}, 20.0);
  EXPECT_EQ(leader.label(), "rank 0/2");
  EXPECT_EQ(leader.receive("hello", /*consume=*/true), std::string("from\0one", 8));
  EXPECT_FALSE(leader.has("hello"));
  const int64_t third = leader.take_ticket("t");
  leader.publish("reply", "ok");
  auto [mine, reply] = worker.get();
  std::vector<int64_t> all = {mine[0], mine[1], third};
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<int64_t>{0, 1, 2}));
  EXPECT_EQ(reply, "ok");
  EXPECT_NO_THROW(leader.check());
}

TEST(SharedState, DigestsSeparateTheirPartsAndTensorTypes) {
  EXPECT_EQ(Digest().add("ab").add("c").hex(), Digest().add("ab").add("c").hex());
  EXPECT_NE(Digest().add("ab").add("c").hex(), Digest().add("a").add("bc").hex());
  EXPECT_EQ(Digest().hex(), "cbf29ce484222325");  // FNV-1a's offset basis: nothing added
  const torch::Tensor a = torch::arange(6, torch::kInt64);
  EXPECT_EQ(Digest().add(a).hex(), Digest().add(a.clone()).hex());
  EXPECT_NE(Digest().add(a).hex(), Digest().add(a.view({2, 3})).hex());
  EXPECT_NE(Digest().add(a).hex(), Digest().add(a.to(torch::kInt32)).hex());
  // A transposed view digests its values, not its memory.
  EXPECT_EQ(Digest().add(a.view({2, 3}).t()).hex(), Digest().add(a.view({2, 3}).t().contiguous()).hex());
}

TEST(SharedState, TensorsTravelAndDigestsAreCompared) {
  const int port = testing::free_port();
  auto worker = std::async(std::launch::async, [port] {
    Cluster c({"127.0.0.1", port, 1, 2}, 20.0);
    const torch::Tensor got = receive_tensor(c, "t");
    agree_on(c, "a/", "mine", "a different thing", "fix it");
    c.finish();
    return got;
  });
  Cluster leader({"127.0.0.1", port, 0, 2}, 20.0);
  const torch::Tensor sent = torch::randn({3, 4}).t();
  publish_tensor(leader, "t", sent);
  EXPECT_EQ(testing::error_of<ValueError>([&] { agree_on(leader, "a/", "yours", "a different thing", "fix it"); }),
            "rank 1 has a different thing than rank 0: fix it");
  EXPECT_TRUE(torch::equal(worker.get(), sent));
}

TEST(Cluster, MissingRanksAreNamedWithinTheTimeout) {
  const int port = testing::free_port();
  const double start = wall_time();
  EXPECT_EQ(testing::error_of<ClusterError>([&] { Cluster({"127.0.0.1", port, 0, 3}, 1.0); }),
            fmt::format("ranks 1, 2 did not join within 1 s (world size 3, rendezvous 127.0.0.1:{})", port));
  EXPECT_LT(wall_time() - start, 5.0);

  // Nobody listens: a rank other than 0 gives up, naming the address.
  const std::string lonely = testing::error_of<ClusterError>([&] { Cluster({"127.0.0.1", port, 1, 2}, 1.0); });
  EXPECT_EQ(lonely.rfind(fmt::format("rank 1/2 cannot reach rank 0 at 127.0.0.1:{} within 1 s", port), 0), 0u)
      << lonely;
}

TEST(Cluster, ASilentRankFailsTheOthersNamingIt) {
  const int port = testing::free_port();
  std::promise<void> leave;
  auto worker = std::async(std::launch::async, [port, gone = leave.get_future()]() mutable {
    auto c = std::make_unique<Cluster>(Rendezvous{"127.0.0.1", port, 1, 2}, 1.0);
    gone.wait();
    // Dropped without finish(): as far as rank 0 can tell, the process died.
    c.reset();
  });
  Cluster leader({"127.0.0.1", port, 0, 2}, 1.0);
  leave.set_value();
  worker.get();
  const double start = wall_time();
  std::string error;
  while (error.empty() && wall_time() - start < 10.0) {
    error = testing::error_of<ClusterError>([&] {
      leader.check();
      throw std::runtime_error("");
    });
    if (error == "wrong exception type: ") error.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(error,
            "rank 1 gave no sign of life for 1 s (it died, hung or lost the network); the run is abandoned");
  EXPECT_LT(wall_time() - start, 4.0);
}

}  // namespace
}  // namespace lumora
