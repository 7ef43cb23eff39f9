// Command-line conventions shared by the four programs, on CLI11: an
// argparse-style usage line and help listing, exit status 0 after --help,
// 2 for option errors, and 1 with "error: <message>" for failures.
#pragma once

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

// Runs a command body: errors of the system end it with "error: <message>"
// on standard error and status 1; anything else propagates nothing either.
int guarded(const std::function<int()>& body);

}  // namespace lumora::cli
