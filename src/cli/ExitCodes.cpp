#include "cli/ExitCodes.h"

#include <cstdio>

namespace quon::cli {

const ExitCodeMeaning kExitCodes[] = {
    {ExitCode::Done, "done, or the installation is up to date"},
    {ExitCode::UpdatesAvailable, "updates are available (--list)"},
    {ExitCode::Usage, "usage error, or an update that is not offered for this installation"},
    {ExitCode::ServerFailed, "cannot reach the update server, or the server refused"},
    {ExitCode::DownloadFailed, "download or unpacking failed"},
    {ExitCode::NotInstalled, "some files were not installed, or product applications were left running"},
    {ExitCode::DiscoveryFailed, "not in a product directory, or the installed version is unreadable"},
    {ExitCode::Managed, "updates are managed by the administrator, or the administrator's policy is unreadable"},
    {ExitCode::Interrupted, "interrupted (Ctrl+C or another request to end): partial downloads were removed"},
};
const size_t kExitCodeCount = sizeof kExitCodes / sizeof kExitCodes[0];

std::string ExitCodeTable() {
  std::string table;
  for (const ExitCodeMeaning& row : kExitCodes) {
    char line[160];
    std::snprintf(line, sizeof line, "  %-4d %s\n", static_cast<int>(row.code), row.meaning);
    table += line;
  }
  return table;
}

const char* MeaningOf(ExitCode code) {
  for (const ExitCodeMeaning& row : kExitCodes) {
    if (row.code == code) return row.meaning;
  }
  return "";
}

}  // namespace quon::cli
