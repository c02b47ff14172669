// The command-line mode: the update session driven from the options, with
// the console as its message boxes and its wait dialog. A front end's main
// composes it with its system's transport, platform and window system.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/HttpTransport.h"
#include "update/UpdateSession.h"

namespace quon::cli {

// What the system gives the run.
struct CommandLineSystem {
  Platform& platform;
  WindowSystem& windows;
  // The transport, made once the console's prompts exist: the proxy asks
  // for its credentials through them.
  std::function<std::unique_ptr<HttpClient>(UserPrompts&)> makeHttp;
  // The administrator's settings of the run (the last installation's
  // backup, and with it --rollback).
  UpdateSessionOptions session;
};

// Runs the command given by `args` (the arguments after the program's
// name) and returns the program's exit code (ExitCodes.h).
int RunCommandLine(const std::vector<std::string>& args, const UpdateServerSettings& server,
                   const CommandLineSystem& system);

}  // namespace quon::cli
