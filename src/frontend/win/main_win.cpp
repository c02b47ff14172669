// Entry point of QuonUpdate.exe. The program takes no command-line
// arguments.
#include "frontend/win/UpdateApp_win.h"

namespace {
quon::win::UpdateApp theApp;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return theApp.InitInstance(); }
