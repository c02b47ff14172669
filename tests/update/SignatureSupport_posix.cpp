// Linux: the archives are made on first use by the shared script.
#include <cstdlib>
#include <filesystem>

#include "SignatureTestSupport.h"
#include "platform/posix/PosixPlatform.h"

namespace sigtest {

std::string ArchiveDir(std::string* why) {
  static const int status = [] {
    const std::string dir = SIGTEST_ARCHIVE_DIR;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(dir).parent_path(), ec);
    const std::string cmd = std::string("sh '") + SIGTEST_MAKE_ARCHIVES + "' '" + dir + "' '" + SIGTEST_QUON_PACK +
                            "' > '" + dir + ".log' 2>&1";
    return std::system(cmd.c_str());
  }();
  if (status != 0) {
    *why = std::string("make_signed_archives.sh failed, see ") + SIGTEST_ARCHIVE_DIR + ".log";
    return {};
  }
  return SIGTEST_ARCHIVE_DIR;
}

std::unique_ptr<quon::Platform> SystemPlatform() { return quon::MakePosixPlatform(); }
const char kCabLibraryName[] = "libcablib.so";

}  // namespace sigtest
