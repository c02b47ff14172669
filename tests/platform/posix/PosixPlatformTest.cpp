// The Linux platform layer: the running executable's path, the product
// version query on real executables, loading the CAB library, and the
// product directory's hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/PosixPlatform.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::string Sample(const char* name) { return std::string(QUON_PE_SAMPLES) + "/" + name + "/QUON.EXE"; }

std::string RunProbe(const fs::path& exe) {
  std::string out;
  FILE* p = ::popen(("'" + exe.string() + "'").c_str(), "r");
  if (p == nullptr) return out;
  char buf[1024];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

TEST(PosixPlatform, ModuleFileNameIsTheRunningExecutable) {
  auto platform = quon::MakePosixPlatform();
  EXPECT_EQ(platform->ModuleFileName(), fs::canonical(QUON_SELF_EXE).string());
  EXPECT_EQ(platform->PathSeparator(), '/');
}

TEST(PosixPlatform, ModuleFileNameLongerThanTheLimitIsRefused) {
  // The same program copied into a directory whose path is just short enough,
  // and into one just too long for the 499 characters.
  quon::test::TempDir tmp;
  const fs::path base = fs::canonical(tmp.Root());
  const std::string exeName = "probe";
  auto place = [&](std::size_t totalLength) {
    fs::path dir = base;
    // Nested directories of at most 200 characters each.
    std::size_t need = totalLength - base.string().size() - 1 - exeName.size() - 1;
    while (need > 0) {
      std::size_t part = std::min<std::size_t>(need, 200);
      if (need - part == 1) --part;  // leave room for the next separator
      dir /= std::string(part, 'd');
      need -= part;
      if (need > 0) --need;
    }
    fs::create_directories(dir);
    fs::path exe = dir / exeName;
    fs::copy_file(QUON_PROBE_EXE, exe, fs::copy_options::overwrite_existing);
    return exe;
  };
  const fs::path fits = place(499);
  ASSERT_EQ(fits.string().size(), 499u);
  EXPECT_EQ(RunProbe(fits), "[" + fits.string() + "]\n");
  const fs::path tooLong = place(500);
  ASSERT_EQ(tooLong.string().size(), 500u);
  EXPECT_EQ(RunProbe(tooLong), "[]\n");
}

TEST(PosixPlatform, ProductVersionQuery) {
  auto platform = quon::MakePosixPlatform();
  // "false:" and what is left in the text when there is no version
  // information; the text alone otherwise.
  auto query = [&](const std::string& path) {
    std::string v = "stale";
    return platform->QueryProductVersionString(path, v) ? v : "false:" + v;
  };
  EXPECT_EQ(query(Sample("v603")), "6, 0, 3, 121");
  // Version information without the string: true, empty text.
  EXPECT_EQ(query(Sample("nostring")), "");
  EXPECT_EQ(query(Sample("german")), "");
  // No version information, no file, an ELF file: false, empty text.
  EXPECT_EQ(query(Sample("nores")), "false:");
  EXPECT_EQ(query(Sample("missing")), "false:");
  EXPECT_EQ(query(QUON_SELF_EXE), "false:");
  // A pipe or a device in place of the file is no version information, and
  // is not read (reading a pipe nobody writes to would never end).
  quon::test::TempDir tmp;
  const std::string fifo = (tmp.Root() / "QUON.EXE").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(query(fifo), "false:");
  EXPECT_EQ(query("/dev/zero"), "false:");
}

TEST(PosixPlatform, LoadCabLibrary) {
  auto platform = quon::MakePosixPlatform();
  const std::string stubs = QUON_CABSTUB_DIR;
  quon::DoDecabFn fn = reinterpret_cast<quon::DoDecabFn>(reinterpret_cast<void (*)()>(&RunProbe));
  std::string error = "stale";

  // No library in the directory: the loader's own text.
  quon::test::TempDir empty;
  EXPECT_FALSE(platform->LoadCabLibrary(empty.Root().string() + "/", &fn, error));
  EXPECT_EQ(fn, nullptr);
  EXPECT_NE(error.find("libcablib.so"), std::string::npos) << error;

  // A file of that name that is no library.
  std::ofstream(empty.Root() / "libcablib.so") << "not a library";
  error.clear();
  EXPECT_FALSE(platform->LoadCabLibrary(empty.Root().string() + "/", &fn, error));
  EXPECT_FALSE(error.empty());

  // The library with the export, with or without the trailing slash.
  for (const std::string& dir : {stubs + "/with/", stubs + "/with"}) {
    SCOPED_TRACE(dir);
    error = "stale";
    ASSERT_TRUE(platform->LoadCabLibrary(dir, &fn, error));
    EXPECT_EQ(error, "");
    ASSERT_NE(fn, nullptr);
  }
  quon::test::TempDir out;
  EXPECT_EQ(fn("/some/update7.0000", out.Root().c_str()), 1);
  std::ifstream marker(out.Root() / "decab.txt");
  std::stringstream got;
  got << marker.rdbuf();
  EXPECT_EQ(got.str(), "/some/update7.0000");
  EXPECT_EQ(fn("/some/bad.0000", out.Root().c_str()), 0);

  // A library without the export: loaded, but no function.
  fn = reinterpret_cast<quon::DoDecabFn>(reinterpret_cast<void (*)()>(&RunProbe));
  EXPECT_TRUE(platform->LoadCabLibrary(stubs + "/without/", &fn, error));
  EXPECT_EQ(fn, nullptr);
}

// Anyone who may read the product directory can lock it; a lock held for
// ever only costs the start-up clean-up and the wait, never the run.
TEST(PosixPlatform, ProductDirectoryHeldByAnotherProgramIsWaitedForABoundedTime) {
  quon::test::TempDir dir;
  const int other = ::open(dir.Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  auto platform = quon::MakePosixPlatform();
  platform->SetRunLockWait(std::chrono::milliseconds(300));
  bool alone = false;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform->HoldProductDirectory(dir.Dir(), [&] { alone = true; }), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "waited without bound";
  EXPECT_FALSE(alone);
  ::close(other);
  EXPECT_NE(platform->HoldProductDirectory(dir.Dir(), [&] { alone = true; }), nullptr);
  EXPECT_TRUE(alone);
}

}  // namespace
