// The command-line mode of the Linux program: the libcurl transport, the
// Linux platform and the X11 window system (which needs no display: without
// one no product application is found), and no GTK at all, so that it runs
// where there is no display.
#include "frontend/gtk/CommandLineMode_gtk.h"

#include <memory>

#include "cli/CommandLineRun.h"
#include "platform/posix/CurlHttpClient.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/X11WindowSystem.h"

namespace quon {

int RunCommandLineMode(int argc, char** argv, const UpdateServerSettings& server) {
  std::unique_ptr<Platform> platform = MakePosixPlatform();
  X11WindowSystem windows;
  const cli::CommandLineSystem system{*platform, windows, [](UserPrompts& prompts) -> std::unique_ptr<HttpClient> {
                                        return std::make_unique<CurlHttpClient>(prompts);
                                      },
                                      UpdateSessionOptions{}};
  return cli::RunCommandLine(std::vector<std::string>(argv + 1, argv + argc), server, system);
}

}  // namespace quon
