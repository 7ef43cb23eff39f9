#include "lumora/distributed/cluster.h"

#include <fmt/format.h>
#include <torch/csrc/distributed/c10d/TCPStore.hpp>

#include <chrono>
#include <cmath>
#include <map>

#include "lumora/core/elapsed.h"
#include "lumora/core/torch_compat.h"

namespace lumora {
namespace {

using Store = c10::intrusive_ptr<c10d::TCPStore>;

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

std::vector<uint8_t> to_bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::string from_bytes(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }

int64_t parse_count(const std::string& name, const std::string& text) {
  size_t used = 0;
  int64_t value = -1;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || value < 0) throw ValueError(fmt::format("{} must be a whole number, got '{}'", name, text));
  return value;
}

int parse_port(const std::string& name, const std::string& text) {
  const int64_t port = parse_count(name, text);
  if (port < 1 || port > 65535) throw ValueError(fmt::format("{} must be a port from 1 to 65535, got {}", name, text));
  return static_cast<int>(port);
}

std::chrono::milliseconds millis(double seconds) {
  return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000.0)));
}

}  // namespace

Rendezvous resolve_rendezvous(const std::string& url, std::optional<int64_t> world_size,
                              std::optional<int64_t> rank,
                              const std::function<const char*(const char*)>& getenv) {
  Rendezvous r;
  auto from_env = [&](const char* name) -> std::string {
    const char* value = getenv(name);
    if (!value || !*value) throw ValueError(fmt::format("--dist-url env:// needs the environment variable {}", name));
    return value;
  };
  if (url == "env://") {
    r.host = from_env("MASTER_ADDR");
    r.port = parse_port("MASTER_PORT", from_env("MASTER_PORT"));
    if (!rank) rank = parse_count("RANK", from_env("RANK"));
    if (!world_size) world_size = parse_count("WORLD_SIZE", from_env("WORLD_SIZE"));
  } else if (url.rfind("tcp://", 0) == 0) {
    const std::string address = url.substr(6);
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0)
      throw ValueError(fmt::format("--dist-url must be tcp://HOST:PORT or env://, got '{}'", url));
    r.host = address.substr(0, colon);
    if (r.host.size() > 2 && r.host.front() == '[' && r.host.back() == ']') r.host = r.host.substr(1, r.host.size() - 2);
    r.port = parse_port("the port of --dist-url", address.substr(colon + 1));
  } else {
    throw ValueError(fmt::format("--dist-url must be tcp://HOST:PORT or env://, got '{}'", url));
  }
  if (!world_size) throw ValueError("--dist-url tcp:// needs --world-size");
  if (!rank) throw ValueError("--dist-url tcp:// needs --rank");
  if (*world_size < 1) throw ValueError(fmt::format("--world-size must be at least 1, got {}", *world_size));
  if (*rank < 0 || *rank >= *world_size)
    throw ValueError(fmt::format("--rank must be from 0 to {} (world size {}), got {}", *world_size - 1, *world_size,
                                 *rank));
  r.rank = *rank;
  r.world_size = *world_size;
  return r;
}

struct Cluster::Connections {
  Store work, beats;
};

Cluster::Cluster(const Rendezvous& where, double timeout_s)
    : where_(where), timeout_s_(timeout_s), connections_(std::make_unique<Connections>()) {
  if (!(timeout_s > 0)) throw ValueError(fmt::format("--dist-timeout must be positive, got {}", timeout_s));
  compat::quiet_library_log();
  c10d::TCPStoreOptions options;
  options.port = static_cast<std::uint16_t>(where.port);
  options.isServer = is_leader();
  options.waitWorkers = false;
  options.timeout = millis(timeout_s);
  const std::string address = fmt::format("{}:{}", where.host, where.port);
  try {
    connections_->work = c10::make_intrusive<c10d::TCPStore>(where.host, options);
    options.isServer = false;
    connections_->beats = c10::make_intrusive<c10d::TCPStore>(where.host, options);
  } catch (const std::exception& e) {
    if (is_leader())
      throw ClusterError(fmt::format("rank 0 cannot open the rendezvous at {}: {}", address, first_line(e.what())));
    throw ClusterError(fmt::format("{} cannot reach rank 0 at {} within {} s: {}", label(), address, timeout_s,
                                   first_line(e.what())));
  }
  join();
  watcher_ = std::thread([this] { watch(); });
}

Cluster::~Cluster() {
  stopping_ = true;
  if (watcher_.joinable()) watcher_.join();
}

std::string Cluster::label() const { return fmt::format("rank {}/{}", where_.rank, where_.world_size); }

