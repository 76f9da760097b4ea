#include "cli/commandline.h"

#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "chain/mergerun.h"
#include "thread/stdfds.h"

namespace {

// The help in the shape help2man turns into a man page: the usage line first, then what the
// program does; names as "-q, --quiet". A positional argument shows its value syntax (its type
// name) in place of its name.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_description(const CLI::App*) const override { return ""; }
  std::string make_usage(const CLI::App* app, std::string name) const override {
    return CLI::Formatter::make_usage(app, name) + app->get_description() + "\n";
  }
  std::string make_option_name(const CLI::Option* opt, bool positional) const override {
    if (positional) return opt->get_type_name();
    std::string names = opt->get_name(false, true);
    for (size_t comma = names.find(','); comma != std::string::npos;
         comma = names.find(',', comma + 2))
      names.replace(comma, 1, ", ");
    return names;
  }
  std::string make_option_opts(const CLI::Option* opt) const override {
    if (opt->get_positional()) return opt->get_expected_max() > 1 ? " ..." : "";
    return opt->get_type_size() == 0 ? "" : " " + opt->get_type_name();
  }
  std::string make_option_usage(const CLI::Option* opt) const override {
    return opt->get_type_name() + (opt->get_expected_max() > 1 ? " ..." : "");
  }
};

}  // namespace

CommandLine::CommandLine(const std::string& program, const std::string& version,
                         const std::string& description, const std::string& footer)
    : _app(description, program), _version(program + " " + version) {
  _app.formatter(std::make_shared<HelpFormatter>());
  _app.get_formatter()->column_width(26);
  _app.get_formatter()->label("Positionals", "Arguments");
  _app.set_help_flag("-h, --help", "this text, then exit");
  _app.set_version_flag("--version", _version, "the version, then exit");
  _app.footer(footer);
  // Unknown arguments are reported by parse() in this program's words.
  _app.allow_extras();
  // As with most programs, an option given twice takes its last value.
  _app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

CLI::Option* CommandLine::addPath(const std::string& names, std::string* path,
                                  const std::string& help, const std::string& typeName) {
  CLI::Option* option = _app.add_option(names, *path, help)->type_name(typeName);
  const std::string needs = typeName == "DIR" ? " needs a folder name" : " needs a file name";
  _needs[option->get_name()] = needs;
  _checks.push_back([option, path, needs](std::string* error) {
    if (option->count() == 0 || !path->empty()) return true;
    *error = option->get_name() + needs;
    return false;
  });
  return option;
}

CLI::Option* CommandLine::addValue(const std::string& names, const std::string& typeName,
                                   const std::string& help, const std::string& expected,
                                   std::function<bool(const std::string&)> take) {
  std::string* text = &_values.emplace_back();
  CLI::Option* option = _app.add_option(names, *text, help)->type_name(typeName);
  _needs[option->get_name()] = " needs a value";
  _checks.push_back([option, text, expected, take](std::string* error) {
    if (option->count() == 0) return true;
    if (text->empty()) {
      *error = option->get_name() + " needs a value";
      return false;
    }
    if (take(*text)) return true;
    *error = "bad " + option->get_name() + " '" + *text + "' (" + expected + ")";
    return false;
  });
  return option;
}

void CommandLine::addCompression(Hdf5Compression* compression) {
  std::string* word = &_values.emplace_back();
  CLI::Option* option = _app.add_flag(
      "--compress{deflate}", *word,
      "compress the HDF5 file's columns: shuffle and deflate, or with\n"
      "--compress=fast (or --compress fast) bitshuffle and LZ4, a little\n"
      "larger and several times quicker (needs the Debian package\n"
      "bitshuffle to write, and to read the file)");
  _needs[option->get_name()] = " needs a value";
  _checks.push_back([option, word, compression](std::string* error) {
    if (option->count() == 0) return true;
    if (*word != "none" && compressionFromWord(*word, compression)) return true;
    *error = "bad --compress '" + *word + "' (fast, or deflate: the default)";
    return false;
  });
}

std::vector<std::string> CommandLine::joinCompression(int argc, const char* const* argv) {
  std::vector<std::string> args;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") options = false;
    const std::string next = i + 1 < argc ? argv[i + 1] : "";
    if (options && arg == "--compress" && (next == "fast" || next == "deflate")) {
      args.push_back(arg + "=" + next);
      ++i;
    } else {
      args.push_back(arg);
    }
  }
  return args;
}

std::string CommandLine::firstExtra() const {
  for (const std::string& arg : _app.remaining())
    if (arg != "--") return arg;
  return "";
}

std::string CommandLine::emptyAssignment(int argc, const char* const* argv) const {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 4 || arg.compare(0, 2, "--") != 0 || arg.find('=') != arg.size() - 1)
      continue;
    const auto needs = _needs.find(arg.substr(0, arg.size() - 1));
    if (needs != _needs.end()) return needs->first + needs->second;
  }
  return "";
}

CommandLine::Outcome CommandLine::parse(int argc, const char* const* argv, std::string* error) {
  const std::vector<std::string> args = joinCompression(argc, argv);
  std::vector<const char*> joined = {argc > 0 ? argv[0] : ""};
  for (const std::string& arg : args) joined.push_back(arg.c_str());
  argc = int(joined.size());
  argv = joined.data();
  // CLI11 would take the next argument as the value of "--name=".
  *error = emptyAssignment(argc, argv);
  if (!error->empty()) return Outcome::Bad;
  try {
    _app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return Outcome::Help;
  } catch (const CLI::CallForVersion&) {
    return Outcome::Version;
  } catch (const CLI::ArgumentMismatch& e) {
    // "--name: 1 required TYPE missing": said in this program's words for its own options.
    const std::string what = e.what();
    const auto needs = _needs.find(what.substr(0, what.find(':')));
    *error = needs == _needs.end() ? what : needs->first + needs->second;
    return Outcome::Bad;
  } catch (const CLI::ParseError& e) {
    *error = e.what();
    return Outcome::Bad;
  }
  const std::string extra = firstExtra();
  if (!extra.empty()) {
    const bool isOption = extra.size() > 1 && extra[0] == '-';
    *error = std::string(isOption ? "unknown option" : "unknown argument") + " '" + extra +
             "' (see --help)";
    return Outcome::Bad;
  }
  for (const auto& check : _checks)
    if (!check(error)) return Outcome::Bad;
  return Outcome::Run;
}

bool parseReal(const std::string& text, double* value) {
  if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  const double v = strtod(text.c_str(), &end);
  if (*end != '\0' || !isfinite(v)) return false;
  *value = v;
  return true;
}

bool parseSplitTime(const std::string& text, int64_t* ps) {
  double seconds = 0;
  return parseReal(text, &seconds) && splitTimePs(seconds, ps);
}

bool beginProgram(sigset_t* stopSignals) {
  if (!openStandardDescriptors()) return false;
  *stopSignals = blockSignals();
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  return true;
}

bool printOut(const std::string& text) {
  return fputs(text.c_str(), stdout) >= 0 && fflush(stdout) == 0;
}
