// The command-line mode of QuonUpdate.exe.
#pragma once
#include "update/UpdateSession.h"

namespace quon::win {

// True when the program was started with arguments, which select the
// command-line mode.
bool HasCommandLineArguments();
// Runs the command of the program's arguments against `server` without a
// window (the output goes to the parent's console, when there is one) and
// returns its exit code.
int RunCommandLineMode(const UpdateServerSettings& server);

}  // namespace quon::win
