// Shared by the signature tests of both platforms: the directory of the
// certificates and archives that make_signed_archives.sh builds on the host,
// and small file helpers.
#pragma once
#include <memory>
#include <string>

#include "update/Platform.h"

namespace sigtest {

// Empty, with the reason in `why`, when the archives are not there.
std::string ArchiveDir(std::string* why);

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

// The system's platform, and the file name it loads the CAB library from.
std::unique_ptr<quon::Platform> SystemPlatform();
extern const char kCabLibraryName[];

}  // namespace sigtest
