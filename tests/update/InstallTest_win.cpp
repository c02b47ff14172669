// Installing files on Windows: a target that another program holds open for
// a moment.
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

}  // namespace
}  // namespace quon
