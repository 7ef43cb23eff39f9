// Several processes, on one machine or several, working on one run. They
// meet at rank 0's key-value store (LibTorch's c10d TCPStore), exchange
// bytes through it, and watch each other: every rank beats once a second,
// and a rank silent for longer than the timeout fails the whole run with an
// error naming it, so that nobody waits forever for a dead process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lumora/core/errors.h"

namespace lumora {

// A rank was lost or the run was abandoned.
class ClusterError : public Error {
 public:
  using Error::Error;
};

// Where and who: the rendezvous host and port, this process's rank, the number of processes.
struct Rendezvous {
  std::string host;
  int port = 0;
  int64_t rank = 0;
  int64_t world_size = 1;
};

// The command-line view: --dist-url tcp://HOST:PORT or env://, --world-size,
// --rank. env:// reads MASTER_ADDR, MASTER_PORT, RANK and WORLD_SIZE (the
// options win over RANK and WORLD_SIZE). `getenv` stands in for the
// environment. Fails with a ValueError naming the missing or bad value.
Rendezvous resolve_rendezvous(const std::string& url, std::optional<int64_t> world_size,
                              std::optional<int64_t> rank,
                              const std::function<const char*(const char*)>& getenv);

class Cluster {
 public:
  // Rank 0 opens the store and waits until every rank has checked in; the
  // others connect. Both give up after `timeout_s` seconds, naming the ranks
  // that never came.
  Cluster(const Rendezvous& where, double timeout_s);
  ~Cluster();
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  const Rendezvous& where() const { return where_; }
  int64_t rank() const { return where_.rank; }
  int64_t world_size() const { return where_.world_size; }
  bool is_leader() const { return where_.rank == 0; }
  double timeout() const { return timeout_s_; }
  // "rank 1/3", the prefix of this rank's lines.
  std::string label() const;

  void publish(const std::string& key, const std::string& bytes);
  bool has(const std::string& key);
  // Waits for `key` as long as every rank is alive; the value is removed
  // from the store once read when `consume`.
  std::string receive(const std::string& key, bool consume = false);
  // 0, 1, 2, ... across all ranks: each call takes the next number of `counter`.
  int64_t take_ticket(const std::string& counter);

  // Throws a ClusterError when a rank was lost or the run abandoned.
  void check();
  // Stops the run here and, from rank 0, on every rank: check() throws `why` from now on.
  void abandon(const std::string& why) { fail(why); }
  // This rank stops with `reason`: rank 0 reports it, naming this rank.
  void report_failure(const std::string& reason);
  // This rank has done its share; rank 0 stops watching it.
  void finish();

 private:
  void join();
  void watch();
  void fail(const std::string& why);
  std::string failure();
  std::string lost_contact(const std::exception& e) const;
  template <typename Operation>
  auto talk(Operation&& operation);

  Rendezvous where_;
  double timeout_s_;
  // The work's connection, and the beats' own one, never held up by a large transfer.
  struct Connections;
  std::unique_ptr<Connections> connections_;
  std::mutex failure_mutex_;
  std::optional<std::string> failure_;
  std::atomic<bool> stopping_{false};
  std::thread watcher_;
};

}  // namespace lumora
