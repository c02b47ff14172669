// On Windows (and under Wine): the reader agrees with the system's own
// version API on the sample executables and on system files.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "update/PeVersionResource.h"

namespace {

// What GetFileVersionInfo and VerQueryValue report: -1 no version
// information, 0 no ProductVersion under 040904b0, 1 found (text set).
int SystemProductVersion(const std::string& path, std::string& text) {
  text.clear();
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (size == 0) return -1;
  std::string block(size, '\0');
  if (!GetFileVersionInfoA(path.c_str(), 0, size, &block[0])) return -1;
  char* value = nullptr;
  UINT len = 0;
  if (!VerQueryValueA(&block[0], "\\StringFileInfo\\040904b0\\ProductVersion",
                      reinterpret_cast<void**>(&value), &len) || value == nullptr) {
    return 0;
  }
  text = value;
  return 1;
}

TEST(PeVersionVsSystem, SamplesAndSystemFiles) {
  std::string samples = QUON_PE_SAMPLES;
  std::vector<std::string> paths;
  for (const char* s : {"v603", "v600", "big", "nostring", "german", "nores"}) {
    paths.push_back(samples + "/" + s + "/QUON.EXE");
  }
  char sys[MAX_PATH];
  const UINT n = GetSystemDirectoryA(sys, MAX_PATH);
  ASSERT_GT(n, 0u);
  for (const char* f : {"kernel32.dll", "user32.dll", "version.dll", "shell32.dll", "winver.exe",
                        "notepad.exe", "regedit.exe", "cmd.exe"}) {
    paths.push_back(std::string(sys, n) + "\\" + f);
  }
  std::size_t compared = 0;
  for (const std::string& path : paths) {
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    SCOPED_TRACE(path);
    ++compared;
    std::string expected, got;
    const int system = SystemProductVersion(path, expected);
    const quon::PeVersionStatus status = quon::ReadPeProductVersion(path, got);
    switch (system) {
      case -1: EXPECT_EQ(status, quon::PeVersionStatus::NoVersionInfo); break;
      case 0: EXPECT_EQ(status, quon::PeVersionStatus::FoundWithoutString); break;
      default:
        EXPECT_EQ(status, quon::PeVersionStatus::FoundWithString);
        EXPECT_EQ(got, expected);
    }
  }
  // Every sample and at least a few of the system files.
  EXPECT_GE(compared, 9u);
}

}  // namespace
