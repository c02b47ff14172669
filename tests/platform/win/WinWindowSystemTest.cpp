// Product windows found by class name through EnumWindows, and the close
// request posted to each but the updater's own window.
#include "support/WinTestSupport.h"  // windows.h first

#include <gtest/gtest.h>

#include <map>

#include "frontend/win/UserPrompts_win.h"
#include "platform/win/WinWindowSystem.h"

using namespace quon;
using namespace quon::win;
using namespace quon::wintest;

namespace {

struct Received {
  int count = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 1;
};
std::map<HWND, Received> g_received;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kWmRequestClose) {
    Received& r = g_received[hwnd];
    ++r.count;
    r.wParam = wParam;
    r.lParam = lParam;
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

class TopLevelWindows {
 public:
  ~TopLevelWindows() {
    for (HWND w : m_windows) DestroyWindow(w);
    for (const auto& c : m_classes) UnregisterClassA(c.c_str(), GetModuleHandleA(nullptr));
  }
  HWND Create(const std::string& className, const char* title, bool visible) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = className.c_str();
    if (RegisterClassA(&wc)) m_classes.push_back(className);
    HWND w = CreateWindowA(className.c_str(), title, WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), 10, 10, 100,
                           80, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (w) m_windows.push_back(w);
    return w;
  }

 private:
  std::vector<HWND> m_windows;
  std::vector<std::string> m_classes;
};

TEST(ProductWindows, CountsAndAsksTheProductFamilyToClose) {
  WinWindowSystem system;
  const int baseline = CountProductWindows(system);
  g_received.clear();

  TopLevelWindows windows;
  HWND quon = windows.Create("QuonTestApplication", "Model", true);
  HWND hiddenLower = windows.Create("quonhidden", "", false);
  HWND graflux = windows.Create("GRAFLUX_Frame", "Plot", true);
  HWND drafon = windows.Create("DrafonView32", "Drawing", false);
  HWND own = windows.Create("QUONUpdateOwnWindow", "QUON Update", true);
  HWND prefixOnly = windows.Create("QUO", "QUON", true);
  HWND titled = windows.Create("EditorFrame", "QUON - model.qmd", true);
  HWND graf = windows.Create("GRAFLU", "", false);
  for (HWND w : {quon, hiddenLower, graflux, drafon, own, prefixOnly, titled, graf}) ASSERT_NE(w, nullptr);

  // Product windows, hidden ones and the updater's own included: 5.
  EXPECT_EQ(CountProductWindows(system), baseline + 5);

  RequestProductWindowsClose(system, reinterpret_cast<WindowHandle>(own));
  PumpUntil([&] {
    return g_received[quon].count && g_received[hiddenLower].count && g_received[graflux].count &&
           g_received[drafon].count;
  });
  // One more round trip through the queue, so a stray second post would show.
  PumpUntil([] { return false; }, 200);
  for (HWND w : {quon, hiddenLower, graflux, drafon}) {
    SCOPED_TRACE(ClassNameOf(w));
    EXPECT_EQ(g_received[w].count, 1);
    EXPECT_EQ(static_cast<uint32_t>(g_received[w].wParam), 0xFFFFFFFFu);
    EXPECT_EQ(g_received[w].lParam, 0);
  }
  for (HWND w : {own, prefixOnly, titled, graf}) {
    SCOPED_TRACE(ClassNameOf(w));
    EXPECT_EQ(g_received[w].count, 0);
  }
}

TEST(ProductWindows, LongClassNamesAreCutAt198Characters) {
  std::string longName = "QUON" + std::string(240, 'x');
  TopLevelWindows windows;
  HWND w = windows.Create(longName, "", false);
  ASSERT_NE(w, nullptr);
  WinWindowSystem system;
  bool found = false;
  for (const auto& top : system.EnumerateTopLevelWindows()) {
    if (top.handle == reinterpret_cast<WindowHandle>(w)) {
      found = true;
      EXPECT_EQ(top.className, longName.substr(0, 198));
      EXPECT_TRUE(IsProductWindowClass(top.className));
    }
  }
  EXPECT_TRUE(found);
}

TEST(ProductWindows, PostToAWindowThatIsGoneFails) {
  TopLevelWindows windows;
  HWND w = windows.Create("QuonGone", "", false);
  ASSERT_NE(w, nullptr);
  WinWindowSystem system;
  EXPECT_TRUE(system.PostRequestClose(reinterpret_cast<WindowHandle>(w)));
  DestroyWindow(w);
  EXPECT_FALSE(system.PostRequestClose(reinterpret_cast<WindowHandle>(w)));
}

}  // namespace
