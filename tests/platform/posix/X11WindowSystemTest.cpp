// Product-window detection on X11 against a private Xvfb: helper windows of
// chosen classes play the product's applications (mapped, hidden, inside a
// window manager's frame) and read the close requests they receive.
#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool, ...) clash with its names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/X11WindowSystem.h"
#include "support/PrivateXvfb.h"
#include "update/ProductWindows.h"

namespace quon {
namespace {

test::PrivateXvfb* g_server = nullptr;

class X11DetectionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { g_server = new test::PrivateXvfb("640x480x24"); }
  static void TearDownTestSuite() {
    delete g_server;
    g_server = nullptr;
  }

  void SetUp() override {
    ASSERT_FALSE(g_server->Name().empty()) << "Xvfb did not start";
    m_app = XOpenDisplay(g_server->Name().c_str());
    ASSERT_NE(m_app, nullptr);
  }
  void TearDown() override {
    if (m_app) XCloseDisplay(m_app);
  }

  // A top-level window of the "application" connection with the given
  // WM_CLASS class (no WM_CLASS at all when null) and title.
  Window MakeWindow(const char* className, bool mapped, const char* title = "window", Window parent = 0) {
    Window w = XCreateSimpleWindow(m_app, parent ? parent : DefaultRootWindow(m_app), 0, 0, 50, 50, 0, 0, 0);
    if (className) {
      XClassHint hint;
      hint.res_name = const_cast<char*>("app");
      hint.res_class = const_cast<char*>(className);
      XSetClassHint(m_app, w, &hint);
    }
    XStoreName(m_app, w, title);
    if (mapped) XMapWindow(m_app, w);
    XSync(m_app, False);
    return w;
  }

  // The close requests that arrived for each window so far.
  std::map<Window, std::vector<XClientMessageEvent>> Received() {
    std::map<Window, std::vector<XClientMessageEvent>> got;
    XSync(m_app, False);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < deadline) {
      while (XPending(m_app)) {
        XEvent e;
        XNextEvent(m_app, &e);
        if (e.type == ClientMessage) got[e.xclient.window].push_back(e.xclient);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return got;
  }

  static std::string ClassOf(const std::vector<WindowSystem::TopLevel>& list, Window w) {
    for (const auto& t : list)
      if (t.handle == w) return t.className;
    return "<absent>";
  }

  Display* m_app = nullptr;
  X11WindowSystem windows{g_server->Name().c_str()};
};

TEST_F(X11DetectionTest, EnumeratesVisibleAndHiddenWindowsWithTheirClass) {
  ASSERT_TRUE(windows.IsOpen());
  Window shown = MakeWindow("QuonMainFrame", true);
  Window hidden = MakeWindow("quonHiddenHelper", false);
  Window plain = MakeWindow("Terminal", true, "QUON - notes");
  Window nameless = MakeWindow(nullptr, true);
  auto list = windows.EnumerateTopLevelWindows();
  EXPECT_EQ(ClassOf(list, shown), "QuonMainFrame");
  EXPECT_EQ(ClassOf(list, hidden), "quonHiddenHelper");
  EXPECT_EQ(ClassOf(list, plain), "Terminal");
  EXPECT_EQ(ClassOf(list, nameless), "");
  // Children of top-level windows are not top-level windows.
  Window child = MakeWindow("QuonChild", true, "child", shown);
  EXPECT_EQ(ClassOf(windows.EnumerateTopLevelWindows(), child), "<absent>");
}

TEST_F(X11DetectionTest, CountsProductFamilyClassesOnly) {
  // The class rules themselves are pinned down without a display; here:
  // hidden windows count, and the title does not.
  MakeWindow("QuonMainFrame", true);
  MakeWindow("quonhidden", false);
  MakeWindow("GRAFLUX_View", true);
  MakeWindow("DrafonSketch", false);
  MakeWindow("QUO", true);
  MakeWindow("Editor", true, "QUON");
  EXPECT_EQ(CountProductWindows(windows), 4);
}

TEST_F(X11DetectionTest, ClientInsideAWindowManagerFrameIsFound) {
  // A reparenting window manager's frame (no WM_CLASS) holding the client,
  // which carries WM_CLASS and WM_STATE, one level further down.
  Window frame = MakeWindow(nullptr, true, "frame");
  Window inner = MakeWindow(nullptr, true, "decoration", frame);
  Window client = MakeWindow("GrafluxPlot", true, "plot", inner);
  Atom wmState = XInternAtom(m_app, "WM_STATE", False);
  long state[2] = {1, 0};
  XChangeProperty(m_app, client, wmState, wmState, 32, PropModeReplace, reinterpret_cast<unsigned char*>(state), 2);
  XSync(m_app, False);
  auto list = windows.EnumerateTopLevelWindows();
  EXPECT_EQ(ClassOf(list, client), "GrafluxPlot");
  EXPECT_EQ(ClassOf(list, frame), "<absent>") << "the frame stands for its client";
  EXPECT_EQ(CountProductWindows(windows), 1);
}

TEST_F(X11DetectionTest, CloseRequestReachesEveryProductWindowButTheUpdatersOwn) {
  Window quon = MakeWindow("QuonMainFrame", true);
  Window hidden = MakeWindow("DRAFONHidden", false);
  Window own = MakeWindow("QuonOwn", true);  // stands for the updater's window
  Window other = MakeWindow("Editor", true, "QUON");
  RequestProductWindowsClose(windows, static_cast<WindowHandle>(own));
  auto got = Received();
  Atom type = XInternAtom(m_app, kRequestCloseAtom, False);
  for (Window w : {quon, hidden}) {
    ASSERT_EQ(got[w].size(), 1u) << "one request per product window";
    const XClientMessageEvent& e = got[w][0];
    EXPECT_EQ(e.message_type, type);
    EXPECT_EQ(e.format, 32);
    EXPECT_EQ(e.data.l[0], 1038);
    EXPECT_EQ(static_cast<uint32_t>(e.data.l[1]), 0xFFFFFFFFu);
    EXPECT_EQ(e.data.l[2], 0);
  }
  EXPECT_TRUE(got[own].empty());
  EXPECT_TRUE(got[other].empty());
}

TEST_F(X11DetectionTest, PostingToAVanishedWindowFailsQuietly) {
  Window gone = MakeWindow("QuonGone", true);
  XDestroyWindow(m_app, gone);
  XSync(m_app, False);
  EXPECT_FALSE(windows.PostRequestClose(static_cast<WindowHandle>(gone)));
  // The connection is still usable afterwards.
  Window alive = MakeWindow("QuonAlive", true);
  EXPECT_TRUE(windows.PostRequestClose(static_cast<WindowHandle>(alive)));
  EXPECT_EQ(Received()[alive].size(), 1u);
}

TEST(X11DetectionNoDisplay, WithoutADisplayNothingIsFoundAndPostsFail) {
  X11WindowSystem windows(":no-such-display");
  EXPECT_FALSE(windows.IsOpen());
  EXPECT_TRUE(windows.EnumerateTopLevelWindows().empty());
  EXPECT_EQ(CountProductWindows(windows), 0);
  EXPECT_FALSE(windows.PostRequestClose(1));
}

}  // namespace
}  // namespace quon
