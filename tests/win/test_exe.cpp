// The start-up steps of the program that come before any window, with the
// system's answers injected.
#include "WinTestSupport.h"  // windows.h first

#include <commctrl.h>
#include <gtest/gtest.h>

#include "app/StartUp_win.h"

using namespace quon;
using namespace quon::win;
using namespace quon::wintest;

namespace {

// ---- start-up ----------------------------------------------------------

// Calls of the injected library-search functions.
std::vector<std::string> g_calls;
BOOL g_setDefaultResult = TRUE;
BOOL g_setDllDirectoryResult = TRUE;

BOOL WINAPI FakeSetDefaultDllDirectories(DWORD flags) {
  g_calls.push_back("SetDefaultDllDirectories " + std::to_string(flags));
  return g_setDefaultResult;
}
BOOL WINAPI FakeSetDllDirectoryW(LPCWSTR path) {
  g_calls.push_back(std::string("SetDllDirectoryW ") + (path && !*path ? "empty" : "other"));
  return g_setDllDirectoryResult;
}

TEST(StartUp, LibrarySearchFallsBackWhereTheDefaultDirectoriesAreMissingOrRefused) {
  const std::string setDefault = "SetDefaultDllDirectories " + std::to_string(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  struct Case {
    const char* what;
    bool hasSetDefault;
    BOOL setDefaultResult, setDllDirectoryResult;
    DllSearch expected;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"the system has it", true, TRUE, TRUE, DllSearch::DefaultDirs, {setDefault}},
      {"Windows 7 without the update", false, TRUE, TRUE, DllSearch::NoCurrentDirectory, {"SetDllDirectoryW empty"}},
      {"the call fails", true, FALSE, TRUE, DllSearch::NoCurrentDirectory, {setDefault, "SetDllDirectoryW empty"}},
      {"both fail", true, FALSE, FALSE, DllSearch::Unchanged, {setDefault, "SetDllDirectoryW empty"}},
  };
  for (const Case& c : cases) {
    g_calls.clear();
    g_setDefaultResult = c.setDefaultResult;
    g_setDllDirectoryResult = c.setDllDirectoryResult;
    EXPECT_EQ(RestrictDllSearch(c.hasSetDefault ? &FakeSetDefaultDllDirectories : nullptr, &FakeSetDllDirectoryW),
              c.expected)
        << c.what;
    EXPECT_EQ(g_calls, c.calls) << c.what;
  }
}

BOOL WINAPI RefusingInitCommonControlsEx(const INITCOMMONCONTROLSEX*) { return FALSE; }

TEST(StartUp, RefusedCommonControlsAreReportedAndEndTheStart) {
  std::string text;
  {
    WhenWindowShows box([] { return VisibleWindow("#32770", "QUON Update"); },
                        [&text](HWND box) {
                          text = GetWindowTextString(GetDlgItem(box, 0xFFFF));
                          PressButton(box, IDOK);
                        });
    EXPECT_FALSE(InitCommonControlsOrReport(&RefusingInitCommonControlsEx));
  }
  EXPECT_EQ(text, kCommonControlsFailed);
  EXPECT_TRUE(InitCommonControlsOrReport());
}

}  // namespace