void Cluster::join() {
  Store& store = connections_->work;
  const std::string claim = fmt::format("claim/{}", where_.rank);
  if (store->add(claim, 1) > 1)
    throw ClusterError(fmt::format("two processes claim rank {}: give each process its own --rank", where_.rank));
  if (!is_leader()) {
    try {
      store->wait({"ready"}, millis(timeout_s_));
    } catch (const std::exception&) {
      throw ClusterError(fmt::format("{}: not every rank joined rank 0 at {}:{} within {} s", label(), where_.host,
                                     where_.port, timeout_s_));
    }
    return;
  }
  const double deadline = wall_time() + timeout_s_;
  for (;;) {
    std::vector<int64_t> missing;
    for (int64_t r = 1; r < where_.world_size; ++r)
      if (!store->check({fmt::format("claim/{}", r)})) missing.push_back(r);
    if (missing.empty()) break;
    if (wall_time() > deadline)
      throw ClusterError(fmt::format("rank{} {} did not join within {} s (world size {}, rendezvous {}:{})",
                                     missing.size() > 1 ? "s" : "", fmt::join(missing, ", "), timeout_s_,
                                     where_.world_size, where_.host, where_.port));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  store->set("ready", to_bytes("1"));
}

// Every rank beats; rank 0 watches the beats and the failure reports, the
// others watch for the run being abandoned. Whatever goes wrong is kept for
// check() on the working thread.
void Cluster::watch() {
  Store& store = connections_->beats;
  const double interval = std::min(1.0, timeout_s_ / 4.0);
  std::map<int64_t, std::pair<int64_t, double>> seen;  // rank -> (beats, when they last changed)
  for (int64_t r = 1; r < where_.world_size; ++r) seen[r] = {-1, wall_time()};
  while (!stopping_) {
    try {
      store->add(fmt::format("beat/{}", where_.rank), 1);
      if (is_leader()) {
        for (auto it = seen.begin(); it != seen.end();) {
          const int64_t r = it->first;
          if (store->check({fmt::format("finished/{}", r)})) {
            it = seen.erase(it);
            continue;
          }
          if (store->check({fmt::format("failed/{}", r)}))
            fail(fmt::format("rank {} failed: {}", r, from_bytes(store->get(fmt::format("failed/{}", r)))));
          const int64_t beats = store->add(fmt::format("beat/{}", r), 0);
          auto& [last, when] = it->second;
          if (beats != last) {
            last = beats;
            when = wall_time();
          } else if (wall_time() - when > timeout_s_) {
            fail(fmt::format("rank {} gave no sign of life for {} s (it died, hung or lost the network)", r,
                             timeout_s_));
          }
          ++it;
        }
      } else if (store->check({"abandoned"})) {
        fail("rank 0 abandoned the run: " + from_bytes(store->get("abandoned")));
      }
    } catch (const std::exception& e) {
      fail(lost_contact(e));
    }
    if (!failure().empty() && !is_leader()) return;
    const double until = wall_time() + interval;
    while (!stopping_ && wall_time() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Cluster::fail(const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(failure_mutex_);
    if (failure_) return;
    failure_ = why;
  }
  if (!is_leader()) return;
  try {  // tell the others to stop too
    connections_->beats->set("abandoned", to_bytes(why));
  } catch (const std::exception&) {
  }
}

std::string Cluster::failure() {
  std::lock_guard<std::mutex> lock(failure_mutex_);
  return failure_.value_or("");
}

void Cluster::check() {
  const std::string why = failure();
  if (!why.empty()) throw ClusterError(why + "; the run is abandoned");
}

std::string Cluster::lost_contact(const std::exception& e) const {
  return fmt::format("{} lost contact with rank 0 at {}:{} ({})", label(), where_.host, where_.port,
                     first_line(e.what()));
}

// A store operation on the work connection; a broken connection becomes a
// ClusterError that says so.
template <typename Operation>
auto Cluster::talk(Operation&& operation) {
  try {
    return operation(*connections_->work);
  } catch (const std::exception& e) {
    throw ClusterError(lost_contact(e));
  }
}

void Cluster::publish(const std::string& key, const std::string& bytes) {
  check();
  talk([&](c10d::TCPStore& store) { store.set(key, to_bytes(bytes)); });
}

bool Cluster::has(const std::string& key) {
  return talk([&](c10d::TCPStore& store) { return store.check({key}); });
}

std::string Cluster::receive(const std::string& key, bool consume) {
  auto pause = std::chrono::milliseconds(2);
  for (;;) {
    check();
    if (has(key)) break;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
  return talk([&](c10d::TCPStore& store) {
    std::string value = from_bytes(store.get(key));
    if (consume) store.deleteKey(key);
    return value;
  });
}

int64_t Cluster::take_ticket(const std::string& counter) {
  check();
  return talk([&](c10d::TCPStore& store) { return store.add(counter, 1) - 1; });
}

void Cluster::report_failure(const std::string& reason) {
  if (is_leader()) return;
  try {
    connections_->work->set(fmt::format("failed/{}", where_.rank), to_bytes(reason));
  } catch (const std::exception&) {  // rank 0 is gone already
  }
}

void Cluster::finish() {
  stopping_ = true;
  if (watcher_.joinable()) watcher_.join();
  if (is_leader()) return;
  try {
    connections_->work->set(fmt::format("finished/{}", where_.rank), to_bytes("1"));
  } catch (const std::exception&) {  // rank 0 has what it needs and left
  }
}

}  // namespace lumora
