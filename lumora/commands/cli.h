// Command-line conventions shared by the four programs, on CLI11: an
// argparse-style usage line and help listing, exit status 0 after --help,
// 2 for option errors, and 1 with "error: <message>" for failures.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace lumora::cli {

// An application with the argparse-style formatter and `-h, --help`.
std::unique_ptr<CLI::App> make_app(const std::string& description, const std::string& program);

// Parses the arguments. Returns nothing when the command should go on, or
// the exit status to return: 0 after printing the help, 2 after printing the
// usage line and the problem to standard error.
std::optional<int> parse(CLI::App& app, int argc, char** argv);

// "usage: prog [-h] --data DATA [--lr LR] ...".
std::string usage(const CLI::App& app);

// Value checks run while parsing, so that a value no run could use is an
// option error (usage line, status 2) before any work starts. Their
// descriptions are empty: the usage line and the help listing stay as they are.
// A text that is not a number is left to CLI11's own conversion error.

// A fraction: a finite number from 0 to 1.
CLI::Validator fraction();
// An integer of at least `minimum`.
CLI::Validator at_least(int64_t minimum);
// A finite real above 0 (`or_zero`: 0 allowed too).
CLI::Validator positive_real(bool or_zero = false);

// Paths a program reads or writes, checked before any work and without
// creating anything, so that a failing run leaves nothing new behind. The
// errors name the option and the path (exit status 1).

// An input file that, when it exists, is not a folder (a missing file is
// reported by whoever reads it).
void check_input_file(const std::string& option, const std::string& path);
// A folder that exists or can be created, and can be written into.
void check_output_folder(const std::string& option, const std::string& folder);
// A file whose folder passes check_output_folder and that is not a folder.
void check_output_file(const std::string& option, const std::string& path);
// Creates the folder that will hold `path` (and its parents).
void make_parent_dirs(const std::string& path);

// Runs a command body: errors of the system end it with "error: <message>"
// on standard error and status 1 (2 for an OptionError, as for any other
// option error); anything else propagates nothing either.
int guarded(const std::function<int()>& body);

}  // namespace lumora::cli
