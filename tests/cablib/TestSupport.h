// Shared helpers of the CAB library tests (Linux and, under Wine, Windows).
#ifndef TESTS_CABLIB_TESTSUPPORT_H
#define TESTS_CABLIB_TESTSUPPORT_H

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace cabtest {

namespace fs = std::filesystem;

// do_decab of the library under test (linked on Linux, CABLIB.DLL on Windows).
int CallDecab(const char* archive, const char* dir);

// Directory holding the archives of tests/cablib/make_archives.sh, made on
// first use (Linux) or by the test fixture (Windows). Empty with *why set
// when they cannot be had.
fs::path ProducerArchives(std::string* why);

// The directory separators of the platform ("/" on Linux, "/" and "\\" on Windows).
std::vector<std::string> DirSeparators();

std::string ReadFile(const fs::path& p);
void WriteFile(const fs::path& p, const std::string& bytes);

// A scratch directory `root` holding the target directory `out`; removed
// again when the test ends.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  fs::path WriteArchive(const std::string& bytes, const std::string& name = "test.cab") const;
  int Unpack(const fs::path& archive) const { return CallDecab(archive.string().c_str(), out.string().c_str()); }
  int Unpack(const std::string& bytes) const { return Unpack(WriteArchive(bytes)); }
  // Sorted entry names of a directory (non-recursive).
  static std::vector<std::string> Names(const fs::path& dir);
  std::string Out(const std::string& utf8Name) const { return ReadFile(out / fs::u8path(utf8Name)); }

  quon::test::TempDir dir;
  fs::path root = dir.Root();
  fs::path out;
};

}  // namespace cabtest

#endif
