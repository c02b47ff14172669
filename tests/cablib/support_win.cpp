// Windows side of the test helpers: CABLIB.DLL is loaded the way the updater
// loads it (LoadLibrary, GetProcAddress of the undecorated do_decab), and the
// producer archives come from the host-side fixture, named by the environment.
#include <windows.h>

#include <cstdlib>
#include <stdexcept>

#include "TestSupport.h"

namespace cabtest {
namespace {

using DoDecab = int(__cdecl*)(const char*, const char*);

// Host paths of the build tree are reachable through Wine's drive Z:.
std::string HostPath(std::string p) {
  if (!p.empty() && p[0] == '/') p = "Z:" + p;
  return p;
}

DoDecab Function() {
  static const DoDecab fn = [] {
    HMODULE lib = ::LoadLibraryA(HostPath(CABTEST_DLL_PATH).c_str());
    return lib ? reinterpret_cast<DoDecab>(reinterpret_cast<void*>(::GetProcAddress(lib, "do_decab"))) : nullptr;
  }();
  return fn;
}

}  // namespace

int CallDecab(const char* archive, const char* dir) {
  DoDecab fn = Function();
  if (!fn) throw std::runtime_error("CABLIB.DLL or its do_decab export could not be loaded");
  return fn(archive, dir);
}

std::vector<std::string> DirSeparators() { return {"/", "\\"}; }

fs::path ProducerArchives(std::string* why) {
  const char* dir = std::getenv("CABTEST_ARCHIVE_DIR");
  if (!dir || !*dir) {
    *why = "CABTEST_ARCHIVE_DIR is not set (the cablib_archives fixture provides it)";
    return {};
  }
  const fs::path p = HostPath(dir);
  if (!fs::exists(p / "ready")) {
    *why = "producer archives missing in " + p.string();
    return {};
  }
  return p;
}

}  // namespace cabtest
