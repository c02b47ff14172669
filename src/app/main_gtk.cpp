// QuonUpdate for Linux: no command-line arguments; the product directory is
// the executable's own.
#include "app/UpdateApp_gtk.h"

int main() { return quon::RunUpdateApp(quon::UpdateServerSettings::FromBuildConfig()); }
