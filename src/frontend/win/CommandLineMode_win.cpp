// The command-line mode of QuonUpdate.exe: the WinINet transport, the
// Windows platform and window system, and the console instead of the
// windows. The arguments are the C runtime's, in the system's code page.
#include "frontend/win/CommandLineMode_win.h"

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli/CommandLineRun.h"
#include "platform/win/WinInetHttpClient.h"
#include "platform/win/WinPlatform.h"
#include "platform/win/WinWindowSystem.h"

namespace quon::win {

bool HasCommandLineArguments() { return __argc > 1; }

int RunCommandLineMode(const UpdateServerSettings& server) {
  std::unique_ptr<Platform> platform = MakeWinPlatform();
  WinWindowSystem windows;
  const cli::CommandLineSystem system{*platform, windows, [](UserPrompts&) -> std::unique_ptr<HttpClient> {
                                        return std::make_unique<WinInetHttpClient>();
                                      },
                                      UpdateSessionOptions{}};
  std::vector<std::string> args;
  for (int i = 1; i < __argc; ++i) args.emplace_back(__argv[i]);
  return cli::RunCommandLine(args, server, system);
}

}  // namespace quon::win
