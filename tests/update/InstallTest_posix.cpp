// Installing files on Linux: Windows names and letter case, links on the
// way, what a replaced file keeps, and memory bounds for big inputs.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "support/Fakes.h"
#include "update/Installer.h"
#include "update/RunFiles.h"
#include "update/UpdateListFile.h"

namespace quon {
namespace {

using test::FakePrompts;
using test::TempDir;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// Runs `body` in a child process whose address space is limited to what it
// uses now plus `headroom` bytes, and tells whether it returned true.
bool InChild(const std::function<bool()>& body, size_t headroom) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    bool ok = true;
    size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + headroom;
    const rlimit bound{limit, limit};
    ok = ::setrlimit(RLIMIT_AS, &bound) == 0;
    try {
      ok = ok && body();
    } catch (...) {
      ok = false;
    }
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

TEST(PosixInstall, Windows1252NamesAreMappedToUtf8) {
  const struct {
    const char* entry;
    const char* disk;
  } cases[] = {
      {"plain.dll", "plain.dll"},
      {"caf\xE9.dll", "caf\xC3\xA9.dll"},
      {"\x80\x9F\xFF", "\xE2\x82\xAC\xC5\xB8\xC3\xBF"},
      {"\x81\x8D", "\xC2\x81\xC2\x8D"},  // undefined in the code page: kept as their code points
  };
  for (const auto& c : cases) EXPECT_EQ(EntryNameOnDisk(c.entry), c.disk) << c.entry;

  TempDir dir;
  dir.Write("unpack/caf\xC3\xA9.dll", "cafe");
  dir.Write("product/R\xC3\xA9sultats/keep", "");
  UpdateListFile list;
  list.ParseText("[MAIN]\nr\xE9SULTATS\\caf\xE9.dll\n");
  FakePrompts prompts;
  std::vector<std::string> failed;
  EXPECT_TRUE(list.InstallFiles(SystemFileSystem(), {}, dir.Path("product"), dir.Path("unpack"), failed, prompts));
  EXPECT_EQ(dir.Read("product/R\xC3\xA9sultats/caf\xC3\xA9.dll"), "cafe");
}

TEST(PosixInstall, LinksOnAnEntrysPathMustStayInTheProductDirectory) {
  TempDir dir, outside;
  dir.Write("unpack/x.dll", "x");
  dir.Write("product/real/keep", "");
  fs::create_directory_symlink(outside.Dir(), dir.Path("product/Lib"));
  fs::create_directory_symlink(dir.Path("product/real"), dir.Path("product/Data"));
  UpdateListFile list;
  list.ParseText("[MAIN]\nLib/x.dll\nlib/x.dll\ndata/x.dll\n");
  FakePrompts prompts;
  std::vector<std::string> failed;
  list.InstallFiles(SystemFileSystem(), {}, dir.Path("product"), dir.Path("unpack"), failed, prompts);
  EXPECT_EQ(failed, (std::vector<std::string>{"Lib/x.dll", "lib/x.dll", "data/x.dll"}));
  EXPECT_EQ(prompts.Texts(), (std::vector<std::string>{"Failed to update file:\r\nLib/x.dll",
                                                       "Failed to update file:\r\nlib/x.dll"}));
  EXPECT_TRUE(fs::is_empty(outside.Dir()));
  list.ParseText("[MAIN]\ndata/x.dll\n");
  EXPECT_TRUE(list.InstallFiles(SystemFileSystem(), {}, dir.Path("product"), dir.Path("unpack"), failed, prompts));
  EXPECT_EQ(dir.Read("product/real/x.dll"), "x");
}

TEST(PosixInstall, ReplacedFileKeepsItsModeAndOwner) {
  TempDir dir;
  dir.Write("unpack/x.dll", "new");
  dir.Write("product/x.dll", "old");
  fs::permissions(dir.Path("product/x.dll"), fs::perms(0750));
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(dir.Path("product/x.dll").c_str(), kNobody, kNobody), 0);
  }
  UpdateListFile list;
  list.ParseText("[MAIN]\nx.dll\n");
  FakePrompts prompts;
  std::vector<std::string> failed;
  ASSERT_TRUE(list.InstallFiles(SystemFileSystem(), {}, dir.Path("product"), dir.Path("unpack"), failed, prompts));
  EXPECT_EQ(dir.Read("product/x.dll"), "new");
  const struct stat st = StatOf(dir.Path("product/x.dll"));
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  if (root) {
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNobody);
  }
}

TEST(PosixInstall, BigListAndVersionFilesAreReadInBoundedMemory) {
  constexpr size_t kBig = size_t(64) << 20, kHeadroom = size_t(16) << 20;
  TempDir dir;
  const std::string list = dir.Path("Update.List"), version = dir.Path("Quon.Version");
  dir.Write("Update.List", "[MAIN]\nx.dll\n");
  fs::resize_file(list, kBig);  // sparse: made at once
  dir.Write("Quon.Version", std::string(8, '\x01'));
  fs::resize_file(version, kBig);
  std::ofstream(version, std::ios::in | std::ios::out | std::ios::binary).seekp(kBig - 4) << "TAIL";

  EXPECT_TRUE(InChild(
      [&] {
        FakePrompts prompts;
        UpdateListFile file;
        return !file.ReadListFile(list, prompts);
      },
      kHeadroom));
  EXPECT_TRUE(InChild(
      [&] {
        const uint16_t words[4] = {8, 2, 0, 11};
        return WriteVersionFile(SystemFileSystem(), version, words);
      },
      kHeadroom));
  EXPECT_EQ(fs::file_size(version), kBig);
  std::ifstream in(version, std::ios::binary);
  std::string head(8, '\0'), tail(4, '\0');
  in.read(head.data(), 8);
  in.seekg(kBig - 4);
  in.read(tail.data(), 4);
  EXPECT_EQ(head, std::string("\x08\x00\x02\x00\x00\x00\x0B\x00", 8));
  EXPECT_EQ(tail, "TAIL");
}

}  // namespace
}  // namespace quon
