// The application object of the Linux desktop program.
#pragma once
#include "app/UpdateDlg.h"

namespace quon {

// Starts GTK, builds the composition root (libcurl transport, Linux
// platform, X11 window system, GTK views, UpdateDlg), runs the main window
// until it closes and returns the program's exit code. `server` is the
// build's update server; the GUI tests pass a local one.
int RunUpdateApp(const UpdateServerSettings& server);

}  // namespace quon
