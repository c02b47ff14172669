// Windows: list entries name files in the system's own code page.
#include "update/Installer.h"

#include "base/CText.h"

namespace quon {

std::string EntryNameOnDisk(std::string_view component) { return std::string(component); }

// The system finds names without regard to letter case.
std::string NameKey(std::string_view path) { return AsciiUpper(path); }

}  // namespace quon
