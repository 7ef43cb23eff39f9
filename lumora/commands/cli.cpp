#include "lumora/commands/cli.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <vector>

#include <c10/util/Exception.h>

#include "lumora/core/errors.h"
#include "lumora/core/stop_signal.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"

namespace lumora::cli {
namespace {

bool is_flag(const CLI::Option* opt) { return opt->get_expected_max() == 0; }

// The option's name in capitals, '-' as '_': argparse's default metavar.
std::string metavar(const CLI::Option* opt) {
  std::string name = opt->get_lnames().empty() ? opt->get_name() : opt->get_lnames().front();
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) {
    return c == '-' ? '_' : static_cast<char>(std::toupper(c));
  });
  return name;
}

std::string flag_name(const CLI::Option* opt) {
  if (!opt->get_lnames().empty()) return "--" + opt->get_lnames().front();
  return "-" + opt->get_snames().front();
}

// The choices "{a,b,c}" of an option whose check names them. CLI11 appends
// each check's description to the type name ("TEXT:{a,b,c}"), so a type name
// set to the choices as well would show them twice.
std::optional<std::string> choices(const CLI::Option* opt) {
  std::istringstream parts(opt->get_type_name());
  for (std::string part; std::getline(parts, part, ':');)
    if (part.size() >= 2 && part.front() == '{' && part.back() == '}') return part;
  return std::nullopt;
}

// What follows the name: nothing for a flag; the choices; the words of a type
// name of one word per value ("--crop Y X H W"); else the metavar once per value.
std::string value_names(const CLI::Option* opt) {
  if (is_flag(opt)) return "";
  const int n = std::max(1, opt->get_expected_min());
  std::string one = metavar(opt);
  if (const auto c = choices(opt)) {
    one = *c;
  } else if (n > 1) {
    std::vector<std::string> words;
    std::istringstream names(opt->get_type_name());
    for (std::string w; names >> w;) words.push_back(w);
    if (static_cast<int>(words.size()) == n) {
      std::string s;
      for (const auto& w : words) s += " " + w;
      return s;
    }
  }
  std::string s;
  for (int i = 0; i < n; ++i) s += " " + one;
  return s;
}

// The option as the usage line and the help listing spell it.
std::string spelled(const CLI::Option* opt) { return flag_name(opt) + value_names(opt); }

// Printed width in code points (descriptions hold "—", "≤", "→").
size_t text_width(const std::string& s) {
  return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// Python argparse's layout with its default widths: usage line, description,
// then "options:" with each description starting in column 24 beside an
// invocation that leaves two spaces before it, or on the next line indented
// to that column. Lines are not wrapped.
class ArgparseFormatter : public CLI::Formatter {
 public:
  ArgparseFormatter() { column_width(24); }

  std::string make_usage(const CLI::App* app, std::string /*name*/) const override { return usage(*app) + "\n"; }

  std::string make_option_name(const CLI::Option* opt, bool /*is_positional*/) const override {
    if (help_of(opt)) return "-h, --help";
    return flag_name(opt);
  }

  std::string make_option_opts(const CLI::Option* opt) const override {
    return help_of(opt) ? "" : value_names(opt);
  }

  std::string make_option_desc(const CLI::Option* opt) const override { return opt->get_description(); }

  std::string make_option(const CLI::Option* opt, bool is_positional) const override {
    const std::string invocation = "  " + make_option_name(opt, is_positional) + make_option_opts(opt);
    const std::string help = make_option_desc(opt);
    const size_t column = get_column_width();
    if (help.empty()) return invocation + "\n";
    if (text_width(invocation) + 2 <= column)
      return invocation + std::string(column - text_width(invocation), ' ') + help + "\n";
    return invocation + "\n" + std::string(column, ' ') + help + "\n";
  }

  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode /*mode*/) const override {
    std::string out = make_usage(app, name) + "\n" + app->get_description() + "\n\noptions:\n";
    for (const CLI::Option* opt : app->get_options()) out += make_option(opt, false);
    return out;
  }

 private:
  // The help option (make_app's "-h,--help") is listed with both its names, as argparse does.
  static bool help_of(const CLI::Option* opt) {
    return opt->get_snames() == std::vector<std::string>{"h"} && opt->get_lnames() == std::vector<std::string>{"help"};
  }
};

