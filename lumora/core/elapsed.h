// Elapsed time: the clocks the programs read and the two forms in which
// they print a duration.
#pragma once

#include <chrono>
#include <string>

namespace lumora {

// Wall-clock seconds since the Unix epoch: a start that can be handed from
// one stage of a run to the next as a plain number.
double wall_time();

// Seconds since `start` on the steady clock, for durations within a process.
double seconds_since(std::chrono::steady_clock::time_point start);

// Whole seconds with the larger units only when they are not zero:
// "1h 2m 5s", "1h 0m 0s", "2m 5s", "59s".
std::string format_elapsed(double seconds);
// format_elapsed(wall_time() - start).
std::string elapsed_since(double start);

// A stopwatch reading: "mm:ss" below an hour, "h:mm:ss" from there on.
std::string clock_text(double seconds);

}  // namespace lumora
