// Installing files on Linux: Windows names and letter case, links on the
// way, what a replaced file keeps, a directory that takes no new file, and
// memory bounds for big inputs.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "support/Fakes.h"
#include "update/FileOps.h"
#include "update/FileSystem.h"
#include "update/UpdateFiles.h"
#include "update/UpdateListFile.h"

namespace quon {
namespace {

using test::FakePrompts;
using test::TempDir;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// Runs `body` in a child process and tells whether it returned true. As
// root the child can run as an unprivileged user, for whom permissions
// hold; `headroom` limits its address space to what it uses now plus that
// many bytes.
bool InChild(const std::function<bool()>& body, bool unprivileged, size_t headroom = 0) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    bool ok = true;
    if (headroom > 0) {
      size_t pages = 0;
      std::ifstream("/proc/self/statm") >> pages;
      const rlim_t limit = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + headroom;
      const rlimit bound{limit, limit};
      ok = ::setrlimit(RLIMIT_AS, &bound) == 0;
    }
    if (unprivileged && ::geteuid() == 0) ok = ok && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
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
  InstallNames names("/", "/", '/');
  const struct {
    const char* entry;
    const char* disk;
  } cases[] = {
      {"plain.dll", "plain.dll"},
      {"caf\xE9.dll", "caf\xC3\xA9.dll"},
      {"\x80\x9F\xFF", "\xE2\x82\xAC\xC5\xB8\xC3\xBF"},
      {"\x81\x8D", "\xC2\x81\xC2\x8D"},  // undefined in the code page: kept as their code points
  };
  for (const auto& c : cases) EXPECT_EQ(names.OnDisk(c.entry), c.disk) << c.entry;

  TempDir dir;
  dir.Write("unpack/caf\xC3\xA9.dll", "cafe");
  dir.Write("product/R\xC3\xA9sultats/keep", "");
  UpdateListFile list;
  list.ParseText("[MAIN]\nr\xE9SULTATS\\caf\xE9.dll\n");
  FakePrompts prompts;
  std::vector<std::string> failed;
  EXPECT_TRUE(list.InstallFiles({}, dir.Path("product"), dir.Path("unpack"), failed, prompts, '/'));
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
  list.InstallFiles({}, dir.Path("product"), dir.Path("unpack"), failed, prompts, '/');
  EXPECT_EQ(failed, (std::vector<std::string>{"Lib/x.dll", "lib/x.dll"}));
  EXPECT_TRUE(fs::is_empty(outside.Dir()));
  EXPECT_EQ(dir.Read("product/real/x.dll"), "x");
}

TEST(PosixInstall, ReplacedFileKeepsItsModeAndOwner) {
  TempDir dir;
  dir.Write("new.dll", "new");
  dir.Write("x.dll", "old");
  fs::permissions(dir.Path("x.dll"), fs::perms(0750));
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(dir.Path("x.dll").c_str(), kNobody, kNobody), 0);
  }
  ASSERT_TRUE(ReplaceFileFromCopy(dir.Path("new.dll"), dir.Path("x.dll")));
  EXPECT_EQ(dir.Read("x.dll"), "new");
  const struct stat st = StatOf(dir.Path("x.dll"));
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  if (root) {
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNobody);
  }
}

TEST(PosixInstall, DirectoryRefusingNewFilesGetsWritableTargetsRewrittenInPlace) {
  TempDir dir;
  const std::string old8(8, '\x01'), new8("\x08\x00\x02\x00\x00\x00\x0B\x00", 8);
  dir.Write("unpack/x.dll", "new bytes");
  dir.Write("product/x.dll", "old bytes, longer than the new ones");
  dir.Write("product/ro.dll", "old");
  dir.Write("product/Quon.Version", old8 + "tail");
  for (const char* name : {"product/x.dll", "product/Quon.Version"}) fs::permissions(dir.Path(name), fs::perms(0666));
  fs::permissions(dir.Path("product/ro.dll"), fs::perms(0444));
  fs::permissions(dir.Path("product"), fs::perms(0555));
  const bool asExpected = InChild(
      [&] {
        const uint16_t words[4] = {8, 2, 0, 11};
        return ReplaceFileFromCopy(dir.Path("unpack/x.dll"), dir.Path("product/x.dll")) &&
               WriteVersionFile(dir.Path("product/Quon.Version"), words) &&
               !ReplaceFileFromCopy(dir.Path("unpack/x.dll"), dir.Path("product/ro.dll")) &&
               !ReplaceFileFromCopy(dir.Path("unpack/x.dll"), dir.Path("product/new.dll"));
      },
      true);
  fs::permissions(dir.Path("product"), fs::perms(0755));
  EXPECT_TRUE(asExpected);
  EXPECT_EQ(dir.Read("product/x.dll"), "new bytes");
  EXPECT_EQ(dir.Read("product/Quon.Version"), new8 + "tail");
  EXPECT_EQ(dir.Read("product/ro.dll"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path("product")), {}), 3);
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
      false, kHeadroom));
  EXPECT_TRUE(InChild(
      [&] {
        const uint16_t words[4] = {8, 2, 0, 11};
        return WriteVersionFile(version, words);
      },
      false, kHeadroom));
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
