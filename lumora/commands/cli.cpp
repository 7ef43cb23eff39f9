#include "lumora/commands/cli.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <sstream>
#include <vector>

#include "lumora/core/errors.h"

namespace lumora::cli {
namespace {

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

// The option as the usage line and the help listing spell it: "--lr LR",
// "--crop X0 Y0 X1 Y1" style for several values, plain for flags.
std::string spelled(const CLI::Option* opt) {
  std::string s = flag_name(opt);
  if (opt->get_type_size() == 0) return s;
  const int n = std::max(1, opt->get_expected_min());
  // A type name of one word per value names the values ("--crop Y X H W").
  std::vector<std::string> words;
  std::istringstream names(opt->get_type_name());
  for (std::string w; names >> w;) words.push_back(w);
  if (n > 1 && static_cast<int>(words.size()) == n) {
    for (const auto& w : words) s += " " + w;
    return s;
  }
  for (int i = 0; i < n; ++i) s += " " + (opt->get_type_name().rfind("{", 0) == 0 ? opt->get_type_name() : metavar(opt));
  return s;
}

class ArgparseFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string /*name*/, CLI::AppFormatMode /*mode*/) const override {
    std::string out = usage(*app) + "\n\n" + app->get_description() + "\n\noptions:\n";
    for (const CLI::Option* opt : app->get_options()) {
      std::string left = "  ";
      if (opt == app->get_help_ptr())
        left += "-h, --help";
      else
        left += spelled(opt);
      std::string help = opt == app->get_help_ptr() ? "show this help message and exit" : opt->get_description();
      if (help.empty()) {
        out += left + "\n";
      } else if (left.size() < 24) {
        out += left + std::string(24 - left.size(), ' ') + help + "\n";
      } else {
        out += left + "\n" + std::string(24, ' ') + help + "\n";
      }
    }
    return out;
  }
};

}  // namespace

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
