// Finding the installed product: its directory, its version from the
// version resource of QUON.EXE and, for some versions, from Quon.Version.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "update/Platform.h"

namespace quon {

struct ProductVersion {
  int32_t a = 0, b = 0, c = 0, d = 0;
};

// Parses a ProductVersion text: commas become dots, blanks go, then the
// four numbers are read between the first three dots; when the third is 0
// it takes the fourth's value and the fourth becomes 0.
ProductVersion ParseProductVersionText(std::string text);

// Reads the version resource's ProductVersion of `path` through the platform
// and parses it. False when the file is missing or has no readable version
// information; a missing ProductVersion string gives all zeros.
bool ReadProductVersion(Platform& platform, const std::string& path, std::string& versionText,
                        ProductVersion& version);

// Reads the first 8 bytes of a version file. Returns the build number (the
// 16-bit little-endian word at bytes 4-5), or 0 when the file is missing,
// unreadable or shorter than 8 bytes. fullRead is set when 8 bytes arrived.
uint16_t ReadVersionFileBuild(const std::string& path, bool& fullRead);

// "%i.%i.%i.%i" of a, b, d, c: the build number stands third.
std::string FormatInstalledVersion(const ProductVersion& version);

}  // namespace quon
