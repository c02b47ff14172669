// Unpacks arbitrary bytes as a cabinet from memory into a scratch directory.
// Besides memory errors it checks the library's promise on failure: nothing
// of the archive is left behind.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Decab.h"

namespace {

std::string g_dir;

// Removes every entry of the scratch directory; returns how many there were.
int EmptyScratch() {
  DIR* d = ::opendir(g_dir.c_str());
  if (!d) std::abort();
  int n = 0;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    ::unlinkat(::dirfd(d), e->d_name, 0);
    ++n;
  }
  ::closedir(d);
  return n;
}

void RemoveScratch() {
  if (!g_dir.empty()) {
    EmptyScratch();
    ::rmdir(g_dir.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_cablib.XXXXXX";
  if (!::mkdtemp(&pattern[0])) std::abort();
  g_dir = pattern;
  std::atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cablib::DecabOptions options;
  options.maxTotalBytes = 4 << 20;  // keeps each run short; the bound itself is what is tested
  options.checkFreeSpace = false;
  const int ok = cablib::DecabMemory(data, size, g_dir.c_str(), options);
  const int left = EmptyScratch();
  if (!ok && left != 0) {
    std::fprintf(stderr, "failed unpack left %d file(s) behind\n", left);
    std::abort();
  }
  return 0;
}
