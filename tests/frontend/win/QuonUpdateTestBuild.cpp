// Entry point of the test build of QuonUpdate.exe: the program's own
// start-up and windows (UpdateApp::InitInstance), or its command-line mode
// when given arguments, with two differences, so that a second process can
// drive it under Wine:
// - the update server is 127.0.0.1 at the port in QUON_TEST_SERVER_PORT
//   (the shipped program has its server compiled in and reads nothing);
// - it stands in for the HTML engine's links (LinkStandIn.h).
#include <cstdlib>
#include <string>

#include "LinkStandIn.h"
#include "frontend/win/CommandLineMode_win.h"
#include "frontend/win/MainWindow_win.h"
#include "frontend/win/UpdateApp_win.h"
#include "base/BuildConfig.h"
#include "resource.h"

using quon::win::WinMainWindow;

namespace {

constexpr UINT kFollowLink = WM_APP + 2;

quon::win::UpdateApp theApp;
WinMainWindow* g_window = nullptr;
HWND g_links = nullptr;
std::string g_link;  // the link under the pointer, until followed

bool InBrowser(HWND hwnd) {
  HWND site = g_window && g_window->Hwnd() ? GetDlgItem(g_window->Hwnd(), IDC_EXPLORER) : nullptr;
  return site && hwnd && (hwnd == site || IsChild(site, hwnd));
}

// The dialog loop's messages, after the browser host has seen them (its
// hook comes later, so it is called first) and where the control would
// take them: a click (button released) or Enter in the browser follows the
// named link once that message has been handled, as the control does. Enter
// on a link is the control's own key, so the dialog does not get it.
LRESULT CALLBACK DialogMessage(int code, WPARAM wParam, LPARAM lParam) {
  const MSG* msg = reinterpret_cast<const MSG*>(lParam);
  if (code == MSGF_DIALOGBOX && msg && !g_link.empty() && InBrowser(msg->hwnd)) {
    const bool enter = msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN;
    if (enter || msg->message == WM_LBUTTONUP) {
      PostMessageA(g_links, kFollowLink, 0, 0);
      if (enter) return 1;
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK LinkStandInProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COPYDATA: {
      const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (data->dwData != quon::wintest::kPointAtLink) return FALSE;
      g_link.assign(static_cast<const char*>(data->lpData), data->cbData);
      return TRUE;
    }
    case quon::wintest::kLinkPending:
      return g_link.empty() ? 0 : 1;
    case kFollowLink: {
      std::string url;
      url.swap(g_link);
      if (!url.empty() && g_window) g_window->Browser().FireBeforeNavigate(url);
      return 0;
    }
    default:
      return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const char* port = std::getenv("QUON_TEST_SERVER_PORT");
  quon::UpdateServerSettings server{"127.0.0.1", static_cast<uint16_t>(port ? std::atoi(port) : 0),
                                    quon::kUpdatePath};
  if (quon::win::HasCommandLineArguments()) return quon::win::RunCommandLineMode(server);
  WNDCLASSA wc = {};
  wc.lpfnWndProc = &LinkStandInProc;
  wc.hInstance = instance;
  wc.lpszClassName = quon::wintest::kLinkStandInClass;
  RegisterClassA(&wc);
  g_links = CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  HHOOK hook = SetWindowsHookExA(WH_MSGFILTER, &DialogMessage, nullptr, GetCurrentThreadId());
  int code = theApp.InitInstance(server, [](WinMainWindow& window) { g_window = &window; });
  g_window = nullptr;
  UnhookWindowsHookEx(hook);
  DestroyWindow(g_links);
  return code;
}
