// Installing files on Windows: a target that another program holds open for
// a moment.
#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "support/Fakes.h"
#include "update/FileOps.h"

namespace quon {
namespace {

using test::TempDir;

TEST(WinInstall, RenameWaitsForATargetHeldOpenForAMoment) {
  TempDir dir;
  dir.Write("new.dll", "new");
  dir.Write("held.dll", "old");
  HANDLE held = CreateFileA(dir.Path("held.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  // Not waiting, the held file fails at once and nothing is left beside it.
  EXPECT_FALSE(ReplaceFileFromCopy(dir.Path("new.dll"), dir.Path("held.dll"), false));
  EXPECT_FALSE(dir.Exists("held.dll.quonupd"));

  // The holder lets go a moment after the new file appeared beside the
  // target, when the first rename has failed.
  std::thread holder([&] {
    while (!dir.Exists("held.dll.quonupd")) Sleep(5);
    Sleep(300);
    CloseHandle(held);
  });
  EXPECT_TRUE(ReplaceFileFromCopy(dir.Path("new.dll"), dir.Path("held.dll")));
  holder.join();
  EXPECT_EQ(dir.Read("held.dll"), "new");
  EXPECT_FALSE(dir.Exists("held.dll.quonupd"));
}

}  // namespace
}  // namespace quon
