// The options of the command-line mode. Any argument at all selects it;
// without arguments the program opens its window as it always has.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace quon::cli {

// The text of the About box, which --version prints.
extern const char kVersionText[];

struct CommandLineOptions {
  enum class Command { List, Install, InstallArchive, Rollback, Help, Version };
  Command command = Command::Help;
  bool installAll = false;   // --install all
  uint32_t installId = 0;    // --install ID
  std::string archiveFile;   // --install-archive FILE
  std::string brings;        // --brings VERSION, empty without
  bool yes = false;          // --yes
  bool quiet = false;        // --quiet
  std::string logFile;       // --log FILE, empty without
};

struct ParsedCommandLine {
  bool ok = false;
  CommandLineOptions options;
  std::string error;  // what is wrong, when not ok
};

// Reads the arguments after the program's name. Options may be given as
// "--name value" or "--name=value"; exactly one of --list, --install,
// --rollback, --help and --version is needed, and --help or --version win over the
// rest.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The text of --help, the exit-code table included.
std::string HelpText();

}  // namespace quon::cli
