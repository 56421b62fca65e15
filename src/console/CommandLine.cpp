#include "console/CommandLine.h"

#include <cstring>

const char CommandLine::kUsage[] =
    "Usage: msgserver [--config FILE] [--check | --serve | --add-user | --add-host]\n"
    "                 [--help] [--version]\n"
    "\n"
    "With no option, msgserver reads ./.serverrc and runs the operator's console.\n"
    "  --config FILE  read FILE instead of ./.serverrc\n"
    "  --check        check the configuration as D does; exit 1 when there are problems\n"
    "  --serve        start the service at once, without a console; stop on SIGTERM or SIGINT,\n"
    "                 reopen the logs on SIGHUP\n"
    "  --add-user     add a user to the password file, as U does, and exit\n"
    "  --add-host     add a trusted host to the hosts file, as H does, and exit\n"
    "  --help         print this help and exit\n"
    "  --version      print the version and exit\n";

namespace {

struct ModeOption {
  const char* name;
  CommandLine::Mode mode;
};

constexpr ModeOption kModes[] = {{"--check", CommandLine::Mode::Check},
                                 {"--serve", CommandLine::Mode::Serve},
                                 {"--add-user", CommandLine::Mode::AddUser},
                                 {"--add-host", CommandLine::Mode::AddHost}};

}  // namespace

CommandLine CommandLine::parse(int argc, const char* const* argv) {
  CommandLine line;
  bool help = false;
  bool version = false;
  const char* modeGiven = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
      help = true;
    } else if (std::strcmp(argument, "--version") == 0) {
      version = true;
    } else if (std::strcmp(argument, "--config") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        if (line.error.empty()) line.error = "--config needs a file";
      } else {
        line.configPath = argv[++i];
      }
    } else if (std::strncmp(argument, "--config=", 9) == 0) {
      if (argument[9] == '\0') {
        if (line.error.empty()) line.error = "--config needs a file";
      } else {
        line.configPath = argument + 9;
      }
    } else {
      const ModeOption* found = nullptr;
      for (const ModeOption& option : kModes) {
        if (std::strcmp(argument, option.name) == 0) found = &option;
      }
      if (found == nullptr) {
        if (line.error.empty()) {
          line.error = argument[0] == '-' ? std::string("unknown option '") + argument + "'"
                                          : std::string("unexpected argument '") + argument + "'";
        }
      } else if (modeGiven != nullptr && std::strcmp(modeGiven, found->name) != 0) {
        if (line.error.empty()) {
          line.error = std::string(modeGiven) + " and " + found->name + " cannot be combined";
        }
      } else {
        modeGiven = found->name;
        line.mode = found->mode;
      }
    }
  }
  if (help || version) {
    line.error.clear();
    line.mode = help ? Mode::Help : Mode::Version;
  } else if (!line.error.empty()) {
    line.mode = Mode::Console;
  }
  return line;
}
