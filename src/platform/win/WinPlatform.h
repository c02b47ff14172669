// The Windows implementation of Platform: GetModuleFileNameA for the running
// executable, the version API for version resources, LoadLibraryExA for
// CABLIB.DLL.
#pragma once
#include <memory>
#include <string>

#include "update/Platform.h"

namespace quon {

std::unique_ptr<Platform> MakeWinPlatform();

// The directory part of a path up to and including its last backslash,
// scanning by characters of the system's multibyte code page, so that a
// trail byte of a double-byte character is never taken for a backslash.
// Empty when the path has no backslash. `codePage` 0 is the system's ANSI
// code page.
std::string DirectoryOfPathMbcs(const std::string& path, unsigned codePage = 0);

// The name of the mutex that copies of the updater running on the same
// product directory share: the same for any casing of the path and with or
// without a trailing separator.
std::string ProductDirectoryMutexName(const std::string& productDir);

}  // namespace quon
