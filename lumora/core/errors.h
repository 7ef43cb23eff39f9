// Exceptions carrying the system's exact messages. Library code throws them;
// only a command's run() catches them and turns them into an exit status.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lumora {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value outside what the operation accepts (unknown name, bad split, ...).
class ValueError : public Error {
 public:
  using Error::Error;
};

// A named entry (variable, mapping key) that is not there.
class KeyError : public Error {
 public:
  using Error::Error;
};

// A file that does not exist or cannot be opened.
class FileNotFoundError : public Error {
 public:
  using Error::Error;
};

// An argument or stored value of the wrong kind.
class TypeError : public Error {
 public:
  using Error::Error;
};

// A value given on the command line that no run can use, found only once
// the files it names have been read (a program exits with status 2, as for
// any other option error).
class OptionError : public ValueError {
 public:
  using ValueError::ValueError;
};

// Anything else that stops the work (unreadable file, failed write, ...).
class RuntimeError : public Error {
 public:
  using Error::Error;
};

// "{name} must be at least {minimum}, got {value}" unless value >= minimum.
inline void check_at_least(const char* name, int64_t value, int64_t minimum) {
  if (value < minimum)
    throw ValueError(std::string(name) + " must be at least " + std::to_string(minimum) + ", got " +
                     std::to_string(value));
}

}  // namespace lumora
