// The application object of the Linux desktop program.
#pragma once
#include "app/UpdateDlg.h"

namespace quon {

// Starts GTK, builds the composition root (libcurl transport, Linux
// platform, X11 window system, GTK views, UpdateDlg), runs the main window
// until it closes and returns the program's exit code. `server` is the
// build's update server; the GUI tests pass a local one.
int RunUpdateApp(const UpdateServerSettings& server);

// The command-line mode (any argument selects it): runs the command of
// argv[1..argc-1] against `server` without GTK and returns its exit code.
int RunCommandLineMode(int argc, char** argv, const UpdateServerSettings& server);

}  // namespace quon
