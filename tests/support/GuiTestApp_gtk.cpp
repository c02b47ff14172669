// The updater as the GUI tests and the start-up benchmark run it: the same
// program as QuonUpdate, with the update server taken from
// QUON_GUI_TEST_SERVER ("host:port[/path]") so that each run can start its
// own server on a free port. Arguments select the command-line mode, as in
// QuonUpdate.
#include <cstdlib>
#include <string>

#include "frontend/gtk/CommandLineMode_gtk.h"
#include "frontend/gtk/UpdateApp_gtk.h"

int main(int argc, char** argv) {
  quon::UpdateServerSettings server = quon::UpdateServerSettings::FromBuildConfig();
  if (const char* env = std::getenv("QUON_GUI_TEST_SERVER")) {
    std::string text = env;
    const size_t slash = text.find('/');
    if (slash != std::string::npos) {
      server.path = text.substr(slash);
      text.resize(slash);
    }
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
      server.host = text.substr(0, colon);
      server.port = static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1));
    }
  }
  if (argc > 1) return quon::RunCommandLineMode(argc, argv, server);
  return quon::RunUpdateApp(server);
}
