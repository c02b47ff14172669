// Entry point of QuonUpdate.exe: without arguments the window; with them
// the command-line mode.
#include "frontend/win/CommandLineMode_win.h"
#include "frontend/win/UpdateApp_win.h"

namespace {
quon::win::UpdateApp theApp;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (quon::win::HasCommandLineArguments()) {
    return quon::win::RunCommandLineMode(quon::UpdateServerSettings::FromBuildConfig());
  }
  return theApp.InitInstance();
}
