// Windows: the archives were made on the host before the suite started
// (the signed_archives fixture); the test learns where from the environment.
#include <cstdlib>

#include "SignatureTestSupport.h"
#include "platform/win/WinPlatform.h"

namespace sigtest {

std::string ArchiveDir(std::string* why) {
  const char* dir = std::getenv("SIGTEST_ARCHIVE_DIR");
  if (dir == nullptr || *dir == '\0') {
    *why = "SIGTEST_ARCHIVE_DIR is not set (the signed_archives fixture makes the archives)";
    return {};
  }
  return dir;
}

std::unique_ptr<quon::Platform> SystemPlatform() { return quon::MakeWinPlatform(); }
const char kCabLibraryName[] = "CABLIB.DLL";

}  // namespace sigtest
