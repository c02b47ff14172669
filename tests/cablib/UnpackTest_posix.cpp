// Linux-only hazards: links and special files planted in or as the target.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "CabWriter.h"
#include "Checks.h"
#include "TestSupport.h"

namespace cabtest {
namespace {

CabSpec TwoFiles() {
  return OneFolder({File("Update.List", "list"), File("x.dll", Filler(50000, 5))}, Method::Mszip);
}

TEST(CabLinks, PlantedSymlinkIsReplacedNotFollowed) {
  Sandbox box;
  WriteFile(box.root / "victim.txt", "must stay");
  fs::create_symlink("../victim.txt", box.out / "x.dll");
  fs::create_symlink("../created-outside.txt", box.out / "Update.List");  // dangling
  ASSERT_NE(box.Unpack(BuildCab(TwoFiles())), 0);
  EXPECT_EQ(ReadFile(box.root / "victim.txt"), "must stay");
  EXPECT_FALSE(fs::exists(box.root / "created-outside.txt"));
  EXPECT_FALSE(fs::is_symlink(box.out / "x.dll"));
  EXPECT_EQ(box.Out("x.dll"), Filler(50000, 5));
  EXPECT_EQ(box.Out("Update.List"), "list");
}

TEST(CabLinks, PlantedSymlinkSurvivesARefusedArchive) {
  Sandbox box;
  fs::create_symlink("../victim.txt", box.out / "Update.List");
  CabSpec plan = TwoFiles();
  plan.folders[0].files.push_back(File("..", "x"));
  EXPECT_EQ(box.Unpack(BuildCab(plan)), 0);
  EXPECT_TRUE(fs::is_symlink(box.out / "Update.List"));
  EXPECT_EQ(Sandbox::Names(box.out), std::vector<std::string>{"Update.List"});
  EXPECT_FALSE(fs::exists(box.root / "victim.txt"));
}

TEST(CabLinks, FifoAsArchiveOrTargetFailsWithoutBlocking) {
  Sandbox box;
  const fs::path fifo = box.root / "pipe.cab";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(box.Unpack(fifo), 0);
  ASSERT_EQ(::mkfifo((box.out / "x.dll").c_str(), 0600), 0);
  ASSERT_NE(box.Unpack(BuildCab(TwoFiles())), 0);  // the FIFO entry is replaced, never opened
  EXPECT_EQ(box.Out("x.dll"), Filler(50000, 5));
}

// A write that fails (a file-size limit stands in for a full disk) fails
// the unpacking and is told through errno, after everything was removed.
TEST(CabLibrary, AFailedWriteIsToldThroughErrno) {
  Sandbox box;
  const fs::path archive = box.WriteArchive(BuildCab(TwoFiles()));
  const pid_t child = ::fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    errno = 0;
    const int unpacked = box.Unpack(archive);
    ::_exit(unpacked == 0 && errno == EFBIG && Sandbox::Names(box.out).empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The test writer's archives are real cabinets: cabextract, an independent
// unpacker, reads the same bytes from them as do_decab.
TEST(CabLibrary, AgreesWithCabextractOnWriterArchives) {
  CabSpec plan;
  plan.folders = {{Method::Stored, {File("s.bin", Filler(40000, 31)), File("e", "")}},
                  {Method::Mszip, {File("m.bin", Filler(70000, 32))}},
                  {Method::LzxVerbatim, {File("v.bin", Filler(70001, 33))}},
                  {Method::Lzx, {File("l.bin", Filler(33333, 34))}}};
  Sandbox box;
  const fs::path cab = box.WriteArchive(BuildCab(plan));
  ASSERT_NE(box.Unpack(cab), 0);
  const fs::path other = box.root / "cabextract";
  fs::create_directory(other);
  const std::string cmd = "cabextract -q -d '" + other.string() + "' '" + cab.string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  ASSERT_EQ(Sandbox::Names(other), Sandbox::Names(box.out));
  for (const std::string& name : Sandbox::Names(other)) {
    EXPECT_EQ(ReadFile(other / name), box.Out(name)) << name;
  }
}

TEST(CabLibrary, ExportsOnlyDoDecab) {
  void* lib = ::dlopen(CABTEST_SO_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  EXPECT_NE(::dlsym(lib, "do_decab"), nullptr);
  EXPECT_EQ(::dlsym(lib, "_ZN6cablib9DecabFileEPKcS1_RKNS_12DecabOptionsE"), nullptr);
  EXPECT_EQ(::dlsym(lib, "_ZN6cablib14IsSafeFileNameESt17basic_string_viewIcSt11char_traitsIcEE"), nullptr);
  ::dlclose(lib);
}

}  // namespace
}  // namespace cabtest
