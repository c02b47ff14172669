// QuonUpdate for Linux: without arguments the window; with them the
// command-line mode, which needs no display. The product directory is the
// executable's own.
#include "frontend/gtk/CommandLineMode_gtk.h"
#include "frontend/gtk/UpdateApp_gtk.h"

int main(int argc, char** argv) {
  const quon::UpdateServerSettings server = quon::UpdateServerSettings::FromBuildConfig();
  if (argc > 1) return quon::RunCommandLineMode(argc, argv, server);
  return quon::RunUpdateApp(server);
}