// The number CLI11 will convert the text to (the same reading), or nothing
// when the text is not one: CLI11 then reports it as it always has.
std::optional<double> real_of(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const long double v = std::strtold(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return static_cast<double>(v);
}

namespace fs = std::filesystem;

bool writable(const fs::path& folder) { return ::access(folder.c_str(), W_OK | X_OK) == 0; }

// The path without trailing separators ("out/" -> "out"), "." for "".
fs::path folder_path(const std::string& text) {
  std::string s = text;
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s.empty() ? fs::path(".") : fs::path(s);
}

}  // namespace

CLI::Validator fraction() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const auto v = real_of(text);
        if (!v || (std::isfinite(*v) && *v >= 0.0 && *v <= 1.0)) return {};
        return "must be a number from 0 to 1, got " + text;
      },
      "");
}

CLI::Validator at_least(int64_t minimum) {
  return CLI::Validator(
      [minimum](std::string& text) -> std::string {
        if (text.empty()) return {};
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(text.c_str(), &end, 0);  // CLI11 reads integers the same way
        if (end != text.c_str() + text.size()) return {};
        if (errno == ERANGE) return text + " is out of the range of an integer";
        if (v < minimum) return "must be at least " + std::to_string(minimum) + ", got " + text;
        return {};
      },
      "");
}

CLI::Validator positive_real(bool or_zero) {
  return CLI::Validator(
      [or_zero](std::string& text) -> std::string {
        const auto v = real_of(text);
        if (!v || (std::isfinite(*v) && (*v > 0.0 || (or_zero && *v == 0.0)))) return {};
        return std::string(or_zero ? "must be a finite number of at least 0" : "must be a finite number above 0") +
               ", got " + text;
      },
      "");
}

void check_input_file(const std::string& option, const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) throw ValueError(option + ": '" + path + "' is a folder, not a file");
}

void check_output_folder(const std::string& option, const std::string& folder) {
  std::error_code ec;
  fs::path p = folder_path(folder);
  const auto status = fs::status(p, ec);
  if (fs::exists(status)) {
    if (!fs::is_directory(status)) throw ValueError(option + ": '" + folder + "' is a file, not a folder");
    if (!writable(p)) throw RuntimeError(option + ": cannot write into '" + folder + "'");
    return;
  }
  // The nearest existing folder above is where it would be created.
  for (fs::path up = p.parent_path();; up = up.parent_path()) {
    if (up.empty()) up = ".";
    const auto st = fs::status(up, ec);
    if (fs::exists(st)) {
      if (!fs::is_directory(st))
        throw ValueError(option + ": cannot create '" + folder + "': '" + up.string() + "' is a file, not a folder");
      if (!writable(up))
        throw RuntimeError(option + ": cannot create '" + folder + "': '" + up.string() + "' cannot be written into");
      return;
    }
    if (up == "." || up == up.root_path()) return;
  }
}

void check_output_file(const std::string& option, const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) throw ValueError(option + ": '" + path + "' is a folder, not a file");
  const std::string parent = fs::path(path).parent_path().string();
  check_output_folder(option, parent.empty() ? "." : parent);
}

void make_parent_dirs(const std::string& path) {
  const std::string parent = fs::path(path).parent_path().string();
  if (!parent.empty()) make_dirs(parent);
}

std::unique_ptr<CLI::App> make_app(const std::string& description, const std::string& program) {
  auto app = std::make_unique<CLI::App>(description, program);
  app->formatter(std::make_shared<ArgparseFormatter>());
  app->set_help_flag("-h,--help", "show this help message and exit");
  app->allow_windows_style_options(false);
  return app;
}

std::string usage(const CLI::App& app) {
  std::string out = "usage: " + app.get_name();
  for (const CLI::Option* opt : app.get_options()) {
    if (opt == app.get_help_ptr()) {
      out += " [-h]";
      continue;
    }
    out += opt->get_required() ? " " + spelled(opt) : " [" + spelled(opt) + "]";
  }
  return out;
}

std::optional<int> parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << usage(app) << "\n" << app.get_name() << ": error: " << e.what() << "\n";
    return 2;
  }
  return std::nullopt;
}

int guarded(const std::function<int()>& body) {
  try {
    return body();
  } catch (const Stopped& e) {
    std::cout << std::endl;  // after an epoch bar's carriage return
    std::cerr << e.what() << std::endl;
    return 128 + e.signal();
  } catch (const OptionError& e) {
    std::cout.flush();
    std::cerr << "error: " << e.what() << std::endl;
    return 2;
  } catch (const Error& e) {
    std::cout.flush();
    std::cerr << "error: " << e.what() << std::endl;
    return 1;
  } catch (const c10::Error& e) {
    std::cout.flush();
    std::cerr << "error: " << e.what_without_backtrace() << std::endl;
    return 1;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "error: " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace lumora::cli
