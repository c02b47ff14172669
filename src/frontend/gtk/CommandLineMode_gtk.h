// The command-line mode of the Linux program.
#pragma once
#include "update/UpdateSession.h"

namespace quon {

// The command-line mode (any argument selects it): runs the command of
// argv[1..argc-1] against `server` without GTK and returns its exit code.
int RunCommandLineMode(int argc, char** argv, const UpdateServerSettings& server);

}  // namespace quon
