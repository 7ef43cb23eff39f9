// A clean stop on SIGTERM and SIGINT. Inside a StopWindow (long work with
// safe points: the end of an epoch, of a tile, of a job) the first signal
// only raises a flag; the work checks it at its next safe point, keeps what
// it has and throws Stopped. A second SIGINT (Ctrl-C pressed again) ends the
// process at once, and outside every window a signal does what it always
// did: it ends the process.
#pragma once

#include <string>

#include "lumora/core/errors.h"

namespace lumora {

// Installs the handlers (once per process; later calls do nothing).
void install_stop_handlers();

// Signals raise the flag instead of ending the process for its lifetime.
class StopWindow {
 public:
  StopWindow();
  ~StopWindow();
  StopWindow(const StopWindow&) = delete;
  StopWindow& operator=(const StopWindow&) = delete;
};

// The signal that asked for a stop, or 0.
int stop_signal();
// Raises the flag as a signal would (for a peer's stop, and for tests).
void request_stop(int signal);
// Lowers the flag (tests).
void clear_stop();

// "SIGTERM", "SIGINT", or "signal N".
std::string signal_name(int signal);

// Thrown at a safe point once a stop was asked for; `what()` is the one line
// the programs print, and they exit with 128 + signal.
class Stopped : public Error {
 public:
  Stopped(int signal, const std::string& message) : Error(message), signal_(signal) {}
  int signal() const { return signal_; }

 private:
  int signal_;
};

// Throws Stopped "stopped by <signal> <where>" when a stop was asked for.
void stop_point(const std::string& where);

}  // namespace lumora
