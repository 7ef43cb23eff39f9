#include "lumora/core/stop_signal.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace lumora {
namespace {

std::atomic<int> requested{0};
std::atomic<int> open_windows{0};

extern "C" void on_stop_signal(int signal) {
  if (open_windows.load() == 0) {
    // No safe point ahead: end the process as the signal always did.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  int none = 0;
  if (requested.compare_exchange_strong(none, signal)) return;
  if (signal == SIGINT) _exit(128 + SIGINT);  // asked twice: the user wants out now
}

}  // namespace

void install_stop_handlers() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // reads and writes in progress go on
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    return true;
  }();
  (void)installed;
}

StopWindow::StopWindow() { ++open_windows; }
StopWindow::~StopWindow() { --open_windows; }

int stop_signal() { return requested.load(); }

void request_stop(int signal) {
  int none = 0;
  requested.compare_exchange_strong(none, signal);
}

void clear_stop() { requested.store(0); }

std::string signal_name(int signal) {
  if (signal == SIGTERM) return "SIGTERM";
  if (signal == SIGINT) return "SIGINT";
  return "signal " + std::to_string(signal);
}

void stop_point(const std::string& where) {
  if (const int signal = stop_signal()) throw Stopped(signal, "stopped by " + signal_name(signal) + " " + where);
}

}  // namespace lumora
