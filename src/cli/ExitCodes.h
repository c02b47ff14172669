// The exit codes of the command-line mode and what each means: one table,
// which --help prints and the README repeats.
#pragma once
#include <string>

namespace quon::cli {

enum class ExitCode : int {
  Done = 0,              // done, or up to date
  UpdatesAvailable = 1,  // --list found updates
  Usage = 2,             // usage error
  ServerFailed = 3,      // cannot reach the server, or the server refused
  DownloadFailed = 4,    // download or unpacking failed
  NotInstalled = 5,      // some files not installed
  DiscoveryFailed = 6,   // not in a product directory, version unreadable
  Managed = 7,           // the administrator turned updates off, or the policy cannot be read
  Interrupted = 130,     // Ctrl+C, or the system asked the program to end
};

struct ExitCodeMeaning {
  ExitCode code;
  const char* meaning;
};

extern const ExitCodeMeaning kExitCodes[];
extern const size_t kExitCodeCount;

// The table as --help prints it: one line per code, indented.
std::string ExitCodeTable();
const char* MeaningOf(ExitCode code);

}  // namespace quon::cli
