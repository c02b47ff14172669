// The installation file that the product's installer leaves in the product
// directory: the installation identity and the installed module numbers
// (see docs/installation-file.md).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "update/UpdateTable.h"

namespace quon {

extern const char kInstallationFileName[];  // "Quon.Installation"

struct InstallationInfo {
  InstallationIdentity identity;
  std::vector<int32_t> modules;
};

// Reads the file's text. Unknown keys and malformed lines or values are
// ignored; what they would have set keeps its default.
InstallationInfo ParseInstallationText(std::string_view text);
// Reads the file; a missing or unreadable file gives identity 0, "", ""
// and no modules.
InstallationInfo ReadInstallationFile(const std::string& path);

}  // namespace quon
