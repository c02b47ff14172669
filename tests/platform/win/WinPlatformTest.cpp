// The Windows platform layer: the executable's directory in a multibyte
// code page, version resources through the version API, and the failure to
// load CABLIB.DLL (this test runs from a directory without it).
#include "support/WinTestSupport.h"  // windows.h first

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/win/WinPlatform.h"

using namespace quon;
using namespace quon::wintest;

namespace {

TEST(WinPlatform, DirectoryScansByCharactersOfTheCodePage) {
  // In code page 932, 0x95 0x5C is one character whose trail byte is a
  // backslash.
  const std::string path = "C:\\Quon\\\x95\x5CQuonUpdate.exe";
  EXPECT_EQ(DirectoryOfPathMbcs(path, 932), "C:\\Quon\\");
  EXPECT_EQ(DirectoryOfPathMbcs(path, 1252), "C:\\Quon\\\x95\\");
  EXPECT_EQ(DirectoryOfPathMbcs("C:\\Quon\\QuonUpdate.exe", 932), "C:\\Quon\\");
  EXPECT_EQ(DirectoryOfPathMbcs("QuonUpdate.exe", 932), "");
  // A lead byte at the very end stands alone.
  EXPECT_EQ(DirectoryOfPathMbcs("C:\\Q\\\x95", 932), "C:\\Q\\");

  auto platform = MakeWinPlatform();
  std::string self = platform->ModuleFileName();
  EXPECT_EQ(platform->DirectoryOfPath(self), ExeDir());
  EXPECT_LT(self.size(), 500u);
  EXPECT_EQ(platform->PathSeparator(), '\\');
}

TEST(WinPlatform, ProductVersionStringFromTheVersionResource) {
  auto platform = MakeWinPlatform();
  std::string version = "stale";
  ASSERT_TRUE(platform->QueryProductVersionString(ExeDir() + "..\\sample\\QUON.EXE", version));
  EXPECT_EQ(version, "6, 0, 3, 0");
  // Without the string under 040904b0: found, empty.
  ASSERT_TRUE(platform->QueryProductVersionString(ExeDir() + "..\\sample-nostring\\QUON.EXE", version));
  EXPECT_EQ(version, "");
  // Missing file, and a file without version information.
  EXPECT_FALSE(platform->QueryProductVersionString(ExeDir() + "missing\\QUON.EXE", version));
  std::string dir = MakeTempDir("quon-ver-");
  HANDLE f = CreateFileA((dir + "QUON.EXE").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(f, "MZ not really", 13, &written, nullptr);
  CloseHandle(f);
  EXPECT_FALSE(platform->QueryProductVersionString(dir + "QUON.EXE", version));
  RemoveTree(dir);
}

TEST(WinPlatform, MissingCabLibraryGivesTheSystemText) {
  ASSERT_EQ(GetFileAttributesA((ExeDir() + "CABLIB.DLL").c_str()), INVALID_FILE_ATTRIBUTES);
  auto platform = MakeWinPlatform();
  DoDecabFn fn = reinterpret_cast<DoDecabFn>(1);
  std::string error;
  EXPECT_FALSE(platform->LoadCabLibrary(ExeDir(), &fn, error));
  EXPECT_EQ(fn, nullptr);
  // The system's own text for the error, as FormatMessage gives it.
  char expected[1024] = {0};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_MOD_NOT_FOUND,
                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), expected, sizeof expected, nullptr);
  EXPECT_EQ(error, expected);
  EXPECT_FALSE(error.empty());
}

TEST(WinPlatform, ProductDirectoryHoldTellsWhetherAnotherCopyRuns) {
  EXPECT_EQ(ProductDirectoryMutexName("C:\\Quon 6\\"), ProductDirectoryMutexName("c:/quon 6"));
  EXPECT_NE(ProductDirectoryMutexName("C:\\Quon 6\\"), ProductDirectoryMutexName("C:\\Quon 7\\"));
  EXPECT_EQ(ProductDirectoryMutexName("C:\\Quon 6\\").find('\\', 7), std::string::npos);

  auto platform = MakeWinPlatform();
  const std::string dir = MakeTempDir("quon-hold-");
  int alone = 0;
  auto first = platform->HoldProductDirectory(dir, [&] { ++alone; });
  ASSERT_TRUE(first);
  EXPECT_EQ(alone, 1);
  auto second = platform->HoldProductDirectory(dir, [&] { ++alone; });
  EXPECT_TRUE(second);
  EXPECT_EQ(alone, 1);
  first.reset();
  second.reset();
  EXPECT_TRUE(platform->HoldProductDirectory(dir, [&] { ++alone; }));
  EXPECT_EQ(alone, 2);

  // Whoever holds the mutex keeps no copy from starting: the wait is
  // bounded. The mutex is the session's own, out of other users' reach.
  EXPECT_EQ(ProductDirectoryMutexName(dir).rfind("Local\\", 0), 0u);
  HANDLE owned = CreateEventA(nullptr, TRUE, FALSE, nullptr), release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    HANDLE held = CreateMutexA(nullptr, TRUE, ProductDirectoryMutexName(dir).c_str());
    SetEvent(owned);
    WaitForSingleObject(release, INFINITE);
    CloseHandle(held);
  });
  WaitForSingleObject(owned, INFINITE);
  platform->SetRunLockWait(std::chrono::milliseconds(300));
  const DWORD start = GetTickCount();
  EXPECT_TRUE(platform->HoldProductDirectory(dir, [&] { ++alone; }));
  EXPECT_LT(GetTickCount() - start, 30000u) << "waited without bound";
  EXPECT_EQ(alone, 2);
  SetEvent(release);
  holder.join();
  CloseHandle(owned);
  CloseHandle(release);
  RemoveTree(dir);
}

}  // namespace
