// CommandLine: what the program's arguments ask of it.
//   msgserver [--config FILE] [--check | --serve | --add-user | --add-host] [--help] [--version]
// Thread safety: a value; parse is a pure function.
#pragma once

#include <string>

struct CommandLine {
  enum class Mode { Console, Check, Serve, AddUser, AddHost, Help, Version };

  // --help and --version win over everything else on the line, as they do in most programs;
  // otherwise at most one of the modes may be given. A usage error sets error and leaves the
  // mode at Console.
  static CommandLine parse(int argc, const char* const* argv);

  static const char kUsage[];  // the usage line and the options, each line ending in '\n'

  Mode mode = Mode::Console;
  std::string configPath = ".serverrc";
  std::string error;  // why the line is not usable; empty when it is
};
