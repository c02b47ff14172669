// Windows: list entries name files in the system's own code page.
#include "update/Installer.h"

namespace quon {

std::string EntryNameOnDisk(std::string_view component) { return std::string(component); }

}  // namespace quon
