// The application object: enables control hosting and the common
// controls, runs the main window modally and ends the program with it.
#pragma once
#include "frontend/win/Dialog_win.h"

#include <functional>

#include "app/UpdateDlg.h"

namespace quon::win {

class WinMainWindow;

class UpdateApp {
 public:
  // The start-up: everything the program does. Returns the exit code. The
  // program talks to the server of the build's configuration; only a test
  // build passes another one, and a hook that sees the main window first.
  int InitInstance(const UpdateServerSettings& server = UpdateServerSettings::FromBuildConfig(),
                   const std::function<void(WinMainWindow&)>& onMainWindow = nullptr);
};

}  // namespace quon::win
