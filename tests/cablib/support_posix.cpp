// Linux side of the test helpers: the library is linked directly, and the
// producer archives are made on first use by the shared script.
#include <cstdlib>

#include "TestSupport.h"
#include "cablib.h"

namespace cabtest {

int CallDecab(const char* archive, const char* dir) { return do_decab(archive, dir); }

std::vector<std::string> DirSeparators() { return {"/"}; }

fs::path ProducerArchives(std::string* why) {
  static const int status = [] {
    const std::string dir = CABTEST_ARCHIVE_DIR;
    const std::string cmd = std::string("sh '") + CABTEST_MAKE_ARCHIVES + "' '" + dir + "' > '" + dir +
                            ".log' 2>&1";
    std::error_code ec;
    fs::create_directories(fs::path(dir).parent_path(), ec);
    return std::system(cmd.c_str());
  }();
  if (status != 0) {
    *why = std::string("make_archives.sh failed, see ") + CABTEST_ARCHIVE_DIR + ".log";
    return {};
  }
  return CABTEST_ARCHIVE_DIR;
}

}  // namespace cabtest
