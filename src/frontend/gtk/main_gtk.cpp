// QuonUpdate for Linux: no command-line arguments; the product directory is
// the executable's own.
#include "frontend/gtk/UpdateApp_gtk.h"

int main() { return quon::RunUpdateApp(quon::UpdateServerSettings::FromBuildConfig()); }
