// Installing files on Windows: a target that another program holds open for
// a moment, and a downloaded archive held from its check to its unpacking.
#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "support/Fakes.h"
#include "update/UpdateListFile.h"

namespace quon {
namespace {

using test::TempDir;

TEST(WinInstall, RenameWaitsForATargetHeldOpenForAMoment) {
  TempDir dir;
  dir.Write("unpack/held.dll", "new");
  dir.Write("product/held.dll", "old");
  HANDLE held = CreateFileA(dir.Path("product/held.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  // The holder lets go a moment after the new file appeared beside the
  // target, when the first rename has failed.
  std::thread holder([&] {
    while (!dir.Exists("product/held.dll.quonupd")) Sleep(5);
    Sleep(300);
    CloseHandle(held);
  });
  UpdateListFile list;
  list.ParseText("[MAIN]\nheld.dll\n");
  test::FakePrompts prompts;
  std::vector<std::string> failed;
  EXPECT_TRUE(list.InstallFiles(SystemFileSystem(), {}, dir.Path("product"), dir.Path("unpack"), failed, prompts));
  holder.join();
  EXPECT_EQ(dir.Read("product/held.dll"), "new");
  EXPECT_FALSE(dir.Exists("product/held.dll.quonupd"));
}

// While the archive is held for reading, nobody can write, rename or delete
// it; the CAB library can still open it by name for reading.
TEST(WinInstall, AHeldArchiveCanBeReadButNotChangedRenamedOrDeleted) {
  TempDir dir;
  dir.Write("update7.0000", "checked bytes");
  std::unique_ptr<FsDir> root;
  std::unique_ptr<FsFile> held;
  ASSERT_EQ(SystemFileSystem().OpenRoot(dir.Dir(), root), FsError::None);
  ASSERT_EQ(SystemFileSystem().OpenFile(*root, "update7.0000", FsAccess::Read, held), FsError::None);
  const std::string path = SystemFileSystem().NameOfOpen(*held);
  EXPECT_EQ(path, dir.Path("update7.0000"));
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(MoveFileA(path.c_str(), dir.Path("moved").c_str()));
  EXPECT_FALSE(DeleteFileA(path.c_str()));
  HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  held.reset();
  EXPECT_TRUE(DeleteFileA(path.c_str()));
}

}  // namespace
}  // namespace quon
